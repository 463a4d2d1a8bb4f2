// Shared session mechanics: opening, the send path, reply waits and the
// request cycle, the key exchange, the receiver loop and the teardown.
#include "session/session_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "kmbase/byte_order.h"
#include "kmbase/message.h"
#include "kmbase/msg_wait_queue.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"

namespace kmsrv_session {

OpenResult ConnectAndDetectVersion(SOCKET sock, uint32_t addressNetOrder, uint16_t port,
                                   uint32_t connectTimeoutMs, uint32_t versionTimeoutMs,
                                   KmMutex &sendLock, int *version, const TlsTarget *tls,
                                   TlsOutcome *tlsOutcome) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addressNetOrder;
  sa.sin_port = htons(port);
  if (ConnectEx(sock, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa), connectTimeoutMs) != 0)
    return OpenResult::ConnectFailed;
  TlsOutcome ignored;
  TlsOutcome &outcome = tlsOutcome != nullptr ? *tlsOutcome : ignored;
  if (tls != nullptr && tls->context != nullptr) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sa.sin_addr, text, sizeof(text));
    outcome.failure = KmTlsConnect(sock, tls->context, tls->name.empty() ? text : tls->name,
                                   connectTimeoutMs, &outcome.detail);
    if (outcome.failure != KmTlsFailure::None) return OpenResult::TlsFailed;
  }
  int detected = 0;
  if (!KMCPGetPeerProtocolVersion(sock, &detected, &sendLock, versionTimeoutMs)) {
    // A peer that requires our certificate ends TLS right after our side
    // of the handshake: its alert is what the first read finds.
    if ((outcome.failure = KmTlsStreamFailure(sock)) != KmTlsFailure::None)
      return OpenResult::TlsFailed;
    return KmGetLastSocketError() == EBUSY ? OpenResult::Refused : OpenResult::VersionUnknown;
  }
  *version = detected;
  return OpenResult::Connected;
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

OpenResult Link::open(SOCKET sock, uint32_t addressNetOrder, uint16_t port,
                      uint32_t connectTimeoutMs, uint32_t versionTimeoutMs, int *version,
                      const TlsTarget *tls, TlsOutcome *tlsOutcome) {
  {
    KmLockGuard guard(m_.stateLock);
    m_.socket = sock;
    m_.closing = false;
    m_.replies.reopen();
  }
  return ConnectAndDetectVersion(sock, addressNetOrder, port, connectTimeoutMs, versionTimeoutMs,
                                 m_.sendLock, version, tls, tlsOutcome);
}

// ---------------------------------------------------------------------------
// Sending and waiting
// ---------------------------------------------------------------------------

bool Link::send(const CSCPMessage &msg) {
  KmLockGuard guard(m_.sendLock);
  // Read under the send lock: the session does not close the handle while
  // we hold it, so it cannot be another file's number by now. The context
  // too: whatever was installed before this send goes with it.
  const SOCKET sock = socketHandle();
  if (sock == INVALID_SOCKET) return false;
  const ContextRef ctx = context();
  if (SendKMCPMessage(sock, msg, ctx.get(), nullptr, m_.commandTimeout.load())) return true;
  // A message that could not be encoded or sealed left the stream as it
  // was; a write that failed or timed out may have cut it inside a message.
  const int error = KmGetLastSocketError();
  if (error != EMSGSIZE && error != ENOMEM && error != EINVAL) KmSocketShutdown(sock, SHUT_RDWR);
  return false;
}

CSCPMessage *Link::wait(uint16_t code, uint32_t id, uint32_t timeoutMs, bool *ended) {
  // A session that has ended leaves its queue shut down: the wait takes
  // what the receiver delivered before the end and returns at once.
  CSCPMessage *msg = m_.replies.waitForMessage(code, id, timeoutMs);
  *ended = msg == nullptr && m_.replies.isShutDown();
  return msg;
}

