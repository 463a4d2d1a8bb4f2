// Shared session mechanics: connect and version detection, the send path,
// reply waits, the key exchange and the receiver loop.
#include "session/session_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/msg_wait_queue.h"
#include "kmbase/text.h"

namespace kmsrv_session {

namespace {

// How often a waiter looks whether its session ended. Bounds how long a
// waiter outlives its session; costs one wake-up per slice.
constexpr uint32_t kWaitSliceMs = 50;

}  // namespace

OpenResult ConnectAndDetectVersion(SOCKET sock, uint32_t addressNetOrder, uint16_t port,
                                   uint32_t connectTimeoutMs, uint32_t versionTimeoutMs,
                                   KmMutex &sendLock, int *version) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addressNetOrder;
  sa.sin_port = htons(port);
  if (ConnectEx(sock, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa), connectTimeoutMs) != 0)
    return OpenResult::ConnectFailed;
  int detected = 0;
  if (!KMCPGetPeerProtocolVersion(sock, &detected, &sendLock, versionTimeoutMs))
    return OpenResult::VersionUnknown;
  *version = detected;
  return OpenResult::Connected;
}

bool SendSessionMessage(SessionLink &link, const CSCPMessage &msg) {
  KMCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) return false;

  bool sent = false;
  {
    KmMutex &lock = link.writeLock();
    KmLockGuard guard(lock);
    // Encrypt under the write lock too: envelopes must leave in the order of
    // their counters. A sender that took its counter and then waited for the
    // lock could otherwise fall behind the peer's replay window while other
    // threads send, and its message would be dropped as too old.
    const void *data = wire;
    size_t length = ntohl(wire->size);
    KMCP_ENCRYPTED_MESSAGE *envelope = nullptr;
    if (KMCPEncryptionContext *ctx = link.acquireContext(); ctx != nullptr) {
      envelope = CSCPEncryptMessage(ctx, wire);
      ctx->decRefCount();
      if (envelope == nullptr) {
        std::free(wire);
        return false;
      }
      data = envelope;
      length = ntohl(envelope->size);
    }
    // Read under the write lock: the session does not close the handle
    // while we hold it, so it cannot be another file's number by now.
    const SOCKET sock = link.socketHandle();
    if (sock != INVALID_SOCKET) sent = SendEx(sock, data, length, 0, &lock) == static_cast<int>(length);
    std::free(envelope);
  }
  std::free(wire);
  return sent;
}

CSCPMessage *WaitForSessionReply(SessionLink &link, uint16_t code, uint32_t id, uint32_t timeoutMs,
                                 bool *ended) {
  using Clock = std::chrono::steady_clock;
  *ended = false;
  MsgWaitQueue &queue = link.replies();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (link.sessionClosing()) {
      // Whatever the receiver delivered before it ended is in the queue.
      CSCPMessage *msg = queue.waitForMessage(code, id, 0);
      *ended = msg == nullptr;
      return msg;
    }
    const int64_t left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const uint32_t slice =
        left <= 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>(left, kWaitSliceMs));
    CSCPMessage *msg = queue.waitForMessage(code, id, slice);
    if (msg != nullptr || left <= static_cast<int64_t>(slice)) return msg;
  }
}

KeyExchangeStep ExchangeSessionKey(SessionLink &link, RSA *serverKey, int version, uint32_t id,
                                   uint32_t timeoutMs, int *setupResult) {
  *setupResult = KMCP_ENCRYPTION_INTERNAL_ERROR;
  CSCPMessage request(version);
  PrepareKeyRequestMsg(&request, serverKey, false);
  request.SetId(id);

  // Published before the request goes out: the answer may be read at once.
  link.keyExchangeDone().reset();
  link.keyExchangeId().store(id);
  KeyExchangeStep step = KeyExchangeStep::SendFailed;
  if (SendSessionMessage(link, request)) {
    bool ended = false;
    CSCPMessage *reply = WaitForSessionReply(link, MC_SESSION_KEY, id, timeoutMs, &ended);
    if (reply == nullptr) {
      step = ended ? KeyExchangeStep::SessionEnded : KeyExchangeStep::NoAnswer;
    } else {
      // SetupEncryptionContext writes *ctx only on success and never
      // releases what it overwrites: give it a slot of our own.
      KMCPEncryptionContext *ctx = nullptr;
      *setupResult = SetupEncryptionContext(reply, &ctx, nullptr, serverKey, version);
      delete reply;
      if (*setupResult == KMCP_ENCRYPTION_OK && ctx != nullptr)
        link.installContext(ctx);
      else if (ctx != nullptr)
        ctx->decRefCount();
      step = KeyExchangeStep::Answered;
    }
  }
  // Lets the receiver thread read on (see RunReceiverLoop).
  link.keyExchangeId().store(0);
  link.keyExchangeDone().set();
  return step;
}

