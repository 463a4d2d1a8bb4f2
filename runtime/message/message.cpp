// CSCPMessage: field storage and the KMCP field codec.
//
// Wire layout (docs/protocol.md, "Message encoding", is the reference):
//   header   16 bytes: code u16, flags u16, size u32, id u32, field count u32
//   field    id u32, type u8, reserved u8, then by type
//              Int16       value u16 at 6                       8 bytes
//              Int32       reserved u16, value u32 at 8, pad 4  16 bytes
//              Int64       reserved u16, value u64 at 8         16 bytes
//              String      reserved u16, byte length u32 at 8, UTF-16BE units at 12
//              Binary      reserved u16, byte length u32 at 8, bytes at 12
//              Int32Array  reserved u16, count u32 at 8, u32 values at 12
//            every field padded with zeros to a multiple of 8 bytes.
// All integers big-endian. Reserved and padding bytes are written as zero and
// ignored when read.
//
// Storage: one Impl per message holds the fields in wire order (a vector of
// fixed-size records), an open-addressing index by id once there are more
// than a few fields, and an arena of byte chunks that never move. A decoded
// message copies the received body into one chunk and its string, binary and
// array fields point into that copy, still in wire byte order; getters
// convert on read. Setters store the same wire form, so encoding is a copy.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "kmbase/message.h"
#include "wire.h"

using namespace kmbase_message;

namespace {

constexpr size_t kFixedPrefix = 8;  // id, type, reserved byte, 16-bit value slot
constexpr size_t kVarPrefix = 12;   // the prefix plus the 32-bit length or count
// Every field takes at least 8 bytes (an Int16 field), so a message of size s
// holds at most (s - 16) / 8 fields: the header's field count is checked
// against that before anything is reserved for it.
constexpr size_t kMinFieldSize = 8;
// Largest payload of one variable-length field: what a single-field message
// of KMCP_MAX_MESSAGE_SIZE can carry. Larger values are never stored.
constexpr size_t kMaxPayload = KMCP_MAX_MESSAGE_SIZE - KMCP_HEADER_SIZE - kVarPrefix;
// Up to this many fields a linear scan beats hashing; above it the index is
// kept so lookups stay O(1) in messages of thousands of fields.
constexpr size_t kLinearScanMax = 8;

constexpr size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

bool IsVariable(KmcpFieldType t) {
  return t == KmcpFieldType::String || t == KmcpFieldType::Binary ||
         t == KmcpFieldType::Int32Array;
}

struct Field {
  uint32_t id;
  KmcpFieldType type;
  bool oversized;     // value was too large to store; reads as empty
  uint32_t length;    // String, Binary: payload bytes; Int32Array: element count
  uint32_t capacity;  // payload bytes at data this field may reuse when replaced
  union {
    uint64_t value;  // Int16, Int32, Int64
    uint8_t *data;   // String, Binary, Int32Array: payload in wire byte order
  };
};

size_t PayloadBytes(const Field &f) {
  return f.type == KmcpFieldType::Int32Array ? size_t{f.length} * 4 : f.length;
}

size_t WireSize(const Field &f) {
  if (f.oversized) return KMCP_MAX_MESSAGE_SIZE;  // makes the message unencodable
  switch (f.type) {
    case KmcpFieldType::Int16:
      return kFixedPrefix;
    case KmcpFieldType::Int32:
    case KmcpFieldType::Int64:
      return kFixedPrefix + 8;
    default:
      return Align8(kVarPrefix + PayloadBytes(f));
  }
}

// Parses the field at p (avail bytes, a multiple of 8, up to the end of the
// message). Never reads past p + avail; all sizes are computed in 64 bits.
[[gnu::always_inline]] inline KmcpDecodeStatus ParseField(uint8_t *p, size_t avail, Field *f, size_t *used) {
  if (avail < kFixedPrefix) return KmcpDecodeStatus::FieldTruncated;
  f->id = KmLoadBe32(p);
  f->type = static_cast<KmcpFieldType>(p[4]);
  f->oversized = false;
  f->length = 0;
  f->capacity = 0;
  switch (f->type) {
    case KmcpFieldType::Int16:
      f->value = KmLoadBe16(p + 6);
      *used = kFixedPrefix;
      return KmcpDecodeStatus::Ok;
    case KmcpFieldType::Int32:
    case KmcpFieldType::Int64:
      if (avail < kFixedPrefix + 8) return KmcpDecodeStatus::FieldTruncated;
      f->value = f->type == KmcpFieldType::Int32 ? KmLoadBe32(p + 8) : KmLoadBe64(p + 8);
      *used = kFixedPrefix + 8;
      return KmcpDecodeStatus::Ok;
    case KmcpFieldType::String:
    case KmcpFieldType::Binary:
    case KmcpFieldType::Int32Array: {
      if (avail < kVarPrefix) return KmcpDecodeStatus::FieldTruncated;
      uint32_t n = KmLoadBe32(p + 8);
      uint64_t bytes = f->type == KmcpFieldType::Int32Array ? uint64_t{n} * 4 : n;
      if (f->type == KmcpFieldType::String && (n & 1)) return KmcpDecodeStatus::OddStringLength;
      uint64_t total = (kVarPrefix + bytes + 7) & ~uint64_t{7};
      if (total > avail) return KmcpDecodeStatus::FieldTruncated;
      f->length = n;
      f->capacity = static_cast<uint32_t>(total - kVarPrefix);
      f->data = p + kVarPrefix;
      *used = static_cast<size_t>(total);
      return KmcpDecodeStatus::Ok;
    }
  }
  return KmcpDecodeStatus::BadFieldType;
}

// Byte chunks that never move once handed out, so borrowed views of field
// bytes stay valid while other fields are added.
class Arena {
 public:
  uint8_t *allocate(size_t n) {
    if (n <= left_) {
      uint8_t *p = cur_;
      cur_ += n;
      left_ -= n;
      return p;
    }
    if (n > next_ / 2) return allocateExact(n);  // big values get a chunk of their own
    uint8_t *p = keep(next_);
    cur_ = p + n;
    left_ = next_ - n;
    next_ = std::min<size_t>(next_ * 2, 1u << 20);
    return p;
  }

