// ISC: the client end of an inter-server communication session, a KMCP
// session over TCP from this server to another server's ISC listener,
// opened for one numbered service that the peer offers. A host creates an
// ISC for the peer's address and port, calls Connect with the service
// number, its RSA key and whether encryption is required, exchanges its own
// messages with SendMessageW, WaitForMessage and WaitForRCC, and finally
// disconnects and deletes the object. Result codes (ISC_RESULT_*) are
// shared with the peer, which reports them in VAR_RCC.
//
// Threads and locks
// - Host threads: Connect, Disconnect, DisconnectAndWait and the destructor
//   manage the session's lifetime and must not run on two threads at once;
//   SendMessageW, the waits and Nop may run on any number of threads while
//   the session is up.
// - The receiver thread: one per open session, started by Connect. It reads
//   every message and puts each one that decodes into replyQueue, whatever
//   its code; raw messages are traced and dropped. When the session ends
//   (Disconnect, peer close, receive failure, no message for receiveTimeout)
//   it closes the socket, drops the encryption context and ends; the next
//   Connect or the destructor joins it.
// - stateLock guards the socket handle, the encryption context reference and
//   the connected flag at teardown; sendLock serialises every write to the
//   socket. sendLock is taken before stateLock, never while stateLock is
//   held, and no thread is waited for while either is held. The socket is
//   closed only with both held, so a sender never writes to a handle number
//   that was closed and reused meanwhile.
// - When the session ends, every waiter returns promptly (a broken session
//   stays broken until the next Connect).
// - PrintMsg runs on the receiver thread and on the thread inside Connect.
//   A subclass that overrides it must call DisconnectAndWait() in its own
//   destructor, so that the receiver thread never calls into a half
//   destroyed object.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "kmbase/export.h"
#include "kmbase/msg_wait_queue.h"
#include "kmbase/net.h"
#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"
#include "kmbase/tls.h"

class CSCPMessage;
class KMCPEncryptionContext;
typedef struct rsa_st RSA;
struct THREAD_RECORD;

// Bits of ISC::flags.
inline constexpr uint32_t ISC_FLAG_CONNECTED = 0x01;            // the session is up
inline constexpr uint32_t ISC_FLAG_ENCRYPTION_REQUIRED = 0x02;  // it must be encrypted

// Result codes. The peer reports the same numbers in VAR_RCC; codes it sends
// pass through Nop, ConnectToService and WaitForRCC unchanged.
inline constexpr uint32_t ISC_RESULT_SUCCESS = 0;
inline constexpr uint32_t ISC_RESULT_UNKNOWN_SERVICE = 1;          // peer
inline constexpr uint32_t ISC_RESULT_REQUEST_OUT_OF_STATE = 2;     // peer
inline constexpr uint32_t ISC_RESULT_SERVICE_DISABLED = 3;         // peer
inline constexpr uint32_t ISC_RESULT_ENCRYPTION_REQUIRED = 4;      // Connect; also the peer
inline constexpr uint32_t ISC_RESULT_CONNECTION_BROKEN = 5;        // send failed, session ended
inline constexpr uint32_t ISC_RESULT_ALREADY_CONNECTED = 6;        // Connect
inline constexpr uint32_t ISC_RESULT_SOCKET_ERROR = 7;             // Connect: no socket
inline constexpr uint32_t ISC_RESULT_CONNECT_FAILED = 8;           // Connect: TCP connect
inline constexpr uint32_t ISC_RESULT_BAD_PROTOCOL_VERSION = 9;     // Connect: version
inline constexpr uint32_t ISC_RESULT_REQUEST_TIMEOUT = 10;         // no reply in time
inline constexpr uint32_t ISC_RESULT_NOT_IMPLEMENTED = 11;         // peer
inline constexpr uint32_t ISC_RESULT_NO_CIPHERS = 12;              // key exchange
inline constexpr uint32_t ISC_RESULT_INVALID_PUBLIC_KEY = 13;      // key exchange
inline constexpr uint32_t ISC_RESULT_INVALID_SESSION_KEY = 14;     // key exchange
inline constexpr uint32_t ISC_RESULT_INTERNAL_ERROR = 15;          // key exchange, other
inline constexpr uint32_t ISC_RESULT_SESSION_SETUP_FAILED = 16;    // peer
inline constexpr uint32_t ISC_RESULT_OBJECT_NOT_FOUND = 17;        // peer
inline constexpr uint32_t ISC_RESULT_POST_EVENT_FAILED = 18;       // peer
inline constexpr uint32_t ISC_RESULT_PEER_BUSY = 19;               // Connect: too many sessions
inline constexpr uint32_t ISC_RESULT_TLS_FAILED = 20;              // Connect: TLS (getTlsFailure)

