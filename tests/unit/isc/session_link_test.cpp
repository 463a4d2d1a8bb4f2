// The shared session mechanics (session/session_link.h) driven over socket
// pairs: the receiver loop, the send path, reply waits, the key exchange
// hand-over, and connect with version detection.
#include "session/session_link.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/msg_wait_queue.h"
#include "kmbase/net.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "support/raw_peer.h"
#include "support/test_key.h"
#include "support/wait.h"
#include "support/wire.h"

namespace {

using kmsrv_session::OpenResult;

using kmtest::RawPeer;
using kmtest::TestKey;
using kmtest::WaitUntil;

// A pair of contexts sharing one key: the session's (server side) and the
// peer's.
struct ContextPair {
  ContextPair() {
    uint8_t key[KMCP_SESSION_KEY_SIZE];
    for (size_t i = 0; i < sizeof(key); i++) key[i] = static_cast<uint8_t>(i * 7 + 1);
    session = KMCPEncryptionContext::create(KMCP_CIPHER_AES_256_GCM, key, sizeof(key),
                                            KmcpCryptoSide::Server);
    peer = KMCPEncryptionContext::create(KMCP_CIPHER_AES_256_GCM, key, sizeof(key),
                                         KmcpCryptoSide::Peer);
  }
  ~ContextPair() {
    if (session != nullptr) session->decRefCount();
    if (peer != nullptr) peer->decRefCount();
  }
  KMCPEncryptionContext *session;
  KMCPEncryptionContext *peer;
};

struct Dispatched {
  uint16_t code;
  uint32_t id;
  uint32_t size;
  bool keyDoneWhenDispatched;  // no key hand-over was going on
};

// A session over one end of a socket pair; the test plays the peer on the
// other end. It keeps the members a session lends to the shared mechanics
// and is the receiver's hooks.
class PairSession final : public kmsrv_session::ReceiverHooks {
 public:
  PairSession() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    socket_ = fds[0];
    peer_.adopt(fds[1]);
  }
  ~PairSession() {
    closePeer();
    link.finish();
    KmSocketClose(dropped_);
  }

  uint32_t receiveTimeoutMs() override { return timeoutMs.load(); }
  void report(const char16_t *line) override {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(KmWideToUtf8(line));
  }
  void receiveFailed(int result, int) override { failedWith = result; }
  bool keepWaitingWhenIdle() override { return ++idles <= keepWaitingIdles; }
  void dispatch(KMCP_MESSAGE *msg, uint32_t size) override {
    const uint16_t code = ntohs(msg->code);
    const uint32_t id = ntohl(msg->id);
    if (queueDecoded) {
      auto decoded = CSCPMessage::decode(
          std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(msg), size), KMCP_VERSION);
      if (decoded != nullptr) queue_.put(decoded.release());
    }
    {
      std::lock_guard<std::mutex> guard(mutex_);
      dispatched_.push_back({code, id, size, keyId_.load() == 0});
    }
    if (afterDispatch) afterDispatch(id);
  }
  void sessionEnding() override { ++endings; }

  // The test's end of the pair.
  SOCKET peer() const { return peer_.socket(); }
  RawPeer &peerEnd() { return peer_; }
  void closePeer() { peer_.close(); }
  // The session loses its socket (kept open until the end of the test).
  void dropSocket() {
    KmLockGuard guard(stateLock_);
    dropped_ = socket_;
    socket_ = INVALID_SOCKET;
  }
  void setContext(KMCPEncryptionContext *ctx) {
    link.installContext(kmsrv_session::ContextRef::Share(ctx));
  }
  MsgWaitQueue &replies() { return queue_; }
  std::atomic<uint32_t> &keyExchangeId() { return keyId_; }
  KmEvent &keyExchangeDone() { return keyDone_; }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }
  std::vector<Dispatched> dispatched() {
    std::lock_guard<std::mutex> guard(mutex_);
    return dispatched_;
  }

  std::atomic<uint32_t> timeoutMs{5000};
  std::atomic<uint32_t> sendTimeoutMs_{5000};
  std::atomic<int> failedWith{99};
  std::atomic<int> endings{0};  // sessionEnding calls
  int idles = 0;              // receiver thread only
  int keepWaitingIdles = 0;   // idle periods to sit out before ending
  bool queueDecoded = false;  // also put decoded messages into the reply queue
  std::function<void(uint32_t id)> afterDispatch;  // set before the receiver starts

 private:
  SOCKET socket_ = INVALID_SOCKET;
  RawPeer peer_;
  SOCKET dropped_ = INVALID_SOCKET;
  KMCPEncryptionContext *context_ = nullptr;
  KmMutex stateLock_;
  KmMutex sendLock_;
  MsgWaitQueue queue_;
  std::atomic<bool> closing_{false};
  std::atomic<uint32_t> keyId_{0};
  KmEvent keyDone_;
  THREAD_RECORD *thread_ = nullptr;
  std::atomic<std::thread::id> threadId_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<Dispatched> dispatched_;

 public:
  kmsrv_session::Link link{{socket_, context_, stateLock_, sendLock_, queue_, closing_, keyId_,
                            keyDone_, thread_, threadId_, sendTimeoutMs_}};
};

