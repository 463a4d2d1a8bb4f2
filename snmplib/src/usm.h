// The user-based security model (USM) of SNMPv3 behind SNMP_SecurityContext:
// keys made from the pass phrases, their localisation to one authoritative
// engine, what is known about that engine (ID, boots, time), and the message
// protection itself (HMAC digests, AES-CFB and DES-CBC privacy).
//
// All cryptography goes through OpenSSL's EVP interfaces, fetched from one
// library context of libkmsnmp's own (default and legacy providers; DES is
// a legacy algorithm), so the host's OpenSSL configuration is not touched.
//
// Secrets: pass phrases are read once, turned into master keys and never
// kept; master and localised keys live only here and are wiped
// (OPENSSL_cleanse) when replaced or destroyed. Nothing here logs.
//
// Thread safety: a Usm belongs to the security context that owns it, and so
// to the transport that owns that context: one request at a time. The
// digest and cipher contexts and the salt counter change on every message,
// so not even encoding may run on two threads at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kmsnmp/constants.h"

typedef struct evp_mac_ctx_st EVP_MAC_CTX;
typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace kmsnmp {

// Longest key material any protocol needs (SHA-512 digest, AES-256 key).
inline constexpr size_t kUsmMaxKey = 64;
// Longest authentication parameter (HMAC-SHA-512 truncated to 48 octets).
inline constexpr size_t kUsmMaxMac = 48;
// Length of the privacy parameter (the salt) of every privacy protocol.
inline constexpr size_t kUsmSaltLength = 8;
// snmpEngineBoots and snmpEngineTime run from 0 to 2^31 - 1; boots at its
// maximum means the engine must be reconfigured: no message is in time.
inline constexpr uint32_t kUsmMaxBoots = 0x7FFFFFFF;
// RFC 3414's time window: a message more than 150 s older than the latest
// one from the same engine is a replay.
inline constexpr uint32_t kUsmTimeWindow = 150;

class Usm {
 public:
  // Builds the keys: each pass phrase (of passLength bytes) through the
  // authentication protocol's digest over 1 MiB of its repetitions. Returns
  // null with *error a result code when the settings do not make a usable
  // user (SNMP_ERR_SECURITY_SETUP).
  static std::unique_ptr<Usm> create(const char *userName, uint32_t level, uint32_t authProtocol,
                                     const char *authPass, uint32_t privProtocol,
                                     const char *privPass, uint32_t *error);
  ~Usm();
  Usm(const Usm &) = delete;
  Usm &operator=(const Usm &) = delete;

  // The same user with its master keys, knowing no engine yet.
  std::unique_ptr<Usm> cloneCredentials() const;

  uint32_t level() const { return level_; }
  uint32_t authProtocol() const { return authProtocol_; }
  uint32_t privProtocol() const { return privProtocol_; }
  const uint8_t *userName() const { return userName_; }
  size_t userNameLength() const { return userNameLength_; }
  const char *contextName() const { return contextName_; }
  size_t contextNameLength() const { return contextNameLength_; }
  bool setContextName(const char *name);

  // --- the authoritative engine --------------------------------------------
  bool engineKnown() const { return engineIdLength_ > 0; }
  const uint8_t *engineId() const { return engineId_; }
  size_t engineIdLength() const { return engineIdLength_; }
  // Takes the engine's ID (1 to SNMP_MAX_ENGINE_ID_LENGTH bytes), boots and
  // time. The keys are localised for it unless it is the engine they are
  // already localised for: a second call for the same engine derives
  // nothing. False for an ID of a wrong length.
  bool setEngine(const uint8_t *id, size_t length, uint32_t boots, uint32_t time);
  void forgetEngine();
  // Number of key localisations done so far (tests check the cache).
  uint32_t localisations() const { return localisations_; }
  // Takes boots and time from an authenticated message of the engine when
  // they are later than what is known (RFC 3414, 3.2 step 7b).
  void noteEngineTime(uint32_t boots, uint32_t time);
  // Whether an authenticated message with these values lies in the time
  // window: not at the boots maximum, not of an earlier boot, and not more
  // than kUsmTimeWindow seconds behind the latest time seen.
  bool inTimeWindow(uint32_t boots, uint32_t time) const;
  uint32_t engineBoots() const { return boots_; }
  // The engine's time now, from the latest time seen and the seconds since.
  uint32_t engineTimeNow() const;

  // --- message protection ----------------------------------------------------
  // Octets of the authentication parameter (0 without authentication).
  size_t macLength() const { return macLength_; }
  // Encrypted size of a plaintext of `length` bytes (DES pads to 8).
  size_t cipherLength(size_t length) const;
  // Writes the digest of message[0, length) into message + macOffset; the
  // macLength() bytes there must be zero while it is computed.
  bool sign(uint8_t *message, size_t length, size_t macOffset) const;
  // Checks the digest at message + macOffset in constant time, computing it
  // as if those bytes were zero.
  bool verify(const uint8_t *message, size_t length, size_t macOffset) const;
  // Encrypts data[0, cipherLength(plainLength)) in place (bytes past the
  // plaintext are padding) with a fresh salt, written to `salt`, for the
  // engine's boots and time.
  bool encrypt(uint8_t *data, size_t plainLength, uint32_t boots, uint32_t time,
               uint8_t salt[kUsmSaltLength]) const;
  // Decrypts `length` bytes into out (room for length bytes).
  bool decrypt(const uint8_t *data, size_t length, uint32_t boots, uint32_t time,
               const uint8_t salt[kUsmSaltLength], uint8_t *out) const;
  // A buffer for decrypted scoped PDUs, reused across messages and wiped
  // with the Usm; grown to `size` bytes. Null when that fails.
  uint8_t *scratch(size_t size) const;

 private:
  Usm() = default;
  bool setUp(const char *authPass, const char *privPass);
  bool localise();
  void wipeLocalKeys();

  uint32_t level_ = 1;
  uint32_t authProtocol_ = 0;
  uint32_t privProtocol_ = 0;
  uint8_t userName_[SNMP_MAX_USER_NAME_LENGTH] = {};
  size_t userNameLength_ = 0;
  char contextName_[SNMP_MAX_CONTEXT_NAME_LENGTH + 1] = {};
  size_t contextNameLength_ = 0;

  // Master keys from the pass phrases (secret).
  uint8_t authMaster_[kUsmMaxKey] = {};
  uint8_t privMaster_[kUsmMaxKey] = {};
  size_t digestLength_ = 0;
  size_t macLength_ = 0;

  // The engine and the keys localised for it (secret).
  uint8_t engineId_[SNMP_MAX_ENGINE_ID_LENGTH] = {};
  size_t engineIdLength_ = 0;
  uint8_t localisedFor_[SNMP_MAX_ENGINE_ID_LENGTH] = {};
  size_t localisedForLength_ = 0;
  uint8_t privKey_[2 * kUsmMaxKey] = {};  // extended for AES-192/256 when the digest is short
  size_t privKeyLength_ = 0;
  uint8_t preIv_[8] = {};  // DES: the second half of the localised privacy key
  uint32_t localisations_ = 0;
  uint32_t boots_ = 0;
  uint32_t latestTime_ = 0;
  std::chrono::steady_clock::time_point latestAt_{};

  // Per-message state (see the thread rule above).
  EVP_MAC_CTX *mac_ = nullptr;  // keyed with the localised authentication key
  // Keyed with the localised privacy key, one per direction; every message
  // only sets its IV.
  EVP_CIPHER_CTX *encrypt_ = nullptr;
  EVP_CIPHER_CTX *decrypt_ = nullptr;
  mutable uint64_t saltCounter_ = 0;  // starts random
  mutable std::vector<uint8_t> scratch_;
};

}  // namespace kmsnmp
