// KmMutex, KmLockGuard, KmEvent and the thread start helper.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kmbase/sync.h"

namespace {

// True when another thread can take the lock right now.
bool lockableFromOtherThread(KmMutex &m) {
  bool got = false;
  std::thread t([&] {
    if (m.tryLock()) {
      got = true;
      m.unlock();
    }
  });
  t.join();
  return got;
}

// Clang's lock analysis does not model re-entry; the recursive paths below
// are checked at run time instead.
void reentryScenario(KmMutex &m) KM_NO_THREAD_SAFETY_ANALYSIS {
  m.lock();
  m.lock();
  EXPECT_TRUE(m.tryLock());
  EXPECT_FALSE(lockableFromOtherThread(m));
  m.unlock();
  m.unlock();
  EXPECT_FALSE(lockableFromOtherThread(m));
  m.unlock();
  EXPECT_TRUE(lockableFromOtherThread(m));
}

void guardScenario(KmMutex &m) KM_NO_THREAD_SAFETY_ANALYSIS {
  {
    KmLockGuard g(m);
    KmLockGuard inner(m);
    EXPECT_FALSE(lockableFromOtherThread(m));
  }
  EXPECT_TRUE(lockableFromOtherThread(m));
}

void incrementTwiceLocked(KmMutex &m, int64_t &counter) KM_NO_THREAD_SAFETY_ANALYSIS {
  KmLockGuard g(m);
  KmLockGuard again(m);  // recursion under contention
  int64_t v = counter;
  counter = v + 1;
}

}  // namespace

TEST(KmMutexTest, SameThreadReentersAndOthersWaitUntilLastUnlock) {
  KmMutex m;
  reentryScenario(m);
}

TEST(KmMutexTest, GuardReleasesAtEndOfScope) {
  KmMutex m;
  guardScenario(m);
}

TEST(KmMutexTest, ContendedIncrementsAreNotLost) {
  for (uint32_t spin : {0u, 4000u}) {
    KmMutex m(spin);
    int64_t counter = 0;  // guarded by m
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) incrementTwiceLocked(m, counter);
      });
    }
    for (auto &t : threads) t.join();
    KmLockGuard g(m);
    EXPECT_EQ(counter, int64_t{kThreads} * kRounds) << "spin " << spin;
  }
}

TEST(KmEventTest, StaysSetUntilResetAndReleasesEveryWaiter) {
  KmEvent ev;
  EXPECT_FALSE(ev.isSet());
  EXPECT_FALSE(ev.wait(0));
  EXPECT_FALSE(ev.wait(5));

  constexpr int kWaiters = 4;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (ev.wait(KM_INFINITE)) released.fetch_add(1);
    });
  }
  ev.set();
  for (auto &t : waiters) t.join();
  EXPECT_EQ(released.load(), kWaiters);

  // Manual reset: later waits still succeed until reset.
  EXPECT_TRUE(ev.wait(0));
  EXPECT_TRUE(ev.wait(KM_INFINITE));
  ev.reset();
  EXPECT_FALSE(ev.isSet());
  EXPECT_FALSE(ev.wait(1));
}

TEST(KmEventTest, InitiallySetEventDoesNotBlock) {
  KmEvent ev(true);
  EXPECT_TRUE(ev.wait(0));
}

TEST(KmEventTest, TimedWaitSeesSetFromAnotherThread) {
  KmEvent ev;
  std::thread setter([&] { ev.set(); });
  EXPECT_TRUE(ev.wait(60000));
  setter.join();
}

namespace {

struct Work {
  std::atomic<int> calls{0};
  int value = 0;
};

void work(void *arg) {
  auto *w = static_cast<Work *>(arg);
  w->value = 42;
  w->calls.fetch_add(1);
}

void count(void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); }

}  // namespace

TEST(ThreadHelperTest, RunsEntryOnceAndJoinWaitsForIt) {
  Work w;
  THREAD_RECORD *t = ThreadCreateEx(work, &w);
  ASSERT_NE(t, nullptr);
  ThreadJoin(t);
  EXPECT_EQ(w.calls.load(), 1);
  EXPECT_EQ(w.value, 42);  // visible after the join without further sync
}

TEST(ThreadHelperTest, NullEntryFailsAndNullJoinIsNoOp) {
  EXPECT_EQ(ThreadCreateEx(nullptr, nullptr), nullptr);
  ThreadJoin(nullptr);
}

TEST(ThreadHelperTest, ManyThreadsCanBeStartedAndJoined) {
  constexpr int kThreads = 16;
  std::atomic<int> calls{0};
  std::vector<THREAD_RECORD *> records;
  for (int i = 0; i < kThreads; ++i) records.push_back(ThreadCreateEx(count, &calls));
  for (THREAD_RECORD *r : records) {
    EXPECT_NE(r, nullptr);
    ThreadJoin(r);
  }
  EXPECT_EQ(calls.load(), kThreads);
}
