// OID text: parsing limits and syntax, printing into small buffers, ordering.
#include "kmsnmp/oid.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kmsnmp/constants.h"

namespace {

std::u16string Dotted(uint32_t count, char16_t first = u'1') {
  std::u16string s;
  for (uint32_t i = 0; i < count; i++) {
    s += u'.';
    s += first;
  }
  return s;
}

}  // namespace

TEST(OidText, ParsesWithOrWithoutLeadingDot) {
  uint32_t e[8];
  ASSERT_EQ(SNMPParseOID(u".1.3.6.1.2.1.1.1.0", e, 8), 0u);  // 9 elements, max 8
  uint32_t big[16];
  ASSERT_EQ(SNMPParseOID(u".1.3.6.1.2.1.1.1.0", big, 16), 9u);
  EXPECT_EQ(big[0], 1u);
  EXPECT_EQ(big[8], 0u);
  ASSERT_EQ(SNMPParseOID("1.3.6.4294967295", big, 16), 4u);
  EXPECT_EQ(big[3], 4294967295u);
  ASSERT_EQ(SNMPParseOID(u"7", big, 16), 1u);
  EXPECT_EQ(big[0], 7u);
}

TEST(OidText, RejectsAnythingButDigitsAndSingleDotsAndLeavesElementsAlone) {
  uint32_t e[4] = {9, 9, 9, 9};
  for (const char16_t *bad : {u"", u".", u"1..2", u"1.2.", u"1.a", u" 1.2", u"1.2 ", u"..1",
                              u"1.4294967296", u"-1.2", u"1,2", u"+1"}) {
    EXPECT_EQ(SNMPParseOID(bad, e, 4), 0u);
  }
  EXPECT_EQ(SNMPParseOID(static_cast<const char16_t *>(nullptr), e, 4), 0u);
  EXPECT_EQ(SNMPParseOID(u"1.2.3.4.5", e, 4), 0u);
  EXPECT_EQ(e[0], 9u);
  EXPECT_EQ(e[3], 9u);
}

TEST(OidText, HoldsExactlyTheLimitAndFailsOnePast) {
  std::vector<uint32_t> e(SNMP_MAX_OID_LENGTH + 1);
  EXPECT_EQ(SNMPParseOID(Dotted(SNMP_MAX_OID_LENGTH).c_str(), e.data(), SNMP_MAX_OID_LENGTH),
            SNMP_MAX_OID_LENGTH);
  EXPECT_EQ(SNMPParseOID(Dotted(SNMP_MAX_OID_LENGTH + 1).c_str(), e.data(), SNMP_MAX_OID_LENGTH),
            0u);
}

TEST(OidText, PrintsDottedTextCutAtWholeElements) {
  uint32_t e[] = {1, 3, 6, 1, 4294967295u};
  char16_t buf[64];
  EXPECT_EQ(std::u16string(SNMPConvertOIDToText(5, e, buf, 64)), u".1.3.6.1.4294967295");
  char narrow[64];
  EXPECT_EQ(std::string(SNMPConvertOIDToText(5, e, narrow, 64)), ".1.3.6.1.4294967295");

  // The whole text is 19 units; with its terminator it needs 20.
  EXPECT_EQ(std::u16string(SNMPConvertOIDToText(5, e, buf, 19)), u".1.3.6.1");
  EXPECT_EQ(std::u16string(SNMPConvertOIDToText(5, e, buf, 20)), u".1.3.6.1.4294967295");
  EXPECT_EQ(std::u16string(SNMPConvertOIDToText(5, e, buf, 21)), u".1.3.6.1.4294967295");
  EXPECT_EQ(std::u16string(SNMPConvertOIDToText(5, e, buf, 1)), u"");
  EXPECT_EQ(std::u16string(SNMPConvertOIDToText(0, e, buf, 64)), u"");
  EXPECT_EQ(SNMPConvertOIDToText(5, e, static_cast<char16_t *>(nullptr), 10), nullptr);
}

TEST(OidText, PrintedTextParsesBackToTheSameName) {
  uint32_t e[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 10, 1000000};
  char16_t buf[128];
  uint32_t back[16];
  ASSERT_EQ(SNMPParseOID(SNMPConvertOIDToText(11, e, buf, 128), back, 16), 11u);
  EXPECT_EQ(SNMPCompareOID(e, 11, back, 11), 0);
}

TEST(OidOrder, PrefixSortsFirstAndElementsCompareUnsigned) {
  uint32_t a[] = {1, 3, 6};
  uint32_t b[] = {1, 3, 6, 1};
  uint32_t c[] = {1, 3, 0xFFFFFFFFu};
  EXPECT_LT(SNMPCompareOID(a, 3, b, 4), 0);
  EXPECT_GT(SNMPCompareOID(b, 4, a, 3), 0);
  EXPECT_EQ(SNMPCompareOID(a, 3, a, 3), 0);
  EXPECT_GT(SNMPCompareOID(c, 3, b, 4), 0);
  EXPECT_EQ(SNMPCompareOID(a, 0, b, 0), 0);
}