  // A block of exactly n bytes (a received body), apart from the bump chunk.
  uint8_t *allocateExact(size_t n) { return keep(n); }

  // Bytes of every block taken so far.
  size_t reserved() const { return reserved_; }

 private:
  uint8_t *keep(size_t n) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[n]);
    reserved_ += n;
    uint8_t *p = block.get();
    if (!first_) {
      first_ = std::move(block);
    } else {
      more_.push_back(std::move(block));
    }
    return p;
  }

  std::unique_ptr<uint8_t[]> first_;  // the only chunk of most messages
  std::vector<std::unique_ptr<uint8_t[]>> more_;
  uint8_t *cur_ = nullptr;
  size_t left_ = 0;
  size_t next_ = 512;
  size_t reserved_ = 0;
};

}  // namespace

struct CSCPMessage::Impl {
  std::vector<Field> fields;   // wire order
  // Open-addressing index by id, unused while small. Each slot keeps the id
  // beside the position so probing does not touch the field records.
  struct Slot {
    uint32_t pos;  // position + 1; 0 = empty
    uint32_t id;
  };
  std::vector<Slot> index;
  uint32_t indexShift = 0;      // 32 - log2(index.size())
  Arena arena;
  size_t bodySize = 0;   // encoded bytes of all fields
  uint32_t oversized = 0;  // fields whose value could not be stored

  uint32_t slotOf(uint32_t id) const { return (id * 0x9E3779B1u) >> indexShift; }

  const Field *find(uint32_t id) const {
    if (index.empty()) {
      for (const Field &f : fields) {
        if (f.id == id) return &f;
      }
      return nullptr;
    }
    uint32_t mask = static_cast<uint32_t>(index.size() - 1);
    for (uint32_t s = slotOf(id);; s = (s + 1) & mask) {
      const Slot &e = index[s];
      if (e.pos == 0) return nullptr;
      if (e.id == id) return &fields[e.pos - 1];
    }
  }
  Field *find(uint32_t id) { return const_cast<Field *>(std::as_const(*this).find(id)); }

