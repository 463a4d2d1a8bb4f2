// KmEvent: a manual-reset event on a lock and a condition variable.
#include <chrono>

#include "kmbase/sync.h"

KmEvent::KmEvent(bool initiallySet) : set_(initiallySet) {}

KmEvent::~KmEvent() = default;

void KmEvent::set() {
  KmLockGuard guard(mutex_);
  set_ = true;
  cond_.notify_all();
}

void KmEvent::reset() {
  KmLockGuard guard(mutex_);
  set_ = false;
}

bool KmEvent::isSet() const {
  KmLockGuard guard(mutex_);
  return set_;
}

bool KmEvent::wait(uint32_t timeout_ms) {
  KmLockGuard guard(mutex_);
  if (timeout_ms == KM_INFINITE) {
    while (!set_) cond_.wait(mutex_);
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!set_) {
    if (cond_.wait_until(mutex_, deadline) == std::cv_status::timeout) return set_;
  }
  return true;
}
