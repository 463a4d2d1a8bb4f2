// One ISC session on the peer side: receive loop, request handling, key
// exchange and the send path.
#include "isc_peer_session.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string>

#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/isc.h"
#include "kmsrv/protocol.h"

namespace kmisc::detail {

namespace {

uint16_t LoadBe16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t LoadBe32(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return ntohl(v);
}

std::string CodeName(uint16_t code) {
  char16_t buf[KMCP_CODE_NAME_SIZE];
  return KmWideToUtf8(KMCPMessageCodeName(code, buf));
}

// Size of the receive and decryption buffers: the largest message in its
// encrypted envelope.
uint32_t BufferSize() { return static_cast<uint32_t>(KMCPEncryptedSize(kMaxIscMessageSize)); }

bool Contains(const std::vector<uint32_t> &ids, uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared pieces
// ---------------------------------------------------------------------------

void RequestRecords::add(const IscRequestRecord &record) {
  if (!enabled_) return;
  KmLockGuard guard(lock_);
  if (records_.size() >= kMaxRecords) records_.pop_front();
  records_.push_back(record);
}

std::vector<IscRequestRecord> RequestRecords::list() const {
  KmLockGuard guard(lock_);
  return {records_.begin(), records_.end()};
}

void RequestRecords::clear() {
  KmLockGuard guard(lock_);
  records_.clear();
}

void ServerContext::logf(LogLevel level, const char *format, ...) const {
  if (!config.log) return;
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  config.log(level, line);
}

// ---------------------------------------------------------------------------
// The session thread
// ---------------------------------------------------------------------------

PeerSession::PeerSession(ServerContext &server, SOCKET sock, uint64_t number)
    : server_(server),
      sock_(sock),
      number_(number),
      version_(server.config.reportVersion > 0 ? server.config.reportVersion : 1) {}

PeerSession::~PeerSession() {
  dropContexts();
  KmSocketClose(sock_);
}

void PeerSession::logf(LogLevel level, const char *format, ...) const {
  if (!server_.config.log) return;
  char text[448];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  server_.logf(level, "session %llu: %s", static_cast<unsigned long long>(number_), text);
}

void PeerSession::run() {
  logf(LogLevel::Info, "opened");
  const uint32_t size = BufferSize();
  std::unique_ptr<uint8_t[]> message(new (std::nothrow) uint8_t[size]);
  std::unique_ptr<uint8_t[]> decryption(new (std::nothrow) uint8_t[size]);
  std::unique_ptr<CSCP_BUFFER> state(new (std::nothrow) CSCP_BUFFER);
  if (message == nullptr || decryption == nullptr || state == nullptr) {
    logf(LogLevel::Error, "out of memory");
  } else {
    RecvKMCPMessage(INVALID_SOCKET, nullptr, state.get(), 0, nullptr, nullptr, 0);
    const uint32_t idle = server_.config.idleTimeoutMs;
    auto *msg = reinterpret_cast<KMCP_MESSAGE *>(message.get());
    Next next = Next::Continue;
    while (next == Next::Continue) {
      // The framing assembles an encrypted envelope in the decryption buffer
      // and a clear message only in the message buffer: a cleared code there
      // tells afterwards which of the two arrived.
      decryption[0] = decryption[1] = 0;
      const int r = RecvKMCPMessage(sock_, msg, state.get(), size, &recvCtx_, decryption.get(),
                                    idle != 0 ? idle : KM_INFINITE);
      if (r == KMCP_RECV_TIMEOUT) {
        logf(LogLevel::Info, "idle for %u ms, closing", idle);
        break;
      }
      if (r <= KMCP_RECV_CLOSED) {
        if (r < 0) logf(LogLevel::Debug, "receive failed (socket error %d)", KmGetLastSocketError());
        break;
      }
      if (r == KMCP_RECV_UNDECRYPTABLE) {
        logf(LogLevel::Info, "message cannot be decrypted, skipped");
        continue;
      }
      if (r == KMCP_RECV_TOO_LARGE) {
        logf(LogLevel::Info, "%s of %u bytes is too large, skipped",
             CodeName(LoadBe16(message.get())).c_str(), LoadBe32(message.get() + 4));
        continue;
      }
      if (LoadBe32(message.get() + 4) != static_cast<uint32_t>(r)) {
        logf(LogLevel::Info, "message size %u differs from the %d bytes received, skipped",
             LoadBe32(message.get() + 4), r);
        continue;
      }
      const bool encrypted = LoadBe16(decryption.get()) == MC_ENCRYPTED_MESSAGE;
      next = handle(message.get(), static_cast<uint32_t>(r), encrypted);
    }
  }
  {
    KmLockGuard guard(stateLock_);
    inService_ = false;
  }
  dropContexts();
  // The client learns of the end now, not when the last owner lets go.
  KmSocketShutdown(sock_, SHUT_RDWR);
  logf(LogLevel::Info, "closed");
  ended_.store(true, std::memory_order_release);
}

void PeerSession::requestStop() { KmSocketShutdown(sock_, SHUT_RDWR); }

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

PeerSession::Next PeerSession::handle(const uint8_t *bytes, uint32_t length, bool encrypted) {
  const uint16_t code = LoadBe16(bytes);
  if ((LoadBe16(bytes + 2) & FLAG_RAW) != 0) {
    logf(LogLevel::Debug, "raw %s dropped", CodeName(code).c_str());
    return Next::Continue;
  }
  KmcpDecodeStatus status = KmcpDecodeStatus::Ok;
  std::unique_ptr<CSCPMessage> request =
      CSCPMessage::decode(std::span<const uint8_t>(bytes, length), version_, &status);
  if (request == nullptr) {
    // ISC has no result code for a malformed request: it goes unanswered.
    logf(LogLevel::Info, "malformed %s skipped (%s)", CodeName(code).c_str(),
         KmcpDecodeStatusText(status));
    return Next::Continue;
  }
  server_.records.add({number_, code, request->GetId(), encrypted});
  switch (code) {
    case MC_GET_KMCP_CAPS:
      return answerVersion(request->GetId());
    case MC_REQUEST_SESSION_KEY:
      if (server_.config.neverAnswer) return Next::Continue;
      return answerKeyRequest(*request);
    default:
      if (server_.config.neverAnswer) return Next::Continue;
      return answerRequest(*request, encrypted);
  }
}

PeerSession::Next PeerSession::answerVersion(uint32_t id) {
  const int32_t reported = server_.config.reportVersion;
  if (reported < 0) return Next::Continue;
  // A peer that does not know version detection.
  if (reported == 0) return reply(id, ISC_RESULT_NOT_IMPLEMENTED);
  CSCPMessage answer(version_);
  answer.SetCode(MC_GET_KMCP_CAPS);
  answer.SetId(id);
  answer.SetVariable(VAR_KMCP_VERSION, static_cast<uint32_t>(reported));
  return send(answer);
}

PeerSession::Next PeerSession::answerKeyRequest(const CSCPMessage &request) {
  CSCPMessage answer(version_);
  KMCPEncryptionContext *ctx = nullptr;
  const int result = KMCPProcessKeyRequest(&request, KMCP_SUPPORTED_CIPHERS, &answer, &ctx);
  if (result != KMCP_ENCRYPTION_OK)
    logf(LogLevel::Info, "key exchange failed: %s", KMCPEncryptionResultText(result));
  bool sent;
  {
    // The answer goes out under the old key (or clear), everything after it
    // under the new one; both under the send lock, so no other sender slips
    // a message in between.
    KmLockGuard guard(sendLock_);
    sent = sendLocked(answer);
    if (sent && ctx != nullptr) {
      installContext(ctx);
      ctx = nullptr;
    }
  }
  if (ctx != nullptr) ctx->decRefCount();
  return counted(sent);
}

uint32_t PeerSession::serviceResult(const CSCPMessage &request) const {
  KmcpFieldType type;
  if (!request.GetVariableType(VAR_SERVICE_ID, &type) || type != KmcpFieldType::Int32)
    return ISC_RESULT_UNKNOWN_SERVICE;
  const uint32_t service = request.GetVariableLong(VAR_SERVICE_ID);
  if (Contains(server_.config.echoServices, service)) return ISC_RESULT_SUCCESS;
  if (Contains(server_.config.disabledServices, service)) return ISC_RESULT_SERVICE_DISABLED;
  return ISC_RESULT_UNKNOWN_SERVICE;
}

PeerSession::Next PeerSession::answerRequest(CSCPMessage &request, bool encrypted) {
  const IscConfig &config = server_.config;
  const uint16_t code = request.GetCode();
  const uint32_t id = request.GetId();
  if (config.alwaysDemandEncryption ||
      (config.requireEncryption && (recvCtx_ == nullptr || !encrypted)))
    return reply(id, ISC_RESULT_ENCRYPTION_REQUIRED);

  if (serviceConnected_) {
    // The echo service: the message comes back with its fields, as the
    // completion of itself.
    request.SetCode(MC_REQUEST_COMPLETED);
    request.SetVariable(VAR_RCC, ISC_RESULT_SUCCESS);
    return send(request);
  }
  switch (code) {
    case MC_KEEPALIVE:
      return reply(id, ISC_RESULT_SUCCESS);
    case MC_ISC_CONNECT_TO_SERVICE: {
      const uint32_t rcc = serviceResult(request);
      if (rcc != ISC_RESULT_SUCCESS)
        logf(LogLevel::Info, "service %u refused (%u)", request.GetVariableLong(VAR_SERVICE_ID), rcc);
      // The send lock spans the answer and the change of state: a message
      // sent to the session (sendUnsolicited) can neither overtake the
      // answer nor find the session not yet in service once the client
      // has the answer.
      KmLockGuard sendGuard(sendLock_);
      const Next next = reply(id, rcc);
      if (rcc == ISC_RESULT_SUCCESS && next == Next::Continue) {
        serviceConnected_ = true;
        KmLockGuard guard(stateLock_);
        inService_ = true;
      }
      return next;
    }
    case MC_REQUEST_COMPLETED:
    case MC_SESSION_KEY:
      return Next::Continue;  // answers are never answered
    default:
      // Service requests before a service is connected.
      return reply(id, ISC_RESULT_REQUEST_OUT_OF_STATE);
  }
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

PeerSession::Next PeerSession::reply(uint32_t id, uint32_t rcc) {
  CSCPMessage answer(version_);
  answer.SetCode(MC_REQUEST_COMPLETED);
  answer.SetId(id);
  answer.SetVariable(VAR_RCC, rcc);
  return send(answer);
}

PeerSession::Next PeerSession::send(const CSCPMessage &msg) {
  KmLockGuard guard(sendLock_);
  return counted(sendLocked(msg));
}

PeerSession::Next PeerSession::counted(bool sent) {
  if (!sent) return Next::End;
  ++answered_;
  const uint32_t limit = server_.config.closeAfterAnswers;
  if (limit != 0 && answered_ >= limit) {
    logf(LogLevel::Info, "closing after %u answers", answered_);
    return Next::End;
  }
  return Next::Continue;
}

bool PeerSession::sendUnsolicited(const uint8_t *wire, size_t size) {
  KmLockGuard guard(sendLock_);
  {
    KmLockGuard state(stateLock_);
    if (!inService_) return false;
  }
  return sendWireLocked(wire, size);
}

bool PeerSession::sendLocked(const CSCPMessage &msg) {
  KMCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) return false;
  const bool sent = sendWireLocked(reinterpret_cast<const uint8_t *>(wire), ntohl(wire->size));
  std::free(wire);
  return sent;
}

bool PeerSession::sendWireLocked(const uint8_t *wire, size_t size) {
  if (size < KMCP_HEADER_SIZE) return false;
  KMCPEncryptionContext *ctx = acquireSendContext();
  if (ctx == nullptr) return SendEx(sock_, wire, size, 0, nullptr) == static_cast<int>(size);
  KMCP_ENCRYPTED_MESSAGE *envelope =
      CSCPEncryptMessage(ctx, reinterpret_cast<const KMCP_MESSAGE *>(wire));
  ctx->decRefCount();
  if (envelope == nullptr) return false;
  const uint32_t envelopeSize = ntohl(envelope->size);
  const bool sent =
      SendEx(sock_, envelope, envelopeSize, 0, nullptr) == static_cast<int>(envelopeSize);
  std::free(envelope);
  return sent;
}

KMCPEncryptionContext *PeerSession::acquireSendContext() {
  KmLockGuard guard(stateLock_);
  if (sendCtx_ != nullptr) sendCtx_->incRefCount();
  return sendCtx_;
}

void PeerSession::installContext(KMCPEncryptionContext *ctx) {
  ctx->incRefCount();  // one reference for sending, the caller's for receiving
  KMCPEncryptionContext *oldSend;
  {
    KmLockGuard guard(stateLock_);
    oldSend = sendCtx_;
    sendCtx_ = ctx;
  }
  if (oldSend != nullptr) oldSend->decRefCount();
  if (recvCtx_ != nullptr) recvCtx_->decRefCount();
  recvCtx_ = ctx;
}

void PeerSession::dropContexts() {
  KMCPEncryptionContext *oldSend;
  {
    KmLockGuard guard(stateLock_);
    oldSend = sendCtx_;
    sendCtx_ = nullptr;
  }
  if (oldSend != nullptr) oldSend->decRefCount();
  if (recvCtx_ != nullptr) recvCtx_->decRefCount();
  recvCtx_ = nullptr;
}

}  // namespace kmisc::detail
