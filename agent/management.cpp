// Agent management requests of AgentConnection (upgrade, configuration file,
// policy inventory and removal) and the decoders of their replies. Every
// request runs the session's request cycle (executeRequest).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string>

#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/agent.h"
#include "kmsrv/protocol.h"

// ---------------------------------------------------------------------------
// Decoders
// ---------------------------------------------------------------------------

char16_t *DecodeAgentConfigText(const uint8_t *bytes, uint32_t length) {
  const size_t room = size_t{length} + 1;
  auto *text = static_cast<char16_t *>(calloc(room, sizeof(char16_t)));
  if (text == nullptr) return nullptr;
  // Every code page byte gives at most one UTF-16 unit (a 4-byte UTF-8
  // sequence gives two), so length units always hold the whole conversion.
  const size_t converted =
      length == 0 ? 0
                  : KmAnsiToWide(reinterpret_cast<const char *>(bytes),
                                 static_cast<ptrdiff_t>(length), text, room);
  for (size_t i = 0; i < converted; i++) {
    const char16_t c = text[i];
    if (c < 32 && c != u'\t' && c != u'\n' && c != u'\r') text[i] = u' ';
  }
  return text;
}

bool AgentPolicyInfo::countFits(const CSCPMessage &msg, int32_t count) {
  return count <= 0 || static_cast<uint32_t>(count) <= msg.GetNumFields();
}

AgentPolicyInfo::AgentPolicyInfo(const CSCPMessage *msg)
    : size(0), guids(nullptr), types(nullptr), servers(nullptr), valid(true) {
  if (msg == nullptr) return;
  uint32_t rawCount = 0;
  const bool countOk = msg->GetVariableOptional(VAR_NUM_POLICIES, 0u, &rawCount);
  const auto count = static_cast<int32_t>(rawCount);
  size = count;
  if (count <= 0 && countOk) return;
  if (!countOk || !countFits(*msg, count)) {
    size = 0;
    valid = false;
    return;
  }
  const size_t n = static_cast<size_t>(count);
  guids = static_cast<uint8_t(*)[AGENT_POLICY_GUID_SIZE]>(calloc(n, AGENT_POLICY_GUID_SIZE));
  types = static_cast<int32_t *>(calloc(n, sizeof(int32_t)));
  servers = static_cast<char16_t **>(calloc(n, sizeof(char16_t *)));
  if (guids == nullptr || types == nullptr || servers == nullptr) {
    free(guids);
    free(types);
    free(servers);
    guids = nullptr;
    types = nullptr;
    servers = nullptr;
    size = 0;
    valid = false;
    return;
  }
  for (size_t i = 0; i < n; i++) {
    const uint32_t base = VAR_LIST_BASE + AGENT_POLICY_RECORD_STRIDE * static_cast<uint32_t>(i);
    msg->GetVariableBinary(base, guids[i], AGENT_POLICY_GUID_SIZE);
    uint16_t type = 0;
    msg->GetVariableOptional<uint16_t>(base + 1, 0, &type);  // another width: 0
    types[i] = type;
    servers[i] = msg->GetVariableStr(base + 2);
  }
}

AgentPolicyInfo::~AgentPolicyInfo() {
  if (servers != nullptr)
    for (int32_t i = 0; i < size; i++) free(servers[i]);
  free(servers);
  free(types);
  free(guids);
}

int32_t AgentPolicyInfo::getType(int32_t index) const {
  return index >= 0 && index < size ? types[index] : -1;
}

const char16_t *AgentPolicyInfo::getServer(int32_t index) const {
  return index >= 0 && index < size ? servers[index] : nullptr;
}

bool AgentPolicyInfo::getGuid(int32_t index, uint8_t *guid) const {
  if (index < 0 || index >= size || guid == nullptr) return false;
  memcpy(guid, guids[index], AGENT_POLICY_GUID_SIZE);
  return true;
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

uint32_t AgentConnection::startUpgrade(const char16_t *packagePath) {
  if (packagePath == nullptr) return RCC_BAD_ARGUMENTS;
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_UPGRADE_AGENT);
  msg.SetVariable(VAR_FILE_NAME, uploadFileName(packagePath));
  return executeRequest(&msg, true, commandTimeout.load());
}

uint32_t AgentConnection::getConfigFile(char16_t **configText, uint32_t *size) {
  if (configText != nullptr) *configText = nullptr;
  if (size != nullptr) *size = 0;
  if (configText == nullptr) return RCC_BAD_ARGUMENTS;
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_GET_AGENT_CONFIG);
  return executeRequest(&msg, true, commandTimeout.load(),
                        [&](const CSCPMessage &reply, uint32_t rcc) -> uint32_t {
                          if (rcc != RCC_SUCCESS) return rcc;
                          const std::span<const uint8_t> bytes =
                              reply.GetVariableBinaryView(VAR_CONFIG_FILE);
                          char16_t *text = DecodeAgentConfigText(
                              bytes.data(), static_cast<uint32_t>(bytes.size()));
                          if (text == nullptr) return RCC_OUT_OF_MEMORY;
                          *configText = text;
                          if (size != nullptr) *size = static_cast<uint32_t>(bytes.size());
                          return rcc;
                        });
}

uint32_t AgentConnection::updateConfigFile(const char16_t *text) {
  if (text == nullptr) return RCC_BAD_ARGUMENTS;
  // The whole text goes: a character that takes several bytes in the code
  // page is never cut off to keep the byte count at the character count.
  std::string bytes = KmWideToAnsi(std::u16string_view(text));
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_UPDATE_AGENT_CONFIG);
  msg.SetVariable(VAR_CONFIG_FILE, reinterpret_cast<const uint8_t *>(bytes.data()),
                  static_cast<uint32_t>(std::min<size_t>(bytes.size(), UINT32_MAX)));
  if (bytes.size() > UINT32_MAX || msg.EncodedSize() > KMCP_MAX_MESSAGE_SIZE)
    return RCC_BAD_ARGUMENTS;
  return executeRequest(&msg, true, commandTimeout.load());
}

uint32_t AgentConnection::getPolicyInventory(AgentPolicyInfo **info) {
  if (info == nullptr) return RCC_BAD_ARGUMENTS;
  *info = nullptr;
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_GET_POLICY_INVENTORY);
  return executeRequest(&msg, false, commandTimeout.load(),
                        [&](const CSCPMessage &reply, uint32_t rcc) -> uint32_t {
                          if (rcc != RCC_SUCCESS) return rcc;
                          uint32_t count = 0;
                          if (!reply.GetVariableOptional(VAR_NUM_POLICIES, 0u, &count) ||
                              !AgentPolicyInfo::countFits(reply, static_cast<int32_t>(count)))
                            return RCC_BAD_RESPONSE;
                          auto *result = new (std::nothrow) AgentPolicyInfo(&reply);
                          if (result == nullptr || !result->isValid()) {
                            delete result;
                            return RCC_OUT_OF_MEMORY;
                          }
                          *info = result;
                          return rcc;
                        });
}

uint32_t AgentConnection::uninstallPolicy(const uint8_t *guid) {
  if (guid == nullptr) return RCC_BAD_ARGUMENTS;
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_UNINSTALL_POLICY);
  msg.SetVariable(VAR_POLICY_GUID, guid, static_cast<uint32_t>(AGENT_POLICY_GUID_SIZE));
  return executeRequest(&msg, false, commandTimeout.load());
}
