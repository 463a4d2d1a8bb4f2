// USM keys, engine state and message protection over OpenSSL EVP.
#include "usm.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "kmsnmp/result.h"
#include "kmsnmp/security.h"

namespace kmsnmp {

namespace {

struct AuthAlgorithm {
  const char *digest;  // OpenSSL's name
  size_t digestLength;
  size_t macLength;  // the truncation the SNMP standards fix
};

// Indexed by SNMP_AuthProtocol.
constexpr AuthAlgorithm kAuth[] = {
    {nullptr, 0, 0},       // none
    {"MD5", 16, 12},       // HMAC-MD5-96
    {"SHA1", 20, 12},      // HMAC-SHA-96
    {"SHA2-224", 28, 16},  // usmHMAC128SHA224AuthProtocol
    {"SHA2-256", 32, 24},  // usmHMAC192SHA256AuthProtocol
    {"SHA2-384", 48, 32},  // usmHMAC256SHA384AuthProtocol
    {"SHA2-512", 64, 48},  // usmHMAC384SHA512AuthProtocol
};
constexpr uint32_t kAuthCount = sizeof(kAuth) / sizeof(kAuth[0]);

struct PrivAlgorithm {
  const char *cipher;
  size_t keyLength;
};

// Indexed by SNMP_PrivProtocol.
constexpr PrivAlgorithm kPriv[] = {
    {nullptr, 0}, {"DES-CBC", 8}, {"AES-128-CFB", 16}, {"AES-192-CFB", 24}, {"AES-256-CFB", 32},
};
constexpr uint32_t kPrivCount = sizeof(kPriv) / sizeof(kPriv[0]);

// Bytes of pass phrase repetitions hashed into a master key (RFC 3414 A.2).
constexpr size_t kPassphraseStream = 1048576;

// libkmsnmp's own OpenSSL library context with the algorithms fetched once.
// Made on first use, kept for the life of the process, shared read-only by
// every thread (fetched algorithms are reference-counted and immutable).
class Crypto {
 public:
  static const Crypto &get() {
    static const Crypto instance;
    return instance;
  }
  ~Crypto() {
    for (EVP_MD *md : md_) EVP_MD_free(md);
    for (EVP_CIPHER *c : cipher_) EVP_CIPHER_free(c);
    EVP_MAC_free(hmac_);
    if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
    if (default_ != nullptr) OSSL_PROVIDER_unload(default_);
    OSSL_LIB_CTX_free(lib_);
  }
  const EVP_MD *md(uint32_t auth) const { return auth < kAuthCount ? md_[auth] : nullptr; }
  const EVP_CIPHER *cipher(uint32_t priv) const {
    return priv < kPrivCount ? cipher_[priv] : nullptr;
  }
  EVP_MAC *hmac() const { return hmac_; }

 private:
  Crypto() {
    lib_ = OSSL_LIB_CTX_new();
    if (lib_ == nullptr) return;
    default_ = OSSL_PROVIDER_load(lib_, "default");
    // DES lives in the legacy provider; without it DES users cannot be set
    // up, everything else still works.
    legacy_ = OSSL_PROVIDER_load(lib_, "legacy");
    for (uint32_t i = 1; i < kAuthCount; i++) md_[i] = EVP_MD_fetch(lib_, kAuth[i].digest, nullptr);
    for (uint32_t i = 1; i < kPrivCount; i++)
      cipher_[i] = EVP_CIPHER_fetch(lib_, kPriv[i].cipher, nullptr);
    hmac_ = EVP_MAC_fetch(lib_, "HMAC", nullptr);
  }

