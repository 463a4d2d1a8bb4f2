// The process-wide ANSI code page and the conversions that go through it.
//
// UTF-8 is converted here directly. Other code pages go through iconv, one
// pair of converters per thread (an iconv_t must not be shared between
// threads), reopened when the code page changes. A code page record is never
// freed once created, so KmGetCodePage's pointer and a converter's view of the
// current code page stay valid however the setting changes.
#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "kmbase/sync.h"
#include "kmbase/text.h"
#include "utf_internal.h"

namespace {

// iconv codeset names are short; the bound keeps the interned copies small.
constexpr size_t kMaxCodePageName = 63;

struct CodePage {
  const CodePage *next;
  bool utf8;
  char name[kMaxCodePageName + 1];
};

CodePage g_utf8Default{nullptr, true, "UTF-8"};
// Head of the list of every code page ever set (looked up so a name set
// again reuses its record). Guarded by g_setMutex; KmSetCodePage only.
KmPlainMutex g_setMutex;
const CodePage *g_pages KM_GUARDED_BY(g_setMutex) = &g_utf8Default;
// The code page in force; read by every conversion without a lock.
std::atomic<const CodePage *> g_current{&g_utf8Default};

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

bool IsUtf8Name(const char *name) {
  char norm[8];
  size_t n = 0;
  for (const char *p = name; *p != 0; ++p) {
    if (*p == '-' || *p == '_') continue;
    if (n == sizeof(norm) - 1) return false;
    norm[n++] = (*p >= 'a' && *p <= 'z') ? char(*p - 32) : *p;
  }
  norm[n] = 0;
  return strcmp(norm, "UTF8") == 0;
}

void PutUtf32Le(char32_t cp, char *out) {
  out[0] = char(cp & 0xFF);
  out[1] = char((cp >> 8) & 0xFF);
  out[2] = char((cp >> 16) & 0xFF);
  out[3] = char((cp >> 24) & 0xFF);
}

char32_t GetUtf32Le(const char *in) {
  const auto *b = reinterpret_cast<const unsigned char *>(in);
  return char32_t(b[0]) | (char32_t(b[1]) << 8) | (char32_t(b[2]) << 16) | (char32_t(b[3]) << 24);
}

// Converts one code point; returns the bytes written to out (room for 16), 0
// when the code page cannot hold it. Leaves the converter in its initial
// state on failure.
size_t IconvOne(iconv_t cd, char32_t cp, char *out) {
  char in[4];
  PutUtf32Le(cp, in);
  char *inPtr = in;
  size_t inLeft = sizeof(in);
  char *outPtr = out;
  size_t outLeft = 16;
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == size_t(-1) || inLeft != 0) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    return 0;
  }
  return 16 - outLeft;
}

// A code page is usable when ASCII maps to itself byte for byte both ways
// (narrow strings stay C strings, and '?' is a valid replacement) and
// converting a character leaves no shift state behind (so a cut output never
// ends inside a shifted run).
bool IsUsable(const char *name) {
  iconv_t enc = iconv_open(name, "UTF-32LE");
  if (enc == kNoConverter) return false;
  iconv_t dec = iconv_open("UTF-32LE", name);
  if (dec == kNoConverter) {
    iconv_close(enc);
    return false;
  }
  bool ok = true;
  for (char32_t c = 1; c < 0x80 && ok; ++c) {
    char out[16];
    ok = IconvOne(enc, c, out) == 1 && out[0] == char(c);
    char in = char(c);
    char *inPtr = &in;
    size_t inLeft = 1;
    char wide[8];
    char *outPtr = wide;
    size_t outLeft = sizeof(wide);
    ok = ok && iconv(dec, &inPtr, &inLeft, &outPtr, &outLeft) != size_t(-1) &&
         outLeft == sizeof(wide) - 4 && GetUtf32Le(wide) == c;
  }
  for (char32_t c : {char32_t(0xE9), char32_t(0x416), char32_t(0x20AC), char32_t(0x3042)}) {
    if (!ok) break;
    char out[16];
    if (IconvOne(enc, c, out) == 0) continue;  // not in this code page
    char *outPtr = out;
    size_t outLeft = sizeof(out);
    ok = iconv(enc, nullptr, nullptr, &outPtr, &outLeft) != size_t(-1) && outLeft == sizeof(out);
  }
  iconv_close(enc);
  iconv_close(dec);
  return ok;
}

// This thread's converters for one code page.
class ThreadConverters {
 public:
  ThreadConverters() = default;
  ThreadConverters(const ThreadConverters &) = delete;
  ThreadConverters &operator=(const ThreadConverters &) = delete;
  ~ThreadConverters() { Close(); }

  // Converters for page (opened on first use or after a change); either may
  // be kNoConverter when iconv cannot open it (then every non-ASCII
  // character is replaced).
  void Use(const CodePage *page) {
    if (page == page_) return;
    Close();
    page_ = page;
    encode_ = iconv_open(page->name, "UTF-32LE");
    decode_ = iconv_open("UTF-32LE", page->name);
  }
  iconv_t encoder() const { return encode_; }
  iconv_t decoder() const { return decode_; }

 private:
  void Close() {
    if (encode_ != kNoConverter) iconv_close(encode_);
    if (decode_ != kNoConverter) iconv_close(decode_);
    encode_ = decode_ = kNoConverter;
    page_ = nullptr;
  }
  const CodePage *page_ = nullptr;
  iconv_t encode_ = kNoConverter;
  iconv_t decode_ = kNoConverter;
};

thread_local ThreadConverters t_converters;

