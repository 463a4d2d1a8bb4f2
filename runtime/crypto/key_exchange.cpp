// The key exchange: the server's key request, the peer's answer with a
// session key wrapped by RSA-OAEP (SHA-256), and the server's unwrapping.
// Pure functions of their arguments; any thread.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

#include "kmbase/crypto.h"
#include "kmbase/message.h"

namespace {

// The field id of the result in MC_REQUEST_COMPLETED; fixed by the protocol.
constexpr uint32_t kVarRcc = 28;

struct PkeyDeleter {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

// Cleanses a secret buffer when it goes out of scope.
class SecretBytes {
 public:
  explicit SecretBytes(size_t n) : bytes_(n) {}
  ~SecretBytes() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
  SecretBytes(const SecretBytes &) = delete;
  SecretBytes &operator=(const SecretBytes &) = delete;
  uint8_t *data() { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

// The API takes OpenSSL's legacy RSA type; everything else works on EVP_PKEY.
// These are the only legacy calls, so the deprecation warnings are silenced
// here and nowhere else.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
Pkey WrapRsa(RSA *rsa) {
  if (rsa == nullptr) return nullptr;
  Pkey pkey(EVP_PKEY_new());
  if (!pkey || EVP_PKEY_set1_RSA(pkey.get(), rsa) != 1) return nullptr;
  return pkey;
}
bool RsaHasPrivateHalf(RSA *rsa) {
  const BIGNUM *d = nullptr;
  RSA_get0_key(rsa, nullptr, nullptr, &d);
  return d != nullptr && !BN_is_zero(d);
}
#pragma GCC diagnostic pop

// Checks a peer-supplied key: RSA, a size we accept, an exponent that hides
// the plaintext (odd, at least 3) and costs no more than the usual ones (at
// most KMCP_MAX_RSA_EXPONENT).
bool UsableRsaKey(EVP_PKEY *pkey) {
  if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) return false;
  const int bits = EVP_PKEY_get_bits(pkey);
  if (bits < KMCP_MIN_RSA_BITS || bits > KMCP_MAX_RSA_BITS) return false;
  BIGNUM *e = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &e) != 1) return false;
  const bool ok = BN_is_odd(e) && !BN_is_one(e) && BN_num_bits(e) <= 64 &&
                  BN_get_word(e) <= KMCP_MAX_RSA_EXPONENT;
  BN_free(e);
  return ok;
}

// Sets up RSA-OAEP with SHA-256 for both the digest and MGF1.
bool InitOaep(EVP_PKEY_CTX *ctx, bool encrypt) {
  const int init = encrypt ? EVP_PKEY_encrypt_init(ctx) : EVP_PKEY_decrypt_init(ctx);
  return init == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
         EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) == 1 &&
         EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) == 1;
}

// Reads the request's DER public key; exactly `der` must be consumed.
Pkey ParsePublicKey(std::span<const uint8_t> der, uint16_t format) {
  if (der.empty() || der.size() > KMCP_MAX_PUBLIC_KEY_SIZE) return nullptr;
  const unsigned char *p = der.data();
  const long length = static_cast<long>(der.size());
  Pkey pkey;
  if (format == KMCP_KEY_FORMAT_X509)
    pkey.reset(d2i_PUBKEY(nullptr, &p, length));
  else if (format == KMCP_KEY_FORMAT_PKCS1)
    pkey.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, length));
  if (!pkey || p != der.data() + der.size()) return nullptr;
  return pkey;
}

bool HasField(const CSCPMessage *msg, uint32_t id, KmcpFieldType type) {
  KmcpFieldType actual;
  return msg->GetVariableType(id, &actual) && actual == type;
}

int FailAnswer(CSCPMessage *answer, int result) {
  answer->DeleteAllVariables();
  answer->SetVariable(VAR_KMCP_KEY_RESULT, static_cast<uint32_t>(result));
  return result;
}

