// Wire bytes for tests: messages as the codec encodes them, and headers
// built by hand for the malformed, oversized or raw messages no encoder
// makes. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "kmbase/byte_order.h"
#include "kmbase/kmcp.h"
#include "kmbase/message.h"

namespace kmtest {

// An empty message with code and id.
inline CSCPMessage Message(uint16_t code, uint32_t id) {
  CSCPMessage msg;
  msg.SetCode(code);
  msg.SetId(id);
  return msg;
}

// msg encoded, as a peer sends it in clear.
inline std::vector<uint8_t> Wire(const CSCPMessage &msg) {
  std::vector<uint8_t> bytes(msg.EncodedSize());
  bytes.resize(msg.EncodeTo(bytes.data()));
  return bytes;
}

// A header in wire order saying code, flags, size, id and count (the field
// count, or a raw message's payload length), followed by `extra` zero
// bytes. Nothing ties size to what is really there: that is the point.
inline std::vector<uint8_t> WireHeader(uint16_t code, uint32_t size, uint32_t id, size_t extra = 0,
                                       uint16_t flags = 0, uint32_t count = 0) {
  std::vector<uint8_t> bytes(KMCP_HEADER_SIZE + extra, 0);
  KmStoreBe16(&bytes[0], code);
  KmStoreBe16(&bytes[2], flags);
  KmStoreBe32(&bytes[4], size);
  KmStoreBe32(&bytes[8], id);
  KmStoreBe32(&bytes[12], count);
  return bytes;
}

}  // namespace kmtest
