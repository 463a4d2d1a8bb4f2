// The ANSI code page and the UTF-8 / UTF-16 conversions.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kmbase/text.h"

namespace {

class CodePage : public ::testing::Test {
 protected:
  void TearDown() override { ASSERT_TRUE(KmSetCodePage("UTF-8")); }
};

TEST_F(CodePage, DefaultIsUtf8) {
  EXPECT_STREQ(KmGetCodePage(), "UTF-8");
  EXPECT_EQ(KmWideToAnsi(u"caf\u00e9 \u20ac"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(KmAnsiToWide("caf\xC3\xA9 \xE2\x82\xAC"), u"caf\u00e9 \u20ac");
}

TEST_F(CodePage, Cp1252RoundTripsItsCharactersAndReplacesOthers) {
  ASSERT_TRUE(KmSetCodePage("CP1252"));
  EXPECT_STREQ(KmGetCodePage(), "CP1252");
  EXPECT_EQ(KmWideToAnsi(u"caf\u00e9 \u20ac \u2019"), "caf\xE9 \x80 \x92");
  EXPECT_EQ(KmAnsiToWide("caf\xE9 \x80 \x92"), u"caf\u00e9 \u20ac \u2019");
  std::string all;
  for (int b = 1; b < 256; ++b) {
    if (b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D) all += char(b);
  }
  EXPECT_EQ(KmWideToAnsi(KmAnsiToWide(all)), all);
  // Characters CP1252 lacks become '?'; bytes it does not define become U+FFFD.
  EXPECT_EQ(KmWideToAnsi(u"a\u3042b\U0001F600c"), "a?b?c");
  EXPECT_EQ(KmAnsiToWide("a\x81z"), u"a\uFFFDz");

  ASSERT_TRUE(KmSetCodePage("ISO-8859-1"));
  EXPECT_EQ(KmWideToAnsi(u"\u00e9\u20ac"), "\xE9?");
  EXPECT_EQ(KmAnsiToWide("\x80\xFF"), u"\u0080\u00ff");
}

TEST_F(CodePage, RejectsUnusableNamesAndKeepsTheSetting) {
  ASSERT_TRUE(KmSetCodePage("CP1252"));
  for (const char *bad :
       {"", "NO-SUCH-CODESET", "UTF-16", "UTF-32LE", "CP1252//TRANSLIT", "ISO-2022-JP",
        "AVERYLONGCODESETNAMEAVERYLONGCODESETNAMEAVERYLONGCODESETNAMEXXXXX"}) {
    EXPECT_FALSE(KmSetCodePage(bad)) << bad;
  }
  EXPECT_FALSE(KmSetCodePage(nullptr));
  EXPECT_STREQ(KmGetCodePage(), "CP1252");
  // The returned name stays valid after further changes.
  const char *name = KmGetCodePage();
  ASSERT_TRUE(KmSetCodePage("utf8"));
  EXPECT_STREQ(name, "CP1252");
  EXPECT_EQ(KmWideToAnsi(u"\u00e9"), "\xC3\xA9");
}

TEST_F(CodePage, FixedBufferNeverCutsAMultibyteCharacter) {
  char out[8];
  memset(out, '#', sizeof(out));
  // UTF-8: 'a' (1) + e-acute (2) + euro (3) = 6 bytes.
  EXPECT_EQ(KmWideToAnsi(u"a\u00e9\u20ac", -1, out, 5), 3u);
  EXPECT_STREQ(out, "a\xC3\xA9");
  EXPECT_EQ(out[5], '#');
  EXPECT_EQ(KmWideToAnsi(u"a\u00e9\u20ac", -1, out, 7), 6u);
  EXPECT_STREQ(out, "a\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(KmWideToAnsi(u"a\u00e9\u20ac", -1, out, 2), 1u);
  EXPECT_EQ(KmWideToAnsi(u"a\u00e9\u20ac", -1, out, 1), 0u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(KmWideToAnsi(u"abcdef", 3, out, 8), 3u);  // explicit length
  EXPECT_STREQ(out, "abc");

  ASSERT_TRUE(KmSetCodePage("GBK"));
  EXPECT_EQ(KmWideToAnsi(u"a\u4e2d\u6587", -1, out, 4), 3u);  // two bytes per ideograph
  EXPECT_EQ(strlen(out), 3u);
  EXPECT_EQ(KmWideToAnsi(u"a\u4e2d\u6587", -1, out, 5), 3u);
  EXPECT_EQ(KmAnsiToWide(KmWideToAnsi(u"a\u4e2d\u6587")), u"a\u4e2d\u6587");
  EXPECT_EQ(KmAnsiToWide("a\xD6"), u"a\uFFFD");  // a lead byte without its trail byte

  ASSERT_TRUE(KmSetCodePage("UTF-8"));
  char16_t wide[4];
  // A character outside the BMP needs a surrogate pair: never half of one.
  EXPECT_EQ(KmAnsiToWide("x\xF0\x9F\x98\x80", -1, wide, 3), 1u);
  EXPECT_EQ(std::u16string(wide), u"x");
  EXPECT_EQ(KmAnsiToWide("x\xF0\x9F\x98\x80", -1, wide, 4), 3u);
  EXPECT_EQ(std::u16string(wide), u"x\U0001F600");
  EXPECT_EQ(KmAnsiToWide("abc", 2, wide, 4), 2u);
  EXPECT_EQ(std::u16string(wide), u"ab");
  EXPECT_EQ(KmAnsiToWide(nullptr, -1, wide, 4), 0u);
  EXPECT_EQ(wide[0], 0);
}

TEST(Utf8, InvalidInputBecomesReplacementCharacters) {
  EXPECT_EQ(KmUtf8ToWide(std::string_view("a\xC0\xAF"
                                          "b")),
            u"a\uFFFD\uFFFDb");                                                      // overlong
  EXPECT_EQ(KmUtf8ToWide(std::string_view("\xED\xA0\x80")), u"\uFFFD\uFFFD\uFFFD");  // surrogate
  EXPECT_EQ(KmUtf8ToWide(std::string_view("\xF4\x90\x80\x80")), u"\uFFFD\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(KmUtf8ToWide(std::string_view("\xE2\x82"
                                          "x")),
            u"\uFFFDx");
  EXPECT_EQ(KmUtf8ToWide(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
  EXPECT_EQ(KmWideToUtf8(std::u16string_view(lone)),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  EXPECT_EQ(KmWideToUtf8(std::u16string_view(u"\U0010FFFF")), "\xF4\x8F\xBF\xBF");

  char narrow[5];
  EXPECT_EQ(KmWideToUtf8(u"ab\u20ac", narrow, 5), 2u);  // the euro needs 3 more bytes
  EXPECT_STREQ(narrow, "ab");
  char16_t wide[3];
  EXPECT_EQ(KmUtf8ToWide("\xF0\x9F\x98\x80", wide, 2), 0u);
  EXPECT_EQ(wide[0], 0);
}

// Conversions on several threads while another switches the code page: each
// result is wholly that of one code page.
TEST_F(CodePage, ConcurrentConversionsSeeOneCodePageEach) {
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < 2000 && !stop.load(); ++i) {
        const std::string narrow = KmWideToAnsi(u"\u00e9\u00e9");
        if (narrow != "\xE9\xE9" && narrow != "\xC3\xA9\xC3\xA9") bad.fetch_add(1);
        char fixed[8];
        KmWideToAnsi(u"\u00e9", -1, fixed, sizeof(fixed));
        if (strcmp(fixed, "\xE9") != 0 && strcmp(fixed, "\xC3\xA9") != 0) bad.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(KmSetCodePage(i % 2 == 0 ? "CP1252" : "UTF-8"));
  }
  stop.store(true);
  for (auto &w : workers) w.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
