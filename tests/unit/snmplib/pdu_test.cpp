// SNMP_PDU: the exact bytes of a request, round trips of every type, the
// decoder's limits (each exactly and one past), truncation and bit flips.
#include "kmsnmp/pdu.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "ber.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> list) {
  Bytes v;
  for (int b : list) v.push_back(static_cast<uint8_t>(b));
  return v;
}

Bytes Tlv(int tag, const Bytes &content) {
  Bytes out = {static_cast<uint8_t>(tag)};
  size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else if (n <= 0xFF) {
    out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
  } else if (n <= 0xFFFF) {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
  } else {
    out.insert(out.end(), {0x83, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                           static_cast<uint8_t>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Str(const std::string &s) { return Bytes(s.begin(), s.end()); }

const Bytes kSysDescrOid = B({0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00});

Bytes Binding(const Bytes &oidContent, const Bytes &value) {
  return Tlv(0x30, Cat({Tlv(0x06, oidContent), value}));
}

// A whole message around the given bindings.
Bytes Message(int version, const std::string &community, int pduTag, const Bytes &bindings,
              const Bytes &requestId = B({0x02, 0x01, 0x05}),
              const Bytes &status = B({0x02, 0x01, 0x00})) {
  Bytes pdu = Cat({requestId, status, B({0x02, 0x01, 0x00}), Tlv(0x30, bindings)});
  return Tlv(0x30, Cat({B({0x02, 0x01, static_cast<uint8_t>(version)}), Tlv(0x04, Str(community)),
                        Tlv(pduTag, pdu)}));
}

bool Parses(const Bytes &m, SNMP_PDU *pdu = nullptr) {
  SNMP_PDU local;
  SNMP_PDU *p = pdu != nullptr ? pdu : &local;
  return p->parse(m.data(), m.size(), nullptr, 0);
}

const uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};

}  // namespace

TEST(SnmpPdu, EncodesAGetRequestToTheStandardBytes) {
  SNMP_PDU pdu(SNMP_GET_REQUEST, 1, SNMP_VERSION_2C);
  pdu.bindVariable(new SNMP_Variable(kSysDescr, 9));
  SNMP_SecurityContext ctx("public");
  uint8_t *raw = nullptr;
  size_t size = pdu.encode(&raw, &ctx);
  ASSERT_GT(size, 0u);
  Bytes got(raw, raw + size);
  free(raw);
  Bytes want =
      B({0x30, 0x26, 0x02, 0x01, 0x01, 0x04, 0x06, 'p',  'u',  'b',  'l',  'i',  'c',  0xA0,
         0x19, 0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0E, 0x30, 0x0C,
         0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00});
  EXPECT_EQ(got, want);
  EXPECT_EQ(pdu.encodedSize(&ctx), want.size());

  std::vector<uint8_t> reused;
  ASSERT_EQ(pdu.encode(reused, &ctx), want.size());
  EXPECT_EQ(Bytes(reused.begin(), reused.begin() + want.size()), want);
  reused.resize(4096);
  ASSERT_EQ(pdu.encode(reused, &ctx), want.size());
  EXPECT_EQ(reused.size(), 4096u);  // a reused buffer is never shrunk
  EXPECT_EQ(pdu.encode(reused.data(), want.size() - 1, &ctx), 0u);
}

TEST(SnmpPdu, ResponseWithEveryTypeSurvivesARoundTripInBothVersions) {
  for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
    SNMP_PDU out(SNMP_RESPONSE, 0xFFFFFFF0u, version);
    out.setErrorCode(SNMP_PDU_ERR_NO_SUCH_NAME);
    out.setErrorIndex(3);
    uint32_t name[] = {1, 3, 6, 1, 4, 1, 0xFFFFFFFFu, 5};
    auto add = [&](SNMP_Variable *v) { ASSERT_TRUE(out.bindVariable(v)); };
    auto *v = new SNMP_Variable(name, 8);
    v->setInteger(-1234567);
    add(v);
    v = new SNMP_Variable(name, 8);
    v->setUnsigned(ASN_GAUGE32, 0xFFFFFFFFu);
    add(v);
    v = new SNMP_Variable(name, 8);
    v->setUnsigned(ASN_TIMETICKS, 123456);
    add(v);
    v = new SNMP_Variable(name, 8);
    v->setIpAddress(0xC0A80001);
    add(v);
    v = new SNMP_Variable(name, 8);
    v->setObjectId(kSysDescr, 9);
    add(v);
    v = new SNMP_Variable(name, 8);
    v->setOctets(ASN_OPAQUE, reinterpret_cast<const uint8_t *>("\x9f\x78\x04"), 3);
    add(v);
    if (version == SNMP_VERSION_2C) {
      v = new SNMP_Variable(name, 8);
      v->setCounter64(0x8000000000000000ull);
      add(v);
      v = new SNMP_Variable(name, 8);
      v->setNull(ASN_END_OF_MIBVIEW);
      add(v);
    }
    SNMP_SecurityContext ctx("s3cret");
    std::vector<uint8_t> wire;
    size_t size = out.encode(wire, &ctx);
    ASSERT_GT(size, 0u);

    SNMP_PDU in;
    ASSERT_TRUE(in.parse(wire.data(), size, &ctx, SNMP_PARSE_CHECK_COMMUNITY));
    EXPECT_EQ(in.getVersion(), version);
    EXPECT_EQ(in.getCommand(), SNMP_RESPONSE);
    EXPECT_EQ(in.getRequestId(), 0xFFFFFFF0u);
    EXPECT_EQ(in.getErrorCode(), SNMP_PDU_ERR_NO_SUCH_NAME);
    EXPECT_EQ(in.getErrorIndex(), 3u);
    ASSERT_EQ(in.getNumVariables(), out.getNumVariables());
    for (uint32_t i = 0; i < in.getNumVariables(); i++) {
      SNMP_Variable *a = out.getVariable(i);
      SNMP_Variable *b = in.getVariables()[i];
      EXPECT_EQ(a->getType(), b->getType()) << i;
      ASSERT_EQ(a->getValueLength(), b->getValueLength()) << i;
      EXPECT_EQ(Bytes(a->getValue(), a->getValue() + a->getValueLength()),
                Bytes(b->getValue(), b->getValue() + b->getValueLength()))
          << i;
      ASSERT_EQ(b->getNameLength(), 8u);
      EXPECT_EQ(b->getName()[6], 0xFFFFFFFFu);
    }
    EXPECT_EQ(in.getVariable(in.getNumVariables()), nullptr);
  }
}

TEST(SnmpPdu, EncoderRefusesWhatTheVersionOrBerCannotCarry) {
  SNMP_SecurityContext ctx("public");
  uint8_t *raw = reinterpret_cast<uint8_t *>(1);
  {
    SNMP_PDU pdu(SNMP_GET_REQUEST, 1, SNMP_VERSION_2C);
    pdu.bindVariable(new SNMP_Variable(kSysDescr, 9));
    EXPECT_EQ(pdu.encode(&raw, nullptr), 0u);
    EXPECT_EQ(raw, nullptr);
  }
  {
    SNMP_PDU pdu(SNMP_RESPONSE, 1, SNMP_VERSION_1);
    auto *v = new SNMP_Variable(kSysDescr, 9);
    v->setCounter64(1);
    pdu.bindVariable(v);
    EXPECT_EQ(pdu.encodedSize(&ctx), 0u);
  }
  EXPECT_EQ(SNMP_PDU(SNMP_GET_BULK_REQUEST, 1, SNMP_VERSION_1).encodedSize(&ctx), 0u);
  EXPECT_EQ(SNMP_PDU(SNMP_TRAP, 1, SNMP_VERSION_2C).encodedSize(&ctx), 0u);
  EXPECT_EQ(SNMP_PDU(SNMP_GET_REQUEST, 1, SNMP_VERSION_3).encodedSize(&ctx), 0u);
  EXPECT_GT(SNMP_PDU(SNMP_GET_BULK_REQUEST, 1, SNMP_VERSION_2C).encodedSize(&ctx), 0u);
  {
    SNMP_PDU pdu(SNMP_GET_REQUEST, 1, SNMP_VERSION_2C);
    uint32_t bad[] = {3, 6, 1};
    pdu.bindVariable(new SNMP_Variable(bad, 3));
    EXPECT_EQ(pdu.encodedSize(&ctx), 0u);
  }
  {
    SNMP_PDU pdu(SNMP_GET_BULK_REQUEST, 1, SNMP_VERSION_2C);
    pdu.setMaxRepetitions(0x80000000u);
    EXPECT_EQ(pdu.encodedSize(&ctx), 0u);
  }
}

TEST(SnmpPdu, MessageOfExactlyTheSizeLimitEncodesAndParsesOneMoreByteDoesNot) {
  SNMP_SecurityContext ctx("public");
  SNMP_PDU probe(SNMP_RESPONSE, 1, SNMP_VERSION_2C);
  auto *pv = new SNMP_Variable(kSysDescr, 9);
  Bytes filler(60000, 'x');
  pv->setOctets(ASN_OCTET_STRING, filler.data(), filler.size());
  probe.bindVariable(pv);
  size_t base = probe.encodedSize(&ctx);
  ASSERT_GT(base, 0u);
  // Lengths above 0xFFFF are not reached, so header sizes stay put as the
  // string grows by the difference.
  filler.resize(filler.size() + (SNMP_MAX_MESSAGE_SIZE - base));
  pv->setOctets(ASN_OCTET_STRING, filler.data(), filler.size());
  std::vector<uint8_t> wire;
  ASSERT_EQ(probe.encode(wire, &ctx), SNMP_MAX_MESSAGE_SIZE);
  SNMP_PDU in;
  ASSERT_TRUE(in.parse(wire.data(), SNMP_MAX_MESSAGE_SIZE, nullptr, 0));
  EXPECT_EQ(in.getVariable(0)->getValueLength(), filler.size());

  filler.push_back('x');
  pv->setOctets(ASN_OCTET_STRING, filler.data(), filler.size());
  EXPECT_EQ(probe.encodedSize(&ctx), 0u);
  // The same message with one byte more on the wire (patched lengths).
  Bytes big = Message(1, "public", 0xA2, Binding(kSysDescrOid, Tlv(0x04, filler)));
  ASSERT_EQ(big.size(), SNMP_MAX_MESSAGE_SIZE + 1);
  EXPECT_FALSE(Parses(big));
}

TEST(SnmpPdu, DecoderHoldsEachLimitExactlyAndRejectsOnePast) {
  // Community: 255 bytes pass, 256 do not.
  Bytes one = Binding(kSysDescrOid, B({0x05, 0x00}));
  EXPECT_TRUE(Parses(Message(1, std::string(SNMP_MAX_COMMUNITY_LENGTH, 'c'), 0xA2, one)));
  EXPECT_FALSE(Parses(Message(1, std::string(SNMP_MAX_COMMUNITY_LENGTH + 1, 'c'), 0xA2, one)));

  // Name: 128 elements pass, 129 do not (value OIDs alike).
  Bytes name128 = B({0x2B});
  while (name128.size() < SNMP_MAX_OID_LENGTH - 1) name128.push_back(0x01);
  Bytes name129 = name128;
  name129.push_back(0x01);
  SNMP_PDU pdu;
  ASSERT_TRUE(Parses(Message(1, "p", 0xA2, Binding(name128, B({0x05, 0x00}))), &pdu));
  EXPECT_EQ(pdu.getVariable(0)->getNameLength(), SNMP_MAX_OID_LENGTH);
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, Binding(name129, B({0x05, 0x00})))));
  EXPECT_TRUE(Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, Tlv(0x06, name128)))));
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, Tlv(0x06, name129)))));

  // Bindings: SNMP_MAX_VARIABLES pass, one more does not.
  Bytes list;
  for (uint32_t i = 0; i < SNMP_MAX_VARIABLES; i++) list = Cat({list, one});
  ASSERT_TRUE(Parses(Message(1, "p", 0xA2, list), &pdu));
  EXPECT_EQ(pdu.getNumVariables(), SNMP_MAX_VARIABLES);
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, Cat({list, one}))));
  EXPECT_EQ(pdu.bindVariable(new SNMP_Variable(kSysDescr, 9)), false);

  // Integer widths inside a binding.
  EXPECT_TRUE(Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, B({0x02, 0x04, 0x80, 0, 0, 0})))));
  EXPECT_FALSE(
      Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, B({0x02, 0x05, 0, 0x80, 0, 0, 0})))));
  EXPECT_TRUE(
      Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, B({0x41, 0x05, 0, 0x80, 0, 0, 0})))));
  EXPECT_FALSE(
      Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, B({0x41, 0x06, 0, 0, 0x80, 0, 0, 0})))));
  EXPECT_TRUE(Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, Tlv(0x46, Bytes(9, 0))))));
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, Tlv(0x46, Bytes(10, 0))))));
}

