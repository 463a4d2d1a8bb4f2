// Session encryption for KMCP: the key exchange that gives both ends a
// shared AES-256-GCM key, the per-session encryption context, and the
// functions that wrap an encoded message into an encrypted envelope and back.
// The wire layout is written down in docs/protocol.md, section "Encryption".
//
// Who calls what:
// - The server (requester) side builds the key request with
//   PrepareKeyRequestMsg, sends it, and hands the MC_SESSION_KEY answer to
//   SetupEncryptionContext, which yields its context.
// - The peer side (agent, ISC listener) answers a key request with
//   KMCPProcessKeyRequest, which yields the MC_SESSION_KEY answer and the
//   peer's context.
// - The key exchange functions are pure with respect to shared state and may
//   run on any thread.
//
// Thread safety of a context: CSCPEncryptMessage may be called from any
// number of sender threads at once (the context serialises them on its own
// lock, so every envelope gets a distinct counter). CSCPDecryptMessage keeps
// the replay window and must be called from one thread at a time (the
// session's receiver thread). Encryption and decryption of one context may
// run at the same time. The reference count may be changed from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kmbase/export.h"
#include "kmbase/kmcp.h"
#include "kmbase/refcount.h"

// OpenSSL's legacy RSA key type; only passed through to the key exchange.
typedef struct rsa_st RSA;

class CSCPMessage;

// Results of the key exchange. The numbers are shared with peers: the peer
// reports its own failure in VAR_KMCP_KEY_RESULT with the same values.
inline constexpr int KMCP_ENCRYPTION_OK = 0;
// The two ends have no cipher in common.
inline constexpr int KMCP_ENCRYPTION_NO_CIPHERS = 42;
// The server's key cannot be used: missing, not RSA, no private half on the
// server side, or unreadable by the peer.
inline constexpr int KMCP_ENCRYPTION_INVALID_PUBLIC_KEY = 43;
// The wrapped session key cannot be unwrapped or has the wrong length.
inline constexpr int KMCP_ENCRYPTION_INVALID_SESSION_KEY = 44;
// The message is not a well-formed key request / key answer (wrong code,
// missing or mistyped fields, unknown peer result).
inline constexpr int KMCP_ENCRYPTION_BAD_MESSAGE = 45;
// Local failure: null arguments, OpenSSL or memory failure.
inline constexpr int KMCP_ENCRYPTION_INTERNAL_ERROR = 46;

// Text for any of the results above ("Unknown encryption result" otherwise).
KMSRV_EXPORT const char *KMCPEncryptionResultText(int result);

// Ciphers, as bits of the "accepted ciphers" mask and as the chosen cipher's
// number (the bit's index).
inline constexpr uint16_t KMCP_CIPHER_AES_256_GCM = 0;
inline constexpr uint32_t KMCP_CIPHER_MASK_AES_256_GCM = 1u << KMCP_CIPHER_AES_256_GCM;
// Every cipher this build can run.
inline constexpr uint32_t KMCP_SUPPORTED_CIPHERS = KMCP_CIPHER_MASK_AES_256_GCM;
inline constexpr size_t KMCP_SESSION_KEY_SIZE = 32;  // AES-256

// Field ids of the key exchange. They lie in the range the base runtime keeps
// for itself (0x7F000100-0x7F0001FF), clear of every application field.
inline constexpr uint32_t VAR_KMCP_SUPPORTED_CIPHERS = 0x7F000101;  // 32-bit mask (request)
inline constexpr uint32_t VAR_KMCP_PUBLIC_KEY = 0x7F000102;         // binary DER (request)
inline constexpr uint32_t VAR_KMCP_PUBLIC_KEY_FORMAT = 0x7F000103;  // 16-bit (request)
inline constexpr uint32_t VAR_KMCP_CIPHER = 0x7F000104;             // 16-bit (answer)
inline constexpr uint32_t VAR_KMCP_SESSION_KEY = 0x7F000105;        // binary (answer)
inline constexpr uint32_t VAR_KMCP_KEY_LENGTH = 0x7F000106;         // 16-bit (answer)
inline constexpr uint32_t VAR_KMCP_KEY_RESULT = 0x7F000107;         // 32-bit (answer)

