#include "proxy_relay.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

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

// What one read or write of the connection's stream did (KmStreamReadSome /
// KmStreamWriteSome: > 0 bytes, 0 closed, -1 nothing now, -2 failed). A write
// that moved nothing is taken as closed rather than tried again at once.
Io Outcome(ssize_t n) {
  if (n > 0) return Io::Progress;
  return n == -1 ? Io::WouldBlock : Io::Closed;
}

// One read into an empty pipe.
Io ReadInto(SOCKET from, Pipe &pipe) {
  const ssize_t n = KmStreamReadSome(from, pipe.data.get(), kRelayBufferSize);
  if (n > 0) {
    pipe.start = 0;
    pipe.end = static_cast<size_t>(n);
  }
  return Outcome(n);
}

// One write of what the pipe holds. After a write that could not go on, the
// next one offers the same bytes again (as a TLS stream requires).
Io WriteFrom(Pipe &pipe, SOCKET to) {
  const ssize_t n = KmStreamWriteSome(to, pipe.data.get() + pipe.start, pipe.end - pipe.start);
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
    // buffer. A stream may need the other direction to go on (a TLS stream
    // that renegotiates keys), and may hold bytes it has already taken from
    // the socket, which poll cannot show: those are read without waiting.
    const bool clientBuffered = up.empty() && KmStreamBuffered(client);
    const bool targetBuffered = down.empty() && KmStreamBuffered(target);
    pollfd fds[2] = {{client, 0, 0}, {target, 0, 0}};
    if (up.empty()) fds[0].events |= KmStreamPollEvents(client, POLLIN);
    if (!down.empty()) fds[0].events |= KmStreamPollEvents(client, POLLOUT);
    if (down.empty()) fds[1].events |= KmStreamPollEvents(target, POLLIN);
    if (!up.empty()) fds[1].events |= KmStreamPollEvents(target, POLLOUT);
    const bool buffered = clientBuffered || targetBuffered;
    const int ready = ::poll(fds, 2, buffered ? 0 : timeout);
    if (ready == 0 && !buffered) {
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
    if (!up.empty() && fds[1].revents != 0) {
      const Io io = WriteFrom(up, target);
      if (io == Io::Closed) {
        return RelayEnd::TargetClosed;
      }
      moved |= io == Io::Progress;
    }
    if (!down.empty() && fds[0].revents != 0) {
      const Io io = WriteFrom(down, client);
      if (io == Io::Closed) {
        return RelayEnd::ClientClosed;
      }
      moved |= io == Io::Progress;
    }
    if (up.empty() && (clientBuffered || fds[0].revents != 0)) {
      const Io io = ReadInto(client, up);
      if (io == Io::Closed) {
        return RelayEnd::ClientClosed;
      }
      moved |= io == Io::Progress;
    }
    if (down.empty() && (targetBuffered || fds[1].revents != 0)) {
      const Io io = ReadInto(target, down);
      if (io == Io::Closed) {
        return RelayEnd::TargetClosed;
      }
      moved |= io == Io::Progress;
    }
    // A side that hung up while its bytes wait for the other side would make
    // poll() return at once forever: give the hop up instead of spinning.
    if (!moved && !buffered) {
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
