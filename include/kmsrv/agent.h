// AgentConnection: the client end of one KMCP session with a monitoring agent
// over TCP. A caller creates one, configures it, calls connect(), issues
// requests, and deletes it. Hosts may subclass it to receive traps, pushed
// data and other unsolicited messages through the virtual hooks.
//
// Threads and locks
// - Caller threads: any number may issue requests at once; each request runs
//   synchronously on its caller's thread. connect(), disconnectAndWait() and
//   the destructor manage the session's lifetime and must not run on two
//   threads at once (nor while another thread still uses the object, for
//   the destructor).
// - The receiver thread: one per open session, started by connect(). It reads
//   every incoming message; replies go into replyQueue, traps, pushed data
//   and other unsolicited messages go to the hooks, which run on it one at a
//   time (a hook must not wait for a reply on the same session). File chunks
//   go into the open download file. When the session ends (disconnect, peer
//   close, receive failure, idle time-out) it closes the socket and ends.
// - stateLock (recursive, spins before it blocks) guards the socket handle,
//   the encryption context reference and the download file; it is held only
//   for short sections. sendLock serialises every write to the socket so that
//   messages of different threads never interleave on the wire. When both are
//   needed, sendLock is taken first; sendLock is never taken while stateLock
//   is held, and no thread is waited for while either is held.
// - The socket handle is closed only while both locks are held, so a sender
//   that read it under sendLock never writes to a handle number that was
//   closed and reused meanwhile.
// - When a session ends, every caller waiting for a reply returns promptly
//   with RCC_CONNECTION_BROKEN; later requests fail at once (a broken session
//   stays broken until the next connect()).
//
// A subclass that overrides a hook must call disconnectAndWait() in its own
// destructor: the receiver thread may otherwise call a hook of an object that
// is half destroyed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <type_traits>

#include "kmbase/export.h"
#include "kmbase/msg_wait_queue.h"
#include "kmbase/net.h"
#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"
#include "kmbase/tls.h"
#include "kmsrv/agent_policy.h"
#include "kmsrv/result_codes.h"

class CSCPMessage;
class KMCPEncryptionContext;
typedef struct rsa_st RSA;
struct THREAD_RECORD;

// When a session sets up encryption (AgentConnection::encryptionPolicy). Any
// other value behaves as ENCRYPTION_ON_DEMAND.
enum EncryptionPolicy : int32_t {
  ENCRYPTION_OFF = 0,          // never; an answer 906 from the agent is a failure
  ENCRYPTION_ON_DEMAND = 1,    // start in clear; encrypt when the agent answers 906
  ENCRYPTION_IF_POSSIBLE = 2,  // encrypt first when a server key is given, else clear
  ENCRYPTION_MANDATORY = 3,    // encryption must be set up first or connect fails
};

// How a session logs in (AgentConnection::authMethod, proxyAuthMethod). Any
// other non-zero value sends a login that carries the method alone.
enum AuthMethod : int32_t {
  AUTH_METHOD_NONE = 0,   // no login request at all
  AUTH_METHOD_CLEAR = 1,  // the secret as a wide string
  AUTH_METHOD_MD5 = 2,    // MD5 of the secret's bytes (16 bytes)
  AUTH_METHOD_SHA1 = 3,   // SHA-1 of the secret's bytes (20 bytes)
};

// Replaces the library-wide default encryption policy (initially
// ENCRYPTION_ON_DEMAND), which every AgentConnection constructed afterwards
// copies. Any thread; no validation.
KMSRV_EXPORT void SetAgentDEP(int32_t policy);

// Size of a shared secret buffer: at most 63 bytes of text in the ANSI code
// page and a terminator.
inline constexpr size_t AGENT_SECRET_SIZE = 64;
// Characters of AgentConnection::downloadFileName, terminator included.
inline constexpr size_t AGENT_MAX_PATH = 260;

// Download progress callback: the file position reached and the caller's
// argument.
using AgentDownloadProgress = void (*)(uint32_t position, void *arg);

