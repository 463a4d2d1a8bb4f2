// Opening an agent session from kmquery's connection options: the options
// themselves (registered on a CLI11 command), the AgentConnection subclass
// kmquery uses, and ConnectAgent, which turns the options into a connected
// session or a reported failure.
//
// The connection's receiver thread calls PrintMsg, the trap hooks and the
// download progress; everything else runs on kmquery's main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "cli_support.h"
#include "kmsrv/agent.h"
#include "tls_options.h"

namespace CLI {
class App;
}

namespace kmquery {

inline constexpr uint16_t kDefaultAgentPort = 4700;

struct AgentOptions {
  std::string host;
  uint16_t port = kDefaultAgentPort;
  Secret secret;
  // -1: not given (SHA-1 when a secret is given, none otherwise).
  int32_t auth = -1;
  // -1: not given (the library default, encryption on demand).
  int32_t encryption = -1;
  std::string keyFile;
  bool generateKey = false;
  std::string proxy;  // HOST[:PORT], empty: direct
  int32_t proxyAuth = -1;  // -1: as auth
  Secret proxySecret;
  bool proxySecretGiven = false;
  uint32_t timeoutMs = 10000;
  int32_t debugLevel = 0;
  // Most bytes a download may write.
  uint64_t downloadLimit = AgentConnection::kDefaultDownloadLimit;
  // TLS with the agent, or with the proxy when there is one.
  TlsOptions tls;
};

// Registers -p -s -a -e -K --generate-key -X --proxy-auth --proxy-secret -w
// and the --tls-* options on `command`, writing into `options`. With
// ownPortAndTimeout false, -p and -w are left out (for a command whose -p and
// -w mean something else). With agentPrefix, -a, -e and -X become
// --agent-auth, --agent-encryption and --agent-proxy (for `snmp`, whose -a,
// -e and -X are SNMPv3's).
void AddAgentConnectionOptions(CLI::App *command, AgentOptions *options,
                               bool ownPortAndTimeout = true, bool agentPrefix = false);

class CliAgentConnection : public AgentConnection {
 public:
  CliAgentConnection(uint32_t addressNetworkOrder, uint16_t port, int32_t authMethod,
                     const char16_t *secret, bool verbose);
  ~CliAgentConnection() override;

  // Called on the receiver thread for every trap (push false) and every
  // pushed data message (push true) while set; an empty handler drops them.
  using TrapHandler = std::function<void(const CSCPMessage &msg, bool push)>;
  void setTrapHandler(TrapHandler handler);

  // The server key for the key exchange; the session keeps it alive.
  void setServerKey(RsaKey key) { serverKey_ = std::move(key); }
  RSA *serverKey() const { return serverKey_.get(); }

  // The session's TLS protocol and cipher ("TLSv1.3 TLS_AES_256_GCM_SHA384"),
  // empty when it does not run over TLS.
  std::string tlsDescription() const;

 protected:
  // Session diagnostics go to standard error, and only with -D 1 or more:
  // kmquery reports failures itself, and standard output carries results.
  void PrintMsg(const char16_t *format, ...) override;
  void onTrap(CSCPMessage *msg) override;
  void onDataPush(CSCPMessage *msg) override;

 private:
  const bool verbose_;
  RsaKey serverKey_;
  std::mutex trapLock_;
  TrapHandler trapHandler_;  // guarded by trapLock_: main thread sets, receiver calls
};

// What "connecting to agent ..." names in messages: "HOST:PORT", plus
// " through proxy HOST:PORT".
std::string AgentLabel(const AgentOptions &options);

// How the session is protected, for result lines (ProtectionText).
std::string AgentProtection(CliAgentConnection &conn, const AgentOptions &options);

// Connects as the options say. On failure reports through `out` and returns
// null with the exit status in *status.
std::unique_ptr<CliAgentConnection> ConnectAgent(const AgentOptions &options, const Output &out,
                                                 int *status);

}  // namespace kmquery
