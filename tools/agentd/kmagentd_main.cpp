// kmagentd: the reference monitoring agent. Parses its settings and runs an
// AgentServer as a daemon (tools/common/daemon.h) until SIGTERM or SIGINT;
// SIGHUP reloads the TLS files.
// Usage and settings: docs/agentd.md.
//
// Exit status: 0 after a clean stop (or --help), 1 when the agent cannot
// start, 2 for a usage or configuration error.
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "agent_server.h"
#include "agentd_options.h"
#include "daemon.h"
#include "kmbase/fd_io.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "tls_files.h"

namespace {

int UsageError(const std::string &text) {
  const std::string line = "kmagentd: " + text + "\n";
  KmWriteAll(STDERR_FILENO, line.data(), line.size());
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  kmagent::AgentdOptions options;
  std::string error;
  if (!kmagent::ParseAgentdCommandLine(argc, argv, &options, &error))
    return UsageError(error + "\n(kmagentd --help lists the options)");
  if (options.help) {
    const std::string usage = kmagent::AgentdUsage();
    KmWriteAll(STDOUT_FILENO, usage.data(), usage.size());
    return 0;
  }
  if (std::string why; !kmpeer::CheckTlsFiles(options.agent.tls, &why)) return UsageError(why);
  if (!options.codePage.empty() && !KmSetCodePage(options.codePage.c_str()))
    return UsageError("unknown code page \"" + options.codePage + "\"");
  kmpeer::DaemonLog log;
  if (!options.logFile.empty()) {
    if (!log.openFile(options.logFile, options.logMaxBytes))
      return UsageError("cannot open log " + options.logFile + ": " + KmErrorText(errno));
  } else if (options.foreground) {
    log.toStandardError();
  }
  // A detached agent works in "/": every path it uses later is made
  // absolute while the caller's directory is still known.
  kmpeer::DaemonSpec spec{"kmagentd", "the agent", options.foreground,
                          kmpeer::AbsolutePath(options.pidFile)};
  options.agent.filesDir = kmpeer::AbsolutePath(options.agent.filesDir);
  options.agent.servedConfig = kmpeer::AbsolutePath(options.agent.servedConfig);
  options.agent.policiesDir = kmpeer::AbsolutePath(options.agent.policiesDir);
  kmpeer::MakeTlsPathsAbsolute(&options.agent.tls);
  options.agent.log = log.sink();
  kmpeer::WarnOpenListener(spec, log, options.agent.listenAddress, !options.agent.secret.empty());
  struct stat configSt;
  if (options.configHoldsSecret && ::stat(options.configFile.c_str(), &configSt) == 0 &&
      (configSt.st_mode & S_IROTH) != 0)
    kmpeer::Warn(
        spec, log,
        options.configFile + " holds the secret and every user may read it (chmod o-r it)");
  kmagent::AgentServer server(options.agent);
  // The server keeps its own copy.
  if (!options.agent.secret.empty())
    OPENSSL_cleanse(options.agent.secret.data(), options.agent.secret.size());

  // The trap of --trap-interval: id 0, VAR_VALUE "kmagentd periodic trap N".
  // The tick runs on the daemon's tick thread, which alone touches trapsSent.
  uint64_t trapsSent = 0;
  spec.tickMs = options.trapIntervalMs;
  spec.tick = [&] {
    CSCPMessage trap;
    trap.SetId(0);
    const std::string text = "kmagentd periodic trap " + std::to_string(++trapsSent);
    trap.SetVariable(VAR_VALUE, KmUtf8ToWide(text).c_str());
    const size_t sessions = server.sendTrap(trap);
    log.line(kmpeer::LogLevel::Debug, "periodic trap " + std::to_string(trapsSent) + " sent to " +
                                          std::to_string(sessions) + " session(s)");
  };
  return kmpeer::RunServerDaemon(spec, log, server, options.agent.listenAddress,
                                 options.agent.tls.configured());
}
