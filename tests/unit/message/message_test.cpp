// CSCPMessage: field round trips, exact wire layout, replacement, getter
// buffer rules and encoding limits.

#include "kmbase/message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wire_bytes.h"

namespace {

// Largest payload of one variable field: a one-field message of the maximum size.
constexpr uint32_t kMaxPayload = KMCP_MAX_MESSAGE_SIZE - 16 - 12;

std::unique_ptr<CSCPMessage> RoundTrip(const CSCPMessage &msg) {
  std::vector<uint8_t> bytes = Wire(msg);
  EXPECT_EQ(bytes.size(), msg.EncodedSize());
  EXPECT_EQ(bytes.size() % 8, 0u);
  KmcpDecodeStatus status;
  auto out = CSCPMessage::decode(bytes, KMCP_VERSION, &status);
  EXPECT_EQ(status, KmcpDecodeStatus::Ok) << KmcpDecodeStatusText(status);
  return out;
}

std::u16string Str(const CSCPMessage &msg, uint32_t id) {
  char16_t *s = msg.GetVariableStr(id);
  if (s == nullptr) return u"<missing>";
  std::u16string r(s, msg.GetVariableStrLength(id));
  std::free(s);
  return r;
}

std::vector<uint8_t> Bin(const CSCPMessage &msg, uint32_t id) {
  std::vector<uint8_t> out(msg.GetVariableBinary(id, nullptr, 0));
  msg.GetVariableBinary(id, out.data(), static_cast<uint32_t>(out.size()));
  return out;
}

TEST(MessageTest, EveryFieldTypeSurvivesARoundTrip) {
  CSCPMessage msg;
  msg.SetCode(MC_REQUEST_COMPLETED);
  msg.SetId(0xDEADBEEF);
  msg.SetFlags(FLAG_END_OF_FILE);
  msg.SetVariable(1, uint16_t{0xFFFF});
  msg.SetVariable(2, uint32_t{0xFFFFFFFF});
  msg.SetVariable(3, uint64_t{0xFEDCBA9876543210});
  msg.SetVariable(4, u"");
  msg.SetVariable(5, u"a\u00e9\u4e2d");               // BMP
  msg.SetVariable(6, u"x\U0001F600y\U00010000");      // surrogate pairs
  msg.SetVariable(7, u"nul\0inside", 10);             // embedded terminator
  msg.SetVariable(8, static_cast<const uint8_t *>(nullptr), 0);
  const uint8_t bytes[9] = {0, 1, 2, 0xFF, 4, 5, 6, 7, 8};
  for (uint32_t n = 1; n <= 9; ++n) msg.SetVariable(100 + n, bytes, n);  // every padding
  const uint32_t values[3] = {0, 0x80000000, 7};
  msg.SetVariableToInt32Array(9, 0, values);
  msg.SetVariableToInt32Array(10, 3, values);

  auto out = RoundTrip(msg);
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->isValid());
  EXPECT_EQ(out->GetCode(), MC_REQUEST_COMPLETED);
  EXPECT_EQ(out->GetId(), 0xDEADBEEFu);
  EXPECT_EQ(out->GetFlags(), FLAG_END_OF_FILE);
  EXPECT_EQ(out->GetNumFields(), msg.GetNumFields());
  EXPECT_EQ(out->GetVariableShort(1), 0xFFFF);
  EXPECT_EQ(out->GetVariableLong(2), 0xFFFFFFFFu);
  EXPECT_EQ(out->GetVariableInt64(3), 0xFEDCBA9876543210u);
  EXPECT_EQ(Str(*out, 4), u"");
  EXPECT_EQ(Str(*out, 5), u"a\u00e9\u4e2d");
  EXPECT_EQ(Str(*out, 6), u"x\U0001F600y\U00010000");
  EXPECT_EQ(out->GetVariableStrLength(6), 6u);
  EXPECT_EQ(Str(*out, 7), std::u16string(u"nul\0inside", 10));
  KmcpFieldType type;
  ASSERT_TRUE(out->GetVariableType(8, &type));
  EXPECT_EQ(type, KmcpFieldType::Binary);
  EXPECT_EQ(out->GetVariableBinary(8, nullptr, 0), 0u);
  EXPECT_TRUE(out->GetVariableBinaryView(8).empty());
  for (uint32_t n = 1; n <= 9; ++n) {
    EXPECT_EQ(Bin(*out, 100 + n), std::vector<uint8_t>(bytes, bytes + n)) << n;
  }
  EXPECT_EQ(out->GetVariableInt32Array(9, 3, nullptr), 0u);
  uint32_t got[4] = {1, 1, 1, 1};
  EXPECT_EQ(out->GetVariableInt32Array(10, 4, got), 3u);
  EXPECT_EQ(got[0], 0u);
  EXPECT_EQ(got[1], 0x80000000u);
  EXPECT_EQ(got[2], 7u);
  EXPECT_EQ(got[3], 1u);
  // Re-encoding a decoded message gives the same bytes.
  EXPECT_EQ(Wire(*out), Wire(msg));
}

