// Bounded waits of the request handlers that the server's stop cuts short:
// a handler that waits for a device, a service or a program looks at the
// stop signal at least every kStopCheckMs.
//
// Called on session threads; stateless.
#pragma once

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "kmbase/net.h"
#include "kmbase/sync.h"

namespace kmagent::detail {

// How late a waiting handler notices that the server stops; keeps stop()
// within its promised quarter second.
inline constexpr uint32_t kStopCheckMs = 100;

enum class WaitResult { Ready, TimedOut, Stopped, Failed };

// Waits until fd shows one of `events` (or an error or hang-up), timeoutMs
// passes, or `stop` is set.
inline WaitResult WaitForSocket(int fd, short events, uint32_t timeoutMs, const KmEvent &stop) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (stop.isSet()) {
      return WaitResult::Stopped;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      return WaitResult::TimedOut;
    }
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, kStopCheckMs)));
    if (r > 0) {
      return WaitResult::Ready;
    }
    if (r < 0 && KmClassifySocketError(errno) != KmNetOutcome::Retry) {
      return WaitResult::Failed;
    }
  }
}

}  // namespace kmagent::detail
