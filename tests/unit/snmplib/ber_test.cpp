// BER codec: length forms, integer widths, OIDs, nesting depth, writer bounds.
#include "ber.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace kmsnmp;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> v;
  for (int b : list) v.push_back(static_cast<uint8_t>(b));
  return v;
}

bool Header(const std::vector<uint8_t> &in, uint8_t *tag, size_t *header, size_t *length) {
  return BerDecodeHeader(in.data(), in.size(), tag, header, length);
}

std::vector<uint8_t> EncodeInt32(int32_t v) {
  std::vector<uint8_t> buf(16);
  BerWriter w(buf.data(), buf.size());
  w.int32(ASN_INTEGER, v);
  buf.resize(w.size());
  return buf;
}

}  // namespace

TEST(BerHeader, AcceptsShortAndLongLengthsUpToFourOctets) {
  uint8_t tag;
  size_t header, length;
  auto shortForm = Bytes({0x04, 0x02, 'a', 'b'});
  ASSERT_TRUE(Header(shortForm, &tag, &header, &length));
  EXPECT_EQ(tag, 0x04);
  EXPECT_EQ(header, 2u);
  EXPECT_EQ(length, 2u);

  auto nonMinimal = Bytes({0x04, 0x82, 0x00, 0x02, 'a', 'b'});
  ASSERT_TRUE(Header(nonMinimal, &tag, &header, &length));
  EXPECT_EQ(header, 4u);
  EXPECT_EQ(length, 2u);

  auto fourOctets = Bytes({0x04, 0x84, 0x00, 0x00, 0x00, 0x01, 'a'});
  ASSERT_TRUE(Header(fourOctets, &tag, &header, &length));
  EXPECT_EQ(header, 6u);
  EXPECT_EQ(length, 1u);

  auto fiveOctets = Bytes({0x04, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01, 'a'});
  EXPECT_FALSE(Header(fiveOctets, &tag, &header, &length));
}

TEST(BerHeader, RejectsIndefiniteHighTagAndContentPastTheEnd) {
  uint8_t tag;
  size_t header, length;
  EXPECT_FALSE(Header(Bytes({0x30, 0x80, 0x00, 0x00}), &tag, &header, &length));
  EXPECT_FALSE(Header(Bytes({0x1F, 0x01, 0x00}), &tag, &header, &length));
  EXPECT_FALSE(Header(Bytes({0x04, 0x03, 'a', 'b'}), &tag, &header, &length));
  EXPECT_FALSE(Header(Bytes({0x04, 0x82, 0x00}), &tag, &header, &length));
  EXPECT_FALSE(Header(Bytes({0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}), &tag, &header, &length));
  EXPECT_FALSE(Header(Bytes({0x04}), &tag, &header, &length));
  EXPECT_FALSE(BerDecodeHeader(nullptr, 0, &tag, &header, &length));
}

TEST(BerInteger, SignedWidthsUpToFourOctetsAndTwosComplement) {
  int32_t v;
  auto dec = [&](std::vector<uint8_t> c) { return BerDecodeInt32(c.data(), c.size(), &v); };
  ASSERT_TRUE(dec(Bytes({0xFF})));
  EXPECT_EQ(v, -1);
  ASSERT_TRUE(dec(Bytes({0x80})));
  EXPECT_EQ(v, -128);
  ASSERT_TRUE(dec(Bytes({0xFF, 0x7F})));
  EXPECT_EQ(v, -129);
  ASSERT_TRUE(dec(Bytes({0x00, 0x80})));
  EXPECT_EQ(v, 128);
  ASSERT_TRUE(dec(Bytes({0x80, 0x00, 0x00, 0x00})));
  EXPECT_EQ(v, INT32_MIN);
  ASSERT_TRUE(dec(Bytes({0x7F, 0xFF, 0xFF, 0xFF})));
  EXPECT_EQ(v, INT32_MAX);
  EXPECT_FALSE(dec(Bytes({0x00, 0x7F, 0xFF, 0xFF, 0xFF})));
  EXPECT_FALSE(dec(Bytes({})));
}

