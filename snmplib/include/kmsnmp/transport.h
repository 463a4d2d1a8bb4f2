// SNMP_Transport: the way SNMP messages reach a device. A subclass moves
// encoded messages (UDP in SNMP_UDPTransport, an agent session in libkmsrv's
// proxy transport, anything a host supplies); this base class holds the
// version and credentials and runs the request protocol over the subclass's
// two operations: send, wait, skip stale answers, retry.
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
  // version and request id. Answers with other ids (late answers to earlier
  // requests) are dropped. Each attempt waits up to timeout_ms after its
  // send; `retries` is the number of attempts (0 counts as 1), all with the
  // same request id, so a late answer to an earlier attempt still counts. An
  // answer that does not decode ends its attempt at once.
  // Returns SNMP_ERR_SUCCESS with *response a new PDU the caller deletes, or
  // an error code with *response null: SNMP_ERR_PARAM (null argument),
  // SNMP_ERR_NO_CONTEXT, SNMP_ERR_ENCODE (nothing is sent), or after the last
  // attempt SNMP_ERR_TIMEOUT, SNMP_ERR_COMM (the transport failed) or
  // SNMP_ERR_PARSE (the answer did not decode).
  uint32_t doRequest(SNMP_PDU *request, SNMP_PDU **response, uint32_t timeout_ms, uint32_t retries);

  // Takes ownership of ctx (null clears it); the previous one is deleted.
  void setSecurityContext(SNMP_SecurityContext *ctx);
  SNMP_SecurityContext *getSecurityContext() const { return securityContext.get(); }
  // The version requests built for this transport should use
  // (SNMP_VERSION_1 or SNMP_VERSION_2C).
  void setSnmpVersion(uint32_t version) { snmpVersion = version; }
  uint32_t getSnmpVersion() const { return snmpVersion; }
  // SNMP_PARSE_* flags handed to SNMP_PDU::parse for every received message.
  void setParseFlags(uint32_t flags) { parseFlags = flags; }
  uint32_t getParseFlags() const { return parseFlags; }

 protected:
  uint32_t snmpVersion = SNMP_VERSION_2C;
  std::unique_ptr<SNMP_SecurityContext> securityContext;
  uint32_t parseFlags = 0;
};
