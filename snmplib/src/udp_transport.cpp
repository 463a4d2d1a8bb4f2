// SNMP_UDPTransport: a connected IPv4 or IPv6 UDP socket.
#include "kmsnmp/udp_transport.h"

#include <errno.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "kmbase/net.h"

namespace {

// A few interruptions in a row are normal; an endless stream is not.
constexpr int kMaxSendTries = 8;

}  // namespace

SNMP_UDPTransport::SNMP_UDPTransport(uint32_t addressNetworkOrder, uint16_t portHostOrder) {
  auto *in = reinterpret_cast<sockaddr_in *>(&peer_);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = addressNetworkOrder;
  in->sin_port = htons(portHostOrder);
  peerLength_ = sizeof(sockaddr_in);
  open();
}

SNMP_UDPTransport::SNMP_UDPTransport(const struct sockaddr *address, socklen_t length) {
  bool usable =
      address != nullptr && ((address->sa_family == AF_INET && length == sizeof(sockaddr_in)) ||
                             (address->sa_family == AF_INET6 && length == sizeof(sockaddr_in6)));
  if (!usable) {
    openError_ = EAFNOSUPPORT;
    return;
  }
  memcpy(&peer_, address, length);
  peerLength_ = length;
  open();
}

void SNMP_UDPTransport::open() {
  int fd = socket(peer_.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    openError_ = errno;
    return;
  }
  if (connect(fd, reinterpret_cast<const sockaddr *>(&peer_), peerLength_) != 0) {
    openError_ = errno;
    close(fd);
    return;
  }
  socket_ = fd;
}

namespace {

// Splits an address text into family, host and port (see create()).
bool SplitAddress(const char *text, uint16_t defaultPort, int *family, std::string *host,
                  uint16_t *port) {
  std::string_view t(text);
  *family = AF_UNSPEC;
  if (t.starts_with("udp6:")) {
    *family = AF_INET6;
    t.remove_prefix(5);
  } else if (t.starts_with("udp:")) {
    *family = AF_INET;
    t.remove_prefix(4);
  }
  std::string_view portText;
  if (t.starts_with("[")) {
    size_t close = t.find(']');
    if (close == std::string_view::npos) return false;
    std::string_view rest = t.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      portText = rest.substr(1);
      if (portText.empty()) return false;
    }
    t = t.substr(1, close - 1);
  } else if (t.find(':') != std::string_view::npos && t.find(':') == t.rfind(':')) {
    // One colon: HOST:PORT. More are an IPv6 address without a port.
    size_t colon = t.find(':');
    portText = t.substr(colon + 1);
    t = t.substr(0, colon);
    if (portText.empty()) return false;
  }
  if (t.empty() || t.size() > 255) return false;
  *port = defaultPort;
  if (!portText.empty()) {
    uint32_t value = 0;
    for (char c : portText) {
      if (c < '0' || c > '9' || value > 65535) return false;
      value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
  }
  if (*port == 0) return false;
  host->assign(t);
  return true;
}

}  // namespace

SNMP_UDPTransport *SNMP_UDPTransport::create(const char *address, uint16_t defaultPort,
                                             uint32_t *result) {
  uint32_t ignored;
  if (result == nullptr) result = &ignored;
  *result = SNMP_ERR_BAD_ADDRESS;
  int family;
  std::string host;
  uint16_t port;
  if (address == nullptr || !SplitAddress(address, defaultPort, &family, &host, &port))
    return nullptr;
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return nullptr;
  sockaddr_storage peer{};
  socklen_t length = 0;
  for (addrinfo *a = found; a != nullptr; a = a->ai_next) {
    if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) && a->ai_addrlen <= sizeof(peer)) {
      memcpy(&peer, a->ai_addr, a->ai_addrlen);
      length = a->ai_addrlen;
      break;
    }
  }
  freeaddrinfo(found);
  if (length == 0) return nullptr;
  if (peer.ss_family == AF_INET)
    reinterpret_cast<sockaddr_in *>(&peer)->sin_port = htons(port);
  else
    reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_port = htons(port);
  auto *transport =
      new (std::nothrow) SNMP_UDPTransport(reinterpret_cast<sockaddr *>(&peer), length);
  if (transport == nullptr || !transport->isConnected()) {
    delete transport;
    *result = SNMP_ERR_COMM;
    return nullptr;
  }
  *result = SNMP_ERR_SUCCESS;
  return transport;
}

