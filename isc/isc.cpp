// ISC: construction, Connect with its negotiation and failure path,
// teardown, the requests, sending and waiting, and the receiver thread. The
// mechanics it shares with the agent session come from session/.
#include "kmsrv/isc.h"

#include <arpa/inet.h>
#include <fcntl.h>

#include <cstdarg>
#include <memory>
#include <span>

#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/debug.h"
#include "kmsrv/protocol.h"
#include "session/session_link.h"

using kmsrv_session::KeyExchangeStep;
using kmsrv_session::OpenResult;

// The members of one ISC as the shared session mechanics see them. Made on
// the stack where needed; it only borrows the session.
class ISC::Link final : public kmsrv_session::ReceiverHooks {
 public:
  explicit Link(ISC &isc) : isc_(isc) {}

  SOCKET socketHandle() override {
    KmLockGuard guard(isc_.stateLock);
    return isc_.socket;
  }
  KMCPEncryptionContext *acquireContext() override {
    KmLockGuard guard(isc_.stateLock);
    if (isc_.encryptionContext != nullptr) isc_.encryptionContext->incRefCount();
    return isc_.encryptionContext;
  }
  void installContext(KMCPEncryptionContext *ctx) override {
    KmLockGuard guard(isc_.stateLock);
    isc_.releaseEncryptionContext();
    isc_.encryptionContext = ctx;
  }
  KmMutex &writeLock() override { return isc_.sendLock; }
  MsgWaitQueue &replies() override { return isc_.replyQueue; }
  bool sessionClosing() override { return isc_.sessionClosing.load(); }
  std::atomic<uint32_t> &keyExchangeId() override { return isc_.keyExchangeId; }
  KmEvent &keyExchangeDone() override { return isc_.keyExchangeDone; }

  uint32_t receiveTimeoutMs() override { return isc_.receiveTimeout.load(); }
  void report(const char16_t *line) override { isc_.PrintMsg(u"%s", line); }
  void receiveFailed(int result, int socketError) override {
    // Reported whatever the cause, also after a local Disconnect.
    isc_.PrintMsg(u"ISC::ReceiverThread(): RecvKMCPMessage() failed: error=%d, socket_error=%d",
                  result, socketError);
  }
  bool keepWaitingWhenIdle() override { return false; }
  void dispatch(KMCP_MESSAGE *msg, uint32_t size) override { isc_.dispatchMessage(msg, size); }

 private:
  ISC &isc_;
};

ISC::ISC() : ISC(inet_addr_w(kDefaultPeer), kDefaultPort) {}

ISC::ISC(uint32_t peerAddress, uint16_t peerPort)
    : flags(0),
      address(peerAddress),
      port(peerPort),
      socket(INVALID_SOCKET),
      // Replaced by the detected version in Connect; set so that nothing
      // reads an indeterminate value before.
      protocolVersion(KMCP_VERSION),
      nextRequestId(1),
      receiveTimeout(kDefaultReceiveTimeout),
      stateLock(KmMutex::kDefaultSpinCount),
      sendLock(KmMutex::kDefaultSpinCount),
      receiverThread(nullptr),
      encryptionContext(nullptr),
      commandTimeout(kDefaultCommandTimeout),
      connectTimeout(kDefaultConnectTimeout),
      sessionClosing(true),
      keyExchangeId(0),
      keyExchangeDone(false) {}

ISC::~ISC() {
  Disconnect();
  joinReceiver();
  closeSocket();
  KmLockGuard guard(stateLock);
  releaseEncryptionContext();
}

// ---------------------------------------------------------------------------
// Connect and teardown
// ---------------------------------------------------------------------------

