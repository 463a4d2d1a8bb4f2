// kmiscd: the reference ISC peer. Parses its command line and runs an
// IscServer as a daemon (tools/common/daemon.h) until SIGTERM or SIGINT;
// SIGHUP reloads the TLS files.
//
// Exit status: 0 after a clean stop (or --help), 1 when it cannot start, 2
// for a usage error.
#include <cstdio>
#include <string>

#include "daemon.h"
#include "isc_server.h"
#include "iscd_options.h"
#include "tls_files.h"

int main(int argc, char **argv) {
  kmisc::IscdOptions options;
  std::string error;
  if (!kmisc::ParseIscdCommandLine(argc, argv, &options, &error)) {
    std::fprintf(stderr, "kmiscd: %s\n(kmiscd --help lists the options)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(kmisc::IscdUsage().c_str(), stdout);
    return 0;
  }
  if (!kmpeer::CheckTlsFiles(options.server.tls, &error)) {
    std::fprintf(stderr, "kmiscd: %s\n", error.c_str());
    return 2;
  }
  kmpeer::MakeTlsPathsAbsolute(&options.server.tls);
  kmpeer::DaemonLog log;
  if (options.foreground) log.toStandardError();
  options.server.log = log.sink();
  kmisc::IscServer server(options.server);
  const kmpeer::DaemonSpec spec{"kmiscd", "the daemon", options.foreground,
                                kmpeer::AbsolutePath(options.pidFile)};
  // ISC sessions have no secret: beyond loopback anyone may open one.
  kmpeer::WarnOpenListener(spec, log, options.server.listenAddress, false);
  return kmpeer::RunServerDaemon(spec, log, server, options.server.listenAddress,
                                 options.server.tls.configured());
}
