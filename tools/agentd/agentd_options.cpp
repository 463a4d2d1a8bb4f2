#include "agentd_options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include "error_text.h"
#include "exec_action.h"
#include "host_data.h"

namespace kmagent {
namespace {

enum class Kind {
  Switch,  // boolean; a bare option on the command line means true
  Value,   // takes a value
};

struct Setting {
  const char *key;
  Kind kind;
  const char *valueName;  // for the usage text
  const char *help;
  bool (*apply)(std::string_view value, AgentdOptions *o, std::string *error);
};

std::string_view Trim(std::string_view s) {
  const char *ws = " \t\r\n";
  const size_t first = s.find_first_not_of(ws);
  if (first == std::string_view::npos) {
    return {};
  }
  return s.substr(first, s.find_last_not_of(ws) - first + 1);
}

bool ParseBool(std::string_view v, bool *out, std::string *error) {
  std::string lower(v);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "1" || lower == "true" || lower == "yes" || lower == "on") {
    *out = true;
    return true;
  }
  if (lower == "0" || lower == "false" || lower == "no" || lower == "off") {
    *out = false;
    return true;
  }
  *error = "\"" + std::string(v) + "\" is not a boolean (true/false, yes/no, on/off, 1/0)";
  return false;
}

template <typename T>
bool ParseInt(std::string_view v, T min, T max, T *out, std::string *error) {
  int64_t n = 0;
  const char *end = v.data() + v.size();
  auto [ptr, ec] = std::from_chars(v.data(), end, n);
  if (v.empty() || ec != std::errc() || ptr != end || n < static_cast<int64_t>(min) ||
      n > static_cast<int64_t>(max)) {
    *error = "\"" + std::string(v) + "\" is not a number from " + std::to_string(min) + " to " +
             std::to_string(max);
    return false;
  }
  *out = static_cast<T>(n);
  return true;
}

bool ParseIpv4(std::string_view v, uint32_t *hostOrder) {
  if (v.size() > 15) {
    return false;
  }
  const std::string text(v);
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) {
    return false;
  }
  *hostOrder = ntohl(a.s_addr);
  return true;
}

bool ParseListen(std::string_view v, AgentdOptions *o, std::string *error) {
  const size_t colon = v.rfind(':');
  uint32_t address;
  uint16_t port;
  std::string portError;
  if (colon == std::string_view::npos || !ParseIpv4(v.substr(0, colon), &address) ||
      !ParseInt<uint16_t>(v.substr(colon + 1), 0, 65535, &port, &portError)) {
    *error = "\"" + std::string(v) + "\" is not ADDRESS:PORT (dotted IPv4, port 0 to 65535)";
    return false;
  }
  o->agent.listenAddress = std::string(v.substr(0, colon));
  o->agent.listenPort = port;
  return true;
}

// "a.b.c.d/n" or "a.b.c.d" (a single host), several separated by commas;
// "none" for an empty list.
bool ParseNetworkList(std::string_view v, std::vector<Ipv4Network> *out, std::string *error) {
  std::vector<Ipv4Network> nets;
  if (Trim(v) != "none") {
    while (!v.empty()) {
      const size_t comma = v.find(',');
      const std::string_view item = Trim(v.substr(0, comma));
      v = comma == std::string_view::npos ? std::string_view() : v.substr(comma + 1);
      const size_t slash = item.find('/');
      uint32_t address;
      uint8_t bits = 32;
      std::string bitsError;
      if (!ParseIpv4(item.substr(0, slash), &address) ||
          (slash != std::string_view::npos &&
           !ParseInt<uint8_t>(item.substr(slash + 1), 0, 32, &bits, &bitsError))) {
        *error = "\"" + std::string(item) + "\" is not ADDRESS[/BITS]";
        return false;
      }
      const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
      nets.push_back({address & mask, mask});
    }
  }
  *out = std::move(nets);
  return true;
}

