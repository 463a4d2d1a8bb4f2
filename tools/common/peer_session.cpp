// PeerSession: the receive loop, dispatch, version detection, the key
// exchange and the send path of one session of a reference peer.
#include "peer_session.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>

#include "kmbase/byte_order.h"
#include "kmbase/text.h"
#include "kmbase/tls.h"
#include "kmsrv/protocol.h"

namespace kmpeer {

std::string CodeName(uint16_t code) {
  char16_t buf[KMCP_CODE_NAME_SIZE];
  return KmWideToUtf8(KMCPMessageCodeName(code, buf));
}

bool IsAnswerCode(uint16_t code) {
  return code == MC_REQUEST_COMPLETED || code == MC_SESSION_KEY || code == MC_TRAP ||
         code == MC_DATA_PUSH || code == MC_ENCRYPTED_MESSAGE;
}

namespace {

// The first byte and the TLS handshake of a session without a login deadline
// still have to come within this.
constexpr uint32_t kHandshakeLimitMs = 10000;

// Aligned storage for a wire message (the codec reads the header as a
// KMCP_MESSAGE).
struct AlignedBuffer {
  explicit AlignedBuffer(size_t size) : words(new (std::nothrow) uint64_t[(size + 7) / 8]) {}
  uint8_t *bytes() { return reinterpret_cast<uint8_t *>(words.get()); }
  std::unique_ptr<uint64_t[]> words;
};

}  // namespace

uint32_t SessionBufferSize(uint32_t maxMessageSize) {
  return static_cast<uint32_t>(KMCPEncryptedSize(maxMessageSize));
}

PeerSession::PeerSession(ServerCore &core, SOCKET sock, uint64_t number, uint32_t peerAddress,
                         uint16_t peerPort)
    : core_(core),
      sock_(sock),
      number_(number),
      peerAddress_(peerAddress),
      peerPort_(peerPort),
      version_(core.settings().reportVersion > 0 ? core.settings().reportVersion : 1) {}

PeerSession::~PeerSession() {
  dropContexts();
  KmSocketClose(sock_);
}

void PeerSession::logf(LogLevel level, const char *format, ...) const {
  char text[448];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  core_.logf(level, "session %llu: %s", static_cast<unsigned long long>(number_), text);
}

// ---------------------------------------------------------------------------
// The session thread
// ---------------------------------------------------------------------------

void PeerSession::run() {
  logf(LogLevel::Info, "connection from %s:%u", KmIpToText(peerAddress_).c_str(), peerPort_);
  const uint32_t bufferSize = SessionBufferSize(core_.settings().maxMessageSize);
  AlignedBuffer message(bufferSize);
  AlignedBuffer decryption(bufferSize);
  recvState_.reset(new (std::nothrow) CSCP_BUFFER);
  if (message.words == nullptr || decryption.words == nullptr || recvState_ == nullptr) {
    logf(LogLevel::Error, "out of memory");
  } else {
    RecvKMCPMessage(INVALID_SOCKET, nullptr, recvState_.get(), 0, nullptr, nullptr, 0);
    const auto opened = std::chrono::steady_clock::now();
    auto *msg = reinterpret_cast<KMCP_MESSAGE *>(message.bytes());
    Next next = startStream(opened) ? Next::Continue : Next::End;
    while (next == Next::Continue) {
      // The framing leaves an envelope's code in the decryption buffer for
      // every encrypted message, and never touches it for a clear one: a
      // cleared code there tells afterwards which of the two arrived.
      decryption.bytes()[0] = decryption.bytes()[1] = 0;
      // A clear message read whole is handled where it lies in the read
      // buffer (got points there); anything else arrives in msg.
      KMCP_MESSAGE *got = msg;
      // Idle time counts from the end of the last message's handling.
      const auto last = std::chrono::steady_clock::now();
      const int r = receiveNext(msg, &got, bufferSize, decryption.bytes(), opened, last);
      const uint8_t *bytes = reinterpret_cast<const uint8_t *>(got);
      if (r == KMCP_RECV_TIMEOUT) {
        if (!admitted())
          logf(LogLevel::Info, "no login within %u ms, closing", core_.settings().loginTimeoutMs);
        else
          logf(LogLevel::Info, "idle for %u ms, closing", core_.settings().idleTimeoutMs);
        break;
      }
      if (r <= KMCP_RECV_CLOSED) {
        if (r < 0)
          logf(LogLevel::Debug, "receive failed (socket error %d)", KmGetLastSocketError());
        break;
      }
      if (r == KMCP_RECV_UNDECRYPTABLE) {
        logf(LogLevel::Info, "message cannot be decrypted, skipped");
        continue;
      }
      // The one session limit counts the message, not its envelope.
      if (r == KMCP_RECV_TOO_LARGE || static_cast<uint32_t>(r) > core_.settings().maxMessageSize) {
        next = handleTooLarge(bytes);
        continue;
      }
      const bool encrypted = KmLoadBe16(decryption.bytes()) == MC_ENCRYPTED_MESSAGE;
      next = dispatch(bytes, static_cast<uint32_t>(r), encrypted);
    }
    if (next == Next::HandOver) handOver();
  }
  markReady(false);
  dropContexts();
  sessionEnding();
  // The peer learns of the end now, not when the last owner lets go.
  KmSocketShutdown(sock_, SHUT_RDWR);
  recvState_.reset();
  logf(LogLevel::Info, "closed");
  ended_.store(true, std::memory_order_release);
}

bool PeerSession::startStream(std::chrono::steady_clock::time_point opened) {
  KmTlsContextRef context = core_.tlsContext();
  if (context == nullptr) return true;
  const uint32_t limitMs =
      core_.settings().loginTimeoutMs != 0 ? core_.settings().loginTimeoutMs : kHandshakeLimitMs;
  const auto deadline = opened + std::chrono::milliseconds(limitMs);
  switch (KmPeekSessionStart(sock_, deadline)) {
    case KmSessionStart::Closed:
      return false;
    case KmSessionStart::Timeout:
      logf(LogLevel::Info, "nothing sent within %u ms, closing", limitMs);
      return false;
    case KmSessionStart::Kmcp:
      if (!core_.settings().tlsRequired) return true;
      logf(LogLevel::Info, "legacy session refused: TLS required");
      return false;
    case KmSessionStart::Tls:
      break;
  }
  std::string detail;
  std::string peer;
  const KmTlsFailure failure = KmTlsAccept(sock_, context, deadline, &detail, &peer);
  if (failure != KmTlsFailure::None) {
    logf(LogLevel::Info, "TLS handshake failed: %s (%s)", KmTlsFailureText(failure),
         LogText(detail).c_str());
    // A handshake the stop cut short is no failure of the caller.
    if (!core_.stopping().isSet()) handshakeFailed();
    return false;
  }
  tls_ = std::move(context);
  logf(LogLevel::Info, "TLS session (%s), client certificate: %s", KmTlsDescription(sock_).c_str(),
       peer.empty() ? "none" : LogText(peer).c_str());
  return true;
}

int PeerSession::receiveNext(KMCP_MESSAGE *msg, KMCP_MESSAGE **got, uint32_t bufferSize,
                             uint8_t *decryption, std::chrono::steady_clock::time_point opened,
                             std::chrono::steady_clock::time_point last) {
  using std::chrono::milliseconds;
  const SessionSettings &s = core_.settings();
  auto deadline = std::chrono::steady_clock::time_point::max();
  if (s.idleTimeoutMs != 0) deadline = last + milliseconds(s.idleTimeoutMs);
  if (s.loginTimeoutMs != 0 && !admitted())
    deadline = std::min(deadline, opened + milliseconds(s.loginTimeoutMs));
  KMCPEncryptionContext *ctx = recvCtx_.get();
  if (deadline == std::chrono::steady_clock::time_point::max())
    return RecvKMCPMessageInPlace(sock_, msg, got, recvState_.get(), bufferSize, &ctx, decryption,
                                  KM_INFINITE);
  return RecvKMCPMessageBefore(sock_, msg, got, recvState_.get(), bufferSize, &ctx, decryption,
                               deadline);
}

void PeerSession::requestStop() {
  KmLockGuard state(stateLock_);
  stopRequested_ = true;
  KmSocketShutdown(sock_, SHUT_RDWR);
  stopRequested();
}

std::span<const uint8_t> PeerSession::pendingBytes() const {
  return KmReceivePending(recvState_.get());
}

PeerSession::Next PeerSession::dispatch(const uint8_t *bytes, uint32_t length, bool encrypted) {
  const uint16_t code = KmLoadBe16(bytes);
  const uint32_t id = KmLoadBe32(bytes + 8);
  if (keyed() && !encrypted) {
    // Injected into the stream by someone without the key, or sent by a
    // client that lost its key: never acted on. A request is refused with
    // the peer's "encryption required" (in the envelope), so such a client
    // learns why; raw data and answers are dropped.
    logf(LogLevel::Info, "clear %s in an encrypted session refused", CodeName(code).c_str());
    if ((KmLoadBe16(bytes + 2) & FLAG_RAW) != 0 || IsAnswerCode(code)) return Next::Continue;
    return reply(id, core_.settings().encryptionRequiredRcc);
  }
  // Inside TLS every message came encrypted, whether or not it also came in
  // an envelope.
  const bool sealed = encrypted || tlsSession();
  if ((KmLoadBe16(bytes + 2) & FLAG_RAW) != 0) return handleRaw(bytes, length, sealed);
  KmcpDecodeStatus status = KmcpDecodeStatus::Ok;
  std::unique_ptr<CSCPMessage> request =
      CSCPMessage::decode(std::span<const uint8_t>(bytes, length), version_, &status);
  if (request == nullptr) return handleMalformed(code, id, status);
  core_.requests().add({number_, code, id, sealed});
  return handle(*request, sealed);
}

PeerSession::Next PeerSession::handleRaw(const uint8_t *bytes, uint32_t, bool) {
  logf(LogLevel::Debug, "raw %s dropped", CodeName(KmLoadBe16(bytes)).c_str());
  return Next::Continue;
}

PeerSession::Next PeerSession::handleMalformed(uint16_t code, uint32_t, KmcpDecodeStatus status) {
  logf(LogLevel::Info, "malformed %s skipped (%s)", CodeName(code).c_str(),
       KmcpDecodeStatusText(status));
  return Next::Continue;
}

PeerSession::Next PeerSession::handleTooLarge(const uint8_t *header) {
  logf(LogLevel::Info, "%s of %u bytes is too large, skipped", CodeName(KmLoadBe16(header)).c_str(),
       KmLoadBe32(header + 4));
  return Next::Continue;
}

// ---------------------------------------------------------------------------
// Answers
// ---------------------------------------------------------------------------

PeerSession::Next PeerSession::reply(uint32_t id, uint32_t rcc) {
  CSCPMessage answer(version_);
  answer.SetCode(MC_REQUEST_COMPLETED);
  answer.SetId(id);
  answer.SetVariable(VAR_RCC, rcc);
  return send(answer);
}

PeerSession::Next PeerSession::send(const CSCPMessage &msg) {
  if (!delay()) return Next::End;
  KmLockGuard send(sendLock_);
  return counted(sendMessageLocked(msg));
}

PeerSession::Next PeerSession::sendReady(const CSCPMessage &msg) {
  if (!delay()) return Next::End;
  bool sent;
  {
    KmLockGuard send(sendLock_);
    sent = sendMessageLocked(msg);
    if (sent) markReady(true);
  }
  return counted(sent);
}

PeerSession::Next PeerSession::answerVersion(uint32_t id, uint32_t unknownRcc) {
  const int32_t reported = core_.settings().reportVersion;
  if (reported < 0) return Next::Continue;
  if (reported == 0) return reply(id, unknownRcc);
  // Detection normally precedes encryption; a session that is already
  // encrypted answers in its envelope like everything else.
  CSCPMessage answer(version_);
  answer.SetCode(MC_GET_KMCP_CAPS);
  answer.SetId(id);
  answer.SetVariable(VAR_KMCP_VERSION, static_cast<uint32_t>(reported));
  return send(answer);
}

PeerSession::Next PeerSession::answerKeyRequest(const CSCPMessage &request) {
  if (++keyRequests_ > kMaxKeyRequests) {
    logf(LogLevel::Info, "more than %u key requests, closing", kMaxKeyRequests);
    return Next::End;
  }
  CSCPMessage answer(version_);
  if (keyed() || tlsSession()) {
    // The session keeps the key it has: a new one would let whoever asks
    // take the session over (or end it). Inside TLS a key would only seal
    // again what TLS seals already.
    if (tlsSession())
      logf(LogLevel::Info, "key request refused: session encryption inside TLS is pointless");
    else
      logf(LogLevel::Info, "key request in an encrypted session refused");
    answer.SetCode(MC_SESSION_KEY);
    answer.SetId(request.GetId());
    answer.SetVariable(VAR_KMCP_KEY_RESULT, static_cast<uint32_t>(KMCP_ENCRYPTION_BAD_MESSAGE));
    return send(answer);
  }
  KMCPEncryptionContext *made = nullptr;
  const int result = KMCPProcessKeyRequest(&request, KMCP_SUPPORTED_CIPHERS, &answer, &made);
  ContextRef ctx(made);
  if (result != KMCP_ENCRYPTION_OK)
    logf(LogLevel::Info, "key exchange failed: %s", KMCPEncryptionResultText(result));
  if (!delay()) return Next::End;
  bool sent;
  {
    KmLockGuard send(sendLock_);
    sent = sendMessageLocked(answer);
    if (sent && ctx) installContext(std::move(ctx));
  }
  return counted(sent);
}

bool PeerSession::delay() {
  const uint32_t ms = core_.settings().replyDelayMs;
  return ms == 0 || !core_.stopping().wait(ms);
}

PeerSession::Next PeerSession::counted(bool sent) {
  if (!sent) return Next::End;
  ++answered_;
  const uint32_t limit = core_.settings().closeAfterAnswers;
  if (limit != 0 && answered_ >= limit) {
    logf(LogLevel::Info, "closing after %u answers", answered_);
    return Next::End;
  }
  return Next::Continue;
}

void PeerSession::markReady(bool ready) {
  KmLockGuard state(stateLock_);
  ready_ = ready;
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

bool PeerSession::sendUnsolicited(std::span<const uint8_t> wire, bool isTrap) {
  KmLockGuard send(sendLock_);
  {
    KmLockGuard state(stateLock_);
    if (!ready_ || !takesUnsolicited(isTrap)) return false;
  }
  if (sendWireLocked(wire.data(), wire.size())) return true;
  // Part of the message may have gone out: nothing after it could be read
  // in step. The session thread ends on the shut socket.
  logf(LogLevel::Info, "unsolicited message not taken (socket error %d), closing",
       KmGetLastSocketError());
  KmSocketShutdown(sock_, SHUT_RDWR);
  return false;
}

uint32_t PeerSession::sendTimeout() const {
  const uint32_t ms = core_.settings().sendTimeoutMs;
  return ms == 0 ? KM_INFINITE : ms;
}

ContextRef PeerSession::sendContext() {
  KmLockGuard state(stateLock_);
  return ContextRef::Share(sendCtx_.get());
}

bool PeerSession::sendMessageLocked(const CSCPMessage &msg) {
  const ContextRef ctx = sendContext();
  return SendKMCPMessage(sock_, msg, ctx.get(), nullptr, sendTimeout());
}

bool PeerSession::sendWireLocked(const uint8_t *wire, size_t size) {
  const ContextRef ctx = sendContext();
  return SendKMCPWire(sock_, wire, size, ctx.get(), nullptr, sendTimeout());
}

void PeerSession::installContext(ContextRef ctx) {
  ContextRef oldSend;
  {
    KmLockGuard state(stateLock_);
    oldSend = std::move(sendCtx_);
    sendCtx_ = ContextRef::Share(ctx.get());
  }
  recvCtx_ = std::move(ctx);
}

void PeerSession::dropContexts() {
  ContextRef oldSend;
  {
    KmLockGuard state(stateLock_);
    oldSend = std::move(sendCtx_);
  }
  recvCtx_.reset();
}

}  // namespace kmpeer
