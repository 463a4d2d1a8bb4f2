// The peer end of one ISC session inside IscServer: the connection of one
// client, run on a thread of its own, and what every session of a server
// shares (configuration, stop signal, records, log).
//
// The session thread reads every message and answers it; it ends when the
// client closes, a receive fails, the idle time runs out, a test switch ends
// it, or the server stops. Other threads may at the same time send
// unsolicited messages (sendUnsolicited) and ask it to stop (requestStop).
// The object is shared (std::shared_ptr) between the server's registry and
// such senders; its socket is closed when the last owner lets go, so a
// sender never writes to a reused descriptor.
//
// Locks: sendLock_ serialises every write to the socket; stateLock_ guards
// the members other threads read. sendLock_ may be held while taking
// stateLock_, never the other way round.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "isc_server.h"
#include "kmbase/net.h"
#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"

class CSCPMessage;
class KMCPEncryptionContext;

namespace kmisc::detail {

// The request records of one server, bounded to the newest kMaxRecords.
class RequestRecords {
 public:
  // Enough for any test's history; small enough that a long-running peer
  // with recording on cannot grow without end.
  static constexpr size_t kMaxRecords = 4096;

  explicit RequestRecords(bool enabled) : enabled_(enabled) {}
  void add(const IscRequestRecord &record);
  std::vector<IscRequestRecord> list() const;
  void clear();

 private:
  const bool enabled_;
  mutable KmMutex lock_{0};
  std::deque<IscRequestRecord> records_ KM_GUARDED_BY(lock_);  // any thread
};

// What every session of one server shares. Owned by the server, which
// outlives every session thread.
struct ServerContext {
  explicit ServerContext(const IscConfig &cfg) : config(cfg), records(cfg.keepRecords) {}
  ServerContext(const ServerContext &) = delete;
  ServerContext &operator=(const ServerContext &) = delete;

  // printf-style line to config.log, if one is set.
  void logf(LogLevel level, const char *format, ...) const __attribute__((format(printf, 3, 4)));

  const IscConfig &config;  // checked by start(); read-only afterwards
  KmEvent stopping;         // set once by stop()
  RequestRecords records;
};

class PeerSession {
 public:
  // Takes ownership of sock (a connected TCP socket).
  PeerSession(ServerContext &server, SOCKET sock, uint64_t number);
  ~PeerSession();
  PeerSession(const PeerSession &) = delete;
  PeerSession &operator=(const PeerSession &) = delete;

  // The session thread's body; called once. Returns when the session is over
  // (its socket is then shut down, but still open).
  void run();
  // Any thread: shuts the socket down so that run() returns soon.
  void requestStop();
  // Any thread: run() has returned.
  bool ended() const { return ended_.load(std::memory_order_acquire); }
  // Any thread: writes one wire-form message (its header's size is its
  // length), encrypted when the session is. False when the session is not
  // connected to a service or the write failed.
  bool sendUnsolicited(const uint8_t *wire, size_t size);

 private:
  enum class Next { Continue, End };

  Next handle(const uint8_t *bytes, uint32_t length, bool encrypted);
  Next answerVersion(uint32_t id);
  Next answerKeyRequest(const CSCPMessage &request);
  Next answerRequest(CSCPMessage &request, bool encrypted);
  uint32_t serviceResult(const CSCPMessage &request) const;

  Next reply(uint32_t id, uint32_t rcc);
  Next send(const CSCPMessage &msg);
  Next counted(bool sent);
  bool sendLocked(const CSCPMessage &msg) KM_REQUIRES(sendLock_);
  bool sendWireLocked(const uint8_t *wire, size_t size) KM_REQUIRES(sendLock_);
  KMCPEncryptionContext *acquireSendContext();
  // Makes ctx (whose reference the session takes) the session's key for both
  // directions.
  void installContext(KMCPEncryptionContext *ctx) KM_REQUIRES(sendLock_);
  void dropContexts();
  void logf(LogLevel level, const char *format, ...) const __attribute__((format(printf, 3, 4)));

  ServerContext &server_;
  // Set once at construction.
  const SOCKET sock_;  // closed by the destructor
  const uint64_t number_;
  const int version_;  // protocol version of the messages the session builds
  std::atomic<bool> ended_{false};

  KmMutex sendLock_;
  KmMutex stateLock_;
  // Key for what the session sends; null while it is clear. Guarded by
  // stateLock_; installed and dropped by the session thread, referenced by
  // any sender.
  KMCPEncryptionContext *sendCtx_ KM_GUARDED_BY(stateLock_) = nullptr;
  // Connected to a service: unsolicited messages may go out. Guarded by
  // stateLock_; written by the session thread, read by senders.
  bool inService_ KM_GUARDED_BY(stateLock_) = false;

  // Session thread only.
  KMCPEncryptionContext *recvCtx_ = nullptr;  // reference used to decrypt
  uint32_t answered_ = 0;
  bool serviceConnected_ = false;
};

}  // namespace kmisc::detail
