// The session cipher: AES-256-GCM envelopes with a per-direction counter
// nonce and a replay window on the receiving side.
//
// Envelope (all integers big-endian; see docs/protocol.md, "Encryption"):
//   0  u16 code = MC_ENCRYPTED_MESSAGE
//   2  u8  direction of the sender (KmcpCryptoSide)
//   3  u8  padding byte count (0..7)
//   4  u32 total size, multiple of 8
//   8  u64 counter
//  16  ciphertext (as long as the plaintext)
//   .. 16-byte tag
//   .. zero padding
// Bytes 0..15 are authenticated as additional data; the nonce is the
// direction byte, three zero bytes and the counter.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kmbase/byte_order.h"
#include "kmbase/crypto.h"
#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"

namespace {

constexpr size_t kNonceSize = 12;

void MakeNonce(uint8_t *nonce, uint8_t direction, uint64_t counter) {
  nonce[0] = direction;
  nonce[1] = nonce[2] = nonce[3] = 0;
  KmStoreBe64(nonce + 4, counter);
}

uint8_t Opposite(KmcpCryptoSide side) {
  return static_cast<uint8_t>(side == KmcpCryptoSide::Server ? KmcpCryptoSide::Peer
                                                             : KmcpCryptoSide::Server);
}

// Sliding window over the newest KMCP_REPLAY_WINDOW counters seen. Bit i of
// `seen` stands for counter `newest - i`.
class ReplayWindow {
 public:
  bool acceptable(uint64_t counter) const {
    if (!any_ || counter > newest_) return true;
    const uint64_t behind = newest_ - counter;
    if (behind >= KMCP_REPLAY_WINDOW) return false;
    return (seen_ & (uint64_t{1} << behind)) == 0;
  }
  // Only after acceptable(counter) and a verified tag.
  void mark(uint64_t counter) {
    if (!any_) {
      any_ = true;
      newest_ = counter;
      seen_ = 1;
    } else if (counter > newest_) {
      const uint64_t ahead = counter - newest_;
      seen_ = ahead >= KMCP_REPLAY_WINDOW ? 1 : (seen_ << ahead) | 1;
      newest_ = counter;
    } else {
      seen_ |= uint64_t{1} << (newest_ - counter);
    }
  }

 private:
  static_assert(KMCP_REPLAY_WINDOW == 64, "the window is one 64-bit word");
  bool any_ = false;
  uint64_t newest_ = 0;
  uint64_t seen_ = 0;
};

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

}  // namespace

struct KMCPEncryptionContext::Impl {
  // Set once at construction.
  uint8_t sendDirection = 0;
  uint8_t receiveDirection = 0;

  // Sending: any sender thread, under sendLock. The cipher state is keyed
  // once; each message only sets a fresh nonce.
  KmPlainMutex sendLock;
  CipherCtx sendCipher KM_GUARDED_BY(sendLock);
  uint64_t nextCounter KM_GUARDED_BY(sendLock) = 0;

  // Receiving: the receiver thread; the lock only makes a misuse from two
  // threads safe, it is never contended in a correct program.
  KmPlainMutex receiveLock;
  CipherCtx receiveCipher KM_GUARDED_BY(receiveLock);
  ReplayWindow window KM_GUARDED_BY(receiveLock);
};

KMCPEncryptionContext::KMCPEncryptionContext(uint16_t cipher, KmcpCryptoSide side,
                                             std::unique_ptr<Impl> impl)
    : cipher_(cipher), side_(side), impl_(std::move(impl)) {}

// EVP_CIPHER_CTX_free cleanses the expanded keys.
KMCPEncryptionContext::~KMCPEncryptionContext() = default;

