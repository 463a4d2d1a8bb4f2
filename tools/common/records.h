// What the reference peers record for tests: bounded lists of records, and
// the record of one decoded request that both peers keep.
//
// A RecordList is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"

namespace kmpeer {

// One message that decoded as a request.
struct RequestRecord {
  uint64_t session;  // session number, from 1 in accept order
  uint16_t code;
  uint32_t id;
  bool encrypted;  // it arrived in an encrypted envelope
};

// A record leaving a list (dropped as the oldest, cleared, or not kept at
// all) passes through ForgetRecord; a record type that holds a secret
// overloads it in its own namespace to wipe the secret.
template <typename T>
void ForgetRecord(T &) {}

// The newest kMaxRecords records of one kind, oldest first.
template <typename T>
class RecordList {
 public:
  // Enough for any test's history, small enough that a long-running peer
  // with recording on cannot grow without end.
  static constexpr size_t kMaxRecords = 4096;

  explicit RecordList(bool enabled) : enabled_(enabled) {}
  ~RecordList() { clear(); }
  RecordList(const RecordList &) = delete;
  RecordList &operator=(const RecordList &) = delete;

  void add(T record) {
    if (!enabled_) {
      ForgetRecord(record);
      return;
    }
    KmLockGuard guard(lock_);
    if (records_.size() >= kMaxRecords) {
      ForgetRecord(records_.front());
      records_.pop_front();
    }
    records_.push_back(std::move(record));
  }
  std::vector<T> list() const {
    KmLockGuard guard(lock_);
    return {records_.begin(), records_.end()};
  }
  void clear() {
    KmLockGuard guard(lock_);
    for (T &r : records_) ForgetRecord(r);
    records_.clear();
  }

 private:
  const bool enabled_;
  mutable KmMutex lock_{0};
  std::deque<T> records_ KM_GUARDED_BY(lock_);  // any thread
};

}  // namespace kmpeer