TEST(MessageTest, EncodesTheDocumentedLayout) {
  CSCPMessage msg;
  msg.SetCode(0x1234);
  msg.SetId(0x01020304);
  msg.SetVariable(0x0A0B0C0D, uint16_t{0xBEEF});
  msg.SetVariable(7, uint32_t{0x11223344});
  msg.SetVariable(8, uint64_t{0x0102030405060708});
  msg.SetVariable(9, u"A\U0001F600");
  const uint8_t b[3] = {0xAA, 0xBB, 0xCC};
  msg.SetVariable(10, b, 3);
  const uint32_t a[1] = {0xCAFEBABE};
  msg.SetVariableToInt32Array(11, 1, a);

  std::vector<uint8_t> expected =
      WireBytes()
          .header(0x1234, 0, 0x01020304, 6, 16 + 8 + 16 + 16 + 24 + 16 + 16)
          .int16Field(0x0A0B0C0D, 0xBEEF)
          .int32Field(7, 0x11223344)
          .int64Field(8, 0x0102030405060708)
          .varPrefix(9, KmcpFieldType::String, 6).u16(0x0041).u16(0xD83D).u16(0xDE00).zeros(6)
          .varPrefix(10, KmcpFieldType::Binary, 3).u8(0xAA).u8(0xBB).u8(0xCC).zeros(1)
          .varPrefix(11, KmcpFieldType::Int32Array, 1).u32(0xCAFEBABE)
          .finish();
  EXPECT_EQ(Wire(msg), expected);
  KMCP_MESSAGE *raw = msg.CreateMessage();
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(std::memcmp(raw, expected.data(), expected.size()), 0);
  std::free(raw);
}

TEST(MessageTest, EmptyMessageIsAHeaderOnly) {
  CSCPMessage msg;
  msg.SetCode(MC_KEEPALIVE);
  msg.SetId(5);
  EXPECT_EQ(Wire(msg), WireBytes().header(MC_KEEPALIVE, 0, 5, 0, 16).finish());
  auto out = RoundTrip(msg);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->GetNumFields(), 0u);
  EXPECT_EQ(out->GetCode(), MC_KEEPALIVE);
}

TEST(MessageTest, EncodingNeverMarksAMessageRaw) {
  CSCPMessage msg;
  msg.SetFlags(FLAG_RAW | FLAG_END_OF_FILE);
  msg.SetVariable(1, uint32_t{1});
  auto out = RoundTrip(msg);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->GetFlags(), FLAG_END_OF_FILE);
  EXPECT_EQ(out->GetVariableLong(1), 1u);
}

