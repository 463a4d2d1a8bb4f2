// OID text parsing and printing.
#include "kmsnmp/oid.h"

namespace {

template <typename Char>
uint32_t ParseOid(const Char *text, uint32_t *elements, uint32_t max) {
  if (text == nullptr || elements == nullptr) return 0;
  const Char *p = text;
  if (*p == '.') p++;
  uint32_t count = 0;
  // Parse everything before writing so a failure leaves `elements` untouched;
  // a second pass writes. The text is short (bounded by max elements), so the
  // double scan costs nothing that matters.
  for (int pass = 0; pass < 2; pass++) {
    const Char *q = p;
    count = 0;
    for (;;) {
      if (*q < '0' || *q > '9') return 0;
      uint64_t value = 0;
      while (*q >= '0' && *q <= '9') {
        value = value * 10 + static_cast<uint64_t>(*q - '0');
        if (value > 0xFFFFFFFFu) return 0;
        q++;
      }
      if (count >= max) return 0;
      if (pass == 1) elements[count] = static_cast<uint32_t>(value);
      count++;
      if (*q == 0) break;
      if (*q != '.') return 0;
      q++;
    }
  }
  return count;
}

template <typename Char>
Char *OidToText(uint32_t count, const uint32_t *elements, Char *buf, size_t size) {
  if (buf == nullptr || size == 0) return buf;
  size_t used = 0;
  buf[0] = 0;
  for (uint32_t i = 0; i < count && elements != nullptr; i++) {
    char digits[10];
    size_t n = 0;
    uint32_t v = elements[i];
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    if (used + 1 + n >= size) break;  // dot, digits and the terminator must fit
    buf[used++] = '.';
    while (n > 0) buf[used++] = static_cast<Char>(digits[--n]);
    buf[used] = 0;
  }
  return buf;
}

}  // namespace

uint32_t SNMPParseOID(const char16_t *text, uint32_t *elements, uint32_t max) {
  return ParseOid(text, elements, max);
}

uint32_t SNMPParseOID(const char *text, uint32_t *elements, uint32_t max) {
  return ParseOid(text, elements, max);
}

char16_t *SNMPConvertOIDToText(uint32_t count, const uint32_t *elements, char16_t *buf,
                               size_t size) {
  return OidToText(count, elements, buf, size);
}

char *SNMPConvertOIDToText(uint32_t count, const uint32_t *elements, char *buf, size_t size) {
  return OidToText(count, elements, buf, size);
}

int SNMPCompareOID(const uint32_t *a, uint32_t aLength, const uint32_t *b, uint32_t bLength) {
  uint32_t n = aLength < bLength ? aLength : bLength;
  for (uint32_t i = 0; i < n; i++) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  if (aLength == bLength) return 0;
  return aLength < bLength ? -1 : 1;
}