bool SameKey(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// "NAME:REST" with a non-empty name without spaces.
bool SplitNamed(std::string_view v, std::string_view what, std::string *name, std::string_view *rest,
                std::string *error) {
  const size_t colon = v.find(':');
  const std::string_view n = colon == std::string_view::npos ? v : Trim(v.substr(0, colon));
  if (colon == std::string_view::npos || n.empty() ||
      n.find_first_of(" \t") != std::string_view::npos || n.size() > detail::kMaxParameterName) {
    *error = "\"" + std::string(v) + "\" is not NAME:" + std::string(what);
    return false;
  }
  *name = std::string(n);
  *rest = Trim(v.substr(colon + 1));
  return true;
}

bool ParseParameter(std::string_view v, AgentdOptions *o, std::string *error) {
  std::string name;
  std::string_view value;
  if (!SplitNamed(v, "VALUE", &name, &value, error)) {
    return false;
  }
  if (detail::IsBuiltinParameter(name)) {
    *error = "\"" + name + "\" is a built-in parameter";
    return false;
  }
  for (const ConfiguredParameter &p : o->agent.parameters) {
    if (SameKey(p.name, name)) {
      *error = "parameter \"" + name + "\" is set twice";
      return false;
    }
  }
  o->agent.parameters.push_back({name, std::string(value)});
  return true;
}

bool ParseList(std::string_view v, AgentdOptions *o, std::string *error) {
  std::string name;
  std::string_view line;
  if (!SplitNamed(v, "LINE", &name, &line, error)) {
    return false;
  }
  if (detail::IsBuiltinList(name)) {
    *error = "\"" + name + "\" is a built-in list";
    return false;
  }
  for (ConfiguredList &l : o->agent.lists) {
    if (SameKey(l.name, name)) {
      l.lines.emplace_back(line);
      return true;
    }
  }
  o->agent.lists.push_back({name, {std::string(line)}});
  return true;
}

bool ParseAction(std::string_view v, AgentdOptions *o, std::string *error) {
  std::string name;
  std::string_view command;
  if (!SplitNamed(v, "/PATH [ARG...]", &name, &command, error)) {
    return false;
  }
  std::vector<std::string> argv;
  if (!detail::SplitCommandLine(command, &argv) || argv.empty() || argv[0].empty() ||
      argv[0].front() != '/') {
    *error = "action \"" + name + "\" needs an absolute program path (and balanced quotes)";
    return false;
  }
  for (const ConfiguredAction &a : o->agent.actions) {
    if (SameKey(a.name, name)) {
      *error = "action \"" + name + "\" is defined twice";
      return false;
    }
  }
  o->agent.actions.push_back({name, std::move(argv)});
  return true;
}

#define BOOL_SETTING(member) \
  [](std::string_view v, AgentdOptions *o, std::string *e) { return ParseBool(v, &o->member, e); }
#define UINT_SETTING(member, min, max)                       \
  [](std::string_view v, AgentdOptions *o, std::string *e) { \
    return ParseInt<uint32_t>(v, min, max, &o->member, e);   \
  }
#define STRING_SETTING(member)                              \
  [](std::string_view v, AgentdOptions *o, std::string *) { \
    o->member = std::string(v);                             \
    return true;                                            \
  }

constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();

const Setting kSettings[] = {
    {"files", Kind::Value, "DIR", "file area for uploads, downloads and upgrade packages (none)",
     STRING_SETTING(agent.filesDir)},
    {"served_config", Kind::Value, "FILE",
     "configuration file servers may read and replace (none)", STRING_SETTING(agent.servedConfig)},
    {"policies", Kind::Value, "DIR", "policy store servers may list and remove from (none)",
     STRING_SETTING(agent.policiesDir)},
    {"listen", Kind::Value, "ADDR:PORT", "address and port to listen on (127.0.0.1:4700)",
     ParseListen},
    {"secret", Kind::Value, "TEXT", "shared secret servers must log in with (none)",
     STRING_SETTING(agent.secret)},
    {"require_encryption", Kind::Switch, nullptr, "refuse requests until the session is encrypted",
     BOOL_SETTING(agent.requireEncryption)},
    {"pidfile", Kind::Value, "FILE", "write the process id to FILE", STRING_SETTING(pidFile)},
    {"log", Kind::Value, "FILE", "append diagnostic lines to FILE", STRING_SETTING(logFile)},
    {"foreground", Kind::Switch, nullptr, "stay in the foreground (default: detach)",
     BOOL_SETTING(foreground)},
    {"code_page", Kind::Value, "NAME", "code page of the secret (UTF-8)", STRING_SETTING(codePage)},
    {"max_sessions", Kind::Value, "N", "most sessions at once (64)",
     UINT_SETTING(agent.maxSessions, 1, 65535)},
    {"idle_timeout_ms", Kind::Value, "MS", "close sessions silent for MS (0: never)",
     UINT_SETTING(agent.idleTimeoutMs, 0, kU32Max)},
    {"proxy", Kind::Switch, nullptr, "allow proxy hops (on)", BOOL_SETTING(agent.allowProxy)},
    {"proxy_allow", Kind::Value, "NETS", "proxy targets allowed, ADDR[/BITS],... (127.0.0.0/8)",
     [](std::string_view v, AgentdOptions *o, std::string *e) {
       return ParseNetworkList(v, &o->agent.proxyAllowed, e);
     }},
    {"proxy_connect_timeout_ms", Kind::Value, "MS", "time for a proxy connect (10000)",
     UINT_SETTING(agent.proxyConnectTimeoutMs, 1, kU32Max)},
    {"parameter", Kind::Value, "NAME:VALUE", "serve parameter NAME with VALUE (repeatable)",
     ParseParameter},
    {"list", Kind::Value, "NAME:LINE", "add LINE to list NAME (repeatable)", ParseList},
    {"action", Kind::Value, "NAME:/PATH [ARG...]",
     "let peers run /PATH ARG... as action NAME (repeatable)", ParseAction},
    {"action_timeout_ms", Kind::Value, "MS", "kill an action still running after MS (10000)",
     UINT_SETTING(agent.actionTimeoutMs, 1, kU32Max)},
    {"service_check_allow", Kind::Value, "NETS",
     "addresses service checks may connect to (0.0.0.0/0)",
     [](std::string_view v, AgentdOptions *o, std::string *e) {
       return ParseNetworkList(v, &o->agent.serviceCheckAllowed, e);
     }},
    {"service_check_timeout_ms", Kind::Value, "MS",
     "time for a service check's connect, and for its response (5000)",
     UINT_SETTING(agent.serviceCheckTimeoutMs, 1, kU32Max)},
    {"snmp_allow", Kind::Value, "NETS", "devices SNMP requests may go to (127.0.0.0/8)",
     [](std::string_view v, AgentdOptions *o, std::string *e) {
       return ParseNetworkList(v, &o->agent.snmpAllowed, e);
     }},
    {"snmp_timeout_ms", Kind::Value, "MS", "wait for a device's SNMP answer (5000)",
     UINT_SETTING(agent.snmpTimeoutMs, 1, kU32Max)},
    {"traps_only_when_enabled", Kind::Switch, nullptr,
     "send traps only to sessions that asked for them (on)",
     BOOL_SETTING(agent.trapsOnlyWhenEnabled)},
    {"trap_interval_ms", Kind::Value, "MS", "send a trap every MS (0: never)",
     UINT_SETTING(trapIntervalMs, 0, kU32Max)},
    {"never_answer_key_request", Kind::Switch, nullptr, "test: ignore session key requests",
     BOOL_SETTING(agent.neverAnswerKeyRequest)},
    {"reply_delay_ms", Kind::Value, "MS", "test: answer every request MS late (0)",
     UINT_SETTING(agent.replyDelayMs, 0, kU32Max)},
    {"close_after_requests", Kind::Value, "N", "test: close a session after N answers (0: never)",
     UINT_SETTING(agent.closeAfterRequests, 0, kU32Max)},
    {"report_version", Kind::Value, "N",
     "test: protocol version to report (2; 0 as an old agent, <0 no answer)",
     [](std::string_view v, AgentdOptions *o, std::string *e) {
       return ParseInt<int32_t>(v, std::numeric_limits<int32_t>::min(),
                                std::numeric_limits<int32_t>::max(), &o->agent.reportVersion, e);
     }},
    {"send_oversized_message", Kind::Switch, nullptr,
     "test: send an oversized message before answering the test trigger",
     BOOL_SETTING(agent.sendOversizedMessage)},
    {"send_wrong_size_message", Kind::Switch, nullptr,
     "test: send a wrongly sized message before answering the test trigger",
     BOOL_SETTING(agent.sendWrongSizeMessage)},
    {"send_undecryptable_message", Kind::Switch, nullptr,
     "test: send an undecryptable message before answering the test trigger",
     BOOL_SETTING(agent.sendUndecryptableMessage)},
    {"oversized_message_size", Kind::Value, "BYTES", "test: size of the oversized message (262152)",
     UINT_SETTING(agent.oversizedMessageSize, KMCP_HEADER_SIZE, KMCP_MAX_MESSAGE_SIZE)},
};

const Setting *FindSetting(std::string_view key) {
  for (const Setting &s : kSettings) {
    if (SameKey(key, s.key)) {
      return &s;
    }
  }
  return nullptr;
}

// "--require-encryption" -> "require_encryption".
std::string KeyOfOption(std::string_view option) {
  std::string key(option);
  std::replace(key.begin(), key.end(), '-', '_');
  return key;
}

std::string OptionOfKey(std::string_view key) {
  std::string option(key);
  std::replace(option.begin(), option.end(), '_', '-');
  return "--" + option;
}

}  // namespace