  // Builds an index for up to `count` fields from the current ones (which
  // have distinct ids). Leaves the old index in place if allocation throws.
  void buildIndex(size_t count) {
    size_t size = 32;
    uint32_t bits = 5;
    while (size < 2 * count) {
      size *= 2;
      ++bits;
    }
    std::vector<Slot> next(size, Slot{0, 0});
    index.swap(next);
    indexShift = 32 - bits;
    for (size_t i = 0; i < fields.size(); ++i) insertIndex(static_cast<uint32_t>(i));
  }

  // Adds fields[pos] to the index; false when its id is already there.
  bool insertIndex(uint32_t pos) {
    uint32_t mask = static_cast<uint32_t>(index.size() - 1);
    uint32_t id = fields[pos].id;
    for (uint32_t s = slotOf(id);; s = (s + 1) & mask) {
      Slot &e = index[s];
      if (e.pos == 0) {
        e = Slot{pos + 1, id};
        return true;
      }
      if (e.id == id) return false;
    }
  }

  // Makes room for one more field so that commit() cannot throw.
  void reserveOne() {
    if (fields.size() == fields.capacity()) fields.reserve(std::max<size_t>(8, fields.size() * 2));
    size_t n = fields.size() + 1;
    if (n > kLinearScanMax && (index.empty() || 2 * n > index.size())) buildIndex(2 * n);
  }
  // Writes a value over `old` or into a new record (room made by
  // reserveOne). The record is filled member by member in place: building it
  // on the stack and copying it costs a store-forwarding stall per field.
  void commit(Field *old, uint32_t id, KmcpFieldType type, uint64_t value, uint8_t *data,
              uint32_t length, uint32_t capacity, bool tooLarge) {
    if (old != nullptr) {
      bodySize -= WireSize(*old);
      if (old->oversized) --oversized;
    }
    Field &f = old != nullptr ? *old : fields.emplace_back();
    f.id = id;
    f.type = type;
    f.oversized = tooLarge;
    f.length = length;
    f.capacity = capacity;
    if (IsVariable(type)) {
      f.data = data;
    } else {
      f.value = value;
    }
    if (old == nullptr && !index.empty()) insertIndex(static_cast<uint32_t>(fields.size() - 1));
    bodySize += WireSize(f);
    if (tooLarge) ++oversized;
  }

  static KmcpDecodeStatus Decode(std::span<const uint8_t> bytes, CSCPMessage *out);
};

namespace {

// Storage for a variable-length value of `bytes` bytes that replaces `old`
// (may be null). Reuses the old field's bytes when they suffice; otherwise
// grows geometrically, so repeated growing replacements waste at most as
// much as the field now holds.
uint8_t *PayloadSlot(Arena &arena, Field *old, size_t bytes, uint32_t *capacity) {
  if (old != nullptr && !old->oversized && IsVariable(old->type) && old->capacity >= bytes) {
    *capacity = old->capacity;
    return old->data;
  }
  if (bytes == 0) {
    *capacity = 0;
    return nullptr;
  }
  size_t cap = bytes;
  if (old != nullptr && !old->oversized && IsVariable(old->type)) {
    cap = std::clamp<size_t>(size_t{old->capacity} * 2, bytes, kMaxPayload);
  }
  *capacity = static_cast<uint32_t>(cap);
  return arena.allocate(cap);
}

}  // namespace

// --- decoding --------------------------------------------------------------

