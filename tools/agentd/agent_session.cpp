#include "agent_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "bad_messages.h"
#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"
#include "login_check.h"
#include "proxy_relay.h"

namespace kmagent::detail {
namespace {

uint16_t LoadBe16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t LoadBe32(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return ntohl(v);
}

std::string AddressText(uint32_t hostOrder) {
  char16_t buf[16];
  return KmWideToUtf8(IpToStr(hostOrder, buf));
}

std::string CodeName(uint16_t code) {
  char16_t buf[KMCP_CODE_NAME_SIZE];
  return KmWideToUtf8(KMCPMessageCodeName(code, buf));
}

// Codes that answer or accompany requests; a session never answers them.
bool IsAnswerCode(uint16_t code) {
  return code == MC_REQUEST_COMPLETED || code == MC_SESSION_KEY || code == MC_TRAP ||
         code == MC_DATA_PUSH || code == MC_ENCRYPTED_MESSAGE;
}

// Aligned storage for a wire message (the codec reads the header as a
// KMCP_MESSAGE).
struct AlignedBuffer {
  explicit AlignedBuffer(size_t size) : words(new (std::nothrow) uint64_t[(size + 7) / 8]) {}
  uint8_t *bytes() { return reinterpret_cast<uint8_t *>(words.get()); }
  std::unique_ptr<uint64_t[]> words;
};

}  // namespace

uint32_t SessionBufferSize() { return static_cast<uint32_t>(KMCPEncryptedSize(kMaxRequestSize)); }

const Session::Route Session::kRoutes[] = {
    {MC_KEEPALIVE, &Session::onKeepalive},
    {MC_TRANSFER_FILE, &Session::onTransferFile},
    {MC_AGENT_DOWNLOAD_FILE, &Session::onDownloadFile},
    {MC_GET_PARAMETER, &Session::onGetParameter},
    {MC_GET_LIST, &Session::onGetList},
    {MC_GET_TABLE, &Session::onGetTable},
    {MC_GET_PARAMETER_LIST, &Session::onGetParameterList},
    {MC_ENABLE_TRAPS, &Session::onEnableTraps},
    {MC_EXEC_ACTION, &Session::onExecAction},
    {MC_CHECK_SERVICE, &Session::onCheckService},
    {MC_SNMP_REQUEST, &Session::onSnmpRequest},
    {MC_UPGRADE_AGENT, &Session::onUpgradeAgent},
    {MC_GET_AGENT_CONFIG, &Session::onGetAgentConfig},
    {MC_UPDATE_AGENT_CONFIG, &Session::onUpdateAgentConfig},
    {MC_GET_POLICY_INVENTORY, &Session::onGetPolicyInventory},
    {MC_UNINSTALL_POLICY, &Session::onUninstallPolicy},
};

Session::Session(ServerShared &shared, SOCKET sock, uint64_t number, uint32_t peerAddress,
                 uint16_t peerPort)
    : shared_(shared),
      sock_(sock),
      number_(number),
      peerAddress_(peerAddress),
      peerPort_(peerPort),
      version_(shared.config.reportVersion > 0 ? shared.config.reportVersion : 1) {}

Session::~Session() {
  dropContexts();
  KmSocketClose(sock_);
}

void Session::run() {
  shared_.logf(LogLevel::Info, "session %llu: connection from %s:%u",
               static_cast<unsigned long long>(number_), AddressText(peerAddress_).c_str(),
               peerPort_);
  const uint32_t bufferSize = SessionBufferSize();
  AlignedBuffer message(bufferSize);
  AlignedBuffer decryption(bufferSize);
  recvState_.reset(new (std::nothrow) CSCP_BUFFER);
  if (message.words == nullptr || decryption.words == nullptr || recvState_ == nullptr) {
    shared_.logf(LogLevel::Error, "session %llu: out of memory",
                 static_cast<unsigned long long>(number_));
  } else {
    RecvKMCPMessage(INVALID_SOCKET, nullptr, recvState_.get(), 0, nullptr, nullptr, 0);
    const uint32_t idle = shared_.config.idleTimeoutMs;
    auto *msg = reinterpret_cast<KMCP_MESSAGE *>(message.bytes());
    Next next = Next::Continue;
    while (next == Next::Continue) {
      // The framing leaves an envelope's code in the decryption buffer for
      // every encrypted message, and never touches it for a clear one: a
      // cleared code there tells afterwards which of the two arrived.
      decryption.bytes()[0] = decryption.bytes()[1] = 0;
      // A clear message read whole is handled where it lies in the read
      // buffer (got points there); anything else arrives in msg.
      KMCP_MESSAGE *got = msg;
      const int r = RecvKMCPMessageInPlace(sock_, msg, &got, recvState_.get(), bufferSize, &recvCtx_,
                                           decryption.bytes(), idle != 0 ? idle : KM_INFINITE);
      const uint8_t *bytes = reinterpret_cast<const uint8_t *>(got);
      if (r == KMCP_RECV_TIMEOUT) {
        shared_.logf(LogLevel::Info, "session %llu: idle for %u ms, closing",
                     static_cast<unsigned long long>(number_), idle);
        break;
      }
      if (r <= KMCP_RECV_CLOSED) {
        if (r < 0) {
          shared_.logf(LogLevel::Debug, "session %llu: receive failed (socket error %d)",
                       static_cast<unsigned long long>(number_), KmGetLastSocketError());
        }
        break;
      }
      if (r == KMCP_RECV_UNDECRYPTABLE) {
        shared_.logf(LogLevel::Info, "session %llu: message cannot be decrypted, skipped",
                     static_cast<unsigned long long>(number_));
        continue;
      }
      if (r == KMCP_RECV_TOO_LARGE) {
        next = handleTooLarge(bytes);
        continue;
      }
      const bool encrypted = LoadBe16(decryption.bytes()) == MC_ENCRYPTED_MESSAGE;
      next = handle(bytes, static_cast<uint32_t>(r), encrypted);
    }
    if (next == Next::Relay) {
      SOCKET target;
      {
        KmLockGuard state(stateLock_);
        target = target_;
      }
      relay(target);
    }
  }
  {
    KmLockGuard state(stateLock_);
    ready_ = false;
  }
  dropContexts();
  abortUpload();
  // The peer learns of the end now, not when the last owner lets go.
  KmSocketShutdown(sock_, SHUT_RDWR);
  recvState_.reset();
  shared_.logf(LogLevel::Info, "session %llu: closed", static_cast<unsigned long long>(number_));
  ended_.store(true, std::memory_order_release);
}

void Session::requestStop() {
  KmLockGuard state(stateLock_);
  stopRequested_ = true;
  KmSocketShutdown(sock_, SHUT_RDWR);
  if (target_ != INVALID_SOCKET) {
    KmSocketShutdown(target_, SHUT_RDWR);
  }
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

Session::Next Session::handleTooLarge(const uint8_t *header) {
  const uint16_t code = LoadBe16(header);
  const uint16_t flags = LoadBe16(header + 2);
  const uint32_t size = LoadBe32(header + 4);
  const uint32_t id = LoadBe32(header + 8);
  shared_.logf(LogLevel::Info, "session %llu: %s of %u bytes is too large, skipped",
               static_cast<unsigned long long>(number_), CodeName(code).c_str(), size);
  // A clear request is answered at once, so its sender need not wait for a
  // reply that cannot come. An envelope hides its request id.
  if ((flags & FLAG_RAW) != 0 || IsAnswerCode(code)) {
    return Next::Continue;
  }
  return reply(id, RCC_OUT_OF_RESOURCES);
}

Session::Next Session::handle(const uint8_t *bytes, uint32_t length, bool encrypted) {
  const uint16_t code = LoadBe16(bytes);
  const uint16_t flags = LoadBe16(bytes + 2);
  const uint32_t id = LoadBe32(bytes + 8);
  if ((flags & FLAG_RAW) != 0 && code == MC_FILE_DATA) {
    return handleFileData(bytes, length, encrypted);
  }
  if ((flags & FLAG_RAW) != 0) {
    // Raw data other than file chunks has no use here.
    shared_.logf(LogLevel::Debug, "session %llu: raw %s dropped",
                 static_cast<unsigned long long>(number_), CodeName(code).c_str());
    return Next::Continue;
  }
  KmcpDecodeStatus status = KmcpDecodeStatus::Ok;
  std::unique_ptr<CSCPMessage> request =
      CSCPMessage::decode(std::span<const uint8_t>(bytes, length), version_, &status);
  if (request == nullptr) {
    shared_.logf(LogLevel::Info, "session %llu: malformed %s (%s)",
                 static_cast<unsigned long long>(number_), CodeName(code).c_str(),
                 KmcpDecodeStatusText(status));
    return IsAnswerCode(code) ? Next::Continue : reply(id, RCC_MALFORMED_COMMAND);
  }
  shared_.records.addRequest({number_, code, id, encrypted});
  switch (code) {
    case MC_GET_KMCP_CAPS:
      return handleVersion(*request);
    case MC_REQUEST_SESSION_KEY:
      return handleKeyRequest(*request);
    case MC_LOGIN:
      return handleLogin(*request, encrypted);
    case MC_SETUP_PROXY_CONNECTION:
      return handleProxy(*request, encrypted);
    case MC_AGENT_TEST_TRIGGER:
      if (testTriggerEnabled()) {
        return handleTestTrigger(*request, encrypted);
      }
      return handleRequest(*request, encrypted);
    default:
      if (IsAnswerCode(code)) {
        return Next::Continue;
      }
      return handleRequest(*request, encrypted);
  }
}

uint32_t Session::gate(uint16_t code, bool encrypted) const {
  if (shared_.config.requireEncryption && (recvCtx_ == nullptr || !encrypted)) {
    return RCC_ENCRYPTION_REQUIRED;
  }
  if (code != MC_LOGIN && !shared_.config.secret.empty() && !authenticated_) {
    return RCC_AUTH_REQUIRED;
  }
  return 0;
}

bool Session::testTriggerEnabled() const {
  const AgentConfig &c = shared_.config;
  return c.sendOversizedMessage || c.sendWrongSizeMessage || c.sendUndecryptableMessage;
}

Session::Next Session::handleRequest(const CSCPMessage &request, bool encrypted) {
  if (uint32_t refused = gate(request.GetCode(), encrypted); refused != 0) {
    return reply(request.GetId(), refused);
  }
  CSCPMessage answer(version_);
  answer.SetCode(MC_REQUEST_COMPLETED);
  answer.SetId(request.GetId());
  uint32_t rcc = RCC_UNKNOWN_COMMAND;
  for (const Route &route : kRoutes) {
    if (route.code == request.GetCode()) {
      rcc = (this->*route.handler)(request, &answer);
      break;
    }
  }
  answer.SetVariable(VAR_RCC, rcc);
  if (answer.EncodedSize() > kMaxRequestSize) {
    // No client reads it: a list or table of a host this large is refused
    // as a whole rather than cut.
    shared_.logf(LogLevel::Info, "session %llu: answer to %s too large (%zu bytes)",
                 static_cast<unsigned long long>(number_), CodeName(request.GetCode()).c_str(),
                 answer.EncodedSize());
    return reply(request.GetId(), RCC_OUT_OF_RESOURCES);
  }
  return sendReady(answer);
}

uint32_t Session::onKeepalive(const CSCPMessage &, CSCPMessage *) { return RCC_SUCCESS; }

// ---------------------------------------------------------------------------
// Negotiation
// ---------------------------------------------------------------------------

Session::Next Session::handleVersion(const CSCPMessage &request) {
  const int32_t reported = shared_.config.reportVersion;
  if (reported < 0) {
    return Next::Continue;
  }
  if (reported == 0) {
    return reply(request.GetId(), RCC_UNKNOWN_COMMAND);
  }
  if (!delay()) {
    return Next::End;
  }
  KMCPEncryptionContext *ctx = acquireSendContext();
  if (ctx != nullptr) {
    // Detection normally precedes encryption; a session that is already
    // encrypted answers in its envelope like everything else.
    ctx->decRefCount();
    CSCPMessage answer(version_);
    answer.SetCode(MC_GET_KMCP_CAPS);
    answer.SetId(request.GetId());
    answer.SetVariable(VAR_KMCP_VERSION, static_cast<uint32_t>(reported));
    KmLockGuard send(sendLock_);
    return counted(sendMessageLocked(answer));
  }
  return counted(KMCPAnswerProtocolVersion(sock_, request.GetId(), reported, &sendLock_));
}

Session::Next Session::handleKeyRequest(const CSCPMessage &request) {
  // Until the peer shows it holds the new key (its next request, which comes
  // encrypted), an unsolicited message could reach it under a key it does
  // not have yet.
  markReady(false);
  if (shared_.config.neverAnswerKeyRequest) {
    shared_.logf(LogLevel::Debug, "session %llu: key request %u left unanswered",
                 static_cast<unsigned long long>(number_), request.GetId());
    return Next::Continue;
  }
  CSCPMessage answer(version_);
  KMCPEncryptionContext *ctx = nullptr;
  const int result = KMCPProcessKeyRequest(&request, KMCP_SUPPORTED_CIPHERS, &answer, &ctx);
  if (result != KMCP_ENCRYPTION_OK) {
    shared_.logf(LogLevel::Info, "session %llu: key exchange failed: %s",
                 static_cast<unsigned long long>(number_), KMCPEncryptionResultText(result));
  }
  if (!delay()) {
    if (ctx != nullptr) {
      ctx->decRefCount();
    }
    return Next::End;
  }
  bool sent;
  {
    // The answer goes out under the old key (or clear); everything after it
    // under the new one. Both happen under the send lock, so no other sender
    // slips a message in between.
    KmLockGuard send(sendLock_);
    sent = sendMessageLocked(answer);
    if (sent && ctx != nullptr) {
      installContext(ctx);
      ctx = nullptr;
    }
  }
  if (ctx != nullptr) {
    ctx->decRefCount();
  }
  return counted(sent);
}

Session::Next Session::handleLogin(const CSCPMessage &request, bool encrypted) {
  if (uint32_t refused = gate(MC_LOGIN, encrypted); refused != 0) {
    return reply(request.GetId(), refused);
  }
  LoginRecord record{};
  const uint32_t rcc = CheckLogin(request, shared_.config.secret, &record);
  record.session = number_;
  record.result = rcc;
  const uint16_t method = record.method;
  shared_.records.addLogin(std::move(record));
  authenticated_ = rcc == RCC_SUCCESS;
  if (!authenticated_) {
    markReady(false);
    shared_.logf(LogLevel::Info, "session %llu: login with method %u refused",
                 static_cast<unsigned long long>(number_), method);
  }
  if (!authenticated_) {
    return reply(request.GetId(), rcc);
  }
  CSCPMessage answer(version_);
  answer.SetCode(MC_REQUEST_COMPLETED);
  answer.SetId(request.GetId());
  answer.SetVariable(VAR_RCC, rcc);
  return sendReady(answer);
}

// ---------------------------------------------------------------------------
// Proxy hop
// ---------------------------------------------------------------------------

uint32_t Session::connectTarget(uint32_t address, uint16_t port, SOCKET *target) {
  SOCKET s = KmSocketOpenTcp();
  if (s == INVALID_SOCKET) {
    return RCC_OUT_OF_RESOURCES;
  }
  {
    KmLockGuard state(stateLock_);
    if (stopRequested_) {
      KmSocketClose(s);
      return RCC_CONNECT_FAILED;
    }
    target_ = s;  // from here on requestStop can cut the connect short
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  const bool connected = ConnectEx(s, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa),
                                   shared_.config.proxyConnectTimeoutMs) == 0;
  const int error = KmGetLastSocketError();
  bool stopped;
  {
    KmLockGuard state(stateLock_);
    stopped = stopRequested_;
    if (!connected || stopped) {
      target_ = INVALID_SOCKET;
    }
  }
  if (!connected || stopped) {
    KmSocketClose(s);
    shared_.logf(LogLevel::Info, "session %llu: proxy connect to %s:%u failed (error %d)",
                 static_cast<unsigned long long>(number_), AddressText(address).c_str(), port,
                 connected ? 0 : error);
    return RCC_CONNECT_FAILED;
  }
  *target = s;
  return RCC_SUCCESS;
}

Session::Next Session::handleProxy(const CSCPMessage &request, bool encrypted) {
  const uint32_t id = request.GetId();
  if (uint32_t refused = gate(MC_SETUP_PROXY_CONNECTION, encrypted); refused != 0) {
    return reply(id, refused);
  }
  const AgentConfig &config = shared_.config;
  const bool complete =
      request.IsVariableExist(VAR_IP_ADDRESS) && request.IsVariableExist(VAR_AGENT_PORT);
  const uint32_t address = request.GetVariableLong(VAR_IP_ADDRESS);
  const uint16_t port = request.GetVariableShort(VAR_AGENT_PORT);
  bool allowed = false;
  for (const Ipv4Network &net : config.proxyAllowed) {
    allowed = allowed || (address & net.mask) == (net.address & net.mask);
  }
  uint32_t rcc;
  SOCKET target = INVALID_SOCKET;
  if (!complete) {
    rcc = RCC_MALFORMED_COMMAND;
  } else if (!config.allowProxy || !allowed || port == 0) {
    rcc = RCC_ACCESS_DENIED;
  } else {
    rcc = connectTarget(address, port, &target);
  }
  shared_.records.addProxyHop({number_, address, port, rcc});
  if (rcc != RCC_SUCCESS) {
    return reply(id, rcc);
  }

  CSCPMessage answer(version_);
  answer.SetCode(MC_REQUEST_COMPLETED);
  answer.SetId(id);
  answer.SetVariable(VAR_RCC, RCC_SUCCESS);
  bool sent = false;
  if (delay()) {
    KmLockGuard send(sendLock_);
    // Nothing of the agent's own may follow the answer: from there on the
    // stream belongs to the target. The answer itself still goes in the
    // session's envelope; the hop's client drops that key once it has it.
    markReady(false);
    sent = sendMessageLocked(answer);
  }
  dropContexts();
  if (counted(sent) == Next::End) {
    {
      KmLockGuard state(stateLock_);
      target_ = INVALID_SOCKET;
    }
    KmSocketClose(target);
    return Next::End;
  }
  shared_.logf(LogLevel::Info, "session %llu: relaying to %s:%u",
               static_cast<unsigned long long>(number_), AddressText(address).c_str(), port);
  return Next::Relay;
}

void Session::relay(SOCKET target) {
  // Bytes the client sent after its hop request and that the framing has
  // already read belong to the target.
  const std::span<const uint8_t> pending = KmReceivePending(recvState_.get());
  const RelayEnd end = RelayStreams(sock_, target, pending, shared_.config.idleTimeoutMs);
  shared_.logf(LogLevel::Info, "session %llu: proxy hop ended (%s)",
               static_cast<unsigned long long>(number_),
               end == RelayEnd::ClientClosed   ? "client closed"
               : end == RelayEnd::TargetClosed ? "target closed"
                                               : "idle");
  {
    KmLockGuard state(stateLock_);
    target_ = INVALID_SOCKET;
  }
  KmSocketShutdown(target, SHUT_RDWR);
  KmSocketClose(target);
}

// ---------------------------------------------------------------------------
// Test trigger and unsolicited messages
// ---------------------------------------------------------------------------

Session::Next Session::handleTestTrigger(const CSCPMessage &request, bool encrypted) {
  if (uint32_t refused = gate(request.GetCode(), encrypted); refused != 0) {
    return reply(request.GetId(), refused);
  }
  if (!delay()) {
    return Next::End;
  }
  const AgentConfig &c = shared_.config;
  CSCPMessage answer(version_);
  answer.SetCode(MC_REQUEST_COMPLETED);
  answer.SetId(request.GetId());
  answer.SetVariable(VAR_RCC, RCC_SUCCESS);
  bool sent = true;
  {
    KmLockGuard send(sendLock_);
    if (c.sendOversizedMessage) {
      sent = sendBadLocked(BadMessage::Oversized);
    }
    if (sent && c.sendWrongSizeMessage) {
      sent = sendBadLocked(BadMessage::WrongSize);
    }
    if (sent && c.sendUndecryptableMessage) {
      sent = sendBadLocked(BadMessage::Undecryptable);
    }
    if (sent) {
      sent = sendMessageLocked(answer);
    }
  }
  return counted(sent);
}

bool Session::sendUnsolicited(std::span<const uint8_t> wire, bool isTrap) {
  KmLockGuard send(sendLock_);
  {
    KmLockGuard state(stateLock_);
    if (!ready_ || (isTrap && shared_.config.trapsOnlyWhenEnabled && !trapsEnabled_)) {
      return false;
    }
  }
  return sendWireLocked(wire.data(), wire.size());
}

bool Session::sendBad(BadMessage kind) {
  KmLockGuard send(sendLock_);
  {
    KmLockGuard state(stateLock_);
    if (!ready_) {
      return false;
    }
  }
  return sendBadLocked(kind);
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

Session::Next Session::reply(uint32_t id, uint32_t rcc) {
  CSCPMessage answer(version_);
  answer.SetCode(MC_REQUEST_COMPLETED);
  answer.SetId(id);
  answer.SetVariable(VAR_RCC, rcc);
  return send(answer);
}

Session::Next Session::send(const CSCPMessage &msg) {
  if (!delay()) {
    return Next::End;
  }
  KmLockGuard send(sendLock_);
  return counted(sendMessageLocked(msg));
}

Session::Next Session::sendReady(const CSCPMessage &msg) {
  if (!delay()) {
    return Next::End;
  }
  bool sent;
  {
    // Ready before the send lock is let go: an unsolicited message cannot
    // overtake the answer, and one sent after the peer has read the answer
    // reaches it.
    KmLockGuard send(sendLock_);
    sent = sendMessageLocked(msg);
    if (sent) {
      markReady(true);
    }
  }
  return counted(sent);
}

bool Session::delay() {
  const uint32_t ms = shared_.config.replyDelayMs;
  return ms == 0 || !shared_.stopping.wait(ms);
}

Session::Next Session::counted(bool sent) {
  if (!sent) {
    return Next::End;
  }
  ++answered_;
  const uint32_t limit = shared_.config.closeAfterRequests;
  if (limit != 0 && answered_ >= limit) {
    shared_.logf(LogLevel::Info, "session %llu: closing after %u answers",
                 static_cast<unsigned long long>(number_), answered_);
    return Next::End;
  }
  return Next::Continue;
}

void Session::markReady(bool ready) {
  KmLockGuard state(stateLock_);
  ready_ = ready;
}

KMCPEncryptionContext *Session::acquireSendContext() {
  KmLockGuard state(stateLock_);
  if (sendCtx_ != nullptr) {
    sendCtx_->incRefCount();
  }
  return sendCtx_;
}

void Session::installContext(KMCPEncryptionContext *ctx) {
  KMCPEncryptionContext *oldSend;
  ctx->incRefCount();  // one reference for sending, the caller's for receiving
  {
    KmLockGuard state(stateLock_);
    oldSend = sendCtx_;
    sendCtx_ = ctx;
  }
  if (oldSend != nullptr) {
    oldSend->decRefCount();
  }
  if (recvCtx_ != nullptr) {
    recvCtx_->decRefCount();
  }
  recvCtx_ = ctx;
}

void Session::dropContexts() {
  KMCPEncryptionContext *oldSend;
  {
    KmLockGuard state(stateLock_);
    oldSend = sendCtx_;
    sendCtx_ = nullptr;
  }
  if (oldSend != nullptr) {
    oldSend->decRefCount();
  }
  if (recvCtx_ != nullptr) {
    recvCtx_->decRefCount();
  }
  recvCtx_ = nullptr;
}

bool Session::sendMessageLocked(const CSCPMessage &msg) {
  KMCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) {
    return false;
  }
  const bool sent = sendWireLocked(reinterpret_cast<const uint8_t *>(wire), ntohl(wire->size));
  std::free(wire);
  return sent;
}

bool Session::sendWireLocked(const uint8_t *wire, size_t size) {
  if (size < KMCP_HEADER_SIZE) {
    return false;
  }
  KMCPEncryptionContext *ctx = acquireSendContext();
  if (ctx == nullptr) {
    return SendEx(sock_, wire, size, 0, nullptr) == static_cast<int>(size);
  }
  KMCP_ENCRYPTED_MESSAGE *env =
      CSCPEncryptMessage(ctx, reinterpret_cast<const KMCP_MESSAGE *>(wire));
  ctx->decRefCount();
  if (env == nullptr) {
    return false;
  }
  const uint32_t envSize = ntohl(env->size);
  const bool sent = SendEx(sock_, env, envSize, 0, nullptr) == static_cast<int>(envSize);
  std::free(env);
  return sent;
}

bool Session::sendBadLocked(BadMessage kind) {
  KMCPEncryptionContext *ctx = acquireSendContext();
  std::vector<uint8_t> bytes = BuildBadMessage(kind, ctx, shared_.config.oversizedMessageSize);
  if (ctx != nullptr) {
    ctx->decRefCount();
  }
  if (bytes.empty()) {
    return false;
  }
  return SendEx(sock_, bytes.data(), bytes.size(), 0, nullptr) == static_cast<int>(bytes.size());
}

}  // namespace kmagent::detail
