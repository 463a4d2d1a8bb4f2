// The thread start helper: a thread record around a POSIX thread, so that a
// caller can give the thread a small stack.
#include <pthread.h>

#include <new>

#include "kmbase/sync.h"

struct THREAD_RECORD {
  pthread_t thread;
  void (*entry)(void *);
  void *arg;
};

namespace {

void *Start(void *record) {
  auto *r = static_cast<THREAD_RECORD *>(record);
  r->entry(r->arg);
  return nullptr;
}

}  // namespace

THREAD_RECORD *ThreadCreateEx(void (*entry)(void *), void *arg, size_t stackBytes) {
  if (entry == nullptr) return nullptr;
  auto *record = new (std::nothrow) THREAD_RECORD{{}, entry, arg};
  if (record == nullptr) return nullptr;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete record;
    return nullptr;
  }
  bool ok = stackBytes == 0 || pthread_attr_setstacksize(&attr, stackBytes) == 0;
  ok = ok && pthread_create(&record->thread, &attr, Start, record) == 0;
  pthread_attr_destroy(&attr);
  if (!ok) {
    delete record;
    return nullptr;
  }
  return record;
}

void ThreadJoin(THREAD_RECORD *thread) {
  if (thread == nullptr) return;
  pthread_join(thread->thread, nullptr);
  delete thread;
}
