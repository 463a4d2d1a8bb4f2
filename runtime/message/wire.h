// Private byte-order and UTF-16BE helpers of the message area. Pure functions
// on caller-provided memory; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kmbase_message {

inline uint16_t LoadBe16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t LoadBe32(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}
inline uint64_t LoadBe64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}
inline void StoreBe16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void StoreBe32(uint8_t *p, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}
inline void StoreBe64(uint8_t *p, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// count code units between host order and UTF-16BE bytes. Written as plain
// loops over memcpy'd units so the compiler can vectorise them.
inline void Utf16ToBe(uint8_t *out, const char16_t *in, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint16_t u = __builtin_bswap16(static_cast<uint16_t>(in[i]));
    std::memcpy(out + 2 * i, &u, 2);
  }
}
inline void BeToUtf16(char16_t *out, const uint8_t *in, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint16_t u;
    std::memcpy(&u, in + 2 * i, 2);
    out[i] = static_cast<char16_t>(__builtin_bswap16(u));
  }
}

inline bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace kmbase_message
