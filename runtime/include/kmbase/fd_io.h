// Whole reads and writes on a file descriptor (file, pipe or socket in
// blocking mode) and the one loop that repeats a system call a signal
// interrupted. Header-only; any thread.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Calls call() again for as long as it fails with EINTR; returns its last
// result. For calls that return -1 and set errno (read, write, open, poll,
// waitpid, ...).
template <typename Call>
inline auto KmRetryInterrupted(Call &&call) -> decltype(call()) {
  for (;;) {
    auto result = call();
    if (!(result < 0 && errno == EINTR)) return result;
  }
}

// Writes all len bytes. False when a write fails or writes nothing (errno
// tells why; some bytes may have gone out).
inline bool KmWriteAll(int fd, const void *data, size_t len) {
  const auto *p = static_cast<const uint8_t *>(data);
  while (len > 0) {
    const ssize_t n = KmRetryInterrupted([&] { return ::write(fd, p, len); });
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Reads until len bytes or the end of the file: the count read (less than
// len only at the end), or -1 when a read fails (errno tells why).
inline ssize_t KmReadFull(int fd, void *buf, size_t len) {
  auto *p = static_cast<uint8_t *>(buf);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = KmRetryInterrupted([&] { return ::read(fd, p + done, len - done); });
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}