TEST(BerInteger, UnsignedTakesFourOctetsAsBitsAndAFifthOnlyAsLeadingZero) {
  uint32_t v;
  auto dec = [&](std::vector<uint8_t> c) { return BerDecodeUInt32(c.data(), c.size(), &v); };
  ASSERT_TRUE(dec(Bytes({0xFF, 0xFF, 0xFF, 0xFF})));
  EXPECT_EQ(v, 0xFFFFFFFFu);
  ASSERT_TRUE(dec(Bytes({0x00, 0xFF, 0xFF, 0xFF, 0xFE})));
  EXPECT_EQ(v, 0xFFFFFFFEu);
  ASSERT_TRUE(dec(Bytes({0x81})));
  EXPECT_EQ(v, 0x81u);
  EXPECT_FALSE(dec(Bytes({0x01, 0x00, 0x00, 0x00, 0x00})));
  EXPECT_FALSE(dec(Bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x01})));

  uint64_t w;
  auto dec64 = [&](std::vector<uint8_t> c) { return BerDecodeUInt64(c.data(), c.size(), &w); };
  ASSERT_TRUE(dec64(Bytes({0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})));
  EXPECT_EQ(w, UINT64_MAX);
  ASSERT_TRUE(dec64(Bytes({0x80, 0, 0, 0, 0, 0, 0, 1})));
  EXPECT_EQ(w, 0x8000000000000001ull);
  EXPECT_FALSE(dec64(Bytes({0x01, 0, 0, 0, 0, 0, 0, 0, 0})));
  EXPECT_FALSE(dec64(Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 1})));
}

TEST(BerInteger, WriterUsesMinimalEncodingsThatDecodeBack) {
  EXPECT_EQ(EncodeInt32(0), Bytes({0x02, 0x01, 0x00}));
  EXPECT_EQ(EncodeInt32(128), Bytes({0x02, 0x02, 0x00, 0x80}));
  EXPECT_EQ(EncodeInt32(-129), Bytes({0x02, 0x02, 0xFF, 0x7F}));
  EXPECT_EQ(EncodeInt32(-128), Bytes({0x02, 0x01, 0x80}));
  EXPECT_EQ(EncodeInt32(INT32_MIN), Bytes({0x02, 0x04, 0x80, 0x00, 0x00, 0x00}));
  for (int32_t value : {0, 1, -1, 127, 128, -128, -129, 255, 256, 32767, 32768, -32768, -32769,
                        8388607, 8388608, INT32_MAX, INT32_MIN}) {
    auto e = EncodeInt32(value);
    int32_t back;
    ASSERT_TRUE(BerDecodeInt32(e.data() + 2, e.size() - 2, &back)) << value;
    EXPECT_EQ(back, value);
  }

  uint8_t buf[32];
  BerWriter w(buf, sizeof(buf));
  w.uint32(ASN_COUNTER32, 0x80000000u);
  w.uint64(ASN_COUNTER64, UINT64_MAX);
  ASSERT_FALSE(w.failed());
  ASSERT_EQ(w.size(), 18u);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 7), Bytes({0x41, 0x05, 0x00, 0x80, 0x00, 0x00, 0x00}));
  EXPECT_EQ(buf[7], 0x46);
  EXPECT_EQ(buf[8], 0x09);
  EXPECT_EQ(buf[9], 0x00);
}

TEST(BerOid, DecodesFirstArcsAndLargeSubidentifiers) {
  uint32_t e[SNMP_MAX_OID_LENGTH];
  auto basic = Bytes({0x2B, 0x06, 0x01, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F});
  ASSERT_EQ(BerDecodeOid(basic.data(), basic.size(), e, SNMP_MAX_OID_LENGTH), 5u);
  EXPECT_EQ(e[0], 1u);
  EXPECT_EQ(e[1], 3u);
  EXPECT_EQ(e[2], 6u);
  EXPECT_EQ(e[3], 1u);
  EXPECT_EQ(e[4], 0xFFFFFFFFu);

  auto arc2 = Bytes({0x88, 0x37});  // 2.999
  ASSERT_EQ(BerDecodeOid(arc2.data(), arc2.size(), e, SNMP_MAX_OID_LENGTH), 2u);
  EXPECT_EQ(e[0], 2u);
  EXPECT_EQ(e[1], 999u);

  auto above32 = Bytes({0x2B, 0x90, 0x80, 0x80, 0x80, 0x00});
  EXPECT_EQ(BerDecodeOid(above32.data(), above32.size(), e, SNMP_MAX_OID_LENGTH), 0u);
  auto sixOctets = Bytes({0x2B, 0x81, 0x80, 0x80, 0x80, 0x80, 0x00});
  EXPECT_EQ(BerDecodeOid(sixOctets.data(), sixOctets.size(), e, SNMP_MAX_OID_LENGTH), 0u);
  auto leadingZeroGroup = Bytes({0x2B, 0x80, 0x01});
  EXPECT_EQ(BerDecodeOid(leadingZeroGroup.data(), leadingZeroGroup.size(), e, 128), 0u);
  auto unterminated = Bytes({0x2B, 0x06, 0x81});
  EXPECT_EQ(BerDecodeOid(unterminated.data(), unterminated.size(), e, 128), 0u);
  EXPECT_EQ(BerDecodeOid(basic.data(), 0, e, 128), 0u);
}

