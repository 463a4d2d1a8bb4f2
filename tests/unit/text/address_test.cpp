// IPv4 address text, hex text, GUID text, trimming and digests.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kmbase/text.h"

namespace {

TEST(IpToStr, FormatsHostOrderAddressesAsDottedQuads) {
  char16_t buf[16];
  EXPECT_EQ(std::u16string(IpToStr(0, buf)), u"0.0.0.0");
  EXPECT_EQ(std::u16string(IpToStr(0x0A000001, buf)), u"10.0.0.1");
  EXPECT_EQ(std::u16string(IpToStr(0xC0A8640A, buf)), u"192.168.100.10");
  EXPECT_EQ(std::u16string(IpToStr(0xFFFFFFFF, buf)), u"255.255.255.255");  // fills all 16
  EXPECT_EQ(IpToStr(0x7F000001, buf), buf);
}

TEST(InetAddr, ParsesDottedAndShortFormsToNetworkOrder) {
  EXPECT_EQ(inet_addr_w(u"10.0.0.1"), htonl(0x0A000001));
  EXPECT_EQ(inet_addr_w(u"192.168.100.10"), htonl(0xC0A8640A));
  EXPECT_EQ(inet_addr_w(u"0.0.0.0"), 0u);
  EXPECT_EQ(inet_addr_w(u"127.1"), htonl(0x7F000001));
  EXPECT_EQ(inet_addr_w(u"10.1.513"), htonl(0x0A010201));
  EXPECT_EQ(inet_addr_w(u"0x7f.0.0.1"), htonl(0x7F000001));
  EXPECT_EQ(inet_addr_w(u"010.0.0.1"), htonl(0x08000001));  // octal, as inet_addr
  EXPECT_EQ(inet_addr_w(u"3232261130"), htonl(0xC0A8640A));
  EXPECT_EQ(inet_addr_w(u"1.16777215"), htonl(0x01FFFFFF));
  for (const char16_t *text : {u"1.2.3.4", u"255.255.255.254", u"0x0.0377.1.2"}) {
    std::string narrow;
    for (const char16_t *p = text; *p; ++p) narrow += char(*p);
    EXPECT_EQ(inet_addr_w(text), inet_addr(narrow.c_str())) << narrow;
  }
}

TEST(InetAddr, RejectsMalformedText) {
  for (const char16_t *bad :
       {u"", u"1.2.3.4.5", u"256.1.1.1", u"1.2.3.256", u"1.2.3.", u".1.2.3", u"1..2.3", u" 1.2.3.4",
        u"1.2.3.4 ", u"1.2.3.4x", u"08.1.1.1", u"0x", u"4294967296", u"1.16777216", u"1.2.65536",
        u"abc", u"1.2.3.4\u00a0", u"\uff11.2.3.4"}) {
    EXPECT_EQ(inet_addr_w(bad), INADDR_NONE) << std::string(bad, bad + km_strlen16(bad));
  }
  EXPECT_EQ(inet_addr_w(nullptr), INADDR_NONE);
}

TEST(HexText, ConvertsPairsAndStopsAtLimitOrBadDigit) {
  uint8_t out[8];
  memset(out, 0xEE, sizeof(out));
  EXPECT_EQ(StrToBin(u"00ff7Aa0", out, 8), 4u);
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(out[2], 0x7A);
  EXPECT_EQ(out[3], 0xA0);
  EXPECT_EQ(out[4], 0xEE);

  memset(out, 0xEE, sizeof(out));
  EXPECT_EQ(StrToBin(u"0102030405", out, 2), 2u);  // max bounds the write
  EXPECT_EQ(out[2], 0xEE);
  EXPECT_EQ(StrToBin(u"abc", out, 8), 1u);   // lone last digit ignored
  EXPECT_EQ(StrToBin(u"12g4", out, 8), 1u);  // stops at a non-digit
  EXPECT_EQ(StrToBin(u"", out, 8), 0u);
  EXPECT_EQ(StrToBin(nullptr, out, 8), 0u);

  const uint8_t bytes[] = {0x00, 0xAB, 0x1F, 0xFF};
  char16_t text[9];
  EXPECT_EQ(std::u16string(BinToStr(bytes, 4, text)), u"00AB1FFF");
  EXPECT_EQ(std::u16string(BinToStr(bytes, 0, text)), u"");
  uint8_t back[4];
  EXPECT_EQ(StrToBin(BinToStr(bytes, 4, text), back, 4), 4u);
  EXPECT_EQ(memcmp(back, bytes, 4), 0);
}

TEST(StrStrip, RemovesSpacesAndTabsAtBothEndsOnly) {
  char16_t a[] = u" \t ab \t c\t  ";
  EXPECT_EQ(std::u16string(StrStrip(a)), u"ab \t c");
  char16_t b[] = u"   \t";
  EXPECT_EQ(std::u16string(StrStrip(b)), u"");
  char16_t c[] = u"";
  EXPECT_EQ(std::u16string(StrStrip(c)), u"");
  char16_t d[] = u"abc";
  EXPECT_EQ(std::u16string(StrStrip(d)), u"abc");
  char16_t e[] = u"\nabc\r";  // only spaces and tabs are stripped
  EXPECT_EQ(std::u16string(StrStrip(e)), u"\nabc\r");
}

std::u16string Hex(const uint8_t *bytes, size_t len) {
  char16_t text[41];
  return BinToStr(bytes, len, text);
}

TEST(Digests, MatchPublishedTestVectors) {
  uint8_t md5[16];
  uint8_t sha1[20];
  const auto *abc = reinterpret_cast<const uint8_t *>("abc");
  CalculateMD5Hash(abc, 3, md5);
  EXPECT_EQ(Hex(md5, 16), u"900150983CD24FB0D6963F7D28E17F72");
  CalculateSHA1Hash(abc, 3, sha1);
  EXPECT_EQ(Hex(sha1, 20), u"A9993E364706816ABA3E25717850C26C9CD0D89D");
  CalculateMD5Hash(nullptr, 0, md5);
  EXPECT_EQ(Hex(md5, 16), u"D41D8CD98F00B204E9800998ECF8427E");
  CalculateSHA1Hash(nullptr, 0, sha1);
  EXPECT_EQ(Hex(sha1, 20), u"DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
  const char *longer = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  CalculateSHA1Hash(reinterpret_cast<const uint8_t *>(longer), strlen(longer), sha1);
  EXPECT_EQ(Hex(sha1, 20), u"84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
}

// The one GUID text: written in byte order, read strictly (policy file
// names, which must never name a path) or leniently (what people type).
TEST(GuidText, PrintsBytesInOrderAndReadsStrictOrLenientSpellings) {
  uint8_t guid[KM_GUID_SIZE];
  for (size_t i = 0; i < KM_GUID_SIZE; i++) guid[i] = static_cast<uint8_t>(0x0F + 0x10 * i);
  const std::string text = KmGuidToText(guid);
  EXPECT_EQ(text, "0f1f2f3f-4f5f-6f7f-8f9f-afbfcfdfefff");
  struct Case {
    const char *text;
    bool strict;   // read in the strict form
    bool lenient;  // read in the lenient form
  };
  const Case cases[] = {
      {"0f1f2f3f-4f5f-6f7f-8f9f-afbfcfdfefff", true, true},
      {"0F1F2F3F-4F5F-6F7F-8F9F-AFBFCFDFEFFF", true, true},
      {"{0F1F2F3F-4F5F-6F7F-8F9F-AFBFCFDFEFFF}", false, true},
      {"0f1f2f3f4f5f6f7f8f9fafbfcfdfefff", false, true},
      {"", false, false},
      {"{}", false, false},
      {"0f1f2f3f-4f5f-6f7f-8f9f-afbfcfdfeff", false, false},
      {"0f1f2f3f-4f5f-6f7f-8f9f-afbfcfdfefff0", false, false},
      {"0f1f2f3f_4f5f-6f7f-8f9f-afbfcfdfefff", false, false},
      {"0f1f2f3f-4f5f-6f7f-8f9faafbfcfdfefff", false, false},
      {"0g1f2f3f-4f5f-6f7f-8f9f-afbfcfdfefff", false, false},
      {"{0f1f2f3f4f5f6f7f8f9fafbfcfdfefff", false, false},
      {"../../../../../../../../etc/passwd", false, false},
  };
  for (const Case &c : cases) {
    for (const bool lenient : {false, true}) {
      uint8_t parsed[KM_GUID_SIZE];
      std::memset(parsed, 7, sizeof(parsed));
      const bool read = KmGuidFromText(c.text, parsed, lenient);
      EXPECT_EQ(read, lenient ? c.lenient : c.strict) << c.text << " lenient " << lenient;
      if (read) {
        EXPECT_EQ(KmGuidToText(parsed), text) << c.text;
      } else {
        EXPECT_EQ(parsed[0], 7) << c.text;  // untouched
      }
    }
  }
}

}  // namespace