KmcpDecodeStatus CSCPMessage::Impl::Decode(std::span<const uint8_t> bytes, CSCPMessage *out) {
  if (bytes.size() < KMCP_HEADER_SIZE) return KmcpDecodeStatus::TooShort;
  const uint8_t *b = bytes.data();
  uint32_t size = KmLoadBe32(b + 4);
  if (size > KMCP_MAX_MESSAGE_SIZE || bytes.size() > KMCP_MAX_MESSAGE_SIZE) {
    return KmcpDecodeStatus::TooLarge;
  }
  if (size != bytes.size()) return KmcpDecodeStatus::SizeMismatch;
  uint16_t flags = KmLoadBe16(b + 2);
  if (flags & FLAG_RAW) return KmcpDecodeStatus::RawMessage;
  if (size % KMCP_ALIGNMENT != 0) return KmcpDecodeStatus::Misaligned;
  uint32_t count = KmLoadBe32(b + 12);
  size_t body = size - KMCP_HEADER_SIZE;
  if (count > body / kMinFieldSize) return KmcpDecodeStatus::FieldCountMismatch;

  std::unique_ptr<Impl> impl;
  if (body > 0) {
    try {
      impl = std::make_unique<Impl>();
      impl->fields.reserve(count);
      if (count > kLinearScanMax) impl->buildIndex(count);
      uint8_t *copy = impl->arena.allocateExact(body);
      std::memcpy(copy, b + KMCP_HEADER_SIZE, body);
      size_t offset = 0;
      std::vector<Field> &fields = impl->fields;
      while (offset < body) {
        size_t used = 0;
        if (fields.size() == count) {
          // More bytes than the header's fields: a further whole field means
          // the count is wrong, anything else is junk after the last field.
          Field probe;
          return ParseField(copy + offset, body - offset, &probe, &used) == KmcpDecodeStatus::Ok
                     ? KmcpDecodeStatus::FieldCountMismatch
                     : KmcpDecodeStatus::TrailingBytes;
        }
        // Parsed straight into its record (capacity reserved above); a
        // failure discards the whole Impl.
        Field &f = fields.emplace_back();
        KmcpDecodeStatus st = ParseField(copy + offset, body - offset, &f, &used);
        if (st != KmcpDecodeStatus::Ok) return st;
        uint32_t pos = static_cast<uint32_t>(fields.size() - 1);
        if (impl->index.empty()) {
          for (uint32_t i = 0; i < pos; ++i) {
            if (fields[i].id == f.id) return KmcpDecodeStatus::DuplicateField;
          }
        } else if (!impl->insertIndex(pos)) {
          return KmcpDecodeStatus::DuplicateField;
        }
        impl->bodySize += used;
        offset += used;
      }
    } catch (const std::bad_alloc &) {
      return KmcpDecodeStatus::TooLarge;  // cannot hold it: treated as too large for us
    }
    if (impl->fields.size() != count) return KmcpDecodeStatus::FieldCountMismatch;
    if (count == 0) impl.reset();
  } else if (count != 0) {
    return KmcpDecodeStatus::FieldCountMismatch;
  }

  out->code_ = KmLoadBe16(b);
  out->flags_ = flags;
  out->id_ = KmLoadBe32(b + 8);
  out->valid_ = true;
  out->impl_ = std::move(impl);
  return KmcpDecodeStatus::Ok;
}

const char *KmcpDecodeStatusText(KmcpDecodeStatus status) {
  switch (status) {
    case KmcpDecodeStatus::Ok:
      return "ok";
    case KmcpDecodeStatus::TooShort:
      return "message shorter than its header";
    case KmcpDecodeStatus::SizeMismatch:
      return "header size differs from the bytes received";
    case KmcpDecodeStatus::TooLarge:
      return "message larger than the size limit";
    case KmcpDecodeStatus::RawMessage:
      return "raw message has no fields";
    case KmcpDecodeStatus::Misaligned:
      return "message size not a multiple of 8";
    case KmcpDecodeStatus::FieldTruncated:
      return "field runs past the end of the message";
    case KmcpDecodeStatus::BadFieldType:
      return "unknown field type";
    case KmcpDecodeStatus::FieldCountMismatch:
      return "field count differs from the fields present";
    case KmcpDecodeStatus::TrailingBytes:
      return "bytes after the last field";
    case KmcpDecodeStatus::DuplicateField:
      return "two fields with the same id";
    case KmcpDecodeStatus::OddStringLength:
      return "string length not a whole number of UTF-16 code units";
  }
  return "unknown decode status";
}

CSCPMessage::CSCPMessage(int version) : version_(version) {}

CSCPMessage::CSCPMessage(const KMCP_MESSAGE *raw, int version) : version_(version) {
  if (raw == nullptr) {
    valid_ = false;
    return;
  }
  const auto *bytes = reinterpret_cast<const uint8_t *>(raw);
  size_t size = KmLoadBe32(bytes + 4);
  // The caller vouches for `size` bytes; a size below the header or above the
  // limit is rejected without reading beyond the header.
  if (size < KMCP_HEADER_SIZE || size > KMCP_MAX_MESSAGE_SIZE) size = KMCP_HEADER_SIZE;
  if (Impl::Decode(std::span<const uint8_t>(bytes, size), this) != KmcpDecodeStatus::Ok) {
    valid_ = false;
  }
}