int UnwrapAndCreate(CSCPMessage *reply, KMCPEncryptionContext **ctx, RSA *serverKey) {
  if (reply->GetCode() != MC_SESSION_KEY) return KMCP_ENCRYPTION_BAD_MESSAGE;
  if (reply->IsVariableExist(VAR_KMCP_KEY_RESULT)) {
    uint32_t peerResult = 0;
    if (!reply->GetVariableExact(VAR_KMCP_KEY_RESULT, &peerResult))
      return KMCP_ENCRYPTION_BAD_MESSAGE;
    switch (peerResult) {
      case KMCP_ENCRYPTION_OK:
        break;
      case KMCP_ENCRYPTION_NO_CIPHERS:
      case KMCP_ENCRYPTION_INVALID_PUBLIC_KEY:
      case KMCP_ENCRYPTION_INVALID_SESSION_KEY:
      case KMCP_ENCRYPTION_BAD_MESSAGE:
      case KMCP_ENCRYPTION_INTERNAL_ERROR:
        return static_cast<int>(peerResult);
      default:
        return KMCP_ENCRYPTION_BAD_MESSAGE;
    }
  }

  if (serverKey == nullptr || !RsaHasPrivateHalf(serverKey))
    return KMCP_ENCRYPTION_INVALID_PUBLIC_KEY;
  Pkey pkey = WrapRsa(serverKey);
  if (!pkey) return KMCP_ENCRYPTION_INVALID_PUBLIC_KEY;

  // The peer may only pick a cipher we offered, and we offer what we run.
  uint16_t cipher = 0;
  uint16_t keyLength = 0;
  if (!reply->GetVariableExact(VAR_KMCP_CIPHER, &cipher) ||
      !reply->GetVariableExact(VAR_KMCP_KEY_LENGTH, &keyLength))
    return KMCP_ENCRYPTION_BAD_MESSAGE;
  if (cipher >= 32 || (KMCP_SUPPORTED_CIPHERS & (1u << cipher)) == 0)
    return KMCP_ENCRYPTION_NO_CIPHERS;
  if (keyLength != KMCP_SESSION_KEY_SIZE) return KMCP_ENCRYPTION_INVALID_SESSION_KEY;
  if (!HasField(reply, VAR_KMCP_SESSION_KEY, KmcpFieldType::Binary))
    return KMCP_ENCRYPTION_INVALID_SESSION_KEY;
  const std::span<const uint8_t> wrapped = reply->GetVariableBinaryView(VAR_KMCP_SESSION_KEY);
  if (wrapped.size() != static_cast<size_t>(EVP_PKEY_get_size(pkey.get())))
    return KMCP_ENCRYPTION_INVALID_SESSION_KEY;

  PkeyCtx pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
  if (!pctx || !InitOaep(pctx.get(), false)) return KMCP_ENCRYPTION_INTERNAL_ERROR;
  // OAEP output is never longer than the modulus.
  SecretBytes key(wrapped.size());
  size_t unwrappedLength = key.size();
  if (EVP_PKEY_decrypt(pctx.get(), key.data(), &unwrappedLength, wrapped.data(), wrapped.size()) !=
          1 ||
      unwrappedLength != KMCP_SESSION_KEY_SIZE)
    return KMCP_ENCRYPTION_INVALID_SESSION_KEY;

  KMCPEncryptionContext *created =
      KMCPEncryptionContext::create(cipher, key.data(), unwrappedLength, KmcpCryptoSide::Server);
  if (created == nullptr) return KMCP_ENCRYPTION_INTERNAL_ERROR;
  *ctx = created;
  return KMCP_ENCRYPTION_OK;
}

}  // namespace

const char *KMCPEncryptionResultText(int result) {
  switch (result) {
    case KMCP_ENCRYPTION_OK:
      return "Success";
    case KMCP_ENCRYPTION_NO_CIPHERS:
      return "No acceptable ciphers";
    case KMCP_ENCRYPTION_INVALID_PUBLIC_KEY:
      return "Invalid public key";
    case KMCP_ENCRYPTION_INVALID_SESSION_KEY:
      return "Invalid session key";
    case KMCP_ENCRYPTION_BAD_MESSAGE:
      return "Malformed key exchange message";
    case KMCP_ENCRYPTION_INTERNAL_ERROR:
      return "Internal error";
    default:
      return "Unknown encryption result";
  }
}

bool PrepareKeyRequestMsg(CSCPMessage *msg, RSA *serverKey, bool useX509Format) {
  if (msg == nullptr) return false;
  msg->SetCode(MC_REQUEST_SESSION_KEY);
  msg->SetVariable(VAR_KMCP_SUPPORTED_CIPHERS, KMCP_SUPPORTED_CIPHERS);
  msg->SetVariable(VAR_KMCP_PUBLIC_KEY_FORMAT,
                   useX509Format ? KMCP_KEY_FORMAT_X509 : KMCP_KEY_FORMAT_PKCS1);
  Pkey pkey = WrapRsa(serverKey);
  if (!pkey) return false;
  unsigned char *der = nullptr;
  const int length =
      useX509Format ? i2d_PUBKEY(pkey.get(), &der) : i2d_PublicKey(pkey.get(), &der);
  if (length <= 0 || static_cast<size_t>(length) > KMCP_MAX_PUBLIC_KEY_SIZE) {
    OPENSSL_free(der);
    return false;
  }
  msg->SetVariable(VAR_KMCP_PUBLIC_KEY, der, static_cast<uint32_t>(length));
  OPENSSL_free(der);
  return true;
}

