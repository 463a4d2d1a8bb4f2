// SNMP_PDU: message layout, encoder and strict decoder for SNMPv1/v2c
// (community) and SNMPv3 (user-based security model).
#include "kmsnmp/pdu.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "ber.h"
#include "kmsnmp/result.h"
#include "usm.h"

using kmsnmp::BerElementSize;
using kmsnmp::BerReader;
using kmsnmp::BerWriter;

namespace {

// Status, index, non-repeaters and max-repetitions are INTEGER on the wire
// and never negative.
bool FitsInteger(uint32_t v) { return v <= 0x7FFFFFFFu; }

// Request ids are INTEGER; some agents echo ours above 2^31 as an unsigned
// five-octet number, which is accepted too.
bool ReadRequestId(BerReader &reader, uint32_t *id) {
  uint8_t tag;
  const uint8_t *content;
  size_t length;
  if (!reader.next(&tag, &content, &length) || tag != ASN_INTEGER) return false;
  if (length == BER_MAX_UINT32_OCTETS) return kmsnmp::BerDecodeUInt32(content, length, id);
  int32_t v;
  if (!kmsnmp::BerDecodeInt32(content, length, &v)) return false;
  *id = static_cast<uint32_t>(v);
  return true;
}

bool ReadNonNegative(BerReader &reader, uint32_t *value) {
  int32_t v;
  if (!reader.readInt32(&v) || v < 0) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool TypeAllowedInV1(uint32_t type) {
  return type != ASN_COUNTER64 && type != ASN_NO_SUCH_OBJECT && type != ASN_NO_SUCH_INSTANCE &&
         type != ASN_END_OF_MIBVIEW;
}

size_t IntSize(uint32_t v) {
  return BerElementSize(kmsnmp::BerInt32ContentSize(static_cast<int32_t>(v)));
}

// msgFlags bits.
constexpr uint8_t kFlagAuth = 0x01;
constexpr uint8_t kFlagPriv = 0x02;
constexpr uint8_t kFlagReportable = 0x04;

// The smallest msgMaxSize the standards allow.
constexpr int32_t kMinMaxSize = 484;

uint8_t LevelFlags(uint32_t level) {
  if (level == SNMP_SECURITY_AUTH_PRIV) return kFlagAuth | kFlagPriv;
  if (level == SNMP_SECURITY_AUTH_NO_PRIV) return kFlagAuth;
  return 0;
}

}  // namespace

// Sizes of the nested elements of one message, worked out before writing.
struct SNMP_PDU::Layout {
  size_t total = 0;
  size_t message = 0;  // content of the outer SEQUENCE
  size_t pdu = 0;      // content of the PDU element
  size_t list = 0;     // content of the binding list
  // SNMPv3
  const kmsnmp::Usm *usm = nullptr;
  uint32_t level = SNMP_SECURITY_NO_AUTH_NO_PRIV;
  const uint8_t *engine = nullptr;
  size_t engineLength = 0;
  uint32_t boots = 0;
  uint32_t time = 0;
  const uint8_t *user = nullptr;
  size_t userLength = 0;
  const uint8_t *contextName = nullptr;
  size_t contextNameLength = 0;
  size_t macLength = 0;
  size_t saltLength = 0;
  size_t header = 0;     // content of msgGlobalData
  size_t security = 0;   // content of the UsmSecurityParameters SEQUENCE
  size_t scoped = 0;     // content of the ScopedPDU SEQUENCE
  size_t encrypted = 0;  // ciphertext octets (authPriv)
};

struct SNMP_PDU::Codec {
  static const kmsnmp::Usm *UsableUsm(const SNMP_SecurityContext *ctx) {
    if (ctx == nullptr || ctx->getSecurityModel() != SNMP_SECURITY_MODEL_USM ||
        ctx->getSetupError() != SNMP_ERR_SUCCESS) {
      return nullptr;
    }
    return ctx->usm();
  }

