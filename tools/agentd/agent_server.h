// kmagent::AgentServer: the agent side of KMCP agent sessions, as the
// reference monitoring agent (kmagentd) runs it and as tests embed it in
// their own process.
//
// It listens on one IPv4 TCP address and runs every accepted connection as a
// session on a thread of its own: it answers protocol version detection and
// session key requests, checks logins against the configured shared secret,
// answers keepalives, opens proxy hops to other agents and then relays bytes,
// serves the host's parameters, lists and tables, runs configured actions,
// checks network services, forwards SNMP requests to devices, keeps a file
// area, serves and replaces a configuration file, lists and removes policies,
// records upgrade requests, and answers
// every request it does not know with RCC_UNKNOWN_COMMAND (400).
// The wire rules it follows are in docs/protocol.md, section "Reference
// agent"; the program around it is described in docs/agentd.md.
//
// Threads: every public member of AgentServer may be called from any thread,
// also while sessions run. stop() (and the destructor) must not be called
// from a thread that the server runs (the `log` callback). The `log`
// callback is called from the listener and session threads, possibly from
// several at once.
//
// Resources: one thread per session (at most maxSessions of them); each
// session holds about 600 KiB of buffers (two of kMaxRequestSize plus one
// receive buffer) and, while it relays a proxy hop, 128 KiB more. Everything a
// peer sends is checked before use; a peer can make a session skip a message,
// end, or wait, never grow beyond these bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kmbase/kmcp.h"
#include "records.h"
#include "server_core.h"
#include "tls_files.h"

class CSCPMessage;

namespace kmagent {

// Largest message a session reads (before encryption overhead): enough for
// every request of the protocol, including a file chunk of 64 KiB and a
// configuration file of some 200 KiB; the same limit the server side uses
// for what it receives. A larger request is answered RCC_OUT_OF_RESOURCES
// (503) and skipped.
inline constexpr uint32_t kMaxRequestSize = KMCP_SESSION_MESSAGE_LIMIT;

// Request code of the test trigger. Not part of the agent protocol: a session
// answers it only when at least one of the sendXxxMessage switches of its
// AgentConfig is on, and as an unknown request (400) otherwise. See
// docs/protocol.md, "Reference agent".
inline constexpr uint16_t MC_AGENT_TEST_TRIGGER = 0x7E01;

// Broken messages the agent can send on purpose, to test a peer's receiver.
enum class BadMessage {
  // A well-framed raw message of AgentConfig::oversizedMessageSize bytes
  // (default kMaxRequestSize + 8), above what a receiver with a 256 KiB
  // limit takes.
  Oversized,
  // Encrypted session: an envelope whose decrypted message is 8 bytes
  // shorter than its own header's size field says. Clear session: a message
  // whose header size counts 8 bytes beyond its last field, which the framing
  // delivers and the field codec rejects.
  WrongSize,
  // An encrypted envelope that does not authenticate (one ciphertext byte
  // changed; random bytes when the session has no key).
  Undecryptable,
};

// An IPv4 network, address and mask in host byte order.
struct Ipv4Network {
  uint32_t address;
  uint32_t mask;
};

using kmpeer::LogLevel;

// A parameter whose value comes from the configuration (MC_GET_PARAMETER).
struct ConfiguredParameter {
  std::string name;
  std::string value;  // in the process code page
};

// A list whose lines come from the configuration (MC_GET_LIST).
struct ConfiguredList {
  std::string name;
  std::vector<std::string> lines;
};

// An action a peer may run (MC_EXEC_ACTION): argv[0] is the program's
// absolute path, the rest its fixed arguments; the request's arguments are
// appended. No shell is involved.
struct ConfiguredAction {
  std::string name;
  std::vector<std::string> argv;
};

struct AgentConfig {
  // Where to listen: dotted IPv4 address and port (0: the system picks one;
  // AgentServer::port() tells which).
  std::string listenAddress = "127.0.0.1";
  uint16_t listenPort = 0;

  // Shared secret in the process code page (kmbase/text.h), at most 63 bytes.
  // Empty: no login is needed and every login is accepted. Otherwise every
  // request but version detection, the key request and MC_LOGIN is answered
  // RCC_AUTH_REQUIRED (401) until a login carries this secret.
  std::string secret;
  // Failed logins: each is answered after a delay that grows with the
  // failures of the session and of its address (none for the first, then
  // loginFailureDelayMs doubling up to 16 times that; 0: no delay), and the
  // session ends after its maxLoginFailures-th (0: never). Only one log line
  // a second tells of them.
  uint32_t loginFailureDelayMs = 250;
  uint32_t maxLoginFailures = 3;
  // Answer RCC_ENCRYPTION_REQUIRED (906) to every request but version
  // detection and the key request until the session is encrypted, and to
  // every request that then arrives unencrypted.
  bool requireEncryption = false;
  // TLS on the same port (docs/agentd.md, "TLS"): with a certificate, a
  // session that starts with a TLS handshake runs inside TLS, which
  // satisfies requireEncryption; a legacy session is served too unless
  // tls.require. start() fails when a file cannot be read or used.
  kmpeer::TlsFiles tls;

