// char16_t string helpers, the UTF-8 validator and KMCP message code names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "kmbase/kmcp.h"
#include "kmbase/text.h"

namespace {

TEST(String16, LengthCopyAndAppendCutAndTerminate) {
  EXPECT_EQ(km_strlen16(nullptr), 0u);
  EXPECT_EQ(km_strlen16(u"abc"), 3u);

  char16_t buf[6];
  buf[5] = u'#';
  EXPECT_EQ(km_strlcpy16(buf, u"abcdefgh", 5), 8u);
  EXPECT_EQ(std::u16string(buf), u"abcd");
  EXPECT_EQ(buf[5], u'#');
  EXPECT_EQ(km_strlcpy16(buf, nullptr, 5), 0u);
  EXPECT_EQ(buf[0], 0);
  // A surrogate pair that does not fit whole is left out.
  EXPECT_EQ(km_strlcpy16(buf, u"abc\U0001F600", 5), 5u);
  EXPECT_EQ(std::u16string(buf), u"abc");

  km_strlcpy16(buf, u"ab", 6);
  EXPECT_EQ(km_strlcat16(buf, u"cd", 6), 4u);
  EXPECT_EQ(std::u16string(buf), u"abcd");
  EXPECT_EQ(km_strlcat16(buf, u"efg", 6), 7u);
  EXPECT_EQ(std::u16string(buf), u"abcde");
}

TEST(String16, ComparisonsOrderByCodeUnitAndFoldAsciiOnly) {
  EXPECT_EQ(km_strcmp16(u"abc", u"abc"), 0);
  EXPECT_LT(km_strcmp16(u"abc", u"abd"), 0);
  EXPECT_LT(km_strcmp16(u"ab", u"abc"), 0);
  EXPECT_GT(km_strcmp16(u"\u00e9", u"z"), 0);
  EXPECT_LT(km_strcmp16(nullptr, u""), 0);
  EXPECT_EQ(km_strcmp16(nullptr, nullptr), 0);
  EXPECT_EQ(km_strncmp16(u"abcX", u"abcY", 3), 0);
  EXPECT_LT(km_strncmp16(u"abcX", u"abcY", 4), 0);
  EXPECT_LT(km_strncmp16(u"ab", u"abc", 10), 0);
  EXPECT_EQ(km_stricmp16(u"Net.InterfaceList", u"NET.INTERFACELIST"), 0);
  EXPECT_NE(km_stricmp16(u"\u00c9", u"\u00e9"), 0);
  EXPECT_LT(km_stricmp16(u"a", u"B"), 0);
}

TEST(String16, DuplicatesAreMallocedAndTerminated) {
  char16_t *copy = km_strdup16(u"hello");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::u16string(copy), u"hello");
  free(copy);
  copy = km_strndup16(u"hello", 2);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::u16string(copy), u"he");
  free(copy);
  EXPECT_EQ(km_strdup16(nullptr), nullptr);
  const char16_t *s = u"a=b";
  EXPECT_EQ(km_strchr16(s, u'='), s + 1);
  EXPECT_EQ(km_strchr16(s, u'x'), nullptr);
  EXPECT_EQ(km_strchr16(s, 0), s + 3);
}

TEST(CodeName, KnownCodesGiveTheirNamesAndUnknownCodesHex) {
  char16_t buf[KMCP_CODE_NAME_SIZE];
  EXPECT_EQ(std::u16string(KMCPMessageCodeName(MC_LOGIN, buf)), u"MC_LOGIN");
  EXPECT_EQ(std::u16string(KMCPMessageCodeName(29, buf)), u"MC_REQUEST_COMPLETED");
  EXPECT_EQ(std::u16string(KMCPMessageCodeName(0x7FFF, buf)), u"MC_ENCRYPTED_MESSAGE");
  EXPECT_EQ(std::u16string(KMCPMessageCodeName(0, buf)), u"MC_0x0000");
  EXPECT_EQ(std::u16string(KMCPMessageCodeName(1, buf)), u"MC_0x0001");
  EXPECT_EQ(std::u16string(KMCPMessageCodeName(0xABCD, buf)), u"MC_0xABCD");
  EXPECT_EQ(std::u16string(KMCPMessageCodeName(0xFFFF, buf)), u"MC_0xFFFF");
  // Every code of the list has a name of its own.
#define CHECK_CODE(name, value) \
  EXPECT_EQ(std::u16string(KMCPMessageCodeName(value, buf)), u"" #name);
  KMCP_MESSAGE_CODES(CHECK_CODE)
#undef CHECK_CODE
}

}  // namespace

TEST(Utf8Validator, TellsWellFormedSequencesFromEveryKindOfBadOne) {
  struct Case {
    std::string bytes;
    size_t length;  // 0: not a sequence
    char32_t codePoint;
  };
  const Case cases[] = {
      {"A", 1, U'A'},
      {"\xC3\xA9", 2, U'\u00E9'},
      {"\xE2\x82\xAC", 3, U'\u20AC'},
      {"\xEF\xBF\xBD", 3, U'\uFFFD'},  // the replacement character itself is valid
      {"\xF0\x9F\x98\x80", 4, U'\U0001F600'},
      {"\xF4\x8F\xBF\xBF", 4, U'\U0010FFFF'},
      {"\x80", 0, 0},              // stray continuation byte
      {"\xC0\xAF", 0, 0},          // overlong
      {"\xE0\x80\xAF", 0, 0},      // overlong
      {"\xED\xA0\x80", 0, 0},      // surrogate
      {"\xF4\x90\x80\x80", 0, 0},  // above U+10FFFF
      {"\xF5\x80\x80\x80", 0, 0},
      {"\xE2\x82", 0, 0},  // cut by the end of the text
      {"\xE2(\xAC", 0, 0},
  };
  for (const Case &c : cases) {
    char32_t cp = 0;
    EXPECT_EQ(KmUtf8SequenceLength(c.bytes, 0, &cp), c.length) << testing::PrintToString(c.bytes);
    if (c.length != 0) {
      EXPECT_EQ(cp, c.codePoint);
    }
  }
  // In the middle of a text: only the sequence at the index counts.
  EXPECT_EQ(KmUtf8SequenceLength("ab\xC3\xA9z", 2), 2u);
}
