#include "iscd_options.h"

#include <span>
#include <string_view>

#include "options.h"
#include "tls_files.h"

namespace kmisc {
namespace {

using Option = kmpeer::Option<IscdOptions>;
using kmpeer::ParseInteger;

kmpeer::TlsFiles *TlsOf(IscdOptions *o) { return &o->server.tls; }
using Tls = kmpeer::TlsOptions<IscdOptions, &TlsOf>;

bool Set(bool *flag) {
  *flag = true;
  return true;
}

const Option kOptions[] = {
    {"listen", "ADDR:PORT", "listen there (default 127.0.0.1:4702; port 0 picks one)",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       return kmpeer::ParseListen(v, &o->server.listenAddress, &o->server.listenPort, e);
     }},
    {"foreground", nullptr, "stay attached; log to standard error",
     [](std::string_view, IscdOptions *o, std::string *) { return Set(&o->foreground); }},
    {"pidfile", "FILE", "write the process id to FILE (removed at exit)",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       if (v.empty()) *e = "needs a file name";
       o->pidFile = std::string(v);
       return !v.empty();
     }},
    {"service", "ID", "offer the echo service ID (may repeat)",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       uint32_t id = 0;
       if (!ParseInteger<uint32_t>(v, 0, UINT32_MAX, &id, e)) return false;
       o->server.echoServices.push_back(id);
       return true;
     }},
    {"disabled_service", "ID",
     "answer 3 (\"Service disabled\") for ID (may repeat); any other service id is answered 1 "
     "(\"Unknown service\")",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       uint32_t id = 0;
       if (!ParseInteger<uint32_t>(v, 0, UINT32_MAX, &id, e)) return false;
       o->server.disabledServices.push_back(id);
       return true;
     }},
    {"require_encryption", nullptr, "answer 4 to every request until the session is encrypted",
     [](std::string_view, IscdOptions *o, std::string *) {
       return Set(&o->server.requireEncryption);
     }},
    Tls::cert,
    Tls::key,
    Tls::ca,
    Tls::require,
    {"report_version", "N",
     "report KMCP version N (0: answer as a peer without version detection, taken for version 1)",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       return ParseInteger<int32_t>(v, 0, INT32_MAX, &o->server.reportVersion, e);
     }},
    {"never_answer", nullptr, "answer version detection only",
     [](std::string_view, IscdOptions *o, std::string *) { return Set(&o->server.neverAnswer); }},
    {"close_after", "N", "close each session after its Nth answer",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       return ParseInteger<uint32_t>(v, 0, UINT32_MAX, &o->server.closeAfterAnswers, e);
     }},
    {"max_sessions", "N", "refuse connections beyond N open sessions (default 64)",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       return ParseInteger<uint32_t>(v, 1, 4096, &o->server.maxSessions, e);
     }},
    {"idle_timeout", "MS",
     "close a session that sends no whole message for MS ms (default 0: never)",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       return ParseInteger<uint32_t>(v, 0, UINT32_MAX - 1, &o->server.idleTimeoutMs, e);
     }},
    {"login_timeout", "MS",
     "close a session with no request served after MS ms (default 5000; 0: never)",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       return ParseInteger<uint32_t>(v, 0, UINT32_MAX - 1, &o->server.loginTimeoutMs, e);
     }},
    {"max_pending", "N", "turn connections away while N sessions have no request served (32)",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       return ParseInteger<uint32_t>(v, 1, 4096, &o->server.maxPendingSessions, e);
     }},
    {"max_pending_per_address", "N", "the same for N such sessions from one address (16)",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       return ParseInteger<uint32_t>(v, 1, 4096, &o->server.maxPendingPerAddress, e);
     }},
    {"send_timeout", "MS", "end a session whose peer takes nothing for MS ms (default 10000)",
     [](std::string_view v, IscdOptions *o, std::string *e) {
       return ParseInteger<uint32_t>(v, 0, UINT32_MAX - 1, &o->server.sendTimeoutMs, e);
     }},
};

bool TakesValue(std::string_view key) {
  const Option *o = kmpeer::FindOption(std::span<const Option>(kOptions), key);
  return o != nullptr && !o->isSwitch();
}

}  // namespace

IscdOptions::IscdOptions() { server.keepRecords = false; }

bool ParseIscdCommandLine(int argc, const char *const *argv, IscdOptions *options,
                          std::string *error) {
  std::vector<kmpeer::Argument> args;
  if (!kmpeer::SplitArguments(argc, argv, TakesValue, &args, &options->help, error)) return false;
  for (const kmpeer::Argument &arg : args) {
    if (options->help) break;
    if (!kmpeer::ApplyArgument(std::span<const Option>(kOptions), arg, false, options, error))
      return false;
  }
  return true;
}

std::string IscdUsage() {
  return "Usage: kmiscd [options]\n"
         "The reference ISC peer: answers version detection, key exchange, MC_KEEPALIVE\n"
         "and service requests; an echo service answers every further message.\n"
         "\n" +
         kmpeer::OptionLines(std::span<const Option>(kOptions)) +
         kmpeer::UsageLine("help", nullptr, "this text") +
         "\n"
         "Prints \"listening on ADDR:PORT\" once it accepts connections; SIGHUP reloads\n"
         "the TLS files; SIGTERM or SIGINT stops it. Exit status: 0 after a clean stop, 1 when it "
         "cannot start,\n"
         "2 for a usage error.\n";
}

}  // namespace kmisc
