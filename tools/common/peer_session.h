// kmpeer::PeerSession: the peer end of one KMCP session in a reference peer,
// run on a thread of its own: the one receive loop, the one send path (clear
// or in the session's envelope), the key exchange on the peer's side, version
// detection, the reply delay and answer counting of the test switches, and
// the readiness for unsolicited messages. A peer's subclass handles what its
// protocol means (the agent's requests, the ISC services).
//
// With a TLS context in the core, the session thread first looks at the
// peer's first byte: a TLS handshake is run (before the login deadline) and
// the session then runs inside the stream, which counts as encrypted for
// every rule that requires encryption; a legacy session goes on as before, or
// is closed when TLS is required.
//
// The session thread reads every message and hands it to the subclass (once
// the session is keyed, only those that came encrypted: clear ones are
// someone else's and are dropped); it ends when the peer closes, a receive fails, the idle time
// runs out, a handler ends it, or the server stops. Other threads may at the same time send
// unsolicited messages (sendUnsolicited) and ask it to stop (requestStop). The object is shared
// (std::shared_ptr) between the core's registry and such senders; its socket is closed when the
// last owner lets go, so a sender never writes to a reused descriptor.
//
// Locks: sendLock_ serialises every write to the socket (and the use of the
// send context's counter); stateLock_ guards the members other threads
// read. sendLock_ may be held while taking stateLock_, never the other way
// round.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/net.h"
#include "kmbase/refcount.h"
#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"
#include "server_core.h"

namespace kmpeer {

using ContextRef = KmRef<KMCPEncryptionContext>;

// A message code's name, for log lines.
std::string CodeName(uint16_t code);

// Codes that answer or accompany requests; a session never answers them.
bool IsAnswerCode(uint16_t code);


// Size of a session's message and decryption buffers for messages of up to
// maxMessageSize bytes: the largest one in its encrypted envelope.
uint32_t SessionBufferSize(uint32_t maxMessageSize);

class PeerSession {
 public:
  // Takes ownership of sock (a connected TCP socket). peerAddress and
  // peerPort in host byte order (for the log).
  PeerSession(ServerCore &core, SOCKET sock, uint64_t number, uint32_t peerAddress,
              uint16_t peerPort);
  virtual ~PeerSession();
  PeerSession(const PeerSession &) = delete;
  PeerSession &operator=(const PeerSession &) = delete;

  uint64_t number() const { return number_; }

  // The session thread's body; called once. Returns when the session is over
  // (its socket is then shut down, but still open).
  void run();
  // Any thread: shuts the session's socket down so that run() returns soon.
  void requestStop();
  // Any thread: run() has returned.
  bool ended() const { return ended_.load(std::memory_order_acquire); }
  // Any thread: the session has been admitted (admit()); until then it
  // counts as pending (SessionSettings).
  bool admitted() const { return admitted_.load(std::memory_order_acquire); }
  uint32_t peerAddress() const { return peerAddress_; }

  // Any thread: writes one wire-form message (its header's size is its
  // length), encrypted when the session is. False when the session does not
  // take unsolicited messages now (markReady, takesUnsolicited) or the write
  // failed; a failed write (the peer took nothing for the send time-out)
  // ends the session, whose stream may be cut inside the message.
  bool sendUnsolicited(std::span<const uint8_t> wire, bool isTrap);

 protected:
  enum class Next {
    Continue,  // read the next message
    End,       // end the session
    HandOver,  // leave the loop and call handOver() (a proxy relay)
  };

  // ---- what a peer adds ----
  // A decoded request (the request record is kept already).
  virtual Next handle(CSCPMessage &request, bool encrypted) = 0;
  // A raw message; the default logs it and drops it.
  virtual Next handleRaw(const uint8_t *bytes, uint32_t length, bool encrypted);
  // A message that does not decode; the default logs it and goes on.
  virtual Next handleMalformed(uint16_t code, uint32_t id, KmcpDecodeStatus status);
  // A message larger than the session reads (its header in wire order); the
  // default logs it and goes on.
  virtual Next handleTooLarge(const uint8_t *header);
  // After Next::HandOver: runs on the session thread until the hand-over ends.
  virtual void handOver() {}
  // The session ends: what else ends with it (session thread).
  virtual void sessionEnding() {}
  // The TLS handshake failed (session thread; the session then ends): what
  // the peer counts as a failed attempt of the address.
  virtual void handshakeFailed() {}
  // Called by requestStop under stateLock_: what else must be shut down.
  virtual void stopRequested() KM_REQUIRES(stateLock_) {}
  // Whether a ready session takes this unsolicited message (called under
  // stateLock_); the default takes everything.
  virtual bool takesUnsolicited(bool /*isTrap*/) const KM_REQUIRES(stateLock_) { return true; }

