// The char16_t formatter: conversions, flags, widths, precision, modifiers,
// cutting at the buffer size.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

#include "kmbase/text.h"

namespace {

std::u16string Widen(const std::string &s) { return std::u16string(s.begin(), s.end()); }

std::u16string Fmt(const char16_t *fmt, ...) {
  char16_t buf[512];
  va_list args;
  va_start(args, fmt);
  const int n = km_vsnprintf16(buf, 512, fmt, args);
  va_end(args);
  EXPECT_GE(n, 0);
  EXPECT_EQ(size_t(n), km_strlen16(buf));
  return buf;
}

// Integer conversions against the C library's narrow formatter, over every
// combination of flags, some widths and precisions, and edge values.
TEST(Formatter, IntegerConversionsMatchCFormatterForEveryFlagWidthAndPrecision) {
  const char *flagSets[] = {"", "-", "+", " ", "0", "#", "-+", "+0", " 0", "#0", "-#", "-0 +#"};
  const char *widths[] = {"", "1", "8"};
  const char *precisions[] = {"", ".0", ".3", ".10"};
  const int signedValues[] = {0, 1, -1, 42, -42, INT_MAX, INT_MIN};
  const unsigned unsignedValues[] = {0u, 1u, 8u, 255u, 0xDEADBEEFu, UINT_MAX};
  int checked = 0;
  for (const char *flags : flagSets) {
    for (const char *width : widths) {
      for (const char *prec : precisions) {
        for (char conv : {'d', 'i'}) {
          const std::string spec = std::string("[%") + flags + width + prec + conv + "]";
          const std::u16string wspec = Widen(spec);
          for (int v : signedValues) {
            char expected[128];
            snprintf(expected, sizeof(expected), spec.c_str(), v);
            ASSERT_EQ(Fmt(wspec.c_str(), v), Widen(expected)) << spec << " " << v;
            ++checked;
          }
        }
        for (char conv : {'u', 'x', 'X', 'o'}) {
          const std::string spec = std::string("[%") + flags + width + prec + conv + "]";
          const std::u16string wspec = Widen(spec);
          for (unsigned v : unsignedValues) {
            char expected[128];
            snprintf(expected, sizeof(expected), spec.c_str(), v);
            ASSERT_EQ(Fmt(wspec.c_str(), v), Widen(expected)) << spec << " " << v;
            ++checked;
          }
        }
      }
    }
  }
  EXPECT_GT(checked, 3000);
}

TEST(Formatter, LengthModifiersReadArgumentsOfTheirSize) {
  EXPECT_EQ(Fmt(u"%hd", 70000), u"4464");  // converted to short
  EXPECT_EQ(Fmt(u"%hu", 70000u), u"4464");
  EXPECT_EQ(Fmt(u"%hhd", 200), u"-56");
  EXPECT_EQ(Fmt(u"%hhx", 0x1FFu), u"ff");
  EXPECT_EQ(Fmt(u"%ld", long(INT64_MIN)), u"-9223372036854775808");
  EXPECT_EQ(Fmt(u"%lx", 0xFEDCBA9876543210ul), u"fedcba9876543210");
  EXPECT_EQ(Fmt(u"%llu", ~0ull), u"18446744073709551615");
  EXPECT_EQ(Fmt(u"%lli", -1ll), u"-1");
  EXPECT_EQ(Fmt(u"%zu|%zd", SIZE_MAX, ptrdiff_t(-3)), u"18446744073709551615|-3");
  EXPECT_EQ(Fmt(u"%llo", 01234567012345670123ull), u"1234567012345670123");
  // A mix keeps the arguments in step.
  EXPECT_EQ(Fmt(u"%hd %lld %d %s", 1, 2ll, 3, u"x"), u"1 2 3 x");
}

TEST(Formatter, StarTakesWidthAndPrecisionAndNegativeWidthAlignsLeft) {
  EXPECT_EQ(Fmt(u"[%*d]", 5, 42), u"[   42]");
  EXPECT_EQ(Fmt(u"[%*d]", -5, 42), u"[42   ]");
  EXPECT_EQ(Fmt(u"[%.*d]", 4, 7), u"[0007]");
  EXPECT_EQ(Fmt(u"[%.*d]", -1, 7), u"[7]");  // negative precision: none
  EXPECT_EQ(Fmt(u"[%*.*s]", 6, 2, u"abcdef"), u"[    ab]");
  EXPECT_EQ(Fmt(u"[%-*.*x]", 6, 3, 0xAu), u"[00a   ]");
}

TEST(Formatter, WideStringsHonourWidthPrecisionAndNull) {
  EXPECT_EQ(Fmt(u"[%s]", u"abc"), u"[abc]");
  EXPECT_EQ(Fmt(u"[%ls]", u"abc"), u"[abc]");
  EXPECT_EQ(Fmt(u"[%5s]", u"abc"), u"[  abc]");
  EXPECT_EQ(Fmt(u"[%-5s]", u"abc"), u"[abc  ]");
  EXPECT_EQ(Fmt(u"[%.2s]", u"abc"), u"[ab]");
  EXPECT_EQ(Fmt(u"[%.0s]", u"abc"), u"[]");
  EXPECT_EQ(Fmt(u"[%s]", static_cast<const char16_t *>(nullptr)), u"[(null)]");
  EXPECT_EQ(Fmt(u"[%s]", u"\u00e9\u20ac\U0001F600"), u"[\u00e9\u20ac\U0001F600]");
  // Precision stops before a surrogate pair it would split.
  EXPECT_EQ(Fmt(u"[%.2s]", u"a\U0001F600"), u"[a]");
  EXPECT_EQ(Fmt(u"[%.3s]", u"a\U0001F600"), u"[a\U0001F600]");
  // Precision bounds the read: an unterminated array is fine.
  const char16_t unterminated[3] = {u'x', u'y', u'z'};
  EXPECT_EQ(Fmt(u"[%.3s]", unterminated), u"[xyz]");
}

TEST(Formatter, NarrowStringsAreDecodedAsUtf8) {
  EXPECT_EQ(Fmt(u"[%hs]", "abc"), u"[abc]");
  EXPECT_EQ(Fmt(u"[%hs]", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"),
            u"[caf\u00e9 \u20ac \U0001F600]");
  EXPECT_EQ(Fmt(u"[%hs]",
                "a\xFF"
                "b"),
            u"[a\uFFFDb]");
  EXPECT_EQ(Fmt(u"[%hs]", "a\xE2\x82"), u"[a\uFFFD]");  // cut sequence at the end
  EXPECT_EQ(Fmt(u"[%6hs]", "\xC3\xA9"), u"[     \u00e9]");
  EXPECT_EQ(Fmt(u"[%-4hs]", "ab"), u"[ab  ]");
  EXPECT_EQ(Fmt(u"[%.1hs]",
                "\xF0\x9F\x98\x80"
                "x"),
            u"[]");
  EXPECT_EQ(Fmt(u"[%.2hs]",
                "\xF0\x9F\x98\x80"
                "x"),
            u"[\U0001F600]");
  EXPECT_EQ(Fmt(u"[%hs]", static_cast<const char *>(nullptr)), u"[(null)]");
}

TEST(Formatter, CharactersAndPointers) {
  EXPECT_EQ(Fmt(u"[%c]", u'A'), u"[A]");
  EXPECT_EQ(Fmt(u"[%c]", u'\u00e9'), u"[\u00e9]");
  EXPECT_EQ(Fmt(u"[%3c|%-3c]", u'x', u'y'), u"[  x|y  ]");
  EXPECT_EQ(Fmt(u"[%hc]", 'z'), u"[z]");
  EXPECT_EQ(Fmt(u"[%p]", reinterpret_cast<void *>(0x1a2b)), u"[0x1a2b]");
  EXPECT_EQ(Fmt(u"[%p]", static_cast<void *>(nullptr)), u"[0x0]");
  EXPECT_EQ(Fmt(u"[%10p]", reinterpret_cast<void *>(0xff)), u"[      0xff]");
}

TEST(Formatter, PercentAndUnknownConversionsAreCopiedAsWritten) {
  EXPECT_EQ(Fmt(u"100%%"), u"100%");
  EXPECT_EQ(Fmt(u"a%yb"), u"a%yb");
  EXPECT_EQ(Fmt(u"a%-5yb"), u"a%-5yb");
  EXPECT_EQ(Fmt(u"a%n b"), u"a%n b");
  EXPECT_EQ(Fmt(u"end%"), u"end%");
  EXPECT_EQ(Fmt(u"end%-08.3l"), u"end%-08.3l");
  EXPECT_EQ(Fmt(u"%d%%%d", 1, 2), u"1%2");
}

TEST(Formatter, CutsAtBufferSizeTerminatesAndReturnsFullLength) {
  char16_t buf[8];
  for (char16_t &c : buf) c = u'#';
  EXPECT_EQ(km_snprintf16(buf, 5, u"abc%s", u"defgh"), 8);
  EXPECT_EQ(std::u16string(buf), u"abcd");
  EXPECT_EQ(buf[5], u'#');  // nothing past the given size

  EXPECT_EQ(km_snprintf16(buf, 4, u"abc"), 3);  // exactly fits
  EXPECT_EQ(std::u16string(buf), u"abc");
  EXPECT_EQ(km_snprintf16(buf, 3, u"abc"), 3);  // one short
  EXPECT_EQ(std::u16string(buf), u"ab");
  EXPECT_EQ(km_snprintf16(buf, 1, u"%d", 12345), 5);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(km_snprintf16(nullptr, 0, u"%d-%s", 12345, u"xy"), 8);

  // The cut never leaves half of a surrogate pair.
  EXPECT_EQ(km_snprintf16(buf, 3, u"a%s", u"\U0001F600"), 3);
  EXPECT_EQ(std::u16string(buf), u"a");
  EXPECT_EQ(km_snprintf16(buf, 4, u"a%s", u"\U0001F600"), 3);
  EXPECT_EQ(std::u16string(buf), u"a\U0001F600");
}

TEST(Formatter, HugeWidthsOnlyCountBeyondTheBuffer) {
  char16_t buf[9];
  buf[8] = u'#';
  EXPECT_EQ(km_snprintf16(buf, 8, u"%1000000d", 5), 1000000);
  EXPECT_EQ(std::u16string(buf), u"       ");
  EXPECT_EQ(buf[8], u'#');
  EXPECT_EQ(km_snprintf16(buf, 8, u"%.1000000d", 5), 1000000);
  EXPECT_EQ(std::u16string(buf), u"0000000");
  // Output longer than INT_MAX cannot be reported: -1, still terminated.
  EXPECT_EQ(km_snprintf16(buf, 8, u"%2147483648d", 5), -1);
  EXPECT_EQ(std::u16string(buf), u"       ");
  EXPECT_EQ(km_snprintf16(buf, 8, u"%99999999999999999999999s", u"x"), -1);
}

TEST(Formatter, StringFormsReturnWholeOutputBeyondTheStackBuffer) {
  const std::u16string longText(3000, u'q');
  EXPECT_EQ(km_format16(u"<%s>", longText.c_str()), u"<" + longText + u">");
  EXPECT_EQ(km_format16(u"%d", 7), u"7");
  EXPECT_EQ(km_format16(u""), u"");
  EXPECT_EQ(km_format_utf8(u"%s=%d", u"caf\u00e9\U0001F600", -3), "caf\xC3\xA9\xF0\x9F\x98\x80=-3");
  EXPECT_EQ(km_format_utf8(u"%600d", 1).size(), 600u);
}

}  // namespace
