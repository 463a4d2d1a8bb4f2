// AgentConnection against a scripted peer: connect and its failure path, the
// receiver thread's handling of every kind of receive result and message,
// the end of a session from either side, and waiting callers.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "agent_test_support.h"
#include "kmbase/log.h"
#include "kmsrv/debug.h"
#include "kmsrv/protocol.h"
#include "scripted_peer.h"
#include "support/wire.h"

namespace kmtest {
namespace {

TEST(AgentConnect, ClosedPortGives910AndPrintsOnlyWhenAsked) {
  ClosedPort closed;
  TestConnection conn(kLoopbackNet, closed.port());
  uint32_t rcc = 0, socketError = 0;
  EXPECT_FALSE(conn.connect(nullptr, false, &rcc, &socketError));
  EXPECT_EQ(rcc, RCC_CONNECT_FAILED);
  EXPECT_EQ(socketError, static_cast<uint32_t>(ECONNREFUSED));
  EXPECT_TRUE(conn.printed().empty());
  EXPECT_EQ(conn.getSocket(), INVALID_SOCKET);

  EXPECT_FALSE(conn.connect(nullptr, true, &rcc, &socketError));
  EXPECT_EQ(rcc, RCC_CONNECT_FAILED);
  ASSERT_EQ(conn.printed().size(), 1u);
  EXPECT_EQ(conn.printed()[0], "Cannot establish connection with agent 127.0.0.1");
}

TEST(AgentConnect, ConnectedSessionRefusesSecondConnectAndStaysUp) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  uint32_t rcc = 1;
  ASSERT_TRUE(ConnectScripted(conn, peer, false, &rcc));
  EXPECT_EQ(rcc, RCC_SUCCESS);
  SOCKET before = conn.getSocket();

  uint32_t socketError = 7;
  EXPECT_FALSE(conn.connect(nullptr, true, &rcc, &socketError));
  EXPECT_EQ(rcc, RCC_INTERNAL_ERROR);
  EXPECT_EQ(socketError, 0u);
  EXPECT_TRUE(conn.isConnected());
  EXPECT_EQ(conn.getSocket(), before);
}

TEST(AgentConnect, PeerWithoutVersionAnswerFailsWith500AndNoMessage) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  std::thread script([&] { peer.accept(5000, false); });
  uint32_t rcc = 0;
  EXPECT_FALSE(conn.connect(nullptr, true, &rcc));
  script.join();
  EXPECT_EQ(rcc, RCC_INTERNAL_ERROR);
  EXPECT_TRUE(conn.printed().empty());
  EXPECT_EQ(conn.getSocket(), INVALID_SOCKET);
}

TEST(AgentConnect, SessionEndingDuringNegotiationFailsPromptly) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  conn.setCommandTimeout(600000);  // only the end of the session can stop the wait
  std::thread script([&] {
    if (!peer.accept()) return;
    auto nop = peer.receive();
    peer.close();
  });
  uint32_t rcc = 0;
  auto result = std::async(std::launch::async, [&] { return conn.connect(nullptr, false, &rcc); });
  ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_FALSE(result.get());
  EXPECT_EQ(rcc, RCC_CONNECTION_BROKEN);
  EXPECT_TRUE(
      conn.printedContains("Communication with agent 127.0.0.1 failed (Connection broken)"));
  script.join();
  EXPECT_FALSE(conn.isConnected());
  EXPECT_EQ(conn.getSocket(), INVALID_SOCKET);
}

