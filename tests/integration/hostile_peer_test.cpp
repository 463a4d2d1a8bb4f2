// AgentConnection against peers that misbehave on purpose: garbage, a header
// that promises 4 GiB, a reply dribbled one byte at a time, a peer that
// stops reading, a close in the middle of a message, a download or the key
// exchange, a flood of traps while requests run, replies nobody asked for,
// and a replayed encrypted message. In every case the process must not
// crash or hang, every waiting caller must return, and the session must
// either go on in step or end cleanly. Every wait is bounded.
#include <gtest/gtest.h>
#include <malloc.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
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
// The session's bounds: what one hostile agent may cost the server
// ---------------------------------------------------------------------------

// An unclaimed reply of about 240 KB made of 16-bit fields, the costliest
// kind to decode (each field takes more memory than its 8 wire bytes).
std::vector<uint8_t> ReplyOfSmallFields(uint32_t id) {
  CSCPMessage one = Message(MC_REQUEST_COMPLETED, id);
  one.SetVariable(1, uint16_t{7});
  const std::vector<uint8_t> single = Wire(one);
  const std::vector<uint8_t> field(single.begin() + KMCP_HEADER_SIZE, single.end());
  constexpr uint32_t kFields = 30000;
  std::vector<uint8_t> bytes = WireHeader(
      MC_REQUEST_COMPLETED, static_cast<uint32_t>(KMCP_HEADER_SIZE + kFields * field.size()), id, 0,
      0, kFields);
  for (uint32_t i = 0; i < kFields; ++i) {
    const size_t at = bytes.size();
    bytes.insert(bytes.end(), field.begin(), field.end());
    KmStoreBe32(&bytes[at], 1000 + i);
  }
  return bytes;
}

