// RecvKMCPMessage: cutting a byte stream into messages, its limits, skips,
// time-outs, the encrypted path and the in-place delivery.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>

#include "kmbase/crypto.h"
#include "net_test_util.h"

using nettest::SocketPair;
using nettest::wireMessage;

namespace {

constexpr uint32_t kMax = 262144;

// The receiving side as a session sets it up: receive state, message buffer
// and decryption buffer, all reused for every call.
class Receiver {
 public:
  explicit Receiver(uint32_t maxSize = kMax)
      : max_(maxSize),
        state_(new CSCP_BUFFER),
        msg_(maxSize / 8 + 1),
        decrypt_(static_cast<uint8_t *>(std::malloc(maxSize))) {
    EXPECT_EQ(RecvKMCPMessage(INVALID_SOCKET, nullptr, state_.get(), 0, nullptr, nullptr, 0), 0);
  }
  ~Receiver() { std::free(decrypt_); }
  Receiver(const Receiver &) = delete;
  Receiver &operator=(const Receiver &) = delete;

  int recv(int fd, uint32_t timeoutMs = 10000, KMCPEncryptionContext *ctx = nullptr,
           bool withDecryptBuffer = true) {
    KMCPEncryptionContext *c = ctx;
    return RecvKMCPMessage(fd, msg(), state_.get(), max_, &c,
                           withDecryptBuffer ? decrypt_ : nullptr, timeoutMs);
  }
  KMCP_MESSAGE *msg() { return reinterpret_cast<KMCP_MESSAGE *>(msg_.data()); }
  CSCP_BUFFER *state() { return state_.get(); }
  uint8_t *decryption() { return decrypt_; }
  const uint8_t *bytes() { return reinterpret_cast<const uint8_t *>(msg_.data()); }
  std::vector<uint8_t> got(int n) { return std::vector<uint8_t>(bytes(), bytes() + n); }

 protected:
  uint32_t max_;
  std::unique_ptr<CSCP_BUFFER> state_;
  std::vector<uint64_t> msg_;
  uint8_t *decrypt_;
};

int pendingBytes(int fd) {
  int n = -1;
  ::ioctl(fd, FIONREAD, &n);
  return n;
}

}  // namespace

TEST(FramingTest, TwoMessagesInOneReadAreServedFromTheBuffer) {
  SocketPair sp;
  auto m1 = wireMessage(MC_REQUEST_COMPLETED, 40, 1, 3);
  auto m2 = wireMessage(MC_TRAP, 64, 2, 9);
  auto both = m1;
  nettest::append(both, m2);
  ASSERT_TRUE(nettest::writeAll(sp.b, both));
  sp.closeB();

  Receiver r;
  ASSERT_EQ(r.recv(sp.a), 40);
  EXPECT_EQ(r.got(40), m1);
  EXPECT_EQ(pendingBytes(sp.a), 0);  // the first read took both messages
  ASSERT_EQ(r.recv(sp.a), 64);
  EXPECT_EQ(r.got(64), m2);
  EXPECT_EQ(r.recv(sp.a), KMCP_RECV_CLOSED);
}

TEST(FramingTest, MessagesTricklingInOneByteAtATimeAreAssembled) {
  SocketPair sp;
  auto small = wireMessage(MC_REQUEST_COMPLETED, 48, 7);
  auto big = wireMessage(MC_REQUEST_COMPLETED, KMCP_RECV_BUFFER_SIZE + 24, 8);  // assembled in place
  auto tail = wireMessage(MC_KEEPALIVE, 16, 9);
  std::vector<uint8_t> stream = small;
  nettest::append(stream, big);
  nettest::append(stream, tail);
  std::thread writer([&] {
    // Byte by byte through the small message and the big one's header, then
    // odd-sized pieces.
    nettest::lazyWrite(sp.b, std::vector<uint8_t>(stream.begin(), stream.begin() + 80), 1);
    nettest::lazyWrite(sp.b, std::vector<uint8_t>(stream.begin() + 80, stream.end()), 4093);
  });
  Receiver r;
  EXPECT_EQ(r.recv(sp.a), 48);
  EXPECT_EQ(r.got(48), small);
  ASSERT_EQ(r.recv(sp.a), static_cast<int>(big.size()));
  EXPECT_EQ(r.got(static_cast<int>(big.size())), big);
  EXPECT_EQ(r.recv(sp.a), 16);
  EXPECT_EQ(r.got(16), tail);
  writer.join();
}

