// The shared session mechanics (session/session_link.h) driven over socket
// pairs: the receiver loop, the send path, reply waits, the key exchange
// hand-over, and connect with version detection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
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
#include "session/session_link.h"

namespace {

using kmsrv_session::KeyExchangeStep;
using kmsrv_session::OpenResult;

bool WaitUntil(const std::function<bool()> &cond, uint32_t limitMs = 5000) {
  for (uint32_t waited = 0; waited < limitMs; waited += 5) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

RSA *TestKey() {
  static RSA *key = [] {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    EVP_PKEY *pkey = EVP_RSA_gen(2048);
    RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
#pragma GCC diagnostic pop
    EVP_PKEY_free(pkey);
    return rsa;
  }();
  return key;
}

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
  bool keyDoneWhenDispatched;
};

// A session over one end of a socket pair; the test plays the peer on the
// other end.
class PairSession final : public kmsrv_session::ReceiverHooks {
 public:
  PairSession() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    sock_ = fds[0];
    peer_ = fds[1];
  }
  ~PairSession() {
    closePeer();
    KmSocketClose(sock_);
    if (ctx_ != nullptr) ctx_->decRefCount();
  }

  SOCKET socketHandle() override {
    std::lock_guard<std::mutex> guard(mutex_);
    return noSocket_ ? INVALID_SOCKET : sock_;
  }
  KMCPEncryptionContext *acquireContext() override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ctx_ != nullptr) ctx_->incRefCount();
    return ctx_;
  }
  void installContext(KMCPEncryptionContext *ctx) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ctx_ != nullptr) ctx_->decRefCount();
    ctx_ = ctx;
  }
  KmMutex &writeLock() override { return sendLock_; }
  MsgWaitQueue &replies() override { return queue_; }
  bool sessionClosing() override { return closing.load(); }
  std::atomic<uint32_t> &keyExchangeId() override { return keyId_; }
  KmEvent &keyExchangeDone() override { return keyDone_; }
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
    std::lock_guard<std::mutex> guard(mutex_);
    dispatched_.push_back({code, id, size, keyDone_.isSet()});
  }

  // The test's end of the pair.
  SOCKET peer() const { return peer_; }
  void closePeer() {
    if (peer_ != INVALID_SOCKET) KmSocketClose(peer_);
    peer_ = INVALID_SOCKET;
  }
  void dropSocket() {
    std::lock_guard<std::mutex> guard(mutex_);
    noSocket_ = true;
  }
  void setContext(KMCPEncryptionContext *ctx) {
    ctx->incRefCount();
    installContext(ctx);
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }
  std::vector<Dispatched> dispatched() {
    std::lock_guard<std::mutex> guard(mutex_);
    return dispatched_;
  }

  std::atomic<uint32_t> timeoutMs{5000};
  std::atomic<bool> closing{false};
  std::atomic<int> failedWith{99};
  int idles = 0;              // receiver thread only
  int keepWaitingIdles = 0;   // idle periods to sit out before ending
  bool queueDecoded = false;  // also put decoded messages into replies()

 private:
  SOCKET sock_ = INVALID_SOCKET;
  SOCKET peer_ = INVALID_SOCKET;
  std::mutex mutex_;
  bool noSocket_ = false;
  KMCPEncryptionContext *ctx_ = nullptr;
  std::vector<std::string> lines_;
  std::vector<Dispatched> dispatched_;
  KmMutex sendLock_;
  MsgWaitQueue queue_;
  std::atomic<uint32_t> keyId_{0};
  KmEvent keyDone_;
};

