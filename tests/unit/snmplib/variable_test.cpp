// SNMP_Variable: how each type converts, how values are held, names, setters.
#include "kmsnmp/variable.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::u16string AsString(const SNMP_Variable &v, size_t size = 64) {
  std::vector<char16_t> buf(size + 1, u'#');
  v.GetValueAsString(buf.data(), size);
  return std::u16string(buf.data());
}

std::u16string Printable(const SNMP_Variable &v, bool *hex, size_t size = 64) {
  std::vector<char16_t> buf(size + 1, u'#');
  v.getValueAsPrintableString(buf.data(), size, hex);
  return std::u16string(buf.data());
}

const uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};

}  // namespace

TEST(SnmpVariable, NumbersConvertToTextAndIntegersByType) {
  SNMP_Variable v(kSysDescr, 9);
  EXPECT_EQ(v.getType(), ASN_NULL);
  EXPECT_EQ(AsString(v), u"");

  v.setInteger(-5);
  EXPECT_EQ(AsString(v), u"-5");
  EXPECT_EQ(v.GetValueAsInt(), -5);
  v.setInteger(INT32_MIN);
  EXPECT_EQ(AsString(v), u"-2147483648");

  ASSERT_TRUE(v.setUnsigned(ASN_TIMETICKS, 4000000000u));
  EXPECT_EQ(AsString(v), u"4000000000");
  EXPECT_EQ(v.GetValueAsUInt(), 4000000000u);
  EXPECT_EQ(v.getType(), ASN_TIMETICKS);

  v.setCounter64(UINT64_MAX);
  EXPECT_EQ(AsString(v), u"18446744073709551615");
  EXPECT_EQ(v.GetValueAsUInt64(), UINT64_MAX);
  EXPECT_EQ(v.GetValueAsUInt(), 0xFFFFFFFFu);

  uint32_t oid[] = {1, 3, 6, 1, 4, 1, 8072};
  ASSERT_TRUE(v.setObjectId(oid, 7));
  EXPECT_EQ(AsString(v), u".1.3.6.1.4.1.8072");
  uint32_t back[8];
  EXPECT_EQ(v.getValueAsOid(back, 8), 7u);
  EXPECT_EQ(back[6], 8072u);
  EXPECT_EQ(v.GetValueAsInt(), 0);
}

TEST(SnmpVariable, IpAddressIsHeldInNetworkOrder) {
  SNMP_Variable v(kSysDescr, 9);
  v.setIpAddress(0x0A010203);
  EXPECT_EQ(AsString(v), u"10.1.2.3");
  EXPECT_EQ(ntohl(v.GetValueAsUInt()), 0x0A010203u);
  uint8_t raw[8] = {};
  ASSERT_EQ(v.getRawValue(raw, sizeof(raw)), 4u);
  EXPECT_EQ(raw[0], 10);
  EXPECT_EQ(raw[3], 3);
}

TEST(SnmpVariable, StringsGoThroughTheCodePageAndAreCutToTheBuffer) {
  SNMP_Variable v(kSysDescr, 9);
  const char text[] =
      "Gr\xC3\xBC\xC3\x9F"
      "e";
  ASSERT_TRUE(v.setOctets(ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>(text), 7));
  EXPECT_EQ(AsString(v), u"Grüße");
  EXPECT_EQ(AsString(v, 3), u"Gr");
  EXPECT_EQ(AsString(v, 1), u"");
  char16_t untouched = u'#';
  v.GetValueAsString(&untouched, 0);
  EXPECT_EQ(untouched, u'#');
}

TEST(SnmpVariable, RawValueCopiesAtMostTheBufferAndReportsTheCount) {
  SNMP_Variable v(kSysDescr, 9);
  const uint8_t mac[] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F};
  ASSERT_TRUE(v.setOctets(ASN_OCTET_STRING, mac, sizeof(mac)));
  uint8_t buf[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(v.getRawValue(buf, 6), 6u);
  EXPECT_EQ(buf[5], 0x5E);
  EXPECT_EQ(buf[6], 0xEE);
  EXPECT_EQ(v.getRawValue(buf, 8), 7u);
  EXPECT_EQ(v.getRawValue(nullptr, 8), 0u);
}

