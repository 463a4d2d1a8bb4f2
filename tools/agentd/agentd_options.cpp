#include "agentd_options.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include "exec_action.h"
#include "host_data.h"
#include "kmbase/fd_io.h"
#include "kmbase/text.h"
#include "options.h"
#include "tls_files.h"

namespace kmagent {
namespace {

using Setting = kmpeer::Option<AgentdOptions>;
using kmpeer::ParseBool;
using kmpeer::ParseInteger;
using kmpeer::ParseIpv4;
using kmpeer::SameKey;
using kmpeer::Trim;

bool ParseListen(std::string_view v, AgentdOptions *o, std::string *error) {
  return kmpeer::ParseListen(v, &o->agent.listenAddress, &o->agent.listenPort, error);
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
           !ParseInteger<uint8_t>(item.substr(slash + 1), 0, 32, &bits, &bitsError))) {
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

// "PORT,PORT,..." with ports from 1 to 65535, or "any" (an empty list).
bool ParsePortList(std::string_view v, AgentdOptions *o, std::string *error) {
  std::vector<uint16_t> ports;
  if (Trim(v) != "any") {
    while (!v.empty()) {
      const size_t comma = v.find(',');
      uint16_t port = 0;
      if (!ParseInteger<uint16_t>(Trim(v.substr(0, comma)), 1, 65535, &port, error)) return false;
      ports.push_back(port);
      v = comma == std::string_view::npos ? std::string_view() : v.substr(comma + 1);
    }
    if (ports.empty()) {
      *error = "no port given (\"any\" allows every port)";
      return false;
    }
  }
  o->agent.proxyPorts = std::move(ports);
  return true;
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

kmpeer::TlsFiles *TlsOf(AgentdOptions *o) { return &o->agent.tls; }
using Tls = kmpeer::TlsOptions<AgentdOptions, &TlsOf>;

#define BOOL_SETTING(member) \
  [](std::string_view v, AgentdOptions *o, std::string *e) { return ParseBool(v, &o->member, e); }
#define UINT_SETTING(member, min, max)                         \
  [](std::string_view v, AgentdOptions *o, std::string *e) {   \
    return ParseInteger<uint32_t>(v, min, max, &o->member, e); \
  }
#define STRING_SETTING(member)                              \
  [](std::string_view v, AgentdOptions *o, std::string *) { \
    o->member = std::string(v);                             \
    return true;                                            \
  }

constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();

const Setting kSettings[] = {
    {"files", "DIR", "file area for uploads, downloads and upgrade packages (none)",
     STRING_SETTING(agent.filesDir)},
    {"max_area_bytes", "BYTES", "most bytes the file area may hold (4294967296)",
     [](std::string_view v, AgentdOptions *o, std::string *e) {
       return ParseInteger<uint64_t>(v, 0, std::numeric_limits<int64_t>::max(),
                                     &o->agent.maxAreaBytes, e);
     }},
    {"max_area_files", "N", "most files the file area may hold (1000)",
     [](std::string_view v, AgentdOptions *o, std::string *e) {
       return ParseInteger<uint64_t>(v, 0, std::numeric_limits<int64_t>::max(),
                                     &o->agent.maxAreaFiles, e);
     }},
    {"served_config", "FILE", "configuration file servers may read and replace (none)",
     STRING_SETTING(agent.servedConfig)},
    {"policies", "DIR", "policy store servers may list and remove from (none)",
     STRING_SETTING(agent.policiesDir)},
    {"listen", "ADDR:PORT", "address and port to listen on (127.0.0.1:4700)", ParseListen},
    {"secret", "TEXT", "shared secret servers must log in with (none)",
     STRING_SETTING(agent.secret)},
    {"login_failure_delay_ms", "MS",
     "delay of a second failed login, doubling for each further one (250; 0: none)",
     UINT_SETTING(agent.loginFailureDelayMs, 0, 60000)},
    {"max_login_failures", "N", "end a session after N failed logins (3; 0: never)",
     UINT_SETTING(agent.maxLoginFailures, 0, kU32Max)},
    {"require_encryption", nullptr, "refuse requests until the session is encrypted",
     BOOL_SETTING(agent.requireEncryption)},
    Tls::cert,
    Tls::key,
    Tls::ca,
    Tls::require,
    {"pidfile", "FILE", "write the process id to FILE", STRING_SETTING(pidFile)},
    {"log", "FILE", "append diagnostic lines to FILE", STRING_SETTING(logFile)},
    {"log_max_bytes", "BYTES",
     "move the log to FILE.1 when it would grow beyond (10485760; 0: never)",
     [](std::string_view v, AgentdOptions *o, std::string *e) {
       return ParseInteger<uint64_t>(v, 0, std::numeric_limits<int64_t>::max(), &o->logMaxBytes, e);
     }},
    {"foreground", nullptr, "stay in the foreground (default: detach)", BOOL_SETTING(foreground)},
    {"code_page", "NAME", "code page of the secret (UTF-8)", STRING_SETTING(codePage)},
    {"max_sessions", "N", "most sessions at once (64)", UINT_SETTING(agent.maxSessions, 1, 65535)},
    {"idle_timeout_ms", "MS", "close sessions that send no whole message for MS (0: never)",
     UINT_SETTING(agent.idleTimeoutMs, 0, kU32Max)},
    {"login_timeout_ms", "MS", "close sessions not logged in after MS (5000; 0: never)",
     UINT_SETTING(agent.loginTimeoutMs, 0, kU32Max)},
    {"max_pending_sessions", "N", "most sessions not logged in at once (32)",
     UINT_SETTING(agent.maxPendingSessions, 1, 65535)},
    {"max_pending_per_address", "N", "most sessions not logged in from one address (16)",
     UINT_SETTING(agent.maxPendingPerAddress, 1, 65535)},
    {"send_timeout_ms", "MS", "end a session whose peer takes nothing for MS (10000; 0: never)",
     UINT_SETTING(agent.sendTimeoutMs, 0, kU32Max)},
    {"proxy", nullptr, "allow proxy hops (on)", BOOL_SETTING(agent.allowProxy)},
    {"proxy_allow", "NETS", "proxy targets allowed, ADDR[/BITS],... (127.0.0.0/8)",
     [](std::string_view v, AgentdOptions *o, std::string *e) {
       return ParseNetworkList(v, &o->agent.proxyAllowed, e);
     }},
    {"proxy_ports", "PORTS", "ports proxy targets may listen on, PORT,... or any (4700)",
     ParsePortList},
    {"proxy_connect_timeout_ms", "MS", "time for a proxy connect (10000)",
     UINT_SETTING(agent.proxyConnectTimeoutMs, 1, kU32Max)},
    {"parameter", "NAME:VALUE", "serve parameter NAME with VALUE (repeatable)", ParseParameter},
    {"list", "NAME:LINE", "add LINE to list NAME (repeatable)", ParseList},
    {"action", "NAME:/PATH [ARG...]", "let peers run /PATH ARG... as action NAME (repeatable)",
     ParseAction},
    {"action_timeout_ms", "MS", "kill an action still running after MS (10000)",
     UINT_SETTING(agent.actionTimeoutMs, 1, kU32Max)},
    {"service_check_allow", "NETS", "addresses service checks may connect to (none)",
     [](std::string_view v, AgentdOptions *o, std::string *e) {
       return ParseNetworkList(v, &o->agent.serviceCheckAllowed, e);
     }},
    {"service_check_timeout_ms", "MS",
     "time for a service check's connect, and for its response (5000)",
     UINT_SETTING(agent.serviceCheckTimeoutMs, 1, kU32Max)},
    {"snmp_allow", "NETS", "devices SNMP requests may go to (none)",
     [](std::string_view v, AgentdOptions *o, std::string *e) {
       return ParseNetworkList(v, &o->agent.snmpAllowed, e);
     }},
    {"snmp_timeout_ms", "MS", "wait for a device's SNMP answer (5000)",
     UINT_SETTING(agent.snmpTimeoutMs, 1, kU32Max)},
    {"traps_only_when_enabled", nullptr, "send traps only to sessions that asked for them (on)",
     BOOL_SETTING(agent.trapsOnlyWhenEnabled)},
    {"trap_interval_ms", "MS", "send a trap every MS (0: never)",
     UINT_SETTING(trapIntervalMs, 0, kU32Max)},
    {"never_answer_key_request", nullptr, "test: ignore session key requests",
     BOOL_SETTING(agent.neverAnswerKeyRequest)},
    {"reply_delay_ms", "MS", "test: answer every request MS late (0)",
     UINT_SETTING(agent.replyDelayMs, 0, kU32Max)},
    {"close_after_requests", "N", "test: close a session after N answers (0: never)",
     UINT_SETTING(agent.closeAfterRequests, 0, kU32Max)},
    {"report_version", "N", "test: protocol version to report (2; 0 as an old agent, <0 no answer)",
     [](std::string_view v, AgentdOptions *o, std::string *e) {
       return ParseInteger<int32_t>(v, std::numeric_limits<int32_t>::min(),
                                    std::numeric_limits<int32_t>::max(), &o->agent.reportVersion,
                                    e);
     }},
    {"send_oversized_message", nullptr,
     "test: send an oversized message before answering the test trigger",
     BOOL_SETTING(agent.sendOversizedMessage)},
    {"send_wrong_size_message", nullptr,
     "test: send a wrongly sized message before answering the test trigger",
     BOOL_SETTING(agent.sendWrongSizeMessage)},
    {"send_undecryptable_message", nullptr,
     "test: send an undecryptable message before answering the test trigger",
     BOOL_SETTING(agent.sendUndecryptableMessage)},
    {"oversized_message_size", "BYTES", "test: size of the oversized message (262152)",
     UINT_SETTING(agent.oversizedMessageSize, KMCP_HEADER_SIZE, KMCP_MAX_MESSAGE_SIZE)},
};

const Setting *FindSetting(std::string_view key) {
  return kmpeer::FindOption(std::span<const Setting>(kSettings), key);
}

bool TakesValue(std::string_view key) {
  const Setting *s = FindSetting(key);
  return key == "config" || (s != nullptr && !s->isSwitch());
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
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + KmErrorText(errno);
    return false;
  }
  // Read into one buffer that is wiped once parsed: the text may hold the
  // secret, and nothing of it should stay in freed memory.
  std::string text(kMaxConfigFileSize + 1, '\0');
  size_t have = 0;
  ssize_t n = 0;
  while (have < text.size() && (n = KmRetryInterrupted([&] {
                                  return ::read(fd, text.data() + have, text.size() - have);
                                })) > 0)
    have += static_cast<size_t>(n);
  const int readError = errno;
  ::close(fd);
  bool ok = false;
  if (n < 0) {
    *error = "cannot read " + path + ": " + KmErrorText(readError);
  } else if (have > kMaxConfigFileSize) {
    *error = path + ": larger than " + std::to_string(kMaxConfigFileSize) + " bytes";
  } else {
    const bool hadSecret = !options->agent.secret.empty();
    ok = ParseAgentdConfigText(std::string_view(text.data(), have), path, options, error);
    options->configFile = path;
    options->configHoldsSecret = !hadSecret && !options->agent.secret.empty();
  }
  OPENSSL_cleanse(text.data(), text.size());
  return ok;
}

bool ParseAgentdCommandLine(int argc, const char *const *argv, AgentdOptions *options,
                            std::string *error) {
  std::vector<kmpeer::Argument> args;
  if (!kmpeer::SplitArguments(argc, argv, TakesValue, &args, &options->help, error)) return false;
  if (options->help) return true;
  // The file first, wherever --config stands: the command line overrides it.
  for (const kmpeer::Argument &arg : args)
    if (arg.key == "config" && !LoadAgentdConfigFile(arg.value, options, error)) return false;
  for (kmpeer::Argument arg : args) {
    if (arg.key == "config") continue;
    if (arg.key == "no_proxy" && !arg.hasValue) arg = {"proxy", "false", true};
    if (!kmpeer::ApplyArgument(std::span<const Setting>(kSettings), arg, true, options, error))
      return false;
  }
  return true;
}

std::string AgentdUsage() {
  std::ostringstream out;
  out << "usage: kmagentd [OPTIONS]\n"
         "The reference monitoring agent: answers agent sessions on a TCP port.\n\n"
         "  --config FILE                  read settings (key = value) from FILE first\n";
  out << kmpeer::OptionLines(std::span<const Setting>(kSettings));
  out << "  --no-proxy                     refuse proxy hops\n"
         "  -h, --help                     show this text\n\n"
         "Switches also take =true or =false. SIGHUP reloads the TLS files; SIGTERM or\n"
         "SIGINT stops the agent.\n";
  return out.str();
}

}  // namespace kmagent
