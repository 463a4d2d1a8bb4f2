// The printf-style formatter for char16_t formats. Writes straight into the
// caller's buffer and only counts what does not fit, so a bounded call never
// allocates and a huge width costs no more than the buffer it fills.
#include <climits>
#include <cstdint>
#include <cstring>

#include "kmbase/text.h"
#include "utf_internal.h"

namespace {

// Output cursor: writes while there is room, always counts.
class Out {
 public:
  Out(char16_t *buf, size_t size) : buf_(buf), cap_(size > 0 ? size - 1 : 0) {}

  void Put(char16_t c) {
    if (len_ < cap_) buf_[len_] = c;
    ++len_;
  }
  void Put(const char16_t *s, size_t n) {
    if (len_ < cap_) {
      const size_t k = n < cap_ - len_ ? n : cap_ - len_;
      memcpy(buf_ + len_, s, k * sizeof(char16_t));
    }
    len_ += n;
  }
  void Fill(char16_t c, size_t n) {
    if (len_ < cap_) {
      const size_t k = n < cap_ - len_ ? n : cap_ - len_;
      for (size_t i = 0; i < k; ++i) buf_[len_ + i] = c;
    }
    len_ += n;
  }
  size_t Length() const { return len_; }

  // Terminates; a cut never leaves a lone high surrogate as the last unit.
  void Finish(size_t size) {
    if (size == 0) return;
    size_t end = len_ < cap_ ? len_ : cap_;
    if (len_ > cap_ && end > 0 && kmtext::IsHighSurrogate(buf_[end - 1])) --end;
    buf_[end] = 0;
  }

 private:
  char16_t *buf_;
  size_t cap_;
  size_t len_ = 0;
};

enum class Length { None, Char, Short, Long, LongLong, Size };

struct Spec {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool zero = false;
  bool alt = false;
  size_t width = 0;
  long long precision = -1;  // -1: none
  Length length = Length::None;
};

// Field numbers above this count as this; the output length is then beyond
// INT_MAX and the call reports -1, so nothing larger is ever needed.
constexpr size_t kFieldCap = size_t(INT_MAX) + 1;

void PadBefore(Out &out, const Spec &spec, size_t bodyLen) {
  if (!spec.left && spec.width > bodyLen) out.Fill(u' ', spec.width - bodyLen);
}
void PadAfter(Out &out, const Spec &spec, size_t bodyLen) {
  if (spec.left && spec.width > bodyLen) out.Fill(u' ', spec.width - bodyLen);
}

void FormatInteger(Out &out, const Spec &spec, uint64_t magnitude, bool negative, bool isSigned,
                   unsigned base, bool upper, bool pointer) {
  static const char16_t kLower[] = u"0123456789abcdef";
  static const char16_t kUpper[] = u"0123456789ABCDEF";
  const char16_t *digitSet = upper ? kUpper : kLower;

  char16_t digits[24];  // 22 octal digits hold 64 bits
  size_t nDigits = 0;
  if (magnitude != 0 || spec.precision != 0 || pointer) {
    do {
      digits[sizeof(digits) / sizeof(digits[0]) - 1 - nDigits++] = digitSet[magnitude % base];
      magnitude /= base;
    } while (magnitude != 0);
  }
  const char16_t *digitStart = digits + (sizeof(digits) / sizeof(digits[0]) - nDigits);

  char16_t prefix[2];
  size_t nPrefix = 0;
  if (isSigned) {
    if (negative)
      prefix[nPrefix++] = u'-';
    else if (spec.plus)
      prefix[nPrefix++] = u'+';
    else if (spec.space)
      prefix[nPrefix++] = u' ';
  } else if (pointer || (spec.alt && base == 16 && nDigits > 0 && *digitStart != u'0')) {
    prefix[nPrefix++] = u'0';
    prefix[nPrefix++] = upper ? u'X' : u'x';
  }

  size_t zeros = 0;
  if (spec.precision >= 0 && size_t(spec.precision) > nDigits) zeros = spec.precision - nDigits;
  if (spec.alt && base == 8 && zeros == 0 && (nDigits == 0 || *digitStart != u'0')) zeros = 1;
  size_t body = nPrefix + zeros + nDigits;
  if (spec.zero && !spec.left && spec.precision < 0 && spec.width > body) {
    zeros += spec.width - body;
    body = spec.width;
  }

  PadBefore(out, spec, body);
  out.Put(prefix, nPrefix);
  out.Fill(u'0', zeros);
  out.Put(digitStart, nDigits);
  PadAfter(out, spec, body);
}

// Units %s prints of a wide string under the precision (a pair is never split).
size_t WideLength(const char16_t *s, long long precision) {
  if (precision < 0) return km_strlen16(s);
  size_t n = 0;
  while (n < size_t(precision) && s[n] != 0) ++n;
  if (n == size_t(precision) && n > 0 && kmtext::IsHighSurrogate(s[n - 1])) --n;
  return n;
}

void FormatWide(Out &out, const Spec &spec, const char16_t *s) {
  if (s == nullptr) s = u"(null)";
  const size_t n = WideLength(s, spec.precision);
  PadBefore(out, spec, n);
  out.Put(s, n);
  PadAfter(out, spec, n);
}

// Narrow UTF-8 text, decoded on the fly. The first pass measures (for the
// padding), the second writes; neither reads past the terminator.
void FormatNarrow(Out &out, const Spec &spec, const char *text) {
  if (text == nullptr) {
    FormatWide(out, spec, nullptr);
    return;
  }
  const size_t limit = spec.precision < 0 ? SIZE_MAX : size_t(spec.precision);
  auto walk = [&](auto emit) {
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    size_t n = 0;
    while (*p != 0) {
      char16_t units[2];
      const size_t k = kmtext::EncodeUtf16(kmtext::DecodeUtf8(p, nullptr), units);
      if (n + k > limit) break;
      emit(units, k);
      n += k;
    }
    return n;
  };
  const size_t n = walk([](const char16_t *, size_t) {});
  PadBefore(out, spec, n);
  walk([&](const char16_t *units, size_t k) { out.Put(units, k); });
  PadAfter(out, spec, n);
}

void FormatChar(Out &out, const Spec &spec, char16_t c) {
  PadBefore(out, spec, 1);
  out.Put(c);
  PadAfter(out, spec, 1);
}

// Reads a decimal field number, saturating at kFieldCap.
size_t ReadNumber(const char16_t *&p) {
  size_t v = 0;
  while (*p >= u'0' && *p <= u'9') {
    v = v * 10 + size_t(*p - u'0');
    if (v > kFieldCap) v = kFieldCap;
    ++p;
  }
  return v;
}

}  // namespace

