// MsgWaitQueue: replies matched to waiters by (code, id).
#include "kmbase/msg_wait_queue.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "kmbase/message.h"

namespace {

// Sleeps while *word is 0, until woken or the steady-clock deadline passes.
// May return early (a spurious or stale wake-up); the caller looks again.
void futexWaitUntil(std::atomic<uint32_t> *word, std::chrono::steady_clock::time_point deadline) {
  static_assert(std::chrono::steady_clock::is_steady);
  const auto since = deadline.time_since_epoch();
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
  timespec until{};
  until.tv_sec = static_cast<time_t>(secs.count());
  until.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - secs).count());
  // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC time, the clock of
  // steady_clock.
  ::syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_BITSET_PRIVATE, 0u, &until,
            nullptr, FUTEX_BITSET_MATCH_ANY);
}

// Wakes the thread sleeping on word. The word may belong to a waiter that
// has already returned: a private futex wake only uses the address as a key
// and touches no memory, and a stray wake-up is a spurious one to whoever
// sleeps there now.
void futexWake(std::atomic<uint32_t> *word) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

MsgWaitQueue::MsgWaitQueue() : holdTime_(std::chrono::milliseconds(kDefaultHoldTimeMs)) {}

MsgWaitQueue::~MsgWaitQueue() { clear(); }

void MsgWaitQueue::put(CSCPMessage *msg, bool keepUnclaimed) {
  if (msg == nullptr) return;
  const uint16_t code = msg->GetCode();
  const uint32_t id = msg->GetId();
  const size_t bytes = msg->MemorySize();
  std::vector<CSCPMessage *> dropped;
  Waiter *served = nullptr;
  {
    KmLockGuard guard(mutex_);
    for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
      Waiter *w = *it;
      if (w->code == code && w->id == id) {
        // Removed from the list here so a second message with the same key
        // goes to the next waiter rather than to this one again.
        waiters_.erase(it);
        w->msg = msg;
        w->served.store(1, std::memory_order_release);
        served = w;
        break;
      }
    }
    bool awaited = served != nullptr || keepUnclaimed;
    for (auto it = waiters_.begin(); !awaited && it != waiters_.end(); ++it)
      awaited = (*it)->code == code;
    if (!awaited) {
      dropped.push_back(msg);
    } else if (served == nullptr) {
      const auto now = Clock::now();
      dropExpired(now);
      while (!held_.empty() &&
             (held_.size() >= kMaxHeldMessages || heldBytes_ + bytes > kMaxHeldBytes))
        dropped.push_back(popOldest());
      if (bytes > kMaxHeldBytes) {
        dropped.push_back(msg);  // larger than all a queue may hold
      } else {
        held_.push_back(Held{msg, now, bytes});
        heldBytes_ += bytes;
      }
    }
  }
  // After the unlock; *served may be gone by now (see futexWake).
  if (served != nullptr) futexWake(&served->served);
  for (CSCPMessage *m : dropped) delete m;
}

CSCPMessage *MsgWaitQueue::waitForMessage(uint16_t code, uint32_t id, uint32_t timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Waiter self{code, id, nullptr, {0}};
  {
    KmLockGuard guard(mutex_);
    dropExpired(Clock::now());
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      if (it->msg->GetCode() == code && it->msg->GetId() == id) {
        CSCPMessage *msg = it->msg;
        heldBytes_ -= it->bytes;
        held_.erase(it);
        return msg;
      }
    }
    if (timeout_ms == 0 || shutDown_) return nullptr;
    waiters_.push_back(&self);
  }
  while (self.served.load(std::memory_order_acquire) == 0 && Clock::now() < deadline)
    futexWaitUntil(&self.served, deadline);
  // The message is taken under the lock, which orders it after put(). A
  // message that arrived after the deadline but before this is kept.
  KmLockGuard guard(mutex_);
  if (self.msg == nullptr) waiters_.remove(&self);  // put() removes served waiters
  return self.msg;
}

void MsgWaitQueue::shutdown() {
  std::list<Waiter *> woken;
  {
    KmLockGuard guard(mutex_);
    shutDown_ = true;
    woken.swap(waiters_);
    for (Waiter *w : woken) w->served.store(1, std::memory_order_release);
  }
  // After the unlock, as in put(); a woken waiter finds its msg null.
  for (Waiter *w : woken) futexWake(&w->served);
}

void MsgWaitQueue::reopen() {
  KmLockGuard guard(mutex_);
  shutDown_ = false;
}

bool MsgWaitQueue::isShutDown() {
  KmLockGuard guard(mutex_);
  return shutDown_;
}

void MsgWaitQueue::clear() {
  std::deque<Held> old;
  {
    KmLockGuard guard(mutex_);
    old.swap(held_);
    heldBytes_ = 0;
  }
  for (const Held &h : old) delete h.msg;
}

size_t MsgWaitQueue::size() {
  KmLockGuard guard(mutex_);
  dropExpired(Clock::now());
  return held_.size();
}

size_t MsgWaitQueue::heldBytes() {
  KmLockGuard guard(mutex_);
  dropExpired(Clock::now());
  return heldBytes_;
}

void MsgWaitQueue::setHoldTime(uint32_t ms) {
  KmLockGuard guard(mutex_);
  holdTime_ = std::chrono::milliseconds(ms);
}

void MsgWaitQueue::dropExpired(Clock::time_point now) {
  // Messages are held in arrival order, so the expired ones are at the front.
  // Deleting under the lock keeps this simple; a message's destructor only
  // frees memory.
  while (!held_.empty() && now - held_.front().arrived >= holdTime_) delete popOldest();
}

CSCPMessage *MsgWaitQueue::popOldest() {
  CSCPMessage *msg = held_.front().msg;
  heldBytes_ -= held_.front().bytes;
  held_.pop_front();
  return msg;
}