int SetupEncryptionContext(CSCPMessage *reply, KMCPEncryptionContext **ctx,
                           CSCPMessage **response, RSA *serverKey, int version) {
  if (response != nullptr) *response = nullptr;
  const int result = (reply == nullptr || ctx == nullptr)
                         ? KMCP_ENCRYPTION_INTERNAL_ERROR
                         : UnwrapAndCreate(reply, ctx, serverKey);
  if (response != nullptr) {
    auto *r = new CSCPMessage(version);
    r->SetCode(MC_REQUEST_COMPLETED);
    r->SetId(reply != nullptr ? reply->GetId() : 0);
    r->SetVariable(kVarRcc, static_cast<uint32_t>(result));
    *response = r;
  }
  return result;
}

int KMCPProcessKeyRequest(const CSCPMessage *request, uint32_t acceptedCiphers,
                          CSCPMessage *answer, KMCPEncryptionContext **ctx) {
  if (ctx != nullptr) *ctx = nullptr;
  if (request == nullptr || answer == nullptr || ctx == nullptr)
    return KMCP_ENCRYPTION_INTERNAL_ERROR;
  answer->SetCode(MC_SESSION_KEY);
  answer->SetId(request->GetId());
  answer->DeleteAllVariables();

  uint32_t offered = 0;
  uint16_t format = 0;
  if (request->GetCode() != MC_REQUEST_SESSION_KEY ||
      !request->GetVariableExact(VAR_KMCP_SUPPORTED_CIPHERS, &offered) ||
      !request->GetVariableExact(VAR_KMCP_PUBLIC_KEY_FORMAT, &format) ||
      !HasField(request, VAR_KMCP_PUBLIC_KEY, KmcpFieldType::Binary))
    return FailAnswer(answer, KMCP_ENCRYPTION_BAD_MESSAGE);

  const uint32_t common = offered & acceptedCiphers & KMCP_SUPPORTED_CIPHERS;
  if (common == 0) return FailAnswer(answer, KMCP_ENCRYPTION_NO_CIPHERS);
  uint16_t cipher = 0;
  while ((common & (1u << cipher)) == 0) ++cipher;

  Pkey pkey = ParsePublicKey(request->GetVariableBinaryView(VAR_KMCP_PUBLIC_KEY), format);
  if (!pkey || !UsableRsaKey(pkey.get()))
    return FailAnswer(answer, KMCP_ENCRYPTION_INVALID_PUBLIC_KEY);

  SecretBytes key(KMCP_SESSION_KEY_SIZE);
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1)
    return FailAnswer(answer, KMCP_ENCRYPTION_INTERNAL_ERROR);

  PkeyCtx pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
  if (!pctx || !InitOaep(pctx.get(), true))
    return FailAnswer(answer, KMCP_ENCRYPTION_INTERNAL_ERROR);
  size_t wrappedLength = 0;
  if (EVP_PKEY_encrypt(pctx.get(), nullptr, &wrappedLength, key.data(), key.size()) != 1)
    return FailAnswer(answer, KMCP_ENCRYPTION_INVALID_PUBLIC_KEY);
  std::vector<uint8_t> wrapped(wrappedLength);
  if (EVP_PKEY_encrypt(pctx.get(), wrapped.data(), &wrappedLength, key.data(), key.size()) != 1)
    return FailAnswer(answer, KMCP_ENCRYPTION_INVALID_PUBLIC_KEY);

  KMCPEncryptionContext *created =
      KMCPEncryptionContext::create(cipher, key.data(), key.size(), KmcpCryptoSide::Peer);
  if (created == nullptr) return FailAnswer(answer, KMCP_ENCRYPTION_INTERNAL_ERROR);

  answer->SetVariable(VAR_KMCP_KEY_RESULT, static_cast<uint32_t>(KMCP_ENCRYPTION_OK));
  answer->SetVariable(VAR_KMCP_CIPHER, cipher);
  answer->SetVariable(VAR_KMCP_KEY_LENGTH, static_cast<uint16_t>(KMCP_SESSION_KEY_SIZE));
  answer->SetVariable(VAR_KMCP_SESSION_KEY, wrapped.data(), static_cast<uint32_t>(wrappedLength));
  *ctx = created;
  return KMCP_ENCRYPTION_OK;
}