AgentdOptions::AgentdOptions() {
  agent.listenPort = kDefaultAgentPort;
  agent.keepRecords = false;
  agent.trapsOnlyWhenEnabled = true;
}

bool ApplyAgentdSetting(std::string_view key, std::string_view value, AgentdOptions *options,
                        std::string *error) {
  const Setting *s = FindSetting(key);
  if (s == nullptr) {
    *error = "unknown setting \"" + std::string(key) + "\"";
    return false;
  }
  std::string reason;
  if (!s->apply(value, options, &reason)) {
    *error = std::string(key) + ": " + reason;
    return false;
  }
  return true;
}

bool ParseAgentdConfigText(std::string_view text, std::string_view origin, AgentdOptions *options,
                           std::string *error) {
  size_t lineNo = 0;
  while (!text.empty()) {
    ++lineNo;
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    const std::string where = std::string(origin) + ":" + std::to_string(lineNo) + ": ";
    if (line.size() > kMaxConfigLine) {
      *error = where + "line longer than " + std::to_string(kMaxConfigLine) + " characters";
      return false;
    }
    line = Trim(line);
    if (line.empty() || line.front() == '#') {
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      *error = where + "expected key = value";
      return false;
    }
    const std::string_view key = Trim(line.substr(0, eq));
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    std::string reason;
    if (!ApplyAgentdSetting(key, value, options, &reason)) {
      *error = where + reason;
      return false;
    }
  }
  return true;
}

