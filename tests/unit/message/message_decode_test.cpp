// Strict decoding: every malformed-input class with its status, each limit
// exactly and one past it, and a bit-flip/truncation pass over valid messages.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kmbase/message.h"
#include "wire_bytes.h"

namespace {

using S = KmcpDecodeStatus;

TEST(MessageDecodeTest, HeaderChecks) {
  std::vector<uint8_t> ok = WireBytes().header(3, 0, 1, 0).finish();
  ASSERT_EQ(ok.size(), 16u);
  EXPECT_EQ(DecodeStatus(ok), S::Ok);
  for (size_t n = 0; n < 16; ++n) {
    EXPECT_EQ(DecodeStatus(std::vector<uint8_t>(ok.begin(), ok.begin() + n)), S::TooShort) << n;
  }
  // Header size and received byte count must agree, both ways.
  EXPECT_EQ(DecodeStatus(WireBytes().header(3, 0, 1, 0, 24).finish()), S::SizeMismatch);
  EXPECT_EQ(DecodeStatus(WireBytes().header(3, 0, 1, 0, 16).zeros(8).finish()), S::SizeMismatch);
  EXPECT_EQ(DecodeStatus(WireBytes().header(3, 0, 1, 0, 0).finish()), S::SizeMismatch);
  EXPECT_EQ(DecodeStatus(WireBytes().header(3, 0, 1, 0, 0xFFFFFFFF - 7).finish()), S::TooLarge);
  EXPECT_EQ(DecodeStatus(WireBytes().header(105, FLAG_RAW, 1, 4).u32(7).zeros(4).finish()),
            S::RawMessage);
  EXPECT_EQ(DecodeStatus(WireBytes().header(105, FLAG_RAW | FLAG_END_OF_FILE, 1, 0).finish()),
            S::RawMessage);
  // Size not a multiple of 8, even when all fields fit.
  EXPECT_EQ(DecodeStatus(WireBytes().header(3, 0, 1, 1).int16Field(1, 2).zeros(4).finish()),
            S::Misaligned);
  EXPECT_EQ(DecodeStatus(WireBytes().header(3, 0, 1, 0).zeros(1).finish()), S::Misaligned);
}

TEST(MessageDecodeTest, MessageOfExactlyTheSizeLimitDecodesAndOneBlockMoreIsTooLarge) {
  const uint32_t payload = KMCP_MAX_MESSAGE_SIZE - 16 - 12;
  std::vector<uint8_t> max = WireBytes()
                                 .header(1, 0, 1, 1)
                                 .varPrefix(1, KmcpFieldType::Binary, payload)
                                 .zeros(payload)
                                 .finish();
  ASSERT_EQ(max.size(), KMCP_MAX_MESSAGE_SIZE);
  EXPECT_EQ(DecodeStatus(max), S::Ok);
  std::vector<uint8_t> over = WireBytes()
                                  .header(1, 0, 1, 2)
                                  .varPrefix(1, KmcpFieldType::Binary, payload)
                                  .zeros(payload)
                                  .int16Field(2, 0)
                                  .finish();
  ASSERT_EQ(over.size(), KMCP_MAX_MESSAGE_SIZE + 8u);
  EXPECT_EQ(DecodeStatus(over), S::TooLarge);
}

TEST(MessageDecodeTest, FieldsRunningPastTheEndAreTruncated) {
  // Fixed-size fields cut short.
  EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).u32(1).u8(0).zeros(3).finish()),
            S::FieldTruncated);  // Int32 needs 16 bytes, 8 present
  EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).u32(1).u8(2).zeros(3).finish()),
            S::FieldTruncated);  // Int64 likewise
  EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).u32(1).u8(1).zeros(3).finish()),
            S::FieldTruncated);  // a string's length word is missing

  // Length limits: the payload may fill the message exactly; one byte more
  // (or one array element more) runs past the end.
  for (auto type : {KmcpFieldType::String, KmcpFieldType::Binary}) {
    EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).varPrefix(1, type, 12).zeros(12).finish()),
              S::Ok);
    EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).varPrefix(1, type, 14).zeros(12).finish()),
              S::FieldTruncated);
  }
  EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).varPrefix(1, KmcpFieldType::Binary, 13)
                             .zeros(12).finish()),
            S::FieldTruncated);
  EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).varPrefix(1, KmcpFieldType::Int32Array, 3)
                             .zeros(12).finish()),
            S::Ok);
  EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).varPrefix(1, KmcpFieldType::Int32Array, 4)
                             .zeros(12).finish()),
            S::FieldTruncated);
  // Lengths whose byte count overflows 32 bits never wrap around.
  for (uint32_t n : {0x40000000u, 0x40000001u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).varPrefix(1, KmcpFieldType::Int32Array, n)
                               .zeros(4).finish()),
              S::FieldTruncated)
        << n;
    EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).varPrefix(1, KmcpFieldType::Binary, n)
                               .zeros(4).finish()),
              S::FieldTruncated)
        << n;
  }
}