uint32_t Link::request(const CSCPMessage &msg, uint16_t replyCode, uint32_t timeoutMs,
                       const ResultCodes &codes, CSCPMessage **reply) {
  *reply = nullptr;
  // Beyond the session limit the peer would skip it: refused here instead,
  // where the caller learns why at once.
  if (msg.EncodedSize() > KMCP_SESSION_MESSAGE_LIMIT) return codes.tooLarge;
  if (!send(msg)) return codes.connectionBroken;
  bool ended = false;
  *reply = wait(replyCode, msg.GetId(), timeoutMs, &ended);
  if (*reply != nullptr) return 0;
  return ended ? codes.connectionBroken : codes.requestTimeout;
}

uint32_t Link::waitForRcc(uint32_t id, uint32_t timeoutMs, const ResultCodes &codes) {
  bool ended = false;
  const std::unique_ptr<CSCPMessage> reply(wait(MC_REQUEST_COMPLETED, id, timeoutMs, &ended));
  if (reply == nullptr) return ended ? codes.connectionBroken : codes.requestTimeout;
  return ReplyResult(*reply, codes);
}

uint32_t ReplyResult(const CSCPMessage &reply, const ResultCodes &codes) {
  uint32_t rcc = 0;
  return reply.GetVariableExact(VAR_RCC, &rcc) ? rcc : codes.badResponse;
}

namespace {

// Publishes the request whose answer changes the session's key, from before
// the request goes out (the answer may be read at once) until the requester
// has made the change or given up; the receiver holds still at that answer
// meanwhile (see ReceiveLoop).
class KeyHandover {
 public:
  // The event is not reset here: a receiver still waiting for the previous
  // hand-over must see it end even when this one has begun (see
  // WaitForKeyHandover).
  KeyHandover(const SessionMembers &m, uint32_t id) : m_(m) { m_.keyExchangeId.store(id); }
  ~KeyHandover() {
    m_.keyExchangeId.store(0);
    m_.keyExchangeDone.set();
  }
  KeyHandover(const KeyHandover &) = delete;
  KeyHandover &operator=(const KeyHandover &) = delete;

 private:
  const SessionMembers &m_;
};

}  // namespace

uint32_t Link::exchangeKey(RSA *serverKey, int version, uint32_t id, uint32_t timeoutMs,
                           const ResultCodes &codes) {
  CSCPMessage keyRequest(version);
  if (!PrepareKeyRequestMsg(&keyRequest, serverKey, false)) return codes.invalidPublicKey;
  keyRequest.SetId(id);

  const KeyHandover handover(m_, id);
  CSCPMessage *answer = nullptr;
  const uint32_t result = request(keyRequest, MC_SESSION_KEY, timeoutMs, codes, &answer);
  if (answer == nullptr) return result;
  // SetupEncryptionContext writes *ctx only on success and never releases
  // what it overwrites: give it a slot of our own.
  KMCPEncryptionContext *ctx = nullptr;
  const int setup = SetupEncryptionContext(answer, &ctx, nullptr, serverKey, version);
  delete answer;
  ContextRef fresh(ctx);
  switch (setup) {
    case KMCP_ENCRYPTION_OK:
      if (!fresh) return codes.internalError;
      installContext(std::move(fresh));
      return 0;
    case KMCP_ENCRYPTION_NO_CIPHERS:
      return codes.noCiphers;
    case KMCP_ENCRYPTION_INVALID_PUBLIC_KEY:
      return codes.invalidPublicKey;
    case KMCP_ENCRYPTION_INVALID_SESSION_KEY:
      return codes.invalidSessionKey;
    default:
      return codes.internalError;
  }
}

uint32_t Link::requestThenDropKey(const CSCPMessage &msg, uint32_t timeoutMs,
                                  const ResultCodes &codes) {
  const KeyHandover handover(m_, msg.GetId());
  CSCPMessage *reply = nullptr;
  uint32_t rcc = request(msg, MC_REQUEST_COMPLETED, timeoutMs, codes, &reply);
  if (reply == nullptr) return rcc;
  rcc = ReplyResult(*reply, codes);
  delete reply;
  if (rcc == 0) dropContext();
  return rcc;
}

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

