// Helpers for the net tests: socket pairs, patterned wire messages, header
// fields, and writes with pauses, so that reads see the bytes in pieces.
// Each helper is for the calling thread; a SocketPair's ends may be used by
// two threads, one each.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "kmbase/byte_order.h"
#include "kmbase/kmcp.h"
#include "kmbase/net.h"
#include "support/wire.h"

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

// A wire message of `size` bytes (at least a header) whose bytes after the
// header follow a pattern seeded by `seed`.
inline std::vector<uint8_t> wireMessage(uint16_t code, uint32_t size, uint32_t id,
                                        uint8_t seed = 1, uint16_t flags = 0) {
  const size_t payload = size < KMCP_HEADER_SIZE ? 0 : size - KMCP_HEADER_SIZE;
  std::vector<uint8_t> m = kmtest::WireHeader(code, size, id, payload, flags);
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

// Header fields of a received message.
inline uint16_t headerCode(const void *msg) {
  return KmLoadBe16(static_cast<const uint8_t *>(msg));
}
inline uint16_t headerFlags(const void *msg) {
  return KmLoadBe16(static_cast<const uint8_t *>(msg) + 2);
}
inline uint32_t headerWord(const void *msg, int index) {
  return KmLoadBe32(static_cast<const uint8_t *>(msg) + 4 * index);
}

}  // namespace nettest