CSCPMessage::~CSCPMessage() = default;
CSCPMessage::CSCPMessage(CSCPMessage &&) noexcept = default;
CSCPMessage &CSCPMessage::operator=(CSCPMessage &&) noexcept = default;

std::unique_ptr<CSCPMessage> CSCPMessage::decode(std::span<const uint8_t> bytes, int version,
                                                 KmcpDecodeStatus *status) {
  std::unique_ptr<CSCPMessage> msg;
  KmcpDecodeStatus st;
  try {
    msg = std::make_unique<CSCPMessage>(version);
    st = Impl::Decode(bytes, msg.get());
  } catch (const std::bad_alloc &) {
    st = KmcpDecodeStatus::TooLarge;
  }
  if (status != nullptr) *status = st;
  if (st != KmcpDecodeStatus::Ok) return nullptr;
  return msg;
}

// --- setters ---------------------------------------------------------------

namespace {

template <typename ImplT>
ImplT &Ensure(std::unique_ptr<ImplT> &impl) {
  if (!impl) impl = std::make_unique<ImplT>();
  return *impl;
}

}  // namespace

namespace {

template <typename ImplT>
void SetFixedField(ImplT &m, uint32_t id, KmcpFieldType type, uint64_t value) {
  Field *old = m.find(id);
  if (old == nullptr) m.reserveOne();
  m.commit(old, id, type, value, nullptr, 0, 0, false);
}

}  // namespace

void CSCPMessage::SetVariable(uint32_t id, uint16_t value) {
  SetFixedField(Ensure(impl_), id, KmcpFieldType::Int16, value);
}
void CSCPMessage::SetVariable(uint32_t id, uint32_t value) {
  SetFixedField(Ensure(impl_), id, KmcpFieldType::Int32, value);
}
void CSCPMessage::SetVariable(uint32_t id, uint64_t value) {
  SetFixedField(Ensure(impl_), id, KmcpFieldType::Int64, value);
}

namespace {

// Shared body of the variable-length setters: `count` is what the wire's
// length word holds, `bytes` the payload size, `fill` writes the payload in
// wire order. A tooLarge value is not stored (the field reads as empty and
// makes the message unencodable).
template <typename ImplT, typename Fill>
void SetVariableField(ImplT &m, uint32_t id, KmcpFieldType type, size_t count, size_t bytes,
                      bool tooLarge, Fill fill) {
  Field *old = m.find(id);
  uint32_t capacity = 0;
  uint8_t *dst = tooLarge ? nullptr : PayloadSlot(m.arena, old, bytes, &capacity);
  if (old == nullptr) m.reserveOne();  // before writing, so a throw changes nothing
  if (dst != nullptr && bytes > 0) fill(dst);
  m.commit(old, id, type, 0, dst, tooLarge ? 0 : static_cast<uint32_t>(count), capacity, tooLarge);
}

}  // namespace

void CSCPMessage::SetVariable(uint32_t id, const char16_t *value) {
  size_t len = value != nullptr ? std::char_traits<char16_t>::length(value) : 0;
  SetVariable(id, value, len);
}

void CSCPMessage::SetVariable(uint32_t id, const char16_t *value, size_t length) {
  if (value == nullptr) length = 0;
  bool tooLarge = length > kMaxPayload / 2;
  size_t bytes = tooLarge ? 0 : length * 2;
  SetVariableField(Ensure(impl_), id, KmcpFieldType::String, bytes, bytes, tooLarge,
                   [&](uint8_t *dst) { Utf16ToBe(dst, value, length); });
}

void CSCPMessage::SetVariable(uint32_t id, const uint8_t *data, uint32_t length) {
  if (data == nullptr) length = 0;
  bool tooLarge = length > kMaxPayload;
  size_t bytes = tooLarge ? 0 : length;
  // memmove: the source may be this field's own bytes (a borrowed view).
  SetVariableField(Ensure(impl_), id, KmcpFieldType::Binary, bytes, bytes, tooLarge,
                   [&](uint8_t *dst) { std::memmove(dst, data, bytes); });
}

