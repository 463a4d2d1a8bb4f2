// SNMP_SecurityContext: the credentials a message is encoded and checked
// with. Either the community of SNMPv1 and SNMPv2c, or an SNMPv3 user of
// the user-based security model (USM): user name, security level,
// authentication and privacy protocols with their keys, and a context name.
//
// A USM context also keeps what its transport learns about the agent's
// engine: the engine ID (found by discovery), its boots and time (kept in
// step from authenticated answers) and the keys localised for that engine.
// SNMP_Transport::doRequest maintains all of it; callers never need to. A
// second request to the same engine derives no key again.
//
// Secrets: the community, the keys and everything derived from the pass
// phrases are wiped when the context is destroyed or changed; pass phrases
// are read once in the constructor (turned into keys) and never kept. No
// getter returns a key.
//
// Ownership and threads: a context is a value owned by whoever created it;
// a transport owns the one given to setSecurityContext. A community context
// may be shared between threads for reading. A USM context changes with every
// message it protects (salt, digest and cipher state) and with what it
// learns about the engine, so it belongs to one thread at a time: the thread
// of its transport's current request. A copy takes the credentials and the
// keys made from the pass phrases, not the engine: the copy discovers its
// own engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kmbase/export.h"
#include "kmsnmp/constants.h"

// Security models (numbers as SNMP's architecture assigns them).
inline constexpr uint32_t SNMP_SECURITY_MODEL_V1 = 1;
inline constexpr uint32_t SNMP_SECURITY_MODEL_V2C = 2;
inline constexpr uint32_t SNMP_SECURITY_MODEL_USM = 3;

// USM security levels.
enum SNMP_SecurityLevel : uint32_t {
  SNMP_SECURITY_NO_AUTH_NO_PRIV = 1,
  SNMP_SECURITY_AUTH_NO_PRIV = 2,
  SNMP_SECURITY_AUTH_PRIV = 3,
};

// Authentication protocols: HMAC with the digest named, truncated as the
// SNMP standards fix (MD5 and SHA-1 to 12 octets, SHA-224 to 16, SHA-256 to
// 24, SHA-384 to 32, SHA-512 to 48).
enum SNMP_AuthProtocol : uint32_t {
  SNMP_AUTH_NONE = 0,
  SNMP_AUTH_MD5 = 1,
  SNMP_AUTH_SHA1 = 2,
  SNMP_AUTH_SHA224 = 3,
  SNMP_AUTH_SHA256 = 4,
  SNMP_AUTH_SHA384 = 5,
  SNMP_AUTH_SHA512 = 6,
};

// Privacy protocols: DES-CBC, AES-CFB with 128, 192 or 256-bit keys. For
// AES-192 and AES-256 a localised key shorter than the cipher's key is
// extended the way common agents do (by the digest of the key so far).
enum SNMP_PrivProtocol : uint32_t {
  SNMP_PRIV_NONE = 0,
  SNMP_PRIV_DES = 1,
  SNMP_PRIV_AES128 = 2,
  SNMP_PRIV_AES192 = 3,
  SNMP_PRIV_AES256 = 4,
};

namespace kmsnmp {
class Usm;
}

class KMSRV_EXPORT SNMP_SecurityContext {
 public:
  // Community model with an empty community.
  SNMP_SecurityContext();
  // Community model; the text is copied and cut to SNMP_MAX_COMMUNITY_LENGTH
  // bytes. Null gives the empty community.
  explicit SNMP_SecurityContext(const char *community);
  // A USM user. The level decides which protocols count: noAuthNoPriv
  // ignores both, authNoPriv the privacy protocol. Pass phrases (terminated
  // text, SNMP_MIN_PASSPHRASE_LENGTH to SNMP_MAX_PASSPHRASE_LENGTH bytes)
  // are only read here: the caller wipes its own copies. Making the keys
  // takes a few milliseconds (1 MiB of digest per pass phrase). Settings that
  // make no usable user (a name longer than SNMP_MAX_USER_NAME_LENGTH, an
  // unknown level or protocol, a missing or short pass phrase, a cipher the
  // system's OpenSSL lacks) leave a context whose getSetupError() says
  // SNMP_ERR_SECURITY_SETUP and with which every request fails so.
  SNMP_SecurityContext(const char *userName, uint32_t securityLevel, uint32_t authProtocol,
                       const char *authPassphrase, uint32_t privProtocol,
                       const char *privPassphrase);
  SNMP_SecurityContext(const SNMP_SecurityContext &other);
  SNMP_SecurityContext &operator=(const SNMP_SecurityContext &other);
  ~SNMP_SecurityContext();

  uint32_t getSecurityModel() const { return securityModel_; }
  // SNMP_ERR_SUCCESS, or why a USM context cannot be used.
  uint32_t getSetupError() const { return setupError_; }

  // Terminated community text; its length in bytes.
  const char *getCommunity() const { return community_; }
  size_t getCommunityLength() const { return communityLength_; }
  // False (and no change) when longer than SNMP_MAX_COMMUNITY_LENGTH.
  bool setCommunity(const char *community);
  bool setCommunity(const uint8_t *bytes, size_t length);

  // USM: the user's settings (0 / empty for a community context).
  uint32_t getSecurityLevel() const;
  uint32_t getAuthProtocol() const;
  uint32_t getPrivProtocol() const;
  // The user name (not terminated) and its length.
  const uint8_t *getUserName(size_t *length) const;
  // The context name requests carry (default empty); false when longer than
  // SNMP_MAX_CONTEXT_NAME_LENGTH or not a USM context.
  bool setContextName(const char *name);
  const char *getContextName() const;

  // USM: the authoritative engine. Known after the first request (discovery)
  // or when set here, which spares the discovery round trip (the engine ID
  // a device's administrator gives, with boots and time 0 when unknown:
  // the first authenticated request then synchronises them). False for an
  // ID of a wrong length or a community context.
  bool setAuthoritativeEngine(const uint8_t *engineId, size_t length, uint32_t boots,
                              uint32_t time);
  // Null (and *length 0) while no engine is known.
  const uint8_t *getAuthoritativeEngineId(size_t *length) const;
  uint32_t getEngineBoots() const;
  // The engine's time now as this side estimates it.
  uint32_t getEngineTime() const;
  // Forgets the engine; the next request discovers it again.
  void forgetAuthoritativeEngine();
  // How many times keys were localised to an engine so far (diagnostics:
  // once per engine met, not once per request).
  uint32_t getKeyLocalisations() const;

 private:
  friend class SNMP_PDU;
  friend class SNMP_Transport;

  void wipe();
  kmsnmp::Usm *usm() const { return usm_.get(); }

  uint32_t securityModel_ = SNMP_SECURITY_MODEL_V2C;
  uint32_t setupError_ = 0;
  size_t communityLength_ = 0;
  char community_[SNMP_MAX_COMMUNITY_LENGTH + 1] = {};
  std::unique_ptr<kmsnmp::Usm> usm_;  // USM model only
};