TEST(MessageDecodeTest, UnknownTypeAndOddStringLengthAreRejected) {
  for (uint8_t type : {6, 7, 0x80, 0xFF}) {
    EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).u32(1).u8(type).zeros(11).finish()),
              S::BadFieldType)
        << int(type);
  }
  EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).varPrefix(1, KmcpFieldType::String, 3)
                             .zeros(4).finish()),
            S::OddStringLength);
}

TEST(MessageDecodeTest, FieldCountMustMatchTheFieldsPresent) {
  auto twoFields = [](uint32_t count) {
    return WireBytes().header(1, 0, 1, count).int16Field(1, 1).int16Field(2, 2).finish();
  };
  EXPECT_EQ(DecodeStatus(twoFields(2)), S::Ok);
  EXPECT_EQ(DecodeStatus(twoFields(1)), S::FieldCountMismatch);  // a whole extra field
  EXPECT_EQ(DecodeStatus(twoFields(0)), S::FieldCountMismatch);
  EXPECT_EQ(DecodeStatus(twoFields(3)), S::FieldCountMismatch);
  // The count limit: at most one field per 8 body bytes, checked before
  // anything is reserved for it.
  EXPECT_EQ(DecodeStatus(twoFields(0xFFFFFFFF)), S::FieldCountMismatch);
  EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).finish()), S::FieldCountMismatch);
  // Bytes after the last counted field that are no field at all.
  EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 1).int16Field(1, 1).u32(9).u8(0xEE)
                             .zeros(3).finish()),
            S::TrailingBytes);
  EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 0).u32(9).u8(0xEE).zeros(3).finish()),
            S::TrailingBytes);
}

TEST(MessageDecodeTest, DuplicateIdsAreRejectedInSmallAndLargeMessages) {
  EXPECT_EQ(DecodeStatus(WireBytes().header(1, 0, 1, 2).int16Field(5, 1).int32Field(5, 2).finish()),
            S::DuplicateField);
  WireBytes many;
  many.header(1, 0, 1, 40);
  for (uint32_t i = 0; i < 39; ++i) many.int16Field(i * 1024, 0);
  many.int16Field(17 * 1024, 0);
  EXPECT_EQ(DecodeStatus(many.finish()), S::DuplicateField);
}

TEST(MessageDecodeTest, ReservedAndPaddingBytesAreIgnored) {
  std::vector<uint8_t> bytes = WireBytes()
                                   .header(1, 0, 1, 2)
                                   .u32(1).u8(0).u8(0xFF).u16(0xFFFF).u32(42).u32(0xFFFFFFFF)
                                   .u32(2).u8(4).u8(0x11).u16(0x2222).u32(1).u8(9).u8(1).u16(3)
                                   .finish();
  auto msg = CSCPMessage::decode(bytes, KMCP_VERSION);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->GetVariableLong(1), 42u);
  uint8_t b = 0;
  EXPECT_EQ(msg->GetVariableBinary(2, &b, 1), 1u);
  EXPECT_EQ(b, 9);
  // Re-encoding writes them as zeros.
  std::vector<uint8_t> again = Wire(*msg);
  EXPECT_EQ(again.size(), bytes.size());
  EXPECT_EQ(again[16 + 5], 0);
  EXPECT_EQ(again[16 + 12], 0);
  EXPECT_EQ(again[32 + 13], 0);
}

