// Synchronisation primitives of the base runtime: a recursive lock that spins
// briefly before it blocks (KmMutex) with its scoped guard (KmLockGuard), a
// plain annotated lock (KmPlainMutex, KmPlainLockGuard), a
// manual-reset event (KmEvent) and the thread start helper (ThreadCreateEx /
// ThreadJoin).
//
// Every operation here may be called from any thread. A KmMutex or KmEvent
// must outlive every thread that uses it; a THREAD_RECORD is joined exactly
// once, by one thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "kmbase/export.h"
#include "kmbase/thread_annotations.h"

// Time-out value meaning "wait without limit" for KmEvent::wait.
inline constexpr uint32_t KM_INFINITE = 0xFFFFFFFFu;

// Recursive lock. A thread that finds it taken retries up to spinCount times
// before it sleeps in the kernel, which pays off for the short critical
// sections of a session (state changes, one socket write). On a machine with
// a single processor the spin is skipped: nobody could release the lock
// while we spin.
// Clang's thread-safety analysis (clang 14) does not model re-entry: a path
// that takes a KmMutex it already holds needs KM_NO_THREAD_SAFETY_ANALYSIS.
class KMSRV_EXPORT KM_CAPABILITY("mutex") KmMutex {
 public:
  static constexpr uint32_t kDefaultSpinCount = 4000;

  explicit KmMutex(uint32_t spinCount = kDefaultSpinCount);
  ~KmMutex();
  KmMutex(const KmMutex &) = delete;
  KmMutex &operator=(const KmMutex &) = delete;

  // Each lock() (and each successful tryLock()) needs one unlock() by the
  // same thread.
  void lock() KM_ACQUIRE();
  void unlock() KM_RELEASE();
  bool tryLock() KM_TRY_ACQUIRE(true);

  // The spin count in effect (0 on a single processor).
  uint32_t spinCount() const { return spinCount_; }

  // lock()/unlock() make KmMutex BasicLockable, so std::condition_variable_any
  // can wait on it. Such a wait releases the lock once: never wait while
  // holding it recursively.

 private:
  const uint32_t spinCount_;  // set once at construction
  std::recursive_mutex mutex_;
};

// Holds a KmMutex for the scope of the guard.
class KM_SCOPED_CAPABILITY KmLockGuard {
 public:
  explicit KmLockGuard(KmMutex &mutex) KM_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~KmLockGuard() KM_RELEASE() { mutex_.unlock(); }
  KmLockGuard(const KmLockGuard &) = delete;
  KmLockGuard &operator=(const KmLockGuard &) = delete;

 private:
  KmMutex &mutex_;
};

// A plain, non-recursive lock (std::mutex) that clang's thread-safety
// analysis knows, for short sections that need neither KmMutex's recursion
// nor its spinning (a log sink, a cipher's counters).
class KM_CAPABILITY("mutex") KmPlainMutex {
 public:
  void lock() KM_ACQUIRE() { mutex_.lock(); }
  void unlock() KM_RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a KmPlainMutex for the scope of the guard.
class KM_SCOPED_CAPABILITY KmPlainLockGuard {
 public:
  explicit KmPlainLockGuard(KmPlainMutex &mutex) KM_ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.lock();
  }
  ~KmPlainLockGuard() KM_RELEASE() { mutex_.unlock(); }
  KmPlainLockGuard(const KmPlainLockGuard &) = delete;
  KmPlainLockGuard &operator=(const KmPlainLockGuard &) = delete;

 private:
  KmPlainMutex &mutex_;
};

// Manual-reset event: once set it stays set, releasing every present and
// future waiter, until reset.
class KMSRV_EXPORT KmEvent {
 public:
  explicit KmEvent(bool initiallySet = false);
  ~KmEvent();
  KmEvent(const KmEvent &) = delete;
  KmEvent &operator=(const KmEvent &) = delete;

  void set();
  void reset();
  bool isSet() const;
  // True when the event is (or becomes) set within timeout_ms; KM_INFINITE
  // waits without limit, 0 only looks.
  bool wait(uint32_t timeout_ms);

 private:
  mutable KmMutex mutex_{0};
  std::condition_variable_any cond_;
  bool set_ KM_GUARDED_BY(mutex_);  // any thread
};

// A started thread. Opaque; created by ThreadCreateEx, released by ThreadJoin.
struct THREAD_RECORD;

// Starts entry(arg) on a new thread, with a stack of stackBytes (0: the
// system's default, 8 MiB on Linux; at least PTHREAD_STACK_MIN). Returns null
// (and never calls entry) when the thread cannot be started, for example
// when its stack cannot be mapped.
KMSRV_EXPORT THREAD_RECORD *ThreadCreateEx(void (*entry)(void *), void *arg,
                                           size_t stackBytes = 0);

// Waits without limit for the thread to end, then releases the record. A null
// record is a no-op. A thread must not join itself.
KMSRV_EXPORT void ThreadJoin(THREAD_RECORD *thread);
