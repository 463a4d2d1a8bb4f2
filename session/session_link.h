// The mechanics every client session of libkmsrv shares (AgentConnection,
// ISC): opening the TCP connection with a time limit and detecting the
// peer's protocol version, the send path with optional encryption, waiting
// for a reply that gives up once the session ends, the key exchange with its
// hand-over to the receiver thread, and the receiver loop.
//
// Each session keeps its own members (socket, locks, context, queue) under
// the names its public header gives them; it lends them to these helpers
// through a SessionLink (and, for the receiver loop, a ReceiverHooks) that it
// implements as a small adapter. Internal to libkmsrv: nothing is exported.
//
// Threads: the helpers run on whichever thread calls them and take only the
// locks the link hands out, in the session's order (the send lock before
// the state lock, never the other way round). RunReceiverLoop runs on the
// session's receiver thread; everything else on request threads.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <thread>

#include "kmbase/kmcp.h"
#include "kmbase/net.h"
#include "kmbase/sync.h"

class CSCPMessage;
class KMCPEncryptionContext;
class MsgWaitQueue;
typedef struct rsa_st RSA;

namespace kmsrv_session {

// What a session lends to the shared mechanics.
class SessionLink {
 public:
  // The socket (INVALID_SOCKET when none), read under the session's state
  // lock. The session closes its socket only while it holds writeLock() as
  // well, so a handle read with writeLock() held stays valid until that lock
  // is released.
  virtual SOCKET socketHandle() = 0;
  // The session's encryption context with one more reference taken under the
  // state lock (the caller drops it with decRefCount), or null.
  virtual KMCPEncryptionContext *acquireContext() = 0;
  // Makes ctx (whose reference the session takes over) the session's context
  // under the state lock, dropping the reference to the one it replaces.
  virtual void installContext(KMCPEncryptionContext *ctx) = 0;
  // Serialises every write to the socket.
  virtual KmMutex &writeLock() = 0;
  // Received messages waiting to be claimed.
  virtual MsgWaitQueue &replies() = 0;
  // True once the session is being torn down (or was never opened): nothing
  // more will arrive, so waiters give up.
  virtual bool sessionClosing() = 0;
  // Key exchange hand-over (see ExchangeSessionKey and RunReceiverLoop):
  // the request id of the key request whose MC_SESSION_KEY a requester
  // awaits, 0 when none; the event is set when that requester has installed
  // the new key or given up.
  virtual std::atomic<uint32_t> &keyExchangeId() = 0;
  virtual KmEvent &keyExchangeDone() = 0;

 protected:
  ~SessionLink() = default;
};

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

enum class OpenResult {
  Connected,       // TCP connected and the peer's version is in *version
  ConnectFailed,   // the TCP connect failed or took longer than its limit
  VersionUnknown,  // the peer gave no usable answer to version detection
};

// Connects sock (a fresh TCP socket the caller owns) to addressNetOrder:port
// (port in host order) within connectTimeoutMs, then detects the peer's
// protocol version within versionTimeoutMs, writing under sendLock. The
// socket error of a failure is left in KmGetLastSocketError().
OpenResult ConnectAndDetectVersion(SOCKET sock, uint32_t addressNetOrder, uint16_t port,
                                   uint32_t connectTimeoutMs, uint32_t versionTimeoutMs,
                                   KmMutex &sendLock, int *version);

// ---------------------------------------------------------------------------
// Sending and waiting
// ---------------------------------------------------------------------------

// Sends msg (the caller keeps it) in wire form, in an encrypted envelope when
// the session has a context. True when all of it went out; false when it
// cannot be encoded or encrypted, the session has no socket, or the write
// failed.
bool SendSessionMessage(SessionLink &link, const CSCPMessage &msg);

// The message with this code and id from link.replies(), waiting at most
// timeoutMs. Gives up early once the session closes (after taking what the
// receiver had already queued); *ended then tells it was the session's end,
// not the time limit. The caller deletes the message.
CSCPMessage *WaitForSessionReply(SessionLink &link, uint16_t code, uint32_t id, uint32_t timeoutMs,
                                 bool *ended);

// How a session key exchange ended.
enum class KeyExchangeStep {
  Answered,      // the peer answered; *setupResult says whether the key is in place
  SendFailed,    // the key request could not be sent
  NoAnswer,      // no MC_SESSION_KEY within the time limit
  SessionEnded,  // the session ended while waiting
};

// Runs the server side of the key exchange: a key request built from
// serverKey for `version` with request id `id` (not 0, which marks "no
// exchange" for the hand-over), MC_SESSION_KEY awaited for
// timeoutMs. On Answered, *setupResult is SetupEncryptionContext's result
// (KMCP_ENCRYPTION_*); on KMCP_ENCRYPTION_OK the new context is installed
// in the session (replacing and releasing any older one) before the
// receiver thread reads on, so the first message under the new key is
// never read without it.
KeyExchangeStep ExchangeSessionKey(SessionLink &link, RSA *serverKey, int version, uint32_t id,
                                   uint32_t timeoutMs, int *setupResult);

// ---------------------------------------------------------------------------
// The receiver loop
// ---------------------------------------------------------------------------

// What the receiver loop needs beyond the link. Called on the receiver
// thread only.
class ReceiverHooks : public SessionLink {
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

 protected:
  ~ReceiverHooks() = default;
};

// Reads messages until the stream ends, the receive fails or the session
// idles out, and hands each whole one to hooks.dispatch. Messages larger
// than bufferSize, undecryptable ones and ones whose header size differs
// from what arrived are reported and skipped. The buffers are allocated
// once for the whole loop; the receiver keeps its own reference to the
// session's context, taken afresh before each wait. After the session's
// MC_SESSION_KEY answer it waits (at most keyHandoverLimitMs) until the
// requester has installed the key. Returns the last result of
// RecvKMCPMessage (0 or less, or KMCP_RECV_TIMEOUT); if the buffers cannot
// be allocated, reports it and returns KMCP_RECV_ERROR at once.
int RunReceiverLoop(ReceiverHooks &hooks, uint32_t bufferSize, uint32_t keyHandoverLimitMs);

// ---------------------------------------------------------------------------
// Teardown
// ---------------------------------------------------------------------------

// True when the caller runs on the receiver thread whose id the session
// recorded in threadId (the thread records it as it starts).
bool OnReceiverThread(const std::atomic<std::thread::id> &threadId);

// Waits for the session's receiver thread to end and releases its record:
// *thread becomes null and threadId is cleared. Nothing to do when *thread is
// null. Refuses on the receiver thread itself (a hook that ends its own
// session): a thread cannot wait for its own end, so it returns false and
// leaves the record to the next lifetime operation on another thread.
// Called by the session's lifetime operations only, never under its locks
// (the ending thread takes them).
bool JoinReceiverThread(THREAD_RECORD **thread, std::atomic<std::thread::id> &threadId);

// Closes *socket (a session's socket member) and sets it to INVALID_SOCKET,
// with sendLock and then stateLock held, so that no sender still holds the
// handle (SessionLink::socketHandle). Nothing to do when it is already
// INVALID_SOCKET.
void CloseSessionSocket(KmMutex &sendLock, KmMutex &stateLock, SOCKET *socket);

// ---------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------

// The default PrintMsg of a session: the formatted line (UTF-8) and a
// newline to standard output, as one write.
void WriteSessionLine(const char16_t *format, va_list args);

}  // namespace kmsrv_session