int km_vsnprintf16(char16_t *buf, size_t size, const char16_t *fmt, va_list args) {
  Out out(buf, size);
  if (fmt == nullptr) fmt = u"";
  const char16_t *p = fmt;
  while (*p != 0) {
    if (*p != u'%') {
      const char16_t *run = p;
      while (*p != 0 && *p != u'%') ++p;
      out.Put(run, size_t(p - run));
      continue;
    }
    const char16_t *specStart = p++;
    Spec spec;
    for (;; ++p) {
      if (*p == u'-')
        spec.left = true;
      else if (*p == u'+')
        spec.plus = true;
      else if (*p == u' ')
        spec.space = true;
      else if (*p == u'0')
        spec.zero = true;
      else if (*p == u'#')
        spec.alt = true;
      else
        break;
    }
    if (*p == u'*') {
      ++p;
      const int w = va_arg(args, int);
      if (w < 0) {
        spec.left = true;
        spec.width = size_t(-(long long)w);
      } else {
        spec.width = size_t(w);
      }
    } else {
      spec.width = ReadNumber(p);
    }
    if (*p == u'.') {
      ++p;
      if (*p == u'*') {
        ++p;
        const int prec = va_arg(args, int);
        spec.precision = prec < 0 ? -1 : prec;
      } else {
        spec.precision = (long long)ReadNumber(p);
      }
    }
    if (*p == u'h') {
      ++p;
      spec.length = Length::Short;
      if (*p == u'h') {
        ++p;
        spec.length = Length::Char;
      }
    } else if (*p == u'l') {
      ++p;
      spec.length = Length::Long;
      if (*p == u'l') {
        ++p;
        spec.length = Length::LongLong;
      }
    } else if (*p == u'z') {
      ++p;
      spec.length = Length::Size;
    }

    const char16_t conv = *p;
    if (conv == 0) {  // format ends inside a conversion: print it as written
      out.Put(specStart, size_t(p - specStart));
      break;
    }
    ++p;
    switch (conv) {
      case u'%':
        out.Put(u'%');
        break;
      case u'd':
      case u'i': {
        long long v;
        switch (spec.length) {
          case Length::Char:
            v = (signed char)va_arg(args, int);
            break;
          case Length::Short:
            v = (short)va_arg(args, int);
            break;
          case Length::Long:
            v = va_arg(args, long);
            break;
          case Length::LongLong:
            v = va_arg(args, long long);
            break;
          case Length::Size:
            v = va_arg(args, ptrdiff_t);
            break;
          default:
            v = va_arg(args, int);
            break;
        }
        const bool negative = v < 0;
        const uint64_t magnitude = negative ? 0 - uint64_t(v) : uint64_t(v);
        FormatInteger(out, spec, magnitude, negative, true, 10, false, false);
        break;
      }
      case u'u':
      case u'x':
      case u'X':
      case u'o': {
        unsigned long long v;
        switch (spec.length) {
          case Length::Char:
            v = (unsigned char)va_arg(args, unsigned);
            break;
          case Length::Short:
            v = (unsigned short)va_arg(args, unsigned);
            break;
          case Length::Long:
            v = va_arg(args, unsigned long);
            break;
          case Length::LongLong:
            v = va_arg(args, unsigned long long);
            break;
          case Length::Size:
            v = va_arg(args, size_t);
            break;
          default:
            v = va_arg(args, unsigned);
            break;
        }
        const unsigned base = conv == u'u' ? 10 : (conv == u'o' ? 8 : 16);
        FormatInteger(out, spec, v, false, false, base, conv == u'X', false);
        break;
      }
      case u'p':
        FormatInteger(out, spec, uintptr_t(va_arg(args, void *)), false, false, 16, false, true);
        break;
      case u'c':
        if (spec.length == Length::Short || spec.length == Length::Char) {
          const auto c = (unsigned char)va_arg(args, int);
          FormatChar(out, spec, c < 0x80 ? char16_t(c) : char16_t(kmtext::kReplacement));
        } else {
          FormatChar(out, spec, char16_t(va_arg(args, int)));
        }
        break;
      case u's':
        if (spec.length == Length::Short || spec.length == Length::Char)
          FormatNarrow(out, spec, va_arg(args, const char *));
        else
          FormatWide(out, spec, va_arg(args, const char16_t *));
        break;
      default:  // unknown (or %n): print the conversion as written
        out.Put(specStart, size_t(p - specStart));
        break;
    }
  }
  out.Finish(size);
  return out.Length() > size_t(INT_MAX) ? -1 : int(out.Length());
}

int km_snprintf16(char16_t *buf, size_t size, const char16_t *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const int n = km_vsnprintf16(buf, size, fmt, args);
  va_end(args);
  return n;
}

std::u16string km_vformat16(const char16_t *fmt, va_list args) {
  char16_t local[512];
  va_list again;
  va_copy(again, args);
  const int n = km_vsnprintf16(local, sizeof(local) / sizeof(local[0]), fmt, args);
  std::u16string result;
  if (n < 0) {
    // Longer than INT_MAX units: keep what fitted rather than nothing.
    result.assign(local);
  } else if (size_t(n) < sizeof(local) / sizeof(local[0])) {
    result.assign(local, size_t(n));
  } else {
    result.resize(size_t(n));
    km_vsnprintf16(result.data(), size_t(n) + 1, fmt, again);
  }
  va_end(again);
  return result;
}

std::u16string km_format16(const char16_t *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::u16string s = km_vformat16(fmt, args);
  va_end(args);
  return s;
}

std::string km_vformat_utf8(const char16_t *fmt, va_list args) {
  return KmWideToUtf8(km_vformat16(fmt, args));
}

std::string km_format_utf8(const char16_t *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = km_vformat_utf8(fmt, args);
  va_end(args);
  return s;
}
