// SNMP_SecurityContext: the credentials a message is encoded and checked
// with. Today that is the community of SNMPv1 and SNMPv2c; the user-based
// security model of SNMPv3 will add its own constructor and members here, so
// code that passes contexts around does not change.
//
// A context is a plain value owned by whoever created it (a transport owns
// the one given to setSecurityContext). Not synchronised: share one between
// threads only for reading. The community is a secret: it is wiped when the
// context is destroyed or changed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kmbase/export.h"
#include "kmsnmp/constants.h"

// Security models (numbers as SNMP's architecture assigns them).
inline constexpr uint32_t SNMP_SECURITY_MODEL_V1 = 1;
inline constexpr uint32_t SNMP_SECURITY_MODEL_V2C = 2;
inline constexpr uint32_t SNMP_SECURITY_MODEL_USM = 3;  // reserved, not yet supported

class KMSRV_EXPORT SNMP_SecurityContext {
 public:
  // Community model with an empty community.
  SNMP_SecurityContext();
  // Community model; the text is copied and cut to SNMP_MAX_COMMUNITY_LENGTH
  // bytes. Null gives the empty community.
  explicit SNMP_SecurityContext(const char *community);
  SNMP_SecurityContext(const SNMP_SecurityContext &other);
  SNMP_SecurityContext &operator=(const SNMP_SecurityContext &other);
  ~SNMP_SecurityContext();

  uint32_t getSecurityModel() const { return securityModel_; }

  // Terminated community text; its length in bytes.
  const char *getCommunity() const { return community_; }
  size_t getCommunityLength() const { return communityLength_; }
  // False (and no change) when longer than SNMP_MAX_COMMUNITY_LENGTH.
  bool setCommunity(const char *community);
  bool setCommunity(const uint8_t *bytes, size_t length);

 private:
  void wipe();

  uint32_t securityModel_ = SNMP_SECURITY_MODEL_V2C;
  size_t communityLength_ = 0;
  char community_[SNMP_MAX_COMMUNITY_LENGTH + 1] = {};
};