uint32_t ISC::Connect(uint32_t serviceId, RSA *serverKey, bool requireEncryption) {
  if (flags.load() & ISC_FLAG_CONNECTED) return ISC_RESULT_ALREADY_CONNECTED;
  if (requireEncryption)
    flags.fetch_or(ISC_FLAG_ENCRYPTION_REQUIRED);
  else
    flags.fetch_and(~ISC_FLAG_ENCRYPTION_REQUIRED);

  // What is left of an earlier session.
  joinReceiver();
  closeSocket();
  {
    KmLockGuard guard(stateLock);
    releaseEncryptionContext();
  }

  char16_t peer[16];
  IpToStr(ntohl(address), peer);
  const SOCKET sock = KmSocketOpenTcp();
  if (sock == INVALID_SOCKET) {
    PrintMsg(u"ISC: Call to socket() failed");
    return failConnect(ISC_RESULT_SOCKET_ERROR);
  }
  {
    // From here on Disconnect can cut the connect short.
    KmLockGuard guard(stateLock);
    sessionClosing = false;
    socket = sock;
  }

  int version = 0;
  switch (kmsrv_session::ConnectAndDetectVersion(sock, address, port, connectTimeout.load(),
                                                 commandTimeout.load(), sendLock, &version)) {
    case OpenResult::ConnectFailed:
      PrintMsg(u"Cannot establish connection with ISC peer %s", peer);
      return failConnect(ISC_RESULT_CONNECT_FAILED);
    case OpenResult::VersionUnknown:
      PrintMsg(u"Cannot detect KMCP version for ISC peer %s", peer);
      return failConnect(ISC_RESULT_BAD_PROTOCOL_VERSION);
    case OpenResult::Connected:
      break;
  }
  if (version > KMCP_VERSION) {
    PrintMsg(u"ISC peer %s uses incompatible KMCP version %d", peer, version);
    return failConnect(ISC_RESULT_BAD_PROTOCOL_VERSION);
  }
  protocolVersion = version;
  // The base library reads and writes in either mode; a non-blocking socket
  // never leaves a writer stuck inside the kernel.
  if (const int mode = ::fcntl(sock, F_GETFL); mode >= 0) ::fcntl(sock, F_SETFL, mode | O_NONBLOCK);

  // When the thread cannot be started, the requests below get no replies,
  // time out, and Connect fails.
  receiverThread = ThreadCreateEx(ReceiverThreadStarter, this);
  {
    // From here SendMessageW sends, so that negotiation can go out; unless
    // the receiver thread has already seen the session end.
    KmLockGuard guard(stateLock);
    if (!sessionClosing) flags.fetch_or(ISC_FLAG_CONNECTED);
  }

  const uint32_t result = negotiate(serviceId, serverKey, peer);
  if (result == ISC_RESULT_SUCCESS) return ISC_RESULT_SUCCESS;
  return failConnect(result);
}

uint32_t ISC::negotiate(uint32_t serviceId, RSA *serverKey, const char16_t *peerText) {
  int restarts = 0;
  for (;;) {
    const bool required = (flags.load() & ISC_FLAG_ENCRYPTION_REQUIRED) != 0;
    if (serverKey != nullptr) {
      const uint32_t rcc = SetupEncryption(serverKey);
      if (rcc != ISC_RESULT_SUCCESS && required) {
        PrintMsg(u"Cannot setup encrypted channel with ISC peer %s", peerText);
        return rcc;
      }
      // Not required: go on in clear, silently.
    } else if (required) {
      PrintMsg(u"Cannot setup encrypted channel with ISC peer %s", peerText);
      return ISC_RESULT_ENCRYPTION_REQUIRED;
    }

    const uint32_t rcc = Nop();
    if (rcc == ISC_RESULT_SUCCESS) return ConnectToService(serviceId);
    if (rcc == ISC_RESULT_ENCRYPTION_REQUIRED && restarts < kMaxEncryptionRestarts) {
      flags.fetch_or(ISC_FLAG_ENCRYPTION_REQUIRED);
      restarts++;
      continue;
    }
    PrintMsg(u"Communication with ISC peer %s failed (%s)", peerText, ISCErrorCodeToText(rcc));
    return rcc;
  }
}

uint32_t ISC::failConnect(uint32_t result) {
  shutdownSession();
  // Outside the lock: the thread takes stateLock as it ends.
  joinReceiver();
  closeSocket();
  KmLockGuard guard(stateLock);
  releaseEncryptionContext();
  return result;
}

void ISC::Disconnect() { shutdownSession(); }

void ISC::DisconnectAndWait() {
  Disconnect();
  if (kmsrv_session::OnReceiverThread(receiverThreadId)) return;
  joinReceiver();
  closeSocket();
}

void ISC::shutdownSession() {
  KmLockGuard guard(stateLock);
  sessionClosing = true;
  if (socket != INVALID_SOCKET) {
    KmSocketShutdown(socket, SHUT_RDWR);
    flags.fetch_and(~ISC_FLAG_CONNECTED);
  }
}

void ISC::joinReceiver() { kmsrv_session::JoinReceiverThread(&receiverThread, receiverThreadId); }

void ISC::closeSocket() { kmsrv_session::CloseSessionSocket(sendLock, stateLock, &socket); }

void ISC::releaseEncryptionContext() {
  if (encryptionContext != nullptr) {
    encryptionContext->decRefCount();
    encryptionContext = nullptr;
  }
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

uint32_t ISC::takeRequestId() {
  // Id 0 belongs to version detection and marks "no key exchange".
  uint32_t id;
  do {
    id = nextRequestId.fetch_add(1);
  } while (id == 0);
  return id;
}

uint32_t ISC::executeRequest(CSCPMessage *msg) {
  const uint32_t id = takeRequestId();
  msg->SetId(id);
  if (!SendMessageW(msg)) return ISC_RESULT_CONNECTION_BROKEN;
  return WaitForRCC(id, commandTimeout.load());
}

uint32_t ISC::Nop() {
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_KEEPALIVE);
  return executeRequest(&msg);
}

uint32_t ISC::ConnectToService(uint32_t serviceId) {
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_ISC_CONNECT_TO_SERVICE);
  msg.SetVariable(VAR_SERVICE_ID, serviceId);
  return executeRequest(&msg);
}

