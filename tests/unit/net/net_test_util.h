// Helpers for the net tests: socket pairs, hand-built wire messages and a
// thread that writes bytes with pauses, so that reads see them in pieces.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "kmbase/kmcp.h"
#include "kmbase/net.h"

namespace nettest {

// A connected stream socket pair; closes what is still open at the end.
struct SocketPair {
  int a = -1;  // the receiving end in most tests
  int b = -1;  // the peer
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      a = fds[0];
      b = fds[1];
      // Bounds every blocking read a test makes on either end.
      timeval tv{30, 0};
      ::setsockopt(a, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      ::setsockopt(b, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
  }
  ~SocketPair() {
    closeA();
    closeB();
  }
  void closeA() {
    if (a >= 0) ::close(a);
    a = -1;
  }
  void closeB() {
    if (b >= 0) ::close(b);
    b = -1;
  }
  SocketPair(const SocketPair &) = delete;
  SocketPair &operator=(const SocketPair &) = delete;
};

// A wire message of `size` bytes (header big-endian) whose bytes after the
// header follow a pattern seeded by `seed`.
inline std::vector<uint8_t> wireMessage(uint16_t code, uint32_t size, uint32_t id,
                                        uint8_t seed = 1, uint16_t flags = 0) {
  std::vector<uint8_t> m(size < KMCP_HEADER_SIZE ? KMCP_HEADER_SIZE : size);
  uint16_t c = htons(code), f = htons(flags);
  uint32_t s = htonl(size), i = htonl(id), n = htonl(0);
  std::memcpy(&m[0], &c, 2);
  std::memcpy(&m[2], &f, 2);
  std::memcpy(&m[4], &s, 4);
  std::memcpy(&m[8], &i, 4);
  std::memcpy(&m[12], &n, 4);
  for (size_t k = KMCP_HEADER_SIZE; k < m.size(); ++k) m[k] = static_cast<uint8_t>(seed + k * 7);
  return m;
}

inline void append(std::vector<uint8_t> &to, const std::vector<uint8_t> &more) {
  to.insert(to.end(), more.begin(), more.end());
}

// Writes all bytes with a blocking socket (test side; retries short writes).
inline bool writeAll(int fd, const void *data, size_t len) {
  const auto *p = static_cast<const uint8_t *>(data);
  while (len > 0) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}
inline bool writeAll(int fd, const std::vector<uint8_t> &v) { return writeAll(fd, v.data(), v.size()); }

// Writes `bytes` in pieces of `piece` bytes with a short pause after each,
// so the reader meets them one piece at a time.
inline void lazyWrite(int fd, const std::vector<uint8_t> &bytes, size_t piece) {
  for (size_t off = 0; off < bytes.size(); off += piece) {
    size_t n = std::min(piece, bytes.size() - off);
    if (!writeAll(fd, bytes.data() + off, n)) return;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

inline uint16_t headerCode(const void *msg) {
  uint16_t c;
  std::memcpy(&c, msg, 2);
  return ntohs(c);
}
inline uint16_t headerFlags(const void *msg) {
  uint16_t c;
  std::memcpy(&c, static_cast<const uint8_t *>(msg) + 2, 2);
  return ntohs(c);
}
inline uint32_t headerWord(const void *msg, int index) {
  uint32_t v;
  std::memcpy(&v, static_cast<const uint8_t *>(msg) + 4 * index, 4);
  return ntohl(v);
}

}  // namespace nettest
