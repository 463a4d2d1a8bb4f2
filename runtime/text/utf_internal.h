// UTF-8 and UTF-16 code point readers and writers shared by the text area.
// Pure functions on caller memory; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kmtext {

inline constexpr char32_t kReplacement = 0xFFFD;

inline bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Reads one code point of UTF-8 at p and advances p. The caller checks that
// input remains (p < end, or *p != 0 when end is null). With end null the
// input is terminated: a NUL is never a continuation byte, so the reader
// stops at it. Invalid sequences give U+FFFD and advance past their longest
// valid prefix (at least one byte).
inline char32_t DecodeUtf8(const unsigned char *&p, const unsigned char *end) {
  const unsigned char b0 = *p;
  if (b0 < 0x80) {
    ++p;
    return b0;
  }
  int need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    ++p;
    return kReplacement;
  }
  for (int i = 1; i <= need; ++i) {
    if (end != nullptr && p + i >= end) {
      p += i;
      return kReplacement;
    }
    const unsigned char b = p[i];
    const unsigned char min = i == 1 ? lo : 0x80;
    const unsigned char max = i == 1 ? hi : 0xBF;
    if (b < min || b > max) {
      p += i;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  p += need + 1;
  return cp;
}

// Reads one code point of UTF-16 at p and advances p; same end rules as
// DecodeUtf8. A lone surrogate gives U+FFFD.
inline char32_t DecodeUtf16(const char16_t *&p, const char16_t *end) {
  const char16_t c = *p++;
  if (IsHighSurrogate(c)) {
    if ((end == nullptr || p < end) && IsLowSurrogate(*p)) {
      const char16_t d = *p++;
      return 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(d) - 0xDC00);
    }
    return kReplacement;
  }
  if (IsLowSurrogate(c)) return kReplacement;
  return c;
}

// Writes cp as UTF-16 into out (room for 2); returns the units written.
inline size_t EncodeUtf16(char32_t cp, char16_t *out) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out[0] = char16_t(0xD800 + (cp >> 10));
    out[1] = char16_t(0xDC00 + (cp & 0x3FF));
    return 2;
  }
  out[0] = char16_t(cp);
  return 1;
}

// Writes cp as UTF-8 into out (room for 4); returns the bytes written.
inline size_t EncodeUtf8(char32_t cp, char *out) {
  if (cp < 0x80) {
    out[0] = char(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = char(0xC0 | (cp >> 6));
    out[1] = char(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = char(0xE0 | (cp >> 12));
    out[1] = char(0x80 | ((cp >> 6) & 0x3F));
    out[2] = char(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = char(0xF0 | (cp >> 18));
  out[1] = char(0x80 | ((cp >> 12) & 0x3F));
  out[2] = char(0x80 | ((cp >> 6) & 0x3F));
  out[3] = char(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace kmtext
