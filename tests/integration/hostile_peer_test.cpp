// AgentConnection against peers that misbehave on purpose: garbage, a header
// that promises 4 GiB, a reply dribbled one byte at a time, a peer that
// stops reading, a close in the middle of a message, a download or the key
// exchange, a flood of traps while requests run, replies nobody asked for,
// and a replayed encrypted message. In every case the process must not
// crash or hang, every waiting caller must return, and the session must
// either go on in step or end cleanly. Every wait is bounded.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "agent_test_support.h"
#include "kmbase/msg_wait_queue.h"
#include "kmsrv/isc.h"
#include "kmsrv/protocol.h"
#include "resource_check.h"
#include "scripted_peer.h"
#include "support/wire.h"

namespace kmtest {
namespace {

// Bound on any wait for something that must happen promptly; reaching it is
// a hang, not a slow machine.
constexpr auto kHang = std::chrono::seconds(60);

std::vector<uint8_t> Reply(uint32_t id, uint32_t rcc) {
  CSCPMessage msg = Message(MC_REQUEST_COMPLETED, id);
  msg.SetVariable(VAR_RCC, rcc);
  return Wire(msg);
}

// After the peer did something odd: a liveness test the peer answers must
// succeed (the session is still in step).
void ExpectInStep(TestConnection &conn, ScriptedPeer &peer) {
  std::thread script([&] {
    auto nop = peer.receive();
    if (nop != nullptr) peer.reply(nop->GetId(), RCC_SUCCESS);
  });
  EXPECT_EQ(conn.nop(), RCC_SUCCESS);
  script.join();
}

TEST(HostilePeer, GarbageEndsTheSessionOrIsSkippedAndWaitingCallerReturns) {
  // Bytes of every kind: text, zeros, high bytes, then a header-sized run
  // that is not a header.
  std::vector<uint8_t> garbage;
  uint32_t x = 12345;
  for (int i = 0; i < 20000; i++) {
    x = x * 1103515245u + 12345u;
    garbage.push_back(static_cast<uint8_t>(x >> 16));
  }
  for (bool encrypt : {false, true}) {
    SCOPED_TRACE(encrypt ? "encrypted" : "clear");
    ScriptedPeer peer;
    TestConnection conn(kLoopbackNet, peer.port());
    ASSERT_TRUE(ConnectScripted(conn, peer, encrypt));
    conn.setCommandTimeout(3000);
    auto waiter = std::async(std::launch::async, [&] { return conn.nop(); });
    ASSERT_NE(peer.receive(), nullptr);
    ASSERT_TRUE(peer.sendBytes(garbage.data(), garbage.size()));
    ASSERT_EQ(waiter.wait_for(kHang), std::future_status::ready);
    const uint32_t rcc = waiter.get();
    EXPECT_TRUE(rcc == RCC_CONNECTION_BROKEN || rcc == RCC_REQUEST_TIMEOUT) << rcc;
    // Whatever the garbage did, the peer's close now ends the session.
    peer.close();
    ASSERT_TRUE(WaitUntil([&] { return !conn.isConnected(); }));
    EXPECT_EQ(conn.nop(), RCC_CONNECTION_BROKEN);
  }
}

TEST(HostilePeer, HeaderPromisingFourGibibytesAllocatesNothingAndCloseEndsTheWait) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(conn, peer));
  conn.setCommandTimeout(600000);  // only the session's end may release the caller
  auto waiter = std::async(std::launch::async, [&] { return conn.nop(); });
  std::unique_ptr<CSCPMessage> request = peer.receive();
  ASSERT_NE(request, nullptr);

  // A header whose size field says 4 GiB - 8, then a real reply: the reply is
  // swallowed as part of the announced message, or the stream is given up.
  const std::vector<uint8_t> header =
      WireHeader(MC_REQUEST_COMPLETED, 0xFFFFFFF8u, request->GetId());
  ASSERT_TRUE(peer.sendBytes(header));
  std::vector<uint8_t> filler(1 << 20, 0xEE);
  ASSERT_TRUE(peer.sendBytes(filler.data(), filler.size()));
  const std::vector<uint8_t> reply = Reply(request->GetId(), RCC_SUCCESS);
  ASSERT_TRUE(peer.sendBytes(reply.data(), reply.size()));