// Reads what a request needs from its reply. Called once a reply came, with
// the agent's result code; returns the request's result (normally that
// code). A borrowed callable, valid for the duration of one request.
class AgentReplyReader {
 public:
  AgentReplyReader() = default;
  template <typename F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, AgentReplyReader>)
      AgentReplyReader(F &&f)  // NOLINT(google-explicit-constructor)
      : object_(const_cast<void *>(static_cast<const void *>(&f))),
        call_([](void *o, const CSCPMessage &reply, uint32_t rcc) -> uint32_t {
          return (*static_cast<std::remove_reference_t<F> *>(o))(reply, rcc);
        }) {}
  explicit operator bool() const { return call_ != nullptr; }
  uint32_t operator()(const CSCPMessage &reply, uint32_t rcc) const {
    return call_(object_, reply, rcc);
  }

 private:
  void *object_ = nullptr;
  uint32_t (*call_)(void *, const CSCPMessage &, uint32_t) = nullptr;
};

class SNMP_ProxyTransport;

// --- Parameter, list and table requests: records and forward declarations.
class InterfaceList;
class Table;
template <typename T>
class StructArray;
struct ARP_CACHE;
struct ROUTING_TABLE;

// Characters of the string members below, terminator included (longer texts
// from the agent are cut).
inline constexpr size_t KMC_AGENT_NAME_LENGTH = 256;
inline constexpr size_t KMC_AGENT_AUX_INFO_LENGTH = 64;

// One parameter the agent supports (getSupportedParameters).
struct KMC_AGENT_PARAM {
  char16_t name[KMC_AGENT_NAME_LENGTH];
  char16_t description[KMC_AGENT_NAME_LENGTH];
  int32_t dataType;  // the agent's 16-bit type code, zero-extended
};

// One table the agent supports (getSupportedParameters).
struct KMC_AGENT_TABLE {
  char16_t name[KMC_AGENT_NAME_LENGTH];
  char16_t auxInfo[KMC_AGENT_AUX_INFO_LENGTH];
  char16_t description[KMC_AGENT_NAME_LENGTH];
};
// --- End of parameter, list and table requests: records.

class KMSRV_EXPORT AgentConnection {
  // The SNMP proxy transport sends its own requests on the session: it uses
  // protocolVersion, nextRequestId, commandTimeout, sendMessage and
  // waitForMessage (which, unlike replyQueue.waitForMessage, returns promptly
  // when the session ends).
  friend class SNMP_ProxyTransport;

 public:
  // Limits of the settings: smaller values are raised to these.
  static constexpr uint32_t kMinConnectTimeout = 1000;
  static constexpr uint32_t kMinCommandTimeout = 500;
  static constexpr uint32_t kMinReceiveTimeout = 10000;
  // Negotiation restarts the agent may force by answering 906 ("Encryption
  // required") in one pass. Legitimately it needs one; a peer that keeps
  // answering 906 after encryption is set up would otherwise loop for ever.
  static constexpr int kMaxEncryptionRestarts = 3;

  // address: the agent's IPv4 address in network byte order; port in host
  // byte order; secret (may be null: empty) is converted to the ANSI code
  // page and cut to fit AGENT_SECRET_SIZE.
  AgentConnection(uint32_t address, uint16_t port, int32_t authMethod = AUTH_METHOD_NONE,
                  const char16_t *secret = nullptr);
  // Disconnects and waits for the receiver thread (see the class comment on
  // subclasses).
  virtual ~AgentConnection();

  // Owns a socket, a thread, locks and heap arrays: a copy would release
  // them twice.
  AgentConnection(const AgentConnection &) = delete;
  AgentConnection &operator=(const AgentConnection &) = delete;

