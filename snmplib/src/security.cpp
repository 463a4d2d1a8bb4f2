// SNMP_SecurityContext: community storage that is wiped when it goes, and
// the USM user behind it.
#include "kmsnmp/security.h"

#include <cstring>

#include "kmsnmp/result.h"
#include "usm.h"

SNMP_SecurityContext::SNMP_SecurityContext() = default;

SNMP_SecurityContext::SNMP_SecurityContext(const char *community) {
  if (community == nullptr) return;
  size_t length = strnlen(community, SNMP_MAX_COMMUNITY_LENGTH);
  setCommunity(reinterpret_cast<const uint8_t *>(community), length);
}

SNMP_SecurityContext::SNMP_SecurityContext(const char *userName, uint32_t securityLevel,
                                           uint32_t authProtocol, const char *authPassphrase,
                                           uint32_t privProtocol, const char *privPassphrase)
    : securityModel_(SNMP_SECURITY_MODEL_USM) {
  usm_ = kmsnmp::Usm::create(userName, securityLevel, authProtocol, authPassphrase, privProtocol,
                             privPassphrase, &setupError_);
}

SNMP_SecurityContext::SNMP_SecurityContext(const SNMP_SecurityContext &other) { *this = other; }

SNMP_SecurityContext &SNMP_SecurityContext::operator=(const SNMP_SecurityContext &other) {
  if (this != &other) {
    wipe();
    securityModel_ = other.securityModel_;
    setupError_ = other.setupError_;
    communityLength_ = other.communityLength_;
    memcpy(community_, other.community_, sizeof(community_));
    usm_.reset();
    if (other.usm_) {
      usm_ = other.usm_->cloneCredentials();
      if (!usm_) setupError_ = SNMP_ERR_SECURITY_SETUP;
    }
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

uint32_t SNMP_SecurityContext::getSecurityLevel() const { return usm_ ? usm_->level() : 0; }

uint32_t SNMP_SecurityContext::getAuthProtocol() const { return usm_ ? usm_->authProtocol() : 0; }

uint32_t SNMP_SecurityContext::getPrivProtocol() const { return usm_ ? usm_->privProtocol() : 0; }

const uint8_t *SNMP_SecurityContext::getUserName(size_t *length) const {
  if (length != nullptr) *length = usm_ ? usm_->userNameLength() : 0;
  return usm_ ? usm_->userName() : nullptr;
}

bool SNMP_SecurityContext::setContextName(const char *name) {
  return usm_ && usm_->setContextName(name);
}

const char *SNMP_SecurityContext::getContextName() const { return usm_ ? usm_->contextName() : ""; }

bool SNMP_SecurityContext::setAuthoritativeEngine(const uint8_t *engineId, size_t length,
                                                  uint32_t boots, uint32_t time) {
  return usm_ && usm_->setEngine(engineId, length, boots, time);
}

const uint8_t *SNMP_SecurityContext::getAuthoritativeEngineId(size_t *length) const {
  bool known = usm_ && usm_->engineKnown();
  if (length != nullptr) *length = known ? usm_->engineIdLength() : 0;
  return known ? usm_->engineId() : nullptr;
}

uint32_t SNMP_SecurityContext::getEngineBoots() const { return usm_ ? usm_->engineBoots() : 0; }

uint32_t SNMP_SecurityContext::getEngineTime() const { return usm_ ? usm_->engineTimeNow() : 0; }

void SNMP_SecurityContext::forgetAuthoritativeEngine() {
  if (usm_) usm_->forgetEngine();
}

uint32_t SNMP_SecurityContext::getKeyLocalisations() const {
  return usm_ ? usm_->localisations() : 0;
}
