// IPv4 address text, hex text and in-place trimming.
#include <arpa/inet.h>

#include <cstring>

#include "kmbase/text.h"

char16_t *IpToStr(uint32_t addrHostOrder, char16_t *buf) {
  char16_t *p = buf;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned octet = (addrHostOrder >> shift) & 0xFF;
    if (octet >= 100) *p++ = char16_t(u'0' + octet / 100);
    if (octet >= 10) *p++ = char16_t(u'0' + (octet / 10) % 10);
    *p++ = char16_t(u'0' + octet % 10);
    if (shift > 0) *p++ = u'.';
  }
  *p = 0;
  return buf;
}

namespace {

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// One part of an inet_addr address: 0x hex, 0 octal or decimal, at least one
// digit, at most 0xFFFFFFFF. Advances p; false when malformed.
bool ParsePart(const char16_t *&p, uint32_t *value) {
  unsigned base = 10;
  if (*p == u'0' && (p[1] == u'x' || p[1] == u'X')) {
    base = 16;
    p += 2;
  } else if (*p == u'0' && p[1] >= u'0' && p[1] <= u'9') {
    base = 8;
    ++p;
  }
  uint64_t v = 0;
  const char16_t *start = p;
  for (;; ++p) {
    const int d = HexValue(*p);
    if (d < 0 || unsigned(d) >= base) break;
    v = v * base + unsigned(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  if (p == start) return false;
  *value = uint32_t(v);
  return true;
}

}  // namespace

uint32_t inet_addr_w(const char16_t *text) {
  if (text == nullptr) return INADDR_NONE;
  uint32_t parts[4];
  int count = 0;
  const char16_t *p = text;
  for (;;) {
    if (!ParsePart(p, &parts[count])) return INADDR_NONE;
    ++count;
    if (*p == 0) break;
    if (*p != u'.' || count == 4) return INADDR_NONE;
    ++p;
  }
  uint32_t addr = 0;
  // Every part but the last is one byte; the last fills the bytes left.
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) return INADDR_NONE;
    addr |= parts[i] << (24 - 8 * i);
  }
  const uint32_t last = parts[count - 1];
  if (count > 1 && last > (0xFFFFFFFFu >> (8 * (count - 1)))) return INADDR_NONE;
  addr |= last;
  return htonl(addr);
}

size_t StrToBin(const char16_t *hex, uint8_t *out, size_t max) {
  if (hex == nullptr) return 0;
  size_t n = 0;
  while (n < max) {
    const int hi = HexValue(hex[0]);
    if (hi < 0) break;
    const int lo = HexValue(hex[1]);
    if (lo < 0) break;
    out[n++] = uint8_t((hi << 4) | lo);
    hex += 2;
  }
  return n;
}

char16_t *BinToStr(const uint8_t *data, size_t len, char16_t *out) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  char16_t *p = out;
  for (size_t i = 0; i < len; ++i) {
    *p++ = kDigits[data[i] >> 4];
    *p++ = kDigits[data[i] & 0x0F];
  }
  *p = 0;
  return out;
}

char16_t *StrStrip(char16_t *text) {
  if (text == nullptr) return text;
  auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  char16_t *start = text;
  while (blank(*start)) ++start;
  char16_t *end = start;
  while (*end != 0) ++end;
  while (end > start && blank(end[-1])) --end;
  const size_t len = size_t(end - start);
  if (start != text) {
    for (size_t i = 0; i < len; ++i) text[i] = start[i];
  }
  text[len] = 0;
  return text;
}

std::string KmIpToText(uint32_t addrHostOrder) {
  char16_t buf[16];
  return KmWideToUtf8(IpToStr(addrHostOrder, buf));
}

namespace {

// Bytes after which the GUID text has a dash.
constexpr bool DashAfter(size_t i) { return i == 3 || i == 5 || i == 7 || i == 9; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string KmGuidToText(const uint8_t *guid) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < KM_GUID_SIZE; i++) {
    text += kDigits[guid[i] >> 4];
    text += kDigits[guid[i] & 15];
    if (DashAfter(i)) text += '-';
  }
  return text;
}

bool KmGuidFromText(std::string_view text, uint8_t *guid, bool lenient) {
  if (lenient && text.size() >= 2 && text.front() == '{' && text.back() == '}')
    text = text.substr(1, text.size() - 2);
  const bool dashed = text.size() == 36;
  if (!dashed && !(lenient && text.size() == 32)) return false;
  uint8_t bytes[KM_GUID_SIZE];
  size_t pos = 0;
  for (size_t i = 0; i < KM_GUID_SIZE; i++) {
    const int high = HexValue(text[pos]);
    const int low = HexValue(text[pos + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
    pos += 2;
    if (dashed && DashAfter(i)) {
      if (text[pos] != '-') return false;
      pos++;
    }
  }
  std::memcpy(guid, bytes, sizeof(bytes));
  return true;
}
