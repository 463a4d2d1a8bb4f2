// kmpeer::ServerCore: what the reference peers (kmagentd, kmiscd) share to
// serve KMCP sessions: the listener, the registry of sessions and their
// threads, start, stop and reaping, session counting, broadcasting to the
// sessions that take unsolicited messages, the stop signal, the request
// records and the diagnostic log. Each peer adds its own requests in a
// PeerSession subclass (peer_session.h) that the core's factory makes for
// every accepted connection.
//
// Threads: one listener thread accepts connections, starts one thread per
// session and joins the threads of sessions that have ended. Every public
// member may be called from any thread, also while sessions run; stop() (and
// the destructor) must not be called from a thread the core runs (a session
// or the log sink). The log sink is called from the listener and session
// threads, possibly from several at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kmbase/net.h"
#include "kmbase/sync.h"
#include "kmbase/tls.h"
#include "records.h"

class CSCPMessage;

namespace kmpeer {

enum class LogLevel { Error, Info, Debug };
// Receives diagnostic lines (session opened and closed, refused requests,
// bad input). Null: none.
using LogSink = std::function<void(LogLevel, const std::string &)>;

// The rules every session of a server follows, from the peer's
// configuration. Read-only once the core exists.
struct SessionSettings {
  // Largest message a session reads (without its envelope): the session
  // limit of both ends; a larger one is skipped (and answered where the
  // peer's protocol has an answer).
  uint32_t maxMessageSize = KMCP_SESSION_MESSAGE_LIMIT;
  // A session that receives no whole message for this long is closed (0:
  // never). Bytes of a message that trickle in do not count.
  uint32_t idleTimeoutMs = 0;
  // Admission. A session is admitted once its peer has shown it may use the
  // server (PeerSession::admit: the agent's login or first request past its
  // gate, an ISC request past the encryption rule). Until then it is
  // "pending": it is closed when not admitted within loginTimeoutMs (0:
  // never), and while maxPendingSessions pending sessions are open, or
  // maxPendingPerAddress from the connecting address, a new connection is
  // turned away with a refusal the client can show (VAR_KMCP_REFUSED, with
  // refusedRcc in VAR_RCC), as it is when maxSessions sessions are open.
  uint32_t loginTimeoutMs = 5000;
  uint32_t maxPendingSessions = 32;
  uint32_t maxPendingPerAddress = 16;
  uint32_t refusedRcc = 0;
  // A peer that has not taken a message (or a file chunk) within this ends
  // its session, whichever thread sends (0: never).
  uint32_t sendTimeoutMs = 10000;
  // Test switches: send each answer this long after its request was read;
  // close a session right after its Nth answer (0: never), counting every
  // answer; the version reported to version detection (> 0 that version, 0
  // answer as a peer without version detection, < 0 no answer at all).
  uint32_t replyDelayMs = 0;
  uint32_t closeAfterAnswers = 0;
  int32_t reportVersion = KMCP_VERSION;
  // Keep request records (the newest RecordList::kMaxRecords).
  bool keepRecords = true;
  // The peer's result for "encryption required", which refuses a clear
  // request in an encrypted session.
  uint32_t encryptionRequiredRcc = 906;
  // TLS beneath the sessions. With a context, a session's first byte tells
  // whether it starts a TLS handshake (run before the login deadline, on the
  // session's thread) or a legacy KMCP session, which tlsRequired refuses
  // (the connection is closed). Without one, sessions start as they always
  // did and nothing is looked at first. This is the context of the start;
  // ServerCore::setTlsContext replaces it for the sessions that follow.
  KmTlsContextRef tls;
  bool tlsRequired = false;
};

// The settings of a peer configuration that names its fields as both peers
// do (idleTimeoutMs, reportVersion, keepRecords, the admission limits and
// tls.require; the context itself is made when the server starts).
template <typename Config>
SessionSettings SettingsOf(const Config &c, uint32_t encryptionRequiredRcc, uint32_t refusedRcc,
                           uint32_t closeAfterAnswers, uint32_t replyDelayMs = 0) {
  SessionSettings s;
  s.encryptionRequiredRcc = encryptionRequiredRcc;
  s.refusedRcc = refusedRcc;
  s.idleTimeoutMs = c.idleTimeoutMs;
  s.loginTimeoutMs = c.loginTimeoutMs;
  s.maxPendingSessions = c.maxPendingSessions;
  s.maxPendingPerAddress = c.maxPendingPerAddress;
  s.sendTimeoutMs = c.sendTimeoutMs;
  s.replyDelayMs = replyDelayMs;
  s.closeAfterAnswers = closeAfterAnswers;
  s.reportVersion = c.reportVersion;
  s.keepRecords = c.keepRecords;
  s.tlsRequired = c.tls.require;
  return s;
}

// text as it may stand in a log line: bytes below 0x20, 0x7F and '\\' as
// \xNN, so that text a peer chose can neither break the line nor pass for
// another one.
std::string LogText(std::string_view text);

// Lets at most one event per interval through (to the log, say) and counts
// the others. Any thread.
class RateLimit {
 public:
  explicit RateLimit(std::chrono::milliseconds interval) : interval_(interval) {}
  // True when this event may be reported; *suppressed then holds how many
  // were held back since the last one that was.
  bool pass(uint64_t *suppressed);