SOCKET Link::socketHandle() {
  KmLockGuard guard(m_.stateLock);
  return m_.socket;
}

ContextRef Link::context() {
  KmLockGuard guard(m_.stateLock);
  return ContextRef::Share(m_.context);
}

void Link::installContext(ContextRef ctx) {
  ContextRef old;
  {
    KmLockGuard guard(m_.stateLock);
    old.reset(m_.context);
    m_.context = ctx.release();
  }
}

void Link::dropContext() { installContext(ContextRef()); }

bool Link::isEncrypted() {
  KmLockGuard guard(m_.stateLock);
  return m_.context != nullptr;
}

bool Link::isTls() {
  KmLockGuard guard(m_.stateLock);
  return m_.socket != INVALID_SOCKET && KmTlsActive(m_.socket);
}

std::u16string DescribeTlsFailure(const TlsOutcome &outcome) {
  std::string text = KmTlsFailureText(outcome.failure);
  if (!outcome.detail.empty() && outcome.detail != text) text += " (" + outcome.detail + ")";
  return KmUtf8ToWide(text);
}

// ---------------------------------------------------------------------------
// The receiver thread
// ---------------------------------------------------------------------------

namespace {

// The receiver's buffers, allocated once per loop.
struct ReceiveBuffers {
  explicit ReceiveBuffers(uint32_t size)
      : state(new (std::nothrow) CSCP_BUFFER),
        message(new (std::nothrow) uint64_t[(size + 7) / 8]),
        decryption(new (std::nothrow) uint8_t[size]) {}
  bool ok() const { return state != nullptr && message != nullptr && decryption != nullptr; }

  std::unique_ptr<CSCP_BUFFER> state;
  std::unique_ptr<uint64_t[]> message;  // 8-byte aligned for the header view
  std::unique_ptr<uint8_t[]> decryption;
};

void Report(ReceiverHooks &hooks, const char16_t *format, ...) {
  va_list args;
  va_start(args, format);
  const std::u16string line = km_vformat16(format, args);
  va_end(args);
  hooks.report(line.c_str());
}

// Waits until the hand-over of request id has ended, at most limitMs. The
// receiver alone resets the event, and looks at the id after each reset, so
// an end signalled before it waits (or while the next hand-over begins) is
// never lost.
void WaitForKeyHandover(const SessionMembers &m, uint32_t id, uint32_t limitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (m.keyExchangeId.load() == id) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !m.keyExchangeDone.wait(static_cast<uint32_t>(left.count()))) return;
    m.keyExchangeDone.reset();
  }
}

