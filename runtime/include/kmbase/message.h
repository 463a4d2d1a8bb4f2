// CSCPMessage: one KMCP message (code, request id, typed fields) and the
// field codec that turns it into its wire form and back.
//
// Thread safety: a message is a plain value owned by one thread at a time;
// nothing in it is synchronised. Decoding is pure: it reads only the bytes it
// is given, checks every length against them and never allocates more than
// the input size justifies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "kmbase/export.h"
#include "kmbase/kmcp.h"

// Field types on the wire. The byte layout of each is in docs/protocol.md
// ("Message encoding").
enum class KmcpFieldType : uint8_t {
  Int32 = 0,
  String = 1,  // UTF-16 code units
  Int64 = 2,
  Int16 = 3,
  Binary = 4,
  Int32Array = 5,
};

// Why a decode failed; Ok when it did not.
enum class KmcpDecodeStatus {
  Ok = 0,
  TooShort,         // fewer bytes than a header
  SizeMismatch,     // header size differs from the bytes given
  TooLarge,         // header size above KMCP_MAX_MESSAGE_SIZE
  RawMessage,       // FLAG_RAW set: raw messages are never decoded into fields
  Misaligned,       // size not a multiple of KMCP_ALIGNMENT
  FieldTruncated,   // a field or its length runs past the end
  BadFieldType,     // unknown field type
  FieldCountMismatch,  // header field count differs from the fields present
  TrailingBytes,    // bytes after the last field beyond its padding
  DuplicateField,   // two fields with the same id
  OddStringLength,  // a string's byte length is not a whole number of code units
};

KMSRV_EXPORT const char *KmcpDecodeStatusText(KmcpDecodeStatus status);

class KMSRV_EXPORT CSCPMessage {
 public:
  explicit CSCPMessage(int version = KMCP_VERSION);
  // Decodes a received wire message (its header's size says how long it is;
  // the caller guarantees that many readable bytes). A message that fails the
  // checks becomes an empty message with isValid() false; use decode() to
  // learn why.
  // Code and id stay 0 then, so a broken reply is never matched to a request.
  CSCPMessage(const KMCP_MESSAGE *raw, int version);
  ~CSCPMessage();

  CSCPMessage(CSCPMessage &&) noexcept;
  CSCPMessage &operator=(CSCPMessage &&) noexcept;
  CSCPMessage(const CSCPMessage &) = delete;
  CSCPMessage &operator=(const CSCPMessage &) = delete;

  // Strict decoding of exactly bytes.size() bytes. On failure returns null and
  // sets *status (when given); never reads outside `bytes`.
  static std::unique_ptr<CSCPMessage> decode(std::span<const uint8_t> bytes, int version,
                                             KmcpDecodeStatus *status = nullptr);

  bool isValid() const { return valid_; }
  uint16_t GetCode() const { return code_; }
  void SetCode(uint16_t code) { code_ = code; }
  uint32_t GetId() const { return id_; }
  void SetId(uint32_t id) { id_ = id; }
  uint16_t GetFlags() const { return flags_; }
  void SetFlags(uint16_t flags) { flags_ = flags; }
  int GetVersion() const { return version_; }
  uint32_t GetNumFields() const;

  // Setters replace a field of the same id (whatever its type); a new field
  // goes after the existing ones, a replaced one keeps its place. A value too
  // large for any message (see KMCP_MAX_MESSAGE_SIZE) is not stored: the
  // field reads as empty and the message cannot be encoded until that field
  // is replaced or DeleteAllVariables is called.
  void SetVariable(uint32_t id, uint16_t value);
  void SetVariable(uint32_t id, uint32_t value);
  void SetVariable(uint32_t id, uint64_t value);
  void SetVariable(uint32_t id, const char16_t *value);  // null stores ""
  void SetVariable(uint32_t id, const char16_t *value, size_t length);
  void SetVariable(uint32_t id, const uint8_t *data, uint32_t length);  // null data stores 0 bytes
  void SetVariableToInt32Array(uint32_t id, uint32_t count, const uint32_t *values);  // null: 0 values