TEST(SnmpPdu, DecoderRejectsMalformedStructure) {
  Bytes one = Binding(kSysDescrOid, B({0x05, 0x00}));
  Bytes good = Message(1, "p", 0xA2, one);
  ASSERT_TRUE(Parses(good));

  EXPECT_FALSE(Parses(Cat({good, B({0x00})})));      // bytes after the message
  EXPECT_FALSE(Parses(Message(3, "p", 0xA2, one)));  // SNMPv3 not spoken yet
  EXPECT_FALSE(Parses(Message(2, "p", 0xA2, one)));  // no such version
  EXPECT_FALSE(Parses(Message(0, "p", 0xA5, one)));  // GetBulk in SNMPv1
  EXPECT_FALSE(Parses(Message(1, "p", 0xA4, one)));  // SNMPv1 trap layout
  EXPECT_FALSE(Parses(Message(1, "p", 0xA9, one)));  // unknown PDU
  EXPECT_FALSE(Parses(Message(1, "p", 0x30, one)));  // not a PDU tag
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, one, B({0x02, 0x01, 0x05}), B({0x02, 0x01, 0xFF}))));
  EXPECT_FALSE(Parses(Message(
      1, "p", 0xA2, Tlv(0x30, Cat({Tlv(0x06, kSysDescrOid), B({0x05, 0x00, 0x05, 0x00})})))));
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, Tlv(0x30, Tlv(0x06, kSysDescrOid)))));
  EXPECT_FALSE(
      Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, B({0x40, 0x05, 1, 2, 3, 4, 5})))));
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, B({0x05, 0x01, 0x00})))));
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, B({0x81, 0x01, 0x00})))));
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, B({0x30, 0x00})))));
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, Binding(Bytes{}, B({0x05, 0x00})))));
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, Tlv(0x04, Str("xx")))));

  // Unsigned five-octet request ids (agents that echo ours that way) are read.
  SNMP_PDU pdu;
  ASSERT_TRUE(Parses(Message(1, "p", 0xA2, one, B({0x02, 0x05, 0x00, 0x80, 0, 0, 1})), &pdu));
  EXPECT_EQ(pdu.getRequestId(), 0x80000001u);
  EXPECT_FALSE(Parses(Message(1, "p", 0xA2, one, B({0x02, 0x05, 0x01, 0x80, 0, 0, 1}))));

  // Unknown primitive value types are kept as bytes.
  ASSERT_TRUE(Parses(Message(1, "p", 0xA2, Binding(kSysDescrOid, B({0x85, 0x01, 0x07}))), &pdu));
  EXPECT_EQ(pdu.getVariable(0)->getType(), 0x85u);
}

