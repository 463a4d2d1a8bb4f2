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

using kmsrv_session::OpenResult;

// The shared session mechanics over one ISC's members, and what its
// receiver does with what arrives. Made on the stack where needed; it only
// borrows the session.
class ISC::Link final : public kmsrv_session::Link, public kmsrv_session::ReceiverHooks {
 public:
  // The ISC result codes for what the mechanics report themselves.
  // A reply whose result is not a 32-bit field, and a request beyond the
  // session limit, count as internal errors: ISC has no codes of its own.
  static constexpr kmsrv_session::ResultCodes kCodes{
      ISC_RESULT_CONNECTION_BROKEN,  ISC_RESULT_REQUEST_TIMEOUT,     ISC_RESULT_NO_CIPHERS,
      ISC_RESULT_INVALID_PUBLIC_KEY, ISC_RESULT_INVALID_SESSION_KEY, ISC_RESULT_INTERNAL_ERROR,
      ISC_RESULT_INTERNAL_ERROR,     ISC_RESULT_INTERNAL_ERROR};

  explicit Link(ISC &isc)
      : kmsrv_session::Link({isc.socket, isc.encryptionContext, isc.stateLock, isc.sendLock,
                             isc.replyQueue, isc.sessionClosing, isc.keyExchangeId,
                             isc.keyExchangeDone, isc.receiverThread, isc.receiverThreadId,
                             isc.commandTimeout}),
        isc_(isc) {}