  // ---- answers ----
  // MC_REQUEST_COMPLETED with VAR_RCC, sent as send() does.
  Next reply(uint32_t id, uint32_t rcc);
  // Waits the reply delay, sends, counts the answer. End when the send
  // failed, the server stops, or the session has sent its last answer.
  Next send(const CSCPMessage &msg);
  // send(), and from then on the session takes unsolicited messages; both
  // under sendLock_, so no unsolicited message overtakes the answer and one
  // sent after the peer has read the answer reaches it.
  Next sendReady(const CSCPMessage &msg);
  // Version detection: the configured version (with the message's id), or
  // `unknownRcc` as a peer without version detection, or nothing.
  Next answerVersion(uint32_t id, uint32_t unknownRcc);
  // The peer side of the key exchange: the answer goes out under the old key
  // (or clear), everything after it under the new one; both under sendLock_,
  // so no other sender slips a message in between. A keyed session keeps its
  // key: a second request is answered with result 45 (refused), and so is
  // every request inside TLS, which needs no second layer. A session
  // that has sent kMaxKeyRequests requests ends.
  static constexpr uint32_t kMaxKeyRequests = 3;
  Next answerKeyRequest(const CSCPMessage &request);
  // Waits the reply delay; false when the server stops meanwhile.
  bool delay();
  // Counts a sent answer: End when not sent or the session has sent its
  // closeAfterAnswers-th answer.
  Next counted(bool sent);
  // Whether the session takes unsolicited messages now.
  void markReady(bool ready);
  // Session thread: the peer has shown it may use the server; the login
  // deadline no longer applies and the session stops counting as pending.
  void admit() { admitted_.store(true, std::memory_order_release); }
  // The send time-out in the form the send calls take (KM_INFINITE for 0).
  uint32_t sendTimeout() const;
  bool isReady() const KM_REQUIRES(stateLock_) { return ready_; }

  // ---- sending (under sendLock_) ----
  bool sendMessageLocked(const CSCPMessage &msg) KM_REQUIRES(sendLock_);
  bool sendWireLocked(const uint8_t *wire, size_t size) KM_REQUIRES(sendLock_);
  // The context what the session sends is sealed with (empty while clear).
  ContextRef sendContext() KM_REQUIRES(sendLock_);
  // Both directions back to clear.
  void dropContexts();

  // ---- state the subclasses read ----
  // The session has a key for what it receives (session thread).
  bool keyed() const { return recvCtx_.get() != nullptr; }
  // The session runs inside TLS (session thread).
  bool tlsSession() const { return tls_ != nullptr; }
  // What the session reads cannot be read on the way: it is keyed or runs
  // inside TLS (session thread).
  bool secured() const { return keyed() || tlsSession(); }
  int version() const { return version_; }
  SOCKET sessionSocket() const { return sock_; }
  // Bytes read from the socket beyond the last message (session thread;
  // see KmReceivePending).
  std::span<const uint8_t> pendingBytes() const;
  // printf-style line "session N: ..." to the log.
  void logf(LogLevel level, const char *format, ...) const __attribute__((format(printf, 3, 4)));

  ServerCore &core_;
  KmMutex sendLock_;
  KmMutex stateLock_;
  // Set by requestStop (any thread).
  bool stopRequested_ KM_GUARDED_BY(stateLock_) = false;

 private:
  Next dispatch(const uint8_t *bytes, uint32_t length, bool encrypted);
  // With a TLS context: looks at the first byte and runs the handshake, both
  // before the login deadline (from `opened`). False when the session ends
  // here (closed, refused, handshake failed).
  bool startStream(std::chrono::steady_clock::time_point opened);
  // The next message, within the login deadline (from `opened`) while not
  // admitted and the idle limit (from `last`, the last whole message).
  int receiveNext(KMCP_MESSAGE *msg, KMCP_MESSAGE **got, uint32_t bufferSize, uint8_t *decryption,
                  std::chrono::steady_clock::time_point opened,
                  std::chrono::steady_clock::time_point last);
  void installContext(ContextRef ctx) KM_REQUIRES(sendLock_);

  // Set once at construction.
  const SOCKET sock_;  // closed by the destructor
  const uint64_t number_;
  const uint32_t peerAddress_;
  const uint16_t peerPort_;
  const int version_;  // protocol version of the messages the session builds
  std::atomic<bool> ended_{false};
  // Written by the session thread (admit), read by the listener.
  std::atomic<bool> admitted_{false};

  // Reference used to encrypt what the session sends; empty while the
  // session is clear. Guarded by stateLock_; set and dropped by the session
  // thread, read (and referenced) by any sender.
  ContextRef sendCtx_ KM_GUARDED_BY(stateLock_);
  // Unsolicited messages may go out. Guarded by stateLock_; written by the
  // session thread, read by senders under sendLock_.
  bool ready_ KM_GUARDED_BY(stateLock_) = false;

  // Session thread only.
  ContextRef recvCtx_;  // reference used to decrypt
  // The context the session's TLS stream was made with, held for the
  // session's life (a reload does not touch it); null for a legacy session.
  KmTlsContextRef tls_;
  uint32_t answered_ = 0;
  uint32_t keyRequests_ = 0;
  std::unique_ptr<CSCP_BUFFER> recvState_;
};

}  // namespace kmpeer
