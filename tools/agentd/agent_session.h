// One agent session: the connection of one server (or one hop client) to the
// agent, on the shared peer session (tools/common/peer_session.h), which
// runs its thread, receive loop, key exchange and send path. This class adds
// what the agent protocol means: the request gate (encryption, login), the
// requests, the proxy hop (after which the session relays bytes until either
// side closes), the file area, management and the test switches.
//
// Locks: those of PeerSession; stateLock_ also guards the proxy target.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "agent_server.h"
#include "kmbase/net.h"
#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"
#include "peer_session.h"
#include "server_shared.h"

class CSCPMessage;
class KMCPEncryptionContext;

namespace kmagent::detail {

// The last component of a client's file name field (after '/' or '\'), in
// UTF-8; empty when the field is missing or nothing usable is left: an
// empty name, one starting with '.' (".", "..", the area's own files) or
// one holding a control character. So a name of the file area never leaves
// the area, never names its own files and never breaks a line it is
// written on.
std::string AreaName(const CSCPMessage &request, uint32_t field);
// Opens path for reading without following a link at its end; -1 unless it
// is a regular file (*st then describes it).
int OpenAreaFile(const std::string &path, struct stat *st);
// The regular files of the area (links not followed) and their bytes.
bool AreaUsage(const std::string &dir, uint64_t *bytes, uint64_t *files);

class Session final : public kmpeer::PeerSession {
 public:
  // Takes ownership of sock (a connected TCP socket). peerAddress is in host
  // byte order.
  Session(ServerShared &shared, SOCKET sock, uint64_t number, uint32_t peerAddress,
          uint16_t peerPort);
  ~Session() override;

  // Any thread: writes one bad message of `kind` when the session takes
  // unsolicited messages (AgentServer::sendTrap says when).
  bool sendBad(BadMessage kind);

 private:
  using Handler = uint32_t (Session::*)(const CSCPMessage &request, CSCPMessage *reply);
  struct Route {
    uint16_t code;
    Handler handler;
  };
  static const Route kRoutes[];

  // ---- PeerSession ----
  Next handle(CSCPMessage &request, bool encrypted) override;
  Next handleRaw(const uint8_t *bytes, uint32_t length, bool encrypted) override;
  Next handleMalformed(uint16_t code, uint32_t id, KmcpDecodeStatus status) override;
  Next handleTooLarge(const uint8_t *header) override;
  void handOver() override;
  void sessionEnding() override;
  void handshakeFailed() override;
  void stopRequested() override KM_REQUIRES(stateLock_);
  bool takesUnsolicited(bool isTrap) const override KM_REQUIRES(stateLock_);

  Next handleKeyRequest(const CSCPMessage &request);
  Next handleLogin(const CSCPMessage &request, bool encrypted);
  // A failed login: counted, throttled, answered; the session ends after
  // too many.
  Next refuseLogin(uint32_t id, uint32_t rcc, uint16_t method);
  Next handleProxy(const CSCPMessage &request, bool encrypted);
  Next handleTestTrigger(const CSCPMessage &request, bool encrypted);
  Next handleRequest(const CSCPMessage &request, bool encrypted);

  // Request handlers of the route table: fill the reply's fields, return its
  // RCC.
  uint32_t onKeepalive(const CSCPMessage &request, CSCPMessage *reply);
  // The host's data and services (requests.cpp).
  uint32_t onGetParameter(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onGetList(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onGetTable(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onGetParameterList(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onEnableTraps(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onExecAction(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onCheckService(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onSnmpRequest(const CSCPMessage &request, CSCPMessage *reply);

  // 0 when a request of this code may be served now, else the RCC to answer.
  uint32_t gate(uint16_t code, bool encrypted) const;
  // gate(), and a request it lets through admits the session (but a login
  // only once it succeeds).
  uint32_t admitted(uint16_t code, bool encrypted);
  bool testTriggerEnabled() const;

  uint32_t connectTarget(uint32_t address, uint16_t port, SOCKET *target);
  // The proxy rules beyond the target networks.
  bool proxyPortAllowed(uint16_t port) const;
  // Whether address:port (host order) is this agent's own listener, which a
  // hop must not reach: nested hops would take every session.
  bool isOwnListener(uint32_t address, uint16_t port) const;
  bool sendBadLocked(BadMessage kind) KM_REQUIRES(sendLock_);

  ServerShared &shared_;
  // The peer sent MC_ENABLE_TRAPS. Guarded by stateLock_; written by the
  // session thread, read by senders under sendLock_.
  bool trapsEnabled_ KM_GUARDED_BY(stateLock_) = false;
  // The proxy hop's socket while it is connected or connecting. Guarded by
  // stateLock_ so that requestStop can shut it down; owned and closed by the
  // session thread.
  SOCKET target_ KM_GUARDED_BY(stateLock_) = INVALID_SOCKET;

  // ---- file area (file_area.cpp) ----
  uint32_t onTransferFile(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onDownloadFile(const CSCPMessage &request, CSCPMessage *reply);
  // A raw MC_FILE_DATA chunk of the open upload (others are dropped).
  Next handleFileData(const uint8_t *bytes, uint32_t length);
  // Closes and removes the open upload's temporary file.
  void abortUpload();
  // The upload being received: a temporary file in the area, renamed to
  // uploadTarget_ at its last chunk. Session thread only.
  int uploadFd_ = -1;
  uint32_t uploadId_ = 0;
  uint64_t uploadSize_ = 0;
  uint64_t uploadLimit_ = 0;  // bytes it may grow to: upload limit and quota
  std::string uploadTemp_;
  std::string uploadTarget_;
  // ---- end of file area ----

  // ---- management (management.cpp) ----
  uint32_t onUpgradeAgent(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onGetAgentConfig(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onUpdateAgentConfig(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onGetPolicyInventory(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onUninstallPolicy(const CSCPMessage &request, CSCPMessage *reply);

  // Session thread only.
  bool authenticated_ = false;
  uint32_t loginFailures_ = 0;
};

}  // namespace kmagent::detail
