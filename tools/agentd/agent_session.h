// One agent session: the connection of one server (or one hop client) to the
// agent, run on a thread of its own.
//
// The session thread reads every message, answers it, and ends when the peer
// closes, a receive fails, the idle time runs out, a test switch ends it, or
// the server stops; after a proxy hop it relays bytes until either side
// closes. Other threads may, at the same time, send unsolicited messages
// (sendUnsolicited, sendBad) and ask the session to stop (requestStop). The
// object is shared (std::shared_ptr) between the server's registry and such
// senders; its sockets are closed when the last owner lets go, so a sender
// never writes to a reused descriptor.
//
// Locks: sendLock_ serialises every write to the session's socket (and the
// use of the send context's counter); stateLock_ guards the few members other
// threads read. sendLock_ may be held while taking stateLock_, never the
// other way round.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "agent_server.h"
#include "kmbase/net.h"
#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"
#include "server_shared.h"

class CSCPMessage;
class KMCPEncryptionContext;

namespace kmagent::detail {

// Size of the receive and decryption buffers: the largest request in its
// encrypted envelope.
uint32_t SessionBufferSize();

// The last component of a client's file name field (after '/' or '\'), in
// UTF-8; empty when the field is missing or nothing usable is left ("", "."
// or ".."), so that a name of the file area never leaves the area.
std::string AreaName(const CSCPMessage &request, uint32_t field);

class Session {
 public:
  // Takes ownership of sock (a connected TCP socket). peerAddress is in host
  // byte order.
  Session(ServerShared &shared, SOCKET sock, uint64_t number, uint32_t peerAddress,
          uint16_t peerPort);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  uint64_t number() const { return number_; }

  // The session thread's body; called once. Returns when the session is over
  // (its socket is then shut down, but still open).
  void run();
  // Any thread: shuts the session's sockets down so that run() returns soon.
  void requestStop();
  // Any thread: run() has returned.
  bool ended() const { return ended_.load(std::memory_order_acquire); }

  // Any thread: writes one wire-form message (its header's size is its
  // length), encrypted when the session is. False when the session is not
  // ready for unsolicited messages (AgentServer::sendTrap says when it is) or
  // the write failed.
  // A trap goes only to a session that sent MC_ENABLE_TRAPS when the
  // configuration says so (trapsOnlyWhenEnabled).
  bool sendUnsolicited(std::span<const uint8_t> wire, bool isTrap);
  // Any thread: writes one bad message of `kind`, on the same condition.
  bool sendBad(BadMessage kind);

 private:
  enum class Next { Continue, End, Relay };
  using Handler = uint32_t (Session::*)(const CSCPMessage &request, CSCPMessage *reply);
  struct Route {
    uint16_t code;
    Handler handler;
  };
  static const Route kRoutes[];

  Next handle(const uint8_t *bytes, uint32_t length, bool encrypted);
  Next handleTooLarge(const uint8_t *header);
  Next handleVersion(const CSCPMessage &request);
  Next handleKeyRequest(const CSCPMessage &request);
  Next handleLogin(const CSCPMessage &request, bool encrypted);
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
  bool testTriggerEnabled() const;

  // Answers: wait the reply delay, send, count. End when the send failed, the
  // server stops, or closeAfterRequests is reached.
  Next reply(uint32_t id, uint32_t rcc);
  Next send(const CSCPMessage &msg);
  // send(), and the session is ready for unsolicited messages from then on.
  Next sendReady(const CSCPMessage &msg);
  bool delay();
  Next counted(bool sent);

  uint32_t connectTarget(uint32_t address, uint16_t port, SOCKET *target);
  void relay(SOCKET target);

  void markReady(bool ready);
  KMCPEncryptionContext *acquireSendContext();
  void installContext(KMCPEncryptionContext *ctx) KM_REQUIRES(sendLock_);
  void dropContexts();
  bool sendMessageLocked(const CSCPMessage &msg) KM_REQUIRES(sendLock_);
  bool sendWireLocked(const uint8_t *wire, size_t size) KM_REQUIRES(sendLock_);
  bool sendBadLocked(BadMessage kind) KM_REQUIRES(sendLock_);

  ServerShared &shared_;
  // Set once at construction.
  const SOCKET sock_;  // closed by the destructor
  const uint64_t number_;
  const uint32_t peerAddress_;
  const uint16_t peerPort_;
  const int version_;  // protocol version of the messages the session builds
  std::atomic<bool> ended_{false};

  KmMutex sendLock_;
  KmMutex stateLock_;
  // Reference used to encrypt what the session sends; null while the session
  // is clear. Guarded by stateLock_; set and dropped by the session thread,
  // read (and referenced) by any sender.
  KMCPEncryptionContext *sendCtx_ KM_GUARDED_BY(stateLock_) = nullptr;
  // Unsolicited messages may go out. Guarded by stateLock_; written by the
  // session thread, read by senders under sendLock_.
  bool ready_ KM_GUARDED_BY(stateLock_) = false;
  // The peer sent MC_ENABLE_TRAPS. Guarded by stateLock_; written by the
  // session thread, read by senders under sendLock_.
  bool trapsEnabled_ KM_GUARDED_BY(stateLock_) = false;
  // Guarded by stateLock_; set by requestStop (any thread).
  bool stopRequested_ KM_GUARDED_BY(stateLock_) = false;
  // The proxy hop's socket while it is connected or connecting. Guarded by
  // stateLock_ so that requestStop can shut it down; owned and closed by the
  // session thread.
  SOCKET target_ KM_GUARDED_BY(stateLock_) = INVALID_SOCKET;

  // ---- file area (file_area.cpp) ----
  uint32_t onTransferFile(const CSCPMessage &request, CSCPMessage *reply);
  uint32_t onDownloadFile(const CSCPMessage &request, CSCPMessage *reply);
  // A raw MC_FILE_DATA chunk of the open upload (others, and clear chunks
  // in an encrypted session, are dropped).
  Next handleFileData(const uint8_t *bytes, uint32_t length, bool encrypted);
  // Closes and removes the open upload's temporary file.
  void abortUpload();
  // The upload being received: a temporary file in the area, renamed to
  // uploadTarget_ at its last chunk. Session thread only.
  int uploadFd_ = -1;
  uint32_t uploadId_ = 0;
  uint64_t uploadSize_ = 0;
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
  KMCPEncryptionContext *recvCtx_ = nullptr;  // reference used to decrypt
  bool authenticated_ = false;
  uint32_t answered_ = 0;
  std::unique_ptr<CSCP_BUFFER> recvState_;
};

}  // namespace kmagent::detail
