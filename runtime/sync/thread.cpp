// The thread start helper: a thread record around std::thread.
#include <new>
#include <thread>

#include "kmbase/sync.h"

struct THREAD_RECORD {
  std::thread thread;
};

THREAD_RECORD *ThreadCreateEx(void (*entry)(void *), void *arg) {
  if (entry == nullptr) return nullptr;
  auto *record = new (std::nothrow) THREAD_RECORD;
  if (record == nullptr) return nullptr;
  try {
    record->thread = std::thread(entry, arg);
  } catch (...) {  // std::system_error, or std::bad_alloc for its state
    delete record;
    return nullptr;
  }
  return record;
}

void ThreadJoin(THREAD_RECORD *thread) {
  if (thread == nullptr) return;
  if (thread->thread.joinable()) thread->thread.join();
  delete thread;
}