  // Opens the TCP connection (to the proxy when setProxy was called), detects
  // the peer's protocol version, starts the receiver thread and negotiates
  // encryption, login, a liveness test and the proxy hop. serverKey (may be
  // null) is the server's RSA key pair for the key exchange. printFailure
  // makes a failed TCP connect print a message. On failure, *errorCode gets
  // the result code and *socketError the socket error (errno) of the moment
  // the failure was handled; on success 0 and 0. Returns false at once (500)
  // when already connected, and when called from a hook on the session's own
  // receiver thread (which cannot wait for its own end to start anew).
  bool connect(RSA *serverKey = nullptr, bool printFailure = false, uint32_t *errorCode = nullptr,
               uint32_t *socketError = nullptr);
  // Ends the session: an open download ends as failed, the socket is shut
  // down (the receiver thread closes it and ends), the data lines are freed.
  // Does not wait for the receiver thread. Any thread, also a hook.
  void disconnect();
  // disconnect(), then waits for the receiver thread to end and closes the
  // socket. Not from a hook (the receiver thread cannot wait for itself: it
  // then only disconnects).
  void disconnectAndWait();

  bool isConnected() const { return connected.load(); }
  // Whether the session has an encryption context now (every message in
  // both directions then goes in an envelope). Any thread.
  bool isEncrypted();
  SOCKET getSocket() const;
  int32_t getProtocolVersion() const { return protocolVersion.load(); }

  // Settings; each takes effect the next time it is read (connect for the
  // connect time-out, port and policy; the next request for the command
  // time-out; the receiver's next wait for the receive time-out).
  void setConnectionTimeout(uint32_t ms);
  uint32_t getConnectionTimeout() const { return connectTimeout.load(); }
  void setCommandTimeout(uint32_t ms);
  uint32_t getCommandTimeout() const { return commandTimeout.load(); }
  void setRecvTimeout(uint32_t ms);
  void setEncryptionPolicy(int32_t policy) { encryptionPolicy = policy; }
  void setPort(uint16_t p) { port = p; }
  // The narrow secret (null: empty) is copied as at most 63 bytes and a
  // terminator.
  void setAuthData(int32_t method, const char *secret);
  void setDeleteFileOnDownloadFailure(bool flag) { deleteFileOnDownloadFailure = flag; }
  // Most bytes one download may write (kDefaultDownloadLimit unless set); a
  // download growing beyond it fails (903). Set before the download.
  void setDownloadLimit(uint64_t bytes) { downloadLimit = bytes; }
  static constexpr uint64_t kDefaultDownloadLimit = uint64_t{1} << 30;
  // Connect through a proxy agent at proxyAddr (network byte order):
  // proxyPort (host order), the proxy's own login method and secret (may be
  // null: empty). There is no way back to a direct connection.
  void setProxy(uint32_t proxyAddr, uint16_t proxyPort, int32_t proxyAuthMethod,
                const char16_t *proxySecret);
  // TLS 1.3 (kmbase/tls.h): from the next connect() the session runs inside
  // TLS with the agent, or with the proxy when setProxy was called (the hop
  // from the proxy to the agent is the proxy's). The peer is checked as
  // settings say: against its CAs (or the system's) and expectedName (empty:
  // the address connected to), or against a pinned fingerprint; our
  // certificate is presented when settings name one. Session encryption is
  // not used with the TLS peer: TLS already encrypts and authenticates the
  // session, so the key exchange is skipped and every policy is met (behind
  // a proxy, the policy and serverKey still apply to the agent). False,
  // changing nothing, with *error (when given) naming the file or setting,
  // when the settings cannot be used.
  bool setTls(const KmTlsClientSettings &settings, const std::string &expectedName = {},
              std::string *error = nullptr);
  // The same with a context made once (KmTlsMakeClientContext) and shared by
  // many sessions: a server with many peers reads its CA file once.
  void setTlsContext(KmTlsContextRef context, const std::string &expectedName = {});
  // Plain TCP again from the next connect().
  void clearTls();
  // Whether the session runs over TLS now. Any thread.
  bool isTls();
  // Why the last connect() failed with RCC_TLS_FAILED (None otherwise) and
  // OpenSSL's words for it. The thread that called connect().
  KmTlsFailure getTlsFailure() const { return tlsFailure; }
  const std::string &getTlsFailureDetail() const { return tlsFailureDetail; }

  // The next request id (ids are taken atomically; any thread). Never 0:
  // that id belongs to version detection and marks "no key exchange".
  uint32_t generateRequestId() {
    uint32_t id;
    do {
      id = nextRequestId.fetch_add(1);
    } while (id == 0);
    return id;
  }