std::vector<uint8_t> Wire(uint16_t code, uint32_t id, uint32_t binaryBytes = 0) {
  CSCPMessage msg;
  msg.SetCode(code);
  msg.SetId(id);
  if (binaryBytes != 0) {
    std::vector<uint8_t> data(binaryBytes, 0x5A);
    msg.SetVariable(1u, data.data(), binaryBytes);
  }
  KMCP_MESSAGE *raw = msg.CreateMessage();
  std::vector<uint8_t> bytes(reinterpret_cast<uint8_t *>(raw),
                             reinterpret_cast<uint8_t *>(raw) + ntohl(raw->size));
  std::free(raw);
  return bytes;
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
std::unique_ptr<CSCPMessage> ReadAsPeer(SOCKET sock, KMCPEncryptionContext *peerCtx,
                                        bool *wasEnvelope = nullptr) {
  constexpr uint32_t kSize = 65536;
  auto state = std::make_unique<CSCP_BUFFER>();
  RecvKMCPMessage(INVALID_SOCKET, nullptr, state.get(), 0, nullptr, nullptr, 0);
  std::vector<uint8_t> buffer(kSize), decryption(kSize);
  decryption[0] = decryption[1] = 0;
  KMCPEncryptionContext *ctx = peerCtx;
  const int r = RecvKMCPMessage(sock, reinterpret_cast<KMCP_MESSAGE *>(buffer.data()), state.get(),
                                kSize, &ctx, decryption.data(), 5000);
  if (wasEnvelope != nullptr)
    *wasEnvelope = ((decryption[0] << 8) | decryption[1]) == MC_ENCRYPTED_MESSAGE;
  if (r <= 3) return nullptr;
  return CSCPMessage::decode(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(r)),
                             KMCP_VERSION);
}

// ---------------------------------------------------------------------------
// The receiver loop
// ---------------------------------------------------------------------------

TEST(SessionReceiver, DeliversWholeMessagesAndEndsWhenThePeerCloses) {
  PairSession s;
  Write(s.peer(), Wire(MC_KEEPALIVE, 1));
  Write(s.peer(), Wire(MC_REQUEST_COMPLETED, 2, 100));
  s.closePeer();
  EXPECT_EQ(kmsrv_session::RunReceiverLoop(s, 262144, 1000), KMCP_RECV_CLOSED);
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

TEST(SessionReceiver, ReportsTooLargeMessageAndDeliversNext) {
  PairSession s;
  const std::vector<uint8_t> big = Wire(MC_KEEPALIVE, 1, 2000);
  Write(s.peer(), big);
  Write(s.peer(), Wire(MC_KEEPALIVE, 2));
  s.closePeer();
  kmsrv_session::RunReceiverLoop(s, 1024, 1000);
  const auto got = s.dispatched();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 2u);
  EXPECT_TRUE(Contains(s.lines(), "Received too large message MC_KEEPALIVE (" +
                                      std::to_string(big.size()) + " bytes)"));
}

TEST(SessionReceiver, SkipsUndecryptableMessageAndDeliversNext) {
  ContextPair keys;
  PairSession s;  // has no key: the envelope cannot be read
  Write(s.peer(), Envelope(keys.peer, Wire(MC_KEEPALIVE, 1)));
  Write(s.peer(), Wire(MC_KEEPALIVE, 2));
  s.closePeer();
  kmsrv_session::RunReceiverLoop(s, 262144, 1000);
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
  kmsrv_session::RunReceiverLoop(s, 262144, 1000);
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
  EXPECT_EQ(kmsrv_session::RunReceiverLoop(quiet, 262144, 1000), KMCP_RECV_TIMEOUT);
  EXPECT_EQ(quiet.idles, 1);
  EXPECT_TRUE(Contains(quiet.lines(), "Timed out waiting for message"));
  EXPECT_EQ(quiet.failedWith.load(), 99);  // not a failure

  PairSession patient;
  patient.timeoutMs = 20;
  patient.keepWaitingIdles = 2;
  EXPECT_EQ(kmsrv_session::RunReceiverLoop(patient, 262144, 1000), KMCP_RECV_TIMEOUT);
  EXPECT_EQ(patient.idles, 3);
  EXPECT_EQ(patient.lines().size(), 1u);
}