// Distinct codes, so a test can tell which outcome it got.
constexpr kmsrv_session::ResultCodes kCodes{101, 102, 103, 104, 105, 106, 107, 108};

std::vector<uint8_t> Wire(uint16_t code, uint32_t id, uint32_t binaryBytes = 0) {
  CSCPMessage msg = kmtest::Message(code, id);
  if (binaryBytes != 0) {
    std::vector<uint8_t> data(binaryBytes, 0x5A);
    msg.SetVariable(1u, data.data(), binaryBytes);
  }
  return kmtest::Wire(msg);
}

// An envelope of `plain` as the peer encrypts it.
std::vector<uint8_t> Envelope(KMCPEncryptionContext *peerCtx, const std::vector<uint8_t> &plain) {
  KMCP_ENCRYPTED_MESSAGE *env = peerCtx->encrypt(plain.data(), plain.size());
  std::vector<uint8_t> bytes(reinterpret_cast<uint8_t *>(env),
                             reinterpret_cast<uint8_t *>(env) + ntohl(env->size));
  std::free(env);
  return bytes;
}

void Write(SOCKET sock, const std::vector<uint8_t> &bytes) {
  ASSERT_EQ(SendEx(sock, bytes.data(), bytes.size(), 0, nullptr), static_cast<int>(bytes.size()));
}

bool Contains(const std::vector<std::string> &lines, const std::string &text) {
  for (const std::string &l : lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

// Reads one message on the peer's end, decrypting with peerCtx when given.
std::unique_ptr<CSCPMessage> ReadAsPeer(RawPeer &peer, KMCPEncryptionContext *peerCtx,
                                        bool *wasEnvelope = nullptr) {
  peer.useKey(peerCtx);
  std::unique_ptr<CSCPMessage> msg = peer.receive(5000);
  if (wasEnvelope != nullptr) *wasEnvelope = peer.lastEncrypted();
  return msg;
}

// ---------------------------------------------------------------------------
// The receiver loop
// ---------------------------------------------------------------------------

TEST(SessionReceiver, DeliversWholeMessagesAndEndsWhenThePeerCloses) {
  PairSession s;
  Write(s.peer(), Wire(MC_KEEPALIVE, 1));
  Write(s.peer(), Wire(MC_REQUEST_COMPLETED, 2, 100));
  s.closePeer();
  EXPECT_EQ(s.link.runReceiver(s, 1000), KMCP_RECV_CLOSED);
  const auto got = s.dispatched();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].code, MC_KEEPALIVE);
  EXPECT_EQ(got[0].id, 1u);
  EXPECT_EQ(got[1].code, MC_REQUEST_COMPLETED);
  EXPECT_EQ(got[1].id, 2u);
  EXPECT_EQ(got[1].size, Wire(MC_REQUEST_COMPLETED, 2, 100).size());
  EXPECT_EQ(s.failedWith.load(), KMCP_RECV_CLOSED);
  EXPECT_TRUE(s.lines().empty());
}