TEST(AgentReceiver, UnclaimedReplyStaysQueuedAndUnsolicitedMessagesGoToHooks) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(conn, peer));

  ASSERT_TRUE(peer.send(Message(MC_REQUEST_COMPLETED, 555)));
  ASSERT_TRUE(peer.send(Message(MC_DATA_PUSH, 557)));
  ASSERT_TRUE(peer.send(Message(MC_GET_PARAMETER, 558)));  // not a reply: custom
  ASSERT_TRUE(peer.send(Message(MC_TRAP, 556)));
  // The trap comes last, so once it is seen everything before it was handled.
  ASSERT_TRUE(WaitUntil([&] { return conn.traps == 1; }));
  EXPECT_EQ(conn.lastTrapId, 556u);
  EXPECT_EQ(conn.pushes, 1);
  EXPECT_EQ(conn.lastPushId, 557u);
  EXPECT_EQ(conn.customs, 1);

  // The reply waits; trap and push never do, nor does an unconsumed custom
  // message whose code nobody waits for (it could only hold memory).
  EXPECT_EQ(conn.replyQueue.size(), 1u);
  EXPECT_EQ(conn.replyQueue.waitForMessage(MC_TRAP, 556, 0), nullptr);
  EXPECT_EQ(conn.replyQueue.waitForMessage(MC_DATA_PUSH, 557, 0), nullptr);
  std::unique_ptr<CSCPMessage> reply(conn.waitForMessage(MC_REQUEST_COMPLETED, 555, 0));
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(conn.waitForMessage(MC_GET_PARAMETER, 558, 0), nullptr);
  // A caller waiting for a custom code gets its message.
  std::unique_ptr<CSCPMessage> custom;
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    custom.reset(conn.waitForMessage(MC_GET_PARAMETER, 561, kWaitMs));
    got = true;
  });
  // Sent until the waiter has it: one sent before it waits is dropped.
  for (int i = 0; i < 200 && !got && peer.send(Message(MC_GET_PARAMETER, 561)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  waiter.join();
  ASSERT_NE(custom, nullptr);

  // A consumed custom message does not wait.
  // A trap behind the extra copies: once it is seen, they were all handled.
  ASSERT_TRUE(peer.send(Message(MC_TRAP, 562)));
  ASSERT_TRUE(WaitUntil([&] { return conn.traps == 2; }));
  const int customsBefore = conn.customs;
  conn.consumeCustom = true;
  ASSERT_TRUE(peer.send(Message(MC_GET_PARAMETER, 559)));
  ASSERT_TRUE(peer.send(Message(MC_TRAP, 560)));
  ASSERT_TRUE(WaitUntil([&] { return conn.traps == 3; }));
  EXPECT_EQ(conn.customs, customsBefore + 1);
  EXPECT_EQ(conn.replyQueue.size(), 0u);
  EXPECT_TRUE(conn.isConnected());
}

TEST(AgentReceiver, BadMessagesAreReportedSkippedAndTheNextDelivered) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(conn, peer, true));

  // Inner message whose header claims 8 bytes more than it has.
  CSCPMessage inner = Message(MC_REQUEST_COMPLETED, 700);
  inner.SetVariable(VAR_RCC, 0u);
  KMCP_MESSAGE *wire = inner.CreateMessage();
  ASSERT_NE(wire, nullptr);
  uint32_t actual = ntohl(wire->size);
  wire->size = htonl(actual + 8);
  ASSERT_TRUE(peer.sendEncryptedBytes(wire, actual));
  free(wire);
  ASSERT_TRUE(peer.send(Message(MC_REQUEST_COMPLETED, 701)));
  std::unique_ptr<CSCPMessage> next(conn.waitForMessage(MC_REQUEST_COMPLETED, 701, 10000));
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(conn.waitForMessage(MC_REQUEST_COMPLETED, 700, 0), nullptr);
  EXPECT_TRUE(
      conn.printedContains("RecvMsg: Bad packet length [dwSize=" + std::to_string(actual + 8) +
                           " ActualSize=" + std::to_string(actual) + "]"));

  // An envelope that fails authentication.
  const std::vector<uint8_t> forged = WireHeader(MC_ENCRYPTED_MESSAGE, 64, 0, 48);
  ASSERT_TRUE(peer.sendBytes(forged));
  ASSERT_TRUE(peer.send(Message(MC_REQUEST_COMPLETED, 702)));
  next.reset(conn.waitForMessage(MC_REQUEST_COMPLETED, 702, 10000));
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(conn.printedContains("Unable to decrypt received message"));

  // A message above the session's 256 KiB limit.
  CSCPMessage big = Message(MC_DATA_PUSH, 703);
  std::vector<uint8_t> blob(300000, 0x5A);
  big.SetVariable(VAR_PDU, blob.data(), static_cast<uint32_t>(blob.size()));
  ASSERT_TRUE(peer.send(big));
  ASSERT_TRUE(peer.send(Message(MC_REQUEST_COMPLETED, 704)));
  next.reset(conn.waitForMessage(MC_REQUEST_COMPLETED, 704, 10000));
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(conn.pushes, 0);
  EXPECT_TRUE(conn.printedContains("Received too large message MC_ENCRYPTED_MESSAGE ("));

  // The session is still in step: a request and its encrypted reply.
  EXPECT_TRUE(conn.isConnected());
  std::thread script([&] {
    auto nop = peer.receive();
    if (nop != nullptr) peer.reply(nop->GetId(), 403);
  });
  EXPECT_EQ(conn.nop(), RCC_ACCESS_DENIED);
  script.join();
}

