// MsgWaitQueue: replies matched to waiters by (code, id).
#include "kmbase/msg_wait_queue.h"

#include "kmbase/message.h"

MsgWaitQueue::MsgWaitQueue() : holdTime_(std::chrono::milliseconds(kDefaultHoldTimeMs)) {}

MsgWaitQueue::~MsgWaitQueue() { clear(); }

void MsgWaitQueue::put(CSCPMessage *msg) {
  if (msg == nullptr) return;
  const uint16_t code = msg->GetCode();
  const uint32_t id = msg->GetId();
  CSCPMessage *dropped = nullptr;
  {
    KmLockGuard guard(mutex_);
    for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
      Waiter *w = *it;
      if (w->code == code && w->id == id) {
        // Removed from the list here so a second message with the same key
        // goes to the next waiter rather than to this one again.
        waiters_.erase(it);
        w->msg = msg;
        w->cond.notify_one();
        return;
      }
    }
    const auto now = Clock::now();
    dropExpired(now);
    if (held_.size() >= kMaxHeldMessages) {
      dropped = held_.front().msg;
      held_.pop_front();
    }
    held_.push_back(Held{msg, now});
  }
  delete dropped;
}

CSCPMessage *MsgWaitQueue::waitForMessage(uint16_t code, uint32_t id, uint32_t timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  KmLockGuard guard(mutex_);
  dropExpired(Clock::now());
  for (auto it = held_.begin(); it != held_.end(); ++it) {
    if (it->msg->GetCode() == code && it->msg->GetId() == id) {
      CSCPMessage *msg = it->msg;
      held_.erase(it);
      return msg;
    }
  }
  if (timeout_ms == 0) return nullptr;

  Waiter self{code, id, nullptr, {}};
  waiters_.push_back(&self);
  while (self.msg == nullptr) {
    if (self.cond.wait_until(mutex_, deadline) == std::cv_status::timeout) break;
  }
  if (self.msg == nullptr) waiters_.remove(&self);  // put() removes served waiters
  return self.msg;
}

void MsgWaitQueue::clear() {
  std::deque<Held> old;
  {
    KmLockGuard guard(mutex_);
    old.swap(held_);
  }
  for (const Held &h : old) delete h.msg;
}

size_t MsgWaitQueue::size() {
  KmLockGuard guard(mutex_);
  dropExpired(Clock::now());
  return held_.size();
}

void MsgWaitQueue::setHoldTime(uint32_t ms) {
  KmLockGuard guard(mutex_);
  holdTime_ = std::chrono::milliseconds(ms);
}

void MsgWaitQueue::dropExpired(Clock::time_point now) {
  // Messages are held in arrival order, so the expired ones are at the front.
  // Deleting under the lock keeps this simple; a message's destructor only
  // frees memory.
  while (!held_.empty() && now - held_.front().arrived >= holdTime_) {
    delete held_.front().msg;
    held_.pop_front();
  }
}
