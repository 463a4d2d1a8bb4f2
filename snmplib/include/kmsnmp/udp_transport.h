// SNMP_UDPTransport: SNMP over a connected IPv4 UDP socket to one agent.
//
// The socket is opened and connected in the constructor; when that fails the
// transport exists but every send fails (isConnected() says so). Being
// connected, the socket only receives datagrams from that agent's address and
// port. Buffers for encoding and receiving are kept and reused: apart from
// the PDU readMessage returns, a request allocates nothing here.
//
// Thread safety: as SNMP_Transport (one request at a time).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "kmbase/export.h"
#include "kmsnmp/transport.h"

class KMSRV_EXPORT SNMP_UDPTransport : public SNMP_Transport {
 public:
  // addressNetworkOrder as in struct in_addr (e.g. from inet_addr);
  // portHostOrder as a plain number (161).
  SNMP_UDPTransport(uint32_t addressNetworkOrder, uint16_t portHostOrder);
  ~SNMP_UDPTransport() override;

  int readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *sender, int *addrSize,
                  SNMP_SecurityContextFinder contextFinder) override;
  int sendMessage(SNMP_PDU *pdu) override;

  bool isConnected() const { return socket_ >= 0; }
  // errno of the socket or connect call that failed in the constructor, else 0.
  int getOpenError() const { return openError_; }

 private:
  int socket_ = -1;
  int openError_ = 0;
  struct sockaddr_in peer_ {};
  std::vector<uint8_t> sendBuffer_;        // grows to the largest request sent
  std::unique_ptr<uint8_t[]> recvBuffer_;  // SNMP_MAX_MESSAGE_SIZE + 1 bytes, made on first read
  // The receive time-out (SO_RCVTIMEO) last set on socket_, in ms; 0: none
  // set yet. A wait for the answer is then one blocking receive.
  long armedTimeoutMs_ = 0;
};
