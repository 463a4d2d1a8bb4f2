// Socket calls, the mapping of errno to outcomes, the streams bound to
// sockets, ConnectEx and SendEx. This is the only file of the area that reads
// errno after a socket call (the TLS stream's socket calls report through
// setLastError).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>

#include "kmbase/fd_io.h"
#include "net_internal.h"

namespace {

thread_local int t_lastError = 0;

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline (never negative); -1 stays -1 (no limit).
int remainingMs(int timeoutMs, Clock::time_point deadline) {
  if (timeoutMs < 0) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Records errno of the failed call and says what it means.
KmNetOutcome failure() {
  int err = errno;
  t_lastError = err;
  return KmClassifySocketError(err);
}

}  // namespace

KmNetOutcome KmClassifySocketError(int err) {
  switch (err) {
    case EINTR:
      return KmNetOutcome::Retry;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
    case EALREADY:
      return KmNetOutcome::WouldBlock;
    case ETIMEDOUT:
      return KmNetOutcome::TimedOut;
    case EPIPE:
    case ECONNRESET:
    case ECONNABORTED:
    case ENOTCONN:
    case ESHUTDOWN:
      return KmNetOutcome::Closed;
    default:
      return KmNetOutcome::Failed;
  }
}

int KmGetLastSocketError() { return t_lastError; }

namespace kmnet {

void setLastError(int err) { t_lastError = err; }

namespace {

// The streams bound to sockets, by socket number: pages of slots made on
// first use and kept for the life of the process, so a lookup is two loads
// and never races with a page being freed. Numbers beyond the table cannot
// have a stream (a TLS handshake on them fails).
constexpr int kPageBits = 10;
constexpr size_t kPageSize = size_t{1} << kPageBits;
constexpr size_t kPages = 1024;  // socket numbers below 1,048,576
struct Page {
  std::atomic<Stream *> slots[kPageSize] = {};
};
std::atomic<Page *> g_pages[kPages];

std::atomic<Stream *> *slotOf(SOCKET sock, bool make) {
  if (sock < 0) return nullptr;
  const size_t page = static_cast<size_t>(sock) >> kPageBits;
  if (page >= kPages) return nullptr;
  Page *p = g_pages[page].load(std::memory_order_acquire);
  if (p == nullptr) {
    if (!make) return nullptr;
    Page *fresh = new Page;
    if (g_pages[page].compare_exchange_strong(p, fresh, std::memory_order_acq_rel))
      p = fresh;
    else
      delete fresh;  // another thread made it first; p holds its page
  }
  return &p->slots[static_cast<size_t>(sock) & (kPageSize - 1)];
}

}  // namespace

Stream *streamOf(SOCKET sock) {
  std::atomic<Stream *> *slot = slotOf(sock, false);
  return slot == nullptr ? nullptr : slot->load(std::memory_order_acquire);
}

bool bindStream(SOCKET sock, Stream *stream) {
  std::atomic<Stream *> *slot = slotOf(sock, true);
  if (slot == nullptr) {
    delete stream;
    setLastError(EMFILE);
    return false;
  }
  // A stream left on this number would belong to a socket closed without
  // KmSocketClose; it cannot be in use any more.
  delete slot->exchange(stream, std::memory_order_acq_rel);
  return true;
}

void unbindStream(SOCKET sock) {
  std::atomic<Stream *> *slot = slotOf(sock, false);
  if (slot != nullptr) delete slot->exchange(nullptr, std::memory_order_acq_rel);
}

int pollTimeout(uint32_t timeout_ms) {
  if (timeout_ms == KM_INFINITE) return -1;
  return timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms);
}

Wait waitFor(SOCKET sock, short events, int timeoutMs) {
  if (Stream *stream = streamOf(sock)) {
    if ((events & POLLIN) != 0 && stream->buffered()) return Wait::Ready;
    events = stream->pollEvents(events);
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    pollfd p{sock, events, 0};
    int r = ::poll(&p, 1, remainingMs(timeoutMs, deadline));
    if (r > 0) {
      if (p.revents & POLLNVAL) {
        setLastError(EBADF);
        return Wait::Failed;
      }
      return Wait::Ready;  // errors and hang-ups surface in the next call
    }
    if (r == 0) {
      setLastError(ETIMEDOUT);
      return Wait::TimedOut;
    }
    if (failure() != KmNetOutcome::Retry) return Wait::Failed;
  }
}

namespace {

// One socket call that never waits, repeated after a signal: its count, or
// kWouldBlock / kFailed (last error set).
template <typename Call>
ssize_t nonBlocking(Call call) {
  for (;;) {
    const ssize_t n = call();
    if (n >= 0) return n;
    switch (failure()) {
      case KmNetOutcome::Retry:
        continue;
      case KmNetOutcome::WouldBlock:
        return kWouldBlock;
      default:
        return kFailed;
    }
  }
}

}  // namespace

ssize_t recvSome(SOCKET sock, void *buf, size_t len) {
  if (Stream *stream = streamOf(sock)) return stream->readSome(buf, len);
  return nonBlocking([&] { return ::recv(sock, buf, len, MSG_DONTWAIT); });
}

bool armReceiveWait(SOCKET sock, int timeoutMs, ReceiveWait *armed) {
  if (timeoutMs == 0) return false;  // a zero time-out on the socket means "forever"
  if (streamOf(sock) != nullptr) return false;  // its bytes are not the socket's: poll
  if (armed->sock != sock) {
    const int fl = ::fcntl(sock, F_GETFL);
    armed->sock = sock;
    armed->blocking = fl >= 0 && (fl & O_NONBLOCK) == 0;
    armed->timeoutMs = kNoTimeoutSet;
  }
  if (!armed->blocking) return false;
  if (armed->timeoutMs == timeoutMs) return true;
  timeval tv{};
  if (timeoutMs > 0) {
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000) * 1000;
  }
  if (::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) {
    armed->blocking = false;  // poll instead, as for a non-blocking socket
    return false;
  }
  armed->timeoutMs = timeoutMs;
  return true;
}

