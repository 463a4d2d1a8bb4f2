// SNMP_UDPTransport: a connected IPv4 UDP socket.
#include "kmsnmp/udp_transport.h"

#include <errno.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <new>

namespace {

enum class IoOutcome { Retry, Refused, Failed };

// The one place that turns errno into what the transport does next.
// Refused: the agent's host answered with "port unreachable" to an earlier
// datagram; the error is reported once and then cleared.
IoOutcome ClassifyErrno(int err) {
  switch (err) {
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return IoOutcome::Retry;
    case ECONNREFUSED:
      return IoOutcome::Refused;
    default:
      return IoOutcome::Failed;
  }
}

// A few interruptions in a row are normal; an endless stream is not.
constexpr int kMaxSendTries = 8;

}  // namespace

SNMP_UDPTransport::SNMP_UDPTransport(uint32_t addressNetworkOrder, uint16_t portHostOrder) {
  peer_.sin_family = AF_INET;
  peer_.sin_addr.s_addr = addressNetworkOrder;
  peer_.sin_port = htons(portHostOrder);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    openError_ = errno;
    return;
  }
  if (connect(fd, reinterpret_cast<const sockaddr *>(&peer_), sizeof(peer_)) != 0) {
    openError_ = errno;
    close(fd);
    return;
  }
  socket_ = fd;
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
  bool refusedOnce = false;
  for (int attempt = 0; attempt < kMaxSendTries; attempt++) {
    ssize_t n = send(socket_, sendBuffer_.data(), size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    IoOutcome outcome = ClassifyErrno(errno);
    // A refusal left over from an earlier datagram is cleared by reporting
    // it; this datagram has not gone yet, so send it once more.
    if (outcome == IoOutcome::Refused && !refusedOnce) {
      refusedOnce = true;
      continue;
    }
    if (outcome != IoOutcome::Retry) return -1;
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
      const int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK) return 0;  // the time-out passed
      if (ClassifyErrno(err) == IoOutcome::Retry && left != 0) continue;  // a signal
      return -1;
    }
    if (n == 0) {
      if (left == 0) return 0;
      continue;  // an empty datagram carries nothing to answer
    }
    if (sender != nullptr && addrSize != nullptr && *addrSize >= static_cast<int>(sizeof(peer_))) {
      memcpy(sender, &peer_, sizeof(peer_));
      *addrSize = static_cast<int>(sizeof(peer_));
    }
    if (contextFinder != nullptr) {
      SNMP_SecurityContext *ctx = contextFinder(sender, addrSize != nullptr ? *addrSize : 0);
      if (ctx != nullptr) setSecurityContext(ctx);
    }
    SNMP_PDU *decoded = nullptr;
    if (static_cast<size_t>(n) <= SNMP_MAX_MESSAGE_SIZE) {
      decoded = new (std::nothrow) SNMP_PDU();
      if (decoded != nullptr && !decoded->parse(recvBuffer_.get(), static_cast<size_t>(n),
                                                securityContext.get(), parseFlags)) {
        delete decoded;
        decoded = nullptr;
      }
    }
    *pdu = decoded;
    return static_cast<int>(n);
  }
}