int ReceiveLoop(Link &link, ReceiverHooks &hooks, const SessionMembers &m,
                uint32_t keyHandoverLimitMs) {
  constexpr uint32_t kLimit = KMCP_SESSION_MESSAGE_LIMIT;
  // Room for the largest message in its envelope.
  constexpr auto kBufferSize = static_cast<uint32_t>(KMCPEncryptedSize(kLimit));
  ReceiveBuffers buffers(kBufferSize);
  if (!buffers.ok()) {
    Report(hooks, u"Cannot allocate receive buffers");
    return KMCP_RECV_ERROR;
  }
  RecvKMCPMessage(INVALID_SOCKET, nullptr, buffers.state.get(), 0, nullptr, nullptr, 0);
  auto *const msgBuffer = reinterpret_cast<KMCP_MESSAGE *>(buffers.message.get());
  uint8_t *const decryption = buffers.decryption.get();

  // The receiver's own reference to the session's context: RecvKMCPMessage
  // reads it without a lock while the session may replace or drop its own.
  ContextRef rxContext;
  int result;
  for (;;) {
    const SOCKET sock = link.socketHandle();
    ContextRef current = link.context();
    if (current.get() != rxContext.get()) rxContext = std::move(current);
    KMCPEncryptionContext *ctx = rxContext.get();

    // The framing leaves an envelope's code in the decryption buffer for
    // every encrypted message and never touches it for a clear one.
    decryption[0] = decryption[1] = 0;
    // A message read whole is dispatched where it lies in the read buffer.
    KMCP_MESSAGE *msg = msgBuffer;
    result = RecvKMCPMessageInPlace(sock, msgBuffer, &msg, buffers.state.get(), kBufferSize, &ctx,
                                    decryption, hooks.receiveTimeoutMs());
    if (result <= 0) {
      hooks.receiveFailed(result, KmGetLastSocketError());
      break;
    }
    char16_t name[KMCP_CODE_NAME_SIZE];
    if (result == KMCP_RECV_TOO_LARGE || result > static_cast<int>(kLimit)) {
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
    // Once keyed, everything comes in an envelope: a clear message is
    // someone else's (injected into the stream) and goes nowhere.
    if (rxContext && KmLoadBe16(decryption) != MC_ENCRYPTED_MESSAGE) {
      Report(hooks, u"Clear message %s in an encrypted session dropped",
             KMCPMessageCodeName(ntohs(msg->code), name));
      continue;
    }
    // The messages after an answer that changes the key (a key exchange's,
    // or a proxy hop's after which the agent behind speaks clear) may
    // already be under the new key: read on only once the requester has
    // made the change (or given up). Bounded, should the requester be stuck.
    const uint32_t id = ntohl(msg->id);
    const uint16_t code = ntohs(msg->code);
    const bool keyAnswer = (code == MC_SESSION_KEY || code == MC_REQUEST_COMPLETED) &&
                           (ntohs(msg->flags) & FLAG_RAW) == 0 && id != 0 &&
                           id == m.keyExchangeId.load();
    hooks.dispatch(msg, size);
    if (keyAnswer) WaitForKeyHandover(m, id, keyHandoverLimitMs);
  }
  return result;
}

}  // namespace

bool Link::startReceiver(void (*entry)(void *), void *arg) {
  m_.receiverThread = ThreadCreateEx(entry, arg, kReceiverStackBytes);
  return m_.receiverThread != nullptr;
}

int Link::runReceiver(ReceiverHooks &hooks, uint32_t keyHandoverLimitMs) {
  m_.receiverThreadId = std::this_thread::get_id();
  const int result = ReceiveLoop(*this, hooks, m_, keyHandoverLimitMs);
  // The session is over. Shut the socket down first so that a sender blocked
  // in a write gives sendLock up, then close it with both locks held.
  beginClose(hooks);
  closeSocket();
  dropContext();
  return result;
}

bool Link::onReceiverThread() { return m_.receiverThreadId.load() == std::this_thread::get_id(); }

// ---------------------------------------------------------------------------
// Ending
// ---------------------------------------------------------------------------

void Link::beginClose(ReceiverHooks &hooks) {
  {
    KmLockGuard guard(m_.stateLock);
    m_.closing = true;
    hooks.sessionEnding();
    if (m_.socket != INVALID_SOCKET) KmSocketShutdown(m_.socket, SHUT_RDWR);
  }
  // Every waiter returns now, with what the receiver delivered before.
  m_.replies.shutdown();
}

void Link::closeSocket() {
  KmLockGuard sendGuard(m_.sendLock);
  KmLockGuard guard(m_.stateLock);
  if (m_.socket != INVALID_SOCKET) {
    KmSocketClose(m_.socket);
    m_.socket = INVALID_SOCKET;
  }
}

void Link::finish() {
  // On the receiver thread (a hook) the thread closes the socket itself as
  // it ends; the next lifetime operation on another thread joins it. Asked
  // first: the thread record is written by the thread that started it.
  if (onReceiverThread()) return;
  if (m_.receiverThread != nullptr) {
    ThreadJoin(m_.receiverThread);
    m_.receiverThread = nullptr;
    m_.receiverThreadId = std::thread::id();
  }
  closeSocket();
  dropContext();
}

void Link::abandon(ReceiverHooks &hooks) {
  beginClose(hooks);
  finish();
}

void WriteSessionLine(const char16_t *format, va_list args) {
  std::string line = km_vformat_utf8(format, args);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace kmsrv_session
