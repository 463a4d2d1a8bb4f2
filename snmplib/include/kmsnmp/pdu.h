// SNMP_PDU: one SNMP message (version, command, request id, error status
// and index, variable bindings), with its encoder and its strict decoder.
// SNMPv1 and SNMPv2c messages carry a community; SNMPv3 messages the
// user-based security model's header and security parameters around a
// scoped PDU, authenticated and encrypted as the security context says.
//
// A PDU is owned by one thread at a time and owns its variables. parse()
// reads only the bytes it is given and applies every limit of
// kmsnmp/constants.h; on failure the PDU is left empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kmbase/export.h"
#include "kmsnmp/constants.h"
#include "kmsnmp/security.h"
#include "kmsnmp/variable.h"

class KMSRV_EXPORT SNMP_PDU {
 public:
  // Empty, for parse().
  SNMP_PDU();
  // A request or response of `command` (SNMP_Command) with this id, for
  // SNMP_VERSION_1, SNMP_VERSION_2C or SNMP_VERSION_3. An SNMPv3 message's
  // message ID starts as the request id (its low 31 bits).
  SNMP_PDU(uint32_t command, uint32_t requestId, uint32_t version);
  ~SNMP_PDU();
  SNMP_PDU(const SNMP_PDU &) = delete;
  SNMP_PDU &operator=(const SNMP_PDU &) = delete;

  // Takes ownership of var (deleted with the PDU, or at once when it cannot
  // be bound: null, or SNMP_MAX_VARIABLES already bound). True when bound.
  bool bindVariable(SNMP_Variable *var);

  // Encodes into a malloc'd buffer stored in *buffer (release with free).
  // Returns its size, or 0 (and *buffer null) when the PDU cannot be
  // encoded: no context of the version's model (community for SNMPv1/v2c, a
  // usable USM user for SNMPv3, which must also know its engine unless this
  // is an engine probe), a version or command this codec does not speak, an
  // unencodable name or value, a type the version lacks (Counter64 and
  // exceptions in SNMPv1), or more than SNMP_MAX_MESSAGE_SIZE bytes. An
  // SNMPv3 message is signed and encrypted (fresh salt) as the context's
  // level says, with the engine's boots and time as the context estimates
  // them; a USM context is therefore changed by encoding (see security.h).
  size_t encode(uint8_t **buffer, const SNMP_SecurityContext *securityContext) const;
  // The same into a caller's buffer that is reused across requests: it is
  // grown when too small and never shrunk. Returns the encoded size, or 0.
  size_t encode(std::vector<uint8_t> &buffer, const SNMP_SecurityContext *securityContext) const;
  // Into [buffer, buffer + capacity); 0 when it does not fit.
  size_t encode(uint8_t *buffer, size_t capacity,
                const SNMP_SecurityContext *securityContext) const;
  // Exact encoded size, 0 when it cannot be encoded.
  size_t encodedSize(const SNMP_SecurityContext *securityContext) const;

  // Decodes exactly `size` bytes (one message, nothing after it). flags are
  // SNMP_PARSE_* bits; securityContext may be null unless a flag needs it.
  // Returns true on success; on failure the PDU is empty (no variables,
  // command SNMP_INVALID_COMMAND) and getParseError() says why.
  // An SNMPv3 message needs a USM context. An authenticated one is taken only
  // when it names the context's engine and user, its digest checks out
  // (compared in constant time) and, unless it is a Report, it lies in the
  // engine's time window; an encrypted one only when its scoped PDU
  // decrypts and decodes. A message above the context's level is refused; a
  // lower one is decoded with its level stated (getSecurityLevel), and it is
  // the receiver's part to take it only where that level is expected:
  // SNMP_Transport::doRequest takes an answer only at its request's level,
  // except for reports (an agent reports a failed check without
  // authentication), which never carry data for callers. The context is not
  // changed: doRequest learns from what was decoded.
  bool parse(const uint8_t *data, size_t size, const SNMP_SecurityContext *securityContext,
             uint32_t flags);