TEST(AgentSession, PeerCloseEndsSessionAndConnectWorksAgain) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(conn, peer, true));
  peer.close();
  ASSERT_TRUE(WaitUntil([&] { return !conn.isConnected(); }));
  ASSERT_TRUE(WaitUntil([&] { return conn.getSocket() == INVALID_SOCKET; }));
  // A broken session stays broken: requests fail at once.
  EXPECT_EQ(conn.nop(), RCC_CONNECTION_BROKEN);

  // Same object, new session, this time in clear.
  ASSERT_TRUE(ConnectScripted(conn, peer, false));
  EXPECT_TRUE(conn.isConnected());
  std::thread script([&] {
    auto nop = peer.receive();
    if (nop != nullptr) peer.reply(nop->GetId(), RCC_SUCCESS);
  });
  EXPECT_EQ(conn.nop(), RCC_SUCCESS);
  script.join();
}

TEST(AgentSession, DisconnectFromAnotherThreadEndsWaitingRequestsPromptly) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(conn, peer));
  conn.setCommandTimeout(600000);  // only the end of the session can stop the waits

  constexpr int kWaiters = 4;
  std::vector<std::future<uint32_t>> waiters;
  for (int i = 0; i < kWaiters; i++)
    waiters.push_back(std::async(std::launch::async, [&] { return conn.nop(); }));
  for (int i = 0; i < kWaiters; i++) ASSERT_NE(peer.receive(), nullptr);  // all are waiting now

  conn.disconnect();
  for (auto &w : waiters) {
    ASSERT_EQ(w.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(w.get(), RCC_CONNECTION_BROKEN);
  }
  EXPECT_FALSE(conn.isConnected());
  EXPECT_TRUE(peer.waitForClose());  // the receiver thread closed its socket
}

TEST(AgentSession, IdleTimeoutEndsSessionUnlessUploadInProgress) {
  ScriptedPeer idlePeer, uploadPeer;
  TestConnection idle(kLoopbackNet, idlePeer.port());
  TestConnection uploading(kLoopbackNet, uploadPeer.port());
  ASSERT_TRUE(ConnectScripted(idle, idlePeer));
  ASSERT_TRUE(ConnectScripted(uploading, uploadPeer));
  // Below the setter's limit, so the test needs no long idle periods.
  idle.receiveTimeout = 100;
  uploading.receiveTimeout = 100;
  uploading.uploadInProgress = true;
  // Wake both receivers so that they start a wait with the short time-out.
  ASSERT_TRUE(idlePeer.send(Message(MC_TRAP, 1)));
  ASSERT_TRUE(uploadPeer.send(Message(MC_TRAP, 1)));

  ASSERT_TRUE(WaitUntil([&] { return !idle.isConnected(); }));
  EXPECT_TRUE(idle.printedContains("Timed out waiting for message"));
  EXPECT_TRUE(idlePeer.waitForClose());

  // Many idle periods later the uploading session is still there.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_TRUE(uploading.isConnected());
  EXPECT_FALSE(uploading.printedContains("Timed out waiting for message"));
  uploading.uploadInProgress = false;
  ASSERT_TRUE(WaitUntil([&] { return !uploading.isConnected(); }));
}

// Collects debug lines from the log sink.
struct LogCapture {
  static void Sink(uint32_t, uint16_t, const char16_t *line, void *context) {
    auto *self = static_cast<LogCapture *>(context);
    std::lock_guard<std::mutex> guard(self->mutex);
    self->lines.push_back(KmWideToUtf8(std::u16string_view(line)));
  }
  bool contains(const std::string &text) {
    std::lock_guard<std::mutex> guard(mutex);
    for (const std::string &line : lines)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

TEST(AgentSession, ReceiveFailureIsTracedOnlyWhenNotCausedByDisconnect) {
  LogCapture log;
  kmlog_set_sink_callback(LogCapture::Sink, &log);
  const int32_t savedLevel = g_nDebugLevel;
  g_nDebugLevel = 6;
  const std::string trace = "AgentConnection::ReceiverThread(): RecvKMCPMessage() failed";

  ScriptedPeer peer;
  {
    TestConnection conn(kLoopbackNet, peer.port());
    ASSERT_TRUE(ConnectScripted(conn, peer));
    conn.disconnect();
    EXPECT_TRUE(peer.waitForClose());
  }
  EXPECT_FALSE(log.contains(trace));
  {
    TestConnection conn(kLoopbackNet, peer.port());
    ASSERT_TRUE(ConnectScripted(conn, peer));
    peer.close();
    ASSERT_TRUE(WaitUntil([&] { return !conn.isConnected(); }));
    ASSERT_TRUE(WaitUntil([&] { return log.contains(trace); }));
  }
  EXPECT_TRUE(log.contains(trace + ": error=0, socket_error="));

  g_nDebugLevel = savedLevel;
  kmlog_set_sink_stderr();
}

}  // namespace
}  // namespace kmtest
