#include "support/raw_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "kmbase/byte_order.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "support/wire.h"

namespace kmtest {

namespace {

// Messages waitForClose and awaitReply read past at most before they give
// up: far more than any test sends unasked.
constexpr int kMaxSkipped = 512;

}  // namespace

RawPeer::RawPeer() : state_(std::make_unique<CSCP_BUFFER>()) { setMaxMessage(kSessionMaxMessage); }

RawPeer::RawPeer(uint16_t port, uint32_t source) : RawPeer() {
  SOCKET sock = KmSocketOpenTcp();
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(source);
  if (sock != INVALID_SOCKET && source != 0 &&
      ::bind(sock, reinterpret_cast<sockaddr *>(&from), sizeof(from)) != 0) {
    KmSocketClose(sock);
    sock = INVALID_SOCKET;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  if (sock != INVALID_SOCKET &&
      ConnectEx(sock, reinterpret_cast<sockaddr *>(&sa), sizeof(sa), kWaitMs) != 0) {
    KmSocketClose(sock);
    sock = INVALID_SOCKET;
  }
  adopt(sock);
}

RawPeer::~RawPeer() { close(); }

void RawPeer::adopt(SOCKET sock) {
  close();
  sock_ = sock;
  RecvKMCPMessage(INVALID_SOCKET, nullptr, state_.get(), 0, nullptr, nullptr, 0);
  lastLength_ = 0;
  lastEncrypted_ = false;
}

void RawPeer::close() {
  if (sock_ != INVALID_SOCKET) KmSocketClose(sock_);
  sock_ = INVALID_SOCKET;
  dropKey();
}

void RawPeer::shutdownWrite() { KmSocketShutdown(sock_, SHUT_WR); }

void RawPeer::setMaxMessage(uint32_t bytes) {
  maxMessage_ = bytes;
  // Room for a header even when the limit is below one.
  message_.assign(bytes + KMCP_HEADER_SIZE, 0);
  decrypt_.assign(bytes + KMCP_HEADER_SIZE, 0);
  lastLength_ = 0;
}

bool RawPeer::sendBytes(const void *data, size_t len) {
  return sock_ != INVALID_SOCKET && SendEx(sock_, data, len, 0, nullptr) == static_cast<int>(len);
}

bool RawPeer::send(const CSCPMessage &msg) {
  return sock_ != INVALID_SOCKET && SendKMCPMessage(sock_, msg, ctx_.get(), nullptr);
}

bool RawPeer::send(uint16_t code, uint32_t id, const Fill &fill) {
  CSCPMessage msg = Message(code, id);
  if (fill) fill(msg);
  return send(msg);
}

bool RawPeer::reply(uint32_t id, uint32_t rcc) {
  return send(MC_REQUEST_COMPLETED, id, [rcc](CSCPMessage &m) { m.SetVariable(VAR_RCC, rcc); });
}

bool RawPeer::sendEncryptedBytes(const void *data, size_t len) {
  if (!ctx_) return false;
  KMCP_ENCRYPTED_MESSAGE *env = ctx_->encrypt(static_cast<const uint8_t *>(data), len);
  const bool ok = env != nullptr && sendBytes(env, ntohl(env->size));
  std::free(env);
  return ok;
}

std::vector<uint8_t> RawPeer::seal(const CSCPMessage &msg) {
  std::vector<uint8_t> out;
  const std::vector<uint8_t> plain = Wire(msg);
  if (!ctx_ || plain.empty()) return out;
  KMCP_ENCRYPTED_MESSAGE *env =
      CSCPEncryptMessage(ctx_.get(), reinterpret_cast<const KMCP_MESSAGE *>(plain.data()));
  if (env != nullptr) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(env);
    out.assign(bytes, bytes + ntohl(env->size));
  }
  std::free(env);
  return out;
}

int RawPeer::receive(std::unique_ptr<CSCPMessage> *out, uint32_t timeoutMs) {
  if (out != nullptr) out->reset();
  // RecvKMCPMessage puts an envelope's header at the start of the
  // decryption buffer: clearing it first tells whether the message came in
  // one.
  decrypt_[0] = decrypt_[1] = 0;
  KMCPEncryptionContext *ctx = ctx_.get();
  const int r = RecvKMCPMessage(sock_, reinterpret_cast<KMCP_MESSAGE *>(message_.data()),
                                state_.get(), maxMessage_, &ctx, decrypt_.data(), timeoutMs);
  const bool delivered = r > KMCP_RECV_TIMEOUT;
  lastEncrypted_ = delivered && KmLoadBe16(decrypt_.data()) == MC_ENCRYPTED_MESSAGE;
  lastLength_ = delivered ? static_cast<uint32_t>(r) : 0;
  if (delivered && out != nullptr) *out = CSCPMessage::decode(lastBytes(), KMCP_VERSION);
  return r;
}

std::unique_ptr<CSCPMessage> RawPeer::receive(uint32_t timeoutMs) {
  std::unique_ptr<CSCPMessage> msg;
  receive(&msg, timeoutMs);
  return msg;
}

std::vector<uint8_t> RawPeer::receiveBytes(uint32_t timeoutMs) {
  if (receive(nullptr, timeoutMs) <= KMCP_RECV_TIMEOUT) return {};
  return std::vector<uint8_t>(lastBytes().begin(), lastBytes().end());
}

bool RawPeer::waitForClose(uint32_t timeoutMs) {
  for (int i = 0; i < kMaxSkipped; ++i) {
    const int r = receive(nullptr, timeoutMs);
    if (r <= KMCP_RECV_CLOSED) return true;
    if (r == KMCP_RECV_TIMEOUT) return false;
  }
  return false;
}

std::unique_ptr<CSCPMessage> RawPeer::awaitReply(uint32_t id) {
  for (int i = 0; i < kMaxSkipped; ++i) {
    std::unique_ptr<CSCPMessage> msg;
    const int r = receive(&msg);
    if (r <= KMCP_RECV_CLOSED || r == KMCP_RECV_TIMEOUT) return nullptr;
    if (msg != nullptr && msg->GetCode() == MC_REQUEST_COMPLETED && msg->GetId() == id) return msg;
  }
  return nullptr;
}

int64_t RawPeer::request(uint16_t code, const Fill &fill) {
  const uint32_t id = nextId();
  if (!send(code, id, fill)) return -1;
  std::unique_ptr<CSCPMessage> reply = awaitReply(id);
  return reply == nullptr ? int64_t{-1} : int64_t{reply->GetVariableLong(VAR_RCC)};
}

int64_t RawPeer::loginClear(const std::u16string &secret) {
  return request(MC_LOGIN, [&](CSCPMessage &m) {
    m.SetVariable(VAR_AUTH_METHOD, static_cast<uint16_t>(1));
    m.SetVariable(VAR_SHARED_SECRET, secret.c_str());
  });
}

int64_t RawPeer::loginDigest(uint16_t method, const std::string &secret) {
  uint8_t digest[20];
  const auto *bytes = reinterpret_cast<const uint8_t *>(secret.data());
  if (method == 2)
    CalculateMD5Hash(bytes, secret.size(), digest);
  else
    CalculateSHA1Hash(bytes, secret.size(), digest);
  return request(MC_LOGIN, [&](CSCPMessage &m) {
    m.SetVariable(VAR_AUTH_METHOD, method);
    m.SetVariable(VAR_SHARED_SECRET, digest, method == 2 ? 16u : 20u);
  });
}

int RawPeer::detectVersion(uint32_t timeoutMs) {
  int version = 0;
  return KMCPGetPeerProtocolVersion(sock_, &version, nullptr, timeoutMs) != 0 ? version : -1;
}

int RawPeer::setupEncryption(RSA *key) {
  CSCPMessage request;
  if (!PrepareKeyRequestMsg(&request, key, false)) return -1;
  request.SetId(nextId());
  if (!send(request)) return -1;
  // The answer may come after other messages (traps, say).
  for (int i = 0; i < kMaxSkipped; ++i) {
    std::unique_ptr<CSCPMessage> msg;
    const int r = receive(&msg);
    if (r <= KMCP_RECV_CLOSED || r == KMCP_RECV_TIMEOUT) return -1;
    if (msg == nullptr || msg->GetCode() != MC_SESSION_KEY || msg->GetId() != request.GetId())
      continue;
    KMCPEncryptionContext *fresh = nullptr;
    const int result = SetupEncryptionContext(msg.get(), &fresh, nullptr, key, KMCP_VERSION);
    if (result == KMCP_ENCRYPTION_OK) ctx_.reset(fresh);
    return result;
  }
  return -1;
}

bool RawPeer::answerVersion(uint32_t requestId) {
  return KMCPAnswerProtocolVersion(sock_, requestId, KMCP_VERSION, nullptr);
}

bool RawPeer::answerKeyRequest(const CSCPMessage &request) {
  CSCPMessage answer;
  KMCPEncryptionContext *fresh = nullptr;
  const int result = KMCPProcessKeyRequest(&request, KMCP_SUPPORTED_CIPHERS, &answer, &fresh);
  const bool sent = send(answer);  // the answer itself goes out in clear
  if (result == KMCP_ENCRYPTION_OK) ctx_.reset(fresh);
  return sent && result == KMCP_ENCRYPTION_OK;
}

ClosedPort::ClosedPort() : sock_(KmSocketOpenTcp()) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sa);
  if (sock_ != INVALID_SOCKET &&
      ::bind(sock_, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0 &&
      ::getsockname(sock_, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
    port_ = ntohs(sa.sin_port);
}

ClosedPort::~ClosedPort() { KmSocketClose(sock_); }

SOCKET StartConnect(uint16_t port, uint32_t source) {
  const SOCKET sock = KmSocketOpenTcp();
  if (sock == INVALID_SOCKET) return sock;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(source);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  const int flags = ::fcntl(sock, F_GETFL);
  const bool started =
      (source == 0 || ::bind(sock, reinterpret_cast<sockaddr *>(&from), sizeof(from)) == 0) &&
      flags >= 0 && ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) == 0 &&
      (::connect(sock, reinterpret_cast<sockaddr *>(&to), sizeof(to)) == 0 || errno == EINPROGRESS);
  if (!started) {
    KmSocketClose(sock);
    return INVALID_SOCKET;
  }
  return sock;
}

IdleSockets::~IdleSockets() {
  for (SOCKET s : socks_) KmSocketClose(s);
}

size_t IdleSockets::open(uint16_t port, uint32_t source, size_t count) {
  size_t opened = 0;
  for (; opened < count; ++opened) {
    const SOCKET s = StartConnect(port, source);
    if (s == INVALID_SOCKET) break;
    socks_.push_back(s);
  }
  return opened;
}

size_t IdleSockets::closedByPeer() const {
  size_t closed = 0;
  for (SOCKET s : socks_) {
    uint8_t scratch[256];
    // Bounded: a refusal is one small message.
    for (int reads = 0; reads < 8; ++reads) {
      const ssize_t n = ::recv(s, scratch, sizeof(scratch), MSG_DONTWAIT);
      if (n > 0) continue;
      closed += n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN) ? 1 : 0;
      break;
    }
  }
  return closed;
}

bool RaiseDescriptorLimit(uint64_t needed) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur < needed && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = std::min<rlim_t>(std::max<rlim_t>(needed, limit.rlim_cur), limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur >= needed;
}

}  // namespace kmtest
