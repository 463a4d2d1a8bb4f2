// SNMP_Variable: value storage, conversions, and the value half of the codec.
#include "kmsnmp/variable.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "ber.h"
#include "kmbase/text.h"
#include "kmsnmp/oid.h"

namespace {

bool IsUnsigned32(uint32_t type) {
  return type == ASN_COUNTER32 || type == ASN_GAUGE32 || type == ASN_TIMETICKS ||
         type == ASN_UINTEGER32;
}

bool IsException(uint32_t type) {
  return type == ASN_NO_SUCH_OBJECT || type == ASN_NO_SUCH_INSTANCE || type == ASN_END_OF_MIBVIEW;
}

bool IsBytes(uint32_t type) {
  return type != ASN_INTEGER && !IsUnsigned32(type) && type != ASN_COUNTER64 &&
         type != ASN_IP_ADDR && type != ASN_OBJECT_ID && type != ASN_NULL && !IsException(type);
}

// Appends text to buf at *used, stopping before the terminator slot.
void Append(char16_t *buf, size_t size, size_t *used, const char *text) {
  while (*text != 0 && *used + 1 < size) buf[(*used)++] = static_cast<char16_t>(*text++);
  buf[*used] = 0;
}

void AppendUnsigned(char16_t *buf, size_t size, size_t *used, uint64_t value) {
  char digits[21];
  size_t n = sizeof(digits) - 1;
  digits[n] = 0;
  do {
    digits[--n] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  Append(buf, size, used, digits + n);
}

bool CodePageIsUtf8() {
  const char *cp = KmGetCodePage();
  return strcasecmp(cp, "UTF-8") == 0 || strcasecmp(cp, "UTF8") == 0;
}

// Length of the valid UTF-8 sequence at p (at most n bytes), 0 when invalid.
size_t Utf8SequenceLength(const uint8_t *p, size_t n) {
  uint8_t c = p[0];
  size_t len;
  uint32_t min;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (len > n) return 0;
  uint32_t cp = c & (0x3F >> (len - 1));
  for (size_t i = 1; i < len; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool IsPrintable(const uint8_t *data, size_t length) {
  while (length > 0 && data[length - 1] == 0) length--;
  bool utf8 = CodePageIsUtf8();
  for (size_t i = 0; i < length;) {
    uint8_t c = data[i];
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) return false;
      i++;
    } else if (utf8) {
      size_t n = Utf8SequenceLength(data + i, length - i);
      if (n == 0) return false;
      i += n;
    } else {
      i++;
    }
  }
  return true;
}

}  // namespace

SNMP_Variable::SNMP_Variable() : name_(inlineName_), value_(inlineValue_) {}

SNMP_Variable::SNMP_Variable(const uint32_t *name, uint32_t nameLength) : SNMP_Variable() {
  setName(name, nameLength);
}

SNMP_Variable::~SNMP_Variable() {
  if (name_ != inlineName_) free(name_);
  if (value_ != inlineValue_) free(value_);
}

SNMP_Variable *SNMP_Variable::clone() const {
  auto *copy = new (std::nothrow) SNMP_Variable();
  if (copy == nullptr) return nullptr;
  if (!copy->setName(name_, nameLength_) || !copy->storeValue(type_, value_, valueLength_)) {
    delete copy;
    return nullptr;
  }
  return copy;
}

bool SNMP_Variable::setName(const uint32_t *name, uint32_t length) {
  if (length > SNMP_MAX_OID_LENGTH || (name == nullptr && length > 0)) return false;
  if (length > kInlineName && name_ == inlineName_) {
    auto *block = static_cast<uint32_t *>(malloc(SNMP_MAX_OID_LENGTH * sizeof(uint32_t)));
    if (block == nullptr) return false;
    name_ = block;
  }
  if (length > 0) memmove(name_, name, length * sizeof(uint32_t));
  nameLength_ = length;
  return true;
}

bool SNMP_Variable::storeValue(uint32_t type, const void *data, size_t length) {
  if (length > valueCapacity_) {
    auto *block = static_cast<uint8_t *>(malloc(length));
    if (block == nullptr) return false;
    if (value_ != inlineValue_) free(value_);
    value_ = block;
    valueCapacity_ = length;
  }
  if (length > 0) memmove(value_, data, length);
  valueLength_ = length;
  type_ = type;
  return true;
}

bool SNMP_Variable::setNull(uint32_t type) {
  if (type != ASN_NULL && !IsException(type)) return false;
  return storeValue(type, nullptr, 0);
}

void SNMP_Variable::setInteger(int32_t value) { storeValue(ASN_INTEGER, &value, sizeof(value)); }

bool SNMP_Variable::setUnsigned(uint32_t type, uint32_t value) {
  if (!IsUnsigned32(type)) return false;
  return storeValue(type, &value, sizeof(value));
}

void SNMP_Variable::setCounter64(uint64_t value) {
  storeValue(ASN_COUNTER64, &value, sizeof(value));
}

void SNMP_Variable::setIpAddress(uint32_t addressHostOrder) {
  uint8_t bytes[4] = {
      static_cast<uint8_t>(addressHostOrder >> 24), static_cast<uint8_t>(addressHostOrder >> 16),
      static_cast<uint8_t>(addressHostOrder >> 8), static_cast<uint8_t>(addressHostOrder)};
  storeValue(ASN_IP_ADDR, bytes, 4);
}

bool SNMP_Variable::setOctets(uint32_t type, const uint8_t *data, size_t length) {
  if (!IsBytes(type) || type > 0xFF || (type & 0x20) != 0 || (type & 0x1F) == 0x1F) return false;
  if (length > SNMP_MAX_MESSAGE_SIZE || (data == nullptr && length > 0)) return false;
  return storeValue(type, data, length);
}

bool SNMP_Variable::setObjectId(const uint32_t *elements, uint32_t count) {
  if (count > SNMP_MAX_OID_LENGTH || (elements == nullptr && count > 0)) return false;
  return storeValue(ASN_OBJECT_ID, elements, count * sizeof(uint32_t));
}

bool SNMP_Variable::decodeValue(uint8_t tag, const uint8_t *content, size_t length) {
  if (tag & 0x20) return false;  // values are never constructed
  if (tag == ASN_INTEGER) {
    int32_t v;
    return kmsnmp::BerDecodeInt32(content, length, &v) && storeValue(tag, &v, sizeof(v));
  }
  if (IsUnsigned32(tag)) {
    uint32_t v;
    return kmsnmp::BerDecodeUInt32(content, length, &v) && storeValue(tag, &v, sizeof(v));
  }
  if (tag == ASN_COUNTER64) {
    uint64_t v;
    return kmsnmp::BerDecodeUInt64(content, length, &v) && storeValue(tag, &v, sizeof(v));
  }
  if (tag == ASN_IP_ADDR) return length == 4 && storeValue(tag, content, 4);
  if (tag == ASN_OBJECT_ID) {
    uint32_t elements[SNMP_MAX_OID_LENGTH];
    uint32_t count = kmsnmp::BerDecodeOid(content, length, elements, SNMP_MAX_OID_LENGTH);
    return count > 0 && storeValue(tag, elements, count * sizeof(uint32_t));
  }
  if (tag == ASN_NULL || IsException(tag)) return length == 0 && storeValue(tag, nullptr, 0);
  return storeValue(tag, content, length);
}

bool SNMP_Variable::valueContentSize(size_t *size) const {
  if (type_ > 0xFF || (type_ & 0x20) != 0) return false;
  if (type_ == ASN_INTEGER) {
    *size = kmsnmp::BerInt32ContentSize(static_cast<int32_t>(GetValueAsInt()));
  } else if (IsUnsigned32(type_)) {
    *size = kmsnmp::BerUInt32ContentSize(GetValueAsUInt());
  } else if (type_ == ASN_COUNTER64) {
    *size = kmsnmp::BerUInt64ContentSize(GetValueAsUInt64());
  } else if (type_ == ASN_OBJECT_ID) {
    uint32_t elements[SNMP_MAX_OID_LENGTH];
    uint32_t count = getValueAsOid(elements, SNMP_MAX_OID_LENGTH);
    *size = kmsnmp::BerOidContentSize(elements, count);
    return *size > 0;
  } else {
    *size = valueLength_;  // NULL and exceptions hold no bytes
  }
  return true;
}

void SNMP_Variable::encodeValue(kmsnmp::BerWriter &writer) const {
  uint8_t tag = static_cast<uint8_t>(type_);
  if (type_ == ASN_INTEGER) {
    writer.int32(tag, GetValueAsInt());
  } else if (IsUnsigned32(type_)) {
    writer.uint32(tag, GetValueAsUInt());
  } else if (type_ == ASN_COUNTER64) {
    writer.uint64(tag, GetValueAsUInt64());
  } else if (type_ == ASN_OBJECT_ID) {
    uint32_t elements[SNMP_MAX_OID_LENGTH];
    uint32_t count = getValueAsOid(elements, SNMP_MAX_OID_LENGTH);
    writer.oid(tag, elements, count);
  } else {
    writer.octets(tag, value_, valueLength_);
  }
}

int32_t SNMP_Variable::GetValueAsInt() const { return static_cast<int32_t>(GetValueAsUInt()); }

uint32_t SNMP_Variable::GetValueAsUInt() const {
  if (type_ == ASN_COUNTER64) return static_cast<uint32_t>(GetValueAsUInt64());
  if (type_ == ASN_INTEGER || IsUnsigned32(type_) || type_ == ASN_IP_ADDR) {
    uint32_t v;
    memcpy(&v, value_, sizeof(v));
    return v;
  }
  return 0;
}

uint64_t SNMP_Variable::GetValueAsUInt64() const {
  if (type_ == ASN_COUNTER64) {
    uint64_t v;
    memcpy(&v, value_, sizeof(v));
    return v;
  }
  if (type_ == ASN_INTEGER) return static_cast<uint64_t>(static_cast<int64_t>(GetValueAsInt()));
  if (IsUnsigned32(type_)) return GetValueAsUInt();
  return 0;
}

uint32_t SNMP_Variable::getValueAsOid(uint32_t *elements, uint32_t max) const {
  if (type_ != ASN_OBJECT_ID || elements == nullptr) return 0;
  uint32_t count = static_cast<uint32_t>(valueLength_ / sizeof(uint32_t));
  if (count > max) count = max;
  memcpy(elements, value_, count * sizeof(uint32_t));
  return count;
}

char16_t *SNMP_Variable::GetValueAsString(char16_t *buf, size_t size) const {
  if (buf == nullptr || size == 0) return buf;
  size_t used = 0;
  buf[0] = 0;
  if (type_ == ASN_INTEGER) {
    int32_t v = GetValueAsInt();
    if (v < 0) Append(buf, size, &used, "-");
    AppendUnsigned(
        buf, size, &used,
        v < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(v)) : static_cast<uint64_t>(v));
  } else if (IsUnsigned32(type_) || type_ == ASN_COUNTER64) {
    AppendUnsigned(buf, size, &used, GetValueAsUInt64());
  } else if (type_ == ASN_IP_ADDR) {
    for (int i = 0; i < 4; i++) {
      if (i > 0) Append(buf, size, &used, ".");
      AppendUnsigned(buf, size, &used, value_[i]);
    }
  } else if (type_ == ASN_OBJECT_ID) {
    uint32_t elements[SNMP_MAX_OID_LENGTH];
    uint32_t count = getValueAsOid(elements, SNMP_MAX_OID_LENGTH);
    SNMPConvertOIDToText(count, elements, buf, size);
  } else if (IsBytes(type_) && valueLength_ > 0) {
    KmAnsiToWide(reinterpret_cast<const char *>(value_), static_cast<ptrdiff_t>(valueLength_), buf,
                 size);
  }
  return buf;
}