TEST(FramingTest, RandomSplitsOfAMixedStreamKeepEveryBoundary) {
  std::mt19937 rng(12345);
  std::vector<std::vector<uint8_t>> msgs;
  std::vector<uint8_t> stream;
  for (uint32_t i = 0; i < 40; ++i) {
    uint32_t size = 16 + 8 * (rng() % (i % 7 == 0 ? 20000 : 100));  // some above 64 KiB
    msgs.push_back(wireMessage(MC_REQUEST_COMPLETED, size, i, static_cast<uint8_t>(i)));
    nettest::append(stream, msgs.back());
  }
  SocketPair sp;
  std::thread writer([&] {
    size_t off = 0;
    while (off < stream.size()) {
      size_t n = std::min<size_t>(1 + rng() % 9000, stream.size() - off);
      if (!nettest::writeAll(sp.b, stream.data() + off, n)) return;
      off += n;
    }
  });
  Receiver r;
  for (size_t i = 0; i < msgs.size(); ++i) {
    ASSERT_EQ(r.recv(sp.a), static_cast<int>(msgs[i].size())) << "message " << i;
    ASSERT_EQ(r.got(static_cast<int>(msgs[i].size())), msgs[i]) << "message " << i;
  }
  writer.join();
}

TEST(FramingTest, MessageOfExactlyMaxSizeIsDeliveredAndOnePastIsSkipped) {
  constexpr uint32_t kLimit = 1024;
  SocketPair sp;
  auto atLimit = wireMessage(MC_REQUEST_COMPLETED, kLimit, 1);
  auto pastLimit = wireMessage(MC_TRAP, kLimit + 8, 2);
  auto next = wireMessage(MC_REQUEST_COMPLETED, 24, 3);
  std::vector<uint8_t> stream = atLimit;
  nettest::append(stream, pastLimit);
  nettest::append(stream, next);
  ASSERT_TRUE(nettest::writeAll(sp.b, stream));

  Receiver r(kLimit);
  EXPECT_EQ(r.recv(sp.a), static_cast<int>(kLimit));
  ASSERT_EQ(r.recv(sp.a), KMCP_RECV_TOO_LARGE);
  // The header stays for the report: code and size.
  EXPECT_EQ(nettest::headerCode(r.msg()), MC_TRAP);
  EXPECT_EQ(nettest::headerWord(r.msg(), 1), kLimit + 8);
  ASSERT_EQ(r.recv(sp.a), 24);
  EXPECT_EQ(r.got(24), next);
}

TEST(FramingTest, HugeTooLargeMessageIsSkippedAcrossManyReads) {
  SocketPair sp;
  auto huge = wireMessage(MC_REQUEST_COMPLETED, 3 * KMCP_RECV_BUFFER_SIZE + 40, 1);
  auto next = wireMessage(MC_REQUEST_COMPLETED, 32, 2);
  std::thread writer([&] {
    nettest::lazyWrite(sp.b, huge, 30000);
    nettest::writeAll(sp.b, next);
  });
  Receiver r(4096);
  EXPECT_EQ(r.recv(sp.a), KMCP_RECV_TOO_LARGE);
  ASSERT_EQ(r.recv(sp.a), 32);
  EXPECT_EQ(r.got(32), next);
  writer.join();
}