// The text of a result code; "Unknown error code" for any code above 20.
// Never null; a constant that must not be freed. Any thread.
KMSRV_EXPORT const char16_t *ISCErrorCodeToText(uint32_t code);

class KMSRV_EXPORT ISC {
 public:
  // The peer the default constructor names: 127.0.0.1, port 4702.
  static constexpr const char16_t *kDefaultPeer = u"127.0.0.1";
  static constexpr uint16_t kDefaultPort = 4702;
  // Initial time-outs in ms. There are no setters; a subclass may change the
  // members before Connect.
  static constexpr uint32_t kDefaultConnectTimeout = 30000;
  static constexpr uint32_t kDefaultCommandTimeout = 10000;
  static constexpr uint32_t kDefaultReceiveTimeout = 420000;
  // How often one Connect goes back to the key exchange because the peer
  // answered the liveness test with 4 ("Encryption required"). Legitimately
  // once suffices; a peer that keeps answering 4 after the key is in place
  // would otherwise loop for ever. The next 4 after that fails Connect
  // with 4.
  static constexpr int kMaxEncryptionRestarts = 3;

  // Peer 127.0.0.1, port 4702.
  ISC();
  // address: the peer's IPv4 address in network byte order; port in host
  // byte order.
  ISC(uint32_t address, uint16_t port);
  // Shuts the session down, joins the receiver thread and releases
  // everything (see the class comment on subclasses).
  virtual ~ISC();

  // Owns a socket, a thread, locks and a queue: a copy would release them
  // twice.
  ISC(const ISC &) = delete;
  ISC &operator=(const ISC &) = delete;

  // Opens the session for serviceId: TCP connect (within connectTimeout),
  // version detection (versions up to 2 accepted), receiver thread, then
  // key exchange (with serverKey; the server's RSA key pair, may be null),
  // liveness test and service request. requireEncryption makes a failed or
  // impossible key exchange fatal; a peer answering 4 makes encryption
  // required from then on. Returns ISC_RESULT_SUCCESS, or a code with the
  // session back to idle (no socket, no thread, no key). 6 when already
  // connected (nothing changes).
  uint32_t Connect(uint32_t serviceId, RSA *serverKey = nullptr, bool requireEncryption = false);
  // Shuts the socket down; the receiver thread closes it and ends. Does not
  // wait for the thread. Any thread.
  void Disconnect();
  // Disconnect, then waits for the receiver thread and closes the socket.
  // Not from the receiver thread (an overridden PrintMsg): it then only
  // disconnects.
  void DisconnectAndWait();

  // Sends msg (the caller keeps it; its code and id are the caller's),
  // encrypted when the session has a key. True when all of it went out;
  // false, sending nothing, when the session is not connected.
  bool SendMessageW(CSCPMessage *msg);
  // The received message with this code and request id, or null when none
  // came within timeout ms or the session ended first. The caller deletes it.
  CSCPMessage *WaitForMessage(uint16_t code, uint32_t requestId, uint32_t timeout);
  // VAR_RCC of the MC_REQUEST_COMPLETED with this request id (the reply is
  // deleted); 10 when none came within timeout ms, 5 when the session ended
  // (or was not up) before it came.
  uint32_t WaitForRCC(uint32_t requestId, uint32_t timeout);
  // Liveness request (MC_KEEPALIVE): 0, the peer's code, 5 or 10.
  uint32_t Nop();

  // Whether the session is up (ISC_FLAG_CONNECTED). Any thread.
  bool IsConnected() const { return (flags.load() & ISC_FLAG_CONNECTED) != 0; }
  int32_t GetProtocolVersion() const { return protocolVersion.load(); }
  // Whether the session has an encryption context now (every message in
  // both directions then goes in an envelope). Any thread.
  bool isEncrypted();

  // TLS 1.3 (kmbase/tls.h): from the next Connect the session runs inside
  // TLS, the peer checked as settings say (its CAs, or the system's, and
  // expectedName, empty for the peer's address; or a pinned fingerprint),
  // our certificate presented when settings name one. The key exchange is
  // then not run: TLS already encrypts and authenticates the session, so
  // serverKey is not used and requireEncryption is met. False, changing
  // nothing, with *error (when given) naming the file or setting, when the
  // settings cannot be used.
  bool setTls(const KmTlsClientSettings &settings, const std::string &expectedName = {},
              std::string *error = nullptr);
  // The same with a context made once (KmTlsMakeClientContext) and shared by
  // many sessions: a server with many peers reads its CA file once.
  void setTlsContext(KmTlsContextRef context, const std::string &expectedName = {});
  // Plain TCP again from the next Connect.
  void clearTls();
  // Whether the session runs over TLS now. Any thread.
  bool isTls();
  // Why the last Connect failed with ISC_RESULT_TLS_FAILED (None otherwise)
  // and OpenSSL's words for it. The thread that called Connect.
  KmTlsFailure getTlsFailure() const { return tlsFailure; }
  const std::string &getTlsFailureDetail() const { return tlsFailureDetail; }

