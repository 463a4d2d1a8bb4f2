// Bounded waiting for tests: the one bound on a wait for something that must
// happen, and WaitUntil, which polls a condition until it holds or that
// bound passes. Any thread; the condition runs on the calling thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace kmtest {

// Bound on a wait for something that must come promptly: reaching it is a
// hang, not a slow machine (sanitizer builds on two busy cores included).
inline constexpr uint32_t kWaitMs = 10000;

// Checks cond every few milliseconds for at most limitMs; true as soon as
// it holds. Bounded by the clock and by a count of checks alike.
inline bool WaitUntil(const std::function<bool()> &cond, uint32_t limitMs = kWaitMs) {
  constexpr uint32_t kPollMs = 5;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  for (uint32_t checks = 0; checks <= limitMs / kPollMs; checks++) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return cond();
}

}  // namespace kmtest