 private:
  const std::chrono::milliseconds interval_;
  KmMutex lock_;
  // Guarded by lock_; any thread.
  std::chrono::steady_clock::time_point last_ KM_GUARDED_BY(lock_){};
  uint64_t held_ KM_GUARDED_BY(lock_) = 0;
};

class PeerSession;

class ServerCore {
 public:
  // Makes the session of an accepted connection: takes ownership of sock (a
  // connected TCP socket); the peer's address and port in host order.
  using SessionFactory = std::function<std::shared_ptr<PeerSession>(
      SOCKET sock, uint64_t number, uint32_t peerAddress, uint16_t peerPort)>;

  ServerCore(const SessionSettings &settings, LogSink log);
  ~ServerCore();  // stop()s
  ServerCore(const ServerCore &) = delete;
  ServerCore &operator=(const ServerCore &) = delete;

  // Binds listenAddress (dotted IPv4):listenPort (0: the system picks),
  // listens and starts accepting; at most maxSessions sessions at once (and
  // the pending limits of the settings): further connections get the
  // refusal and are closed. False with a reason in *error
  // (when given) for an invalid address or limit, an address that cannot be
  // bound, or a second start().
  bool start(const std::string &listenAddress, uint16_t listenPort, uint32_t maxSessions,
             SessionFactory factory, std::string *error);
  // The port listened on (host order), 0 before start().
  uint16_t port() const;
  // Stops accepting, asks every session to stop and joins every thread.
  // Takes at most about 250 ms plus what a session needs to notice (see
  // PeerSession::requestStop). Idempotent; the core cannot start again.
  void stop();

  // Sessions whose thread has not ended yet.
  size_t sessionCount() const;
  // True when sessionCount() is `count`, waiting up to timeoutMs for it.
  bool waitForSessionCount(size_t count, uint32_t timeoutMs) const;
  // The sessions whose thread has not ended yet; each stays valid while held.
  std::vector<std::shared_ptr<PeerSession>> sessions() const;
  // Sends msg to every session that takes unsolicited messages now
  // (PeerSession::sendUnsolicited), each encrypted per session. With code,
  // the wire form carries that code instead of the message's own. Returns
  // the number of sessions it was written to. A session whose peer does not
  // read holds it for at most the send time-out, and then ends.
  size_t broadcast(const CSCPMessage &msg, const uint16_t *code, bool isTrap);

  // ---- for the sessions ----
  const SessionSettings &settings() const { return settings_; }
  // Set once by stop(); waits that stop must cut short wait on it.
  KmEvent &stopping() const { return stopping_; }
  RecordList<RequestRecord> &requests() const { return requests_; }
  // printf-style line to the log sink, if one is set.
  void logf(LogLevel level, const char *format, ...) const __attribute__((format(printf, 3, 4)));
  // When the core was made (the agent's uptime counts from here).
  std::chrono::steady_clock::time_point created() const { return created_; }

  // The TLS context a session starting now handshakes with (null: no TLS).
  // Any thread: sessions read it once as they start and keep what they read;
  // setTlsContext replaces it (at start-up, and on the daemon's reload) for
  // the sessions that start afterwards, never for those already running.
  KmTlsContextRef tlsContext() const;
  void setTlsContext(KmTlsContextRef context);

 private:
  struct Registry;

  const SessionSettings settings_;
  const LogSink log_;
  const std::chrono::steady_clock::time_point created_ = std::chrono::steady_clock::now();
  mutable KmEvent stopping_;                    // any thread
  mutable RecordList<RequestRecord> requests_;  // any thread
  const std::unique_ptr<Registry> registry_;    // listener, sessions, threads
  mutable KmMutex tlsLock_;
  // Guarded by tlsLock_; read by session threads as they start, replaced by
  // any thread through setTlsContext.
  KmTlsContextRef tls_ KM_GUARDED_BY(tlsLock_);
};

}  // namespace kmpeer