  // Lines of the last list reply. getDataLine returns "(error)" for an index
  // past the end and null for a line the reply lacked; the pointer stays the
  // session's and is valid until the next list request, disconnect or
  // destruction.
  uint32_t getNumDataLines() const { return numDataLines; }
  const char16_t *getDataLine(uint32_t index) const;

  // Liveness test (MC_KEEPALIVE): 0, the agent's code, 901 or 408.
  uint32_t nop();

  // --- Parameter, list and table requests. Each returns an agent result
  // code (0, the agent's code, 900, 901 or 408). Outputs are written only on
  // 0, except the object outputs, which are set to null first. A count the
  // agent reports that its reply cannot hold, or a table reply that holds
  // no well-formed table, fails the request with 902 (RCC_BAD_RESPONSE) and
  // empty or null outputs.
  //
  // The value of a parameter into buffer (size in characters, terminator
  // included; a longer value is cut).
  uint32_t getParameter(const char16_t *name, uint32_t bufSize, char16_t *buffer);
  // The lines of a list into the data lines (getNumDataLines, getDataLine).
  // A connected session's lines are emptied first, whatever the outcome.
  // One list request at a time per session (see numDataLines).
  uint32_t getList(const char16_t *name);
  // A new Table (caller deletes it), or *table null on any failure, also
  // when the reply holds no well-formed table.
  uint32_t getTable(const char16_t *name, Table **table);
  uint32_t execAction(const char16_t *action, int32_t numArgs, char16_t **args);
  // Has the agent check a service at ipAddr (host byte order). serviceType
  // picks the default port when port is 0 (outside 0..5: port 7); protocol 0
  // means TCP. Waits kServiceCheckTimeout whatever the command time-out.
  uint32_t checkNetworkService(uint32_t *status, uint32_t ipAddr, int32_t serviceType,
                               uint16_t port = 0, uint16_t protocol = 0,
                               const char16_t *request = nullptr,
                               const char16_t *response = nullptr);
  // Two new arrays (caller deletes both), or both null on any failure.
  uint32_t getSupportedParameters(StructArray<KMC_AGENT_PARAM> **paramList,
                                  StructArray<KMC_AGENT_TABLE> **tableList);
  // Asks the agent to send its traps on this session. No connected test:
  // a session without a socket gives 901.
  uint32_t enableTraps();
  // The agent host's network tables from its lists, or null on failure.
  // They use the data lines (one list request at a time) and leave none.
  InterfaceList *getInterfaceList();
  ARP_CACHE *getArpCache();
  ROUTING_TABLE *getRoutingTable();

  // Wait of checkNetworkService: a service check may itself wait for slow
  // servers on the agent's side.
  static constexpr uint32_t kServiceCheckTimeout = 90000;
  // --- End of parameter, list and table requests.

 protected:
  // Diagnostic output of the session: printf-style char16_t format in which
  // %s takes a char16_t string. The default writes one UTF-8 line to
  // standard output. Called from the receiver thread and from connect().
  virtual void PrintMsg(const char16_t *format, ...);
  // An MC_TRAP arrived. Receiver thread; msg is deleted when the hook returns.
  virtual void onTrap(CSCPMessage *msg);
  // An MC_DATA_PUSH arrived. Receiver thread; msg is deleted when it returns.
  virtual void onDataPush(CSCPMessage *msg);
  // Any other message that is not a reply. Receiver thread. Return true when
  // consumed (msg is then deleted when the hook returns); false puts it into
  // replyQueue, where waitForMessage can claim it by code and id, when a
  // caller is waiting for its code at that moment (an answer to a request of
  // the host's own code is claimed so: start the wait before the answer can
  // come, or take it here); otherwise it is dropped, so that a peer cannot
  // fill the queue with messages nobody will claim.
  virtual bool processCustomMessage(CSCPMessage *msg);
  // An open download ended. Receiver thread or the thread that called
  // disconnect(), possibly with stateLock held. The default discards the
  // file of a failed download when deleteFileOnDownloadFailure is set (a file
  // that was appended to is cut back to its length before the download, never
  // removed), stores the outcome in downloadSucceeded and signals
  // downloadDone; an override must do the last two itself.
  virtual void onFileDownload(bool success);