KMCPEncryptionContext *KMCPEncryptionContext::create(uint16_t cipher, const uint8_t *key,
                                                     size_t keyLength, KmcpCryptoSide side) {
  if (cipher != KMCP_CIPHER_AES_256_GCM || key == nullptr || keyLength != KMCP_SESSION_KEY_SIZE)
    return nullptr;
  if (side != KmcpCryptoSide::Server && side != KmcpCryptoSide::Peer) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->sendDirection = static_cast<uint8_t>(side);
  impl->receiveDirection = Opposite(side);
  CipherCtx enc(EVP_CIPHER_CTX_new());
  CipherCtx dec(EVP_CIPHER_CTX_new());
  if (!enc || !dec) return nullptr;
  if (EVP_EncryptInit_ex(enc.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(enc.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) != 1 ||
      EVP_EncryptInit_ex(enc.get(), nullptr, nullptr, key, nullptr) != 1)
    return nullptr;
  if (EVP_DecryptInit_ex(dec.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(dec.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) != 1 ||
      EVP_DecryptInit_ex(dec.get(), nullptr, nullptr, key, nullptr) != 1)
    return nullptr;
  {
    // Not shared yet; the locks only satisfy the analysis.
    KmPlainLockGuard s(impl->sendLock);
    impl->sendCipher = std::move(enc);
  }
  {
    KmPlainLockGuard r(impl->receiveLock);
    impl->receiveCipher = std::move(dec);
  }
  return new KMCPEncryptionContext(cipher, side, std::move(impl));
}

KMCP_ENCRYPTED_MESSAGE *KMCPEncryptionContext::encrypt(const uint8_t *plain, size_t length) {
  if (length > KMCP_MAX_MESSAGE_SIZE) return nullptr;
  const size_t total = KMCPEncryptedSize(length);
  auto *out = static_cast<uint8_t *>(malloc(total));
  if (out == nullptr) return nullptr;
  if (encryptInto(plain, length, out, total) == 0) {
    free(out);
    return nullptr;
  }
  return reinterpret_cast<KMCP_ENCRYPTED_MESSAGE *>(out);
}

size_t KMCPEncryptionContext::encryptInto(const uint8_t *plain, size_t length, uint8_t *out,
                                          size_t outSize) {
  if (length > KMCP_MAX_MESSAGE_SIZE || (plain == nullptr && length != 0) || out == nullptr)
    return 0;
  const size_t total = KMCPEncryptedSize(length);
  if (outSize < total) return 0;
  const size_t padding = total - length - KMCP_ENVELOPE_OVERHEAD;
  KmStoreBe16(out, MC_ENCRYPTED_MESSAGE);
  out[2] = impl_->sendDirection;
  out[3] = static_cast<uint8_t>(padding);
  KmStoreBe32(out + 4, static_cast<uint32_t>(total));
  memset(out + total - padding, 0, padding);
  uint8_t *cipherText = out + KMCP_ENVELOPE_HEADER_SIZE;
  uint8_t *tag = cipherText + length;

  bool ok = false;
  {
    KmPlainLockGuard guard(impl_->sendLock);
    // Never reuse a nonce: a context whose counter ran out stays unusable.
    if (impl_->nextCounter != UINT64_MAX) {
      const uint64_t counter = impl_->nextCounter++;
      KmStoreBe64(out + 8, counter);
      uint8_t nonce[kNonceSize];
      uint8_t finalBlock[16];  // GCM writes nothing here
      MakeNonce(nonce, impl_->sendDirection, counter);
      EVP_CIPHER_CTX *c = impl_->sendCipher.get();
      int n = 0;
      ok = EVP_EncryptInit_ex(c, nullptr, nullptr, nullptr, nonce) == 1 &&
           EVP_EncryptUpdate(c, nullptr, &n, out, KMCP_ENVELOPE_HEADER_SIZE) == 1 &&
           (length == 0 ||
            EVP_EncryptUpdate(c, cipherText, &n, plain, static_cast<int>(length)) == 1) &&
           EVP_EncryptFinal_ex(c, finalBlock, &n) == 1 &&
           EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, KMCP_ENVELOPE_TAG_SIZE, tag) == 1;
    }
  }
  return ok ? total : 0;
}

bool KMCPEncryptionContext::decrypt(const uint8_t *in, size_t size, uint8_t *out, size_t outSize,
                                    size_t *outLength) {
  if (outLength != nullptr) *outLength = 0;
  if (in == nullptr || size < KMCP_ENVELOPE_OVERHEAD || size > KMCP_MAX_ENCRYPTED_SIZE ||
      size % KMCP_ALIGNMENT != 0)
    return false;
  if (KmLoadBe16(in) != MC_ENCRYPTED_MESSAGE || KmLoadBe32(in + 4) != size ||
      in[2] != impl_->receiveDirection)
    return false;
  const size_t padding = in[3];
  if (padding >= KMCP_ALIGNMENT || size - KMCP_ENVELOPE_OVERHEAD < padding) return false;
  const size_t length = size - KMCP_ENVELOPE_OVERHEAD - padding;
  if (length > KMCP_MAX_MESSAGE_SIZE || length > outSize || (out == nullptr && length != 0))
    return false;
  for (size_t i = size - padding; i < size; ++i)
    if (in[i] != 0) return false;
  const uint64_t counter = KmLoadBe64(in + 8);
  const uint8_t *cipherText = in + KMCP_ENVELOPE_HEADER_SIZE;
  // OpenSSL wants a writable tag buffer.
  uint8_t tag[KMCP_ENVELOPE_TAG_SIZE];
  memcpy(tag, cipherText + length, sizeof tag);

  KmPlainLockGuard guard(impl_->receiveLock);
  if (!impl_->window.acceptable(counter)) return false;
  uint8_t nonce[kNonceSize];
  uint8_t finalBlock[16];  // GCM writes nothing here
  MakeNonce(nonce, impl_->receiveDirection, counter);
  EVP_CIPHER_CTX *c = impl_->receiveCipher.get();
  int n = 0;
  const bool ok =
      EVP_DecryptInit_ex(c, nullptr, nullptr, nullptr, nonce) == 1 &&
      EVP_DecryptUpdate(c, nullptr, &n, in, KMCP_ENVELOPE_HEADER_SIZE) == 1 &&
      (length == 0 || EVP_DecryptUpdate(c, out, &n, cipherText, static_cast<int>(length)) == 1) &&
      EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, KMCP_ENVELOPE_TAG_SIZE, tag) == 1 &&
      EVP_DecryptFinal_ex(c, finalBlock, &n) == 1;
  if (!ok) {
    // Never hand out plaintext that failed authentication.
    if (length != 0) OPENSSL_cleanse(out, length);
    return false;
  }
  impl_->window.mark(counter);
  if (outLength != nullptr) *outLength = length;
  return true;
}

KMCP_ENCRYPTED_MESSAGE *CSCPEncryptMessage(KMCPEncryptionContext *ctx, const KMCP_MESSAGE *msg) {
  if (ctx == nullptr || msg == nullptr) return nullptr;
  const auto *bytes = reinterpret_cast<const uint8_t *>(msg);
  const uint32_t size = KmLoadBe32(bytes + offsetof(KMCP_MESSAGE, size));
  if (size < KMCP_HEADER_SIZE || size > KMCP_MAX_MESSAGE_SIZE) return nullptr;
  return ctx->encrypt(bytes, size);
}

bool CSCPDecryptMessage(KMCPEncryptionContext *ctx, const KMCP_ENCRYPTED_MESSAGE *msg,
                        uint8_t *out, size_t outSize, size_t *outLen) {
  if (outLen != nullptr) *outLen = 0;
  if (ctx == nullptr || msg == nullptr) return false;
  // The envelope may lie unaligned in a read buffer: read it as bytes only.
  const auto *bytes = reinterpret_cast<const uint8_t *>(msg);
  const uint32_t size = KmLoadBe32(bytes + offsetof(KMCP_ENCRYPTED_MESSAGE, size));
  return ctx->decrypt(bytes, size, out, outSize, outLen);
}
