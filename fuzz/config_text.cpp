// Fuzz target for the configuration text decoder. The input is taken as a
// KMCP reply (version 2) when it decodes as one, and its VAR_CONFIG_FILE
// bytes are decoded as getConfigFile does; otherwise the input itself is the
// field's bytes. The text must have room for length + 1 characters, be
// terminated at index length, hold no control character other than tab, line
// feed and carriage return before its terminator, and be zeros after it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "kmbase/message.h"
#include "kmsrv/agent_policy.h"
#include "kmsrv/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  auto msg = CSCPMessage::decode(bytes, 2);
  if (msg != nullptr) bytes = msg->GetVariableBinaryView(VAR_CONFIG_FILE);
  const auto length = static_cast<uint32_t>(bytes.size());
  char16_t *text = DecodeAgentConfigText(bytes.data(), length);
  if (text == nullptr) abort();
  size_t end = 0;
  while (end < length && text[end] != 0) {
    const char16_t c = text[end];
    if (c < 32 && c != u'\t' && c != u'\n' && c != u'\r') abort();
    end++;
  }
  for (size_t i = end; i <= length; i++)
    if (text[i] != 0) abort();
  free(text);
  return 0;
}