// Public key encodings in VAR_KMCP_PUBLIC_KEY_FORMAT.
inline constexpr uint16_t KMCP_KEY_FORMAT_PKCS1 = 0;  // DER RSAPublicKey
inline constexpr uint16_t KMCP_KEY_FORMAT_X509 = 1;   // DER SubjectPublicKeyInfo

// Limits on the key exchange, so a peer cannot make us parse or compute
// without bound.
// Largest DER public key accepted: an RSA key of KMCP_MAX_RSA_BITS in X.509
// form is about 2.1 KB.
inline constexpr size_t KMCP_MAX_PUBLIC_KEY_SIZE = 4096;
// Weakest server key accepted: below 2048 bits RSA no longer protects a
// session key.
inline constexpr int KMCP_MIN_RSA_BITS = 2048;
// Strongest server key accepted: OpenSSL's own ceiling; beyond it a key only
// costs time.
inline constexpr int KMCP_MAX_RSA_BITS = 16384;
// Largest public exponent accepted, 2^32 + 1. Key generators pick 3, 17 or
// 65537; the cost of the peer's wrapping grows with the exponent's length,
// and a key request with a 3071-bit exponent would cost a peer as much as a
// private-key operation for every 840 bytes anyone sends it. Checked before
// any exponentiation.
inline constexpr uint64_t KMCP_MAX_RSA_EXPONENT = (uint64_t{1} << 32) + 1;

// Encrypted envelope: 8-byte header, 8-byte counter, ciphertext, 16-byte tag,
// then zero padding to KMCP_ALIGNMENT.
inline constexpr size_t KMCP_ENVELOPE_HEADER_SIZE = 16;  // header + counter
inline constexpr size_t KMCP_ENVELOPE_TAG_SIZE = 16;
inline constexpr size_t KMCP_ENVELOPE_OVERHEAD = KMCP_ENVELOPE_HEADER_SIZE + KMCP_ENVELOPE_TAG_SIZE;
// Envelope size for a plaintext of `plainSize` bytes.
constexpr size_t KMCPEncryptedSize(size_t plainSize) {
  return (plainSize + KMCP_ENVELOPE_OVERHEAD + KMCP_ALIGNMENT - 1) / KMCP_ALIGNMENT *
         KMCP_ALIGNMENT;
}
// Largest envelope a peer may send: that of the largest message. A receiver
// needs no buffer larger than this and refuses any size field above it.
inline constexpr uint32_t KMCP_MAX_ENCRYPTED_SIZE =
    static_cast<uint32_t>(KMCPEncryptedSize(KMCP_MAX_MESSAGE_SIZE));

// Which end of the session a context belongs to. Each end encrypts with its
// own direction byte, so the two directions never share a nonce.
enum class KmcpCryptoSide : uint8_t {
  Server = 1,  // requester of the key; sends direction 1, accepts direction 2
  Peer = 2,    // agent or ISC listener; sends direction 2, accepts direction 1
};

// How many messages behind the newest one a message may arrive and still be
// accepted (once). Bounded so the replay state stays one 64-bit word.
inline constexpr uint32_t KMCP_REPLAY_WINDOW = 64;

class KMSRV_EXPORT KMCPEncryptionContext : public RefCountObject {
 public:
  // A context for `side` keyed with `key` (KMCP_SESSION_KEY_SIZE bytes for
  // AES-256-GCM). Returns null for an unknown cipher, a wrong key length or
  // an OpenSSL failure. The caller holds the first reference. The key is
  // copied into the cipher state; the caller should cleanse its copy.
  static KMCPEncryptionContext *create(uint16_t cipher, const uint8_t *key, size_t keyLength,
                                       KmcpCryptoSide side);

  uint16_t getCipher() const { return cipher_; }
  KmcpCryptoSide getSide() const { return side_; }