  peer.close();
  ASSERT_EQ(waiter.wait_for(kHang), std::future_status::ready);
  EXPECT_EQ(waiter.get(), RCC_CONNECTION_BROKEN);
  EXPECT_FALSE(conn.isConnected());
}

TEST(HostilePeer, ReplyArrivingOneByteAtATimeIsDelivered) {
  for (bool encrypt : {false, true}) {
    SCOPED_TRACE(encrypt ? "encrypted" : "clear");
    ScriptedPeer peer;
    TestConnection conn(kLoopbackNet, peer.port());
    ASSERT_TRUE(ConnectScripted(conn, peer, encrypt));
    conn.setCommandTimeout(60000);
    std::thread script([&] {
      auto request = peer.receive();
      if (request == nullptr) return;
      CSCPMessage reply = Message(MC_REQUEST_COMPLETED, request->GetId());
      reply.SetVariable(VAR_RCC, RCC_ACCESS_DENIED);
      reply.SetVariable(VAR_VALUE, u"sent in small pieces");
      std::vector<uint8_t> bytes = encrypt ? peer.seal(reply) : Wire(reply);
      for (uint8_t b : bytes) {
        if (!peer.sendBytes(&b, 1)) return;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    EXPECT_EQ(conn.nop(), RCC_ACCESS_DENIED);
    script.join();
    ExpectInStep(conn, peer);
  }
}

TEST(HostilePeer, PeerThatStopsReadingBlocksSendsUntilDisconnectFromAnotherThread) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(conn, peer));
  // The peer reads nothing from here on: the socket buffers fill and the
  // sender blocks inside its send.
  std::atomic<int> sent{0};
  auto sender = std::async(std::launch::async, [&] {
    CSCPMessage big = Message(MC_TRAP, 1);
    std::vector<uint8_t> blob(200000, 0x42);
    big.SetVariable(VAR_PDU, blob.data(), static_cast<uint32_t>(blob.size()));
    for (int i = 0; i < 2000; i++) {
      if (!conn.sendMessage(&big)) return false;
      sent++;
    }
    return true;  // never blocked: the test below reports it
  });
  // Wait until sends stop progressing (bounded), then disconnect.
  int last = -1;
  for (int i = 0; i < 200 && sent.load() != last; i++) {
    last = sent.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_NE(sender.wait_for(std::chrono::milliseconds(0)), std::future_status::ready)
      << "the sender never blocked";
  auto disconnect = std::async(std::launch::async, [&] { conn.disconnect(); });
  ASSERT_EQ(disconnect.wait_for(kHang), std::future_status::ready);
  ASSERT_EQ(sender.wait_for(kHang), std::future_status::ready);
  EXPECT_FALSE(sender.get());
  EXPECT_FALSE(conn.isConnected());
  EXPECT_EQ(conn.nop(), RCC_CONNECTION_BROKEN);
}

TEST(HostilePeer, CloseInTheMiddleOfAMessageReleasesEveryWaiter) {
  for (bool encrypt : {false, true}) {
    SCOPED_TRACE(encrypt ? "encrypted" : "clear");
    ScriptedPeer peer;
    TestConnection conn(kLoopbackNet, peer.port());
    ASSERT_TRUE(ConnectScripted(conn, peer, encrypt));
    conn.setCommandTimeout(600000);
    constexpr int kWaiters = 3;
    std::vector<std::future<uint32_t>> waiters;
    for (int i = 0; i < kWaiters; i++)
      waiters.push_back(std::async(std::launch::async, [&] { return conn.nop(); }));
    std::vector<uint32_t> ids;
    for (int i = 0; i < kWaiters; i++) {
      auto r = peer.receive();
      ASSERT_NE(r, nullptr);
      ids.push_back(r->GetId());
    }
    CSCPMessage reply = Message(MC_REQUEST_COMPLETED, ids[0]);
    reply.SetVariable(VAR_RCC, RCC_SUCCESS);
    reply.SetVariable(VAR_VALUE, u"never finished");
    std::vector<uint8_t> bytes = encrypt ? peer.seal(reply) : Wire(reply);
    ASSERT_TRUE(peer.sendBytes(bytes.data(), bytes.size() / 2));
    peer.close();
    for (auto &w : waiters) {
      ASSERT_EQ(w.wait_for(kHang), std::future_status::ready);
      EXPECT_EQ(w.get(), RCC_CONNECTION_BROKEN);
    }
    EXPECT_FALSE(conn.isConnected());
  }
}

TEST(HostilePeer, CloseInTheMiddleOfADownloadChunkEndsItAndRemovesThePartialFile) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(conn, peer));
  TempDir dir("hostile");
  const std::string path = dir.file("partial");
  std::thread script([&] {
    auto request = peer.receive();
    if (request == nullptr) return;
    // One whole chunk, then half of the next, then the connection drops.
    std::vector<uint8_t> chunk =
        WireHeader(MC_FILE_DATA, KMCP_HEADER_SIZE + 64, request->GetId(), 64, FLAG_RAW, 64);
    std::fill(chunk.begin() + KMCP_HEADER_SIZE, chunk.end(), 0x61);
    peer.sendBytes(chunk.data(), chunk.size());
    peer.sendBytes(chunk.data(), chunk.size() / 2);
    peer.close();
  });
  CSCPMessage request = Message(0x7100, 0);
  auto result = std::async(std::launch::async, [&] {
    return conn.customRequest(&request, KmUtf8ToWide(path).c_str());
  });
  ASSERT_EQ(result.wait_for(kHang), std::future_status::ready);
  CSCPMessage *reply = result.get();
  script.join();
  EXPECT_TRUE(reply == nullptr || reply->GetVariableLong(VAR_RCC) != RCC_SUCCESS);
  delete reply;
  struct stat st;
  EXPECT_NE(::stat(path.c_str(), &st), 0) << "the partial download was left behind";
  EXPECT_FALSE(conn.isConnected());
}