TEST(MessageTest, ThousandFieldsRoundTripAndAreEachFound) {
  CSCPMessage msg;
  // Ids a multiple of 2^16 apart collide in any weak index.
  for (uint32_t i = 0; i < 1000; ++i) {
    uint32_t id = i << 16;
    if (i % 3 == 0) {
      msg.SetVariable(id, i);
    } else if (i % 3 == 1) {
      msg.SetVariable(id, std::u16string(i % 17, u'a' + i % 26).c_str());
    } else {
      msg.SetVariable(id, uint64_t{i} << 40);
    }
  }
  EXPECT_EQ(msg.GetNumFields(), 1000u);
  auto out = RoundTrip(msg);
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(out->GetNumFields(), 1000u);
  for (uint32_t i = 0; i < 1000; ++i) {
    uint32_t id = i << 16;
    if (i % 3 == 0) {
      EXPECT_EQ(out->GetVariableLong(id), i);
    } else if (i % 3 == 1) {
      EXPECT_EQ(Str(*out, id), std::u16string(i % 17, u'a' + i % 26));
    } else {
      EXPECT_EQ(out->GetVariableInt64(id), uint64_t{i} << 40);
    }
  }
  EXPECT_FALSE(out->IsVariableExist(1));
  EXPECT_FALSE(out->IsVariableExist(1000u << 16));
  // Replacing every field of the decoded message keeps the count and order.
  for (uint32_t i = 0; i < 1000; ++i) out->SetVariable(i << 16, uint16_t(i));
  EXPECT_EQ(out->GetNumFields(), 1000u);
  auto again = RoundTrip(*out);
  ASSERT_NE(again, nullptr);
  for (uint32_t i = 0; i < 1000; ++i) EXPECT_EQ(again->GetVariableShort(i << 16), i);
}

TEST(MessageTest, SetterReplacesFieldOfSameIdInPlace) {
  CSCPMessage msg;
  msg.SetVariable(1, uint32_t{1});
  msg.SetVariable(2, u"short");
  msg.SetVariable(3, uint16_t{3});
  size_t before = msg.EncodedSize();
  msg.SetVariable(2, u"a much longer string than before");
  msg.SetVariable(1, u"now a string");
  msg.SetVariable(3, uint64_t{1} << 60);
  msg.SetVariable(2, u"x");
  EXPECT_EQ(msg.GetNumFields(), 3u);
  KmcpFieldType type;
  ASSERT_TRUE(msg.GetVariableType(1, &type));
  EXPECT_EQ(type, KmcpFieldType::String);
  EXPECT_EQ(msg.GetVariableLong(1), 0u);  // no longer an integer
  EXPECT_EQ(Str(msg, 2), u"x");
  EXPECT_NE(msg.EncodedSize(), before);
  auto out = RoundTrip(msg);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Str(*out, 1), u"now a string");
  EXPECT_EQ(Str(*out, 2), u"x");
  EXPECT_EQ(out->GetVariableInt64(3), uint64_t{1} << 60);
  // Field order is kept: the first field on the wire is still id 1.
  std::vector<uint8_t> bytes = Wire(msg);
  EXPECT_EQ(bytes[16 + 3], 1);
}

TEST(MessageTest, ReplacingAFieldOfADecodedMessageLeavesTheOthersIntact) {
  CSCPMessage src;
  src.SetVariable(1, u"first value");
  src.SetVariable(2, u"second");
  auto msg = RoundTrip(src);
  ASSERT_NE(msg, nullptr);
  msg->SetVariable(1, u"tiny");                                      // fits the old bytes
  msg->SetVariable(2, u"now longer than the bytes it had before");  // does not
  EXPECT_EQ(Str(*msg, 1), u"tiny");
  EXPECT_EQ(Str(*msg, 2), u"now longer than the bytes it had before");
  auto out = RoundTrip(*msg);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Str(*out, 1), u"tiny");
  EXPECT_EQ(Str(*out, 2), u"now longer than the bytes it had before");
}

TEST(MessageTest, ReplacementsAroundTheOldFieldsCapacityKeepNeighboursIntact) {
  // "abc" is 6 bytes, padded to 12 payload bytes on the wire: 6 units fit in
  // the decoded field's own bytes, 7 do not. Under ASan a write past the
  // received copy (the field is last) is reported.
  for (size_t units : {5, 6, 7, 40}) {
    CSCPMessage src;
    src.SetVariable(1, u"abc");
    src.SetVariable(2, uint16_t{7});
    src.SetVariable(3, u"abc");
    auto msg = RoundTrip(src);
    ASSERT_NE(msg, nullptr);
    std::u16string value(units, u'q');
    msg->SetVariable(1, value.c_str());
    msg->SetVariable(3, value.c_str());
    EXPECT_EQ(Str(*msg, 1), value);
    EXPECT_EQ(Str(*msg, 3), value);
    EXPECT_EQ(msg->GetVariableShort(2), 7);
    auto out = RoundTrip(*msg);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Str(*out, 1), value);
    EXPECT_EQ(out->GetVariableShort(2), 7);
    EXPECT_EQ(Str(*out, 3), value);
  }
}