TEST(FramingTest, GarbageSizeFieldsAreSkippedOrBreakTheStream) {
  {
    // All ones: a size far above the limit; skipped as too large. The peer
    // closes before the announced bytes come, which reads as closed.
    SocketPair sp;
    std::vector<uint8_t> junk(16, 0xFF);
    ASSERT_TRUE(nettest::writeAll(sp.b, junk));
    sp.closeB();
    Receiver r;
    EXPECT_EQ(r.recv(sp.a), KMCP_RECV_TOO_LARGE);
    EXPECT_EQ(r.recv(sp.a), KMCP_RECV_CLOSED);
  }
  {
    // A size below a header cannot be skipped: the stream is broken, also
    // for the valid message behind it, and stays broken.
    SocketPair sp;
    auto bad = wireMessage(MC_REQUEST_COMPLETED, 16, 1);
    bad[7] = 15;
    auto good = wireMessage(MC_REQUEST_COMPLETED, 16, 2);
    nettest::append(bad, good);
    ASSERT_TRUE(nettest::writeAll(sp.b, bad));
    Receiver r;
    EXPECT_LT(r.recv(sp.a), 0);
    EXPECT_EQ(KmGetLastSocketError(), EPROTO);
    EXPECT_LT(r.recv(sp.a), 0);
  }
  {
    // Size exactly a header is the smallest message; sizes that are not a
    // multiple of 8 are delivered with their exact boundary.
    SocketPair sp;
    auto headerOnly = wireMessage(MC_KEEPALIVE, 16, 1);
    auto odd = wireMessage(MC_REQUEST_COMPLETED, 21, 2);
    auto after = wireMessage(MC_REQUEST_COMPLETED, 24, 3);
    std::vector<uint8_t> stream = headerOnly;
    nettest::append(stream, odd);
    nettest::append(stream, after);
    ASSERT_TRUE(nettest::writeAll(sp.b, stream));
    Receiver r;
    EXPECT_EQ(r.recv(sp.a), 16);
    EXPECT_EQ(r.recv(sp.a), 21);
    EXPECT_EQ(r.got(21), odd);
    EXPECT_EQ(r.recv(sp.a), 24);
    EXPECT_EQ(r.got(24), after);
  }
}

TEST(FramingTest, TimeOutKeepsAPartialMessageForTheNextCall) {
  SocketPair sp;
  Receiver r;
  EXPECT_EQ(r.recv(sp.a, 0), KMCP_RECV_TIMEOUT);

  auto small = wireMessage(MC_REQUEST_COMPLETED, 200, 1);
  ASSERT_TRUE(nettest::writeAll(sp.b, small.data(), 10));  // not even a header
  EXPECT_EQ(r.recv(sp.a, 20), KMCP_RECV_TIMEOUT);
  ASSERT_TRUE(nettest::writeAll(sp.b, small.data() + 10, 100));
  EXPECT_EQ(r.recv(sp.a, 20), KMCP_RECV_TIMEOUT);
  ASSERT_TRUE(nettest::writeAll(sp.b, small.data() + 110, small.size() - 110));
  ASSERT_EQ(r.recv(sp.a, 20), 200);
  EXPECT_EQ(r.got(200), small);

  // The same for a message assembled outside the read buffer.
  auto big = wireMessage(MC_REQUEST_COMPLETED, 2 * KMCP_RECV_BUFFER_SIZE, 2);
  std::thread writer([&] { nettest::writeAll(sp.b, big.data(), big.size() / 2); });
  writer.join();
  EXPECT_EQ(r.recv(sp.a, 20), KMCP_RECV_TIMEOUT);
  std::thread rest([&] { nettest::writeAll(sp.b, big.data() + big.size() / 2, big.size() / 2); });
  ASSERT_EQ(r.recv(sp.a), static_cast<int>(big.size()));
  EXPECT_EQ(r.got(static_cast<int>(big.size())), big);
  rest.join();
}