TEST(SessionReceiver, HoldsBackWhatFollowsTheAwaitedKeyAnswerUntilTheKeyIsInstalled) {
  PairSession s;
  s.keyExchangeDone().reset();
  s.keyExchangeId() = 7;
  std::thread receiver([&] { kmsrv_session::RunReceiverLoop(s, 262144, 60000); });
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
  std::thread receiver([&] { kmsrv_session::RunReceiverLoop(s, 262144, 60000); });
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

  ASSERT_TRUE(kmsrv_session::SendSessionMessage(s, msg));
  bool envelope = true;
  auto clear = ReadAsPeer(s.peer(), nullptr, &envelope);
  ASSERT_NE(clear, nullptr);
  EXPECT_FALSE(envelope);
  EXPECT_EQ(clear->GetId(), 11u);
  EXPECT_EQ(clear->GetVariableLong(5), 1234u);

  s.setContext(keys.session);
  ASSERT_TRUE(kmsrv_session::SendSessionMessage(s, msg));
  auto secret = ReadAsPeer(s.peer(), keys.peer, &envelope);
  ASSERT_NE(secret, nullptr);
  EXPECT_TRUE(envelope);
  EXPECT_EQ(secret->GetCode(), MC_KEEPALIVE);
  EXPECT_EQ(secret->GetVariableLong(5), 1234u);

  s.dropSocket();
  EXPECT_FALSE(kmsrv_session::SendSessionMessage(s, msg));
}

TEST(SessionWait, ReturnsQueuedReplyTimesOutOrGivesUpWhenTheSessionEnds) {
  PairSession s;
  bool ended = true;
  EXPECT_EQ(kmsrv_session::WaitForSessionReply(s, MC_REQUEST_COMPLETED, 1, 30, &ended), nullptr);
  EXPECT_FALSE(ended);

  // A session that ends while a caller waits releases the caller.
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    s.closing = true;
  });
  EXPECT_EQ(kmsrv_session::WaitForSessionReply(s, MC_REQUEST_COMPLETED, 1, 600000, &ended), nullptr);
  EXPECT_TRUE(ended);
  closer.join();

  // What arrived before the end is still handed out.
  auto *reply = new CSCPMessage;
  reply->SetCode(MC_REQUEST_COMPLETED);
  reply->SetId(2);
  s.replies().put(reply);
  std::unique_ptr<CSCPMessage> got(
      kmsrv_session::WaitForSessionReply(s, MC_REQUEST_COMPLETED, 2, 600000, &ended));
  EXPECT_NE(got, nullptr);
  EXPECT_FALSE(ended);
}

// ---------------------------------------------------------------------------
// Key exchange
// ---------------------------------------------------------------------------

TEST(SessionKeyExchange, InstallsTheKeyBeforeTheReceiverReadsThePeersFirstEnvelope) {
  ASSERT_NE(TestKey(), nullptr);
  PairSession s;
  s.queueDecoded = true;
  std::thread receiver([&] { kmsrv_session::RunReceiverLoop(s, 262144, 10000); });
  // The peer answers the key request and at once sends a message under the
  // new key, as fast as it can.
  std::thread peer([&] {
    auto request = ReadAsPeer(s.peer(), nullptr);
    ASSERT_NE(request, nullptr);
    CSCPMessage answer;
    KMCPEncryptionContext *ctx = nullptr;
    ASSERT_EQ(KMCPProcessKeyRequest(request.get(), KMCP_SUPPORTED_CIPHERS, &answer, &ctx),
              KMCP_ENCRYPTION_OK);
    KMCP_MESSAGE *wire = answer.CreateMessage();
    std::vector<uint8_t> bytes(reinterpret_cast<uint8_t *>(wire),
                               reinterpret_cast<uint8_t *>(wire) + ntohl(wire->size));
    std::free(wire);
    std::vector<uint8_t> next = Envelope(ctx, Wire(MC_REQUEST_COMPLETED, 50));
    bytes.insert(bytes.end(), next.begin(), next.end());
    Write(s.peer(), bytes);  // both in one write
    ctx->decRefCount();
  });
  int setup = -1;
  EXPECT_EQ(kmsrv_session::ExchangeSessionKey(s, TestKey(), KMCP_VERSION, 5, 5000, &setup),
            KeyExchangeStep::Answered);
  EXPECT_EQ(setup, KMCP_ENCRYPTION_OK);
  bool ended = false;
  std::unique_ptr<CSCPMessage> first(
      kmsrv_session::WaitForSessionReply(s, MC_REQUEST_COMPLETED, 50, 5000, &ended));
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(s.keyExchangeId().load(), 0u);
  EXPECT_TRUE(s.keyExchangeDone().isSet());
  peer.join();
  s.closePeer();
  receiver.join();
  EXPECT_FALSE(Contains(s.lines(), "Unable to decrypt"));
}

