#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kmquery {

namespace {

size_t TerminalWidth() {
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col - 1;
  return 79;
}

}  // namespace

ProgressBar::ProgressBar(std::string label, uint64_t total, bool enabled)
    : label_(std::move(label)),
      total_(total),
      enabled_(enabled),
      start_(std::chrono::steady_clock::now()) {}

std::string ProgressBar::bytes(double count) {
  static const char *units[] = {"KiB", "MiB", "GiB", "TiB"};
  if (count < 1024) return std::to_string(static_cast<uint64_t>(count)) + " B";
  int unit = -1;
  while (count >= 1024 && unit < 3) {
    count /= 1024;
    unit++;
  }
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.1f %s", count, units[unit]);
  return buf;
}

std::string ProgressBar::render(const std::string &label, uint64_t position, uint64_t total,
                                double seconds, size_t width) {
  const double rate = seconds > 0.05 ? static_cast<double>(position) / seconds : 0;
  std::string tail = bytes(static_cast<double>(position));
  if (total > 0) tail += " / " + bytes(static_cast<double>(total));
  if (rate > 0) tail += "  " + bytes(rate) + "/s";
  if (total > 0 && rate > 0 && position < total) {
    const double left = static_cast<double>(total - position) / rate;
    const uint64_t s = static_cast<uint64_t>(std::ceil(left));
    char eta[32];
    std::snprintf(eta, sizeof(eta), "  ETA %llu:%02llu", static_cast<unsigned long long>(s / 60),
                  static_cast<unsigned long long>(s % 60));
    tail += eta;
  }
  std::string line = label;
  if (total > 0) {
    const double fraction = std::min(1.0, static_cast<double>(position) / static_cast<double>(total));
    char percent[8];
    std::snprintf(percent, sizeof(percent), "%3d%%", static_cast<int>(fraction * 100));
    // The bar takes what the label, the percentage and room for the longest
    // tail leave, 10 to 30 cells, and keeps its width while the tail grows.
    constexpr size_t kTailRoom = 52;
    const size_t fixed = label.size() + 2 + 2 + 1 + 4 + 2 + kTailRoom;
    const size_t cells = width > fixed + 10 ? std::min<size_t>(30, width - fixed) : 10;
    const size_t full = static_cast<size_t>(fraction * static_cast<double>(cells));
    line += "  [" + std::string(full, '#') + std::string(cells - full, '-') + "] " + percent;
  }
  line += "  " + tail;
  if (line.size() > width) line.resize(width);
  return line;
}

void ProgressBar::update(uint64_t position) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> guard(lock_);
  position_ = position;
  const auto now = std::chrono::steady_clock::now();
  if (anyDrawn_ && now - drawn_ < std::chrono::milliseconds(100)) return;
  drawn_ = now;
  anyDrawn_ = true;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const std::string line = render(label_, position_, total_, seconds, TerminalWidth());
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
}

void ProgressBar::finish() {
  if (!enabled_) return;
  std::lock_guard<std::mutex> guard(lock_);
  if (!anyDrawn_) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const std::string line = render(label_, position_, total_, seconds, TerminalWidth());
  std::fprintf(stderr, "\r%s\033[K\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace kmquery