// Once a read has emptied the socket, the next call waits in one blocking
// receive whose time-out is the socket's: each call's own time-out must hold
// (0 only looks, it never means "forever"), a shutdown must end an endless
// wait, and a non-blocking socket must still wait.
TEST(FramingTest, AWaitingReadHonoursEachCallsTimeOut) {
  for (bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking socket" : "blocking socket");
    SocketPair sp;
    if (nonBlocking) {
      ASSERT_EQ(::fcntl(sp.a, F_SETFL, ::fcntl(sp.a, F_GETFL) | O_NONBLOCK), 0);
    }
    Receiver r;
    auto m = wireMessage(MC_REQUEST_COMPLETED, 64, 1);
    ASSERT_TRUE(nettest::writeAll(sp.b, m));
    ASSERT_EQ(r.recv(sp.a), 64);  // the read took everything: the next one waits first

    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    EXPECT_EQ(r.recv(sp.a, 30), KMCP_RECV_TIMEOUT);
    EXPECT_EQ(KmGetLastSocketError(), ETIMEDOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(15));  // it waited (the kernel counts in ticks)
    EXPECT_EQ(r.recv(sp.a, 0), KMCP_RECV_TIMEOUT);  // returns: the run would hang otherwise

    // A longer time-out after a shorter one: the message sent meanwhile arrives.
    std::thread late([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      nettest::writeAll(sp.b, m);
    });
    EXPECT_EQ(r.recv(sp.a, 5000), 64);
    late.join();

    // An endless wait ends when another thread shuts the socket down.
    std::thread closer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      ::shutdown(sp.a, SHUT_RDWR);
    });
    EXPECT_EQ(r.recv(sp.a, KM_INFINITE), KMCP_RECV_CLOSED);
    closer.join();
  }
}

TEST(FramingTest, PeerCloseMidMessageReportsClosed) {
  for (size_t cut : {size_t{0}, size_t{5}, size_t{16}, size_t{100}}) {
    SocketPair sp;
    auto m = wireMessage(MC_REQUEST_COMPLETED, 128, 1);
    ASSERT_TRUE(nettest::writeAll(sp.b, m.data(), cut));
    sp.closeB();
    Receiver r;
    EXPECT_EQ(r.recv(sp.a), KMCP_RECV_CLOSED) << "cut at " << cut;
  }
}

TEST(FramingTest, SocketErrorsAndBadArgumentsFail) {
  Receiver r;
  EXPECT_LT(r.recv(-1), 0);
  EXPECT_EQ(KmGetLastSocketError(), EBADF);
  SocketPair sp;
  auto m = wireMessage(MC_REQUEST_COMPLETED, 16, 1);
  ASSERT_TRUE(nettest::writeAll(sp.b, m));
  CSCP_BUFFER st;
  RecvKMCPMessage(INVALID_SOCKET, nullptr, &st, 0, nullptr, nullptr, 0);
  uint64_t small[1];
  EXPECT_LT(RecvKMCPMessage(sp.a, reinterpret_cast<KMCP_MESSAGE *>(small), &st, 8, nullptr, nullptr,
                            0),
            0);
  EXPECT_LT(RecvKMCPMessage(sp.a, r.msg(), nullptr, kMax, nullptr, nullptr, 0), 0);
}

namespace {

KMCPEncryptionContext *makeContext(KmcpCryptoSide side) {
  uint8_t key[KMCP_SESSION_KEY_SIZE];
  for (size_t i = 0; i < sizeof(key); ++i) key[i] = static_cast<uint8_t>(i * 13 + 1);
  return KMCPEncryptionContext::create(KMCP_CIPHER_AES_256_GCM, key, sizeof(key), side);
}

struct ContextRef {
  KMCPEncryptionContext *ctx;
  explicit ContextRef(KmcpCryptoSide side) : ctx(makeContext(side)) {}
  ~ContextRef() {
    if (ctx != nullptr) ctx->decRefCount();
  }
  ContextRef(const ContextRef &) = delete;
  ContextRef &operator=(const ContextRef &) = delete;
};

std::vector<uint8_t> encrypt(KMCPEncryptionContext *ctx, const std::vector<uint8_t> &plain) {
  KMCP_ENCRYPTED_MESSAGE *env =
      CSCPEncryptMessage(ctx, reinterpret_cast<const KMCP_MESSAGE *>(plain.data()));
  if (env == nullptr) return {};
  std::vector<uint8_t> out(reinterpret_cast<uint8_t *>(env),
                           reinterpret_cast<uint8_t *>(env) + ntohl(env->size));
  std::free(env);
  return out;
}

}  // namespace