// A message of exactly `size` bytes: header and one binary field.
std::vector<uint8_t> WireOfSize(uint16_t code, uint32_t id, size_t size) {
  const size_t overhead = Wire(code, id, 8).size() - 8;
  std::vector<uint8_t> wire = Wire(code, id, static_cast<uint32_t>(size - overhead));
  EXPECT_EQ(wire.size(), size);
  return wire;
}

// The one session limit, the same whether the message comes clear or in its
// (larger) envelope: at the limit it arrives; 8 bytes more is reported and
// skipped, and the next message still arrives.
TEST(SessionReceiver, TakesTheLimitInClearAndEncryptedAndSkipsWhatIsBeyond) {
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "clear");
    ContextPair keys;
    PairSession s;
    if (encrypted) s.setContext(keys.session);
    const auto send = [&](const std::vector<uint8_t> &m) {
      Write(s.peer(), encrypted ? Envelope(keys.peer, m) : m);
    };
    // The messages are larger than a socket pair holds: the peer writes
    // while the receiver reads.
    std::thread peer([&] {
      send(WireOfSize(MC_REQUEST_COMPLETED, 1, KMCP_SESSION_MESSAGE_LIMIT));
      send(WireOfSize(MC_REQUEST_COMPLETED, 2, KMCP_SESSION_MESSAGE_LIMIT + 8));
      send(Wire(MC_KEEPALIVE, 3));
      s.closePeer();
    });
    s.link.runReceiver(s, 1000);
    peer.join();
    const auto got = s.dispatched();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, 1u);
    EXPECT_EQ(got[0].size, KMCP_SESSION_MESSAGE_LIMIT);
    EXPECT_EQ(got[1].id, 3u);
    EXPECT_TRUE(Contains(s.lines(), "Received too large message"));
  }
}

// Once keyed, a clear message in the stream is someone else's: replies and
// raw chunks alike are dropped and reported, what comes in the envelope
// still arrives.
TEST(SessionReceiver, OnceKeyedDropsEveryClearMessage) {
  ContextPair keys;
  PairSession s;
  s.setContext(keys.session);
  Write(s.peer(), Wire(MC_REQUEST_COMPLETED, 1));
  std::vector<uint8_t> chunk = Wire(MC_FILE_DATA, 2);
  chunk[3] |= static_cast<uint8_t>(FLAG_RAW);
  Write(s.peer(), chunk);
  Write(s.peer(), Envelope(keys.peer, Wire(MC_REQUEST_COMPLETED, 3)));
  s.closePeer();
  s.link.runReceiver(s, 1000);
  const auto got = s.dispatched();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 3u);
  EXPECT_TRUE(
      Contains(s.lines(), "Clear message MC_REQUEST_COMPLETED in an encrypted session dropped"));
  EXPECT_TRUE(Contains(s.lines(), "Clear message MC_FILE_DATA in an encrypted session dropped"));
}

TEST(SessionReceiver, SkipsUndecryptableMessageAndDeliversNext) {
  ContextPair keys;
  PairSession s;  // has no key: the envelope cannot be read
  Write(s.peer(), Envelope(keys.peer, Wire(MC_KEEPALIVE, 1)));
  Write(s.peer(), Wire(MC_KEEPALIVE, 2));
  s.closePeer();
  s.link.runReceiver(s, 1000);
  const auto got = s.dispatched();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 2u);
  EXPECT_TRUE(Contains(s.lines(), "Unable to decrypt received message"));
}