void CSCPMessage::SetVariableToInt32Array(uint32_t id, uint32_t count, const uint32_t *values) {
  if (values == nullptr) count = 0;
  bool tooLarge = count > kMaxPayload / 4;
  size_t bytes = tooLarge ? 0 : size_t{count} * 4;
  SetVariableField(Ensure(impl_), id, KmcpFieldType::Int32Array, tooLarge ? 0 : count, bytes,
                   tooLarge, [&](uint8_t *dst) {
                     for (uint32_t i = 0; i < count; ++i) KmStoreBe32(dst + 4 * i, values[i]);
                   });
}

void CSCPMessage::DeleteAllVariables() { impl_.reset(); }

// --- getters ---------------------------------------------------------------

uint32_t CSCPMessage::GetNumFields() const {
  return impl_ ? static_cast<uint32_t>(impl_->fields.size()) : 0;
}

bool CSCPMessage::IsVariableExist(uint32_t id) const {
  return impl_ && impl_->find(id) != nullptr;
}

bool CSCPMessage::GetVariableType(uint32_t id, KmcpFieldType *type) const {
  const Field *f = impl_ ? impl_->find(id) : nullptr;
  if (f == nullptr) return false;
  if (type != nullptr) *type = f->type;
  return true;
}

namespace {

uint64_t IntegerValue(const Field *f) {
  if (f == nullptr) return 0;
  switch (f->type) {
    case KmcpFieldType::Int16:
    case KmcpFieldType::Int32:
    case KmcpFieldType::Int64:
      return f->value;
    default:
      return 0;
  }
}

const Field *StringField(const Field *f) {
  return f != nullptr && f->type == KmcpFieldType::String ? f : nullptr;
}

}  // namespace

uint16_t CSCPMessage::GetVariableShort(uint32_t id) const {
  return static_cast<uint16_t>(IntegerValue(impl_ ? impl_->find(id) : nullptr));
}
uint32_t CSCPMessage::GetVariableLong(uint32_t id) const {
  return static_cast<uint32_t>(IntegerValue(impl_ ? impl_->find(id) : nullptr));
}
uint64_t CSCPMessage::GetVariableInt64(uint32_t id) const {
  return IntegerValue(impl_ ? impl_->find(id) : nullptr);
}

namespace {

template <typename T>
bool ExactInteger(const Field *f, KmcpFieldType type, T *value) {
  if (f == nullptr || f->type != type) return false;
  *value = static_cast<T>(f->value);
  return true;
}

}  // namespace

bool CSCPMessage::GetVariableExact(uint32_t id, uint16_t *value) const {
  return ExactInteger(impl_ ? impl_->find(id) : nullptr, KmcpFieldType::Int16, value);
}
bool CSCPMessage::GetVariableExact(uint32_t id, uint32_t *value) const {
  return ExactInteger(impl_ ? impl_->find(id) : nullptr, KmcpFieldType::Int32, value);
}
bool CSCPMessage::GetVariableExact(uint32_t id, uint64_t *value) const {
  return ExactInteger(impl_ ? impl_->find(id) : nullptr, KmcpFieldType::Int64, value);
}

size_t CSCPMessage::MemorySize() const {
  size_t bytes = sizeof(*this);
  if (impl_) {
    bytes += sizeof(Impl) + impl_->fields.capacity() * sizeof(Field) +
             impl_->index.capacity() * sizeof(Impl::Slot) + impl_->arena.reserved();
  }
  return bytes;
}

char16_t *CSCPMessage::GetVariableStr(uint32_t id, char16_t *buffer, uint32_t size) const {
  const Field *f = StringField(impl_ ? impl_->find(id) : nullptr);
  size_t units = f != nullptr ? f->length / 2 : 0;
  if (buffer == nullptr) {
    if (f == nullptr) return nullptr;
    auto *copy = static_cast<char16_t *>(std::malloc((units + 1) * sizeof(char16_t)));
    if (copy == nullptr) return nullptr;
    if (units > 0) BeToUtf16(copy, f->data, units);
    copy[units] = 0;
    return copy;
  }
  if (f == nullptr) {
    if (size > 0) buffer[0] = 0;
    return nullptr;
  }
  if (size == 0) return buffer;
  size_t n = std::min<size_t>(units, size - 1);
  if (n > 0) BeToUtf16(buffer, f->data, n);
  if (n < units && n > 0 && IsHighSurrogate(buffer[n - 1])) {
    char16_t next;
    BeToUtf16(&next, f->data + 2 * n, 1);
    if (IsLowSurrogate(next)) --n;
  }
  buffer[n] = 0;
  return buffer;
}

