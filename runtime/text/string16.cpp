// char16_t string helpers.
#include <cstdlib>
#include <cstring>

#include "kmbase/text.h"
#include "utf_internal.h"

size_t km_strlen16(const char16_t *s) {
  if (s == nullptr) return 0;
  const char16_t *p = s;
  while (*p != 0) ++p;
  return size_t(p - s);
}

namespace {

// Copies up to room-1 units of src to dst and terminates; keeps a surrogate
// pair whole. Returns the length of src.
size_t CopyCut(char16_t *dst, size_t room, const char16_t *src) {
  const size_t len = km_strlen16(src);
  if (room == 0) return len;
  size_t n = len < room - 1 ? len : room - 1;
  if (n < len && n > 0 && kmtext::IsHighSurrogate(src[n - 1])) --n;
  if (n > 0) memcpy(dst, src, n * sizeof(char16_t));
  dst[n] = 0;
  return len;
}

}  // namespace

size_t km_strlcpy16(char16_t *dst, const char16_t *src, size_t size) {
  return CopyCut(dst, size, src);
}

size_t km_strlcat16(char16_t *dst, const char16_t *src, size_t size) {
  size_t used = 0;
  while (used < size && dst[used] != 0) ++used;
  if (used == size) return size + km_strlen16(src);  // dst was not terminated
  return used + CopyCut(dst + used, size - used, src);
}

int km_strcmp16(const char16_t *a, const char16_t *b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return int(*a) - int(*b);
}

int km_strncmp16(const char16_t *a, const char16_t *b, size_t n) {
  if (n == 0) return 0;
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i] || a[i] == 0) return int(a[i]) - int(b[i]);
  }
  return 0;
}

int km_stricmp16(const char16_t *a, const char16_t *b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  auto fold = [](char16_t c) -> int { return (c >= u'A' && c <= u'Z') ? c + 32 : c; };
  while (*a != 0 && fold(*a) == fold(*b)) {
    ++a;
    ++b;
  }
  return fold(*a) - fold(*b);
}

const char16_t *km_strchr16(const char16_t *s, char16_t c) {
  if (s == nullptr) return nullptr;
  for (;; ++s) {
    if (*s == c) return s;
    if (*s == 0) return nullptr;
  }
}

char16_t *km_strndup16(const char16_t *s, size_t n) {
  if (s == nullptr) return nullptr;
  size_t len = 0;
  while (len < n && s[len] != 0) ++len;
  auto *copy = static_cast<char16_t *>(malloc((len + 1) * sizeof(char16_t)));
  if (copy == nullptr) return nullptr;
  memcpy(copy, s, len * sizeof(char16_t));
  copy[len] = 0;
  return copy;
}

char16_t *km_strdup16(const char16_t *s) { return km_strndup16(s, SIZE_MAX); }