TEST(BerOid, HoldsExactly128ElementsAndRejects129) {
  std::vector<uint32_t> name(SNMP_MAX_OID_LENGTH, 7);
  name[0] = 1;
  name[1] = 3;
  uint8_t buf[512];
  BerWriter w(buf, sizeof(buf));
  w.oid(ASN_OBJECT_ID, name.data(), SNMP_MAX_OID_LENGTH);
  ASSERT_FALSE(w.failed());
  uint32_t e[SNMP_MAX_OID_LENGTH + 1];
  ASSERT_EQ(BerDecodeOid(buf + 2, w.size() - 2, e, SNMP_MAX_OID_LENGTH), SNMP_MAX_OID_LENGTH);
  EXPECT_EQ(e[127], 7u);

  // 129 elements: one more sub-identifier on the wire.
  std::vector<uint8_t> longer(buf + 2, buf + w.size());
  longer.push_back(0x07);
  EXPECT_EQ(BerDecodeOid(longer.data(), longer.size(), e, SNMP_MAX_OID_LENGTH), 0u);
  name.push_back(7);
  EXPECT_EQ(BerOidContentSize(name.data(), static_cast<uint32_t>(name.size())), 0u);
}

TEST(BerOid, WriterRejectsNamesBerCannotHoldAndPadsASingleArc) {
  uint32_t bad1[] = {3, 1};
  uint32_t bad2[] = {1, 40};
  uint32_t bad3[] = {2, 0xFFFFFFFFu};
  uint32_t ok[] = {2, 0xFFFFFFFFu - 80};
  EXPECT_EQ(BerOidContentSize(bad1, 2), 0u);
  EXPECT_EQ(BerOidContentSize(bad2, 2), 0u);
  EXPECT_EQ(BerOidContentSize(bad3, 2), 0u);
  EXPECT_EQ(BerOidContentSize(ok, 0), 0u);
  EXPECT_EQ(BerOidContentSize(ok, 2), 5u);

  uint32_t single[] = {1};
  uint8_t buf[8];
  BerWriter w(buf, sizeof(buf));
  w.oid(ASN_OBJECT_ID, single, 1);
  ASSERT_FALSE(w.failed());
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + w.size()), Bytes({0x06, 0x01, 0x28}));
}

TEST(BerReader, EntersExactlyMaxDepthAndFailsOneDeeper) {
  auto nested = [](uint32_t depth) {
    std::vector<uint8_t> v = {0x05, 0x00};
    for (uint32_t i = 0; i < depth; i++) {
      v.insert(v.begin(), {0x30, static_cast<uint8_t>(v.size())});
    }
    return v;
  };
  auto walk = [](const std::vector<uint8_t> &bytes, uint32_t depth) {
    BerReader r(bytes.data(), bytes.size());
    for (uint32_t i = 0; i < depth; i++) {
      BerReader inner;
      if (!r.enter(ASN_SEQUENCE, &inner)) return false;
      r = inner;
    }
    return r.depth() == depth;
  };
  EXPECT_TRUE(walk(nested(BER_MAX_DEPTH), BER_MAX_DEPTH));
  EXPECT_FALSE(walk(nested(BER_MAX_DEPTH + 1), BER_MAX_DEPTH + 1));
}

TEST(BerReader, StaysFailedAfterMalformedInputAndRejectsPrimitiveAsSequence) {
  auto bytes = Bytes({0x04, 0x05, 'a', 0x02, 0x01, 0x01});
  BerReader r(bytes.data(), bytes.size());
  int32_t v;
  EXPECT_FALSE(r.readInt32(&v));
  EXPECT_TRUE(r.failed());
  EXPECT_FALSE(r.readInt32(&v));

  auto primitive = Bytes({0x10, 0x00});
  BerReader p(primitive.data(), primitive.size());
  BerReader inner;
  EXPECT_FALSE(p.enter(0x10, &inner));
}

TEST(BerWriter, FailsWithoutWritingPastItsBuffer) {
  uint8_t buf[8];
  memset(buf, 0xEE, sizeof(buf));
  BerWriter w(buf, 5);
  const uint8_t data[] = {1, 2, 3, 4};
  w.octets(ASN_OCTET_STRING, data, sizeof(data));  // needs 6
  EXPECT_TRUE(w.failed());
  EXPECT_EQ(buf[5], 0xEE);
  EXPECT_EQ(buf[6], 0xEE);
  w.int32(ASN_INTEGER, 1);
  EXPECT_TRUE(w.failed());
  EXPECT_LE(w.size(), 5u);
}