TEST(MessageTest, BinaryViewStaysValidWhileOtherFieldsAreAdded) {
  CSCPMessage msg;
  std::vector<uint8_t> data(100, 0x5A);
  msg.SetVariable(1, data.data(), 100);
  std::span<const uint8_t> view = msg.GetVariableBinaryView(1);
  ASSERT_EQ(view.size(), 100u);
  for (uint32_t i = 2; i < 300; ++i) msg.SetVariable(i, data.data(), 50);
  EXPECT_EQ(std::vector<uint8_t>(view.begin(), view.end()), data);
  // A field may be set from its own view.
  msg.SetVariable(1, view.data() + 10, 20);
  EXPECT_EQ(Bin(msg, 1), std::vector<uint8_t>(20, 0x5A));
}

TEST(MessageTest, StringBufferRules) {
  CSCPMessage msg;
  msg.SetVariable(1, u"hello");
  msg.SetVariable(2, uint32_t{5});
  msg.SetVariable(3, u"ab\U0001F600");  // a, b, high, low
  char16_t buf[16];

  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(msg.GetVariableStr(1, buf, 0), buf);  // size 0 writes nothing
  EXPECT_EQ(buf[0], u'#');
  EXPECT_EQ(msg.GetVariableStr(1, buf, 1), buf);  // room for the terminator only
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], u'#');
  EXPECT_EQ(msg.GetVariableStr(1, buf, 6), buf);  // exact
  EXPECT_EQ(std::u16string(buf), u"hello");
  EXPECT_EQ(buf[6], u'#');
  EXPECT_EQ(msg.GetVariableStr(1, buf, 5), buf);  // one short: cut
  EXPECT_EQ(std::u16string(buf), u"hell");
  EXPECT_EQ(msg.GetVariableStr(1, buf, 16), buf);  // roomy
  EXPECT_EQ(std::u16string(buf), u"hello");

  // A cut never leaves half a surrogate pair.
  EXPECT_EQ(msg.GetVariableStr(3, buf, 4), buf);
  EXPECT_EQ(std::u16string(buf), u"ab");
  EXPECT_EQ(msg.GetVariableStr(3, buf, 5), buf);
  EXPECT_EQ(std::u16string(buf), u"ab\U0001F600");

  buf[0] = u'#';
  EXPECT_EQ(msg.GetVariableStr(99, buf, 16), nullptr);  // missing
  EXPECT_EQ(buf[0], 0);
  buf[0] = u'#';
  EXPECT_EQ(msg.GetVariableStr(2, buf, 16), nullptr);  // not a string
  EXPECT_EQ(buf[0], 0);
  buf[0] = u'#';
  EXPECT_EQ(msg.GetVariableStr(99, buf, 0), nullptr);
  EXPECT_EQ(buf[0], u'#');

  EXPECT_EQ(msg.GetVariableStr(99), nullptr);
  EXPECT_EQ(msg.GetVariableStr(2), nullptr);
  EXPECT_EQ(msg.GetVariableStrLength(2), 0u);
  EXPECT_EQ(msg.GetVariableStrLength(99), 0u);
}

TEST(MessageTest, IntegerGettersConvertWidthsAndIgnoreOtherTypes) {
  CSCPMessage msg;
  msg.SetVariable(1, uint16_t{0xFFFF});
  msg.SetVariable(2, uint32_t{0x12345678});
  msg.SetVariable(3, uint64_t{0x1122334455667788});
  msg.SetVariable(4, u"123");
  EXPECT_EQ(msg.GetVariableLong(1), 0xFFFFu);  // widened, not sign-extended
  EXPECT_EQ(msg.GetVariableInt64(1), 0xFFFFu);
  EXPECT_EQ(msg.GetVariableShort(2), 0x5678);
  EXPECT_EQ(msg.GetVariableInt64(2), 0x12345678u);
  EXPECT_EQ(msg.GetVariableShort(3), 0x7788);
  EXPECT_EQ(msg.GetVariableLong(3), 0x55667788u);
  EXPECT_EQ(msg.GetVariableLong(4), 0u);
  EXPECT_EQ(msg.GetVariableLong(5), 0u);
}