  // PDU element sizes shared by every version; false when not encodable.
  static bool layoutPdu(const SNMP_PDU &p, Layout *l) {
    if (!p.commandAllowed() || !FitsInteger(p.errorStatus_) || !FitsInteger(p.errorIndex_))
      return false;
    size_t list = 0;
    for (const SNMP_Variable *v : p.variables_) {
      if (p.version_ == SNMP_VERSION_1 && !TypeAllowedInV1(v->getType())) return false;
      size_t name = kmsnmp::BerOidContentSize(v->getName(), v->getNameLength());
      size_t value;
      if (name == 0 || !v->valueContentSize(&value)) return false;
      list += BerElementSize(BerElementSize(name) + BerElementSize(value));
      if (list > SNMP_MAX_MESSAGE_SIZE) return false;
    }
    l->list = list;
    l->pdu = IntSize(p.requestId_) + IntSize(p.errorStatus_) + IntSize(p.errorIndex_) +
             BerElementSize(list);
    return true;
  }

  static void writePdu(const SNMP_PDU &p, const Layout &l, BerWriter &w) {
    w.header(static_cast<uint8_t>(ASN_PDU_BASE + p.command_), l.pdu);
    w.int32(ASN_INTEGER, static_cast<int32_t>(p.requestId_));
    w.int32(ASN_INTEGER, static_cast<int32_t>(p.errorStatus_));
    w.int32(ASN_INTEGER, static_cast<int32_t>(p.errorIndex_));
    w.header(ASN_SEQUENCE, l.list);
    for (const SNMP_Variable *v : p.variables_) {
      size_t name = kmsnmp::BerOidContentSize(v->getName(), v->getNameLength());
      size_t value = 0;
      v->valueContentSize(&value);
      w.header(ASN_SEQUENCE, BerElementSize(name) + BerElementSize(value));
      w.oid(ASN_OBJECT_ID, v->getName(), v->getNameLength());
      v->encodeValue(w);
    }
  }

  static size_t layoutV3(const SNMP_PDU &p, const SNMP_SecurityContext *ctx, Layout *l) {
    const kmsnmp::Usm *usm = UsableUsm(ctx);
    if (usm == nullptr || !FitsInteger(p.msgId_)) return 0;
    l->usm = usm;
    if (!p.engineProbe_) {
      if (!usm->engineKnown()) return 0;
      l->level = usm->level();
      if (p.securityLevel_ != 0 && p.securityLevel_ < l->level) l->level = p.securityLevel_;
      l->engine = usm->engineId();
      l->engineLength = usm->engineIdLength();
      l->boots = usm->engineBoots();
      l->time = usm->engineTimeNow();
      l->user = usm->userName();
      l->userLength = usm->userNameLength();
      l->contextName = reinterpret_cast<const uint8_t *>(usm->contextName());
      l->contextNameLength = usm->contextNameLength();
      if (l->level >= SNMP_SECURITY_AUTH_NO_PRIV) l->macLength = usm->macLength();
      if (l->level == SNMP_SECURITY_AUTH_PRIV) l->saltLength = kmsnmp::kUsmSaltLength;
    }
    l->header = IntSize(p.msgId_) + IntSize(SNMP_V3_MAX_MESSAGE_SIZE) + BerElementSize(1) +
                IntSize(SNMP_SECURITY_MODEL_USM);
    l->security = BerElementSize(l->engineLength) + IntSize(l->boots) + IntSize(l->time) +
                  BerElementSize(l->userLength) + BerElementSize(l->macLength) +
                  BerElementSize(l->saltLength);
    l->scoped = BerElementSize(l->engineLength) + BerElementSize(l->contextNameLength) +
                BerElementSize(l->pdu);
    size_t data = BerElementSize(l->scoped);
    if (l->saltLength > 0) {
      l->encrypted = usm->cipherLength(data);
      data = BerElementSize(l->encrypted);
    }
    return IntSize(SNMP_VERSION_3) + BerElementSize(l->header) +
           BerElementSize(BerElementSize(l->security)) + data;
  }

