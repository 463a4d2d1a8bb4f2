// Fuzz target for the KMCP field codec: decode arbitrary bytes; when that
// succeeds, the message must re-encode to the same size, decode again, and
// encode to the same bytes; every field the encoding lists must be found
// with its type, and the Table and StringMap loaders must cope with it.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kmbase/message.h"
#include "kmbase/string_map.h"
#include "kmbase/table.h"

namespace {

uint32_t Be32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::vector<uint8_t> Encode(const CSCPMessage &msg) {
  std::vector<uint8_t> out(msg.EncodedSize());
  if (msg.EncodeTo(out.data()) != out.size()) std::abort();
  return out;
}

// Walks an encoding this codec produced and reads every field back.
void CheckFields(const CSCPMessage &msg, const std::vector<uint8_t> &wire) {
  size_t at = 16;
  uint32_t seen = 0;
  while (at < wire.size()) {
    uint32_t id = Be32(&wire[at]);
    auto type = static_cast<KmcpFieldType>(wire[at + 4]);
    KmcpFieldType got;
    if (!msg.GetVariableType(id, &got) || got != type) std::abort();
    size_t size = 16;
    switch (type) {
      case KmcpFieldType::Int16:
        size = 8;
        [[fallthrough]];
      case KmcpFieldType::Int32:
      case KmcpFieldType::Int64:
        (void)msg.GetVariableInt64(id);
        break;
      case KmcpFieldType::String: {
        uint32_t units = msg.GetVariableStrLength(id);
        if (units * 2 != Be32(&wire[at + 8])) std::abort();
        char16_t small[3];
        msg.GetVariableStr(id, small, 3);
        char16_t *copy = msg.GetVariableStr(id);
        if (copy == nullptr || copy[units] != 0) std::abort();
        std::free(copy);
        size = (12 + size_t{units} * 2 + 7) & ~size_t{7};
        break;
      }
      case KmcpFieldType::Binary: {
        uint32_t n = msg.GetVariableBinary(id, nullptr, 0);
        if (msg.GetVariableBinaryView(id).size() != n) std::abort();
        size = (12 + size_t{n} + 7) & ~size_t{7};
        break;
      }
      case KmcpFieldType::Int32Array: {
        uint32_t n = msg.GetVariableInt32Array(id, 0, nullptr);
        size = (12 + size_t{n} * 4 + 7) & ~size_t{7};
        break;
      }
      default:
        std::abort();  // the encoder wrote a type the decoder does not know
    }
    at += size;
    ++seen;
  }
  if (at != wire.size() || seen != msg.GetNumFields()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  KmcpDecodeStatus status = KmcpDecodeStatus::Ok;
  std::unique_ptr<CSCPMessage> msg = CSCPMessage::decode({data, size}, KMCP_VERSION, &status);
  // The receiver's constructor takes the header's word for the length: give
  // it only inputs whose header size is within what we have.
  if (size >= 16 && Be32(data + 4) <= size) {
    CSCPMessage viaHeader(reinterpret_cast<const KMCP_MESSAGE *>(data), KMCP_VERSION);
    if (Be32(data + 4) == size && viaHeader.isValid() != (msg != nullptr)) std::abort();
  }
  if (msg == nullptr) {
    if (status == KmcpDecodeStatus::Ok) std::abort();
    return 0;
  }
  if (status != KmcpDecodeStatus::Ok || !msg->isValid()) std::abort();

  std::vector<uint8_t> first = Encode(*msg);
  if (first.size() != size) std::abort();
  std::unique_ptr<CSCPMessage> again = CSCPMessage::decode(first, KMCP_VERSION, &status);
  if (again == nullptr) std::abort();
  if (again->GetCode() != msg->GetCode() || again->GetId() != msg->GetId() ||
      again->GetFlags() != msg->GetFlags() || again->GetNumFields() != msg->GetNumFields()) {
    std::abort();
  }
  if (Encode(*again) != first) std::abort();
  CheckFields(*msg, first);

  Table table;
  if (table.loadMessage(*msg)) {
    CSCPMessage out;
    table.fillMessage(out);
    Table back;
    if (!back.loadMessage(out) || back.getNumRows() != table.getNumRows() ||
        back.getNumColumns() != table.getNumColumns()) {
      std::abort();
    }
  }
  StringMap map;
  (void)map.loadMessage(*msg, VAR_TABLE_NUM_ROWS, VAR_TABLE_COLUMN_BASE);
  (void)map.loadMessage(*msg, 86, 0x10000000);
  return 0;
}