ssize_t recvWaiting(SOCKET sock, void *buf, size_t len) {
  ssize_t n = ::recv(sock, buf, len, 0);
  if (n >= 0) return n;
  switch (failure()) {
    case KmNetOutcome::Retry:
      return kInterrupted;
    case KmNetOutcome::WouldBlock:
      setLastError(ETIMEDOUT);
      return kWouldBlock;
    default:
      return kFailed;
  }
}

ssize_t sendSome(SOCKET sock, const void *buf, size_t len, int flags) {
  if (Stream *stream = streamOf(sock)) return stream->writeSome(buf, len);
  return nonBlocking([&] { return ::send(sock, buf, len, flags | MSG_NOSIGNAL | MSG_DONTWAIT); });
}

int openForRead(const char *path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) failure();
  return fd;
}

bool seekTo(int fd, int64_t offset) {
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(-1)) {
    failure();
    return false;
  }
  return true;
}

ssize_t readFull(int fd, void *buf, size_t len) {
  const ssize_t n = KmReadFull(fd, buf, len);
  if (n < 0) failure();
  return n;
}

void closeFile(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace kmnet

SOCKET KmSocketOpenTcp() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    failure();
    return INVALID_SOCKET;
  }
  return s;
}

int KmSocketShutdown(SOCKET sock, int how) {
  if (::shutdown(sock, how) == 0) return 0;
  failure();
  return -1;
}

void KmSocketClose(SOCKET sock) {
  if (sock == INVALID_SOCKET) return;
  kmnet::unbindStream(sock);  // before the number can be reused
  ::close(sock);
}

ssize_t KmStreamReadSome(SOCKET sock, void *buf, size_t len) {
  return kmnet::recvSome(sock, buf, len);
}

ssize_t KmStreamWriteSome(SOCKET sock, const void *buf, size_t len) {
  return kmnet::sendSome(sock, buf, len, 0);
}

bool KmStreamBuffered(SOCKET sock) {
  kmnet::Stream *stream = kmnet::streamOf(sock);
  return stream != nullptr && stream->buffered();
}

short KmStreamPollEvents(SOCKET sock, short wanted) {
  kmnet::Stream *stream = kmnet::streamOf(sock);
  return stream == nullptr ? wanted : stream->pollEvents(wanted);
}

SOCKET KmSocketListenTcp(uint32_t addrNetOrder, uint16_t port, int backlog, uint16_t *boundPort) {
  SOCKET s = KmSocketOpenTcp();
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  int one = 1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addrNetOrder;
  sa.sin_port = htons(port);
  socklen_t len = sizeof(sa);
  if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      ::bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 || ::listen(s, backlog) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    failure();
    ::close(s);
    return INVALID_SOCKET;
  }
  if (boundPort != nullptr) *boundPort = ntohs(sa.sin_port);
  return s;
}