  bool IsVariableExist(uint32_t id) const;
  // The type of a field, or false when it is missing.
  bool GetVariableType(uint32_t id, KmcpFieldType *type) const;

  // Integer getters give 0 for a missing field; a field of another integer
  // width is converted (truncated or widened).
  uint16_t GetVariableShort(uint32_t id) const;
  uint32_t GetVariableLong(uint32_t id) const;
  uint64_t GetVariableInt64(uint32_t id) const;
  // A peer's integer field of exactly the width the protocol gives it: true
  // with *value set when the field is there with that width (Int16 for
  // uint16_t, Int32 for uint32_t, Int64 for uint64_t); false, *value
  // untouched, when it is missing or of another type. A field of the wrong
  // width is malformed, not converted.
  bool GetVariableExact(uint32_t id, uint16_t *value) const;
  bool GetVariableExact(uint32_t id, uint32_t *value) const;
  bool GetVariableExact(uint32_t id, uint64_t *value) const;
  // An optional integer field: true with *value = fallback when it is
  // missing, or as GetVariableExact when it is there (false for another
  // width).
  template <typename T>
  bool GetVariableOptional(uint32_t id, T fallback, T *value) const {
    if (!IsVariableExist(id)) {
      *value = fallback;
      return true;
    }
    return GetVariableExact(id, value);
  }

  // With a buffer: copies at most size-1 characters and terminates (size 0
  // writes nothing); returns buffer, or null when the field is missing or not
  // a string (then buffer[0] is set to 0 when size > 0). A cut never splits a
  // surrogate pair: its first half is dropped instead.
  // Without a buffer: a new malloc'd terminated copy the caller frees with
  // free(), or null when the field is missing or not a string.
  char16_t *GetVariableStr(uint32_t id, char16_t *buffer = nullptr, uint32_t size = 0) const;
  // Length in code units of a string field, 0 when missing.
  uint32_t GetVariableStrLength(uint32_t id) const;

  // Copies at most size bytes of a binary field into buffer (buffer may be
  // null with size 0 to query); returns the field's full length, 0 if missing.
  uint32_t GetVariableBinary(uint32_t id, uint8_t *buffer, uint32_t size) const;
  // Borrowed view of a binary field's bytes (valid while the message lives
  // and the field is not replaced); empty when missing.
  std::span<const uint8_t> GetVariableBinaryView(uint32_t id) const;

  // Copies at most maxCount elements; returns the array's element count.
  uint32_t GetVariableInt32Array(uint32_t id, uint32_t maxCount, uint32_t *values) const;

  void DeleteAllVariables();

  // The wire form in one malloc'd block (release with free()), or null when
  // the message would exceed KMCP_MAX_MESSAGE_SIZE. FLAG_RAW is never set in
  // the encoded header: a message with fields is never sent as raw.
  KMCP_MESSAGE *CreateMessage() const;
  // Bytes of memory the decoded message holds (fields, index, values): what
  // keeping it costs, for bounds on what a peer can make a session keep.
  size_t MemorySize() const;

  // Size CreateMessage would produce (above KMCP_MAX_MESSAGE_SIZE when it
  // would refuse).
  size_t EncodedSize() const;
  // Encodes into out (which must hold EncodedSize() bytes); returns bytes
  // written, 0 (nothing written) when the message is too large. Lets hot
  // paths reuse one buffer.
  size_t EncodeTo(uint8_t *out) const;

 private:
  // Fields, their lookup index and the bytes they point into; null while the
  // message has no fields (so an empty request costs no allocation).
  struct Impl;
  uint16_t code_ = 0;
  uint16_t flags_ = 0;
  uint32_t id_ = 0;
  int version_ = KMCP_VERSION;
  bool valid_ = true;
  std::unique_ptr<Impl> impl_;
};
