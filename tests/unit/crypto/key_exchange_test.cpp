// Key exchange between a server and a peer, through the real field codec.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "support/test_key.h"

namespace {

using kmtest::TestKey;

// The public half of TestKey() alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
RSA *PublicHalfOnly() {
  static RSA *key = RSAPublicKey_dup(TestKey());
  return key;
}
#pragma GCC diagnostic pop

// Owns one context reference; out() drops it and offers the slot for a new one.
struct ContextRef {
  KMCPEncryptionContext *p = nullptr;
  ~ContextRef() { reset(); }
  void reset() {
    if (p != nullptr) p->decRefCount();
    p = nullptr;
  }
  KMCPEncryptionContext **out() {
    reset();
    return &p;
  }
};

// Encodes and decodes, as the socket would.
std::unique_ptr<CSCPMessage> ViaWire(const CSCPMessage &m) {
  KMCP_MESSAGE *raw = m.CreateMessage();
  if (raw == nullptr) return nullptr;
  auto decoded = CSCPMessage::decode(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(raw), ntohl(raw->size)),
      KMCP_VERSION);
  free(raw);
  return decoded;
}

std::unique_ptr<CSCPMessage> KeyRequest(bool x509 = false) {
  CSCPMessage request;
  EXPECT_TRUE(PrepareKeyRequestMsg(&request, TestKey(), x509));
  request.SetId(7);
  return ViaWire(request);
}

// The peer's answer to a good request, after the wire.
std::unique_ptr<CSCPMessage> GoodAnswer(ContextRef *peer) {
  CSCPMessage answer;
  EXPECT_EQ(KMCP_ENCRYPTION_OK,
            KMCPProcessKeyRequest(KeyRequest().get(), KMCP_SUPPORTED_CIPHERS, &answer, peer->out()));
  return ViaWire(answer);
}

int ServerSetup(CSCPMessage *answer, RSA *key = TestKey()) {
  ContextRef server;
  return SetupEncryptionContext(answer, server.out(), nullptr, key, KMCP_VERSION);
}

// Sends one message from `from` to `to` and checks it arrives unchanged.
void ExpectTalk(KMCPEncryptionContext *from, KMCPEncryptionContext *to, uint32_t id) {
  CSCPMessage m;
  m.SetCode(MC_GET_PARAMETER);
  m.SetId(id);
  m.SetVariable(85, u"Agent.Version");
  KMCP_MESSAGE *raw = m.CreateMessage();
  ASSERT_NE(raw, nullptr);
  const size_t size = ntohl(raw->size);
  KMCP_ENCRYPTED_MESSAGE *env = CSCPEncryptMessage(from, raw);
  ASSERT_NE(env, nullptr);
  std::vector<uint8_t> out(size);
  size_t outLen = 0;
  EXPECT_TRUE(CSCPDecryptMessage(to, env, out.data(), out.size(), &outLen));
  ASSERT_EQ(outLen, size);
  EXPECT_EQ(0, memcmp(out.data(), raw, size));
  free(env);
  free(raw);
}

TEST(KeyExchange, BothKeyFormatsGiveContextsThatTalkBothWays) {
  for (bool x509 : {false, true}) {
    SCOPED_TRACE(x509 ? "X.509" : "PKCS#1");
    auto request = KeyRequest(x509);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->GetCode(), MC_REQUEST_SESSION_KEY);

    ContextRef peer, server;
    CSCPMessage answer;
    ASSERT_EQ(KMCP_ENCRYPTION_OK,
              KMCPProcessKeyRequest(request.get(), KMCP_SUPPORTED_CIPHERS, &answer, peer.out()));
    EXPECT_EQ(answer.GetCode(), MC_SESSION_KEY);
    EXPECT_EQ(answer.GetId(), 7u);
    auto received = ViaWire(answer);
    ASSERT_NE(received, nullptr);

    CSCPMessage *response = nullptr;
    ASSERT_EQ(KMCP_ENCRYPTION_OK, SetupEncryptionContext(received.get(), server.out(), &response,
                                                         TestKey(), KMCP_VERSION));
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->GetCode(), MC_REQUEST_COMPLETED);
    EXPECT_EQ(response->GetId(), 7u);
    EXPECT_EQ(response->GetVariableLong(28), 0u);
    delete response;

    EXPECT_EQ(server.p->getSide(), KmcpCryptoSide::Server);
    EXPECT_EQ(peer.p->getSide(), KmcpCryptoSide::Peer);
    ExpectTalk(server.p, peer.p, 1);
    ExpectTalk(peer.p, server.p, 2);
    ExpectTalk(server.p, peer.p, 3);
  }
}