  OSSL_LIB_CTX *lib_ = nullptr;
  OSSL_PROVIDER *default_ = nullptr;
  OSSL_PROVIDER *legacy_ = nullptr;
  EVP_MD *md_[kAuthCount] = {};
  EVP_CIPHER *cipher_[kPrivCount] = {};
  EVP_MAC *hmac_ = nullptr;
};

// Master key: the digest of kPassphraseStream bytes of the pass phrase
// repeated (RFC 3414 A.2.1; RFC 7860 uses the same with SHA-2).
bool PassphraseToKey(const EVP_MD *md, const char *pass, size_t passLength, uint8_t *key) {
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return false;
  uint8_t block[4096];
  bool ok = EVP_DigestInit_ex2(ctx, md, nullptr) == 1;
  size_t index = 0;
  for (size_t done = 0; ok && done < kPassphraseStream; done += sizeof(block)) {
    for (uint8_t &b : block) {
      b = static_cast<uint8_t>(pass[index]);
      if (++index == passLength) index = 0;
    }
    ok = EVP_DigestUpdate(ctx, block, sizeof(block)) == 1;
  }
  unsigned int length = 0;
  ok = ok && EVP_DigestFinal_ex(ctx, key, &length) == 1;
  OPENSSL_cleanse(block, sizeof(block));
  EVP_MD_CTX_free(ctx);
  return ok;
}

// Kul = H(Ku || engineID || Ku) (RFC 3414 A.2.2).
bool LocaliseKey(const EVP_MD *md, const uint8_t *master, size_t length, const uint8_t *engine,
                 size_t engineLength, uint8_t *out) {
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return false;
  unsigned int n = 0;
  bool ok = EVP_DigestInit_ex2(ctx, md, nullptr) == 1 &&
            EVP_DigestUpdate(ctx, master, length) == 1 &&
            EVP_DigestUpdate(ctx, engine, engineLength) == 1 &&
            EVP_DigestUpdate(ctx, master, length) == 1 && EVP_DigestFinal_ex(ctx, out, &n) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

void PutUInt32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

size_t TextLength(const char *text, size_t max, bool *tooLong) {
  if (text == nullptr) return 0;
  size_t n = strnlen(text, max + 1);
  *tooLong = n > max;
  return n;
}

}  // namespace

std::unique_ptr<Usm> Usm::create(const char *userName, uint32_t level, uint32_t authProtocol,
                                 const char *authPass, uint32_t privProtocol, const char *privPass,
                                 uint32_t *error) {
  *error = SNMP_ERR_SECURITY_SETUP;
  bool tooLong = false;
  size_t nameLength = TextLength(userName, SNMP_MAX_USER_NAME_LENGTH, &tooLong);
  if (tooLong || level < SNMP_SECURITY_NO_AUTH_NO_PRIV || level > SNMP_SECURITY_AUTH_PRIV)
    return nullptr;
  if (level == SNMP_SECURITY_NO_AUTH_NO_PRIV) {
    authProtocol = SNMP_AUTH_NONE;
    privProtocol = SNMP_PRIV_NONE;
  } else if (level == SNMP_SECURITY_AUTH_NO_PRIV) {
    privProtocol = SNMP_PRIV_NONE;
  }
  if (level >= SNMP_SECURITY_AUTH_NO_PRIV &&
      (authProtocol == SNMP_AUTH_NONE || authProtocol >= kAuthCount))
    return nullptr;
  if (level == SNMP_SECURITY_AUTH_PRIV &&
      (privProtocol == SNMP_PRIV_NONE || privProtocol >= kPrivCount))
    return nullptr;
  std::unique_ptr<Usm> usm(new (std::nothrow) Usm());
  if (!usm) return nullptr;
  usm->level_ = level;
  usm->authProtocol_ = authProtocol;
  usm->privProtocol_ = privProtocol;
  if (nameLength > 0) memcpy(usm->userName_, userName, nameLength);
  usm->userNameLength_ = nameLength;
  if (!usm->setUp(authPass, privPass)) return nullptr;
  *error = SNMP_ERR_SUCCESS;
  return usm;
}

bool Usm::setUp(const char *authPass, const char *privPass) {
  if (RAND_bytes(reinterpret_cast<uint8_t *>(&saltCounter_), sizeof(saltCounter_)) != 1)
    return false;
  if (authProtocol_ == SNMP_AUTH_NONE) return true;
  const Crypto &crypto = Crypto::get();
  const EVP_MD *md = crypto.md(authProtocol_);
  if (md == nullptr || crypto.hmac() == nullptr) return false;
  digestLength_ = kAuth[authProtocol_].digestLength;
  macLength_ = kAuth[authProtocol_].macLength;
  auto passOk = [](const char *pass, size_t *length) {
    bool tooLong = false;
    *length = TextLength(pass, SNMP_MAX_PASSPHRASE_LENGTH, &tooLong);
    return !tooLong && *length >= SNMP_MIN_PASSPHRASE_LENGTH;
  };
  size_t authLength, privLength;
  if (!passOk(authPass, &authLength) || !PassphraseToKey(md, authPass, authLength, authMaster_))
    return false;
  mac_ = EVP_MAC_CTX_new(crypto.hmac());
  if (mac_ == nullptr) return false;
  if (privProtocol_ == SNMP_PRIV_NONE) return true;
  if (crypto.cipher(privProtocol_) == nullptr) return false;  // e.g. no legacy provider for DES
  if (!passOk(privPass, &privLength) || !PassphraseToKey(md, privPass, privLength, privMaster_))
    return false;
  encrypt_ = EVP_CIPHER_CTX_new();
  decrypt_ = EVP_CIPHER_CTX_new();
  return encrypt_ != nullptr && decrypt_ != nullptr;
}

Usm::~Usm() {
  OPENSSL_cleanse(authMaster_, sizeof(authMaster_));
  OPENSSL_cleanse(privMaster_, sizeof(privMaster_));
  wipeLocalKeys();
  if (!scratch_.empty()) OPENSSL_cleanse(scratch_.data(), scratch_.size());
  EVP_MAC_CTX_free(mac_);
  EVP_CIPHER_CTX_free(encrypt_);
  EVP_CIPHER_CTX_free(decrypt_);
}

std::unique_ptr<Usm> Usm::cloneCredentials() const {
  std::unique_ptr<Usm> copy(new (std::nothrow) Usm());
  if (!copy) return nullptr;
  copy->level_ = level_;
  copy->authProtocol_ = authProtocol_;
  copy->privProtocol_ = privProtocol_;
  memcpy(copy->userName_, userName_, sizeof(userName_));
  copy->userNameLength_ = userNameLength_;
  memcpy(copy->contextName_, contextName_, sizeof(contextName_));
  copy->contextNameLength_ = contextNameLength_;
  memcpy(copy->authMaster_, authMaster_, sizeof(authMaster_));
  memcpy(copy->privMaster_, privMaster_, sizeof(privMaster_));
  copy->digestLength_ = digestLength_;
  copy->macLength_ = macLength_;
  if (RAND_bytes(reinterpret_cast<uint8_t *>(&copy->saltCounter_), sizeof(saltCounter_)) != 1)
    return nullptr;
  if (mac_ != nullptr && (copy->mac_ = EVP_MAC_CTX_new(Crypto::get().hmac())) == nullptr)
    return nullptr;
  if (encrypt_ != nullptr && ((copy->encrypt_ = EVP_CIPHER_CTX_new()) == nullptr ||
                              (copy->decrypt_ = EVP_CIPHER_CTX_new()) == nullptr)) {
    return nullptr;
  }
  return copy;
}

bool Usm::setContextName(const char *name) {
  bool tooLong = false;
  size_t n = TextLength(name, SNMP_MAX_CONTEXT_NAME_LENGTH, &tooLong);
  if (tooLong) return false;
  memset(contextName_, 0, sizeof(contextName_));
  if (n > 0) memcpy(contextName_, name, n);
  contextNameLength_ = n;
  return true;
}

void Usm::wipeLocalKeys() {
  OPENSSL_cleanse(privKey_, sizeof(privKey_));
  OPENSSL_cleanse(preIv_, sizeof(preIv_));
  privKeyLength_ = 0;
  localisedForLength_ = 0;
}

bool Usm::setEngine(const uint8_t *id, size_t length, uint32_t boots, uint32_t time) {
  if (id == nullptr || length == 0 || length > SNMP_MAX_ENGINE_ID_LENGTH) return false;
  memcpy(engineId_, id, length);
  engineIdLength_ = length;
  boots_ = boots;
  latestTime_ = time;
  latestAt_ = std::chrono::steady_clock::now();
  if (authProtocol_ == SNMP_AUTH_NONE) return true;
  if (localisedForLength_ == length && memcmp(localisedFor_, id, length) == 0) return true;
  if (!localise()) {
    forgetEngine();
    return false;
  }
  return true;
}

bool Usm::localise() {
  wipeLocalKeys();
  const Crypto &crypto = Crypto::get();
  const EVP_MD *md = crypto.md(authProtocol_);
  uint8_t key[kUsmMaxKey];
  bool ok = LocaliseKey(md, authMaster_, digestLength_, engineId_, engineIdLength_, key);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST,
                                       const_cast<char *>(kAuth[authProtocol_].digest), 0),
      OSSL_PARAM_construct_end()};
  ok = ok && EVP_MAC_init(mac_, key, digestLength_, params) == 1;
  if (ok && privProtocol_ != SNMP_PRIV_NONE) {
    ok = LocaliseKey(md, privMaster_, digestLength_, engineId_, engineIdLength_, privKey_);
    size_t have = digestLength_;
    size_t need = kPriv[privProtocol_].keyLength;
    // AES-192 and AES-256 with a digest shorter than the key: the localised
    // key is extended by the digest of what it holds so far, as common
    // agents do.
    while (ok && have < need) {
      ok = LocaliseKey(md, nullptr, 0, privKey_, have, privKey_ + have);  // H(key so far)
      have += digestLength_;
    }
    if (privProtocol_ == SNMP_PRIV_DES) memcpy(preIv_, privKey_ + 8, sizeof(preIv_));
    privKeyLength_ = need;
    const EVP_CIPHER *cipher = crypto.cipher(privProtocol_);
    ok = ok && EVP_CipherInit_ex2(encrypt_, cipher, privKey_, nullptr, 1, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(encrypt_, 0) == 1 &&
         EVP_CipherInit_ex2(decrypt_, cipher, privKey_, nullptr, 0, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(decrypt_, 0) == 1;
  }
  OPENSSL_cleanse(key, sizeof(key));
  if (!ok) {
    wipeLocalKeys();
    return false;
  }
  memcpy(localisedFor_, engineId_, engineIdLength_);
  localisedForLength_ = engineIdLength_;
  localisations_++;
  return true;
}

void Usm::forgetEngine() {
  engineIdLength_ = 0;
  boots_ = 0;
  latestTime_ = 0;
}

void Usm::noteEngineTime(uint32_t boots, uint32_t time) {
  if (boots > boots_ || (boots == boots_ && time > latestTime_)) {
    boots_ = boots;
    latestTime_ = time;
    latestAt_ = std::chrono::steady_clock::now();
  }
}

bool Usm::inTimeWindow(uint32_t boots, uint32_t time) const {
  if (boots >= kUsmMaxBoots) return false;
  if (boots < boots_) return false;
  return boots > boots_ || static_cast<uint64_t>(time) + kUsmTimeWindow >= latestTime_;
}

uint32_t Usm::engineTimeNow() const {
  auto elapsed =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - latestAt_)
          .count();
  uint64_t now =
      static_cast<uint64_t>(latestTime_) + static_cast<uint64_t>(std::max<int64_t>(0, elapsed));
  return static_cast<uint32_t>(std::min<uint64_t>(now, kUsmMaxBoots));
}

size_t Usm::cipherLength(size_t length) const {
  if (privProtocol_ == SNMP_PRIV_DES) return (length + 7) & ~static_cast<size_t>(7);
  return length;
}

bool Usm::sign(uint8_t *message, size_t length, size_t macOffset) const {
  if (mac_ == nullptr || localisedForLength_ == 0 || macOffset + macLength_ > length) return false;
  uint8_t digest[kUsmMaxKey];
  size_t n = 0;
  bool ok = EVP_MAC_init(mac_, nullptr, 0, nullptr) == 1 &&
            EVP_MAC_update(mac_, message, length) == 1 &&
            EVP_MAC_final(mac_, digest, &n, sizeof(digest)) == 1 && n >= macLength_;
  if (ok) memcpy(message + macOffset, digest, macLength_);
  return ok;
}

bool Usm::verify(const uint8_t *message, size_t length, size_t macOffset) const {
  if (mac_ == nullptr || localisedForLength_ == 0 || macOffset + macLength_ > length) return false;
  static const uint8_t kZeros[kUsmMaxMac] = {};
  uint8_t digest[kUsmMaxKey];
  size_t n = 0;
  size_t after = macOffset + macLength_;
  bool ok = EVP_MAC_init(mac_, nullptr, 0, nullptr) == 1 &&
            EVP_MAC_update(mac_, message, macOffset) == 1 &&
            EVP_MAC_update(mac_, kZeros, macLength_) == 1 &&
            EVP_MAC_update(mac_, message + after, length - after) == 1 &&
            EVP_MAC_final(mac_, digest, &n, sizeof(digest)) == 1 && n >= macLength_;
  return ok && CRYPTO_memcmp(digest, message + macOffset, macLength_) == 0;
}

namespace {

// The initialisation vector: AES (RFC 3826) boots, time and the salt; DES
// (RFC 3414 8.1.1.1) the pre-IV XOR the salt.
void MakeIv(uint32_t priv, const uint8_t *preIv, uint32_t boots, uint32_t time, const uint8_t *salt,
            uint8_t *iv) {
  if (priv == SNMP_PRIV_DES) {
    for (size_t i = 0; i < 8; i++) iv[i] = preIv[i] ^ salt[i];
  } else {
    PutUInt32(iv, boots);
    PutUInt32(iv + 4, time);
    memcpy(iv + 8, salt, kUsmSaltLength);
  }
}

}  // namespace

bool Usm::encrypt(uint8_t *data, size_t plainLength, uint32_t boots, uint32_t time,
                  uint8_t salt[kUsmSaltLength]) const {
  if (encrypt_ == nullptr || privKeyLength_ == 0) return false;
  uint64_t counter = saltCounter_++;
  if (privProtocol_ == SNMP_PRIV_DES) {
    PutUInt32(salt, boots);
    PutUInt32(salt + 4, static_cast<uint32_t>(counter));
  } else {
    PutUInt32(salt, static_cast<uint32_t>(counter >> 32));
    PutUInt32(salt + 4, static_cast<uint32_t>(counter));
  }
  size_t length = cipherLength(plainLength);
  if (length > plainLength) memset(data + plainLength, 0, length - plainLength);
  uint8_t iv[16];
  MakeIv(privProtocol_, preIv_, boots, time, salt, iv);
  int out = 0, tail = 0;
  return EVP_CipherInit_ex2(encrypt_, nullptr, nullptr, iv, -1, nullptr) == 1 &&
         EVP_CipherUpdate(encrypt_, data, &out, data, static_cast<int>(length)) == 1 &&
         EVP_CipherFinal_ex(encrypt_, data + out, &tail) == 1 &&
         static_cast<size_t>(out + tail) == length;
}

bool Usm::decrypt(const uint8_t *data, size_t length, uint32_t boots, uint32_t time,
                  const uint8_t salt[kUsmSaltLength], uint8_t *out) const {
  if (decrypt_ == nullptr || privKeyLength_ == 0) return false;
  if (privProtocol_ == SNMP_PRIV_DES && length % 8 != 0) return false;
  uint8_t iv[16];
  MakeIv(privProtocol_, preIv_, boots, time, salt, iv);
  int n = 0, tail = 0;
  return EVP_CipherInit_ex2(decrypt_, nullptr, nullptr, iv, -1, nullptr) == 1 &&
         EVP_CipherUpdate(decrypt_, out, &n, data, static_cast<int>(length)) == 1 &&
         EVP_CipherFinal_ex(decrypt_, out + n, &tail) == 1 &&
         static_cast<size_t>(n + tail) == length;
}

uint8_t *Usm::scratch(size_t size) const {
  if (scratch_.size() < size) {
    try {
      std::vector<uint8_t> bigger(size);
      if (!scratch_.empty()) OPENSSL_cleanse(scratch_.data(), scratch_.size());
      scratch_.swap(bigger);
    } catch (const std::bad_alloc &) {
      return nullptr;
    }
  }
  return scratch_.data();
}

}  // namespace kmsnmp