  static size_t layout(const SNMP_PDU &p, const SNMP_SecurityContext *ctx, Layout *l) {
    if (ctx == nullptr || !layoutPdu(p, l)) return 0;
    size_t message;
    if (p.version_ == SNMP_VERSION_3) {
      message = layoutV3(p, ctx, l);
      if (message == 0) return 0;
    } else {
      if (ctx->getSecurityModel() != SNMP_SECURITY_MODEL_V1 &&
          ctx->getSecurityModel() != SNMP_SECURITY_MODEL_V2C) {
        return 0;
      }
      message =
          IntSize(p.version_) + BerElementSize(ctx->getCommunityLength()) + BerElementSize(l->pdu);
    }
    size_t total = BerElementSize(message);
    if (total > SNMP_MAX_MESSAGE_SIZE) return 0;
    l->message = message;
    l->total = total;
    return total;
  }

  // Everything after the version: header data, security parameters, and the
  // scoped PDU, encrypted in place and then signed as the level says.
  static void writeV3(const SNMP_PDU &p, const Layout &l, uint8_t *buffer, BerWriter &w) {
    uint8_t flags = LevelFlags(l.level);
    if (p.command_ != SNMP_RESPONSE && p.command_ != SNMP_REPORT && p.command_ != SNMP_TRAP_V2)
      flags |= kFlagReportable;
    w.header(ASN_SEQUENCE, l.header);
    w.int32(ASN_INTEGER, static_cast<int32_t>(p.msgId_));
    w.int32(ASN_INTEGER, static_cast<int32_t>(SNMP_V3_MAX_MESSAGE_SIZE));
    w.octets(ASN_OCTET_STRING, &flags, 1);
    w.int32(ASN_INTEGER, static_cast<int32_t>(SNMP_SECURITY_MODEL_USM));
    w.header(ASN_OCTET_STRING, BerElementSize(l.security));
    w.header(ASN_SEQUENCE, l.security);
    w.octets(ASN_OCTET_STRING, l.engine, l.engineLength);
    w.int32(ASN_INTEGER, static_cast<int32_t>(l.boots));
    w.int32(ASN_INTEGER, static_cast<int32_t>(l.time));
    w.octets(ASN_OCTET_STRING, l.user, l.userLength);
    w.header(ASN_OCTET_STRING, l.macLength);
    size_t macOffset = w.size();
    w.zeros(l.macLength);
    w.header(ASN_OCTET_STRING, l.saltLength);
    uint8_t *salt = w.zeros(l.saltLength);
    uint8_t *plain = nullptr;
    if (l.saltLength > 0) {
      w.header(ASN_OCTET_STRING, l.encrypted);
      plain = buffer + w.size();
    }
    w.header(ASN_SEQUENCE, l.scoped);
    w.octets(ASN_OCTET_STRING, l.engine, l.engineLength);
    w.octets(ASN_OCTET_STRING, l.contextName, l.contextNameLength);
    writePdu(p, l, w);
    if (w.failed()) return;
    if (plain != nullptr) {
      size_t plainLength = BerElementSize(l.scoped);
      if (w.zeros(l.encrypted - plainLength) == nullptr ||
          !l.usm->encrypt(plain, plainLength, l.boots, l.time, salt)) {
        w.fail();
        return;
      }
    }
    if (l.macLength > 0 && !l.usm->sign(buffer, w.size(), macOffset)) w.fail();
  }

  // The PDU element (command, ids, bindings), the last element of `outer`.
  static bool parsePdu(SNMP_PDU &p, BerReader &outer, uint32_t version) {
    uint8_t pduTag;
    BerReader pduReader;
    if (!outer.enterAny(&pduTag, &pduReader) || !outer.atEnd()) return false;
    p.version_ = version;
    p.command_ = static_cast<uint32_t>(pduTag) - ASN_PDU_BASE;
    if (pduTag < ASN_PDU_BASE || !p.commandAllowed()) return false;

    uint32_t requestId, status, index;
    if (!ReadRequestId(pduReader, &requestId) || !ReadNonNegative(pduReader, &status) ||
        !ReadNonNegative(pduReader, &index)) {
      return false;
    }
    BerReader list;
    if (!pduReader.enter(ASN_SEQUENCE, &list) || !pduReader.atEnd()) return false;

    uint32_t name[SNMP_MAX_OID_LENGTH];
    while (!list.atEnd()) {
      if (p.variables_.size() >= SNMP_MAX_VARIABLES) return false;
      BerReader binding;
      uint8_t tag;
      const uint8_t *content;
      size_t length;
      if (!list.enter(ASN_SEQUENCE, &binding)) return false;
      if (!binding.next(&tag, &content, &length) || tag != ASN_OBJECT_ID) return false;
      uint32_t nameLength = kmsnmp::BerDecodeOid(content, length, name, SNMP_MAX_OID_LENGTH);
      if (nameLength == 0) return false;
      if (!binding.next(&tag, &content, &length) || !binding.atEnd()) return false;
      auto *var = new (std::nothrow) SNMP_Variable(name, nameLength);
      if (var == nullptr) return false;
      if (!var->decodeValue(tag, content, length)) {
        delete var;
        return false;
      }
      if (!p.bindVariable(var)) return false;
    }
    p.requestId_ = requestId;
    p.errorStatus_ = status;
    p.errorIndex_ = index;
    return true;
  }