  // The agent's address in host byte order.
  uint32_t getIpAddr() const;
  void Lock() KM_ACQUIRE(stateLock) { stateLock.lock(); }
  void Unlock() KM_RELEASE(stateLock) { stateLock.unlock(); }

  // Request primitives. sendMessage sends msg (the caller keeps it),
  // encrypted when the session has a key; true when it went out whole.
  bool sendMessage(CSCPMessage *msg);
  // The message with this code and request id, or null when none came within
  // timeout_ms or the session ended first. The caller deletes it.
  CSCPMessage *waitForMessage(uint16_t code, uint32_t id, uint32_t timeout_ms);
  // VAR_RCC of the MC_REQUEST_COMPLETED with this id (the reply is deleted);
  // 408 when none came in time, 901 when the session ended first.
  uint32_t waitForRCC(uint32_t id, uint32_t timeout_ms);

  // The request cycle, which every request of the session runs:
  // - with needsConnection and the session not connected: 900, nothing sent,
  //   no request id used;
  // - msg gets the next request id, is sent (901 when that fails) and the
  //   MC_REQUEST_COMPLETED with that id is awaited for timeout_ms (408 when
  //   none comes, 901 when the session ends first);
  // - the result is the reply's VAR_RCC, or what readReply makes of it.
  // msg stays the caller's; its id tells a caller which id was used.
  uint32_t executeRequest(CSCPMessage *msg, bool needsConnection, uint32_t timeout_ms,
                          AgentReplyReader readReply = {});
  // The send-and-wait step of the cycle for a message whose id is already
  // set: sends msg and waits for (replyCode, its id). RCC_SUCCESS with *reply
  // (caller deletes), else 901 or 408 with *reply null.
  uint32_t exchange(CSCPMessage *msg, uint16_t replyCode, uint32_t timeout_ms, CSCPMessage **reply);

  // Frees the data lines. Takes no lock; see numDataLines.
  void destroyResultData();

  // Negotiation steps (connect() runs them).
  uint32_t authenticate(bool useProxyCredentials);
  uint32_t setupEncryption(RSA *serverKey);
  uint32_t setupProxyConnection();
  // The session's encryption context with one more reference (the caller
  // drops it with decRefCount), or null.
  KMCPEncryptionContext *acquireEncryptionContext();

  // --- Members. "Owner" says which thread may touch a member and "guard"
  // which lock guards it. "Caller" is whichever thread configures the session
  // or runs connect(); settings are meant to be set before connect().

