#include "proxy_relay.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "kmbase/fd_io.h"

namespace kmagent::detail {
namespace {

// Bytes read from one side and not yet written to the other.
struct Pipe {
  std::unique_ptr<uint8_t[]> data{new uint8_t[kRelayBufferSize]};
  size_t start = 0;
  size_t end = 0;
  bool empty() const { return start == end; }
};

enum class Io { Progress, WouldBlock, Closed };

// What one non-blocking receive or send (repeated after a signal) did.
Io Outcome(ssize_t n) {
  if (n > 0) return Io::Progress;
  if (n < 0 && KmClassifySocketError(errno) == KmNetOutcome::WouldBlock) return Io::WouldBlock;
  return Io::Closed;
}

// One read into an empty pipe.
Io ReadInto(SOCKET from, Pipe &pipe) {
  const ssize_t n = KmRetryInterrupted(
      [&] { return ::recv(from, pipe.data.get(), kRelayBufferSize, MSG_DONTWAIT); });
  if (n > 0) {
    pipe.start = 0;
    pipe.end = static_cast<size_t>(n);
  }
  return Outcome(n);
}

// One write of what the pipe holds.
Io WriteFrom(Pipe &pipe, SOCKET to) {
  const ssize_t n = KmRetryInterrupted([&] {
    return ::send(to, pipe.data.get() + pipe.start, pipe.end - pipe.start,
                  MSG_DONTWAIT | MSG_NOSIGNAL);
  });
  if (n > 0) {
    pipe.start += static_cast<size_t>(n);
    if (pipe.empty()) pipe.start = pipe.end = 0;
  }
  return Outcome(n);
}

}  // namespace

RelayEnd RelayStreams(SOCKET client, SOCKET target, std::span<const uint8_t> toTarget,
                      uint32_t idleTimeoutMs) {
  Pipe up;    // client -> target
  Pipe down;  // target -> client
  const size_t pending = std::min(toTarget.size(), kRelayBufferSize);
  if (pending != 0) {
    std::memcpy(up.data.get(), toTarget.data(), pending);
  }
  up.end = pending;

  const int timeout =
      idleTimeoutMs == 0 ? -1 : static_cast<int>(std::min<uint32_t>(idleTimeoutMs, INT_MAX));
  for (;;) {
    // Read a side only when what it sent before has been passed on: a side
    // that does not read then slows the other down instead of growing a
    // buffer.
    pollfd fds[2] = {{client, 0, 0}, {target, 0, 0}};
    if (up.empty()) {
      fds[0].events |= POLLIN;
    }
    if (!down.empty()) {
      fds[0].events |= POLLOUT;
    }
    if (down.empty()) {
      fds[1].events |= POLLIN;
    }
    if (!up.empty()) {
      fds[1].events |= POLLOUT;
    }
    const int ready = ::poll(fds, 2, timeout);
    if (ready == 0) {
      return RelayEnd::Idle;
    }
    if (ready < 0) {
      if (KmClassifySocketError(errno) == KmNetOutcome::Retry) {
        continue;
      }
      return RelayEnd::ClientClosed;
    }
    if (fds[0].revents & POLLNVAL) {
      return RelayEnd::ClientClosed;
    }
    if (fds[1].revents & POLLNVAL) {
      return RelayEnd::TargetClosed;
    }

    // Errors and hang-ups show in the next read or write.
    const short failed = POLLERR | POLLHUP;
    bool moved = false;
    if (!up.empty() && (fds[1].revents & (POLLOUT | failed))) {
      const Io io = WriteFrom(up, target);
      if (io == Io::Closed) {
        return RelayEnd::TargetClosed;
      }
      moved |= io == Io::Progress;
    }
    if (!down.empty() && (fds[0].revents & (POLLOUT | failed))) {
      const Io io = WriteFrom(down, client);
      if (io == Io::Closed) {
        return RelayEnd::ClientClosed;
      }
      moved |= io == Io::Progress;
    }
    if (up.empty() && (fds[0].revents & (POLLIN | failed))) {
      const Io io = ReadInto(client, up);
      if (io == Io::Closed) {
        return RelayEnd::ClientClosed;
      }
      moved |= io == Io::Progress;
    }
    if (down.empty() && (fds[1].revents & (POLLIN | failed))) {
      const Io io = ReadInto(target, down);
      if (io == Io::Closed) {
        return RelayEnd::TargetClosed;
      }
      moved |= io == Io::Progress;
    }
    // A side that hung up while its bytes wait for the other side would make
    // poll() return at once forever: give the hop up instead of spinning.
    if (!moved) {
      if (fds[0].revents & failed) {
        return RelayEnd::ClientClosed;
      }
      if (fds[1].revents & failed) {
        return RelayEnd::TargetClosed;
      }
    }
  }
}

}  // namespace kmagent::detail