TEST(HostilePeer, CloseDuringTheKeyExchangeFailsConnectPromptly) {
  // 0: close on the key request; 1: half of the key answer, then close.
  for (int variant = 0; variant < 2; variant++) {
    SCOPED_TRACE(variant);
    ScriptedPeer peer;
    TestConnection conn(kLoopbackNet, peer.port());
    conn.setCommandTimeout(600000);
    conn.setConnectionTimeout(600000);
    conn.setEncryptionPolicy(ENCRYPTION_MANDATORY);
    std::thread script([&] {
      if (!peer.accept()) return;
      auto key = peer.receive();
      if (key == nullptr) return;
      if (variant == 1) {
        CSCPMessage answer;
        KMCPEncryptionContext *ctx = nullptr;
        KMCPProcessKeyRequest(key.get(), KMCP_SUPPORTED_CIPHERS, &answer, &ctx);
        if (ctx != nullptr) ctx->decRefCount();
        std::vector<uint8_t> bytes = Wire(answer);
        peer.sendBytes(bytes.data(), bytes.size() / 2);
      }
      peer.close();
    });
    uint32_t rcc = 0;
    auto result =
        std::async(std::launch::async, [&] { return conn.connect(TestKey(), false, &rcc); });
    ASSERT_EQ(result.wait_for(kHang), std::future_status::ready);
    EXPECT_FALSE(result.get());
    EXPECT_NE(rcc, RCC_SUCCESS);
    script.join();
    EXPECT_FALSE(conn.isConnected());
    EXPECT_EQ(conn.getSocket(), INVALID_SOCKET);
  }
}

TEST(HostilePeer, TrapFloodWhileRequestsRunLosesNoReplyAndNoTrap) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(conn, peer, true));
  conn.setCommandTimeout(60000);
  constexpr int kThreads = 4;
  constexpr int kRequestsEach = 50;
  constexpr int kTrapsPerRequest = 20;
  // The peer answers each request after a burst of traps.
  std::thread script([&] {
    for (int n = 0; n < kThreads * kRequestsEach; n++) {
      auto request = peer.receive(30000);
      if (request == nullptr) return;
      for (int t = 0; t < kTrapsPerRequest; t++) {
        CSCPMessage trap = Message(MC_TRAP, static_cast<uint32_t>(n * kTrapsPerRequest + t));
        trap.SetVariable(VAR_VALUE, u"trap payload");
        if (!peer.send(trap)) return;
      }
      if (!peer.reply(request->GetId(), RCC_SUCCESS)) return;
    }
  });
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; t++) {
    callers.emplace_back([&] {
      for (int i = 0; i < kRequestsEach; i++)
        if (conn.nop() != RCC_SUCCESS) failures++;
    });
  }
  for (auto &c : callers) c.join();
  script.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_TRUE(WaitUntil([&] { return conn.traps == kThreads * kRequestsEach * kTrapsPerRequest; }));
  EXPECT_EQ(conn.replyQueue.size(), 0u);
  EXPECT_TRUE(conn.isConnected());
}