// One row per bound; each scripts the peer and checks what the session did.
// Every row fails (or hangs until kHang) without its bound.
TEST(HostilePeer, EachSessionBoundHoldsAgainstAPeerThatPushesIt) {
  struct Case {
    const char *what;
    std::function<void(TestConnection &, ScriptedPeer &, const TempDir &)> run;
  };
  const Case cases[] = {
      {"a flood of unclaimed replies is held within the byte bound",
       [](TestConnection &conn, ScriptedPeer &peer, const TempDir &) {
         constexpr uint32_t kFlood = 16;
         const std::vector<uint8_t> sample = ReplyOfSmallFields(1);
         const auto decoded = CSCPMessage::decode(sample, KMCP_VERSION);
         ASSERT_NE(decoded, nullptr);
         ASSERT_GT(decoded->MemorySize() * kFlood, MsgWaitQueue::kMaxHeldBytes)
             << "the flood would fit without the bound";
         for (uint32_t i = 0; i < kFlood; ++i)
           ASSERT_TRUE(peer.sendBytes(ReplyOfSmallFields(0x40000000u + i)));
         ASSERT_TRUE(peer.send(Message(MC_TRAP, 1)));  // marks the end of the flood
         ASSERT_TRUE(WaitUntil([&] { return conn.traps == 1; }));
         EXPECT_LE(conn.replyQueue.heldBytes(), MsgWaitQueue::kMaxHeldBytes);
         EXPECT_LT(conn.replyQueue.size(), kFlood);
         std::unique_ptr<CSCPMessage> newest(
             conn.waitForMessage(MC_REQUEST_COMPLETED, 0x40000000u + kFlood - 1, 0));
         EXPECT_NE(newest, nullptr);
         ExpectInStep(conn, peer);
       }},
      {"a download that never ends stops at the limit and leaves no file",
       [](TestConnection &conn, ScriptedPeer &peer, const TempDir &dir) {
         const std::string path = dir.file("endless");
         conn.setDownloadLimit(64 * 1024);
         std::thread script([&] {
           auto request = peer.receive();
           if (request == nullptr) return;
           peer.reply(request->GetId(), RCC_SUCCESS);
           std::vector<uint8_t> chunk = WireHeader(MC_FILE_DATA, KMCP_HEADER_SIZE + 4096,
                                                   request->GetId(), 4096, FLAG_RAW, 4096);
           for (int i = 0; i < 64 && peer.sendBytes(chunk); ++i) {
           }
         });
         CSCPMessage request = Message(0x7100, 0);
         auto result = std::async(std::launch::async, [&] {
           return std::unique_ptr<CSCPMessage>(
               conn.customRequest(&request, KmUtf8ToWide(path).c_str()));
         });
         ASSERT_EQ(result.wait_for(kHang), std::future_status::ready);
         script.join();
         const std::unique_ptr<CSCPMessage> reply = result.get();
         ASSERT_NE(reply, nullptr);
         EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_IO_FAILURE);
         struct stat st;
         EXPECT_NE(::stat(path.c_str(), &st), 0);
       }},
      {"an upload to a peer that stops reading ends the session with 901",
       [](TestConnection &conn, ScriptedPeer &peer, const TempDir &dir) {
         const std::string path = dir.file("large");
         {
           std::ofstream out(path, std::ios::binary);
           const std::string block(1 << 20, 'u');
           for (int i = 0; i < 32; ++i) out << block;
         }
         conn.setCommandTimeout(500);
         std::thread script([&] {
           auto announce = peer.receive();
           if (announce != nullptr) peer.reply(announce->GetId(), RCC_SUCCESS);
           // ...and reads nothing more.
         });
         auto upload = std::async(std::launch::async,
                                  [&] { return conn.uploadFile(KmUtf8ToWide(path).c_str()); });
         ASSERT_EQ(upload.wait_for(kHang), std::future_status::ready);
         script.join();
         EXPECT_EQ(upload.get(), RCC_CONNECTION_BROKEN);
         EXPECT_TRUE(WaitUntil([&] { return !conn.isConnected(); }));
         EXPECT_EQ(conn.nop(), RCC_CONNECTION_BROKEN);
       }},
      {"a result code of another width is a bad response, not success",
       [](TestConnection &conn, ScriptedPeer &peer, const TempDir &) {
         for (const bool wide : {false, true}) {
           std::thread script([&] {
             auto request = peer.receive();
             if (request == nullptr) return;
             CSCPMessage reply = Message(MC_REQUEST_COMPLETED, request->GetId());
             if (wide)
               reply.SetVariable(VAR_RCC, uint64_t{0});
             else
               reply.SetVariable(VAR_RCC, uint16_t{0});
             peer.send(reply);
           });
           EXPECT_EQ(conn.nop(), RCC_BAD_RESPONSE) << (wide ? "64 bits" : "16 bits");
           script.join();
         }
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPeer peer;
    TestConnection conn(kLoopbackNet, peer.port());
    ASSERT_TRUE(ConnectScripted(conn, peer));
    const TempDir dir("bounds");
    c.run(conn, peer, dir);
  }
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

// ---------------------------------------------------------------------------
// A receiver thread that cannot start
// ---------------------------------------------------------------------------

// Runs connect (which returns its result code) in a child process whose
// address space has no room left for another thread's stack, while this
// process plays the peer up to version detection. The child's code, or
// UINT32_MAX when it reported nothing.
uint32_t ConnectWithoutRoomForAThread(ScriptedPeer &peer,
                                      const std::function<uint32_t()> &connect) {
  int fds[2];
  if (::pipe(fds) != 0) return UINT32_MAX;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    // Grow the heap first and keep it, so that connect's small allocations
    // need no new mappings; then leave 256 KiB, less than a thread's stack.
    ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
    std::vector<std::unique_ptr<char[]>> warm;
    for (int i = 0; i < 256; ++i) warm.emplace_back(new char[4096]);
    warm.clear();
    long pages = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    const rlim_t room = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (256 << 10);
    const rlimit limit{room, room};
    uint32_t rcc = UINT32_MAX;
    if (pages > 0 && ::setrlimit(RLIMIT_AS, &limit) == 0) rcc = connect();
    const ssize_t written = ::write(fds[1], &rcc, sizeof rcc);
    ::_exit(written == sizeof rcc ? 0 : 1);
  }
  ::close(fds[1]);
  std::thread script([&] { peer.accept(); });
  uint32_t rcc = UINT32_MAX;
  pollfd p{fds[0], POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(kWaitMs)) == 1 &&
      ::read(fds[0], &rcc, sizeof rcc) != sizeof rcc)
    rcc = UINT32_MAX;
  ::close(fds[0]);
  if (pid > 0) {
    if (rcc == UINT32_MAX) ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  script.join();
  return rcc;
}

TEST(HostilePeer, AReceiverThreadThatCannotStartFailsConnectAtOnce) {
  {
    ScriptedPeer peer;
    TestConnection conn(kLoopbackNet, peer.port());
    conn.setCommandTimeout(600000);  // a wait for answers would show as a hang
    EXPECT_EQ(ConnectWithoutRoomForAThread(
                  peer,
                  [&]() -> uint32_t {
                    uint32_t rcc = 0;
                    if (conn.connect(nullptr, false, &rcc)) return 0;
                    const bool said =
                        conn.printedContains("Cannot start receiver thread for agent 127.0.0.1");
                    return said ? rcc : 0;
                  }),
              RCC_INTERNAL_ERROR);
  }
  {
    ScriptedPeer peer;
    QuietIsc isc(kLoopbackNet, peer.port());
    isc.commandTimeout = 600000;
    EXPECT_EQ(ConnectWithoutRoomForAThread(peer, [&] { return isc.Connect(7); }),
              ISC_RESULT_INTERNAL_ERROR);
  }
}

}  // namespace
}  // namespace kmtest