  uint32_t getVersion() const { return version_; }
  uint32_t getCommand() const { return command_; }
  uint32_t getRequestId() const { return requestId_; }
  void setRequestId(uint32_t id) {
    requestId_ = id;
    msgId_ = id & 0x7FFFFFFF;  // a message ID is a non-negative INTEGER
  }
  uint32_t getErrorCode() const { return errorStatus_; }
  void setErrorCode(uint32_t status) { errorStatus_ = status; }
  uint32_t getErrorIndex() const { return errorIndex_; }
  void setErrorIndex(uint32_t index) { errorIndex_ = index; }
  // GetBulk requests carry these in place of error status and index.
  uint32_t getNonRepeaters() const { return errorStatus_; }
  void setNonRepeaters(uint32_t n) { errorStatus_ = n; }
  uint32_t getMaxRepetitions() const { return errorIndex_; }
  void setMaxRepetitions(uint32_t n) { errorIndex_ = n; }

  // SNMPv3. The message ID matches an answer (a Report in particular, whose
  // request id may be 0) to its request; setRequestId sets it too.
  uint32_t getMessageId() const { return msgId_; }
  void setMessageId(uint32_t id) { msgId_ = id; }
  // The SNMPv3 security level (SNMP_SecurityLevel). Of a decoded message:
  // the level it came with. Of a message to encode: 0 (the default) for the
  // context's level, or a lower level to use instead.
  uint32_t getSecurityLevel() const { return securityLevel_; }
  void setSecurityLevel(uint32_t level) { securityLevel_ = level; }
  // Of a decoded SNMPv3 message: the authoritative engine's ID, boots and
  // time as it states them (authenticated only when its level is
  // authNoPriv or authPriv).
  const uint8_t *getEngineId(size_t *length) const {
    *length = engineIdLength_;
    return engineId_;
  }
  uint32_t getEngineBoots() const { return engineBoots_; }
  uint32_t getEngineTime() const { return engineTime_; }
  // Marks an SNMPv3 engine discovery probe: encoded at noAuthNoPriv with an
  // empty engine ID and user name, whatever the context holds.
  void setEngineProbe(bool probe) { engineProbe_ = probe; }
  // Why the last parse failed: SNMP_ERR_PARSE (malformed or not for this
  // context), SNMP_ERR_ENGINE_DISCOVERY (an empty or over-long engine ID),
  // SNMP_ERR_BAD_RESPONSE_DIGEST, SNMP_ERR_RESPONSE_DECRYPT,
  // SNMP_ERR_NOT_IN_TIME_WINDOW (an authenticated answer outside the time
  // window: a replay, or an engine at its boots maximum); SNMP_ERR_SUCCESS
  // after a successful one.
  uint32_t getParseError() const { return parseError_; }

  uint32_t getNumVariables() const { return static_cast<uint32_t>(variables_.size()); }
  // Null when index is out of range. The PDU keeps ownership.
  SNMP_Variable *getVariable(uint32_t index) const {
    return index < variables_.size() ? variables_[index] : nullptr;
  }
  // The bound variables in order (getNumVariables() of them).
  SNMP_Variable *const *getVariables() const { return variables_.data(); }

 private:
  // The codec's working parts (pdu.cpp): element sizes, and the encoder
  // and decoder steps, with access to the members.
  struct Layout;
  struct Codec;

  void clear();
  bool commandAllowed() const;

  uint32_t version_ = SNMP_VERSION_2C;
  uint32_t command_ = SNMP_INVALID_COMMAND;
  uint32_t requestId_ = 0;
  uint32_t errorStatus_ = 0;
  uint32_t errorIndex_ = 0;
  std::vector<SNMP_Variable *> variables_;  // owned
  // SNMPv3
  uint32_t msgId_ = 0;
  uint32_t securityLevel_ = 0;
  uint32_t engineBoots_ = 0;
  uint32_t engineTime_ = 0;
  size_t engineIdLength_ = 0;
  uint8_t engineId_[SNMP_MAX_ENGINE_ID_LENGTH] = {};
  bool engineProbe_ = false;
  uint32_t parseError_ = 0;
};