TEST(SnmpVariable, PrintableStringShowsBinaryAsHexOnlyWhenAsked) {
  SNMP_Variable v(kSysDescr, 9);
  const uint8_t mac[] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  ASSERT_TRUE(v.setOctets(ASN_OCTET_STRING, mac, sizeof(mac)));
  bool hex = true;
  EXPECT_EQ(Printable(v, &hex), u"00 1A 2B 3C 4D 5E");
  EXPECT_TRUE(hex);
  // Cut at whole bytes: "00 1A" takes 5 units and the terminator a sixth.
  hex = true;
  EXPECT_EQ(Printable(v, &hex, 7), u"00 1A");
  hex = false;
  Printable(v, &hex);
  EXPECT_FALSE(hex);

  const char text[] = "eth0\0";  // a trailing NUL does not make text binary
  ASSERT_TRUE(v.setOctets(ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>(text), 5));
  hex = true;
  EXPECT_EQ(Printable(v, &hex), u"eth0");
  EXPECT_FALSE(hex);

  const uint8_t badUtf8[] = {'a', 0xC3, 0x28};
  ASSERT_TRUE(v.setOctets(ASN_OCTET_STRING, badUtf8, sizeof(badUtf8)));
  hex = true;
  EXPECT_EQ(Printable(v, &hex), u"61 C3 28");

  v.setInteger(42);
  hex = true;
  EXPECT_EQ(Printable(v, &hex), u"42");
  EXPECT_FALSE(hex);
  EXPECT_EQ(Printable(v, nullptr), u"42");
}

TEST(SnmpVariable, NamesUpToTheLimitSurviveAndLongerOnesAreRefused) {
  std::vector<uint32_t> name(SNMP_MAX_OID_LENGTH);
  for (uint32_t i = 0; i < name.size(); i++) name[i] = i + 1000;
  SNMP_Variable v(name.data(), SNMP_MAX_OID_LENGTH);
  ASSERT_EQ(v.getNameLength(), SNMP_MAX_OID_LENGTH);
  EXPECT_EQ(v.getName()[127], 1127u);

  name.push_back(1);
  EXPECT_FALSE(v.setName(name.data(), SNMP_MAX_OID_LENGTH + 1));
  EXPECT_EQ(v.getNameLength(), SNMP_MAX_OID_LENGTH);
  SNMP_Variable tooLong(name.data(), SNMP_MAX_OID_LENGTH + 1);
  EXPECT_EQ(tooLong.getNameLength(), 0u);

  ASSERT_TRUE(v.setName(kSysDescr, 9));
  EXPECT_EQ(v.getNameLength(), 9u);
  EXPECT_EQ(v.getName()[8], 0u);
}

TEST(SnmpVariable, SettersRefuseUnsuitableTypesAndKeepTheOldValue) {
  SNMP_Variable v(kSysDescr, 9);
  v.setInteger(7);
  EXPECT_FALSE(v.setUnsigned(ASN_INTEGER, 1));
  EXPECT_FALSE(v.setUnsigned(ASN_OCTET_STRING, 1));
  EXPECT_FALSE(v.setNull(ASN_INTEGER));
  EXPECT_FALSE(v.setOctets(ASN_INTEGER, nullptr, 0));
  EXPECT_FALSE(v.setOctets(ASN_SEQUENCE, nullptr, 0));
  std::vector<uint8_t> huge(SNMP_MAX_MESSAGE_SIZE + 1);
  EXPECT_FALSE(v.setOctets(ASN_OCTET_STRING, huge.data(), huge.size()));
  EXPECT_EQ(v.getType(), ASN_INTEGER);
  EXPECT_EQ(v.GetValueAsInt(), 7);
  EXPECT_TRUE(v.setNull(ASN_NO_SUCH_INSTANCE));
  EXPECT_EQ(v.getType(), ASN_NO_SUCH_INSTANCE);
  EXPECT_EQ(v.getValueLength(), 0u);
}

TEST(SnmpVariable, LargeValuesMoveToTheHeapAndBack) {
  SNMP_Variable v(kSysDescr, 9);
  std::vector<uint8_t> big(1000, 'x');
  ASSERT_TRUE(v.setOctets(ASN_OCTET_STRING, big.data(), big.size()));
  EXPECT_EQ(v.getValueLength(), 1000u);
  v.setInteger(3);
  EXPECT_EQ(v.GetValueAsInt(), 3);
  ASSERT_TRUE(v.setOctets(ASN_OPAQUE, big.data(), 10));
  EXPECT_EQ(v.getValueLength(), 10u);
  EXPECT_EQ(AsString(v), u"xxxxxxxxxx");
}
