// kmisc::IscServer: the listening side of inter-server communication (ISC)
// sessions, as the reference ISC peer (kmiscd) runs it and as tests embed
// it in their own process.
//
// It listens on one IPv4 TCP address and runs every accepted connection as a
// session on a thread of its own. A session answers protocol version
// detection, session key requests (peer side of the key exchange),
// MC_KEEPALIVE and MC_ISC_CONNECT_TO_SERVICE; once connected to an echo
// service it answers every further message as MC_REQUEST_COMPLETED with the
// same id. The wire rules are in docs/protocol.md, "Inter-server channel".
//
// Threads: every public member may be called from any thread, also while
// sessions run. stop() (and the destructor) must not be called from the
// `log` callback, which runs on the listener and session threads, possibly
// on several at once.
//
// Resources: at most maxSessions sessions, one thread each; a session holds
// two buffers of about 256 KiB and a 128 KiB receive state. Everything a
// peer sends is checked before use: a peer can make a session skip a
// message, end, or wait, never grow beyond these bounds.
//
// The listener, the sessions' threads, their receive loop, key exchange and
// send path are the shared server core's (tools/common); this peer adds its
// services.
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

namespace kmisc {

// Where an ISC listener is found unless told otherwise.
inline constexpr uint16_t kDefaultIscPort = 4702;
// Largest message a session reads (in its envelope when encrypted, that
// envelope may be larger by the cipher's overhead): the largest message the
// library's ISC client accepts, so an echo always fits its receiver.
// Larger ones are skipped.
inline constexpr uint32_t kMaxIscMessageSize = KMCP_SESSION_MESSAGE_LIMIT;

using kmpeer::LogLevel;

struct IscConfig {
  // Where to listen: dotted IPv4 address and port (0: the system picks one;
  // IscServer::port() tells which).
  std::string listenAddress = "127.0.0.1";
  uint16_t listenPort = kDefaultIscPort;

  // Service ids a client may connect to; once connected, every message is
  // echoed. Connecting to a disabled service is answered 3 ("Service
  // disabled"); to any other id 1 ("Unknown service").
  std::vector<uint32_t> echoServices;
  std::vector<uint32_t> disabledServices;

  // Answer 4 ("Encryption required") to every request other than version
  // detection and the key request until the session is encrypted, and to
  // every request that then arrives unencrypted.
  bool requireEncryption = false;
  // TLS on the same port: with a certificate, a session that starts with a
  // TLS handshake runs inside TLS, which satisfies requireEncryption; a
  // legacy session is served too unless tls.require. start() fails when a
  // file cannot be read or used.
  kmpeer::TlsFiles tls;

  // Connections beyond this many open sessions are turned away: the client
  // reads ISC_RESULT_PEER_BUSY (19) where it expects its version answer.
  uint32_t maxSessions = 64;
  // A session that receives no whole message for this long is closed (0:
  // never).
  uint32_t idleTimeoutMs = 0;
  // A session is pending until a request passes the encryption rule. A
  // pending session is closed after loginTimeoutMs (0: never); while
  // maxPendingSessions are pending, or maxPendingPerAddress from one
  // address, further connections from there are turned away as above.
  uint32_t loginTimeoutMs = 5000;
  uint32_t maxPendingSessions = 32;
  uint32_t maxPendingPerAddress = 16;
  // A peer that takes no part of a message for this long ends its session
  // (0: never).
  uint32_t sendTimeoutMs = 10000;

  // ---- test switches ----
  // Version reported to version detection: > 0 that version; 0 answer as a
  // peer that does not know version detection (MC_REQUEST_COMPLETED, 11),
  // which clients take for version 1; < 0 no answer at all.
  int32_t reportVersion = KMCP_VERSION;
  // Answer version detection only; read everything else and answer nothing.
  bool neverAnswer = false;
  // Answer 4 to every request but version detection and the key request,
  // encrypted or not (a peer that never accepts the session).
  bool alwaysDemandEncryption = false;
  // Close a session right after it has sent its Nth answer (0: never).
  // Every answer counts: version detection, key exchange, every reply.
  uint32_t closeAfterAnswers = 0;

  // Keep request records (newest 4096) for tests.
  bool keepRecords = true;
  // Diagnostic lines (session opened/closed, refused requests, bad input).
  // Null: none.
  std::function<void(LogLevel, const std::string &)> log;
};

// One message that decoded as a request.
using IscRequestRecord = kmpeer::RequestRecord;

class IscServer {
 public:
  explicit IscServer(IscConfig config);
  ~IscServer();  // stop()s
  IscServer(const IscServer &) = delete;
  IscServer &operator=(const IscServer &) = delete;

  // Checks the configuration, binds, listens and starts accepting. False
  // with a reason in *error (when given) if the configuration is invalid, the
  // address cannot be bound, or start() was called before.
  bool start(std::string *error);
  // The port listened on (host order), 0 before start().
  uint16_t port() const;
  // Reads the TLS files again for the sessions that start afterwards;
  // running sessions keep theirs, and a reload that fails keeps the files in
  // force and says why (also in the log).
  bool reloadTls(std::string *error);
  // Stops accepting, shuts every session down and joins every thread. Takes
  // at most about 250 ms. Idempotent; the server cannot be started again.
  void stop();

  // Sessions whose thread has not ended yet.
  size_t sessionCount() const;
  // True when sessionCount() is `count`, waiting up to timeoutMs for it.
  bool waitForSessionCount(size_t count, uint32_t timeoutMs) const;

  // Copies of the request records, oldest first (empty when keepRecords is
  // off).
  std::vector<IscRequestRecord> requests() const;
  void clearRecords();

  // Sends msg, as it is (code, id, fields), to every session connected to a
  // service, encrypted per session when it is. Returns the number of sessions
  // it was written to. A session whose peer does not read holds it for at
  // most sendTimeoutMs, and then ends.
  size_t sendMessage(const CSCPMessage &msg);

 private:
  const IscConfig config_;  // read-only after construction
  kmpeer::ServerCore core_;
};

}  // namespace kmisc
