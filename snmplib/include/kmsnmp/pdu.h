// SNMP_PDU: one SNMPv1 or SNMPv2c message (version, command, request id,
// error status and index, variable bindings), with its encoder and its
// strict decoder.
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
  // SNMP_VERSION_1 or SNMP_VERSION_2C.
  SNMP_PDU(uint32_t command, uint32_t requestId, uint32_t version);
  ~SNMP_PDU();
  SNMP_PDU(const SNMP_PDU &) = delete;
  SNMP_PDU &operator=(const SNMP_PDU &) = delete;

  // Takes ownership of var (deleted with the PDU, or at once when it cannot
  // be bound: null, or SNMP_MAX_VARIABLES already bound). True when bound.
  bool bindVariable(SNMP_Variable *var);

  // Encodes into a malloc'd buffer stored in *buffer (release with free).
  // Returns its size, or 0 (and *buffer null) when the PDU cannot be
  // encoded: no community context, a version or command this codec does not
  // speak, an unencodable name or value, a type the version lacks (Counter64
  // and exceptions in SNMPv1), or more than SNMP_MAX_MESSAGE_SIZE bytes.
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
  // command SNMP_INVALID_COMMAND).
  bool parse(const uint8_t *data, size_t size, const SNMP_SecurityContext *securityContext,
             uint32_t flags);

  uint32_t getVersion() const { return version_; }
  uint32_t getCommand() const { return command_; }
  uint32_t getRequestId() const { return requestId_; }
  void setRequestId(uint32_t id) { requestId_ = id; }
  uint32_t getErrorCode() const { return errorStatus_; }
  void setErrorCode(uint32_t status) { errorStatus_ = status; }
  uint32_t getErrorIndex() const { return errorIndex_; }
  void setErrorIndex(uint32_t index) { errorIndex_ = index; }
  // GetBulk requests carry these in place of error status and index.
  uint32_t getNonRepeaters() const { return errorStatus_; }
  void setNonRepeaters(uint32_t n) { errorStatus_ = n; }
  uint32_t getMaxRepetitions() const { return errorIndex_; }
  void setMaxRepetitions(uint32_t n) { errorIndex_ = n; }

  uint32_t getNumVariables() const { return static_cast<uint32_t>(variables_.size()); }
  // Null when index is out of range. The PDU keeps ownership.
  SNMP_Variable *getVariable(uint32_t index) const {
    return index < variables_.size() ? variables_[index] : nullptr;
  }
  // The bound variables in order (getNumVariables() of them).
  SNMP_Variable *const *getVariables() const { return variables_.data(); }

 private:
  void clear();
  bool commandAllowed() const;
  // Sizes of the nested elements' contents; returns the whole message's
  // size, 0 when the PDU cannot be encoded.
  size_t layout(const SNMP_SecurityContext *securityContext, size_t *messageContent,
                size_t *pduContent, size_t *bindingList) const;

  uint32_t version_ = SNMP_VERSION_2C;
  uint32_t command_ = SNMP_INVALID_COMMAND;
  uint32_t requestId_ = 0;
  uint32_t errorStatus_ = 0;
  uint32_t errorIndex_ = 0;
  std::vector<SNMP_Variable *> variables_;  // owned
};