  // The agent's IPv4 address, network byte order. Set at construction.
  const uint32_t address;
  // The peer's KMCP version: written by connect() before the receiver thread
  // starts, read by every thread (atomic).
  std::atomic<int32_t> protocolVersion;
  // Login method and secret for the agent. Caller; no lock.
  int32_t authMethod;
  char secret[AGENT_SECRET_SIZE];
  // The TCP socket, INVALID_SOCKET when none. Guard: stateLock; closed only
  // with sendLock held as well.
  SOCKET socket KM_GUARDED_BY(stateLock);
  // Lines of the last list reply: a malloc'd array of malloc'd lines (a null
  // line for a missing field). Written by list requests on one caller thread
  // without a lock, and freed under stateLock by disconnect and the
  // destructor: a list request and the reading of its lines must not overlap
  // with disconnect().
  uint32_t numDataLines;
  char16_t **dataLines;
  // Request ids; any thread (atomic).
  std::atomic<uint32_t> nextRequestId;
  // Time-outs in ms; any thread (atomic).
  std::atomic<uint32_t> commandTimeout;
  std::atomic<uint32_t> connectTimeout;
  std::atomic<uint32_t> receiveTimeout;
  // Received messages waiting to be claimed by code and request id. Safe for
  // concurrent use by itself.
  MsgWaitQueue replyQueue;
  // True only between a successful connect() and the end of the session.
  // Written by connect(), disconnect() and the receiver thread; any thread
  // reads it (atomic).
  std::atomic<bool> connected;
  mutable KmMutex stateLock;
  KmMutex sendLock;
  // The running or ended receiver thread nobody has joined yet. Only the
  // lifetime operations (connect, disconnectAndWait, destructor) touch it.
  THREAD_RECORD *receiverThread;
  // Session encryption; the session holds one reference while it is set.
  // Guard: stateLock.
  KMCPEncryptionContext *encryptionContext KM_GUARDED_BY(stateLock);
  // TLS settings (null context: plain TCP). Caller; no lock.
  KmTlsContextRef tlsContext;
  std::string tlsName;
  // What the last connect() found wrong with TLS. Written by connect().
  KmTlsFailure tlsFailure = KmTlsFailure::None;
  std::string tlsFailureDetail;
  // Settings of the negotiation and proxy. Caller; no lock.
  int32_t encryptionPolicy;
  bool useProxy;
  uint32_t proxyAddress;  // network byte order
  uint16_t port;          // host byte order
  uint16_t proxyPort;     // host byte order
  int32_t proxyAuthMethod;
  char proxySecret[AGENT_SECRET_SIZE];
  // Download state. downloadFile is guarded by stateLock (the receiver thread
  // writes chunks and ends downloads under it, as disconnect() does); the
  // other members are set by the thread that arms a download before its
  // request goes out and read by the receiver thread afterwards.
  int downloadFile KM_GUARDED_BY(stateLock);
  char16_t downloadFileName[AGENT_MAX_PATH];
  uint32_t downloadRequestId;
  KmEvent downloadDone;
  bool downloadSucceeded;
  AgentDownloadProgress downloadProgress;
  void *downloadProgressArg;
  bool deleteFileOnDownloadFailure;
  // Most bytes a download may write; set by the caller thread before it.
  uint64_t downloadLimit;
  // Bytes the open download has written, and the length its file had before
  // (an append; -1 for a file the download created). Guarded by stateLock.
  uint64_t downloadWritten KM_GUARDED_BY(stateLock);
  int64_t downloadKeepLength KM_GUARDED_BY(stateLock);
  // Set while an upload streams; the receiver thread then keeps waiting
  // through idle time-outs. Any thread (atomic).
  std::atomic<bool> uploadInProgress;

 private:
  // The shared session mechanics (session/) over these members, and the
  // receiver's hooks.
  class Link;

  static void ReceiverThreadStarter(void *arg);
  void ReceiverThread();
  // Handles one received message of `size` bytes in buffer (the receiver
  // loop waits for the key hand-over itself).
  void dispatchMessage(KMCP_MESSAGE *msg, uint32_t size);
  // Handles a raw message (header still in wire order).
  void processRawMessage(KMCP_MESSAGE *msg, uint32_t size);
  // Ends the open download (if any): closes the file, calls onFileDownload.
  // Its id, when given, must be the open download's.
  void endDownload(bool success) KM_REQUIRES(stateLock);
  void endDownload(uint32_t id, bool success);
  // Removes the file of a failed download, or cuts an appended one back.
  void discardDownloadFile() KM_REQUIRES(stateLock);
  uint32_t negotiate(RSA *serverKey);

  // True from the moment the session is being torn down (disconnect, the
  // failure path of connect, or the receiver thread leaving its loop) until
  // the next connect() starts a session; the reply queue is shut down at
  // the same moment, so waiters return at once. The receiver thread does not
  // trace a receive failure that a local shutdown caused. Written under
  // stateLock; read by any thread (atomic).
  std::atomic<bool> sessionClosing;
  // Key hand-over: while a key exchange (or a proxy hop, whose answer drops
  // the proxy's key) waits for its answer, keyExchangeId holds its request id
  // (0 when none); the receiver thread, after queuing that answer, waits
  // until the id changes (keyExchangeDone is set each time, and reset by the
  // receiver only) before it reads the next message, so no message is read
  // under a key that is about to change.
  std::atomic<uint32_t> keyExchangeId;
  KmEvent keyExchangeDone;
  // The receiver thread's id, to keep it from joining itself.
  std::atomic<std::thread::id> receiverThreadId;