// Wide -> ANSI. end null: src is terminated. emit(bytes, n) returns false to
// stop; it always receives whole characters.
template <class Emit>
void EncodeAnsi(const char16_t *src, const char16_t *end, Emit emit) {
  const CodePage *page = g_current.load(std::memory_order_acquire);
  iconv_t cd = kNoConverter;
  if (!page->utf8) {
    t_converters.Use(page);
    cd = t_converters.encoder();
  }
  const char16_t *p = src;
  while (end != nullptr ? p < end : *p != 0) {
    const char32_t cp = kmtext::DecodeUtf16(p, end);
    char bytes[16];
    size_t n;
    if (page->utf8) {
      n = kmtext::EncodeUtf8(cp, bytes);
    } else if (cp < 0x80) {
      bytes[0] = char(cp);
      n = 1;
    } else {
      n = cd == kNoConverter ? 0 : IconvOne(cd, cp, bytes);
      if (n == 0) {
        bytes[0] = '?';
        n = 1;
      }
    }
    if (!emit(bytes, n)) return;
  }
}

// ANSI -> code points. emit(cp) returns false to stop.
template <class Emit>
void DecodeAnsi(const char *src, size_t len, Emit emit) {
  const CodePage *page = g_current.load(std::memory_order_acquire);
  const auto *p = reinterpret_cast<const unsigned char *>(src);
  const auto *end = p + len;
  if (page->utf8) {
    while (p < end) {
      if (!emit(kmtext::DecodeUtf8(p, end))) return;
    }
    return;
  }
  t_converters.Use(page);
  iconv_t cd = t_converters.decoder();
  while (p < end) {
    // Between iconv calls p is on a character boundary, where a byte below
    // 0x80 is always ASCII.
    if (*p < 0x80) {
      if (!emit(*p++)) return;
      continue;
    }
    if (cd == kNoConverter) {
      ++p;
      if (!emit(kmtext::kReplacement)) return;
      continue;
    }
    char wide[64 * 4];
    char *inPtr = const_cast<char *>(reinterpret_cast<const char *>(p));
    size_t inLeft = size_t(end - p);
    char *outPtr = wide;
    size_t outLeft = sizeof(wide);
    const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    const int err = rc == size_t(-1) ? errno : 0;
    const auto *next = reinterpret_cast<const unsigned char *>(inPtr);
    for (const char *w = wide; w < outPtr; w += 4) {
      if (!emit(GetUtf32Le(w))) return;
    }
    if (err == EILSEQ || err == EINVAL || (err != 0 && err != E2BIG) || next == p) {
      // Undecodable byte (or an incomplete character at the end): replace
      // it and resynchronise on the next byte.
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (next == p) ++next;
      if (!emit(kmtext::kReplacement)) return;
    }
    p = next;
  }
}

}  // namespace

bool KmSetCodePage(const char *codeset) {
  if (codeset == nullptr || *codeset == 0) return false;
  if (strnlen(codeset, kMaxCodePageName + 1) > kMaxCodePageName) return false;
  // "//TRANSLIT" and similar suffixes would change how unmappable characters
  // are replaced.
  if (strchr(codeset, '/') != nullptr) return false;
  const bool utf8 = IsUtf8Name(codeset);
  if (!utf8 && !IsUsable(codeset)) return false;

  KmPlainLockGuard lock(g_setMutex);
  const CodePage *page = g_pages;
  while (page != nullptr && strcmp(page->name, codeset) != 0) page = page->next;
  if (page == nullptr) {
    auto *fresh = new CodePage{g_pages, utf8, {}};
    memcpy(fresh->name, codeset, strlen(codeset) + 1);
    g_pages = fresh;
    page = fresh;
  }
  g_current.store(page, std::memory_order_release);
  return true;
}

const char *KmGetCodePage() { return g_current.load(std::memory_order_acquire)->name; }

size_t KmWideToAnsi(const char16_t *src, ptrdiff_t srcLen, char *dst, size_t dstSize) {
  if (dstSize == 0) return 0;
  size_t n = 0;
  if (src != nullptr) {
    EncodeAnsi(src, srcLen < 0 ? nullptr : src + srcLen, [&](const char *bytes, size_t k) {
      if (k > dstSize - 1 - n) return false;
      memcpy(dst + n, bytes, k);
      n += k;
      return true;
    });
  }
  dst[n] = 0;
  return n;
}

size_t KmAnsiToWide(const char *src, ptrdiff_t srcLen, char16_t *dst, size_t dstSize) {
  if (dstSize == 0) return 0;
  size_t n = 0;
  if (src != nullptr) {
    DecodeAnsi(src, srcLen < 0 ? strlen(src) : size_t(srcLen), [&](char32_t cp) {
      char16_t units[2];
      const size_t k = kmtext::EncodeUtf16(cp, units);
      if (k > dstSize - 1 - n) return false;
      dst[n] = units[0];
      if (k == 2) dst[n + 1] = units[1];
      n += k;
      return true;
    });
  }
  dst[n] = 0;
  return n;
}

std::string KmWideToAnsi(std::u16string_view text) {
  std::string out;
  if (text.empty()) return out;
  out.reserve(text.size());
  EncodeAnsi(text.data(), text.data() + text.size(), [&](const char *bytes, size_t k) {
    out.append(bytes, k);
    return true;
  });
  return out;
}

std::u16string KmAnsiToWide(std::string_view text) {
  std::u16string out;
  if (text.empty()) return out;
  out.reserve(text.size());
  DecodeAnsi(text.data(), text.size(), [&](char32_t cp) {
    char16_t units[2];
    out.append(units, kmtext::EncodeUtf16(cp, units));
    return true;
  });
  return out;
}