namespace {

// The receiver's buffers, allocated once per loop.
struct ReceiveBuffers {
  explicit ReceiveBuffers(uint32_t size)
      : state(new (std::nothrow) CSCP_BUFFER),
        message(new (std::nothrow) uint8_t[size]),
        decryption(new (std::nothrow) uint8_t[size]) {}
  bool ok() const { return state != nullptr && message != nullptr && decryption != nullptr; }

  std::unique_ptr<CSCP_BUFFER> state;
  std::unique_ptr<uint8_t[]> message;
  std::unique_ptr<uint8_t[]> decryption;
};

void Report(ReceiverHooks &hooks, const char16_t *format, ...) {
  va_list args;
  va_start(args, format);
  const std::u16string line = km_vformat16(format, args);
  va_end(args);
  hooks.report(line.c_str());
}

}  // namespace

int RunReceiverLoop(ReceiverHooks &hooks, uint32_t bufferSize, uint32_t keyHandoverLimitMs) {
  ReceiveBuffers buffers(std::max<uint32_t>(bufferSize, KMCP_HEADER_SIZE));
  if (!buffers.ok()) {
    Report(hooks, u"Cannot allocate receive buffers");
    return KMCP_RECV_ERROR;
  }
  RecvKMCPMessage(INVALID_SOCKET, nullptr, buffers.state.get(), 0, nullptr, nullptr, 0);
  auto *const msgBuffer = reinterpret_cast<KMCP_MESSAGE *>(buffers.message.get());

  // The receiver's own reference to the session's context: RecvKMCPMessage
  // reads it without a lock while the session may replace or drop its own.
  KMCPEncryptionContext *rxContext = nullptr;
  int result;
  for (;;) {
    const SOCKET sock = hooks.socketHandle();
    KMCPEncryptionContext *current = hooks.acquireContext();
    if (current != rxContext) {
      if (rxContext != nullptr) rxContext->decRefCount();
      rxContext = current;
    } else if (current != nullptr) {
      current->decRefCount();
    }

    // A message read whole is dispatched where it lies in the read buffer.
    KMCP_MESSAGE *msg = msgBuffer;
    result = RecvKMCPMessageInPlace(sock, msgBuffer, &msg, buffers.state.get(), bufferSize,
                                    &rxContext, buffers.decryption.get(), hooks.receiveTimeoutMs());
    if (result <= 0) {
      hooks.receiveFailed(result, KmGetLastSocketError());
      break;
    }
    if (result == KMCP_RECV_TOO_LARGE) {
      char16_t name[KMCP_CODE_NAME_SIZE];
      Report(hooks, u"Received too large message %s (%d bytes)",
             KMCPMessageCodeName(ntohs(msg->code), name), static_cast<int32_t>(ntohl(msg->size)));
      continue;
    }
    if (result == KMCP_RECV_UNDECRYPTABLE) {
      Report(hooks, u"Unable to decrypt received message");
      continue;
    }
    if (result == KMCP_RECV_TIMEOUT) {
      if (hooks.keepWaitingWhenIdle()) continue;
      Report(hooks, u"Timed out waiting for message");
      break;
    }
    const uint32_t size = ntohl(msg->size);
    if (size != static_cast<uint32_t>(result)) {
      Report(hooks, u"RecvMsg: Bad packet length [dwSize=%d ActualSize=%d]",
             static_cast<int32_t>(size), result);
      continue;
    }
    // The messages after the awaited key answer may already be encrypted
    // with the key it carries: read on only once the requester has
    // installed it (or given up). Bounded, should the requester be stuck.
    const uint32_t id = ntohl(msg->id);
    const bool keyAnswer = ntohs(msg->code) == MC_SESSION_KEY &&
                           (ntohs(msg->flags) & FLAG_RAW) == 0 && id != 0 &&
                           id == hooks.keyExchangeId().load();
    hooks.dispatch(msg, size);
    if (keyAnswer) hooks.keyExchangeDone().wait(keyHandoverLimitMs);
  }
  if (rxContext != nullptr) rxContext->decRefCount();
  return result;
}

bool OnReceiverThread(const std::atomic<std::thread::id> &threadId) {
  return threadId.load() == std::this_thread::get_id();
}

bool JoinReceiverThread(THREAD_RECORD **thread, std::atomic<std::thread::id> &threadId) {
  if (*thread == nullptr) return true;
  if (OnReceiverThread(threadId)) return false;
  ThreadJoin(*thread);
  *thread = nullptr;
  threadId = std::thread::id();
  return true;
}

void CloseSessionSocket(KmMutex &sendLock, KmMutex &stateLock, SOCKET *socket) {
  KmLockGuard sendGuard(sendLock);
  KmLockGuard guard(stateLock);
  if (*socket != INVALID_SOCKET) {
    KmSocketClose(*socket);
    *socket = INVALID_SOCKET;
  }
}

void WriteSessionLine(const char16_t *format, va_list args) {
  std::string line = km_vformat_utf8(format, args);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace kmsrv_session