TEST(FramingTest, EncryptedMessagesAreDecryptedIntoTheMessageBuffer) {
  ContextRef sender(KmcpCryptoSide::Peer), receiver(KmcpCryptoSide::Server);
  ASSERT_NE(sender.ctx, nullptr);
  ASSERT_NE(receiver.ctx, nullptr);
  auto small = wireMessage(MC_REQUEST_COMPLETED, 64, 1);
  auto big = wireMessage(MC_REQUEST_COMPLETED, KMCP_RECV_BUFFER_SIZE + 800, 2);  // in place
  auto e1 = encrypt(sender.ctx, small), e2 = encrypt(sender.ctx, big);
  ASSERT_FALSE(e1.empty());
  ASSERT_FALSE(e2.empty());
  EXPECT_EQ(nettest::headerCode(e1.data()), MC_ENCRYPTED_MESSAGE);

  SocketPair sp;
  std::thread writer([&] {
    nettest::writeAll(sp.b, e1);
    nettest::lazyWrite(sp.b, e2, 7000);
  });
  Receiver r;
  ASSERT_EQ(r.recv(sp.a, 10000, receiver.ctx), 64);
  EXPECT_EQ(r.got(64), small);
  ASSERT_EQ(r.recv(sp.a, 10000, receiver.ctx), static_cast<int>(big.size()));
  EXPECT_EQ(r.got(static_cast<int>(big.size())), big);
  writer.join();
}

TEST(FramingTest, UndecryptableMessagesAreSkippedAndTheNextDelivered) {
  ContextRef sender(KmcpCryptoSide::Peer), receiver(KmcpCryptoSide::Server);
  ASSERT_NE(sender.ctx, nullptr);
  auto plain = wireMessage(MC_REQUEST_COMPLETED, 48, 1);
  auto next = wireMessage(MC_REQUEST_COMPLETED, 32, 2);

  auto forged = encrypt(sender.ctx, plain);
  ASSERT_GT(forged.size(), 40u);
  forged[30] ^= 0x01;  // a ciphertext bit
  auto replayed = encrypt(sender.ctx, plain);
  auto bigEnvelope = encrypt(sender.ctx, wireMessage(MC_TRAP, KMCP_RECV_BUFFER_SIZE + 64, 3));

  std::vector<uint8_t> stream = forged;
  nettest::append(stream, replayed);
  nettest::append(stream, replayed);  // the second copy is a replay
  nettest::append(stream, replayed);  // no context for this one
  nettest::append(stream, bigEnvelope);  // no decryption buffer for this one
  nettest::append(stream, next);
  SocketPair sp;
  std::thread writer([&] { nettest::writeAll(sp.b, stream); });
  Receiver r;
  EXPECT_EQ(r.recv(sp.a, 10000, receiver.ctx), KMCP_RECV_UNDECRYPTABLE);
  EXPECT_EQ(r.recv(sp.a, 10000, receiver.ctx), 48);
  EXPECT_EQ(r.recv(sp.a, 10000, receiver.ctx), KMCP_RECV_UNDECRYPTABLE);
  EXPECT_EQ(r.recv(sp.a, 10000, nullptr), KMCP_RECV_UNDECRYPTABLE);
  EXPECT_EQ(r.recv(sp.a, 10000, receiver.ctx, false), KMCP_RECV_UNDECRYPTABLE);
  ASSERT_EQ(r.recv(sp.a, 10000, receiver.ctx), 32);
  EXPECT_EQ(r.got(32), next);
  writer.join();
}

namespace {

// The receiving side of RecvKMCPMessageInPlace, as the session receiver
// sets it up.
struct InPlaceReceiver : Receiver {
  KMCP_MESSAGE *where = nullptr;
  int recvInPlace(int fd, KMCPEncryptionContext *ctx = nullptr) {
    KMCPEncryptionContext *c = ctx;
    return RecvKMCPMessageInPlace(fd, msg(), &where, state(), kMax, &c, decryption(), 10000);
  }
  std::vector<uint8_t> gotInPlace(int n) {
    const auto *b = reinterpret_cast<const uint8_t *>(where);
    return std::vector<uint8_t>(b, b + n);
  }
  bool inReadBuffer() const {
    const auto *b = reinterpret_cast<const uint8_t *>(where);
    return b >= state_->opaque && b < state_->opaque + sizeof(state_->opaque);
  }
};

}  // namespace