TEST(SessionKeyExchange, ReportsSendFailureSilenceAndSessionEnd) {
  ASSERT_NE(TestKey(), nullptr);
  int setup = 0;
  {
    PairSession s;
    s.dropSocket();
    EXPECT_EQ(kmsrv_session::ExchangeSessionKey(s, TestKey(), KMCP_VERSION, 5, 5000, &setup),
              KeyExchangeStep::SendFailed);
    EXPECT_TRUE(s.keyExchangeDone().isSet());
  }
  {
    PairSession s;  // the peer reads nothing and never answers
    EXPECT_EQ(kmsrv_session::ExchangeSessionKey(s, TestKey(), KMCP_VERSION, 5, 50, &setup),
              KeyExchangeStep::NoAnswer);
    EXPECT_EQ(s.keyExchangeId().load(), 0u);
  }
  {
    PairSession s;
    s.closing = true;
    EXPECT_EQ(kmsrv_session::ExchangeSessionKey(s, TestKey(), KMCP_VERSION, 5, 600000, &setup),
              KeyExchangeStep::SessionEnded);
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
    SOCKET b = KmSocketAccept(listener, 5000);
    auto request = ReadAsPeer(b, nullptr);
    if (request != nullptr) KMCPAnswerProtocolVersion(b, request->GetId(), 1, nullptr);
    auto extra = ReadAsPeer(b, nullptr);  // until the session closes
    KmSocketClose(b);
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

// A receiver thread that tries to join itself, as a hook that ends its own
// session does.
struct SelfJoin {
  THREAD_RECORD *thread = nullptr;
  std::atomic<std::thread::id> id;
  KmEvent recorded;
  std::atomic<int> outcome{-1};  // 1: refused and the record left alone
};

void SelfJoinEntry(void *arg) {
  auto *s = static_cast<SelfJoin *>(arg);
  s->id = std::this_thread::get_id();
  s->recorded.wait(10000);
  THREAD_RECORD *before = s->thread;
  const bool joined = kmsrv_session::JoinReceiverThread(&s->thread, s->id);
  s->outcome = !joined && s->thread == before && before != nullptr ? 1 : 0;
}

TEST(SessionTeardown, ReceiverThreadDoesNotJoinItselfAndAnotherThreadJoinsItOnce) {
  SelfJoin s;
  EXPECT_FALSE(kmsrv_session::OnReceiverThread(s.id));
  s.thread = ThreadCreateEx(SelfJoinEntry, &s);
  ASSERT_NE(s.thread, nullptr);
  s.recorded.set();
  ASSERT_TRUE(WaitUntil([&] { return s.outcome.load() != -1; }));
  EXPECT_EQ(s.outcome.load(), 1);
  EXPECT_FALSE(kmsrv_session::OnReceiverThread(s.id));

  EXPECT_TRUE(kmsrv_session::JoinReceiverThread(&s.thread, s.id));
  EXPECT_EQ(s.thread, nullptr);
  EXPECT_EQ(s.id.load(), std::thread::id());
  EXPECT_TRUE(kmsrv_session::JoinReceiverThread(&s.thread, s.id));  // nothing left
}

TEST(SessionTeardown, CloseSessionSocketClosesOnceAndLeavesNoHandle) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  KmMutex sendLock, stateLock;
  SOCKET sock = fds[0];
  kmsrv_session::CloseSessionSocket(sendLock, stateLock, &sock);
  EXPECT_EQ(sock, INVALID_SOCKET);
  char byte;
  EXPECT_EQ(read(fds[1], &byte, 1), 0);  // the peer sees the end
  kmsrv_session::CloseSessionSocket(sendLock, stateLock, &sock);
  EXPECT_EQ(sock, INVALID_SOCKET);
  close(fds[1]);
}

}  // namespace