TEST(SessionReceiver, DecryptsWithTheSessionKeyAndSkipsInnerSizeMismatch) {
  ContextPair keys;
  PairSession s;
  s.setContext(keys.session);
  Write(s.peer(), Envelope(keys.peer, Wire(MC_KEEPALIVE, 1)));
  // The decrypted message is 8 bytes longer than its own header says.
  std::vector<uint8_t> lying = Wire(MC_KEEPALIVE, 2, 8);
  const uint32_t claimed = htonl(static_cast<uint32_t>(lying.size() - 8));
  std::memcpy(lying.data() + 4, &claimed, 4);
  Write(s.peer(), Envelope(keys.peer, lying));
  Write(s.peer(), Envelope(keys.peer, Wire(MC_KEEPALIVE, 3)));
  s.closePeer();
  s.link.runReceiver(s, 1000);
  const auto got = s.dispatched();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].id, 1u);
  EXPECT_EQ(got[1].id, 3u);
  EXPECT_TRUE(Contains(s.lines(), "RecvMsg: Bad packet length [dwSize=" +
                                      std::to_string(lying.size() - 8) +
                                      " ActualSize=" + std::to_string(lying.size()) + "]"));
}

TEST(SessionReceiver, EndsAfterIdleTimeUnlessTheSessionKeepsWaiting) {
  PairSession quiet;
  quiet.timeoutMs = 20;
  EXPECT_EQ(quiet.link.runReceiver(quiet, 1000), KMCP_RECV_TIMEOUT);
  EXPECT_EQ(quiet.idles, 1);
  EXPECT_TRUE(Contains(quiet.lines(), "Timed out waiting for message"));
  EXPECT_EQ(quiet.failedWith.load(), 99);  // not a failure

  PairSession patient;
  patient.timeoutMs = 20;
  patient.keepWaitingIdles = 2;
  EXPECT_EQ(patient.link.runReceiver(patient, 1000), KMCP_RECV_TIMEOUT);
  EXPECT_EQ(patient.idles, 3);
  EXPECT_EQ(patient.lines().size(), 1u);
}

