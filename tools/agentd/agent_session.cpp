// The agent's side of a session: dispatch of decoded requests through the
// request gate, login, the proxy hop and its relay, the test trigger and the
// bad messages. The host's requests are in requests.cpp, the file area in
// file_area.cpp, management in management.cpp.
#include "agent_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>

#include "bad_messages.h"
#include "kmbase/byte_order.h"
#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"
#include "login_check.h"
#include "options.h"
#include "proxy_relay.h"

namespace kmagent::detail {
namespace {

using kmpeer::CodeName;
using kmpeer::IsAnswerCode;

}  // namespace

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
    : PeerSession(shared.core, sock, number, peerAddress, peerPort), shared_(shared) {}

Session::~Session() = default;

void Session::sessionEnding() { abortUpload(); }

void Session::handshakeFailed() {
  // A failed handshake counts for the address as a failed login does: the
  // next failed logins from there wait longer. The session ends at once, so
  // its own delay does not apply.
  shared_.throttle.failed(peerAddress(), ++loginFailures_);
}

void Session::stopRequested() {
  if (target_ != INVALID_SOCKET) KmSocketShutdown(target_, SHUT_RDWR);
}

bool Session::takesUnsolicited(bool isTrap) const {
  return !isTrap || !shared_.config.trapsOnlyWhenEnabled || trapsEnabled_;
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

Session::Next Session::handleTooLarge(const uint8_t *header) {
  PeerSession::handleTooLarge(header);
  // A clear request is answered at once, so its sender need not wait for a
  // reply that cannot come. An envelope hides its request id.
  const uint16_t code = KmLoadBe16(header);
  if ((KmLoadBe16(header + 2) & FLAG_RAW) != 0 || IsAnswerCode(code)) return Next::Continue;
  return reply(KmLoadBe32(header + 8), RCC_OUT_OF_RESOURCES);
}

Session::Next Session::handleRaw(const uint8_t *bytes, uint32_t length, bool encrypted) {
  if (KmLoadBe16(bytes) == MC_FILE_DATA) return handleFileData(bytes, length);
  // Raw data other than file chunks has no use here.
  return PeerSession::handleRaw(bytes, length, encrypted);
}

Session::Next Session::handleMalformed(uint16_t code, uint32_t id, KmcpDecodeStatus status) {
  PeerSession::handleMalformed(code, id, status);
  return IsAnswerCode(code) ? Next::Continue : reply(id, RCC_MALFORMED_COMMAND);
}

Session::Next Session::handle(CSCPMessage &request, bool encrypted) {
  switch (request.GetCode()) {
    case MC_GET_KMCP_CAPS:
      return answerVersion(request.GetId(), RCC_UNKNOWN_COMMAND);
    case MC_REQUEST_SESSION_KEY:
      return handleKeyRequest(request);
    case MC_LOGIN:
      return handleLogin(request, encrypted);
    case MC_SETUP_PROXY_CONNECTION:
      return handleProxy(request, encrypted);
    case MC_AGENT_TEST_TRIGGER:
      if (testTriggerEnabled()) return handleTestTrigger(request, encrypted);
      return handleRequest(request, encrypted);
    default:
      if (IsAnswerCode(request.GetCode())) return Next::Continue;
      return handleRequest(request, encrypted);
  }
}

uint32_t Session::gate(uint16_t code, bool encrypted) const {
  if (shared_.config.requireEncryption && (!secured() || !encrypted)) {
    return RCC_ENCRYPTION_REQUIRED;
  }
  if (code != MC_LOGIN && !shared_.config.secret.empty() && !authenticated_) {
    return RCC_AUTH_REQUIRED;
  }
  return 0;
}

uint32_t Session::admitted(uint16_t code, bool encrypted) {
  const uint32_t refused = gate(code, encrypted);
  // A login admits only when it succeeds (handleLogin).
  if (refused == 0 && (code != MC_LOGIN || shared_.config.secret.empty())) admit();
  return refused;
}

bool Session::testTriggerEnabled() const {
  const AgentConfig &c = shared_.config;
  return c.sendOversizedMessage || c.sendWrongSizeMessage || c.sendUndecryptableMessage;
}

Session::Next Session::handleRequest(const CSCPMessage &request, bool encrypted) {
  if (uint32_t refused = admitted(request.GetCode(), encrypted); refused != 0) {
    return reply(request.GetId(), refused);
  }
  CSCPMessage answer(version());
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
    logf(LogLevel::Info, "answer to %s too large (%zu bytes)", CodeName(request.GetCode()).c_str(),
         answer.EncodedSize());
    return reply(request.GetId(), RCC_OUT_OF_RESOURCES);
  }
  return sendReady(answer);
}

uint32_t Session::onKeepalive(const CSCPMessage &, CSCPMessage *) { return RCC_SUCCESS; }

// ---------------------------------------------------------------------------
// Negotiation
// ---------------------------------------------------------------------------

Session::Next Session::handleKeyRequest(const CSCPMessage &request) {
  // Until the peer shows it holds the new key (its next request, which comes
  // encrypted), an unsolicited message could reach it under a key it does
  // not have yet. Inside TLS the request is refused and nothing changes.
  if (!tlsSession()) markReady(false);
  if (shared_.config.neverAnswerKeyRequest) {
    logf(LogLevel::Debug, "key request %u left unanswered", request.GetId());
    return Next::Continue;
  }
  return answerKeyRequest(request);
}

Session::Next Session::handleLogin(const CSCPMessage &request, bool encrypted) {
  if (uint32_t refused = gate(MC_LOGIN, encrypted); refused != 0) {
    return reply(request.GetId(), refused);
  }
  LoginRecord record{};
  const uint32_t rcc = CheckLogin(request, shared_.config.secret, &record);
  record.session = number();
  record.result = rcc;
  const uint16_t method = record.method;
  shared_.logins.add(std::move(record));
  authenticated_ = rcc == RCC_SUCCESS;
  if (authenticated_) admit();
  if (!authenticated_) {
    markReady(false);
    return refuseLogin(request.GetId(), rcc, method);
  }
  CSCPMessage answer(version());
  answer.SetCode(MC_REQUEST_COMPLETED);
  answer.SetId(request.GetId());
  answer.SetVariable(VAR_RCC, rcc);
  return sendReady(answer);
}

Session::Next Session::refuseLogin(uint32_t id, uint32_t rcc, uint16_t method) {
  ++loginFailures_;
  const uint32_t delayMs = shared_.throttle.failed(peerAddress(), loginFailures_);
  uint64_t held = 0;
  if (shared_.loginFailureLog.pass(&held))
    logf(LogLevel::Info, "login with method %u from %s refused (%llu more refused before)", method,
         KmIpToText(peerAddress()).c_str(), static_cast<unsigned long long>(held));
  // Only this session waits; the stop cuts the wait short.
  if (delayMs != 0 && core_.stopping().wait(delayMs)) return Next::End;
  const Next next = reply(id, rcc);
  const uint32_t limit = shared_.config.maxLoginFailures;
  return limit != 0 && loginFailures_ >= limit ? Next::End : next;
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
    logf(LogLevel::Info, "proxy connect to %s:%u failed (error %d)", KmIpToText(address).c_str(),
         port, connected ? 0 : error);
    return RCC_CONNECT_FAILED;
  }
  *target = s;
  return RCC_SUCCESS;
}

