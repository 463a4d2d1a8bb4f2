// Fuzz target for the policy inventory decoder: arbitrary bytes decoded as a
// KMCP message (version 2) become an AgentPolicyInfo. The count must be
// believed only when the message could hold it, every getter must stay
// inside the object's arrays for any index, and the destructor must free
// exactly what was made (the sanitizers check both).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <span>
#include <string>

#include "kmbase/message.h"
#include "kmsrv/agent_policy.h"
#include "kmsrv/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  auto msg = CSCPMessage::decode(std::span<const uint8_t>(data, size), 2);
  if (msg == nullptr) return 0;
  const auto count = static_cast<int32_t>(msg->GetVariableLong(VAR_NUM_POLICIES));
  AgentPolicyInfo info(msg.get());
  if (info.isValid() != AgentPolicyInfo::countFits(*msg, count)) abort();
  if (info.isValid() ? info.getSize() != count : info.getSize() != 0) abort();
  const int32_t records = info.getSize();
  if (records > 0 && static_cast<uint32_t>(records) > msg->GetNumFields()) abort();
  uint8_t guid[AGENT_POLICY_GUID_SIZE];
  const int32_t last = records == INT32_MIN ? records : records - 1;
  for (int32_t i : {int32_t{-1}, int32_t{0}, int32_t{1}, last, records, INT32_MIN, INT32_MAX}) {
    const bool inside = i >= 0 && i < records;
    std::memset(guid, 0xA5, sizeof(guid));
    if (info.getGuid(i, guid) != inside) abort();
    if (!inside && (guid[0] != 0xA5 || info.getType(i) != -1 || info.getServer(i) != nullptr))
      abort();
    if (inside) {
      const int32_t type = info.getType(i);
      if (type < 0 || type > 0xFFFF) abort();
      const char16_t *server = info.getServer(i);
      if (server != nullptr) (void)std::char_traits<char16_t>::length(server);
    }
  }
  return 0;
}
