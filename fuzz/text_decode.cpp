// Fuzzes the text decoders that see peer bytes: UTF-8 and code page
// decoding (agent config files, names), address and hex parsing, trimming,
// and the formatter's %s over arbitrary UTF-16. Checks the invariants the
// callers rely on: fixed buffers stay terminated and in bounds, decoding then
// encoding round-trips, and nothing reads past its input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kmbase/text.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void Utf8(const char *data, size_t size) {
  const std::u16string wide = KmUtf8ToWide(std::string_view(data, size));
  // Decoded text has no lone surrogates, so it survives a round trip.
  Check(KmUtf8ToWide(KmWideToUtf8(wide)) == wide);
  const std::string terminated(data, strnlen(data, size));
  for (size_t room : {size_t(1), size_t(2), size_t(3), size_t(7), size_t(64)}) {
    std::vector<char16_t> out(room + 1, 0xBEEF);
    const size_t n = KmUtf8ToWide(terminated.c_str(), out.data(), room);
    Check(n < room && out[n] == 0 && out[room] == 0xBEEF);
    Check(n == 0 || !(out[n - 1] >= 0xD800 && out[n - 1] <= 0xDBFF));
  }
}

void Ansi(const char *codePage, const char *data, size_t size) {
  if (!KmSetCodePage(codePage)) return;
  const std::u16string wide = KmAnsiToWide(std::string_view(data, size));
  const std::string narrow = KmWideToAnsi(wide);
  for (size_t room : {size_t(1), size_t(2), size_t(5), size_t(33)}) {
    std::vector<char> out(room + 1, '#');
    const size_t n = KmWideToAnsi(wide.c_str(), ptrdiff_t(wide.size()), out.data(), room);
    Check(n < room && out[n] == 0 && out[room] == '#');
    Check(memcmp(out.data(), narrow.data(), n) == 0);  // a prefix, cut between characters
    std::vector<char16_t> back(room + 1, 0xBEEF);
    const size_t m = KmAnsiToWide(data, ptrdiff_t(size), back.data(), room);
    Check(m < room && back[m] == 0 && back[room] == 0xBEEF);
  }
}

void Wide(const uint8_t *data, size_t size) {
  std::u16string text(size / 2, 0);
  memcpy(text.data(), data, text.size() * 2);
  const std::u16string terminated(text.c_str());
  inet_addr_w(terminated.c_str());
  uint8_t bytes[8];
  Check(StrToBin(terminated.c_str(), bytes, sizeof(bytes)) <= sizeof(bytes));
  std::u16string stripped = terminated;
  StrStrip(stripped.data());
  Check(km_strlen16(stripped.c_str()) <= terminated.size());
  char16_t out[40];
  const int n = km_snprintf16(out, 40, u"<%.*s|%-12s>", int(text.size() % 17), text.data(),
                              terminated.c_str());
  Check(n >= 0 && out[size_t(n) < 40 ? n : 39] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const auto *rest = reinterpret_cast<const char *>(data + 1);
  switch (data[0] % 5) {
    case 0:
      Utf8(rest, size - 1);
      break;
    case 1:
      Ansi("CP1252", rest, size - 1);
      break;
    case 2:
      Ansi("GBK", rest, size - 1);
      break;
    case 3:
      Ansi("CP932", rest, size - 1);
      break;
    default:
      Wide(data + 1, size - 1);
      break;
  }
  KmSetCodePage("UTF-8");
  return 0;
}
