// SNMP_ProxyTransport: an SNMP transport that sends no datagrams itself but
// hands every encoded request to a monitoring agent (MC_SNMP_REQUEST on an
// AgentConnection), which forwards it to the target device and returns the
// device's encoded answer. Used wherever an SNMP_Transport is expected for a
// device the server reaches only through an agent.
//
// Ownership: the transport takes over the AgentConnection it is given
// (ready for requests: connected and logged in) and deletes it; it never
// connects or disconnects it.
//
// Threads: one request at a time, like every transport: sendMessage and
// readMessage of one transport are called from one thread in turn (the
// pending reply is a single unlocked slot). The session's receiver thread
// delivers the reply; the session itself may serve other threads meanwhile.
#pragma once

#include <cstdint>

#include "kmbase/export.h"
#include "kmsnmp/transport.h"

class AgentConnection;
class CSCPMessage;

class KMSRV_EXPORT SNMP_ProxyTransport : public SNMP_Transport {
 public:
  // address: the device's IPv4 address in host byte order; port: its SNMP
  // UDP port. Both go to the agent unchanged. connection may be null (the
  // transport then only fails).
  SNMP_ProxyTransport(AgentConnection *connection, uint32_t address, uint16_t port);
  ~SNMP_ProxyTransport() override;

  // Encodes the PDU, sends it through the agent and waits (the session's
  // command time-out) for the agent's reply, which stays pending for
  // readMessage. 1 when a reply came, -1 otherwise (nothing is sent when the
  // PDU cannot be encoded).
  int sendMessage(SNMP_PDU *pdu) override;
  // Turns the pending reply into *pdu and consumes it. The size of the
  // device's answer (with *pdu null when it does not parse), or -1 with
  // *pdu untouched when nothing is pending, the agent failed the request or
  // its reply is malformed. timeout is not used: sendMessage did the wait.
  // sender and addrSize go to contextFinder as given; neither is written.
  int readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *sender, int *addrSize,
                  SNMP_SecurityContextFinder contextFinder) override;

  // Why the last request through the agent ended as it did, in the agent
  // result codes (kmsrv/result_codes.h), for a caller whose SNMP request
  // failed with SNMP_ERR_COMM and who wants to know more: RCC_SUCCESS when
  // the agent carried it out (also before the first request), the agent's
  // own code when it could not (for example RCC_REQUEST_TIMEOUT when the
  // device did not answer the agent, RCC_ACCESS_DENIED when the agent may
  // not reach it), RCC_BAD_RESPONSE for a reply without the device's answer,
  // RCC_CONNECTION_BROKEN or RCC_REQUEST_TIMEOUT when the session failed or
  // the agent did not reply in time, RCC_NOT_CONNECTED without a session. A
  // request that could not be encoded never reaches the agent and leaves it
  // unchanged. Same thread as the requests.
  uint32_t getLastAgentResult() const { return lastAgentResult; }

 private:
  AgentConnection *agentConnection;
  // The agent's reply to the last request, until readMessage takes it.
  CSCPMessage *pendingResponse = nullptr;
  uint32_t targetAddress;
  uint16_t targetPort;
  // See getLastAgentResult. Request thread.
  uint32_t lastAgentResult = 0;
};