uint32_t ISC::SetupEncryption(RSA *serverKey) {
  if ((flags.load() & ISC_FLAG_CONNECTED) == 0) return ISC_RESULT_CONNECTION_BROKEN;
  Link link(*this);
  int setup = KMCP_ENCRYPTION_INTERNAL_ERROR;
  switch (kmsrv_session::ExchangeSessionKey(link, serverKey, protocolVersion.load(),
                                            takeRequestId(), commandTimeout.load(), &setup)) {
    case KeyExchangeStep::SendFailed:
    case KeyExchangeStep::SessionEnded:
      return ISC_RESULT_CONNECTION_BROKEN;
    case KeyExchangeStep::NoAnswer:
      return ISC_RESULT_REQUEST_TIMEOUT;
    case KeyExchangeStep::Answered:
      break;
  }
  switch (setup) {
    case KMCP_ENCRYPTION_OK:
      return ISC_RESULT_SUCCESS;
    case KMCP_ENCRYPTION_NO_CIPHERS:
      return ISC_RESULT_NO_CIPHERS;
    case KMCP_ENCRYPTION_INVALID_PUBLIC_KEY:
      return ISC_RESULT_INVALID_PUBLIC_KEY;
    case KMCP_ENCRYPTION_INVALID_SESSION_KEY:
      return ISC_RESULT_INVALID_SESSION_KEY;
    default:
      return ISC_RESULT_INTERNAL_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Send and wait
// ---------------------------------------------------------------------------

bool ISC::SendMessageW(CSCPMessage *msg) {
  if (msg == nullptr || (flags.load() & ISC_FLAG_CONNECTED) == 0) return false;
  Link link(*this);
  return kmsrv_session::SendSessionMessage(link, *msg);
}

CSCPMessage *ISC::WaitForMessage(uint16_t code, uint32_t requestId, uint32_t timeout) {
  Link link(*this);
  bool ended = false;
  return kmsrv_session::WaitForSessionReply(link, code, requestId, timeout, &ended);
}

uint32_t ISC::WaitForRCC(uint32_t requestId, uint32_t timeout) {
  Link link(*this);
  bool ended = false;
  CSCPMessage *reply =
      kmsrv_session::WaitForSessionReply(link, MC_REQUEST_COMPLETED, requestId, timeout, &ended);
  if (reply == nullptr) return ended ? ISC_RESULT_CONNECTION_BROKEN : ISC_RESULT_REQUEST_TIMEOUT;
  const uint32_t rcc = reply->GetVariableLong(VAR_RCC);
  delete reply;
  return rcc;
}

// ---------------------------------------------------------------------------
// The receiver thread
// ---------------------------------------------------------------------------

void ISC::ReceiverThreadStarter(void *arg) { static_cast<ISC *>(arg)->ReceiverThread(); }

void ISC::ReceiverThread() {
  receiverThreadId = std::this_thread::get_id();
  Link link(*this);
  kmsrv_session::RunReceiverLoop(link, kReceiveBufferSize, commandTimeout.load());

  // The session is over. Shut the socket down first, whatever ended the
  // loop, so that a sender blocked in a write gives sendLock up; then close
  // it with both locks held.
  {
    KmLockGuard guard(stateLock);
    sessionClosing = true;
    flags.fetch_and(~ISC_FLAG_CONNECTED);
    if (socket != INVALID_SOCKET) KmSocketShutdown(socket, SHUT_RDWR);
  }
  KmLockGuard sendGuard(sendLock);
  KmLockGuard guard(stateLock);
  if (socket != INVALID_SOCKET) {
    KmSocketClose(socket);
    socket = INVALID_SOCKET;
  }
  releaseEncryptionContext();
}

void ISC::dispatchMessage(KMCP_MESSAGE *raw, uint32_t size) {
  if (ntohs(raw->flags) & FLAG_RAW) {
    // Nothing of the ISC session travels raw: trace it and drop it.
    raw->code = ntohs(raw->code);
    raw->id = ntohl(raw->id);
    raw->numFields = ntohl(raw->numFields);
    char16_t name[KMCP_CODE_NAME_SIZE];
    char16_t peer[16];
    DbgPrintf(6, u"ISC: Received raw message %s from peer at %s", KMCPMessageCodeName(raw->code, name),
              IpToStr(ntohl(address), peer));
    return;
  }
  KmcpDecodeStatus status = KmcpDecodeStatus::Ok;
  std::unique_ptr<CSCPMessage> msg = CSCPMessage::decode(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(raw), size), protocolVersion.load(),
      &status);
  if (msg == nullptr) {
    char16_t name[KMCP_CODE_NAME_SIZE];
    DbgPrintf(6, u"ISC: malformed message %s from peer skipped (%hs)",
              KMCPMessageCodeName(ntohs(raw->code), name), KmcpDecodeStatusText(status));
    return;
  }
  replyQueue.put(msg.release());
}

// ---------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------

void ISC::PrintMsg(const char16_t *format, ...) {
  va_list args;
  va_start(args, format);
  kmsrv_session::WriteSessionLine(format, args);
  va_end(args);
}
