#include "service_check.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "io_wait.h"

namespace kmagent::detail {
namespace {

// Owns one socket.
struct Socket {
  explicit Socket(int f) : fd(f) {}
  ~Socket() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
  int fd;
};

bool Connect(int fd, uint32_t address, uint16_t port, uint32_t timeoutMs, const KmEvent &stop) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  if (::connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa)) == 0) {
    return true;
  }
  if (errno != EINPROGRESS) {
    return false;
  }
  if (WaitForSocket(fd, POLLOUT, timeoutMs, stop) != WaitResult::Ready) {
    return false;
  }
  int error = 0;
  socklen_t len = sizeof(error);
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

bool SendAll(int fd, std::string_view text, uint32_t timeoutMs, const KmEvent &stop) {
  while (!text.empty()) {
    const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n > 0) {
      text.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    const KmNetOutcome o = n < 0 ? KmClassifySocketError(errno) : KmNetOutcome::Closed;
    if (o == KmNetOutcome::Retry) {
      continue;
    }
    if (o != KmNetOutcome::WouldBlock ||
        WaitForSocket(fd, POLLOUT, timeoutMs, stop) != WaitResult::Ready) {
      return false;
    }
  }
  return true;
}

}  // namespace

uint32_t CheckTcpService(uint32_t address, uint16_t port, std::string_view request,
                         std::string_view expected, uint32_t timeoutMs, const KmEvent &stop) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (s.fd < 0 || !Connect(s.fd, address, port, timeoutMs, stop)) {
    return kServiceCannotConnect;
  }
  if (!request.empty() && !SendAll(s.fd, request, timeoutMs, stop)) {
    return kServiceBadResponse;
  }
  if (expected.empty()) {
    return kServiceOk;
  }
  const size_t want = std::min(expected.size(), kMaxServiceResponse);
  std::string response;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[1024];
  while (response.size() < want) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 ||
        WaitForSocket(s.fd, POLLIN, static_cast<uint32_t>(left), stop) != WaitResult::Ready) {
      break;
    }
    const ssize_t n = ::recv(s.fd, buf, std::min(sizeof(buf), want - response.size()), 0);
    if (n > 0) {
      response.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || KmClassifySocketError(errno) != KmNetOutcome::Retry) {
      if (n < 0 && KmClassifySocketError(errno) == KmNetOutcome::WouldBlock) {
        continue;
      }
      break;
    }
  }
  return response.size() >= want && expected.substr(0, want) == response ? kServiceOk
                                                                          : kServiceBadResponse;
}

}  // namespace kmagent::detail
