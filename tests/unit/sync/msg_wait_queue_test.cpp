// MsgWaitQueue: hand-off by (code, id), time-outs, hold time and the cap.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "kmbase/message.h"
#include "kmbase/msg_wait_queue.h"

namespace {

CSCPMessage *makeMsg(uint16_t code, uint32_t id, uint32_t tag = 0) {
  auto *m = new CSCPMessage();
  m->SetCode(code);
  m->SetId(id);
  m->SetVariable(1u, tag);
  return m;
}

}  // namespace

TEST(MsgWaitQueueTest, ReplyThatArrivesBeforeItsWaiterIsKept) {
  MsgWaitQueue q;
  q.put(makeMsg(MC_REQUEST_COMPLETED, 7, 70));
  EXPECT_EQ(q.size(), 1u);
  std::unique_ptr<CSCPMessage> m(q.waitForMessage(MC_REQUEST_COMPLETED, 7, 0));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->GetVariableLong(1), 70u);
  EXPECT_EQ(q.size(), 0u);
}

TEST(MsgWaitQueueTest, MatchesOnCodeAndIdTogether) {
  MsgWaitQueue q;
  q.put(makeMsg(MC_TRAP, 5));
  q.put(makeMsg(MC_REQUEST_COMPLETED, 6));
  EXPECT_EQ(q.waitForMessage(MC_REQUEST_COMPLETED, 5, 1), nullptr);
  EXPECT_EQ(q.waitForMessage(MC_TRAP, 6, 0), nullptr);
  EXPECT_EQ(q.size(), 2u);
  std::unique_ptr<CSCPMessage> a(q.waitForMessage(MC_TRAP, 5, 0));
  std::unique_ptr<CSCPMessage> b(q.waitForMessage(MC_REQUEST_COMPLETED, 6, 0));
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
}

TEST(MsgWaitQueueTest, TimedOutWaitReturnsNullAndLateReplyStaysHeld) {
  MsgWaitQueue q;
  EXPECT_EQ(q.waitForMessage(MC_REQUEST_COMPLETED, 1, 20), nullptr);
  q.put(makeMsg(MC_REQUEST_COMPLETED, 1));
  EXPECT_EQ(q.size(), 1u);
}

TEST(MsgWaitQueueTest, ManyWaitersEachGetTheirOwnReply) {
  MsgWaitQueue q;
  constexpr uint32_t kWaiters = 12;
  std::atomic<uint32_t> ready{0};
  std::vector<uint32_t> gotTag(kWaiters, 0);
  std::vector<std::thread> threads;
  for (uint32_t i = 0; i < kWaiters; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      std::unique_ptr<CSCPMessage> m(q.waitForMessage(MC_REQUEST_COMPLETED, i + 1, 60000));
      if (m != nullptr && m->GetId() == i + 1) gotTag[i] = m->GetVariableLong(1);
    });
  }
  for (int spins = 0; ready.load() < kWaiters && spins < 10000; ++spins) std::this_thread::yield();
  // Replies in reverse order, with a decoy of another code for every id;
  // some replies will arrive before their waiter, some after.
  for (uint32_t i = kWaiters; i > 0; --i) {
    q.put(makeMsg(MC_TRAP, i, 999));
    q.put(makeMsg(MC_REQUEST_COMPLETED, i, 100 + i));
  }
  for (auto &t : threads) t.join();
  for (uint32_t i = 0; i < kWaiters; ++i) EXPECT_EQ(gotTag[i], 100 + i + 1) << "waiter " << i;
  EXPECT_EQ(q.size(), kWaiters);  // only the decoys are left
}

TEST(MsgWaitQueueTest, TwoWaitersOnOneKeyTakeOneMessageEach) {
  MsgWaitQueue q;
  std::atomic<int> got{0};
  auto waiter = [&] {
    std::unique_ptr<CSCPMessage> m(q.waitForMessage(MC_REQUEST_COMPLETED, 3, 60000));
    if (m != nullptr) got.fetch_add(1);
  };
  std::thread a(waiter), b(waiter);
  q.put(makeMsg(MC_REQUEST_COMPLETED, 3));
  q.put(makeMsg(MC_REQUEST_COMPLETED, 3));
  a.join();
  b.join();
  EXPECT_EQ(got.load(), 2);
  EXPECT_EQ(q.size(), 0u);
}

TEST(MsgWaitQueueTest, UnclaimedMessagesExpireAfterHoldTime) {
  MsgWaitQueue q;
  q.setHoldTime(1);
  q.put(makeMsg(MC_REQUEST_COMPLETED, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(q.size(), 0u);
  EXPECT_EQ(q.waitForMessage(MC_REQUEST_COMPLETED, 1, 0), nullptr);

  q.setHoldTime(MsgWaitQueue::kDefaultHoldTimeMs);
  q.put(makeMsg(MC_REQUEST_COMPLETED, 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::unique_ptr<CSCPMessage> m(q.waitForMessage(MC_REQUEST_COMPLETED, 2, 0));
  EXPECT_NE(m, nullptr);
}

TEST(MsgWaitQueueTest, HoldsAtMostTheCapDroppingTheOldest) {
  MsgWaitQueue q;
  const uint32_t cap = static_cast<uint32_t>(MsgWaitQueue::kMaxHeldMessages);
  for (uint32_t i = 0; i < cap; ++i) q.put(makeMsg(MC_REQUEST_COMPLETED, i));
  EXPECT_EQ(q.size(), cap);
  std::unique_ptr<CSCPMessage> first(q.waitForMessage(MC_REQUEST_COMPLETED, 0, 0));
  EXPECT_NE(first, nullptr);
  q.put(makeMsg(MC_REQUEST_COMPLETED, 0));  // back to the cap, id 1 is now oldest
  q.put(makeMsg(MC_REQUEST_COMPLETED, cap));  // one past it
  EXPECT_EQ(q.size(), cap);
  EXPECT_EQ(q.waitForMessage(MC_REQUEST_COMPLETED, 1, 0), nullptr);
  std::unique_ptr<CSCPMessage> last(q.waitForMessage(MC_REQUEST_COMPLETED, cap, 0));
  EXPECT_NE(last, nullptr);
}

TEST(MsgWaitQueueTest, ClearDropsHeldMessagesAndNullPutIsIgnored) {
  MsgWaitQueue q;
  q.put(nullptr);
  EXPECT_EQ(q.size(), 0u);
  q.put(makeMsg(MC_REQUEST_COMPLETED, 1));
  q.put(makeMsg(MC_REQUEST_COMPLETED, 2));
  q.clear();
  EXPECT_EQ(q.size(), 0u);
  q.put(makeMsg(MC_REQUEST_COMPLETED, 3));  // still usable; the destructor frees it
}
