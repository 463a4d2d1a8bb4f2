// KmMutex: a recursive lock that spins briefly before it blocks.
#include <thread>

#include "kmbase/sync.h"

namespace {

// Spinning only helps when another processor can release the lock meanwhile.
uint32_t effectiveSpinCount(uint32_t requested) {
  static const bool multiProcessor = std::thread::hardware_concurrency() > 1;
  return multiProcessor ? requested : 0;
}

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

KmMutex::KmMutex(uint32_t spinCount) : spinCount_(effectiveSpinCount(spinCount)) {}

KmMutex::~KmMutex() = default;

void KmMutex::lock() {
  for (uint32_t i = 0; i < spinCount_; ++i) {
    if (mutex_.try_lock()) return;
    cpuRelax();
  }
  mutex_.lock();
}

void KmMutex::unlock() { mutex_.unlock(); }

bool KmMutex::tryLock() { return mutex_.try_lock(); }