TEST(HostilePeer, RepliesNobodyAskedForAreBoundedAndDoNotDisturbRequests) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(conn, peer));
  // Far more unclaimed replies than the queue keeps, with ids a request
  // will use soon among them under another code.
  const size_t flood = MsgWaitQueue::kMaxHeldMessages * 3;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < flood; i++) {
    std::vector<uint8_t> one = Reply(static_cast<uint32_t>(0x40000000u + i), RCC_SUCCESS);
    bytes.insert(bytes.end(), one.begin(), one.end());
  }
  ASSERT_TRUE(peer.sendBytes(bytes.data(), bytes.size()));
  ASSERT_TRUE(peer.send(Message(MC_TRAP, 1)));  // marks the end of the flood
  ASSERT_TRUE(WaitUntil([&] { return conn.traps == 1; }));
  EXPECT_LE(conn.replyQueue.size(), MsgWaitQueue::kMaxHeldMessages);
  // The oldest went first; the newest is still there.
  std::unique_ptr<CSCPMessage> newest(conn.waitForMessage(
      MC_REQUEST_COMPLETED, static_cast<uint32_t>(0x40000000u + flood - 1), 0));
  EXPECT_NE(newest, nullptr);
  std::unique_ptr<CSCPMessage> oldest(
      conn.waitForMessage(MC_REQUEST_COMPLETED, 0x40000000u, 0));
  EXPECT_EQ(oldest, nullptr);
  ExpectInStep(conn, peer);
}

TEST(HostilePeer, ReplayedEncryptedMessageIsRejectedOnce) {
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(conn, peer, true));
  std::vector<uint8_t> envelope = peer.seal(Message(MC_TRAP, 42));
  ASSERT_FALSE(envelope.empty());
  ASSERT_TRUE(peer.sendBytes(envelope.data(), envelope.size()));
  ASSERT_TRUE(peer.sendBytes(envelope.data(), envelope.size()));  // the replay
  ASSERT_TRUE(peer.send(Message(MC_TRAP, 43)));
  ASSERT_TRUE(WaitUntil([&] { return conn.lastTrapId == 43u; }));
  EXPECT_EQ(conn.traps, 2);  // 42 once, then 43
  EXPECT_TRUE(conn.printedContains("Unable to decrypt received message"));
  ExpectInStep(conn, peer);
}

// ---------------------------------------------------------------------------
// The ISC client against the same kinds of peer
// ---------------------------------------------------------------------------

class QuietIsc : public ISC {
 public:
  using ISC::ISC;
  ~QuietIsc() override { DisconnectAndWait(); }
  void PrintMsg(const char16_t *, ...) override {}
  uint32_t nextId() { return nextRequestId.fetch_add(1); }
  using ISC::commandTimeout;
};

// Connect while the peer answers version detection, the key request when
// encrypt, the liveness test and the service request.
bool ConnectIsc(QuietIsc &isc, ScriptedPeer &peer, bool encrypt) {
  std::thread script([&] {
    if (!peer.accept()) return;
    for (int step = 0; step < 3; step++) {
      auto msg = peer.receive();
      if (msg == nullptr) return;
      if (msg->GetCode() == MC_REQUEST_SESSION_KEY) {
        peer.answerKeyRequest(*msg);
        continue;
      }
      peer.reply(msg->GetId(), ISC_RESULT_SUCCESS);
      if (msg->GetCode() == MC_ISC_CONNECT_TO_SERVICE) return;
    }
  });
  const uint32_t rc = isc.Connect(7, encrypt ? TestKey() : nullptr, encrypt);
  script.join();
  return rc == ISC_RESULT_SUCCESS;
}