TEST(FramingTest, InPlaceServesWholeMessagesFromTheReadBufferAndCopiesOnlyTheRest) {
  ContextRef sender(KmcpCryptoSide::Peer), receiver(KmcpCryptoSide::Server);
  ASSERT_NE(sender.ctx, nullptr);
  auto m1 = wireMessage(MC_REQUEST_COMPLETED, 40, 1, 3);
  auto m2 = wireMessage(MC_TRAP, 64, 2, 9);
  auto odd = wireMessage(MC_TRAP, 21, 3, 5);  // leaves the next one unaligned
  auto m3 = wireMessage(MC_KEEPALIVE, 24, 4, 6);
  auto big = wireMessage(MC_REQUEST_COMPLETED, KMCP_RECV_BUFFER_SIZE + 56, 5);
  auto secret = wireMessage(MC_REQUEST_COMPLETED, 72, 6, 11);
  auto envelope = encrypt(sender.ctx, secret);
  ASSERT_FALSE(envelope.empty());
  std::vector<uint8_t> head = m1;
  nettest::append(head, m2);
  nettest::append(head, odd);
  nettest::append(head, m3);
  SocketPair sp;
  ASSERT_TRUE(nettest::writeAll(sp.b, head));
  std::thread writer([&] {
    nettest::lazyWrite(sp.b, big, 50000);
    nettest::writeAll(sp.b, envelope);
  });

  InPlaceReceiver r;
  ASSERT_EQ(r.recvInPlace(sp.a), 40);
  EXPECT_TRUE(r.inReadBuffer());
  EXPECT_EQ(r.gotInPlace(40), m1);
  ASSERT_EQ(r.recvInPlace(sp.a), 64);
  EXPECT_TRUE(r.inReadBuffer());
  EXPECT_EQ(r.gotInPlace(64), m2);
  ASSERT_EQ(r.recvInPlace(sp.a), 21);
  EXPECT_EQ(r.gotInPlace(21), odd);
  // Behind a 21-byte message the header view would be misaligned: copied.
  ASSERT_EQ(r.recvInPlace(sp.a), 24);
  EXPECT_EQ(r.where, r.msg());
  EXPECT_EQ(r.got(24), m3);
  // Larger than the read buffer: assembled in the message buffer.
  ASSERT_EQ(r.recvInPlace(sp.a), static_cast<int>(big.size()));
  EXPECT_EQ(r.where, r.msg());
  EXPECT_EQ(r.got(static_cast<int>(big.size())), big);
  // An envelope is decrypted into the message buffer.
  ASSERT_EQ(r.recvInPlace(sp.a, receiver.ctx), 72);
  EXPECT_EQ(r.where, r.msg());
  EXPECT_EQ(r.got(72), secret);
  writer.join();
  sp.closeB();
  EXPECT_EQ(r.recvInPlace(sp.a), KMCP_RECV_CLOSED);
}

// An envelope that lands unaligned in the read buffer (behind an odd-sized
// message) is decrypted from there without any typed read of its header.
TEST(FramingTest, UnalignedEnvelopeInTheReadBufferIsDecrypted) {
  ContextRef sender(KmcpCryptoSide::Peer), receiver(KmcpCryptoSide::Server);
  ASSERT_NE(sender.ctx, nullptr);
  auto odd = wireMessage(MC_TRAP, 21, 1, 5);
  auto secret = wireMessage(MC_REQUEST_COMPLETED, 72, 2, 11);
  auto envelope = encrypt(sender.ctx, secret);
  ASSERT_FALSE(envelope.empty());
  std::vector<uint8_t> stream = odd;
  nettest::append(stream, envelope);
  SocketPair sp;
  ASSERT_TRUE(nettest::writeAll(sp.b, stream));
  sp.closeB();

  InPlaceReceiver r;
  ASSERT_EQ(r.recvInPlace(sp.a), 21);
  ASSERT_EQ(r.recvInPlace(sp.a, receiver.ctx), 72);
  EXPECT_EQ(r.got(72), secret);
  EXPECT_EQ(r.recvInPlace(sp.a), KMCP_RECV_CLOSED);
}
