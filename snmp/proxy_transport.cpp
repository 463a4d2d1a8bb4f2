// SNMP requests carried through an agent session.
#include <cstdlib>

#include "kmbase/message.h"
#include "kmsrv/agent.h"
#include "kmsrv/protocol.h"
#include "kmsrv/snmp_proxy.h"

SNMP_ProxyTransport::SNMP_ProxyTransport(AgentConnection *connection, uint32_t address,
                                         uint16_t port)
    : agentConnection(connection), targetAddress(address), targetPort(port) {}

SNMP_ProxyTransport::~SNMP_ProxyTransport() {
  delete agentConnection;
  delete pendingResponse;
}

int SNMP_ProxyTransport::sendMessage(SNMP_PDU *pdu) {
  if (pdu == nullptr) return -1;
  if (agentConnection == nullptr) {
    lastAgentResult = RCC_NOT_CONNECTED;
    return -1;
  }
  CSCPMessage msg(agentConnection->protocolVersion.load());
  uint8_t *buffer = nullptr;
  size_t size = pdu->encode(&buffer, securityContext.get());
  if (size == 0) return -1;
  msg.SetCode(MC_SNMP_REQUEST);
  msg.SetVariable(VAR_IP_ADDRESS, targetAddress);
  msg.SetVariable(VAR_SNMP_PORT, targetPort);
  msg.SetVariable(VAR_PDU_SIZE, static_cast<uint32_t>(size));
  msg.SetVariable(VAR_PDU, buffer, static_cast<uint32_t>(size));
  free(buffer);
  msg.SetId(agentConnection->generateRequestId());

  // exchange waits through the session's own wait, which ends early when
  // the session ends, so a dead session never holds the caller for the
  // whole command time-out.
  CSCPMessage *reply = nullptr;
  lastAgentResult = agentConnection->exchange(&msg, MC_REQUEST_COMPLETED,
                                              agentConnection->commandTimeout.load(), &reply);
  if (reply != nullptr) {
    uint32_t rcc = 0;
    lastAgentResult = reply->GetVariableExact(VAR_RCC, &rcc) ? rcc : RCC_BAD_RESPONSE;
  }
  delete pendingResponse;
  pendingResponse = reply;
  return reply != nullptr ? 1 : -1;
}

int SNMP_ProxyTransport::readMessage(SNMP_PDU **pdu, uint32_t, struct sockaddr *sender,
                                     int *addrSize, SNMP_SecurityContextFinder contextFinder) {
  if (pendingResponse == nullptr) return -1;
  CSCPMessage *reply = pendingResponse;
  pendingResponse = nullptr;
  int result = -1;
  if (lastAgentResult == RCC_SUCCESS) {
    uint32_t size = 0;
    std::span<const uint8_t> bytes = reply->GetVariableBinaryView(VAR_PDU);
    // The announced size is believed only as far as the bytes that came: a
    // larger one would have the parser read bytes the agent never sent.
    if (reply->GetVariableExact(VAR_PDU_SIZE, &size) && size <= bytes.size()) {
      if (contextFinder != nullptr)
        setSecurityContext(contextFinder(sender, addrSize != nullptr ? *addrSize : 0));
      *pdu = decodeMessage(bytes.data(), size);
      result = static_cast<int>(size);
    } else {
      lastAgentResult = RCC_BAD_RESPONSE;
    }
  }
  delete reply;
  return result;
}