uint32_t CSCPMessage::GetVariableStrLength(uint32_t id) const {
  const Field *f = StringField(impl_ ? impl_->find(id) : nullptr);
  return f != nullptr ? f->length / 2 : 0;
}

uint32_t CSCPMessage::GetVariableBinary(uint32_t id, uint8_t *buffer, uint32_t size) const {
  const Field *f = impl_ ? impl_->find(id) : nullptr;
  if (f == nullptr || f->type != KmcpFieldType::Binary) return 0;
  if (buffer != nullptr && size > 0 && f->length > 0) {
    std::memcpy(buffer, f->data, std::min(size, f->length));
  }
  return f->length;
}

std::span<const uint8_t> CSCPMessage::GetVariableBinaryView(uint32_t id) const {
  const Field *f = impl_ ? impl_->find(id) : nullptr;
  if (f == nullptr || f->type != KmcpFieldType::Binary || f->length == 0) return {};
  return {f->data, f->length};
}

uint32_t CSCPMessage::GetVariableInt32Array(uint32_t id, uint32_t maxCount,
                                            uint32_t *values) const {
  const Field *f = impl_ ? impl_->find(id) : nullptr;
  if (f == nullptr || f->type != KmcpFieldType::Int32Array) return 0;
  if (values != nullptr) {
    uint32_t n = std::min(maxCount, f->length);
    for (uint32_t i = 0; i < n; ++i) values[i] = KmLoadBe32(f->data + 4 * i);
  }
  return f->length;
}

// --- encoding --------------------------------------------------------------

size_t CSCPMessage::EncodedSize() const {
  return KMCP_HEADER_SIZE + (impl_ ? impl_->bodySize : 0);
}

size_t CSCPMessage::EncodeTo(uint8_t *out) const {
  size_t size = EncodedSize();
  if (size > KMCP_MAX_MESSAGE_SIZE || out == nullptr) return 0;
  KmStoreBe16(out, code_);
  KmStoreBe16(out + 2, static_cast<uint16_t>(flags_ & ~FLAG_RAW));
  KmStoreBe32(out + 4, static_cast<uint32_t>(size));
  KmStoreBe32(out + 8, id_);
  KmStoreBe32(out + 12, GetNumFields());
  if (!impl_) return size;
  uint8_t *p = out + KMCP_HEADER_SIZE;
  for (const Field &f : impl_->fields) {
    KmStoreBe32(p, f.id);
    p[4] = static_cast<uint8_t>(f.type);
    p[5] = 0;
    switch (f.type) {
      case KmcpFieldType::Int16:
        KmStoreBe16(p + 6, static_cast<uint16_t>(f.value));
        p += kFixedPrefix;
        break;
      case KmcpFieldType::Int32:
        std::memset(p + 6, 0, 10);
        KmStoreBe32(p + 8, static_cast<uint32_t>(f.value));
        p += kFixedPrefix + 8;
        break;
      case KmcpFieldType::Int64:
        p[6] = p[7] = 0;
        KmStoreBe64(p + 8, f.value);
        p += kFixedPrefix + 8;
        break;
      default: {
        size_t bytes = PayloadBytes(f);
        size_t total = Align8(kVarPrefix + bytes);
        p[6] = p[7] = 0;
        KmStoreBe32(p + 8, f.length);
        if (bytes > 0) std::memcpy(p + kVarPrefix, f.data, bytes);
        std::memset(p + kVarPrefix + bytes, 0, total - kVarPrefix - bytes);
        p += total;
        break;
      }
    }
  }
  return size;
}

KMCP_MESSAGE *CSCPMessage::CreateMessage() const {
  size_t size = EncodedSize();
  if (size > KMCP_MAX_MESSAGE_SIZE) return nullptr;
  auto *out = static_cast<uint8_t *>(std::malloc(size));
  if (out == nullptr) return nullptr;
  EncodeTo(out);
  return reinterpret_cast<KMCP_MESSAGE *>(out);
}