TEST(MessageTest, BinaryAndArrayGettersCopyAtMostTheGivenSize) {
  CSCPMessage msg;
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  msg.SetVariable(1, data, 5);
  const uint32_t values[4] = {10, 20, 30, 40};
  msg.SetVariableToInt32Array(2, 4, values);
  msg.SetVariable(3, u"text");
  uint8_t out[8] = {};
  EXPECT_EQ(msg.GetVariableBinary(1, nullptr, 0), 5u);
  EXPECT_EQ(msg.GetVariableBinary(1, out, 3), 5u);
  EXPECT_EQ(out[2], 3);
  EXPECT_EQ(out[3], 0);
  EXPECT_EQ(msg.GetVariableBinary(3, out, 8), 0u);  // not binary
  EXPECT_EQ(msg.GetVariableBinary(9, out, 8), 0u);  // missing
  uint32_t got[4] = {};
  EXPECT_EQ(msg.GetVariableInt32Array(2, 2, got), 4u);
  EXPECT_EQ(got[1], 20u);
  EXPECT_EQ(got[2], 0u);
  EXPECT_EQ(msg.GetVariableInt32Array(1, 4, got), 0u);
}

TEST(MessageTest, LargestStringFillsAMessageExactlyAndOneMoreUnitIsRefused) {
  std::u16string big(kMaxPayload / 2, u'\u20AC');
  CSCPMessage msg;
  msg.SetVariable(1, big.data(), big.size());
  EXPECT_EQ(msg.EncodedSize(), KMCP_MAX_MESSAGE_SIZE);
  KMCP_MESSAGE *raw = msg.CreateMessage();
  ASSERT_NE(raw, nullptr);
  KmcpDecodeStatus status;
  auto out = CSCPMessage::decode(
      std::span<const uint8_t>(reinterpret_cast<uint8_t *>(raw), KMCP_MAX_MESSAGE_SIZE),
      KMCP_VERSION, &status);
  std::free(raw);
  ASSERT_NE(out, nullptr) << KmcpDecodeStatusText(status);
  EXPECT_EQ(out->GetVariableStrLength(1), big.size());

  big.push_back(u'x');
  msg.SetVariable(1, big.data(), big.size());
  EXPECT_TRUE(msg.IsVariableExist(1));
  EXPECT_EQ(msg.GetVariableStrLength(1), 0u);  // not stored
  EXPECT_GT(msg.EncodedSize(), KMCP_MAX_MESSAGE_SIZE);
  EXPECT_EQ(msg.CreateMessage(), nullptr);
  uint8_t scratch[16];
  EXPECT_EQ(msg.EncodeTo(scratch), 0u);
  // Replacing the oversized value makes the message encodable again.
  msg.SetVariable(1, u"small");
  EXPECT_EQ(msg.EncodedSize(), 16u + 24u);
  raw = msg.CreateMessage();
  EXPECT_NE(raw, nullptr);
  std::free(raw);
}

TEST(MessageTest, LargestBinaryFitsAndTheMessageLimitCountsAllFields) {
  std::vector<uint8_t> big(kMaxPayload, 0xA5);
  CSCPMessage msg;
  msg.SetVariable(1, big.data(), kMaxPayload);
  EXPECT_EQ(msg.EncodedSize(), KMCP_MAX_MESSAGE_SIZE);
  KMCP_MESSAGE *raw = msg.CreateMessage();
  ASSERT_NE(raw, nullptr);
  std::free(raw);
  msg.SetVariable(2, uint16_t{1});  // one 8-byte field more than fits
  EXPECT_EQ(msg.EncodedSize(), KMCP_MAX_MESSAGE_SIZE + 8u);
  EXPECT_EQ(msg.CreateMessage(), nullptr);

  CSCPMessage tooBig;
  tooBig.SetVariable(1, big.data(), kMaxPayload - 7);  // same wire size after padding
  EXPECT_EQ(tooBig.EncodedSize(), KMCP_MAX_MESSAGE_SIZE);
  big.push_back(0);
  tooBig.SetVariable(1, big.data(), kMaxPayload + 1);
  EXPECT_EQ(tooBig.GetVariableBinary(1, nullptr, 0), 0u);
  EXPECT_EQ(tooBig.CreateMessage(), nullptr);
  tooBig.DeleteAllVariables();
  EXPECT_EQ(tooBig.GetNumFields(), 0u);
  EXPECT_EQ(tooBig.EncodedSize(), 16u);
}