bool Session::proxyPortAllowed(uint16_t port) const {
  const std::vector<uint16_t> &ports = shared_.config.proxyPorts;
  return port != 0 && (ports.empty() || std::find(ports.begin(), ports.end(), port) != ports.end());
}

bool Session::isOwnListener(uint32_t address, uint16_t port) const {
  if (port != shared_.core.port()) return false;
  // The address the session came in on, the one the agent listens on (any
  // address of the host when that is 0.0.0.0), and loopback all reach it.
  sockaddr_in local{};
  socklen_t len = sizeof(local);
  const bool known =
      ::getsockname(sessionSocket(), reinterpret_cast<sockaddr *>(&local), &len) == 0;
  uint32_t listen = 0;
  kmpeer::ParseIpv4(shared_.config.listenAddress, &listen);
  return listen == 0 || address == listen || (address >> 24) == 127 ||
         (known && address == ntohl(local.sin_addr.s_addr));
}

Session::Next Session::handleProxy(const CSCPMessage &request, bool encrypted) {
  const uint32_t id = request.GetId();
  if (uint32_t refused = admitted(MC_SETUP_PROXY_CONNECTION, encrypted); refused != 0) {
    return reply(id, refused);
  }
  const AgentConfig &config = shared_.config;
  uint32_t address = 0;
  uint16_t port = 0;
  const bool complete = request.GetVariableExact(VAR_IP_ADDRESS, &address) &&
                        request.GetVariableExact(VAR_AGENT_PORT, &port);
  uint32_t rcc;
  SOCKET target = INVALID_SOCKET;
  if (!complete) {
    rcc = RCC_MALFORMED_COMMAND;
  } else if (!config.allowProxy || !Allowed(config.proxyAllowed, address) ||
             !proxyPortAllowed(port) || isOwnListener(address, port)) {
    rcc = RCC_ACCESS_DENIED;
  } else {
    rcc = connectTarget(address, port, &target);
  }
  shared_.proxyHops.add({number(), address, port, rcc});
  if (rcc != RCC_SUCCESS) {
    return reply(id, rcc);
  }

  CSCPMessage answer(version());
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
  logf(LogLevel::Info, "relaying to %s:%u", KmIpToText(address).c_str(), port);
  return Next::HandOver;
}

void Session::handOver() {
  SOCKET target;
  {
    KmLockGuard state(stateLock_);
    target = target_;
  }
  // Bytes the client sent after its hop request and that the framing has
  // already read belong to the target.
  const std::span<const uint8_t> pending = pendingBytes();
  const RelayEnd end = RelayStreams(sessionSocket(), target, pending, shared_.config.idleTimeoutMs);
  logf(LogLevel::Info, "proxy hop ended (%s)",
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
  if (uint32_t refused = admitted(request.GetCode(), encrypted); refused != 0) {
    return reply(request.GetId(), refused);
  }
  if (!delay()) {
    return Next::End;
  }
  const AgentConfig &c = shared_.config;
  CSCPMessage answer(version());
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

bool Session::sendBad(BadMessage kind) {
  KmLockGuard send(sendLock_);
  {
    KmLockGuard state(stateLock_);
    if (!isReady()) return false;
  }
  return sendBadLocked(kind);
}

bool Session::sendBadLocked(BadMessage kind) {
  const kmpeer::ContextRef ctx = sendContext();
  const std::vector<uint8_t> bytes =
      BuildBadMessage(kind, ctx.get(), shared_.config.oversizedMessageSize);
  return !bytes.empty() && SendExWithin(sessionSocket(), bytes.data(), bytes.size(), 0, nullptr,
                                        sendTimeout()) == static_cast<int>(bytes.size());
}

}  // namespace kmagent::detail
