// SNMP_Variable: one variable binding (a name and a typed value), as bound
// to a request or found in a response.
//
// A variable is owned by one thread at a time; a PDU owns the variables bound
// to it. Small names (up to 32 elements) and values (up to 32 bytes) live
// inside the object, so a typical binding costs one allocation.
//
// How values are held (what getRawValue copies and GetValueAs* read):
//   INTEGER                                   int32_t, host byte order (4 bytes)
//   Counter32, Gauge32, TimeTicks, UInteger32 uint32_t, host byte order (4 bytes)
//   Counter64                                 uint64_t, host byte order (8 bytes)
//   IpAddress                                 the 4 address bytes in network order
//   OBJECT IDENTIFIER                         uint32_t elements, host byte order
//   NULL, noSuchObject, noSuchInstance,
//   endOfMibView                              no bytes
//   OCTET STRING, Opaque and any other type   the bytes as received
#pragma once

#include <cstddef>
#include <cstdint>

#include "kmbase/export.h"
#include "kmsnmp/constants.h"

namespace kmsnmp {
class BerWriter;
}
class SNMP_PDU;

class KMSRV_EXPORT SNMP_Variable {
 public:
  // No name, type NULL.
  SNMP_Variable();
  // A binding for `name` with no value (type NULL), as requests carry it.
  // A name longer than SNMP_MAX_OID_LENGTH leaves the variable without name.
  SNMP_Variable(const uint32_t *name, uint32_t nameLength);
  ~SNMP_Variable();
  // A new variable with the same name and value (the caller deletes it), or
  // null when memory is short. Handlers that keep a variable of an answer
  // keep a clone.
  SNMP_Variable *clone() const;
  SNMP_Variable(const SNMP_Variable &) = delete;
  SNMP_Variable &operator=(const SNMP_Variable &) = delete;

  // The BER tag of the value (ASN_* in kmsnmp/constants.h).
  uint32_t getType() const { return type_; }
  const uint32_t *getName() const { return name_; }
  uint32_t getNameLength() const { return nameLength_; }
  // False (and no change) when longer than SNMP_MAX_OID_LENGTH.
  bool setName(const uint32_t *name, uint32_t length);

  // The value as held (table above).
  const uint8_t *getValue() const { return value_; }
  size_t getValueLength() const { return valueLength_; }

  // Integer types as their 32-bit value (Counter64: the low 32 bits). An
  // IpAddress gives its 4 bytes as they lie in memory, i.e. in network byte
  // order: apply ntohl for (a<<24)|(b<<16)|(c<<8)|d. Any other type gives 0.
  int32_t GetValueAsInt() const;
  uint32_t GetValueAsUInt() const;
  // Integer types widened; Counter64 whole; anything else 0.
  uint64_t GetValueAsUInt64() const;
  // Text of the value into buf (size in characters, always terminated when
  // size > 0, cut to fit): numbers in decimal, IpAddress as a.b.c.d, an
  // OBJECT IDENTIFIER as dotted text, string types through the process code
  // page (kmbase text), NULL and exceptions as "". Returns buf.
  char16_t *GetValueAsString(char16_t *buf, size_t size) const;
  // Copies at most size bytes of the value as held; returns the bytes copied.
  size_t getRawValue(void *buf, size_t size) const;
  // Like GetValueAsString, but for an OCTET STRING or Opaque holding bytes
  // that are not printable text (control characters, or invalid sequences
  // under a UTF-8 code page; trailing NULs are ignored) and *convertToHex
  // true on entry: hexadecimal pairs separated by spaces ("00 1A 2B"), cut at
  // whole bytes. On return *convertToHex says whether hex was written.
  // convertToHex may be null (no hex).
  char16_t *getValueAsPrintableString(char16_t *buf, size_t size, bool *convertToHex) const;
  // An OBJECT IDENTIFIER value into at most max elements; returns the count
  // copied (0 for another type).
  uint32_t getValueAsOid(uint32_t *elements, uint32_t max) const;

  // Setters for requests and for answering side code. Each replaces type and
  // value; false (and no change) for an unsuitable type or size.
  // NULL or one of the exception types (noSuchObject, noSuchInstance,
  // endOfMibView).
  bool setNull(uint32_t type = ASN_NULL);
  void setInteger(int32_t value);
  // Counter32, Gauge32, TimeTicks or UInteger32.
  bool setUnsigned(uint32_t type, uint32_t value);
  void setCounter64(uint64_t value);
  // Address in host byte order, a.b.c.d as (a<<24)|(b<<16)|(c<<8)|d.
  void setIpAddress(uint32_t addressHostOrder);
  // OCTET STRING, Opaque or another type held as bytes; at most
  // SNMP_MAX_MESSAGE_SIZE bytes.
  bool setOctets(uint32_t type, const uint8_t *data, size_t length);
  bool setObjectId(const uint32_t *elements, uint32_t count);

 private:
  friend class SNMP_PDU;

  // Takes a value from its BER content; false when the content is invalid
  // for the tag. Used by SNMP_PDU::parse.
  bool decodeValue(uint8_t tag, const uint8_t *content, size_t length);
  // Size of the value's content octets and whether it can be encoded at all.
  bool valueContentSize(size_t *size) const;
  void encodeValue(kmsnmp::BerWriter &writer) const;
  bool storeValue(uint32_t type, const void *data, size_t length);

  static constexpr uint32_t kInlineName = 32;
  static constexpr size_t kInlineValue = 32;

  uint32_t type_ = ASN_NULL;
  uint32_t nameLength_ = 0;
  uint32_t *name_;  // inlineName_, or a heap block of SNMP_MAX_OID_LENGTH elements
  uint8_t *value_;  // inlineValue_, or a heap block of valueCapacity_ bytes
  size_t valueLength_ = 0;
  size_t valueCapacity_ = kInlineValue;
  uint32_t inlineName_[kInlineName];
  alignas(8) uint8_t inlineValue_[kInlineValue];
};
