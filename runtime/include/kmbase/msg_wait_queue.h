// MsgWaitQueue: the reply queue of a session. The receiver thread put()s
// every reply; request threads wait for the one reply whose (code, id) they
// expect. Each waiter sleeps on its own futex word and is woken only when its
// key arrives, so many waiters on one queue cost nothing extra. The wake-up
// is sent after the queue's lock is released, so the woken thread does not
// run into the lock its waker still holds.
//
// When its session ends, shutdown() wakes every waiter at once; until
// reopen() no wait blocks, so a caller learns of the end without polling.
//
// All operations may be called from any thread concurrently. The queue must
// outlive every thread that waits on it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>

#include "kmbase/export.h"
#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"

class CSCPMessage;

class KMSRV_EXPORT MsgWaitQueue {
 public:
  // How long a message nobody waits for is kept: a reply may arrive just
  // before its requester starts to wait, but a reply to a request that gave
  // up must not stay forever.
  static constexpr uint32_t kDefaultHoldTimeMs = 60000;
  // Most unclaimed messages kept at once, and most memory they may hold
  // (CSCPMessage::MemorySize); beyond either the oldest are dropped. A
  // session has as many outstanding requests as it has caller threads, so
  // only a misbehaving peer gets near these; they bound what that peer
  // costs: 1,024 messages of 16-bit fields could otherwise hold 1.5 GiB.
  static constexpr size_t kMaxHeldMessages = 1024;
  static constexpr size_t kMaxHeldBytes = 4u << 20;

  MsgWaitQueue();
  // Deletes the messages still held. No thread may be waiting.
  ~MsgWaitQueue();
  MsgWaitQueue(const MsgWaitQueue &) = delete;
  MsgWaitQueue &operator=(const MsgWaitQueue &) = delete;

  // Takes ownership of msg (allocated with new). When a thread waits for its
  // (code, id) the first such waiter gets it; otherwise it is held. With
  // keepUnclaimed false it is held only while some thread waits for its code
  // (with any id) and deleted otherwise: a message of a code nobody is
  // waiting for cannot be a reply. Null is ignored.
  void put(CSCPMessage *msg, bool keepUnclaimed = true);

  // The message with this code and id: a held one or the next to arrive
  // within timeout_ms (0 only looks). The caller deletes it. Null on time-out
  // or when the queue is (or gets) shut down (isShutDown() tells which).
  CSCPMessage *waitForMessage(uint16_t code, uint32_t id, uint32_t timeout_ms);

  // Ends every wait now and makes later waits only look at what is held,
  // until reopen(). Messages held or put() later are kept for the taking.
  void shutdown();
  // Lets waits block again (the session starts anew).
  void reopen();
  // shutdown() was called and reopen() was not since.
  bool isShutDown();

  // Deletes every held message (waiters keep waiting).
  void clear();
  // Number of held (unclaimed, not yet expired) messages.
  size_t size();
  // Memory the held messages take (CSCPMessage::MemorySize), at most
  // kMaxHeldBytes.
  size_t heldBytes();
  // Changes the hold time; it applies to every held message from now on.
  void setHoldTime(uint32_t ms);

 private:
  using Clock = std::chrono::steady_clock;
  struct Held {
    CSCPMessage *msg;
    Clock::time_point arrived;
    size_t bytes;  // msg->MemorySize()
  };
  struct Waiter {
    uint16_t code;
    uint32_t id;
    CSCPMessage *msg;  // set by put() when the waiter's key arrives; guarded by mutex_
    // Futex word: put() sets it to 1 after msg and then wakes the waiter;
    // shutdown() sets it to 1 with msg left null.
    // Only a hint for sleeping: msg is read under mutex_.
    std::atomic<uint32_t> served;
  };

  void dropExpired(Clock::time_point now) KM_REQUIRES(mutex_);
  // Removes the oldest held message; returns it for deletion.
  CSCPMessage *popOldest() KM_REQUIRES(mutex_);

  KmMutex mutex_{100};
  // Oldest first. Guarded by mutex_; any thread.
  std::deque<Held> held_ KM_GUARDED_BY(mutex_);
  size_t heldBytes_ KM_GUARDED_BY(mutex_) = 0;  // sum of held_[i].bytes
  // Waiters in arrival order; each lives on its waiting thread's list node.
  // Guarded by mutex_; any thread.
  std::list<Waiter *> waiters_ KM_GUARDED_BY(mutex_);
  Clock::duration holdTime_ KM_GUARDED_BY(mutex_);
  bool shutDown_ KM_GUARDED_BY(mutex_) = false;
};
