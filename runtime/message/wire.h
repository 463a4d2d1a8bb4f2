// Private UTF-16BE helpers of the message area (integers: kmbase/byte_order.h). Pure functions
// on caller-provided memory; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kmbase/byte_order.h"

namespace kmbase_message {

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