TEST(HostileIscPeer, GarbageAndAHugeHeaderLeaveNoCallerWaitingPastTheSessionEnd) {
  std::vector<uint8_t> garbage(8192);
  uint32_t x = 777;
  for (auto &b : garbage) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  const std::vector<uint8_t> huge = WireHeader(29, 0xFFFFFFF8u, 0);
  for (bool hugeHeader : {false, true}) {
    SCOPED_TRACE(hugeHeader ? "4 GiB header" : "garbage");
    ScriptedPeer peer;
    QuietIsc isc(kLoopbackNet, peer.port());
    ASSERT_TRUE(ConnectIsc(isc, peer, false));
    isc.commandTimeout = 600000;  // only the session's end may release the caller
    auto waiter = std::async(std::launch::async, [&] { return isc.Nop(); });
    ASSERT_NE(peer.receive(), nullptr);
    if (hugeHeader) {
      ASSERT_TRUE(peer.sendBytes(huge));
    } else {
      ASSERT_TRUE(peer.sendBytes(garbage.data(), garbage.size()));
    }
    peer.close();
    ASSERT_EQ(waiter.wait_for(kHang), std::future_status::ready);
    EXPECT_EQ(waiter.get(), ISC_RESULT_CONNECTION_BROKEN);
    EXPECT_EQ(isc.Nop(), ISC_RESULT_CONNECTION_BROKEN);
  }
}

TEST(HostileIscPeer, PeerThatStopsReadingIsEndedByDisconnectFromAnotherThread) {
  ScriptedPeer peer;
  QuietIsc isc(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectIsc(isc, peer, false));
  std::atomic<int> sent{0};
  auto sender = std::async(std::launch::async, [&] {
    CSCPMessage big = Message(0x1100, 0);
    std::vector<uint8_t> blob(200000, 0x42);
    big.SetVariable(VAR_PDU, blob.data(), static_cast<uint32_t>(blob.size()));
    for (int i = 0; i < 2000; i++) {
      big.SetId(isc.nextId());
      if (!isc.SendMessageW(&big)) return false;
      sent++;
    }
    return true;
  });
  int last = -1;
  for (int i = 0; i < 200 && sent.load() != last; i++) {
    last = sent.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_NE(sender.wait_for(std::chrono::milliseconds(0)), std::future_status::ready)
      << "the sender never blocked";
  auto disconnect = std::async(std::launch::async, [&] { isc.Disconnect(); });
  ASSERT_EQ(disconnect.wait_for(kHang), std::future_status::ready);
  ASSERT_EQ(sender.wait_for(kHang), std::future_status::ready);
  EXPECT_FALSE(sender.get());
  EXPECT_EQ(isc.Nop(), ISC_RESULT_CONNECTION_BROKEN);
}

TEST(HostileIscPeer, ReplayedEnvelopeIsDroppedAndTheSessionGoesOn) {
  ScriptedPeer peer;
  QuietIsc isc(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectIsc(isc, peer, true));
  // Two replies to one request, the second a byte-for-byte replay; then the
  // reply to a second request.
  const uint32_t first = isc.nextId();
  const uint32_t second = isc.nextId();
  CSCPMessage reply = Message(MC_REQUEST_COMPLETED, first);
  reply.SetVariable(VAR_RCC, ISC_RESULT_SUCCESS);
  std::vector<uint8_t> envelope = peer.seal(reply);
  ASSERT_FALSE(envelope.empty());
  ASSERT_TRUE(peer.sendBytes(envelope.data(), envelope.size()));
  ASSERT_TRUE(peer.sendBytes(envelope.data(), envelope.size()));
  ASSERT_TRUE(peer.reply(second, ISC_RESULT_SUCCESS));
  std::unique_ptr<CSCPMessage> a(isc.WaitForMessage(MC_REQUEST_COMPLETED, first, 10000));
  std::unique_ptr<CSCPMessage> b(isc.WaitForMessage(MC_REQUEST_COMPLETED, second, 10000));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  // Had the replay been taken, a second copy of the first reply would wait.
  std::unique_ptr<CSCPMessage> again(isc.WaitForMessage(MC_REQUEST_COMPLETED, first, 0));
  EXPECT_EQ(again, nullptr);
}

}  // namespace
}  // namespace kmtest