TEST(MessageDecodeTest, EveryStatusHasItsOwnText) {
  std::vector<std::string> seen;
  for (int s = 0; s <= static_cast<int>(S::OddStringLength); ++s) {
    std::string text = KmcpDecodeStatusText(static_cast<S>(s));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), text), 0) << text;
    seen.push_back(text);
  }
}

// Valid messages for the bit-flip pass: small, and enough fields to use the index.
std::vector<std::vector<uint8_t>> ValidMessages() {
  std::vector<std::vector<uint8_t>> out;
  CSCPMessage a;
  a.SetCode(MC_REQUEST_COMPLETED);
  a.SetId(7);
  a.SetVariable(28, uint32_t{0});
  a.SetVariable(21, u"value \U0001F600");
  out.push_back(Wire(a));
  CSCPMessage b;
  for (uint32_t i = 0; i < 12; ++i) {
    switch (i % 6) {
      case 0: b.SetVariable(0x10000000 + i, uint16_t(i)); break;
      case 1: b.SetVariable(0x10000000 + i, uint32_t{i}); break;
      case 2: b.SetVariable(0x10000000 + i, uint64_t{i}); break;
      case 3: b.SetVariable(0x10000000 + i, u"s"); break;
      case 4: { const uint8_t d[3] = {1, 2, 3}; b.SetVariable(0x10000000 + i, d, 3); break; }
      default: { const uint32_t v[2] = {1, 2}; b.SetVariableToInt32Array(0x10000000 + i, 2, v); }
    }
  }
  out.push_back(Wire(b));
  return out;
}

// A decoded message re-encodes to the same size, and decoding that again
// gives back the same bytes.
void ExpectStableReencoding(const std::vector<uint8_t> &input, const std::string &what) {
  KmcpDecodeStatus status;
  auto msg = CSCPMessage::decode(input, KMCP_VERSION, &status);
  if (msg == nullptr) return;
  std::vector<uint8_t> first = Wire(*msg);
  ASSERT_EQ(first.size(), input.size()) << what;
  auto again = CSCPMessage::decode(first, KMCP_VERSION, &status);
  ASSERT_NE(again, nullptr) << what << ": " << KmcpDecodeStatusText(status);
  ASSERT_EQ(Wire(*again), first) << what;
}

TEST(MessageDecodeTest, BitFlipsAndTruncationsNeverCrashAndDecodedResultsReencode) {
  int decoded = 0;
  int rejected = 0;
  for (const std::vector<uint8_t> &valid : ValidMessages()) {
    ASSERT_EQ(DecodeStatus(valid), S::Ok);
    for (size_t bit = 0; bit < valid.size() * 8; ++bit) {
      std::vector<uint8_t> m = valid;
      m[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      S status = DecodeStatus(m);
      ASSERT_NE(status, static_cast<S>(-1)) << "bit " << bit;
      (status == S::Ok ? decoded : rejected)++;
      ExpectStableReencoding(m, "bit " + std::to_string(bit));
    }
    for (size_t n = 0; n < valid.size(); ++n) {
      std::vector<uint8_t> cut(valid.begin(), valid.begin() + n);
      EXPECT_NE(DecodeStatus(cut), S::Ok) << n;
    }
  }
  // Both outcomes occur: flips in values decode, flips in structure do not.
  EXPECT_GT(decoded, 0);
  EXPECT_GT(rejected, 0);
}

}  // namespace