TEST(KeyExchange, NoCipherInCommonGives42OnBothSides) {
  ContextRef peer;
  CSCPMessage answer;
  EXPECT_EQ(KMCP_ENCRYPTION_NO_CIPHERS,
            KMCPProcessKeyRequest(KeyRequest().get(), 0, &answer, peer.out()));
  EXPECT_EQ(peer.p, nullptr);
  EXPECT_EQ(KMCP_ENCRYPTION_NO_CIPHERS, ServerSetup(ViaWire(answer).get()));

  // A request offering only ciphers this build does not know.
  auto request = KeyRequest();
  request->SetVariable(VAR_KMCP_SUPPORTED_CIPHERS, uint32_t{0x80000000u});
  EXPECT_EQ(KMCP_ENCRYPTION_NO_CIPHERS,
            KMCPProcessKeyRequest(request.get(), ~0u, &answer, peer.out()));

  // A peer that picks a cipher the server never offered.
  auto good = GoodAnswer(&peer);
  good->SetVariable(VAR_KMCP_CIPHER, uint16_t{5});
  EXPECT_EQ(KMCP_ENCRYPTION_NO_CIPHERS, ServerSetup(good.get()));
}

TEST(KeyExchange, UnusablePublicKeyGives43) {
  ContextRef peer;
  CSCPMessage answer;
  auto request = KeyRequest();
  const uint8_t garbage[] = {0x30, 0x82, 0x01, 0x0a, 0xde, 0xad, 0xbe, 0xef};
  request->SetVariable(VAR_KMCP_PUBLIC_KEY, garbage, sizeof garbage);
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_PUBLIC_KEY,
            KMCPProcessKeyRequest(request.get(), ~0u, &answer, peer.out()));
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_PUBLIC_KEY, ServerSetup(ViaWire(answer).get()));

  // A valid key followed by a stray byte, and one past the size limit.
  auto good = KeyRequest();
  std::vector<uint8_t> der(good->GetVariableBinaryView(VAR_KMCP_PUBLIC_KEY).begin(),
                           good->GetVariableBinaryView(VAR_KMCP_PUBLIC_KEY).end());
  der.push_back(0);
  request->SetVariable(VAR_KMCP_PUBLIC_KEY, der.data(), static_cast<uint32_t>(der.size()));
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_PUBLIC_KEY,
            KMCPProcessKeyRequest(request.get(), ~0u, &answer, peer.out()));
  std::vector<uint8_t> huge(KMCP_MAX_PUBLIC_KEY_SIZE + 1, 0x30);
  request->SetVariable(VAR_KMCP_PUBLIC_KEY, huge.data(), static_cast<uint32_t>(huge.size()));
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_PUBLIC_KEY,
            KMCPProcessKeyRequest(request.get(), ~0u, &answer, peer.out()));

  // The key is sound but encoded in another format than announced.
  good->SetVariable(VAR_KMCP_PUBLIC_KEY_FORMAT, KMCP_KEY_FORMAT_X509);
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_PUBLIC_KEY,
            KMCPProcessKeyRequest(good.get(), ~0u, &answer, peer.out()));

  // The server itself needs its private half.
  auto answerOk = GoodAnswer(&peer);
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_PUBLIC_KEY, ServerSetup(answerOk.get(), nullptr));
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_PUBLIC_KEY, ServerSetup(answerOk.get(), PublicHalfOnly()));
}

TEST(KeyExchange, KeysBelowMinimumStrengthAreRefusedAndMinimumIsAccepted) {
  CSCPMessage request, answer;
  ContextRef peer;
  ASSERT_TRUE(PrepareKeyRequestMsg(&request, TestKey(KMCP_MIN_RSA_BITS - 1), true));
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_PUBLIC_KEY,
            KMCPProcessKeyRequest(ViaWire(request).get(), ~0u, &answer, peer.out()));
  // TestKey() has exactly KMCP_MIN_RSA_BITS.
  EXPECT_EQ(KMCP_ENCRYPTION_OK,
            KMCPProcessKeyRequest(KeyRequest(true).get(), ~0u, &answer, peer.out()));
}

