// The session's handlers for the host's data and services: parameters,
// lists, tables and their descriptions, traps, actions, service checks and
// SNMP forwarding. Each reads and checks the request's fields, does its work
// through the helpers of host_data.h, exec_action.h, service_check.h and
// snmp_forward.h, and fills the reply. Session thread only.
#include <algorithm>
#include <string>
#include <vector>

#include "agent_session.h"
#include "exec_action.h"
#include "host_data.h"
#include "kmbase/message.h"
#include "kmbase/table.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"
#include "options.h"
#include "service_check.h"
#include "snmp_forward.h"

namespace kmagent::detail {
namespace {

enum class Text { Ok, Missing, TooLong, Invalid };

// A string field in the process code page. At most maxUnits code units are
// taken; a longer string, one with an embedded terminator, or a field of
// another type is refused.
Text ReadText(const CSCPMessage &msg, uint32_t id, size_t maxUnits, std::string *out) {
  out->clear();
  KmcpFieldType type;
  if (!msg.GetVariableType(id, &type)) {
    return Text::Missing;
  }
  if (type != KmcpFieldType::String) {
    return Text::Invalid;
  }
  const uint32_t length = msg.GetVariableStrLength(id);
  if (length > maxUnits) {
    return Text::TooLong;
  }
  std::u16string wide(length + 1, u'\0');
  if (msg.GetVariableStr(id, wide.data(), length + 1) == nullptr) {
    return Text::Invalid;
  }
  wide.resize(length);
  if (wide.find(u'\0') != std::u16string::npos) {
    return Text::Invalid;
  }
  *out = KmWideToAnsi(wide);
  return Text::Ok;
}

void SetText(CSCPMessage *msg, uint32_t id, std::string_view text) {
  msg->SetVariable(id, KmAnsiToWide(text).c_str());
}

}  // namespace

bool Allowed(const std::vector<Ipv4Network> &nets, uint32_t address) {
  return std::any_of(nets.begin(), nets.end(), [&](const Ipv4Network &n) {
    return (address & n.mask) == (n.address & n.mask);
  });
}

uint32_t Session::onGetParameter(const CSCPMessage &request, CSCPMessage *reply) {
  std::string name;
  const Text t = ReadText(request, VAR_PARAMETER, kMaxParameterName, &name);
  if (t == Text::Missing || t == Text::Invalid) {
    return t == Text::Missing ? RCC_MALFORMED_COMMAND : RCC_UNKNOWN_PARAMETER;
  }
  std::string value;
  const uint32_t rcc = t == Text::Ok
                           ? ParameterValue(shared_.config, shared_.created(), name, &value)
                           : RCC_UNKNOWN_PARAMETER;
  if (rcc == RCC_SUCCESS) {
    SetText(reply, VAR_VALUE, value);
  }
  return rcc;
}

uint32_t Session::onGetList(const CSCPMessage &request, CSCPMessage *reply) {
  std::string name;
  const Text t = ReadText(request, VAR_PARAMETER, kMaxParameterName, &name);
  if (t == Text::Missing) {
    return RCC_MALFORMED_COMMAND;
  }
  std::vector<std::string> lines;
  const uint32_t rcc =
      t == Text::Ok ? ListLines(shared_.config, name, &lines) : RCC_UNKNOWN_PARAMETER;
  if (rcc != RCC_SUCCESS) {
    return rcc;
  }
  reply->SetVariable(VAR_NUM_STRINGS, static_cast<uint32_t>(lines.size()));
  for (size_t i = 0; i < lines.size(); ++i) {
    SetText(reply, VAR_LIST_BASE + static_cast<uint32_t>(i), lines[i]);
  }
  return RCC_SUCCESS;
}

uint32_t Session::onGetTable(const CSCPMessage &request, CSCPMessage *reply) {
  std::string name;
  const Text t = ReadText(request, VAR_PARAMETER, kMaxParameterName, &name);
  if (t == Text::Missing) {
    return RCC_MALFORMED_COMMAND;
  }
  Table table;
  const uint32_t rcc = t == Text::Ok ? TableContents(name, &table) : RCC_UNKNOWN_PARAMETER;
  if (rcc == RCC_SUCCESS) {
    table.fillMessage(*reply);
  }
  return rcc;
}

uint32_t Session::onGetParameterList(const CSCPMessage &, CSCPMessage *reply) {
  uint32_t field = VAR_LIST_BASE;
  uint32_t count = 0;
  for (const ParameterInfo &p : BuiltinParameters()) {
    SetText(reply, field++, p.name);
    SetText(reply, field++, p.description);
    reply->SetVariable(field++, p.dataType);
    ++count;
  }
  for (const ConfiguredParameter &p : shared_.config.parameters) {
    SetText(reply, field++, p.name);
    SetText(reply, field++, "Configured value");
    reply->SetVariable(field++, kDataString);
    ++count;
  }
  reply->SetVariable(VAR_NUM_PARAMETERS, count);
  field = VAR_TABLE_LIST_BASE;
  count = 0;
  for (const TableInfo &t : BuiltinTables()) {
    SetText(reply, field++, t.name);
    SetText(reply, field++, t.keyColumns);
    SetText(reply, field++, t.description);
    ++count;
  }
  reply->SetVariable(VAR_NUM_TABLES, count);
  return RCC_SUCCESS;
}

uint32_t Session::onEnableTraps(const CSCPMessage &, CSCPMessage *) {
  KmLockGuard state(stateLock_);
  trapsEnabled_ = true;
  return RCC_SUCCESS;
}

uint32_t Session::onExecAction(const CSCPMessage &request, CSCPMessage *) {
  std::string name;
  if (ReadText(request, VAR_ACTION_NAME, kMaxParameterName, &name) != Text::Ok) {
    return request.IsVariableExist(VAR_ACTION_NAME) ? RCC_UNKNOWN_PARAMETER
                                                    : RCC_MALFORMED_COMMAND;
  }
  const std::vector<ConfiguredAction> &actions = shared_.config.actions;
  const auto action = std::find_if(actions.begin(), actions.end(), [&](const ConfiguredAction &a) {
    return kmpeer::SameKey(a.name, name);
  });
  if (action == actions.end()) {
    logf(LogLevel::Info, "unknown action refused");
    return RCC_UNKNOWN_PARAMETER;
  }
  // VAR_NUM_ARGS is signed on the sender's side: a negative count (a huge
  // unsigned one here) means no arguments only when it is <= 0 as signed.
  uint32_t rawCount = 0;
  if (!request.GetVariableOptional(VAR_NUM_ARGS, 0u, &rawCount)) {
    return RCC_BAD_ARGUMENTS;
  }
  // Arguments only fill the placeholders the action declares: one more
  // than it has would be appended, and could change what the program does.
  const auto count = static_cast<int32_t>(rawCount);
  if (count > static_cast<int32_t>(DeclaredArguments(action->argv))) {
    logf(LogLevel::Info, "action \"%s\" refused: %d arguments, %u declared", action->name.c_str(),
         count, DeclaredArguments(action->argv));
    return RCC_BAD_ARGUMENTS;
  }
  std::vector<std::string> args;
  for (int32_t i = 0; i < count; ++i) {
    std::string arg;
    const Text t = ReadText(request, VAR_LIST_BASE + static_cast<uint32_t>(i),
                            kMaxActionArgumentSize, &arg);
    if (t == Text::Missing) {
      return RCC_MALFORMED_COMMAND;
    }
    if (t != Text::Ok || arg.size() > kMaxActionArgumentSize) {
      return RCC_BAD_ARGUMENTS;
    }
    args.push_back(std::move(arg));
  }
  const std::vector<std::string> argv = FillPlaceholders(action->argv, args);
  int status = -1;
  const ActionOutcome outcome =
      RunProgram(argv, shared_.config.actionTimeoutMs, shared_.stopping(), &status);
  logf(LogLevel::Info, "action \"%s\" (%s) %s, exit status %d", action->name.c_str(),
       action->argv.front().c_str(),
       outcome == ActionOutcome::Succeeded     ? "succeeded"
       : outcome == ActionOutcome::Failed      ? "failed"
       : outcome == ActionOutcome::TimedOut    ? "timed out"
       : outcome == ActionOutcome::CannotStart ? "could not start"
                                               : "stopped",
       status);
  return outcome == ActionOutcome::Succeeded ? RCC_SUCCESS : RCC_EXEC_FAILED;
}

uint32_t Session::onCheckService(const CSCPMessage &request, CSCPMessage *reply) {
  if (!request.IsVariableExist(VAR_IP_ADDRESS)) {
    return RCC_MALFORMED_COMMAND;
  }
  const AgentConfig &config = shared_.config;
  uint32_t address = 0;
  uint16_t type = 0;
  uint16_t port = 0;
  uint16_t protocol = 0;
  if (!request.GetVariableOptional(VAR_IP_ADDRESS, 0u, &address) ||
      !request.GetVariableOptional<uint16_t>(VAR_SERVICE_TYPE, 0, &type) ||
      !request.GetVariableOptional<uint16_t>(VAR_IP_PORT, 0, &port) ||
      !request.GetVariableOptional<uint16_t>(VAR_IP_PROTOCOL, 0, &protocol)) {
    return RCC_BAD_ARGUMENTS;
  }
  if (port == 0) {
    port = DefaultServicePort(type);
  }
  if (protocol != 0 && protocol != 6) {
    return RCC_NOT_IMPLEMENTED;  // only TCP services are checked
  }
  if (!Allowed(config.serviceCheckAllowed, address)) {
    return RCC_ACCESS_DENIED;
  }
  std::string sendText, expected;
  const Text a = ReadText(request, VAR_SERVICE_REQUEST, kMaxServiceText, &sendText);
  const Text b = ReadText(request, VAR_SERVICE_RESPONSE, kMaxServiceText, &expected);
  if ((a != Text::Ok && a != Text::Missing) || (b != Text::Ok && b != Text::Missing) ||
      sendText.size() > kMaxServiceText || expected.size() > kMaxServiceText) {
    return RCC_BAD_ARGUMENTS;
  }
  const uint32_t status = CheckTcpService(address, port, sendText, expected,
                                          config.serviceCheckTimeoutMs, shared_.stopping());
  reply->SetVariable(VAR_SERVICE_STATUS, status);
  return RCC_SUCCESS;
}

uint32_t Session::onSnmpRequest(const CSCPMessage &request, CSCPMessage *reply) {
  KmcpFieldType type;
  if (!request.IsVariableExist(VAR_IP_ADDRESS) || !request.IsVariableExist(VAR_PDU_SIZE) ||
      !request.GetVariableType(VAR_PDU, &type) || type != KmcpFieldType::Binary) {
    return RCC_MALFORMED_COMMAND;
  }
  uint32_t address = 0;
  uint16_t port = 0;
  uint32_t size = 0;
  if (!request.GetVariableOptional(VAR_IP_ADDRESS, 0u, &address) ||
      !request.GetVariableOptional<uint16_t>(VAR_SNMP_PORT, 0, &port) ||
      !request.GetVariableOptional(VAR_PDU_SIZE, 0u, &size)) {
    return RCC_BAD_ARGUMENTS;
  }
  if (port == 0) {
    port = kDefaultSnmpPort;
  }
  const std::span<const uint8_t> pdu = request.GetVariableBinaryView(VAR_PDU);
  // The size field is the sender's claim: it must be what the field holds,
  // within one datagram.
  if (size == 0 || size > kMaxSnmpPdu || size > pdu.size()) {
    return RCC_BAD_ARGUMENTS;
  }
  if (!Allowed(shared_.config.snmpAllowed, address)) {
    return RCC_ACCESS_DENIED;
  }
  std::vector<uint8_t> answer;
  switch (ForwardSnmp(address, port, pdu.first(size), shared_.config.snmpTimeoutMs,
                      shared_.stopping(), &answer)) {
    case ForwardOutcome::Answered:
      reply->SetVariable(VAR_PDU_SIZE, static_cast<uint32_t>(answer.size()));
      reply->SetVariable(VAR_PDU, answer.data(), static_cast<uint32_t>(answer.size()));
      return RCC_SUCCESS;
    case ForwardOutcome::NoAnswer:
    case ForwardOutcome::Stopped:
      return RCC_REQUEST_TIMEOUT;
    case ForwardOutcome::Failed:
      break;
  }
  return RCC_SOCKET_ERROR;
}

}  // namespace kmagent::detail