TEST(SnmpPdu, CommunityCheckRejectsAnotherCommunityOnlyWhenAsked) {
  Bytes m = Message(1, "private", 0xA2, Binding(kSysDescrOid, B({0x05, 0x00})));
  SNMP_SecurityContext pub("public");
  SNMP_SecurityContext priv("private");
  SNMP_PDU pdu;
  EXPECT_TRUE(pdu.parse(m.data(), m.size(), &pub, 0));
  EXPECT_FALSE(pdu.parse(m.data(), m.size(), &pub, SNMP_PARSE_CHECK_COMMUNITY));
  EXPECT_EQ(pdu.getNumVariables(), 0u);
  EXPECT_EQ(pdu.getCommand(), SNMP_INVALID_COMMAND);
  EXPECT_FALSE(pdu.parse(m.data(), m.size(), nullptr, SNMP_PARSE_CHECK_COMMUNITY));
  EXPECT_TRUE(pdu.parse(m.data(), m.size(), &priv, SNMP_PARSE_CHECK_COMMUNITY));
}

TEST(SnmpPdu, EveryTruncationFailsAndLeavesThePduEmpty) {
  SNMP_PDU out(SNMP_RESPONSE, 77, SNMP_VERSION_2C);
  auto *v = new SNMP_Variable(kSysDescr, 9);
  v->setOctets(ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>("Linux host"), 10);
  out.bindVariable(v);
  v = new SNMP_Variable(kSysDescr, 9);
  v->setCounter64(1ull << 40);
  out.bindVariable(v);
  SNMP_SecurityContext ctx("public");
  std::vector<uint8_t> wire;
  size_t size = out.encode(wire, &ctx);
  ASSERT_GT(size, 0u);
  for (size_t n = 0; n < size; n++) {
    // A copy of exactly n bytes, so reading past it is an ASan error.
    std::unique_ptr<uint8_t[]> part(new uint8_t[n + 1]);
    memcpy(part.get(), wire.data(), n);
    SNMP_PDU in;
    EXPECT_FALSE(in.parse(part.get(), n, nullptr, 0)) << n;
    EXPECT_EQ(in.getNumVariables(), 0u);
  }
}