SOCKET KmSocketAccept(SOCKET listener, uint32_t timeout_ms) {
  const int timeoutMs = kmnet::pollTimeout(timeout_ms);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (kmnet::waitFor(listener, POLLIN, remainingMs(timeoutMs, deadline)) != kmnet::Wait::Ready)
      return INVALID_SOCKET;
    // Non-blocking accept: a connection reported by poll may be gone again.
    SOCKET s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s >= 0) {
      int fl = ::fcntl(s, F_GETFL);
      if (fl < 0 || ::fcntl(s, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        failure();
        ::close(s);
        return INVALID_SOCKET;
      }
      return s;
    }
    KmNetOutcome o = failure();
    if (o != KmNetOutcome::Retry && o != KmNetOutcome::WouldBlock && o != KmNetOutcome::Closed)
      return INVALID_SOCKET;
  }
}

int ConnectEx(SOCKET sock, const struct sockaddr *addr, socklen_t addrLen, uint32_t timeout_ms) {
  if (addr == nullptr) {
    t_lastError = EINVAL;
    return -1;
  }
  const int oldFlags = ::fcntl(sock, F_GETFL);
  if (oldFlags < 0 || ((oldFlags & O_NONBLOCK) == 0 &&
                       ::fcntl(sock, F_SETFL, oldFlags | O_NONBLOCK) != 0)) {
    failure();
    return -1;
  }

  int err = 0;
  if (::connect(sock, addr, addrLen) != 0) {
    KmNetOutcome o = failure();
    // An interrupted connect goes on in the background, like one in progress.
    if (o == KmNetOutcome::WouldBlock || o == KmNetOutcome::Retry) {
      switch (kmnet::waitFor(sock, POLLOUT, kmnet::pollTimeout(timeout_ms))) {
        case kmnet::Wait::Ready: {
          socklen_t len = sizeof(err);
          if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
            failure();
            err = t_lastError;
          }
          break;
        }
        case kmnet::Wait::TimedOut:
          err = ETIMEDOUT;
          break;
        case kmnet::Wait::Failed:
          err = t_lastError;
          break;
      }
    } else {
      err = t_lastError;
    }
  }

  if ((oldFlags & O_NONBLOCK) == 0 && ::fcntl(sock, F_SETFL, oldFlags) != 0 && err == 0) {
    failure();
    err = t_lastError;
  }
  t_lastError = err;
  return err == 0 ? 0 : -1;
}

int SendEx(SOCKET sock, const void *data, size_t len, int flags, KmMutex *lock) {
  return SendExWithin(sock, data, len, flags, lock, KM_INFINITE);
}

int SendExWithin(SOCKET sock, const void *data, size_t len, int flags, KmMutex *lock,
                 uint32_t timeout_ms) {
  if (len > static_cast<size_t>(INT32_MAX) || (data == nullptr && len != 0)) {
    t_lastError = EINVAL;
    return -1;
  }
  const int timeoutMs = kmnet::pollTimeout(timeout_ms);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  kmnet::MaybeLock guard(lock);
  const auto *p = static_cast<const uint8_t *>(data);
  // With a time limit a send never blocks in the kernel: a full socket buffer
  // waits in poll, where the limit holds whatever mode the socket is in.
  // Without one, a blocking socket's send waits inside the call (fewer calls
  // for a large buffer).
  // A stream (TLS) never waits inside its write; it waits in poll like a
  // plain send with a time limit.
  kmnet::Stream *stream = kmnet::streamOf(sock);
  const int mode = flags | MSG_NOSIGNAL | (timeout_ms == KM_INFINITE ? 0 : MSG_DONTWAIT);
  size_t sent = 0;
  bool ok = true;
  while (sent < len) {
    KmNetOutcome o;
    if (stream != nullptr) {
      const ssize_t n = stream->writeSome(p + sent, len - sent);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      o = n == kmnet::kWouldBlock ? KmNetOutcome::WouldBlock : KmNetOutcome::Failed;
    } else {
      const ssize_t n = ::send(sock, p + sent, len - sent, mode);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n == 0) {  // no progress on a stream socket: treat as broken
        t_lastError = EPIPE;
        ok = false;
        break;
      }
      o = failure();
    }
    if (o == KmNetOutcome::Retry) continue;
    if (o == KmNetOutcome::WouldBlock &&
        kmnet::waitFor(sock, POLLOUT, remainingMs(timeoutMs, deadline)) == kmnet::Wait::Ready)
      continue;
    ok = false;
    break;
  }
  return ok ? static_cast<int>(len) : -1;
}
