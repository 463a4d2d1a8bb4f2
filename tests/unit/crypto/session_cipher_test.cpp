// The session cipher: envelope layout, replay window, forgery and misuse.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "kmbase/crypto.h"

namespace {

const uint8_t kKey[KMCP_SESSION_KEY_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                             17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

struct Ctx {
  KMCPEncryptionContext *p;
  explicit Ctx(KmcpCryptoSide side, const uint8_t *key = kKey)
      : p(KMCPEncryptionContext::create(KMCP_CIPHER_AES_256_GCM, key, KMCP_SESSION_KEY_SIZE, side)) {}
  ~Ctx() {
    if (p != nullptr) p->decRefCount();
  }
  Ctx(const Ctx &) = delete;
  Ctx &operator=(const Ctx &) = delete;
};

using Bytes = std::vector<uint8_t>;

Bytes Plain(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

Bytes Seal(KMCPEncryptionContext *ctx, const Bytes &plain) {
  KMCP_ENCRYPTED_MESSAGE *env = ctx->encrypt(plain.data(), plain.size());
  if (env == nullptr) return {};
  Bytes out(reinterpret_cast<uint8_t *>(env),
            reinterpret_cast<uint8_t *>(env) + ntohl(env->size));
  free(env);
  return out;
}

// Decrypts and returns whether it was accepted; on acceptance checks the text.
// Like a receiver, it supplies as many bytes as the size field claims.
bool Open(KMCPEncryptionContext *ctx, const Bytes &env, const Bytes *expected = nullptr) {
  const uint32_t claimed = (uint32_t{env[4]} << 24) | (env[5] << 16) | (env[6] << 8) | env[7];
  Bytes in = env;
  if (claimed > in.size() && claimed <= KMCP_MAX_ENCRYPTED_SIZE) in.resize(claimed);
  Bytes out(in.size());
  size_t n = 0;
  const bool ok = CSCPDecryptMessage(
      ctx, reinterpret_cast<const KMCP_ENCRYPTED_MESSAGE *>(in.data()), out.data(), out.size(), &n);
  if (ok && expected != nullptr) {
    EXPECT_EQ(n, expected->size());
    EXPECT_TRUE(std::equal(expected->begin(), expected->end(), out.begin()));
  }
  return ok;
}

uint64_t CounterOf(const Bytes &env) {
  uint64_t c = 0;
  for (int i = 8; i < 16; ++i) c = (c << 8) | env[i];
  return c;
}

TEST(SessionCipher, EnvelopeHeaderCarriesCodeDirectionAndAlignedTotalSize) {
  Ctx server(KmcpCryptoSide::Server), peer(KmcpCryptoSide::Peer);
  for (size_t n : {0u, 1u, 7u, 8u, 16u, 17u, 23u, 24u, 1000u}) {
    SCOPED_TRACE(n);
    const Bytes plain = Plain(n, 3);
    const Bytes env = Seal(server.p, plain);
    ASSERT_EQ(env.size(), KMCPEncryptedSize(n));
    EXPECT_EQ(env.size() % KMCP_ALIGNMENT, 0u);
    EXPECT_GE(env.size(), n + KMCP_ENVELOPE_OVERHEAD);
    EXPECT_LT(env.size(), n + KMCP_ENVELOPE_OVERHEAD + KMCP_ALIGNMENT);
    EXPECT_EQ((env[0] << 8) | env[1], MC_ENCRYPTED_MESSAGE);
    EXPECT_EQ(env[2], static_cast<uint8_t>(KmcpCryptoSide::Server));
    EXPECT_EQ(env[3], env.size() - n - KMCP_ENVELOPE_OVERHEAD);
    EXPECT_TRUE(Open(peer.p, env, &plain));
  }
}

TEST(SessionCipher, WholeMessagesUpToTheLimitRoundTripAndLargerAreRefused) {
  Ctx server(KmcpCryptoSide::Server), peer(KmcpCryptoSide::Peer);
  Bytes msg = Plain(KMCP_MAX_MESSAGE_SIZE, 9);
  const uint32_t beSize = htonl(KMCP_MAX_MESSAGE_SIZE);
  memcpy(msg.data() + 4, &beSize, 4);
  KMCP_ENCRYPTED_MESSAGE *env =
      CSCPEncryptMessage(peer.p, reinterpret_cast<const KMCP_MESSAGE *>(msg.data()));
  ASSERT_NE(env, nullptr);
  EXPECT_EQ(ntohl(env->size), KMCP_MAX_ENCRYPTED_SIZE);
  Bytes out(KMCP_MAX_MESSAGE_SIZE);
  size_t n = 0;
  EXPECT_TRUE(CSCPDecryptMessage(server.p, env, out.data(), out.size(), &n));
  EXPECT_EQ(out, msg);
  free(env);

  // One alignment step past the largest envelope: refused from the header.
  Bytes header(KMCP_ENVELOPE_HEADER_SIZE, 0);
  header[0] = 0x7F, header[1] = 0xFF, header[2] = static_cast<uint8_t>(KmcpCryptoSide::Peer);
  const uint32_t tooBig = htonl(KMCP_MAX_ENCRYPTED_SIZE + KMCP_ALIGNMENT);
  memcpy(header.data() + 4, &tooBig, 4);
  EXPECT_FALSE(CSCPDecryptMessage(server.p, reinterpret_cast<const KMCP_ENCRYPTED_MESSAGE *>(header.data()),
                                  out.data(), out.size(), &n));

  msg.push_back(0);
  EXPECT_EQ(peer.p->encrypt(msg.data(), msg.size()), nullptr);
  const uint32_t over = htonl(KMCP_MAX_MESSAGE_SIZE + 8);
  memcpy(msg.data() + 4, &over, 4);
  EXPECT_EQ(CSCPEncryptMessage(peer.p, reinterpret_cast<const KMCP_MESSAGE *>(msg.data())), nullptr);
  const uint32_t tiny = htonl(KMCP_HEADER_SIZE - 1);
  memcpy(msg.data() + 4, &tiny, 4);
  EXPECT_EQ(CSCPEncryptMessage(peer.p, reinterpret_cast<const KMCP_MESSAGE *>(msg.data())), nullptr);
}

TEST(SessionCipher, ReplayedMessageIsRejectedAndTheNextOneAccepted) {
  Ctx server(KmcpCryptoSide::Server), peer(KmcpCryptoSide::Peer);
  const Bytes a = Plain(40, 1), b = Plain(40, 2);
  const Bytes ea = Seal(server.p, a), eb = Seal(server.p, b);
  EXPECT_TRUE(Open(peer.p, ea, &a));
  EXPECT_FALSE(Open(peer.p, ea));
  EXPECT_TRUE(Open(peer.p, eb, &b));
  EXPECT_FALSE(Open(peer.p, eb));
  EXPECT_FALSE(Open(peer.p, ea));
}

TEST(SessionCipher, ReorderingIsAcceptedWithinTheWindowOnlyAndOnce) {
  Ctx server(KmcpCryptoSide::Server), peer(KmcpCryptoSide::Peer);
  std::vector<Bytes> envs;
  for (uint32_t i = 0; i <= KMCP_REPLAY_WINDOW + 1; ++i) envs.push_back(Seal(server.p, Plain(16, 0)));
  ASSERT_EQ(CounterOf(envs.back()), KMCP_REPLAY_WINDOW + 1);

  // Newest first. Counter 0 is then exactly W behind: outside, though unseen.
  EXPECT_TRUE(Open(peer.p, envs[KMCP_REPLAY_WINDOW - 1]));
  EXPECT_TRUE(Open(peer.p, envs[KMCP_REPLAY_WINDOW]));
  EXPECT_FALSE(Open(peer.p, envs[0]));
  EXPECT_TRUE(Open(peer.p, envs[1]));  // W-1 behind: the oldest slot
  EXPECT_FALSE(Open(peer.p, envs[1]));
  EXPECT_TRUE(Open(peer.p, envs[5]));
  EXPECT_FALSE(Open(peer.p, envs[KMCP_REPLAY_WINDOW - 1]));
  // Counter W+1 moves the window on by one.
  EXPECT_TRUE(Open(peer.p, envs[KMCP_REPLAY_WINDOW + 1]));
  EXPECT_FALSE(Open(peer.p, envs[1]));
  EXPECT_TRUE(Open(peer.p, envs[2]));
  EXPECT_FALSE(Open(peer.p, envs[5]));
  EXPECT_TRUE(Open(peer.p, envs[6]));
}

TEST(SessionCipher, AJumpBeyondTheWindowForgetsOlderCounters) {
  Ctx server(KmcpCryptoSide::Server), peer(KmcpCryptoSide::Peer);
  std::vector<Bytes> envs;
  for (int i = 0; i <= 100; ++i) envs.push_back(Seal(server.p, Plain(8, 1)));
  EXPECT_TRUE(Open(peer.p, envs[0]));
  EXPECT_TRUE(Open(peer.p, envs[100]));
  // 64 and 37 were never seen and lie inside the window behind 100.
  EXPECT_TRUE(Open(peer.p, envs[64]));
  EXPECT_TRUE(Open(peer.p, envs[37]));
  EXPECT_FALSE(Open(peer.p, envs[36]));
}

TEST(SessionCipher, EveryBitFlipIsRejectedAndTheOriginalStillAccepted) {
  Ctx server(KmcpCryptoSide::Server), peer(KmcpCryptoSide::Peer);
  const Bytes plain = Plain(21, 5);  // leaves 3 padding bytes
  const Bytes env = Seal(server.p, plain);
  ASSERT_EQ(env[3], 3);
  for (size_t i = 0; i < env.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes bad = env;
      bad[i] ^= static_cast<uint8_t>(1u << bit);
      ASSERT_FALSE(Open(peer.p, bad)) << "byte " << i << " bit " << bit;
    }
  }
  EXPECT_TRUE(Open(peer.p, env, &plain));
}

TEST(SessionCipher, RejectsOwnDirectionOtherKeysAndShortOutputWithoutLosingState) {
  Ctx server(KmcpCryptoSide::Server), peer(KmcpCryptoSide::Peer);
  const uint8_t otherKey[KMCP_SESSION_KEY_SIZE] = {9};
  Ctx stranger(KmcpCryptoSide::Peer, otherKey);
  const Bytes plain = Plain(64, 8);
  const Bytes env = Seal(server.p, plain);
  EXPECT_FALSE(Open(server.p, env));    // a reflected message
  EXPECT_FALSE(Open(stranger.p, env));  // another session's key

  Bytes out(plain.size() - 1);
  size_t n = 99;
  EXPECT_FALSE(CSCPDecryptMessage(peer.p, reinterpret_cast<const KMCP_ENCRYPTED_MESSAGE *>(env.data()),
                                  out.data(), out.size(), &n));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(Open(peer.p, env, &plain));

  // A forged tag leaves no unauthenticated plaintext in the output.
  const Bytes next = Seal(server.p, plain);
  Bytes forged = next;
  forged[16 + plain.size()] ^= 0x80;
  Bytes wide(plain.size(), 0xAA);
  EXPECT_FALSE(CSCPDecryptMessage(peer.p, reinterpret_cast<const KMCP_ENCRYPTED_MESSAGE *>(forged.data()),
                                  wide.data(), wide.size(), &n));
  EXPECT_EQ(wide, Bytes(plain.size(), 0));
  EXPECT_TRUE(Open(peer.p, next, &plain));

  // An envelope whose own size field is below the minimum.
  Bytes tiny(8, 0);
  tiny[0] = 0x7F, tiny[1] = 0xFF, tiny[7] = 8, tiny[2] = 1;
  EXPECT_FALSE(Open(peer.p, tiny));
  EXPECT_FALSE(CSCPDecryptMessage(nullptr, reinterpret_cast<const KMCP_ENCRYPTED_MESSAGE *>(env.data()),
                                  out.data(), out.size(), &n));
}

TEST(SessionCipher, CreateRefusesUnknownCipherAndWrongKeyLength) {
  EXPECT_EQ(KMCPEncryptionContext::create(1, kKey, sizeof kKey, KmcpCryptoSide::Server), nullptr);
  EXPECT_EQ(KMCPEncryptionContext::create(KMCP_CIPHER_AES_256_GCM, kKey, 16, KmcpCryptoSide::Server),
            nullptr);
  EXPECT_EQ(KMCPEncryptionContext::create(KMCP_CIPHER_AES_256_GCM, nullptr, 32, KmcpCryptoSide::Peer),
            nullptr);
  EXPECT_EQ(KMCPEncryptionContext::create(KMCP_CIPHER_AES_256_GCM, kKey, 32,
                                          static_cast<KmcpCryptoSide>(0)),
            nullptr);
}

}  // namespace
