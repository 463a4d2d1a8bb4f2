// BER codec: header, integer and OID content rules, reader and writer.
#include "ber.h"

#include <cstring>

namespace kmsnmp {

namespace {

// Sub-identifier values fit 32 bits; base-128 octets needed for one.
size_t SubidSize(uint32_t v) {
  if (v < 0x80) return 1;
  if (v < 0x4000) return 2;
  if (v < 0x200000) return 3;
  if (v < 0x10000000) return 4;
  return 5;
}

// The first sub-identifier carries two arcs; false when they cannot share it.
bool FirstSubid(const uint32_t *elements, uint32_t count, uint32_t *value) {
  uint32_t first = elements[0];
  uint32_t second = count > 1 ? elements[1] : 0;
  if (first > 2) return false;
  if (first < 2 && second >= 40) return false;
  if (second > 0xFFFFFFFFu - 40 * first) return false;
  *value = 40 * first + second;
  return true;
}

}  // namespace

bool BerDecodeHeader(const uint8_t *data, size_t size, uint8_t *tag, size_t *headerLength,
                     size_t *contentLength) {
  if (data == nullptr || size < 2) return false;
  if ((data[0] & 0x1F) == 0x1F) return false;  // high tag number form
  size_t header = 2;
  size_t length = data[1];
  if (length & 0x80) {
    size_t octets = length & 0x7F;
    if (octets == 0 || octets > BER_MAX_LENGTH_OCTETS) return false;  // indefinite or too wide
    if (size < 2 + octets) return false;
    length = 0;
    for (size_t i = 0; i < octets; i++) length = (length << 8) | data[2 + i];
    header += octets;
  }
  if (length > size - header) return false;
  *tag = data[0];
  *headerLength = header;
  *contentLength = length;
  return true;
}

bool BerDecodeInt32(const uint8_t *content, size_t length, int32_t *value) {
  if (length == 0 || length > BER_MAX_INT32_OCTETS) return false;
  uint32_t u = (content[0] & 0x80) ? 0xFFFFFFFFu : 0;
  for (size_t i = 0; i < length; i++) u = (u << 8) | content[i];
  *value = static_cast<int32_t>(u);
  return true;
}

bool BerDecodeUInt32(const uint8_t *content, size_t length, uint32_t *value) {
  if (length == 0 || length > BER_MAX_UINT32_OCTETS) return false;
  if (length == BER_MAX_UINT32_OCTETS) {
    if (content[0] != 0) return false;
    content++;
    length--;
  }
  uint32_t u = 0;
  for (size_t i = 0; i < length; i++) u = (u << 8) | content[i];
  *value = u;
  return true;
}

bool BerDecodeUInt64(const uint8_t *content, size_t length, uint64_t *value) {
  if (length == 0 || length > BER_MAX_UINT64_OCTETS) return false;
  if (length == BER_MAX_UINT64_OCTETS) {
    if (content[0] != 0) return false;
    content++;
    length--;
  }
  uint64_t u = 0;
  for (size_t i = 0; i < length; i++) u = (u << 8) | content[i];
  *value = u;
  return true;
}

uint32_t BerDecodeOid(const uint8_t *content, size_t length, uint32_t *elements, uint32_t max) {
  if (content == nullptr || length == 0) return 0;
  uint32_t count = 0;
  size_t i = 0;
  while (i < length) {
    if (content[i] == 0x80) return 0;  // a sub-identifier may not start with a zero group
    uint64_t v = 0;
    size_t octets = 0;
    uint8_t c;
    do {
      if (i >= length || ++octets > BER_MAX_SUBID_OCTETS) return 0;
      c = content[i++];
      v = (v << 7) | (c & 0x7F);
    } while (c & 0x80);
    if (v > 0xFFFFFFFFu) return 0;
    if (count == 0) {
      if (max < 2) return 0;
      uint32_t first = v < 40 ? 0 : (v < 80 ? 1 : 2);
      elements[0] = first;
      elements[1] = static_cast<uint32_t>(v - 40 * first);
      count = 2;
    } else {
      if (count >= max) return 0;
      elements[count++] = static_cast<uint32_t>(v);
    }
  }
  return count;
}

bool BerReader::next(uint8_t *tag, const uint8_t **content, size_t *length) {
  if (failed_) return false;
  size_t header;
  size_t size;
  if (!BerDecodeHeader(pos_, remaining(), tag, &header, &size)) return fail();
  *content = pos_ + header;
  *length = size;
  pos_ += header + size;
  return true;
}

bool BerReader::enter(uint8_t tag, BerReader *inner) {
  uint8_t t;
  if (!enterAny(&t, inner)) return false;
  if (t != tag) return fail();
  return true;
}

bool BerReader::enterAny(uint8_t *tag, BerReader *inner) {
  const uint8_t *content;
  size_t length;
  if (!next(tag, &content, &length)) return false;
  if ((*tag & 0x20) == 0 || depth_ >= BER_MAX_DEPTH) return fail();
  *inner = BerReader(content, length);
  inner->depth_ = depth_ + 1;
  return true;
}

bool BerReader::readInt32(int32_t *value) {
  uint8_t t;
  const uint8_t *content;
  size_t length;
  if (!next(&t, &content, &length)) return false;
  if (t != ASN_INTEGER || !BerDecodeInt32(content, length, value)) return fail();
  return true;
}

bool BerReader::readOctets(const uint8_t **data, size_t *length) {
  uint8_t t;
  if (!next(&t, data, length)) return false;
  if (t != ASN_OCTET_STRING) return fail();
  return true;
}

size_t BerHeaderSize(size_t length) {
  if (length < 0x80) return 2;
  if (length <= 0xFF) return 3;
  if (length <= 0xFFFF) return 4;
  if (length <= 0xFFFFFF) return 5;
  return 6;
}

size_t BerInt32ContentSize(int32_t value) {
  uint32_t u = static_cast<uint32_t>(value);
  size_t n = 4;
  // Drop a leading octet while it only repeats the sign of the next one.
  while (n > 1) {
    uint32_t top = (u >> (8 * (n - 1))) & 0xFF;
    uint32_t signOfNext = (u >> (8 * (n - 1) - 1)) & 1;
    if ((top == 0 && signOfNext == 0) || (top == 0xFF && signOfNext == 1)) {
      n--;
    } else {
      break;
    }
  }
  return n;
}

size_t BerUInt32ContentSize(uint32_t value) {
  size_t n = 1;
  while (n < 4 && (value >> (8 * n)) != 0) n++;
  if ((value >> (8 * n - 1)) & 1) n++;  // leading zero keeps it positive
  return n;
}

size_t BerUInt64ContentSize(uint64_t value) {
  size_t n = 1;
  while (n < 8 && (value >> (8 * n)) != 0) n++;
  if ((value >> (8 * n - 1)) & 1) n++;
  return n;
}

size_t BerOidContentSize(const uint32_t *elements, uint32_t count) {
  if (elements == nullptr || count == 0 || count > SNMP_MAX_OID_LENGTH) return 0;
  uint32_t first;
  if (!FirstSubid(elements, count, &first)) return 0;
  size_t size = SubidSize(first);
  for (uint32_t i = 2; i < count; i++) size += SubidSize(elements[i]);
  return size;
}

void BerWriter::writeSubid(uint32_t v) {
  for (size_t g = SubidSize(v); g > 0; g--) {
    uint8_t bits = static_cast<uint8_t>((v >> (7 * (g - 1))) & 0x7F);
    *pos_++ = g > 1 ? (bits | 0x80) : bits;
  }
}

bool BerWriter::reserve(size_t n) {
  if (failed_ || static_cast<size_t>(end_ - pos_) < n) {
    failed_ = true;
    return false;
  }
  return true;
}

uint8_t *BerWriter::zeros(size_t n) {
  if (!reserve(n)) return nullptr;
  uint8_t *at = pos_;
  memset(at, 0, n);
  pos_ += n;
  return at;
}

void BerWriter::header(uint8_t tag, size_t length) {
  size_t size = BerHeaderSize(length);
  if (!reserve(size)) return;
  *pos_++ = tag;
  if (size == 2) {
    *pos_++ = static_cast<uint8_t>(length);
    return;
  }
  size_t octets = size - 2;
  *pos_++ = static_cast<uint8_t>(0x80 | octets);
  for (size_t i = octets; i > 0; i--) *pos_++ = static_cast<uint8_t>(length >> (8 * (i - 1)));
}

void BerWriter::int32(uint8_t tag, int32_t value) {
  size_t n = BerInt32ContentSize(value);
  header(tag, n);
  if (!reserve(n)) return;
  uint32_t u = static_cast<uint32_t>(value);
  for (size_t i = n; i > 0; i--) *pos_++ = static_cast<uint8_t>(u >> (8 * (i - 1)));
}

void BerWriter::uint32(uint8_t tag, uint32_t value) {
  size_t n = BerUInt32ContentSize(value);
  header(tag, n);
  if (!reserve(n)) return;
  if (n == 5) {
    *pos_++ = 0;
    n = 4;
  }
  for (size_t i = n; i > 0; i--) *pos_++ = static_cast<uint8_t>(value >> (8 * (i - 1)));
}

void BerWriter::uint64(uint8_t tag, uint64_t value) {
  size_t n = BerUInt64ContentSize(value);
  header(tag, n);
  if (!reserve(n)) return;
  if (n == 9) {
    *pos_++ = 0;
    n = 8;
  }
  for (size_t i = n; i > 0; i--) *pos_++ = static_cast<uint8_t>(value >> (8 * (i - 1)));
}

void BerWriter::octets(uint8_t tag, const uint8_t *data, size_t length) {
  header(tag, length);
  if (!reserve(length)) return;
  if (length > 0) memcpy(pos_, data, length);
  pos_ += length;
}

void BerWriter::oid(uint8_t tag, const uint32_t *elements, uint32_t count) {
  size_t n = BerOidContentSize(elements, count);
  if (n == 0) {
    failed_ = true;
    return;
  }
  header(tag, n);
  if (!reserve(n)) return;
  uint32_t first = 0;
  FirstSubid(elements, count, &first);
  writeSubid(first);
  for (uint32_t i = 2; i < count; i++) writeSubid(elements[i]);
}

}  // namespace kmsnmp
