#include "snmp_forward.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "io_wait.h"

namespace kmagent::detail {

ForwardOutcome ForwardSnmp(uint32_t address, uint16_t port, std::span<const uint8_t> pdu,
                           uint32_t timeoutMs, const KmEvent &stop, std::vector<uint8_t> *answer) {
  answer->clear();
  if (pdu.empty() || pdu.size() > kMaxSnmpPdu) {
    return ForwardOutcome::Failed;
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return ForwardOutcome::Failed;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  ForwardOutcome outcome = ForwardOutcome::Failed;
  if (::connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa)) == 0 &&
      ::send(fd, pdu.data(), pdu.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(pdu.size())) {
    answer->resize(kMaxSnmpPdu);
    outcome = ForwardOutcome::NoAnswer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) {
        break;
      }
      const WaitResult w = WaitForSocket(fd, POLLIN, static_cast<uint32_t>(left), stop);
      if (w == WaitResult::Stopped) {
        outcome = ForwardOutcome::Stopped;
        break;
      }
      if (w != WaitResult::Ready) {
        outcome = w == WaitResult::TimedOut ? ForwardOutcome::NoAnswer : ForwardOutcome::Failed;
        break;
      }
      const ssize_t n = ::recv(fd, answer->data(), answer->size(), 0);
      if (n == 0) {
        continue;  // an empty datagram is no SNMP message
      }
      if (n > 0) {
        answer->resize(static_cast<size_t>(n));
        outcome = ForwardOutcome::Answered;
        break;
      }
      if (errno == ECONNREFUSED) {
        break;  // NoAnswer: the device's host said nobody listens there
      }
      const KmNetOutcome o = KmClassifySocketError(errno);
      if (o != KmNetOutcome::Retry && o != KmNetOutcome::WouldBlock) {
        outcome = ForwardOutcome::Failed;
        break;
      }
    }
  } else if (errno == ECONNREFUSED) {
    outcome = ForwardOutcome::NoAnswer;
  }
  if (outcome != ForwardOutcome::Answered) {
    answer->clear();
  }
  ::close(fd);
  return outcome;
}

}  // namespace kmagent::detail