  uint32_t receiveTimeoutMs() override { return isc_.receiveTimeout.load(); }
  void report(const char16_t *line) override { isc_.PrintMsg(u"%s", line); }
  void receiveFailed(int result, int socketError) override {
    // Reported whatever the cause, also after a local Disconnect.
    isc_.PrintMsg(u"ISC::ReceiverThread(): RecvKMCPMessage() failed: error=%d, socket_error=%d",
                  result, socketError);
  }
  bool keepWaitingWhenIdle() override { return false; }
  void dispatch(KMCP_MESSAGE *msg, uint32_t size) override { isc_.dispatchMessage(msg, size); }
  void sessionEnding() override { isc_.flags.fetch_and(~ISC_FLAG_CONNECTED); }

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
      keyExchangeDone(false) {
  // No session yet: nothing will arrive, so no wait may block.
  replyQueue.shutdown();
}

ISC::~ISC() { DisconnectAndWait(); }

// ---------------------------------------------------------------------------
// Connect and teardown
// ---------------------------------------------------------------------------

uint32_t ISC::Connect(uint32_t serviceId, RSA *serverKey, bool requireEncryption) {
  if (flags.load() & ISC_FLAG_CONNECTED) return ISC_RESULT_ALREADY_CONNECTED;
  if (requireEncryption)
    flags.fetch_or(ISC_FLAG_ENCRYPTION_REQUIRED);
  else
    flags.fetch_and(~ISC_FLAG_ENCRYPTION_REQUIRED);

  Link link(*this);
  link.finish();  // what is left of an earlier session

  char16_t peer[16];
  IpToStr(ntohl(address), peer);
  const SOCKET sock = KmSocketOpenTcp();
  if (sock == INVALID_SOCKET) {
    PrintMsg(u"ISC: Call to socket() failed");
    return failConnect(ISC_RESULT_SOCKET_ERROR);
  }
  int version = 0;
  const kmsrv_session::TlsTarget tls{tlsContext, tlsName};
  kmsrv_session::TlsOutcome tlsOutcome;
  const OpenResult opened = link.open(sock, address, port, connectTimeout.load(),
                                      commandTimeout.load(), &version, &tls, &tlsOutcome);
  tlsFailure = tlsOutcome.failure;
  tlsFailureDetail = tlsOutcome.detail;
  switch (opened) {
    case OpenResult::TlsFailed:
      PrintMsg(u"Cannot set up TLS with ISC peer %s: %s", peer,
               kmsrv_session::DescribeTlsFailure(tlsOutcome).c_str());
      return failConnect(ISC_RESULT_TLS_FAILED);
    case OpenResult::ConnectFailed:
      PrintMsg(u"Cannot establish connection with ISC peer %s", peer);
      return failConnect(ISC_RESULT_CONNECT_FAILED);
    case OpenResult::VersionUnknown:
      PrintMsg(u"Cannot detect KMCP version for ISC peer %s", peer);
      return failConnect(ISC_RESULT_BAD_PROTOCOL_VERSION);
    case OpenResult::Refused:
      PrintMsg(u"ISC peer %s is busy: too many sessions", peer);
      return failConnect(ISC_RESULT_PEER_BUSY);
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

  if (!link.startReceiver(ReceiverThreadStarter, this)) {
    // Nothing could read the answers: fail now rather than wait for them.
    PrintMsg(u"Cannot start receiver thread for ISC peer %s", peer);
    return failConnect(ISC_RESULT_INTERNAL_ERROR);
  }
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
  // TLS already encrypts and authenticates the session: session encryption
  // inside it would add nothing, so it is not used, and it meets every
  // demand for encryption.
  const bool tls = isTls();
  for (;;) {
    const bool required = (flags.load() & ISC_FLAG_ENCRYPTION_REQUIRED) != 0;
    if (tls) {
      // Nothing to set up.
    } else if (!isEncrypted() && serverKey != nullptr) {
      // A session that has its key keeps it (peers refuse a second one): a
      // peer that still demands encryption is given up on below.
      const uint32_t rcc = SetupEncryption(serverKey);
      if (rcc != ISC_RESULT_SUCCESS && required) {
        PrintMsg(u"Cannot setup encrypted channel with ISC peer %s", peerText);
        return rcc;
      }
      // Not required: go on in clear, silently.
    } else if (!isEncrypted() && required) {
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
  Link link(*this);
  link.abandon(link);
  return result;
}

void ISC::Disconnect() {
  Link link(*this);
  link.beginClose(link);
}

void ISC::DisconnectAndWait() {
  Disconnect();
  Link(*this).finish();
}

bool ISC::isEncrypted() { return Link(*this).isEncrypted(); }

bool ISC::setTls(const KmTlsClientSettings &settings, const std::string &expectedName,
                 std::string *error) {
  KmTlsContextRef context = KmTlsMakeClientContext(settings, error);
  if (context == nullptr) return false;
  setTlsContext(std::move(context), expectedName);
  return true;
}

void ISC::setTlsContext(KmTlsContextRef context, const std::string &expectedName) {
  tlsContext = std::move(context);
  tlsName = expectedName;
}

void ISC::clearTls() {
  tlsContext.reset();
  tlsName.clear();
}

bool ISC::isTls() { return Link(*this).isTls(); }

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
  msg->SetId(takeRequestId());
  if ((flags.load() & ISC_FLAG_CONNECTED) == 0) return ISC_RESULT_CONNECTION_BROKEN;
  CSCPMessage *reply = nullptr;
  const uint32_t rcc =
      Link(*this).request(*msg, MC_REQUEST_COMPLETED, commandTimeout.load(), Link::kCodes, &reply);
  if (reply == nullptr) return rcc;
  const uint32_t result = kmsrv_session::ReplyResult(*reply, Link::kCodes);
  delete reply;
  return result;
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
  return Link(*this).exchangeKey(serverKey, protocolVersion.load(), takeRequestId(),
                                 commandTimeout.load(), Link::kCodes);
}

// ---------------------------------------------------------------------------
// Send and wait
// ---------------------------------------------------------------------------

bool ISC::SendMessageW(CSCPMessage *msg) {
  if (msg == nullptr || (flags.load() & ISC_FLAG_CONNECTED) == 0) return false;
  return Link(*this).send(*msg);
}

CSCPMessage *ISC::WaitForMessage(uint16_t code, uint32_t requestId, uint32_t timeout) {
  bool ended = false;
  return Link(*this).wait(code, requestId, timeout, &ended);
}

uint32_t ISC::WaitForRCC(uint32_t requestId, uint32_t timeout) {
  return Link(*this).waitForRcc(requestId, timeout, Link::kCodes);
}

// ---------------------------------------------------------------------------
// The receiver thread
// ---------------------------------------------------------------------------

void ISC::ReceiverThreadStarter(void *arg) { static_cast<ISC *>(arg)->ReceiverThread(); }

void ISC::ReceiverThread() {
  Link link(*this);
  link.runReceiver(link, commandTimeout.load());
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
