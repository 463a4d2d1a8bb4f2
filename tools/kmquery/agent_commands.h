// `kmquery agent HOST [options] COMMAND ...`: the commands that talk to a
// monitoring agent over an AgentConnection.
//
// Main thread only, except the trap printer of `traps`, which runs on the
// session's receiver thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "agent_session.h"

namespace CLI {
class App;
}

namespace kmquery {

class JsonWriter;

class AgentCommand {
 public:
  // Registers "agent" and its commands on root.
  explicit AgentCommand(CLI::App &root);
  AgentCommand(const AgentCommand &) = delete;
  AgentCommand &operator=(const AgentCommand &) = delete;

  // Whether the command line chose "agent".
  bool selected() const;
  // Connects, runs the chosen command and returns the exit status.
  int run(const Output &out, int32_t debugLevel);

 private:
  using Action = std::function<int(CliAgentConnection &, const Output &)>;
  // Adds a command whose work is `action`, run on a connected session.
  CLI::App *addCommand(const std::string &name, const std::string &help, Action action);
  // The same on `parent` (a command that groups others, like "config").
  CLI::App *addCommand(CLI::App *parent, const std::string &name, const std::string &help,
                       Action action);
  // Reports a failed request "<what> on agent ...: error N (text)".
  int failRequest(const Output &out, const std::string &what, uint32_t rcc) const;
  // Prints one result: with --json the object {"agent": HOST, ...} whose
  // other members json writes, else what text gives. Returns kExitOk.
  int report(const Output &out, const std::function<void(JsonWriter &)> &json,
             const std::function<std::string()> &text) const;

  int nop(CliAgentConnection &conn, const Output &out);
  int get(CliAgentConnection &conn, const Output &out);
  int list(CliAgentConnection &conn, const Output &out);
  int table(CliAgentConnection &conn, const Output &out);
  int action(CliAgentConnection &conn, const Output &out);
  int checkService(CliAgentConnection &conn, const Output &out);
  int params(CliAgentConnection &conn, const Output &out);
  int interfaces(CliAgentConnection &conn, const Output &out);
  int arp(CliAgentConnection &conn, const Output &out);
  int routes(CliAgentConnection &conn, const Output &out);
  int upload(CliAgentConnection &conn, const Output &out);
  int download(CliAgentConnection &conn, const Output &out);
  int traps(CliAgentConnection &conn, const Output &out);
  int configGet(CliAgentConnection &conn, const Output &out);
  int configSet(CliAgentConnection &conn, const Output &out);
  int upgrade(CliAgentConnection &conn, const Output &out);
  int policies(CliAgentConnection &conn, const Output &out);
  int uninstallPolicy(CliAgentConnection &conn, const Output &out);

  CLI::App *command_ = nullptr;
  AgentOptions options_;
  Action action_;

  // Arguments of the commands (each command reads its own).
  std::vector<std::string> names_;  // get
  std::string name_;                // list, table, action
  std::vector<std::string> args_;   // action
  std::string serviceAddress_;      // check-service
  int32_t serviceType_ = 0;
  uint16_t servicePort_ = 0;
  uint16_t serviceProtocol_ = 0;
  std::string serviceRequest_;
  std::string serviceResponse_;
  bool sortRoutes_ = false;    // routes
  std::string localFile_;      // upload, download
  std::string remoteFile_;     // upload (destination), download (source)
  bool append_ = false;        // download
  uint32_t trapCount_ = 0;     // traps: 0 = until interrupted
  uint32_t trapDurationMs_ = 0;
  std::string configFile_;     // config get (output, empty: standard output), config set
  std::string package_;        // upgrade
  std::string guid_;           // uninstall-policy
};

}  // namespace kmquery