 protected:
  // Diagnostic output: printf-style char16_t format in which %s takes a
  // char16_t string. The default writes one UTF-8 line to standard output.
  // Called from the receiver thread and from Connect.
  virtual void PrintMsg(const char16_t *format, ...);

  // Key exchange with serverKey (not null): 0, 5, 10, or 12 to 15 as the
  // key setup fails.
  uint32_t SetupEncryption(RSA *serverKey);
  // Service request (MC_ISC_CONNECT_TO_SERVICE with VAR_SERVICE_ID): 0, the
  // peer's code, 5 or 10.
  uint32_t ConnectToService(uint32_t serviceId);

  void Lock() KM_ACQUIRE(stateLock) { stateLock.lock(); }
  void Unlock() KM_RELEASE(stateLock) { stateLock.unlock(); }

  // --- Members. Each says which thread may touch it and which lock guards
  // it. "Lifetime" means the thread running Connect, DisconnectAndWait or
  // the destructor (one at a time).

  // ISC_FLAG_* bits. ENCRYPTION_REQUIRED: lifetime thread. CONNECTED: set by
  // Connect, cleared under stateLock by Disconnect, the receiver thread and
  // the teardown paths; read by any thread (atomic).
  std::atomic<uint32_t> flags;
  // The peer, network byte order address and host order port. Set at
  // construction.
  const uint32_t address;
  const uint16_t port;
  // TLS settings (null context: plain TCP). The lifetime thread; no lock.
  KmTlsContextRef tlsContext;
  std::string tlsName;
  // What the last Connect found wrong with TLS. Written by Connect.
  KmTlsFailure tlsFailure = KmTlsFailure::None;
  std::string tlsFailureDetail;
  // The TCP socket, INVALID_SOCKET when none. Guard: stateLock; closed only
  // with sendLock held as well.
  SOCKET socket KM_GUARDED_BY(stateLock);
  // The peer's KMCP version: written by Connect before the receiver thread
  // starts; every message of the session is built for it. Any thread reads
  // it (atomic).
  std::atomic<int32_t> protocolVersion;
  // The next request id of the session's own requests; never 0. Any thread
  // (atomic).
  std::atomic<uint32_t> nextRequestId;
  // How long the receiver thread waits for the next message before it ends
  // the session, in ms; read before each wait (atomic).
  std::atomic<uint32_t> receiveTimeout;
  // Received messages waiting to be claimed by code and request id. Safe for
  // concurrent use by itself.
  MsgWaitQueue replyQueue;
  mutable KmMutex stateLock;
  KmMutex sendLock;
  // The running or ended receiver thread nobody has joined yet. Lifetime
  // thread only.
  THREAD_RECORD *receiverThread;
  // Session encryption; the session holds one reference while it is set.
  // Guard: stateLock.
  KMCPEncryptionContext *encryptionContext KM_GUARDED_BY(stateLock);
  // How long Nop, ConnectToService, SetupEncryption and version detection
  // wait for their answer, and how long the TCP connect may take, in ms.
  // Read by the thread running a request or Connect (atomic).
  std::atomic<uint32_t> commandTimeout;
  std::atomic<uint32_t> connectTimeout;

 private:
  // The shared session mechanics over the members above, and the
  // receiver's hooks (isc/isc.cpp).
  class Link;


  static void ReceiverThreadStarter(void *arg);
  void ReceiverThread();
  void dispatchMessage(KMCP_MESSAGE *msg, uint32_t size);
  uint32_t negotiate(uint32_t serviceId, RSA *serverKey, const char16_t *peerText);
  // Sends msg with the next request id and returns the VAR_RCC of its
  // MC_REQUEST_COMPLETED: the request exchange of Nop and ConnectToService.
  uint32_t executeRequest(CSCPMessage *msg);
  uint32_t takeRequestId();
  // Ends a Connect that failed: the session back to idle. Returns result.
  uint32_t failConnect(uint32_t result);

  // True from the moment the session is torn down (Disconnect, a failed
  // Connect, the receiver thread leaving its loop) until the next Connect
  // starts one; also before the first Connect. The reply queue is shut down
  // at the same moment, so waiters return at once. Written under stateLock;
  // read by any thread (atomic).
  std::atomic<bool> sessionClosing;
  // Key exchange hand-over between SetupEncryption and the receiver thread:
  // the id of the key request in flight (0: none) and the event set each time
  // a key is installed or an exchange gave up (reset by the receiver thread
  // only). Any thread.
  std::atomic<uint32_t> keyExchangeId;
  KmEvent keyExchangeDone;
  // The receiver thread's id, so that it never joins itself. Any thread
  // (atomic).
  std::atomic<std::thread::id> receiverThreadId;
};
