// The mechanics every client session of libkmsrv shares (AgentConnection,
// ISC): opening the TCP connection with a time limit and detecting the
// peer's protocol version, the send path, waiting for a reply (woken at once
// when the session ends), the request cycle, the key exchange with its
// hand-over to the receiver thread, the receiver loop, and the teardown of a
// session that ends, fails to open or is destroyed.
//
// Each session keeps its own members (socket, locks, context, queue) under
// the names its public header gives them and lends them to a Link by
// reference (SessionMembers); a Link is made on the stack where needed and
// only borrows them. What differs between the sessions (what a received
// message means, what else ends with the session) comes in through
// ReceiverHooks. Internal to libkmsrv: nothing is exported.
//
// Threads and locks: a Link runs on whichever thread calls it and takes the
// session's locks in its order (sendLock before stateLock, never the other
// way round); no thread is waited for while either is held. The socket is
// closed only with both held, so a sender that read the handle under
// sendLock never writes to a number that was closed and reused.
// runReceiver runs on the session's receiver thread; everything else on
// request threads or the lifetime operations (connect, disconnect,
// destructor).
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <thread>

#include "kmbase/crypto.h"
#include "kmbase/kmcp.h"
#include "kmbase/net.h"
#include "kmbase/refcount.h"
#include "kmbase/sync.h"
#include "kmbase/tls.h"

class CSCPMessage;
class MsgWaitQueue;
typedef struct rsa_st RSA;

namespace kmsrv_session {

using ContextRef = KmRef<KMCPEncryptionContext>;

// The members of one session that the mechanics work on.
struct SessionMembers {
  SOCKET &socket;                   // guarded by stateLock; closed with sendLock held too
  KMCPEncryptionContext *&context;  // guarded by stateLock; holds one counted reference
  KmMutex &stateLock;
  KmMutex &sendLock;      // serialises every write to the socket
  MsgWaitQueue &replies;  // received messages waiting to be claimed
  // True once the session is being torn down (or was never opened): nothing
  // more will arrive. Written under stateLock; read anywhere.
  std::atomic<bool> &closing;
  // Key hand-over (exchangeKey, requestThenDropKey, runReceiver): the id of
  // the request whose answer changes the session's key (0: none), and the
  // event set each time a requester has made the change or given up (reset
  // by the receiver thread only).
  std::atomic<uint32_t> &keyExchangeId;
  KmEvent &keyExchangeDone;
  // The receiver thread (lifetime operations only) and its id (recorded by
  // the thread as it starts, cleared when it is joined).
  THREAD_RECORD *&receiverThread;
  std::atomic<std::thread::id> &receiverThreadId;
  // How long a peer may take to accept what the session sends; one that
  // takes longer ends the session.
  std::atomic<uint32_t> &commandTimeout;
};

// What a session's own result codes are for the outcomes the mechanics
// produce themselves (agent RCC_* or ISC_RESULT_*).
struct ResultCodes {
  uint32_t connectionBroken;   // send failed or the session ended while waiting
  uint32_t requestTimeout;     // no answer in time
  uint32_t noCiphers;          // key exchange: the peer accepts none of our ciphers
  uint32_t invalidPublicKey;   // key exchange: the peer could not use our key
  uint32_t invalidSessionKey;  // key exchange: the wrapped key did not unwrap
  uint32_t internalError;      // key exchange: anything else
  uint32_t badResponse;        // a reply's result field of the wrong type
  uint32_t tooLarge;           // a request beyond the session message limit
};

// What the receiver loop needs beyond the members. Called on the receiver
// thread only.
class ReceiverHooks {
 public:
  // How long to wait for the next message, read before each wait.
  virtual uint32_t receiveTimeoutMs() = 0;
  // One finished line for the operator (the session's PrintMsg).
  virtual void report(const char16_t *line) = 0;
  // The receive failed (result < 0) or the peer closed (0); the loop ends.
  virtual void receiveFailed(int result, int socketError) = 0;
  // Nothing arrived within the receive time-out: true keeps waiting
  // silently; false ends the loop after "Timed out waiting for message".
  virtual bool keepWaitingWhenIdle() = 0;
  // A whole message of `size` bytes whose header size matches, in wire
  // order (header big-endian); the buffer may be changed in place.
  virtual void dispatch(KMCP_MESSAGE *msg, uint32_t size) = 0;
  // The session ends (receiver end, disconnect or failed open): what else
  // of the session ends with it. Called with stateLock held.
  virtual void sessionEnding() = 0;