TEST(SessionReceiver, HoldsBackWhatFollowsTheAwaitedKeyAnswerUntilTheKeyIsInstalled) {
  PairSession s;
  s.keyExchangeDone().reset();
  s.keyExchangeId() = 7;
  std::thread receiver([&] { s.link.runReceiver(s, 60000); });
  Write(s.peer(), Wire(MC_SESSION_KEY, 7));
  Write(s.peer(), Wire(MC_KEEPALIVE, 8));
  ASSERT_TRUE(WaitUntil([&] { return !s.dispatched().empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  s.keyExchangeId() = 0;
  s.keyExchangeDone().set();
  EXPECT_TRUE(WaitUntil([&] { return s.dispatched().size() == 2; }));
  s.closePeer();
  receiver.join();
  const auto got = s.dispatched();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].id, 8u);
  EXPECT_TRUE(got[1].keyDoneWhenDispatched);
}

TEST(SessionReceiver, KeyAnswerOfAnotherRequestDoesNotHoldTheReceiverBack) {
  PairSession s;
  s.keyExchangeDone().reset();
  s.keyExchangeId() = 7;
  std::thread receiver([&] { s.link.runReceiver(s, 60000); });
  Write(s.peer(), Wire(MC_SESSION_KEY, 6));  // a late answer to an abandoned exchange
  Write(s.peer(), Wire(MC_KEEPALIVE, 8));
  const bool both = WaitUntil([&] { return s.dispatched().size() == 2; });
  s.keyExchangeDone().set();  // releases a wrongly held receiver either way
  s.closePeer();
  receiver.join();
  EXPECT_TRUE(both);
}

// ---------------------------------------------------------------------------
// Sending and waiting
// ---------------------------------------------------------------------------

TEST(SessionSend, WritesClearUntilKeyedThenEnvelopesAndFailsWithoutSocket) {
  ContextPair keys;
  PairSession s;
  CSCPMessage msg;
  msg.SetCode(MC_KEEPALIVE);
  msg.SetId(11);
  msg.SetVariable(5u, static_cast<uint32_t>(1234));

  ASSERT_TRUE(s.link.send(msg));
  bool envelope = true;
  auto clear = ReadAsPeer(s.peerEnd(), nullptr, &envelope);
  ASSERT_NE(clear, nullptr);
  EXPECT_FALSE(envelope);
  EXPECT_EQ(clear->GetId(), 11u);
  EXPECT_EQ(clear->GetVariableLong(5), 1234u);

  s.setContext(keys.session);
  ASSERT_TRUE(s.link.send(msg));
  auto secret = ReadAsPeer(s.peerEnd(), keys.peer, &envelope);
  ASSERT_NE(secret, nullptr);
  EXPECT_TRUE(envelope);
  EXPECT_EQ(secret->GetCode(), MC_KEEPALIVE);
  EXPECT_EQ(secret->GetVariableLong(5), 1234u);

  s.dropSocket();
  EXPECT_FALSE(s.link.send(msg));
}

TEST(SessionWait, ReturnsQueuedReplyTimesOutOrIsWokenWhenTheSessionEnds) {
  PairSession s;
  bool ended = true;
  EXPECT_EQ(s.link.wait(MC_REQUEST_COMPLETED, 1, 30, &ended), nullptr);
  EXPECT_FALSE(ended);
  EXPECT_EQ(s.link.waitForRcc(1, 30, kCodes), kCodes.requestTimeout);

  // Callers waiting (with no time limit to speak of) when the session ends
  // are all woken by the end itself, not by a time slice running out.
  using Clock = std::chrono::steady_clock;
  constexpr int kWaiters = 4;
  std::atomic<int> waiting{0};
  std::vector<std::thread> waiters;
  std::vector<Clock::time_point> returned(kWaiters);
  std::vector<int> results(kWaiters, -1);
  for (int i = 0; i < kWaiters; i++) {
    waiters.emplace_back([&, i] {
      waiting++;
      bool e = false;
      std::unique_ptr<CSCPMessage> got(s.link.wait(MC_REQUEST_COMPLETED, 10 + i, 600000, &e));
      returned[i] = Clock::now();
      results[i] = got == nullptr && e ? 1 : 0;
    });
  }
  ASSERT_TRUE(WaitUntil([&] { return waiting.load() == kWaiters; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // all asleep in the queue
  const Clock::time_point end = Clock::now();
  s.link.beginClose(s);
  for (std::thread &t : waiters) t.join();
  double slowestMs = 0;
  for (int i = 0; i < kWaiters; i++) {
    EXPECT_EQ(results[i], 1) << "waiter " << i;
    slowestMs =
        std::max(slowestMs, std::chrono::duration<double, std::milli>(returned[i] - end).count());
  }
  // Measured, not timed: a generous bound that only a lost wake-up misses.
  RecordProperty("slowest_waiter_after_end_ms", std::to_string(slowestMs));
  EXPECT_LT(slowestMs, 2000.0);
  EXPECT_EQ(s.endings.load(), 1);

  // What arrived before the end is still handed out; then the end is told
  // at once, also to a request that cannot be sent any more.
  auto *reply = new CSCPMessage;
  reply->SetCode(MC_REQUEST_COMPLETED);
  reply->SetId(2);
  reply->SetVariable(VAR_RCC, static_cast<uint32_t>(7));
  s.replies().put(reply);
  EXPECT_EQ(s.link.waitForRcc(2, 600000, kCodes), 7u);
  EXPECT_EQ(s.link.waitForRcc(3, 600000, kCodes), kCodes.connectionBroken);
}

// ---------------------------------------------------------------------------
// Key exchange
// ---------------------------------------------------------------------------

TEST(SessionKeyExchange, InstallsTheKeyBeforeTheReceiverReadsThePeersFirstEnvelope) {
  ASSERT_NE(TestKey(), nullptr);
  PairSession s;
  s.queueDecoded = true;
  std::thread receiver([&] { s.link.runReceiver(s, 10000); });
  // The peer answers the key request and at once sends a message under the
  // new key, as fast as it can.
  std::thread peer([&] {
    auto request = ReadAsPeer(s.peerEnd(), nullptr);
    ASSERT_NE(request, nullptr);
    CSCPMessage answer;
    KMCPEncryptionContext *ctx = nullptr;
    ASSERT_EQ(KMCPProcessKeyRequest(request.get(), KMCP_SUPPORTED_CIPHERS, &answer, &ctx),
              KMCP_ENCRYPTION_OK);
    std::vector<uint8_t> bytes = kmtest::Wire(answer);
    std::vector<uint8_t> next = Envelope(ctx, Wire(MC_REQUEST_COMPLETED, 50));
    bytes.insert(bytes.end(), next.begin(), next.end());
    Write(s.peer(), bytes);  // both in one write
    ctx->decRefCount();
  });
  EXPECT_EQ(s.link.exchangeKey(TestKey(), KMCP_VERSION, 5, 5000, kCodes), 0u);
  EXPECT_TRUE(s.link.isEncrypted());
  bool ended = false;
  std::unique_ptr<CSCPMessage> first(s.link.wait(MC_REQUEST_COMPLETED, 50, 5000, &ended));
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(s.keyExchangeId().load(), 0u);
  peer.join();
  s.closePeer();
  receiver.join();
  EXPECT_FALSE(Contains(s.lines(), "Unable to decrypt"));
}

// A proxy hop (its answer drops the proxy's key) and at once the key
// exchange with the agent behind: the receiver, held after the hop's answer,
// must see that hand-over end although the next one has already begun.
TEST(SessionKeyExchange, AHopAndAKeyExchangeInARowDoNotHoldEachOtherBack) {
  ASSERT_NE(TestKey(), nullptr);
  ContextPair keys;
  PairSession s;
  s.queueDecoded = true;
  // The receiver comes to wait after the hop's answer only once the key
  // exchange has begun: the worst order.
  s.afterDispatch = [&](uint32_t id) {
    if (id == 3) WaitUntil([&] { return s.keyExchangeId().load() == 5; });
  };
  s.setContext(keys.session);
  std::thread receiver([&] { s.link.runReceiver(s, 600000); });
  std::thread peer([&] {
    auto hop = ReadAsPeer(s.peerEnd(), keys.peer);
    ASSERT_NE(hop, nullptr);
    CSCPMessage done(KMCP_VERSION);
    done.SetCode(MC_REQUEST_COMPLETED);
    done.SetId(hop->GetId());
    done.SetVariable(VAR_RCC, 0u);
    Write(s.peer(), Envelope(keys.peer, kmtest::Wire(done)));
    auto request = ReadAsPeer(s.peerEnd(), nullptr);  // the agent behind: clear
    ASSERT_NE(request, nullptr);
    CSCPMessage answer;
    KMCPEncryptionContext *ctx = nullptr;
    ASSERT_EQ(KMCPProcessKeyRequest(request.get(), KMCP_SUPPORTED_CIPHERS, &answer, &ctx),
              KMCP_ENCRYPTION_OK);
    Write(s.peer(), kmtest::Wire(answer));
    ctx->decRefCount();
  });
  CSCPMessage hop(KMCP_VERSION);
  hop.SetCode(MC_SETUP_PROXY_CONNECTION);
  hop.SetId(3);
  EXPECT_EQ(s.link.requestThenDropKey(hop, 5000, kCodes), 0u);
  EXPECT_EQ(s.link.exchangeKey(TestKey(), KMCP_VERSION, 5, 5000, kCodes), 0u);
  peer.join();
  s.closePeer();
  receiver.join();
}

TEST(SessionKeyExchange, ReportsSendFailureSilenceAndSessionEnd) {
  ASSERT_NE(TestKey(), nullptr);
  {
    PairSession s;
    s.dropSocket();
    EXPECT_EQ(s.link.exchangeKey(TestKey(), KMCP_VERSION, 5, 5000, kCodes),
              kCodes.connectionBroken);
    EXPECT_TRUE(s.keyExchangeDone().isSet());
  }
  {
    PairSession s;  // the peer reads nothing and never answers
    EXPECT_EQ(s.link.exchangeKey(TestKey(), KMCP_VERSION, 5, 50, kCodes), kCodes.requestTimeout);
    EXPECT_EQ(s.keyExchangeId().load(), 0u);
    EXPECT_FALSE(s.link.isEncrypted());
  }
  {
    PairSession s;
    s.replies().shutdown();  // the session has ended
    EXPECT_EQ(s.link.exchangeKey(TestKey(), KMCP_VERSION, 5, 600000, kCodes),
              kCodes.connectionBroken);
  }
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

TEST(SessionOpen, TellsConnectFailureFromMissingVersionAndDetectsVersion) {
  const uint32_t loopback = htonl(0x7F000001);
  uint16_t port = 0;
  SOCKET listener = KmSocketListenTcp(loopback, 0, 4, &port);
  ASSERT_NE(listener, INVALID_SOCKET);
  KmMutex lock;
  int version = -1;

  // A peer that accepts and hangs up, then one that answers version 1.
  std::thread peer([&] {
    SOCKET a = KmSocketAccept(listener, 5000);
    KmSocketClose(a);
    RawPeer b;
    b.adopt(KmSocketAccept(listener, 5000));
    auto request = ReadAsPeer(b, nullptr);
    if (request != nullptr) KMCPAnswerProtocolVersion(b.socket(), request->GetId(), 1, nullptr);
    auto extra = ReadAsPeer(b, nullptr);  // until the session closes
  });
  SOCKET first = KmSocketOpenTcp();
  EXPECT_EQ(kmsrv_session::ConnectAndDetectVersion(first, loopback, port, 5000, 5000, lock, &version),
            OpenResult::VersionUnknown);
  KmSocketClose(first);
  SOCKET second = KmSocketOpenTcp();
  EXPECT_EQ(kmsrv_session::ConnectAndDetectVersion(second, loopback, port, 5000, 5000, lock, &version),
            OpenResult::Connected);
  EXPECT_EQ(version, 1);
  KmSocketClose(second);
  peer.join();
  KmSocketClose(listener);

  // The port is closed now: nothing listens.
  SOCKET third = KmSocketOpenTcp();
  EXPECT_EQ(kmsrv_session::ConnectAndDetectVersion(third, loopback, port, 5000, 5000, lock, &version),
            OpenResult::ConnectFailed);
  KmSocketClose(third);
}

// A receiver thread that ends its own session, as a hook may: it cannot wait
// for itself, so it leaves the join to the next lifetime operation on another
// thread.
TEST(SessionTeardown, FinishOnTheReceiverThreadLeavesTheJoinToAnotherThread) {
  PairSession s;
  struct Hook {
    PairSession *s;
    std::atomic<int> result{-1};
  } hook{&s};
  ASSERT_TRUE(s.link.startReceiver(
      [](void *arg) {
        auto *h = static_cast<Hook *>(arg);
        h->s->link.runReceiver(*h->s, 1000);
        // After its loop, still on the receiver thread: finish must not join.
        h->s->link.finish();
        h->result = 1;
      },
      &hook));
  s.closePeer();
  ASSERT_TRUE(WaitUntil([&] { return hook.result.load() == 1; }));
  s.link.finish();
  EXPECT_EQ(s.link.socketHandle(), INVALID_SOCKET);
  EXPECT_EQ(s.endings.load(), 1);
}

TEST(SessionTeardown, AbandonClosesTheSocketOnceAndThePeerSeesTheEnd) {
  PairSession s;
  s.link.abandon(s);
  EXPECT_EQ(s.link.socketHandle(), INVALID_SOCKET);
  char byte;
  EXPECT_EQ(read(s.peer(), &byte, 1), 0);  // the peer sees the end
  s.link.abandon(s);                       // nothing left to close
  EXPECT_EQ(s.endings.load(), 2);
}

}  // namespace