  // The content of a ScopedPDU SEQUENCE.
  static bool parseScoped(SNMP_PDU &p, BerReader &scoped) {
    const uint8_t *contextEngine, *contextName;
    size_t contextEngineLength, contextNameLength;
    if (!scoped.readOctets(&contextEngine, &contextEngineLength) ||
        contextEngineLength > SNMP_MAX_ENGINE_ID_LENGTH ||
        !scoped.readOctets(&contextName, &contextNameLength) ||
        contextNameLength > SNMP_MAX_CONTEXT_NAME_LENGTH) {
      return false;
    }
    return parsePdu(p, scoped, SNMP_VERSION_3);
  }

  static bool fail(SNMP_PDU &p, uint32_t reason) {
    p.clear();
    p.command_ = SNMP_INVALID_COMMAND;
    p.requestId_ = p.errorStatus_ = p.errorIndex_ = 0;
    p.msgId_ = p.securityLevel_ = p.engineBoots_ = p.engineTime_ = 0;
    p.engineIdLength_ = 0;
    p.parseError_ = reason;
    return false;
  }

  static bool parseV3(SNMP_PDU &p, const uint8_t *data, size_t size, BerReader &message,
                      const SNMP_SecurityContext *ctx) {
    // msgGlobalData
    BerReader header;
    int32_t msgId, maxSize, model;
    const uint8_t *flagsOctets;
    size_t flagsLength;
    if (!message.enter(ASN_SEQUENCE, &header) || !header.readInt32(&msgId) || msgId < 0 ||
        !header.readInt32(&maxSize) || maxSize < kMinMaxSize ||
        !header.readOctets(&flagsOctets, &flagsLength) || flagsLength != 1 ||
        !header.readInt32(&model) || !header.atEnd()) {
      return fail(p, SNMP_ERR_PARSE);
    }
    uint8_t flags = flagsOctets[0];
    if (model != static_cast<int32_t>(SNMP_SECURITY_MODEL_USM) ||
        (flags & (kFlagAuth | kFlagPriv)) == kFlagPriv) {
      return fail(p, SNMP_ERR_PARSE);
    }
    uint32_t level = (flags & kFlagPriv)   ? SNMP_SECURITY_AUTH_PRIV
                     : (flags & kFlagAuth) ? SNMP_SECURITY_AUTH_NO_PRIV
                                           : SNMP_SECURITY_NO_AUTH_NO_PRIV;

    // msgSecurityParameters: an OCTET STRING holding a SEQUENCE, read with
    // its own reader (its depth counts from there).
    const uint8_t *securityOctets;
    size_t securityLength;
    if (!message.readOctets(&securityOctets, &securityLength)) return fail(p, SNMP_ERR_PARSE);
    BerReader securityTop(securityOctets, securityLength);
    BerReader security;
    const uint8_t *engine, *user, *mac, *salt;
    size_t engineLength, userLength, macLength, saltLength;
    int32_t boots, time;
    if (!securityTop.enter(ASN_SEQUENCE, &security) || !securityTop.atEnd() ||
        !security.readOctets(&engine, &engineLength) || !security.readInt32(&boots) || boots < 0 ||
        !security.readInt32(&time) || time < 0 || !security.readOctets(&user, &userLength) ||
        userLength > SNMP_MAX_USER_NAME_LENGTH || !security.readOctets(&mac, &macLength) ||
        !security.readOctets(&salt, &saltLength) || !security.atEnd()) {
      return fail(p, SNMP_ERR_PARSE);
    }
    if (engineLength > SNMP_MAX_ENGINE_ID_LENGTH) return fail(p, SNMP_ERR_ENGINE_DISCOVERY);

    // msgData, the last element.
    uint8_t dataTag;
    const uint8_t *dataContent;
    size_t dataLength;
    if (!message.next(&dataTag, &dataContent, &dataLength) || !message.atEnd())
      return fail(p, SNMP_ERR_PARSE);
    const kmsnmp::Usm *usm = UsableUsm(ctx);
    if (level >= SNMP_SECURITY_AUTH_NO_PRIV) {
      // Only the engine and user our keys were made for can authenticate.
      if (usm == nullptr || usm->level() < level || !usm->engineKnown() ||
          engineLength != usm->engineIdLength() ||
          memcmp(engine, usm->engineId(), engineLength) != 0 ||
          userLength != usm->userNameLength() || memcmp(user, usm->userName(), userLength) != 0 ||
          macLength != usm->macLength()) {
        return fail(p, SNMP_ERR_BAD_RESPONSE_DIGEST);
      }
      if (!usm->verify(data, size, static_cast<size_t>(mac - data)))
        return fail(p, SNMP_ERR_BAD_RESPONSE_DIGEST);
    }
    if (level == SNMP_SECURITY_AUTH_PRIV) {
      if (dataTag != ASN_OCTET_STRING || saltLength != kmsnmp::kUsmSaltLength)
        return fail(p, SNMP_ERR_RESPONSE_DECRYPT);
      uint8_t *plain = usm->scratch(dataLength);
      if (plain == nullptr || !usm->decrypt(dataContent, dataLength, static_cast<uint32_t>(boots),
                                            static_cast<uint32_t>(time), salt, plain)) {
        return fail(p, SNMP_ERR_RESPONSE_DECRYPT);
      }
      // DES pads the plaintext to whole blocks: up to 7 bytes may follow.
      size_t slack = usm->privProtocol() == SNMP_PRIV_DES ? 7 : 0;
      BerReader top(plain, dataLength);
      BerReader scoped;
      if (!top.enter(ASN_SEQUENCE, &scoped) || top.remaining() > slack || !parseScoped(p, scoped)) {
        return fail(p, SNMP_ERR_RESPONSE_DECRYPT);
      }
    } else {
      BerReader scoped(dataContent, dataLength);
      if (dataTag != ASN_SEQUENCE || !parseScoped(p, scoped)) return fail(p, SNMP_ERR_PARSE);
    }
    // A report's boots and time are the engine's news (doRequest decides what
    // to believe); any other authenticated message must be in time.
    if (p.command_ != SNMP_REPORT && level >= SNMP_SECURITY_AUTH_NO_PRIV &&
        !usm->inTimeWindow(static_cast<uint32_t>(boots), static_cast<uint32_t>(time))) {
      return fail(p, SNMP_ERR_NOT_IN_TIME_WINDOW);
    }
    p.msgId_ = static_cast<uint32_t>(msgId);
    p.securityLevel_ = level;
    p.engineBoots_ = static_cast<uint32_t>(boots);
    p.engineTime_ = static_cast<uint32_t>(time);
    p.engineIdLength_ = engineLength;
    if (engineLength > 0) memcpy(p.engineId_, engine, engineLength);
    return true;
  }
};

SNMP_PDU::SNMP_PDU() = default;

SNMP_PDU::SNMP_PDU(uint32_t command, uint32_t requestId, uint32_t version)
    : version_(version), command_(command) {
  setRequestId(requestId);
}

SNMP_PDU::~SNMP_PDU() { clear(); }

void SNMP_PDU::clear() {
  for (SNMP_Variable *v : variables_) delete v;
  variables_.clear();
}

bool SNMP_PDU::bindVariable(SNMP_Variable *var) {
  if (var == nullptr) return false;
  if (variables_.size() >= SNMP_MAX_VARIABLES) {
    delete var;
    return false;
  }
  try {
    variables_.push_back(var);
  } catch (const std::bad_alloc &) {
    delete var;
    return false;
  }
  return true;
}

bool SNMP_PDU::commandAllowed() const {
  if (version_ == SNMP_VERSION_1) return command_ <= SNMP_SET_REQUEST;
  if (version_ == SNMP_VERSION_2C || version_ == SNMP_VERSION_3)
    return command_ <= SNMP_REPORT && command_ != SNMP_TRAP;
  return false;
}

size_t SNMP_PDU::encodedSize(const SNMP_SecurityContext *securityContext) const {
  Layout l;
  return Codec::layout(*this, securityContext, &l);
}

size_t SNMP_PDU::encode(uint8_t *buffer, size_t capacity,
                        const SNMP_SecurityContext *securityContext) const {
  Layout l;
  size_t total = Codec::layout(*this, securityContext, &l);
  if (total == 0 || buffer == nullptr || total > capacity) return 0;
  BerWriter w(buffer, capacity);
  w.header(ASN_SEQUENCE, l.message);
  w.int32(ASN_INTEGER, static_cast<int32_t>(version_));
  if (version_ == SNMP_VERSION_3) {
    Codec::writeV3(*this, l, buffer, w);
  } else {
    w.octets(ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>(securityContext->getCommunity()),
             securityContext->getCommunityLength());
    Codec::writePdu(*this, l, w);
  }
  if (w.failed() || w.size() != total) return 0;
  return total;
}

size_t SNMP_PDU::encode(std::vector<uint8_t> &buffer,
                        const SNMP_SecurityContext *securityContext) const {
  size_t total = encodedSize(securityContext);
  if (total == 0) return 0;
  if (buffer.size() < total) {
    try {
      buffer.resize(total);
    } catch (const std::bad_alloc &) {
      return 0;
    }
  }
  return encode(buffer.data(), buffer.size(), securityContext);
}

size_t SNMP_PDU::encode(uint8_t **buffer, const SNMP_SecurityContext *securityContext) const {
  if (buffer == nullptr) return 0;
  *buffer = nullptr;
  size_t total = encodedSize(securityContext);
  if (total == 0) return 0;
  auto *block = static_cast<uint8_t *>(malloc(total));
  if (block == nullptr) return 0;
  if (encode(block, total, securityContext) != total) {
    free(block);
    return 0;
  }
  *buffer = block;
  return total;
}

bool SNMP_PDU::parse(const uint8_t *data, size_t size, const SNMP_SecurityContext *securityContext,
                     uint32_t flags) {
  Codec::fail(*this, SNMP_ERR_PARSE);
  if (data == nullptr || size == 0 || size > SNMP_MAX_MESSAGE_SIZE) return false;

  BerReader top(data, size);
  BerReader message;
  if (!top.enter(ASN_SEQUENCE, &message) || !top.atEnd()) return false;

  int32_t version;
  if (!message.readInt32(&version)) return false;
  if (version == static_cast<int32_t>(SNMP_VERSION_3)) {
    if (!Codec::parseV3(*this, data, size, message, securityContext)) return false;
    parseError_ = SNMP_ERR_SUCCESS;
    return true;
  }
  if (version != static_cast<int32_t>(SNMP_VERSION_1) &&
      version != static_cast<int32_t>(SNMP_VERSION_2C)) {
    return false;
  }
  const uint8_t *community;
  size_t communityLength;
  if (!message.readOctets(&community, &communityLength) ||
      communityLength > SNMP_MAX_COMMUNITY_LENGTH) {
    return false;
  }
  if (flags & SNMP_PARSE_CHECK_COMMUNITY) {
    if (securityContext == nullptr || securityContext->getCommunityLength() != communityLength ||
        memcmp(securityContext->getCommunity(), community, communityLength) != 0) {
      return false;
    }
  }
  if (!Codec::parsePdu(*this, message, static_cast<uint32_t>(version)))
    return Codec::fail(*this, SNMP_ERR_PARSE);
  msgId_ = requestId_ & 0x7FFFFFFF;
  parseError_ = SNMP_ERR_SUCCESS;
  return true;
}