bool LoadAgentdConfigFile(const std::string &path, AgentdOptions *options, std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path + ": " + ErrorText(errno);
    return false;
  }
  std::string text(kMaxConfigFileSize + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxConfigFileSize) {
    *error = path + ": larger than " + std::to_string(kMaxConfigFileSize) + " bytes";
    return false;
  }
  return ParseAgentdConfigText(text, path, options, error);
}

bool ParseAgentdCommandLine(int argc, const char *const *argv, AgentdOptions *options,
                            std::string *error) {
  // Splits argument i into option name and value; *next tells whether the
  // value came from the following argument.
  struct Arg {
    std::string name;
    std::string value;
    bool hasValue = false;
  };
  std::vector<Arg> args;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "-h" || a == "--help") {
      options->help = true;
      return true;
    }
    if (a.size() < 3 || a.substr(0, 2) != "--") {
      *error = "unexpected argument \"" + std::string(a) + "\"";
      return false;
    }
    Arg arg;
    const size_t eq = a.find('=');
    arg.name = std::string(a.substr(2, eq == std::string_view::npos ? a.npos : eq - 2));
    if (eq != std::string_view::npos) {
      arg.value = std::string(a.substr(eq + 1));
      arg.hasValue = true;
    }
    const std::string key = KeyOfOption(arg.name);
    const Setting *s = FindSetting(key);
    const bool takesValue = key == "config" || (s != nullptr && s->kind == Kind::Value);
    if (takesValue && !arg.hasValue) {
      if (i + 1 >= argc) {
        *error = "--" + arg.name + " needs a value";
        return false;
      }
      arg.value = argv[++i];
      arg.hasValue = true;
    }
    args.push_back(std::move(arg));
  }

  for (const Arg &arg : args) {
    if (arg.name != "config") {
      continue;
    }
    if (!LoadAgentdConfigFile(arg.value, options, error)) {
      return false;
    }
  }
  for (const Arg &arg : args) {
    if (arg.name == "config") {
      continue;
    }
    std::string key = KeyOfOption(arg.name);
    std::string value = arg.hasValue ? arg.value : "true";
    if (key == "no_proxy" && !arg.hasValue) {
      key = "proxy";
      value = "false";
    }
    const Setting *s = FindSetting(key);
    if (s == nullptr) {
      *error = "unknown option --" + arg.name;
      return false;
    }
    std::string reason;
    if (!ApplyAgentdSetting(key, value, options, &reason)) {
      *error = OptionOfKey(key) + ": " + reason.substr(reason.find(": ") + 2);
      return false;
    }
  }
  return true;
}

std::string AgentdUsage() {
  std::ostringstream out;
  out << "usage: kmagentd [OPTIONS]\n"
         "The reference monitoring agent: answers agent sessions on a TCP port.\n\n"
         "  --config FILE                  read settings (key = value) from FILE first\n";
  for (const Setting &s : kSettings) {
    std::string left = OptionOfKey(s.key);
    if (s.valueName != nullptr) {
      left += std::string(" ") + s.valueName;
    }
    out << "  " << left << std::string(left.size() < 31 ? 31 - left.size() : 1, ' ') << s.help
        << "\n";
  }
  out << "  --no-proxy                     refuse proxy hops\n"
         "  -h, --help                     show this text\n\n"
         "Switches also take =true or =false. SIGTERM or SIGINT stops the agent.\n";
  return out.str();
}

}  // namespace kmagent
