// SNMP_PDU: message layout, encoder and strict decoder for SNMPv1/v2c.
#include "kmsnmp/pdu.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "kmsnmp/ber.h"

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

}  // namespace

SNMP_PDU::SNMP_PDU() = default;

SNMP_PDU::SNMP_PDU(uint32_t command, uint32_t requestId, uint32_t version)
    : version_(version), command_(command), requestId_(requestId) {}

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
  if (version_ == SNMP_VERSION_2C) return command_ <= SNMP_REPORT && command_ != SNMP_TRAP;
  return false;
}

size_t SNMP_PDU::layout(const SNMP_SecurityContext *securityContext, size_t *messageContent,
                        size_t *pduContent, size_t *bindingList) const {
  if (securityContext == nullptr) return 0;
  if (securityContext->getSecurityModel() != SNMP_SECURITY_MODEL_V1 &&
      securityContext->getSecurityModel() != SNMP_SECURITY_MODEL_V2C) {
    return 0;
  }
  if (!commandAllowed() || !FitsInteger(errorStatus_) || !FitsInteger(errorIndex_)) return 0;
  size_t list = 0;
  for (const SNMP_Variable *v : variables_) {
    if (version_ == SNMP_VERSION_1 && !TypeAllowedInV1(v->getType())) return 0;
    size_t name = kmsnmp::BerOidContentSize(v->getName(), v->getNameLength());
    size_t value;
    if (name == 0 || !v->valueContentSize(&value)) return 0;
    list += BerElementSize(BerElementSize(name) + BerElementSize(value));
    if (list > SNMP_MAX_MESSAGE_SIZE) return 0;
  }
  size_t pdu = BerElementSize(kmsnmp::BerInt32ContentSize(static_cast<int32_t>(requestId_))) +
               BerElementSize(kmsnmp::BerInt32ContentSize(static_cast<int32_t>(errorStatus_))) +
               BerElementSize(kmsnmp::BerInt32ContentSize(static_cast<int32_t>(errorIndex_))) +
               BerElementSize(list);
  size_t message = BerElementSize(kmsnmp::BerInt32ContentSize(static_cast<int32_t>(version_))) +
                   BerElementSize(securityContext->getCommunityLength()) + BerElementSize(pdu);
  size_t total = BerElementSize(message);
  if (total > SNMP_MAX_MESSAGE_SIZE) return 0;
  *messageContent = message;
  *pduContent = pdu;
  *bindingList = list;
  return total;
}

size_t SNMP_PDU::encodedSize(const SNMP_SecurityContext *securityContext) const {
  size_t message, pdu, list;
  return layout(securityContext, &message, &pdu, &list);
}

size_t SNMP_PDU::encode(uint8_t *buffer, size_t capacity,
                        const SNMP_SecurityContext *securityContext) const {
  size_t message, pdu, list;
  size_t total = layout(securityContext, &message, &pdu, &list);
  if (total == 0 || buffer == nullptr || total > capacity) return 0;
  BerWriter w(buffer, capacity);
  w.header(ASN_SEQUENCE, message);
  w.int32(ASN_INTEGER, static_cast<int32_t>(version_));
  w.octets(ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>(securityContext->getCommunity()),
           securityContext->getCommunityLength());
  w.header(static_cast<uint8_t>(ASN_PDU_BASE + command_), pdu);
  w.int32(ASN_INTEGER, static_cast<int32_t>(requestId_));
  w.int32(ASN_INTEGER, static_cast<int32_t>(errorStatus_));
  w.int32(ASN_INTEGER, static_cast<int32_t>(errorIndex_));
  w.header(ASN_SEQUENCE, list);
  for (const SNMP_Variable *v : variables_) {
    size_t name = kmsnmp::BerOidContentSize(v->getName(), v->getNameLength());
    size_t value = 0;
    v->valueContentSize(&value);
    w.header(ASN_SEQUENCE, BerElementSize(name) + BerElementSize(value));
    w.oid(ASN_OBJECT_ID, v->getName(), v->getNameLength());
    v->encodeValue(w);
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
  clear();
  command_ = SNMP_INVALID_COMMAND;
  requestId_ = errorStatus_ = errorIndex_ = 0;
  auto failed = [this] {
    clear();
    command_ = SNMP_INVALID_COMMAND;
    requestId_ = errorStatus_ = errorIndex_ = 0;
    return false;
  };
  if (data == nullptr || size == 0 || size > SNMP_MAX_MESSAGE_SIZE) return failed();

  BerReader top(data, size);
  BerReader message;
  if (!top.enter(ASN_SEQUENCE, &message) || !top.atEnd()) return failed();

  int32_t version;
  if (!message.readInt32(&version)) return failed();
  if (version != static_cast<int32_t>(SNMP_VERSION_1) &&
      version != static_cast<int32_t>(SNMP_VERSION_2C)) {
    return failed();
  }
  const uint8_t *community;
  size_t communityLength;
  if (!message.readOctets(&community, &communityLength) ||
      communityLength > SNMP_MAX_COMMUNITY_LENGTH) {
    return failed();
  }
  if (flags & SNMP_PARSE_CHECK_COMMUNITY) {
    if (securityContext == nullptr || securityContext->getCommunityLength() != communityLength ||
        memcmp(securityContext->getCommunity(), community, communityLength) != 0) {
      return failed();
    }
  }

  uint8_t pduTag;
  BerReader pduReader;
  if (!message.enterAny(&pduTag, &pduReader) || !message.atEnd()) return failed();
  version_ = static_cast<uint32_t>(version);
  command_ = static_cast<uint32_t>(pduTag) - ASN_PDU_BASE;
  if (pduTag < ASN_PDU_BASE || !commandAllowed()) return failed();

  uint32_t requestId, status, index;
  if (!ReadRequestId(pduReader, &requestId) || !ReadNonNegative(pduReader, &status) ||
      !ReadNonNegative(pduReader, &index)) {
    return failed();
  }
  BerReader list;
  if (!pduReader.enter(ASN_SEQUENCE, &list) || !pduReader.atEnd()) return failed();

  uint32_t name[SNMP_MAX_OID_LENGTH];
  while (!list.atEnd()) {
    if (variables_.size() >= SNMP_MAX_VARIABLES) return failed();
    BerReader binding;
    uint8_t tag;
    const uint8_t *content;
    size_t length;
    if (!list.enter(ASN_SEQUENCE, &binding)) return failed();
    if (!binding.next(&tag, &content, &length) || tag != ASN_OBJECT_ID) return failed();
    uint32_t nameLength = kmsnmp::BerDecodeOid(content, length, name, SNMP_MAX_OID_LENGTH);
    if (nameLength == 0) return failed();
    if (!binding.next(&tag, &content, &length) || !binding.atEnd()) return failed();
    auto *var = new (std::nothrow) SNMP_Variable(name, nameLength);
    if (var == nullptr) return failed();
    if (!var->decodeValue(tag, content, length)) {
      delete var;
      return failed();
    }
    if (!bindVariable(var)) return failed();
  }
  requestId_ = requestId;
  errorStatus_ = status;
  errorIndex_ = index;
  return true;
}