  // Connections beyond this many open sessions are turned away: the client
  // reads RCC_AGENT_BUSY (919) where it expects its version answer.
  uint32_t maxSessions = 64;
  // A session that receives no whole message for this long is closed (0:
  // never). Also bounds the silence of both ends of a proxy hop.
  uint32_t idleTimeoutMs = 0;
  // A session is pending until it logs in (with a secret) or has a request
  // past the gate served (without one). A pending session is closed after
  // loginTimeoutMs (0: never); while maxPendingSessions pending sessions are
  // open, or maxPendingPerAddress from one address, further connections
  // from there are turned away as above (kmpeer::SessionSettings).
  uint32_t loginTimeoutMs = 5000;
  uint32_t maxPendingSessions = 32;
  uint32_t maxPendingPerAddress = 16;
  // A peer that takes no part of an answer, trap or file chunk for this long
  // ends its session (0: never).
  uint32_t sendTimeoutMs = 10000;

  // Proxy hops (MC_SETUP_PROXY_CONNECTION): answered RCC_ACCESS_DENIED (403)
  // when off, for a target outside proxyAllowed, on a port not in
  // proxyPorts (empty: any port but 0), or the agent's own listener. By
  // default only other agents' port: a hop is no tunnel to any service.
  bool allowProxy = true;
  std::vector<Ipv4Network> proxyAllowed{{0x7F000000u, 0xFF000000u}};  // 127.0.0.0/8
  std::vector<uint16_t> proxyPorts{4700};
  // Time for the TCP connect to the target; a failure or time-out is
  // answered RCC_CONNECT_FAILED (910).
  uint32_t proxyConnectTimeoutMs = 10000;

  // ---- data and requests of the host (docs/agentd.md, "Requests") ----
  // Served in addition to the built-in parameters and lists; names are
  // matched without regard to ASCII case.
  std::vector<ConfiguredParameter> parameters;
  std::vector<ConfiguredList> lists;
  // The only actions MC_EXEC_ACTION runs. An action that has not ended after
  // actionTimeoutMs is killed (with its process group) and answered
  // RCC_EXEC_FAILED.
  std::vector<ConfiguredAction> actions;
  uint32_t actionTimeoutMs = 10000;
  // MC_CHECK_SERVICE: targets it may connect to (none until configured:
  // answered RCC_ACCESS_DENIED, 403), and the time allowed for the connect
  // and, separately, for the response.
  std::vector<Ipv4Network> serviceCheckAllowed;
  uint32_t serviceCheckTimeoutMs = 5000;
  // MC_SNMP_REQUEST: devices requests may be forwarded to (none until
  // configured: 403), and the wait for the device's answer; no answer is
  // RCC_REQUEST_TIMEOUT (408).
  std::vector<Ipv4Network> snmpAllowed;
  uint32_t snmpTimeoutMs = 5000;
  // Traps (sendTrap) go only to sessions that asked for them with
  // MC_ENABLE_TRAPS. Off: to every ready session (pushed data always goes
  // to every ready session).
  bool trapsOnlyWhenEnabled = false;

  // ---- file area (file_area.cpp) ----
  // Directory MC_TRANSFER_FILE stores into and MC_AGENT_DOWNLOAD_FILE serves
  // from; names are reduced to their last component. Empty: both are
  // answered RCC_ACCESS_DENIED (403).
  std::string filesDir;
  // Uploads growing beyond this many bytes fail (RCC_IO_FAILURE) and are
  // removed: a server cannot fill the disk.
  uint64_t maxUploadSize = uint64_t{1} << 30;
  // The area's quota: an upload is refused (RCC_OUT_OF_RESOURCES) when the
  // area already holds maxAreaFiles regular files or maxAreaBytes bytes
  // (the file it replaces not counted), and fails like an oversized one
  // when it would grow the area beyond maxAreaBytes.
  uint64_t maxAreaBytes = uint64_t{4} << 30;
  uint64_t maxAreaFiles = 1000;
  // MC_UPGRADE_AGENT names a package of this area; the agent checks that it
  // is there and records the request (the area's ".upgrades" file and a log
  // line) without installing anything. 403 without an area.

  // ---- management (management.cpp) ----
  // The configuration file MC_GET_AGENT_CONFIG serves and
  // MC_UPDATE_AGENT_CONFIG replaces (atomically, by a rename in its
  // directory). Empty: both are answered RCC_ACCESS_DENIED (403).
  std::string servedConfig;
  // The policy store MC_GET_POLICY_INVENTORY lists and MC_UNINSTALL_POLICY
  // removes from: a directory of policy files named by GUID (management.h).
  // Empty: both are answered RCC_ACCESS_DENIED (403).
  std::string policiesDir;

