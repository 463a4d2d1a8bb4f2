// Many sender threads on one context, and a receiver working at the same time.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <latch>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kmbase/crypto.h"

namespace {

const uint8_t kKey[KMCP_SESSION_KEY_SIZE] = {42, 1, 2, 3};
constexpr int kThreads = 8;
constexpr int kPerThread = 1000;

KMCPEncryptionContext *Make(KmcpCryptoSide side) {
  return KMCPEncryptionContext::create(KMCP_CIPHER_AES_256_GCM, kKey, sizeof kKey, side);
}

struct Sealed {
  uint64_t counter;
  std::vector<uint8_t> bytes;
};

uint64_t CounterOf(const uint8_t *env) {
  uint64_t c = 0;
  for (int i = 8; i < 16; ++i) c = (c << 8) | env[i];
  return c;
}

TEST(SessionCipherConcurrency, ConcurrentSendersGetDistinctCountersAndEveryMessageDecrypts) {
  KMCPEncryptionContext *server = Make(KmcpCryptoSide::Server);
  KMCPEncryptionContext *peer = Make(KmcpCryptoSide::Peer);
  ASSERT_NE(server, nullptr);
  ASSERT_NE(peer, nullptr);

  std::mutex m;
  std::vector<Sealed> all;
  std::vector<std::thread> threads;
  std::latch start(kThreads);  // all senders begin together
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<Sealed> mine;
      start.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) {
        const uint8_t plain[24] = {static_cast<uint8_t>(t), static_cast<uint8_t>(i)};
        KMCP_ENCRYPTED_MESSAGE *env = server->encrypt(plain, sizeof plain);
        if (env == nullptr) continue;
        const auto *b = reinterpret_cast<const uint8_t *>(env);
        mine.push_back({CounterOf(b), std::vector<uint8_t>(b, b + ntohl(env->size))});
        free(env);
      }
      std::lock_guard<std::mutex> g(m);
      all.insert(all.end(), mine.begin(), mine.end());
    });
  }
  for (auto &th : threads) th.join();

  ASSERT_EQ(all.size(), size_t{kThreads * kPerThread});
  std::set<uint64_t> counters;
  for (const auto &s : all) counters.insert(s.counter);
  EXPECT_EQ(counters.size(), all.size());
  EXPECT_EQ(*counters.rbegin(), all.size() - 1);

  std::sort(all.begin(), all.end(),
            [](const Sealed &a, const Sealed &b) { return a.counter < b.counter; });
  uint8_t out[24];
  size_t n = 0;
  for (const auto &s : all) {
    ASSERT_TRUE(CSCPDecryptMessage(peer, reinterpret_cast<const KMCP_ENCRYPTED_MESSAGE *>(s.bytes.data()),
                                   out, sizeof out, &n))
        << s.counter;
  }
  server->decRefCount();
  peer->decRefCount();
}

TEST(SessionCipherConcurrency, ReceiverDecryptsWhileSendersEncryptOnTheSameContext) {
  KMCPEncryptionContext *server = Make(KmcpCryptoSide::Server);
  KMCPEncryptionContext *peer = Make(KmcpCryptoSide::Peer);
  ASSERT_NE(server, nullptr);
  ASSERT_NE(peer, nullptr);

  // Prepared in order by the peer, decrypted by the server's receiver while
  // the server's senders encrypt.
  std::vector<std::vector<uint8_t>> inbound;
  for (int i = 0; i < kPerThread; ++i) {
    const uint8_t plain[16] = {static_cast<uint8_t>(i)};
    KMCP_ENCRYPTED_MESSAGE *env = peer->encrypt(plain, sizeof plain);
    ASSERT_NE(env, nullptr);
    const auto *b = reinterpret_cast<const uint8_t *>(env);
    inbound.emplace_back(b, b + ntohl(env->size));
    free(env);
  }

  int accepted = 0;
  std::thread receiver([&] {
    uint8_t out[16];
    size_t n = 0;
    for (const auto &e : inbound)
      if (CSCPDecryptMessage(server, reinterpret_cast<const KMCP_ENCRYPTED_MESSAGE *>(e.data()), out,
                             sizeof out, &n))
        ++accepted;
  });
  std::vector<std::thread> senders;
  std::vector<int> sent(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      const uint8_t plain[16] = {};
      for (int i = 0; i < kPerThread; ++i) {
        KMCP_ENCRYPTED_MESSAGE *env = server->encrypt(plain, sizeof plain);
        if (env != nullptr) ++sent[t];
        free(env);
      }
    });
  }
  receiver.join();
  for (auto &th : senders) th.join();
  EXPECT_EQ(accepted, kPerThread);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(sent[t], kPerThread);
  server->decRefCount();
  peer->decRefCount();
}

}  // namespace
