// kmquery: one command line over libkmsrv, for trying out and scripting
// against monitoring agents, SNMP devices and ISC peers. Commands, options
// and exit statuses: docs/cli.md.
#include <csignal>
#include <cstdio>
#include <exception>

#include <CLI/CLI.hpp>

#include "agent_commands.h"
#include "cli_support.h"
#include "isc_commands.h"
#include "kmsrv/debug.h"
#include "snmp_commands.h"

#ifndef KMQUERY_VERSION
#define KMQUERY_VERSION "unknown"
#endif

int main(int argc, char **argv) {
  using namespace kmquery;
  std::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"Query monitoring agents, SNMP devices and ISC peers with libkmsrv.", "kmquery"};
  app.require_subcommand(1);
  app.failure_message([](const CLI::App *, const CLI::Error &e) {
    return "kmquery: " + std::string(e.what()) + "\n(kmquery --help lists the commands)\n";
  });
  bool json = false;
  int32_t debugLevel = 0;
  app.add_flag("--json", json, "Print results as one JSON document");
  app.add_option("-D,--debug", debugLevel, "Library debug output level, 0 (none) to 9")
      ->check(CLI::Range(0, 9))
      ->option_text("LEVEL");
  app.set_version_flag("--version", "kmquery " KMQUERY_VERSION);

  AgentCommand agent(app);
  SnmpCommand snmp(app);
  IscCommand isc(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    // Help and --version end with 0; every real parse error is a usage error.
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }

  g_nDebugLevel = debugLevel;
  const Output out(json);
  try {
    if (agent.selected()) return agent.run(out, debugLevel);
    if (snmp.selected()) return snmp.run(out, debugLevel);
    if (isc.selected()) return isc.run(out, debugLevel);
  } catch (const std::exception &e) {
    return out.fail(kExitPeer, std::string("unexpected failure: ") + e.what());
  }
  return out.fail(kExitUsage, "no command given");
}