  // ---- test switches ----
  // Read key requests and never answer them.
  bool neverAnswerKeyRequest = false;
  // Send each answer this long after its request was read.
  uint32_t replyDelayMs = 0;
  // Close a session right after it has sent its Nth answer (0: never). Every
  // answer counts: version detection, key exchange, login, every reply.
  uint32_t closeAfterRequests = 0;
  // Version reported to version detection: > 0 that version; 0 answer as a
  // peer without version detection (MC_REQUEST_COMPLETED, 400), which the
  // server side takes for version 1; < 0 no answer at all.
  int32_t reportVersion = KMCP_VERSION;
  // Before its answer to MC_AGENT_TEST_TRIGGER, a session sends each bad
  // message whose switch is on, in this order, then the answer (RCC 0).
  bool sendOversizedMessage = false;
  bool sendWrongSizeMessage = false;
  bool sendUndecryptableMessage = false;
  // Size of BadMessage::Oversized, 16 to KMCP_MAX_MESSAGE_SIZE bytes.
  uint32_t oversizedMessageSize = kMaxRequestSize + 8;

  // Keep the records below (the login records hold the secrets peers sent:
  // turn this off outside tests). Each record list keeps its newest 4096
  // entries.
  bool keepRecords = true;
  // Diagnostic lines (session opened/closed, refused logins, bad input).
  // Null: none.
  std::function<void(LogLevel, const std::string &)> log;
};

// What one MC_LOGIN carried and how it was answered.
struct LoginRecord {
  uint64_t session;                  // session number, from 1 in accept order
  uint16_t method;                   // VAR_AUTH_METHOD
  std::u16string secretText;         // VAR_SHARED_SECRET when it is a string
  std::vector<uint8_t> secretBytes;  // VAR_SHARED_SECRET when it is binary
  uint32_t result;                   // the RCC answered
};

// One MC_SETUP_PROXY_CONNECTION and its answer.
struct ProxyHopRecord {
  uint64_t session;
  uint32_t address;  // VAR_IP_ADDRESS, host byte order
  uint16_t port;     // VAR_AGENT_PORT
  uint32_t result;   // the RCC answered
};

// One message that decoded as a request.
using kmpeer::RequestRecord;

class AgentServer {
 public:
  explicit AgentServer(AgentConfig config);
  // stop()s; clears the secret from memory.
  ~AgentServer();
  AgentServer(const AgentServer &) = delete;
  AgentServer &operator=(const AgentServer &) = delete;

  // Checks the configuration, binds, listens and starts accepting. False
  // with a reason in *error (when given) if the configuration is invalid, the
  // address cannot be bound, or start() was called before.
  bool start(std::string *error);
  // The port listened on (host order), 0 before start().
  uint16_t port() const;
  // Reads the TLS files again: sessions that start afterwards use the new
  // certificate, key and CA; those that run keep theirs. A reload that fails
  // keeps the files in force and says why (also in the log).
  bool reloadTls(std::string *error);
  // Stops accepting, shuts every session and proxy hop down and joins every
  // thread. Takes at most about 250 ms plus the longest proxy connect in
  // progress. Idempotent; the server cannot be started again.
  void stop();

  // Sessions whose thread has not ended yet.
  size_t sessionCount() const;
  // True when sessionCount() is `count`, waiting up to timeoutMs for it.
  bool waitForSessionCount(size_t count, uint32_t timeoutMs) const;

  // Copies of the records, oldest first (empty when keepRecords is off).
  std::vector<LoginRecord> logins() const;
  std::vector<ProxyHopRecord> proxyHops() const;
  std::vector<RequestRecord> requests() const;
  void clearRecords();

  // Unsolicited messages to every ready session: one that has answered a
  // request after version detection and key exchange, that is logged in when
  // a secret is set and encrypted when encryption is required, and that does
  // not relay a proxy hop; with trapsOnlyWhenEnabled, traps only to those of
  // them that sent MC_ENABLE_TRAPS. Each is encrypted per session. The code in the
  // wire form is MC_TRAP, MC_DATA_PUSH, or for sendMessage the message's own;
  // code, id and fields otherwise go as they are. Returns the number of
  // sessions it was written to. A session whose peer does not read holds it
  // for at most sendTimeoutMs, and then ends.
  size_t sendTrap(const CSCPMessage &trap);
  size_t pushData(const CSCPMessage &data);
  size_t sendMessage(const CSCPMessage &msg);
  // Sends one bad message of this kind to every ready session.
  size_t sendBadMessage(BadMessage kind);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kmagent
