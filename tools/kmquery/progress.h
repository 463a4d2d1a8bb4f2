// ProgressBar: the transfer progress kmquery draws on standard error while
// a file goes up or comes down, with the amount, the rate and, when the size
// is known, a bar and the time left.
//
// update() may be called from any thread (a download reports from the
// session's receiver thread); drawing is serialised by a lock and limited to
// about ten redraws a second. A disabled bar (standard error is not a
// terminal) draws nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace kmquery {

class ProgressBar {
 public:
  // total 0: the size is not known.
  ProgressBar(std::string label, uint64_t total, bool enabled);
  ProgressBar(const ProgressBar &) = delete;
  ProgressBar &operator=(const ProgressBar &) = delete;

  void update(uint64_t position);
  // Draws the last state and ends the line (nothing when nothing was drawn).
  void finish();

  // One line of the bar, at most `width` characters: label, bar and
  // percentage (known total only), amount, rate, and "ETA m:ss" (known total
  // and a rate). Pure; seconds is the time since the start.
  static std::string render(const std::string &label, uint64_t position, uint64_t total,
                            double seconds, size_t width);
  // 1.5 KiB, 12.0 MiB, ...; plain bytes below 1 KiB.
  static std::string bytes(double count);

 private:
  const std::string label_;
  const uint64_t total_;
  const bool enabled_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex lock_;
  uint64_t position_ = 0;                         // guarded by lock_
  std::chrono::steady_clock::time_point drawn_;   // guarded by lock_
  bool anyDrawn_ = false;                         // guarded by lock_
};

}  // namespace kmquery
