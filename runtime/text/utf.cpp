// UTF-8 <-> UTF-16 conversions.
#include "kmbase/text.h"
#include "utf_internal.h"

std::string KmWideToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  const char16_t *p = text.data();
  const char16_t *end = p + text.size();
  while (p < end) {
    char bytes[4];
    out.append(bytes, kmtext::EncodeUtf8(kmtext::DecodeUtf16(p, end), bytes));
  }
  return out;
}

std::u16string KmUtf8ToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  const auto *end = p + text.size();
  while (p < end) {
    char16_t units[2];
    out.append(units, kmtext::EncodeUtf16(kmtext::DecodeUtf8(p, end), units));
  }
  return out;
}

size_t KmWideToUtf8(const char16_t *src, char *dst, size_t dstSize) {
  if (dstSize == 0) return 0;
  size_t n = 0;
  if (src != nullptr) {
    const char16_t *p = src;
    while (*p != 0) {
      char bytes[4];
      const size_t k = kmtext::EncodeUtf8(kmtext::DecodeUtf16(p, nullptr), bytes);
      if (n + k > dstSize - 1) break;
      for (size_t i = 0; i < k; ++i) dst[n + i] = bytes[i];
      n += k;
    }
  }
  dst[n] = 0;
  return n;
}

size_t KmUtf8ToWide(const char *src, char16_t *dst, size_t dstSize) {
  if (dstSize == 0) return 0;
  size_t n = 0;
  if (src != nullptr) {
    const auto *p = reinterpret_cast<const unsigned char *>(src);
    while (*p != 0) {
      char16_t units[2];
      const size_t k = kmtext::EncodeUtf16(kmtext::DecodeUtf8(p, nullptr), units);
      if (n + k > dstSize - 1) break;
      dst[n] = units[0];
      if (k == 2) dst[n + 1] = units[1];
      n += k;
    }
  }
  dst[n] = 0;
  return n;
}

size_t KmUtf8SequenceLength(std::string_view text, size_t i, char32_t *codePoint) {
  const auto *start = reinterpret_cast<const unsigned char *>(text.data()) + i;
  const auto *p = start;
  const char32_t cp =
      kmtext::DecodeUtf8(p, reinterpret_cast<const unsigned char *>(text.data()) + text.size());
  const auto n = static_cast<size_t>(p - start);
  // The reader gives U+FFFD for bad input too; only its own three bytes are
  // the real character.
  if (cp == kmtext::kReplacement &&
      !(n == 3 && start[0] == 0xEF && start[1] == 0xBF && start[2] == 0xBD))
    return 0;
  if (codePoint != nullptr) *codePoint = cp;
  return n;
}