  // Encrypts `length` bytes into a new envelope (malloc'd; free()).
  // Any thread. Null on failure (too large, counter exhausted, OpenSSL).
  KMCP_ENCRYPTED_MESSAGE *encrypt(const uint8_t *plain, size_t length);
  // The same into out, which must hold KMCPEncryptedSize(length) bytes: the
  // envelope's size, or 0 on failure (then out holds nothing usable). Lets
  // a sender of many messages reuse one buffer. Any thread.
  size_t encryptInto(const uint8_t *plain, size_t length, uint8_t *out, size_t outSize);
  // Decrypts an envelope of `envelopeSize` bytes (which must equal its size
  // field) into out. Receiver thread only. False for anything not accepted:
  // malformed, wrong direction, replayed, too old, forged, or too large for
  // out; the context stays usable and its window unchanged then.
  bool decrypt(const uint8_t *envelope, size_t envelopeSize, uint8_t *out, size_t outSize,
               size_t *outLength);

 protected:
  ~KMCPEncryptionContext() override;

 private:
  struct Impl;
  KMCPEncryptionContext(uint16_t cipher, KmcpCryptoSide side, std::unique_ptr<Impl> impl);

  const uint16_t cipher_;
  const KmcpCryptoSide side_;
  const std::unique_ptr<Impl> impl_;  // cipher states, counters, window, lock
};

// Encrypts a wire-form message (its length is its header's size field).
// Returns a malloc'd envelope (release with free()) whose second 32-bit word
// is its total size, big-endian; null on failure. Any thread.
KMSRV_EXPORT KMCP_ENCRYPTED_MESSAGE *CSCPEncryptMessage(KMCPEncryptionContext *ctx,
                                                        const KMCP_MESSAGE *msg);

// Decrypts a received envelope (the caller guarantees as many readable bytes
// as its size field says) into out. On success *outLen is the plaintext
// length (a wire-form message the caller then decodes). False when the
// envelope is rejected; the context stays usable. Receiver thread only.
KMSRV_EXPORT bool CSCPDecryptMessage(KMCPEncryptionContext *ctx, const KMCP_ENCRYPTED_MESSAGE *msg,
                                     uint8_t *out, size_t outSize, size_t *outLen);

// Server side, step 1: turns msg into MC_REQUEST_SESSION_KEY carrying the
// server's public key (X.509 SubjectPublicKeyInfo when useX509Format, else
// PKCS#1) and the ciphers this build accepts. The caller sets the request id
// afterwards. Returns false when the key cannot be encoded (then the message
// carries no key and a peer would answer KMCP_ENCRYPTION_BAD_MESSAGE).
KMSRV_EXPORT bool PrepareKeyRequestMsg(CSCPMessage *msg, RSA *serverKey, bool useX509Format);

// Server side, step 2: checks the peer's MC_SESSION_KEY answer, unwraps the
// session key with the server's private key and creates the server-side
// context. Returns a KMCP_ENCRYPTION_* result.
// - *ctx receives the new context (one reference, owned by the caller) only
//   on success; otherwise it is left as it was. A context already stored in
//   *ctx is overwritten, not released: the caller releases it beforehand.
// - response, when not null, is set to null first and then to a new
//   MC_REQUEST_COMPLETED (id of the answer, VAR_RCC = the result) the caller
//   may send and must delete.
// - version is the session's protocol version, used for the response.
KMSRV_EXPORT int SetupEncryptionContext(CSCPMessage *reply, KMCPEncryptionContext **ctx,
                                        CSCPMessage **response, RSA *serverKey, int version);

// Peer side: answers a received MC_REQUEST_SESSION_KEY. Picks the first
// cipher in both the request's mask and acceptedCiphers (limited to
// KMCP_SUPPORTED_CIPHERS), makes a random key, wraps it with RSA-OAEP
// (SHA-256) under the request's public key, and fills `answer` as
// MC_SESSION_KEY with the request's id. The answer is filled on failure too
// (VAR_KMCP_KEY_RESULT = the result, no key) so the server learns why.
// On success *ctx (set to null first) receives the peer-side context.
// Returns KMCP_ENCRYPTION_OK, _NO_CIPHERS, _INVALID_PUBLIC_KEY, _BAD_MESSAGE
// or _INTERNAL_ERROR.
KMSRV_EXPORT int KMCPProcessKeyRequest(const CSCPMessage *request, uint32_t acceptedCiphers,
                                       CSCPMessage *answer, KMCPEncryptionContext **ctx);