size_t SNMP_Variable::getRawValue(void *buf, size_t size) const {
  if (buf == nullptr) return 0;
  size_t n = valueLength_ < size ? valueLength_ : size;
  if (n > 0) memcpy(buf, value_, n);
  return n;
}

char16_t *SNMP_Variable::getValueAsPrintableString(char16_t *buf, size_t size,
                                                   bool *convertToHex) const {
  bool hexAllowed = convertToHex != nullptr && *convertToHex;
  if (convertToHex != nullptr) *convertToHex = false;
  if (buf == nullptr || size == 0) return buf;
  bool isString = type_ == ASN_OCTET_STRING || type_ == ASN_OPAQUE;
  if (!isString || !hexAllowed || IsPrintable(value_, valueLength_)) {
    return GetValueAsString(buf, size);
  }
  static const char kHex[] = "0123456789ABCDEF";
  size_t used = 0;
  for (size_t i = 0; i < valueLength_; i++) {
    size_t need = (i > 0 ? 1 : 0) + 2;
    if (used + need + 1 > size) break;
    if (i > 0) buf[used++] = u' ';
    buf[used++] = static_cast<char16_t>(kHex[value_[i] >> 4]);
    buf[used++] = static_cast<char16_t>(kHex[value_[i] & 0x0F]);
  }
  buf[used] = 0;
  *convertToHex = true;
  return buf;
}
