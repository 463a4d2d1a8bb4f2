// SNMP_Transport: the way SNMP messages reach a device. A subclass moves
// encoded messages (UDP in SNMP_UDPTransport, an agent session in libkmsrv's
// proxy transport, anything a host supplies); this base class holds the
// version and credentials and runs the request protocol over the subclass's
// two operations: send, wait, skip stale answers, retry. For SNMPv3 it also
// runs the user-based security model's side of the protocol: it discovers
// the agent's engine before the first request, follows the engine's boots
// and time, re-sends once after a report of an unknown engine or of a
// request outside the time window, and turns the agent's other reports
// (unknown user, wrong digest, decryption error, unsupported security
// level, unknown context) into their own result codes. What it learns about
// the engine is kept in the transport's USM security context.
//
// Thread safety: a transport serves one request at a time. It may move
// between threads, but doRequest, sendMessage and readMessage of one
// transport must not run concurrently.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>

#include "kmbase/export.h"
#include "kmsnmp/constants.h"
#include "kmsnmp/pdu.h"
#include "kmsnmp/result.h"
#include "kmsnmp/security.h"

// Chooses the security context for a received message by its sender. The
// returned context passes to the transport (setSecurityContext).
typedef SNMP_SecurityContext *(*SNMP_SecurityContextFinder)(struct sockaddr *sender, int addrSize);

class KMSRV_EXPORT SNMP_Transport {
 public:
  // Version SNMP_VERSION_2C, no security context, parse flags 0.
  SNMP_Transport();
  virtual ~SNMP_Transport();
  SNMP_Transport(const SNMP_Transport &) = delete;
  SNMP_Transport &operator=(const SNMP_Transport &) = delete;

  // Receives one message and decodes it into a new PDU stored in *pdu (the
  // caller deletes it), using the transport's security context and parse
  // flags. Waits at most `timeout` milliseconds. Returns the message's size
  // in bytes with *pdu null when it did not decode; 0 when nothing came in
  // time; -1 when the transport failed (*pdu untouched). sender/addrSize,
  // when given, receive the sender's address; contextFinder, when given, is
  // asked for the context before decoding.
  virtual int readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *sender, int *addrSize,
                          SNMP_SecurityContextFinder contextFinder) = 0;
  // Encodes and sends one message with the transport's security context.
  // Returns a positive number (bytes sent, or 1) on success, -1 on failure.
  virtual int sendMessage(SNMP_PDU *pdu) = 0;

  // Sends `request` and waits for its response: a Response PDU of the same
  // version and request id (SNMPv3: and message ID). Answers with other ids
  // (late answers to earlier requests) are dropped. Each attempt waits up to
  // timeout_ms after its send; `retries` is the number of attempts (0 counts
  // as 1), all with the same request id, so a late answer to an earlier
  // attempt still counts. An answer that does not decode (or, SNMPv3, does
  // not authenticate or decrypt) ends its attempt at once.
  // SNMPv3 (a USM context; the request's version must be SNMP_VERSION_3):
  // an unknown engine is first discovered with a probe, which takes its own
  // attempts; a report of an unknown engine ID or of a request outside the
  // time window makes the transport learn the engine's ID or its boots and
  // time (the latter only from an authenticated report) and send the
  // request once more, each at most once per call; any other report ends the
  // call with its code. Reports never reach the caller. When an authPriv
  // request gets no answer at all, one authenticated request without
  // privacy (a single attempt) checks whether the agent is there: if it
  // answers, the result is SNMP_ERR_DECRYPTION (agents commonly drop what
  // they cannot decrypt without saying so), otherwise SNMP_ERR_TIMEOUT.
  // Returns SNMP_ERR_SUCCESS with *response a new PDU the caller deletes, or
  // an error code with *response null: SNMP_ERR_PARAM (null argument),
  // SNMP_ERR_NO_CONTEXT, SNMP_ERR_SECURITY_SETUP (an unusable USM context),
  // SNMP_ERR_ENCODE (nothing is sent), after the last attempt
  // SNMP_ERR_TIMEOUT, SNMP_ERR_COMM (the transport failed), SNMP_ERR_PARSE
  // (the answer did not decode), SNMP_ERR_BAD_RESPONSE_DIGEST,
  // SNMP_ERR_RESPONSE_DECRYPT or SNMP_ERR_NOT_IN_TIME_WINDOW (an SNMPv3
  // answer failed its checks), or an SNMPv3 report's code (kmsnmp/result.h)
  // or SNMP_ERR_ENGINE_DISCOVERY.
  uint32_t doRequest(SNMP_PDU *request, SNMP_PDU **response, uint32_t timeout_ms, uint32_t retries);

  // Takes ownership of ctx (null clears it); the previous one is deleted. A
  // USM context makes the transport's version SNMP_VERSION_3; a community
  // context on an SNMPv3 transport makes it SNMP_VERSION_2C.
  void setSecurityContext(SNMP_SecurityContext *ctx);
  SNMP_SecurityContext *getSecurityContext() const { return securityContext.get(); }
  // The version requests built for this transport should use
  // (SNMP_VERSION_1, SNMP_VERSION_2C, or SNMP_VERSION_3 with a USM context).
  void setSnmpVersion(uint32_t version) { snmpVersion = version; }
  uint32_t getSnmpVersion() const { return snmpVersion; }
  // SNMP_PARSE_* flags handed to SNMP_PDU::parse for every received message.
  void setParseFlags(uint32_t flags) { parseFlags = flags; }
  uint32_t getParseFlags() const { return parseFlags; }

 protected:
  // Decodes one received message with the transport's security context and
  // parse flags into a new PDU (the caller deletes it), or null when it
  // does not decode; doRequest then reports why (a digest that does not
  // check out, a scoped PDU that does not decrypt, ...). readMessage of a
  // subclass should decode through here.
  SNMP_PDU *decodeMessage(const uint8_t *data, size_t size);

  uint32_t snmpVersion = SNMP_VERSION_2C;
  std::unique_ptr<SNMP_SecurityContext> securityContext;
  uint32_t parseFlags = 0;

 private:
  // One request cycle: send, read until a matching answer (a Response, or
  // for SNMPv3 a Report) or the time-out, retry.
  // `level` is the SNMPv3 level the request goes out with (answers must
  // match it).
  uint32_t exchange(SNMP_PDU *request, uint32_t level, SNMP_PDU **answer, uint32_t timeout_ms,
                    uint32_t retries);
  // SNMPv3: after an encrypted request went unanswered, SNMP_ERR_DECRYPTION
  // when the agent answers an authenticated request without privacy (so
  // only the privacy key can be wrong), else SNMP_ERR_TIMEOUT.
  uint32_t explainSilence(const SNMP_PDU *request, uint32_t timeout_ms);
  // SNMPv3: learns the agent's engine ID (and first boots and time) from the
  // report to an empty probe.
  uint32_t discoverEngine(const SNMP_PDU *request, uint32_t timeout_ms, uint32_t retries);

  // Why the last decodeMessage failed (SNMP_ERR_PARSE for a host transport
  // that decodes by itself). Request thread.
  uint32_t lastDecodeError_ = SNMP_ERR_PARSE;
};
