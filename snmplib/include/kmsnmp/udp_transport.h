// SNMP_UDPTransport: SNMP over a connected UDP socket to one agent, over
// IPv4 or IPv6.
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
  // Any socket address of family AF_INET or AF_INET6 (a sockaddr_in6 with
  // its scope for a link-local agent); length is the structure's size.
  SNMP_UDPTransport(const struct sockaddr *address, socklen_t length);
  ~SNMP_UDPTransport() override;

  // A transport from an address text:
  //   udp:HOST[:PORT]      IPv4 (HOST a dotted address or a name)
  //   udp6:[HOST][:PORT]   IPv6 (udp6:[2001:db8::1]:161, udp6:[fe80::1%eth0];
  //                        udp6:HOST without brackets takes no port)
  //   HOST[:PORT], [HOST][:PORT]  either family, the first the name gives
  // PORT defaults to defaultPort. Names are resolved here, which may block
  // on the system's resolver. Returns a new transport (the caller deletes
  // it) with version SNMP_VERSION_2C and no security context, or null with
  // *result SNMP_ERR_BAD_ADDRESS (text malformed, port not 1 to 65535, name
  // not resolved for that family) or SNMP_ERR_COMM (no socket could be
  // opened and connected). result may be null.
  static SNMP_UDPTransport *create(const char *address, uint16_t defaultPort, uint32_t *result);

  // The agent's address as the socket uses it.
  const struct sockaddr *getPeerAddress(socklen_t *length) const {
    if (length != nullptr) *length = peerLength_;
    return reinterpret_cast<const struct sockaddr *>(&peer_);
  }

  int readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *sender, int *addrSize,
                  SNMP_SecurityContextFinder contextFinder) override;
  int sendMessage(SNMP_PDU *pdu) override;

  bool isConnected() const { return socket_ >= 0; }
  // errno of the socket or connect call that failed in the constructor, else 0.
  int getOpenError() const { return openError_; }

 private:
  void open();

  int socket_ = -1;
  int openError_ = 0;
  struct sockaddr_storage peer_ {};
  socklen_t peerLength_ = 0;
  std::vector<uint8_t> sendBuffer_;        // grows to the largest request sent
  std::unique_ptr<uint8_t[]> recvBuffer_;  // SNMP_MAX_MESSAGE_SIZE + 1 bytes, made on first read
  // The receive time-out (SO_RCVTIMEO) last set on socket_, in ms; 0: none
  // set yet. A wait for the answer is then one blocking receive.
  long armedTimeoutMs_ = 0;
};