TEST(KeyExchange, DamagedSessionKeyGives44) {
  ContextRef peer;
  auto answer = GoodAnswer(&peer);
  std::vector<uint8_t> wrapped(answer->GetVariableBinaryView(VAR_KMCP_SESSION_KEY).begin(),
                               answer->GetVariableBinaryView(VAR_KMCP_SESSION_KEY).end());
  ASSERT_EQ(wrapped.size(), 256u);

  auto withKey = [&](const std::vector<uint8_t> &bytes) {
    auto copy = GoodAnswer(&peer);
    copy->SetVariable(VAR_KMCP_SESSION_KEY, bytes.data(), static_cast<uint32_t>(bytes.size()));
    return ServerSetup(copy.get());
  };
  std::vector<uint8_t> flipped = wrapped;
  flipped[100] ^= 0x01;
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_SESSION_KEY, withKey(flipped));
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_SESSION_KEY,
            withKey(std::vector<uint8_t>(wrapped.begin(), wrapped.end() - 1)));
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_SESSION_KEY, withKey({}));

  // Correctly wrapped, but 16 bytes instead of 32.
  EVP_PKEY *pub = nullptr;
  {
    const auto request = KeyRequest(true);
    const auto der = request->GetVariableBinaryView(VAR_KMCP_PUBLIC_KEY);
    const unsigned char *p = der.data();
    pub = d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size()));
  }
  ASSERT_NE(pub, nullptr);
  EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new(pub, nullptr);
  const uint8_t shortKey[16] = {1, 2, 3};
  std::vector<uint8_t> shortWrapped(256);
  size_t n = shortWrapped.size();
  ASSERT_EQ(1, EVP_PKEY_encrypt_init(pctx));
  EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_OAEP_PADDING);
  EVP_PKEY_CTX_set_rsa_oaep_md(pctx, EVP_sha256());
  EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, EVP_sha256());
  ASSERT_EQ(1, EVP_PKEY_encrypt(pctx, shortWrapped.data(), &n, shortKey, sizeof shortKey));
  EVP_PKEY_CTX_free(pctx);
  EVP_PKEY_free(pub);
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_SESSION_KEY, withKey(shortWrapped));

  auto lengthLies = GoodAnswer(&peer);
  lengthLies->SetVariable(VAR_KMCP_KEY_LENGTH, uint16_t{16});
  EXPECT_EQ(KMCP_ENCRYPTION_INVALID_SESSION_KEY, ServerSetup(lengthLies.get()));
}

TEST(KeyExchange, MalformedMessagesAreRefusedAndLeaveTheContextAlone) {
  ContextRef peer;
  auto answer = GoodAnswer(&peer);
  answer->SetCode(MC_REQUEST_COMPLETED);
  EXPECT_EQ(KMCP_ENCRYPTION_BAD_MESSAGE, ServerSetup(answer.get()));

  auto unknownResult = GoodAnswer(&peer);
  unknownResult->SetVariable(VAR_KMCP_KEY_RESULT, uint32_t{99});
  EXPECT_EQ(KMCP_ENCRYPTION_BAD_MESSAGE, ServerSetup(unknownResult.get()));

  auto noCipher = GoodAnswer(&peer);
  noCipher->DeleteAllVariables();
  EXPECT_EQ(KMCP_ENCRYPTION_BAD_MESSAGE, ServerSetup(noCipher.get()));

  CSCPMessage reply;
  auto request = KeyRequest();
  request->SetCode(MC_LOGIN);
  EXPECT_EQ(KMCP_ENCRYPTION_BAD_MESSAGE, KMCPProcessKeyRequest(request.get(), ~0u, &reply, peer.out()));
  EXPECT_EQ(reply.GetCode(), MC_SESSION_KEY);
  EXPECT_EQ(reply.GetVariableLong(VAR_KMCP_KEY_RESULT), uint32_t(KMCP_ENCRYPTION_BAD_MESSAGE));
  CSCPMessage empty;
  empty.SetCode(MC_REQUEST_SESSION_KEY);
  EXPECT_EQ(KMCP_ENCRYPTION_BAD_MESSAGE, KMCPProcessKeyRequest(&empty, ~0u, &reply, peer.out()));

  // A failed setup neither stores nor releases what the caller had.
  KMCPEncryptionContext *sentinel = reinterpret_cast<KMCPEncryptionContext *>(0x1000);
  KMCPEncryptionContext *slot = sentinel;
  CSCPMessage *response = nullptr;
  EXPECT_EQ(KMCP_ENCRYPTION_BAD_MESSAGE,
            SetupEncryptionContext(answer.get(), &slot, &response, TestKey(), KMCP_VERSION));
  EXPECT_EQ(slot, sentinel);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->GetVariableLong(28), uint32_t(KMCP_ENCRYPTION_BAD_MESSAGE));
  delete response;

  EXPECT_EQ(KMCP_ENCRYPTION_INTERNAL_ERROR,
            SetupEncryptionContext(nullptr, &slot, nullptr, TestKey(), KMCP_VERSION));
  EXPECT_EQ(KMCP_ENCRYPTION_INTERNAL_ERROR, KMCPProcessKeyRequest(nullptr, ~0u, &reply, peer.out()));
}