 protected:
  ~ReceiverHooks() = default;
};

enum class OpenResult {
  Connected,       // TCP connected and the peer's version is in *version
  ConnectFailed,   // the TCP connect failed or took longer than its limit
  VersionUnknown,  // the peer gave no usable answer to version detection
  Refused,         // the peer turned the connection away (too many sessions)
  TlsFailed,       // the TLS handshake failed, or the peer ended TLS at once
};

// A session's TLS: the context, and the name the peer's certificate must
// carry (empty: the address connected to, in text form).
struct TlsTarget {
  KmTlsContextRef context;
  std::string name;
};

// Why TLS failed (OpenResult::TlsFailed), and OpenSSL's words for it.
struct TlsOutcome {
  KmTlsFailure failure = KmTlsFailure::None;
  std::string detail;
};

class Link {
 public:
  // Stack of a receiver thread: the loop keeps its buffers on the heap, and
  // the hooks it calls are the host's short handlers (traps, pushed data).
  // Small, so that a process with many sessions does not reserve 8 MiB of
  // address space for each (a thread that cannot start fails connect).
  static constexpr size_t kReceiverStackBytes = 512 * 1024;

  explicit Link(const SessionMembers &members) : m_(members) {}

  // ---- opening ----
  // Makes sock (a fresh TCP socket the link takes over) the session's
  // socket, opens the session (closing false, the reply queue reopened),
  // connects it to addressNetOrder:port (port in host order) within
  // connectTimeoutMs and detects the peer's protocol version within
  // versionTimeoutMs. From the moment the socket is recorded, beginClose on
  // another thread cuts the attempt short. The socket error of a failure is
  // left in KmGetLastSocketError(); the caller then ends with abandon().
  // With tls (its context set), the TLS handshake runs between the connect
  // and version detection, within connectTimeoutMs; a failure, or a peer
  // that ends TLS at once (it requires our certificate), is TlsFailed with
  // the reason in *tlsOutcome.
  OpenResult open(SOCKET sock, uint32_t addressNetOrder, uint16_t port, uint32_t connectTimeoutMs,
                  uint32_t versionTimeoutMs, int *version, const TlsTarget *tls = nullptr,
                  TlsOutcome *tlsOutcome = nullptr);

  // ---- sending and waiting ----
  // Sends msg (the caller keeps it) in wire form, in an encrypted envelope
  // when the session has a context. True when all of it went out; false when
  // it cannot be encoded or encrypted, the session has no socket, or the
  // write failed. A write that fails, or that the peer does not take within
  // the command time-out, ends the session (its stream may be cut inside a
  // message): the socket is shut down and the receiver ends it.
  bool send(const CSCPMessage &msg);
  // The message with this code and id, waiting at most timeoutMs; woken at
  // once when the session ends (after taking what the receiver had queued),
  // and *ended then tells it was the end, not the time limit. The caller
  // deletes the message.
  CSCPMessage *wait(uint16_t code, uint32_t id, uint32_t timeoutMs, bool *ended);
  // The request cycle: sends msg (its id set by the caller) and waits for
  // the reply with replyCode and the same id. 0 with *reply set (the caller
  // deletes it), or codes.connectionBroken / codes.requestTimeout with
  // *reply null; codes.tooLarge (nothing sent) for a message beyond
  // KMCP_SESSION_MESSAGE_LIMIT, which the peer would skip.
  uint32_t request(const CSCPMessage &msg, uint16_t replyCode, uint32_t timeoutMs,
                   const ResultCodes &codes, CSCPMessage **reply);
  // VAR_RCC of the MC_REQUEST_COMPLETED with this id, or the code for a
  // time-out or the session's end; codes.badResponse when the reply's
  // VAR_RCC is missing or not 32-bit.
  uint32_t waitForRcc(uint32_t id, uint32_t timeoutMs, const ResultCodes &codes);

