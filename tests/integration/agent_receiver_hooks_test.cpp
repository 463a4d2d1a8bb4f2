// A session ended from its own receiver thread: hooks that call disconnect,
// disconnectAndWait or connect while the reference agent (in-process) pushes
// traps and data must neither wait for their own thread nor crash, and the
// session must be usable again from another thread afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "agent_server.h"
#include "agent_test_support.h"
#include "kmbase/message.h"

namespace kmtest {
namespace {

// Ends its own session from the hooks, on the receiver thread.
class SelfEndingConnection : public AgentConnection {
 public:
  using AgentConnection::AgentConnection;
  ~SelfEndingConnection() override { disconnectAndWait(); }

  // A trap: disconnect, wait (which must not wait for this very thread),
  // then try to open a new session from here (refused).
  void onTrap(CSCPMessage *) override {
    hookThread = std::this_thread::get_id();
    disconnect();
    disconnectAndWait();
    reconnectedFromHook = connect(nullptr, false, &reconnectCode);
    trapHandled = true;
  }
  // Pushed data: only disconnectAndWait.
  void onDataPush(CSCPMessage *) override {
    disconnectAndWait();
    pushHandled = true;
  }
  void PrintMsg(const char16_t *, ...) override {}

  std::atomic<bool> trapHandled{false};
  std::atomic<bool> pushHandled{false};
  std::atomic<bool> reconnectedFromHook{true};
  uint32_t reconnectCode = 0;  // written by the hook before trapHandled
  std::thread::id hookThread;  // likewise
};

TEST(AgentReceiverHooks, DisconnectFromAHookEndsTheSessionWithoutWaitingForItself) {
  kmagent::AgentServer agent{kmagent::AgentConfig{}};
  std::string error;
  ASSERT_TRUE(agent.start(&error)) << error;
  {
    SelfEndingConnection conn(kLoopbackNet, agent.port());
    ASSERT_TRUE(conn.connect());
    CSCPMessage trap;
    trap.SetId(5);
    ASSERT_EQ(agent.sendTrap(trap), 1u);
    ASSERT_TRUE(WaitUntil([&] { return conn.trapHandled.load(); }));
    EXPECT_NE(conn.hookThread, std::this_thread::get_id());
    EXPECT_FALSE(conn.reconnectedFromHook);
    EXPECT_EQ(conn.reconnectCode, RCC_INTERNAL_ERROR);
    EXPECT_FALSE(conn.isConnected());
    const uint32_t afterEnd = conn.nop();
    EXPECT_TRUE(afterEnd == RCC_NOT_CONNECTED || afterEnd == RCC_CONNECTION_BROKEN) << afterEnd;
    // The agent sees the session end: the receiver thread closed the socket.
    ASSERT_TRUE(agent.waitForSessionCount(0, 10000));

    // From this thread the session opens again (the ended receiver thread is
    // joined first) and serves requests.
    ASSERT_TRUE(conn.connect());
    EXPECT_EQ(conn.nop(), RCC_SUCCESS);
    CSCPMessage push;
    push.SetId(6);
    ASSERT_EQ(agent.pushData(push), 1u);
    ASSERT_TRUE(WaitUntil([&] { return conn.pushHandled.load(); }));
    EXPECT_FALSE(conn.isConnected());
    ASSERT_TRUE(agent.waitForSessionCount(0, 10000));
  }  // the destructor joins the receiver thread the hook left behind
  agent.stop();
}

TEST(AgentReceiverHooks, DestroyingTheSessionAfterAHookDisconnectedItJoinsTheThread) {
  kmagent::AgentServer agent{kmagent::AgentConfig{}};
  std::string error;
  ASSERT_TRUE(agent.start(&error)) << error;
  for (int round = 0; round < 5; round++) {
    SCOPED_TRACE(round);
    auto conn = std::make_unique<SelfEndingConnection>(kLoopbackNet, agent.port());
    ASSERT_TRUE(conn->connect());
    CSCPMessage push;
    ASSERT_EQ(agent.pushData(push), 1u);
    // Destroyed while the hook may still run or just ended: the destructor
    // waits for the receiver thread from this thread.
    if (round % 2 == 0) {
      ASSERT_TRUE(WaitUntil([&] { return conn->pushHandled.load(); }));
    }
    conn.reset();
    ASSERT_TRUE(agent.waitForSessionCount(0, 10000));
  }
  agent.stop();
}

}  // namespace
}  // namespace kmtest