// The X.509 DER of a public key with TestKey()'s modulus and exponent e.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::vector<uint8_t> PublicKeyWithExponent(const BIGNUM *e) {
  const BIGNUM *n = nullptr;
  RSA_get0_key(TestKey(), &n, nullptr, nullptr);
  OSSL_PARAM_BLD *build = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n);
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e);
  OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(build);
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY *pkey = nullptr;
  std::vector<uint8_t> der;
  if (ctx != nullptr && params != nullptr && EVP_PKEY_fromdata_init(ctx) == 1 &&
      EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) == 1) {
    unsigned char *bytes = nullptr;
    const int length = i2d_PUBKEY(pkey, &bytes);
    if (length > 0) der.assign(bytes, bytes + length);
    OPENSSL_free(bytes);
  }
  EVP_PKEY_free(pkey);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(build);
  return der;
}
#pragma GCC diagnostic pop

// What a peer controls, each way it might try to cheat: integer fields of
// another width (never cut to fit) and public exponents that cost far more
// than the usual ones (refused before any exponentiation).
TEST(KeyExchange, WrongWidthsAndCostlyExponentsAreRefused) {
  using Change = std::function<void(CSCPMessage &)>;
  const auto withExponent = [](const char *hex) -> Change {
    return [hex](CSCPMessage &m) {
      BIGNUM *e = nullptr;
      ASSERT_GT(BN_hex2bn(&e, hex), 0);
      const std::vector<uint8_t> der = PublicKeyWithExponent(e);
      BN_free(e);
      ASSERT_FALSE(der.empty());
      m.SetVariable(VAR_KMCP_PUBLIC_KEY, der.data(), static_cast<uint32_t>(der.size()));
      m.SetVariable(VAR_KMCP_PUBLIC_KEY_FORMAT, KMCP_KEY_FORMAT_X509);
    };
  };
  // An odd exponent of 2047 bits, just below the 2048-bit modulus.
  const std::string huge = "7" + std::string(510, 'F') + "1";
  struct RequestCase {
    const char *what;
    Change change;
    int result;
  };
  const RequestCase requests[] = {
      {"key format as 32 bits",
       [](CSCPMessage &m) { m.SetVariable(VAR_KMCP_PUBLIC_KEY_FORMAT, uint32_t{0x00010001}); },
       KMCP_ENCRYPTION_BAD_MESSAGE},
      {"cipher mask as 64 bits",
       [](CSCPMessage &m) { m.SetVariable(VAR_KMCP_SUPPORTED_CIPHERS, uint64_t{0x100000001}); },
       KMCP_ENCRYPTION_BAD_MESSAGE},
      {"cipher mask as 16 bits",
       [](CSCPMessage &m) { m.SetVariable(VAR_KMCP_SUPPORTED_CIPHERS, uint16_t{1}); },
       KMCP_ENCRYPTION_BAD_MESSAGE},
      {"exponent 2^32 + 1", withExponent("100000001"), KMCP_ENCRYPTION_OK},
      {"exponent 2^32 + 3", withExponent("100000003"), KMCP_ENCRYPTION_INVALID_PUBLIC_KEY},
      {"exponent of 2047 bits", withExponent(huge.c_str()), KMCP_ENCRYPTION_INVALID_PUBLIC_KEY},
  };
  for (const RequestCase &c : requests) {
    SCOPED_TRACE(c.what);
    auto request = KeyRequest();
    c.change(*request);
    ContextRef peer;
    CSCPMessage answer;
    EXPECT_EQ(KMCPProcessKeyRequest(ViaWire(*request).get(), ~0u, &answer, peer.out()), c.result);
    EXPECT_EQ(peer.p != nullptr, c.result == KMCP_ENCRYPTION_OK);
  }

  struct AnswerCase {
    const char *what;
    Change change;
  };
  const AnswerCase answers[] = {
      {"cipher as 32 bits", [](CSCPMessage &m) { m.SetVariable(VAR_KMCP_CIPHER, uint32_t{0}); }},
      {"key length as 32 bits",
       [](CSCPMessage &m) { m.SetVariable(VAR_KMCP_KEY_LENGTH, uint32_t{KMCP_SESSION_KEY_SIZE}); }},
      {"result as 16 bits",
       [](CSCPMessage &m) { m.SetVariable(VAR_KMCP_KEY_RESULT, uint16_t{0}); }},
  };
  for (const AnswerCase &c : answers) {
    SCOPED_TRACE(c.what);
    ContextRef peer;
    auto answer = GoodAnswer(&peer);
    c.change(*answer);
    EXPECT_EQ(ServerSetup(ViaWire(*answer).get()), KMCP_ENCRYPTION_BAD_MESSAGE);
  }
}

}  // namespace