  // ---- File transfer (agent/file_transfer.cpp) ----
 public:
  // Upload progress callback: the file position reached and the caller's
  // argument.
  using UploadProgress = void (*)(int64_t position, void *arg);
  // What an upload announces as the file's name: everything after the last
  // '/' or '\\' of path (empty when path ends in one), or the whole path.
  // Points into path.
  static const char16_t *uploadFileName(const char16_t *path);
  // Announces the local file at localPath (MC_TRANSFER_FILE), streams it
  // when the agent accepts and returns the agent's final code: 900, 901,
  // 408, the agent's refusal (nothing streamed), 903 when streaming failed.
  // destination may be null. Any caller thread; progress runs on it. While
  // it streams, other messages of the session wait for sendLock.
  uint32_t uploadFile(const char16_t *localPath, const char16_t *destination = nullptr,
                      UploadProgress progress = nullptr, void *arg = nullptr);
  // Sends request (it stays the caller's; its id is replaced by the next
  // request id) and returns the MC_REQUEST_COMPLETED reply (caller deletes),
  // or null when sending failed or no reply came. With downloadPath, the
  // agent's raw MC_FILE_DATA chunks of the request id go into that file
  // (appended when append) and the reply's VAR_RCC tells the outcome of the
  // whole transfer (903 failed, 408 not complete in 30 minutes, 904 another
  // download open, 915 file not opened: then nothing is sent).
  CSCPMessage *customRequest(CSCPMessage *request, const char16_t *downloadPath = nullptr,
                             bool append = false, AgentDownloadProgress progress = nullptr,
                             void *arg = nullptr);

 protected:
  // Longest wait of customRequest for the chunks of a download after the
  // agent accepted the request.
  static constexpr uint32_t kDownloadTimeoutMs = 1800000;
  // Arms a download into path for request id: 0, 904 (one already open) or
  // 915 (cannot open, or the path does not fit downloadFileName). Without
  // append the file is created/truncated with mode 0600; with append it must
  // exist. Caller thread, before the request goes out.
  uint32_t prepareFileDownload(const char16_t *path, uint32_t id, bool append,
                               AgentDownloadProgress progress, void *arg);
  // ---- End of file transfer ----

  // ---- Agent management (agent/management.cpp) ----
 public:
  // Each returns an agent result code: 0, the agent's code, 900 (not
  // connected; startUpgrade, getConfigFile and updateConfigFile only), 901 or
  // 408. Any caller thread.
  //
  // Asks the agent to upgrade itself from a package it already has (sent
  // before with uploadFile): the agent is told the package's name as
  // uploadFile announces it (uploadFileName). 913 for a null path.
  uint32_t startUpgrade(const char16_t *packagePath);
  // The agent's configuration file as text: *configText (malloc'd, the
  // caller frees it) and *size, the file's length in bytes. Both are null
  // and 0 first, and stay so on any failure; an empty file gives 0 with an
  // empty text. The text is as DecodeAgentConfigText makes it. 913 when
  // configText is null (size may be null).
  uint32_t getConfigFile(char16_t **configText, uint32_t *size);
  // Replaces the agent's configuration file with text (converted to the
  // code page, no terminator). 913 for null text or a text too large for
  // any message; nothing is sent then.
  uint32_t updateConfigFile(const char16_t *text);
  // The agent's policies: *info becomes a new AgentPolicyInfo (the caller
  // deletes it) on 0, else null (set first). No connected test: a session
  // without a socket gets 901. A reply whose policy count its fields cannot
  // hold gives 902 (RCC_BAD_RESPONSE).
  uint32_t getPolicyInventory(AgentPolicyInfo **info);
  // Removes the policy with this GUID (AGENT_POLICY_GUID_SIZE bytes, sent as
  // they are). No connected test (901 without a socket); 913 for null.
  uint32_t uninstallPolicy(const uint8_t *guid);
  // ---- End of agent management ----
};
