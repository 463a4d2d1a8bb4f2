// Test helper for the codec tests: builds KMCP wire bytes by hand (header +
// raw field bytes), so tests can state exact layouts and make malformed
// messages. Plain values; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kmbase/message.h"
#include "support/wire.h"

class WireBytes {
 public:
  WireBytes &u8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  WireBytes &u16(uint16_t v) { return u8(static_cast<uint8_t>(v >> 8)).u8(static_cast<uint8_t>(v)); }
  WireBytes &u32(uint32_t v) { return u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v)); }
  WireBytes &u64(uint64_t v) { return u32(static_cast<uint32_t>(v >> 32)).u32(static_cast<uint32_t>(v)); }
  WireBytes &zeros(size_t n) {
    bytes_.insert(bytes_.end(), n, 0);
    return *this;
  }

  // Header; size UINT32_MAX means "fill in the final length on finish()".
  WireBytes &header(uint16_t code, uint16_t flags, uint32_t id, uint32_t count,
                    uint32_t size = UINT32_MAX) {
    fixSize_ = size == UINT32_MAX;
    return u16(code).u16(flags).u32(fixSize_ ? 0 : size).u32(id).u32(count);
  }
  // Fields as the codec lays them out (type bytes: Int32 0, String 1, Int64 2,
  // Int16 3, Binary 4, Int32Array 5).
  WireBytes &int16Field(uint32_t id, uint16_t v) { return u32(id).u8(3).u8(0).u16(v); }
  WireBytes &int32Field(uint32_t id, uint32_t v) { return u32(id).u8(0).u8(0).u16(0).u32(v).u32(0); }
  WireBytes &int64Field(uint32_t id, uint64_t v) { return u32(id).u8(2).u8(0).u16(0).u64(v); }
  WireBytes &varPrefix(uint32_t id, KmcpFieldType type, uint32_t length) {
    return u32(id).u8(static_cast<uint8_t>(type)).u8(0).u16(0).u32(length);
  }
  WireBytes &pad() { return zeros((8 - bytes_.size() % 8) % 8); }

  std::vector<uint8_t> finish() {
    std::vector<uint8_t> out = bytes_;
    if (fixSize_ && out.size() >= 8) {
      uint32_t n = static_cast<uint32_t>(out.size());
      out[4] = static_cast<uint8_t>(n >> 24);
      out[5] = static_cast<uint8_t>(n >> 16);
      out[6] = static_cast<uint8_t>(n >> 8);
      out[7] = static_cast<uint8_t>(n);
    }
    return out;
  }

 private:
  std::vector<uint8_t> bytes_;
  bool fixSize_ = false;
};

using kmtest::Wire;  // a message encoded, to compare with hand-built bytes

inline KmcpDecodeStatus DecodeStatus(const std::vector<uint8_t> &bytes) {
  KmcpDecodeStatus status = KmcpDecodeStatus::Ok;
  std::unique_ptr<CSCPMessage> msg = CSCPMessage::decode(bytes, KMCP_VERSION, &status);
  // A failed decode gives no message; a successful one always does.
  if ((msg == nullptr) != (status != KmcpDecodeStatus::Ok)) return static_cast<KmcpDecodeStatus>(-1);
  return status;
}
