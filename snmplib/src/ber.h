// The BER codec under SNMP_PDU: a strict, bounded reader over a byte span and
// a forward writer into a caller's buffer, with the size functions the
// writer's callers use to compute lengths before they write.
//
// Decoding is pure: a reader only looks at the bytes it was given, checks
// every length against them, and applies the limits in kmsnmp/constants.h. A
// reader that meets malformed input fails and stays failed. Encoding never
// writes past the buffer; a writer that runs out of room fails and stays
// failed.
//
// Thread safety: readers and writers are plain values owned by one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kmsnmp/constants.h"

namespace kmsnmp {

// Identifier and length octets of one element at the start of `data`.
// Accepts single-octet tags, short lengths and long lengths of 1 to
// BER_MAX_LENGTH_OCTETS octets (non-minimal long forms included); rejects
// high tag numbers, the indefinite form and any content running past `size`.
bool BerDecodeHeader(const uint8_t *data, size_t size, uint8_t *tag, size_t *headerLength,
                     size_t *contentLength);

// Content decoders. Each checks the width limit of its type.
// INTEGER (Integer32): 1 to BER_MAX_INT32_OCTETS octets, two's complement.
bool BerDecodeInt32(const uint8_t *content, size_t length, int32_t *value);
// Unsigned 32-bit types: up to 4 octets are read as the bits of the value
// (agents that forget the leading zero of a value above 2^31 are common); a
// fifth octet is allowed only as a leading zero.
bool BerDecodeUInt32(const uint8_t *content, size_t length, uint32_t *value);
// Counter64: up to 8 octets as bits, a ninth only as a leading zero.
bool BerDecodeUInt64(const uint8_t *content, size_t length, uint64_t *value);
// OBJECT IDENTIFIER content into at most `max` elements (the first octet
// group holds two arcs). Returns the element count, 0 when the content is
// empty, a sub-identifier is unterminated, longer than BER_MAX_SUBID_OCTETS
// or above 32 bits, or there are more than `max` elements.
uint32_t BerDecodeOid(const uint8_t *content, size_t length, uint32_t *elements, uint32_t max);

// A cursor over the content of one constructed element.
class BerReader {
 public:
  BerReader() = default;
  BerReader(const uint8_t *data, size_t size) : pos_(data), end_(data + size) {}

  // Reads the next element's tag and content and moves past it.
  bool next(uint8_t *tag, const uint8_t **content, size_t *length);
  // Reads the next element, which must be constructed and have `tag`, and
  // makes `inner` a reader over its content one level deeper. Fails past
  // BER_MAX_DEPTH.
  bool enter(uint8_t tag, BerReader *inner);
  // The same for the next constructed element whatever its tag, stored in *tag.
  bool enterAny(uint8_t *tag, BerReader *inner);
  // The next element must be INTEGER (Integer32).
  bool readInt32(int32_t *value);
  // The next element must be OCTET STRING; points into the input.
  bool readOctets(const uint8_t **data, size_t *length);

  bool atEnd() const { return pos_ == end_; }
  bool failed() const { return failed_; }
  uint32_t depth() const { return depth_; }
  size_t remaining() const { return static_cast<size_t>(end_ - pos_); }

 private:
  bool fail() {
    failed_ = true;
    return false;
  }

  const uint8_t *pos_ = nullptr;
  const uint8_t *end_ = nullptr;
  uint32_t depth_ = 0;
  bool failed_ = false;
};

// Encoded sizes, for computing lengths before writing.
// Identifier and length octets for content of `length` bytes.
size_t BerHeaderSize(size_t length);
size_t BerInt32ContentSize(int32_t value);
size_t BerUInt32ContentSize(uint32_t value);
size_t BerUInt64ContentSize(uint64_t value);
// 0 when the name cannot be encoded: no elements, a first arc above 2, a
// second arc of 40 or more under arcs 0 and 1, a combined first sub-identifier
// above 32 bits, or more than SNMP_MAX_OID_LENGTH elements. A one-element
// name is written as that arc followed by 0.
size_t BerOidContentSize(const uint32_t *elements, uint32_t count);
// Whole element (header and content) for content of `length` bytes.
inline size_t BerElementSize(size_t length) { return BerHeaderSize(length) + length; }

// Writes elements front to back into [buffer, buffer + capacity).
class BerWriter {
 public:
  BerWriter(uint8_t *buffer, size_t capacity)
      : start_(buffer), pos_(buffer), end_(buffer + capacity) {}

  // Identifier and length of an element whose content follows.
  void header(uint8_t tag, size_t length);
  void int32(uint8_t tag, int32_t value);
  void uint32(uint8_t tag, uint32_t value);
  void uint64(uint8_t tag, uint64_t value);
  void octets(uint8_t tag, const uint8_t *data, size_t length);
  void oid(uint8_t tag, const uint32_t *elements, uint32_t count);
  // Zero bytes whose value is filled in later (a digest, a salt, padding);
  // returns where they start, null when they do not fit.
  uint8_t *zeros(size_t n);
  // Marks the writing failed (a later step, such as encryption, failed).
  void fail() { failed_ = true; }

  bool failed() const { return failed_; }
  size_t size() const { return static_cast<size_t>(pos_ - start_); }

 private:
  bool reserve(size_t n);
  void writeSubid(uint32_t v);  // room already reserved

  uint8_t *start_;
  uint8_t *pos_;
  uint8_t *end_;
  bool failed_ = false;
};

}  // namespace kmsnmp