TEST(MessageTest, NullInputsStoreEmptyValues) {
  CSCPMessage msg;
  msg.SetVariable(1, static_cast<const char16_t *>(nullptr));
  msg.SetVariable(2, static_cast<const char16_t *>(nullptr), 10);
  msg.SetVariable(3, static_cast<const uint8_t *>(nullptr), 10);
  msg.SetVariableToInt32Array(4, 10, nullptr);
  EXPECT_EQ(Str(msg, 1), u"");
  EXPECT_EQ(Str(msg, 2), u"");
  EXPECT_EQ(msg.GetVariableBinary(3, nullptr, 0), 0u);
  EXPECT_EQ(msg.GetVariableInt32Array(4, 0, nullptr), 0u);
  EXPECT_EQ(msg.GetNumFields(), 4u);
}

TEST(MessageTest, ConstructorFromWireDecodesOrYieldsAnInvalidEmptyMessage) {
  CSCPMessage src;
  src.SetCode(MC_REQUEST_COMPLETED);
  src.SetId(9);
  src.SetVariable(28, uint32_t{0});
  KMCP_MESSAGE *raw = src.CreateMessage();
  ASSERT_NE(raw, nullptr);
  CSCPMessage good(raw, KMCP_VERSION);
  EXPECT_TRUE(good.isValid());
  EXPECT_EQ(good.GetCode(), MC_REQUEST_COMPLETED);
  EXPECT_EQ(good.GetId(), 9u);
  EXPECT_TRUE(good.IsVariableExist(28));

  // The same reply with its field type broken: nothing of it may be used,
  // not even its code and id (a broken reply must not match a request).
  reinterpret_cast<uint8_t *>(raw)[16 + 4] = 0x77;
  CSCPMessage bad(raw, KMCP_VERSION);
  EXPECT_FALSE(bad.isValid());
  EXPECT_EQ(bad.GetCode(), 0);
  EXPECT_EQ(bad.GetId(), 0u);
  EXPECT_EQ(bad.GetNumFields(), 0u);
  std::free(raw);

  // A raw message is never turned into fields.
  std::vector<uint8_t> rawMsg =
      WireBytes().header(MC_FILE_DATA, FLAG_RAW, 3, 4).u32(0x01020304).zeros(4).finish();
  CSCPMessage fileData(reinterpret_cast<const KMCP_MESSAGE *>(rawMsg.data()), KMCP_VERSION);
  EXPECT_FALSE(fileData.isValid());
  EXPECT_EQ(fileData.GetNumFields(), 0u);

  // A header claiming a huge size is refused without reading past it.
  std::vector<uint8_t> liar = WireBytes().header(1, 0, 1, 0, 0xFFFFFFF8).finish();
  CSCPMessage huge(reinterpret_cast<const KMCP_MESSAGE *>(liar.data()), KMCP_VERSION);
  EXPECT_FALSE(huge.isValid());
  CSCPMessage none(nullptr, KMCP_VERSION);
  EXPECT_FALSE(none.isValid());
}

TEST(MessageTest, MovedMessageKeepsFieldsAndSourceIsEmpty) {
  CSCPMessage a;
  a.SetCode(7);
  a.SetVariable(1, u"value");
  std::span<const uint8_t> before = a.GetVariableBinaryView(1);
  EXPECT_TRUE(before.empty());
  CSCPMessage b(std::move(a));
  EXPECT_EQ(Str(b, 1), u"value");
  EXPECT_EQ(b.GetCode(), 7);
  EXPECT_EQ(a.GetNumFields(), 0u);  // NOLINT(bugprone-use-after-move): defined empty
  a.SetVariable(2, uint32_t{2});     // a moved-from message is usable
  EXPECT_EQ(a.GetVariableLong(2), 2u);
  b = std::move(a);
  EXPECT_FALSE(b.IsVariableExist(1));
  EXPECT_EQ(b.GetVariableLong(2), 2u);
}

}  // namespace