  // Runs the server side of the key exchange: a key request built from
  // serverKey for `version` with request id `id` (not 0, which marks "no
  // exchange" for the hand-over), MC_SESSION_KEY awaited for timeoutMs.
  // Returns 0 when the new context is installed (replacing any older one)
  // before the receiver thread reads on, so the first message under the new
  // key is never read without it; else the code for what went wrong.
  uint32_t exchangeKey(RSA *serverKey, int version, uint32_t id, uint32_t timeoutMs,
                       const ResultCodes &codes);
  // A request whose success ends the session's key (the proxy hop: from its
  // answer on, the agent behind the proxy speaks clear): request() and the
  // answer's VAR_RCC, and on 0 the context dropped before the receiver reads
  // on past that answer.
  uint32_t requestThenDropKey(const CSCPMessage &msg, uint32_t timeoutMs,
                              const ResultCodes &codes);

  // ---- state ----
  // The socket (INVALID_SOCKET when none), read under stateLock.
  SOCKET socketHandle();
  // A new reference to the session's context (empty while clear).
  ContextRef context();
  // Makes ctx the session's context, dropping the one it replaces.
  void installContext(ContextRef ctx);
  // Drops the session's context: what follows goes in clear.
  void dropContext();
  bool isEncrypted();
  // Whether the session's socket runs over TLS.
  bool isTls();

  // ---- the receiver thread ----
  // Starts the receiver thread (entry(arg), which calls runReceiver) with a
  // stack of kReceiverStackBytes. False when it cannot be started.
  bool startReceiver(void (*entry)(void *), void *arg);
  // The receiver thread's body: records the thread's id, reads messages
  // until the stream ends, the receive fails or the session idles out, and
  // hands each whole one to hooks.dispatch. Messages larger than
  // KMCP_SESSION_MESSAGE_LIMIT, undecryptable ones, ones whose header size
  // differs from what arrived, and clear ones once the session is keyed are
  // reported and skipped. After the session's awaited MC_SESSION_KEY it
  // waits (at most keyHandoverLimitMs) until the requester has installed the
  // key. Then it ends the session: beginClose, the socket closed with both
  // locks held, the context dropped. Returns the last result of
  // RecvKMCPMessage (0 or less, or KMCP_RECV_TIMEOUT); if its buffers cannot
  // be allocated it reports so and returns KMCP_RECV_ERROR.
  int runReceiver(ReceiverHooks &hooks, uint32_t keyHandoverLimitMs);
  // True on the receiver thread of this session.
  bool onReceiverThread();

  // ---- ending ----
  // Marks the session as ending: closing set, hooks.sessionEnding() called,
  // the socket shut down (a blocked receive or send returns) and every
  // waiter woken. The socket stays open until finish(). Takes stateLock.
  void beginClose(ReceiverHooks &hooks);
  // After beginClose: waits for the receiver thread (not on that thread
  // itself: a hook that ends its own session leaves the join to the next
  // lifetime operation on another thread), closes the socket with both
  // locks held, drops the context. Never called under the session's locks.
  void finish();
  // A failed or cancelled open: beginClose and finish.
  void abandon(ReceiverHooks &hooks);

 private:
  void closeSocket();

  const SessionMembers m_;
};

// What a TLS failure was, for the operator: the failure's text, and
// OpenSSL's words when they add something ("certificate has expired").
std::u16string DescribeTlsFailure(const TlsOutcome &outcome);

// VAR_RCC of a reply, or codes.badResponse when it is missing or not 32-bit.
uint32_t ReplyResult(const CSCPMessage &reply, const ResultCodes &codes);

// Connects sock to addressNetOrder:port within connectTimeoutMs, then
// detects the peer's protocol version within versionTimeoutMs, writing under
// sendLock. The socket error of a failure is left in KmGetLastSocketError().
OpenResult ConnectAndDetectVersion(SOCKET sock, uint32_t addressNetOrder, uint16_t port,
                                   uint32_t connectTimeoutMs, uint32_t versionTimeoutMs,
                                   KmMutex &sendLock, int *version, const TlsTarget *tls = nullptr,
                                   TlsOutcome *tlsOutcome = nullptr);

// The default PrintMsg of a session: the formatted line (UTF-8) and a
// newline to standard output, as one write.
void WriteSessionLine(const char16_t *format, va_list args);

}  // namespace kmsrv_session
