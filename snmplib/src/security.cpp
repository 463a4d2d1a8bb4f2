// SNMP_SecurityContext: community storage that is wiped when it goes.
#include "kmsnmp/security.h"

#include <cstring>

SNMP_SecurityContext::SNMP_SecurityContext() = default;

SNMP_SecurityContext::SNMP_SecurityContext(const char *community) {
  if (community == nullptr) return;
  size_t length = strnlen(community, SNMP_MAX_COMMUNITY_LENGTH);
  setCommunity(reinterpret_cast<const uint8_t *>(community), length);
}

SNMP_SecurityContext::SNMP_SecurityContext(const SNMP_SecurityContext &other) { *this = other; }

SNMP_SecurityContext &SNMP_SecurityContext::operator=(const SNMP_SecurityContext &other) {
  if (this != &other) {
    wipe();
    securityModel_ = other.securityModel_;
    communityLength_ = other.communityLength_;
    memcpy(community_, other.community_, sizeof(community_));
  }
  return *this;
}

SNMP_SecurityContext::~SNMP_SecurityContext() { wipe(); }

bool SNMP_SecurityContext::setCommunity(const char *community) {
  if (community == nullptr) return setCommunity(nullptr, 0);
  size_t length = strnlen(community, SNMP_MAX_COMMUNITY_LENGTH + 1);
  return setCommunity(reinterpret_cast<const uint8_t *>(community), length);
}

bool SNMP_SecurityContext::setCommunity(const uint8_t *bytes, size_t length) {
  if (length > SNMP_MAX_COMMUNITY_LENGTH || (bytes == nullptr && length > 0)) return false;
  wipe();
  if (length > 0) memcpy(community_, bytes, length);
  communityLength_ = length;
  return true;
}

void SNMP_SecurityContext::wipe() {
  explicit_bzero(community_, sizeof(community_));
  communityLength_ = 0;
}