SNMP_UDPTransport::~SNMP_UDPTransport() {
  if (socket_ >= 0) close(socket_);
  // Both buffers held messages with the community in them.
  if (!sendBuffer_.empty()) explicit_bzero(sendBuffer_.data(), sendBuffer_.size());
  if (recvBuffer_) explicit_bzero(recvBuffer_.get(), SNMP_MAX_MESSAGE_SIZE + 1);
}

int SNMP_UDPTransport::sendMessage(SNMP_PDU *pdu) {
  if (socket_ < 0 || pdu == nullptr) return -1;
  size_t size = pdu->encode(sendBuffer_, securityContext.get());
  if (size == 0) return -1;
  bool failedOnce = false;
  for (int attempt = 0; attempt < kMaxSendTries; attempt++) {
    ssize_t n = send(socket_, sendBuffer_.data(), size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    KmNetOutcome outcome = KmClassifySocketError(errno);
    if (outcome == KmNetOutcome::Retry || outcome == KmNetOutcome::WouldBlock) continue;
    // An error left pending by an earlier datagram (the agent's host
    // answered it with "port unreachable") is cleared by reporting it; this
    // datagram has not gone yet, so send it once more.
    if (failedOnce) return -1;
    failedOnce = true;
  }
  return -1;
}

int SNMP_UDPTransport::readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *sender,
                                   int *addrSize, SNMP_SecurityContextFinder contextFinder) {
  if (socket_ < 0 || pdu == nullptr) return -1;
  if (!recvBuffer_) {
    recvBuffer_.reset(new (std::nothrow) uint8_t[SNMP_MAX_MESSAGE_SIZE + 1]);
    if (!recvBuffer_) return -1;
  }
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) left = 0;
    if (left > INT_MAX) left = INT_MAX;
    // Waits in the receive itself (one system call): the socket is blocking
    // and its receive time-out is the time left. Nothing left: only look.
    int flags = MSG_TRUNC;
    if (left == 0) {
      flags |= MSG_DONTWAIT;
    } else if (left != armedTimeoutMs_) {
      struct timeval tv = {static_cast<time_t>(left / 1000),
                           static_cast<suseconds_t>(left % 1000 * 1000)};
      if (setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) return -1;
      armedTimeoutMs_ = left;
    }
    ssize_t n = recv(socket_, recvBuffer_.get(), SNMP_MAX_MESSAGE_SIZE + 1, flags);
    if (n < 0) {
      KmNetOutcome outcome = KmClassifySocketError(errno);
      if (outcome == KmNetOutcome::WouldBlock) return 0;          // the time-out passed
      if (outcome == KmNetOutcome::Retry && left != 0) continue;  // a signal
      return -1;
    }
    if (n == 0) {
      if (left == 0) return 0;
      continue;  // an empty datagram carries nothing to answer
    }
    if (sender != nullptr && addrSize != nullptr && *addrSize >= static_cast<int>(peerLength_)) {
      memcpy(sender, &peer_, peerLength_);
      *addrSize = static_cast<int>(peerLength_);
    }
    if (contextFinder != nullptr) {
      SNMP_SecurityContext *ctx = contextFinder(sender, addrSize != nullptr ? *addrSize : 0);
      if (ctx != nullptr) setSecurityContext(ctx);
    }
    // A datagram cut by the buffer (MSG_TRUNC gives its real size) is not
    // decoded.
    *pdu = static_cast<size_t>(n) <= SNMP_MAX_MESSAGE_SIZE
               ? decodeMessage(recvBuffer_.get(), static_cast<size_t>(n))
               : nullptr;
    return static_cast<int>(n);
  }
}
