// A gtest global environment for the integration test programs: it counts the
// process's open file descriptors (/proc/self/fd) and threads
// (/proc/self/task) before the first test and after the last one, and fails
// the program when there are more at the end: a session, server or helper that leaves a
// socket open or a thread running shows up here even when every test passed.
//
// Threads that are just ending get a bounded wait (kSettleMs) before the
// counts are compared. Including this header registers the environment once
// per test program (an inline variable); nothing else is needed.
//
// The counting helpers are also used by the load tests, from the test's main
// thread.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <thread>

#include "support/wait.h"

namespace kmtest {

// Entries of a /proc directory, "." and ".." not counted; -1 when it cannot
// be read.
inline long CountProcEntries(const char *path) {
  DIR *dir = opendir(path);
  if (dir == nullptr) return -1;
  long count = 0;
  while (dirent *entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") count++;
  }
  closedir(dir);
  return count - (std::string(path) == "/proc/self/fd" ? 1 : 0);  // the DIR's own fd
}

inline long OpenFdCount() { return CountProcEntries("/proc/self/fd"); }
inline long ThreadCount() { return CountProcEntries("/proc/self/task"); }

// Waits up to limitMs for the thread and fd counts to come back to at most
// the given values; true when both did. Fewer is no leak: a thread joined
// just before the first count can still be listed while the kernel finishes
// it, so a count taken then may be one too high.
inline bool SettleTo(long fds, long threads, uint32_t limitMs) {
  return WaitUntil([&] { return OpenFdCount() <= fds && ThreadCount() <= threads; }, limitMs);
}

// Starts and joins one thread: a sanitizer runtime that starts a helper
// thread of its own at the first thread creation (ThreadSanitizer does) has
// it running before the first count, not after it.
inline void StartRuntimeThreads() { std::thread([] {}).join(); }

class ResourceCheckEnvironment : public ::testing::Environment {
 public:
  // Long enough for receiver and session threads that were told to end to
  // finish their last step; a thread still running after it was leaked.
  static constexpr uint32_t kSettleMs = 5000;

  void SetUp() override {
    StartRuntimeThreads();
    fds_ = OpenFdCount();
    threads_ = ThreadCount();
  }
  void TearDown() override {
    if (fds_ < 0 || threads_ < 0) return;  // no /proc: nothing to compare
    if (SettleTo(fds_, threads_, kSettleMs)) return;
    ADD_FAILURE() << "resources left behind by the test program: open fds " << fds_ << " -> "
                  << OpenFdCount() << ", threads " << threads_ << " -> " << ThreadCount();
  }

 private:
  long fds_ = -1;
  long threads_ = -1;
};

inline ::testing::Environment *const kResourceCheck =
    ::testing::AddGlobalTestEnvironment(new ResourceCheckEnvironment);

}  // namespace kmtest