TEST(SnmpPdu, BitFlipsNeverBreakTheDecoderAndWhatParsesReencodesStably) {
  SNMP_PDU out(SNMP_RESPONSE, 0x12345678, SNMP_VERSION_2C);
  uint32_t name[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 10, 100000};
  auto *v = new SNMP_Variable(name, 11);
  v->setUnsigned(ASN_COUNTER32, 0xDEADBEEF);
  out.bindVariable(v);
  v = new SNMP_Variable(name, 11);
  v->setOctets(ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>("abc"), 3);
  out.bindVariable(v);
  v = new SNMP_Variable(name, 11);
  v->setObjectId(kSysDescr, 9);
  out.bindVariable(v);
  SNMP_SecurityContext ctx("public");
  std::vector<uint8_t> wire;
  size_t size = out.encode(wire, &ctx);
  ASSERT_GT(size, 0u);
  int parsed = 0;
  for (size_t bit = 0; bit < size * 8; bit++) {
    Bytes flipped(wire.begin(), wire.begin() + size);
    flipped[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    SNMP_PDU in;
    if (!in.parse(flipped.data(), flipped.size(), nullptr, 0)) continue;
    parsed++;
    // Whatever decodes must encode again and decode to the same bindings.
    std::vector<uint8_t> again;
    size_t againSize = in.encode(again, &ctx);
    ASSERT_GT(againSize, 0u) << bit;
    SNMP_PDU back;
    ASSERT_TRUE(back.parse(again.data(), againSize, nullptr, 0)) << bit;
    EXPECT_EQ(back.getRequestId(), in.getRequestId());
    EXPECT_EQ(back.getCommand(), in.getCommand());
    ASSERT_EQ(back.getNumVariables(), in.getNumVariables());
    for (uint32_t i = 0; i < in.getNumVariables(); i++) {
      SNMP_Variable *a = in.getVariable(i);
      SNMP_Variable *b = back.getVariable(i);
      EXPECT_EQ(a->getType(), b->getType());
      EXPECT_EQ(std::vector<uint32_t>(a->getName(), a->getName() + a->getNameLength()),
                std::vector<uint32_t>(b->getName(), b->getName() + b->getNameLength()));
      EXPECT_EQ(Bytes(a->getValue(), a->getValue() + a->getValueLength()),
                Bytes(b->getValue(), b->getValue() + b->getValueLength()));
    }
  }
  EXPECT_GT(parsed, 0);
}
