// A bare server-side peer for the agent tests, built from the runtime alone
// (socket, SendEx, RecvKMCPMessage, CSCPMessage, the key exchange): it lets a
// test send exactly the bytes it wants and see exactly what comes back.
//
// One RawClient belongs to one test thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/net.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"

namespace agentdtest {

// Generous bound on every wait of a test for something that must come.
inline constexpr uint32_t kWaitMs = 10000;
// The receive limit of the library's own session.
inline constexpr uint32_t kClientMaxMessage = 262144;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// One RSA key per test binary: generating it is the slow part.
inline RSA *ServerKey() {
  static RSA *key = [] {
    EVP_PKEY *pkey = EVP_RSA_gen(2048);
    RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
    EVP_PKEY_free(pkey);
    return rsa;
  }();
  return key;
}
#pragma GCC diagnostic pop

inline uint16_t Be16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t Be32(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return ntohl(v);
}

// A wire header followed by `extra` zero bytes (count field 0).
inline std::vector<uint8_t> Header(uint16_t code, uint32_t size, uint32_t id, size_t extra = 0,
                                   uint16_t flags = 0) {
  std::vector<uint8_t> m(KMCP_HEADER_SIZE + extra, 0);
  const uint16_t c = htons(code), f = htons(flags);
  const uint32_t s = htonl(size), i = htonl(id);
  std::memcpy(&m[0], &c, 2);
  std::memcpy(&m[2], &f, 2);
  std::memcpy(&m[4], &s, 4);
  std::memcpy(&m[8], &i, 4);
  return m;
}

inline std::vector<uint8_t> Wire(const CSCPMessage &msg) {
  std::vector<uint8_t> bytes(msg.EncodedSize());
  bytes.resize(msg.EncodeTo(bytes.data()));
  return bytes;
}

class RawClient {
 public:
  explicit RawClient(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
    RecvKMCPMessage(INVALID_SOCKET, nullptr, state_.get(), 0, nullptr, nullptr, 0);
  }
  ~RawClient() {
    close();
    if (ctx_ != nullptr) ctx_->decRefCount();
  }
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
  bool encrypted() const { return ctx_ != nullptr; }
  // Forgets the session key (as the library does at a proxy hop).
  void dropKey() {
    if (ctx_ != nullptr) ctx_->decRefCount();
    ctx_ = nullptr;
  }
  uint32_t nextId() { return nextId_++; }

  bool sendBytes(std::span<const uint8_t> bytes) {
    return SendEx(fd_, bytes.data(), bytes.size(), 0, nullptr) == static_cast<int>(bytes.size());
  }
  // Sends a message, encrypted once the session has a key.
  bool send(const CSCPMessage &msg) {
    std::vector<uint8_t> wire = Wire(msg);
    if (wire.empty()) return false;
    if (ctx_ == nullptr) return sendBytes(wire);
    KMCP_ENCRYPTED_MESSAGE *env =
        CSCPEncryptMessage(ctx_, reinterpret_cast<const KMCP_MESSAGE *>(wire.data()));
    if (env == nullptr) return false;
    const bool ok = sendBytes({reinterpret_cast<uint8_t *>(env), ntohl(env->size)});
    std::free(env);
    return ok;
  }

  // The next message: the RecvKMCPMessage result; for a delivered message
  // *out holds it decoded (null when it does not decode) and lastBytes() its
  // bytes.
  int receive(std::unique_ptr<CSCPMessage> *out, uint32_t timeoutMs = kWaitMs) {
    if (out != nullptr) out->reset();
    decrypt_[0] = decrypt_[1] = 0;
    const int r =
        RecvKMCPMessage(fd_, reinterpret_cast<KMCP_MESSAGE *>(message_.data()), state_.get(),
                        kClientMaxMessage, &ctx_, decrypt_.data(), timeoutMs);
    lastEncrypted_ = r > KMCP_RECV_TIMEOUT && Be16(decrypt_.data()) == MC_ENCRYPTED_MESSAGE;
    lastLength_ = r > KMCP_RECV_TIMEOUT ? static_cast<uint32_t>(r) : 0;
    if (r > KMCP_RECV_TIMEOUT && out != nullptr)
      *out =
          CSCPMessage::decode(std::span<const uint8_t>(message_.data(), lastLength_), KMCP_VERSION);
    return r;
  }
  std::span<const uint8_t> lastBytes() const { return {message_.data(), lastLength_}; }
  const uint8_t *lastHeader() const { return message_.data(); }
  bool lastEncrypted() const { return lastEncrypted_; }

  // Waits for MC_REQUEST_COMPLETED with this id, skipping up to 512 other
  // messages (traps, say); null when the connection ends or nothing comes.
  std::unique_ptr<CSCPMessage> awaitReply(uint32_t id) {
    for (int i = 0; i < 512; ++i) {
      std::unique_ptr<CSCPMessage> msg;
      const int r = receive(&msg);
      if (r <= KMCP_RECV_CLOSED || r == KMCP_RECV_TIMEOUT) return nullptr;
      if (msg != nullptr && msg->GetCode() == MC_REQUEST_COMPLETED && msg->GetId() == id)
        return msg;
    }
    return nullptr;
  }

  // Sends a request with a fresh id; its RCC, or -1 when no reply came.
  int64_t request(uint16_t code, const std::function<void(CSCPMessage &)> &fill = {}) {
    CSCPMessage msg;
    msg.SetCode(code);
    msg.SetId(nextId());
    if (fill) fill(msg);
    if (!send(msg)) return -1;
    std::unique_ptr<CSCPMessage> reply = awaitReply(msg.GetId());
    return reply == nullptr ? -1 : reply->GetVariableLong(VAR_RCC);
  }

  int64_t keepalive() { return request(MC_KEEPALIVE); }

  int64_t loginClear(const std::u16string &secret) {
    return request(MC_LOGIN, [&](CSCPMessage &m) {
      m.SetVariable(VAR_AUTH_METHOD, static_cast<uint16_t>(1));
      m.SetVariable(VAR_SHARED_SECRET, secret.c_str());
    });
  }
  int64_t loginDigest(uint16_t method, const std::string &secret) {
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

  // Version detection on a fresh connection; the version or -1.
  int detectVersion(uint32_t timeoutMs = kWaitMs) {
    int version = 0;
    return KMCPGetPeerProtocolVersion(fd_, &version, nullptr, timeoutMs) != 0 ? version : -1;
  }

  // Key exchange with ServerKey(); the KMCP_ENCRYPTION_* result, or -1 when
  // no answer came.
  int setupEncryption() {
    CSCPMessage request;
    if (!PrepareKeyRequestMsg(&request, ServerKey(), false)) return -1;
    request.SetId(nextId());
    if (!send(request)) return -1;
    for (int i = 0; i < 32; ++i) {
      std::unique_ptr<CSCPMessage> msg;
      const int r = receive(&msg);
      if (r <= KMCP_RECV_CLOSED || r == KMCP_RECV_TIMEOUT) return -1;
      if (msg == nullptr || msg->GetCode() != MC_SESSION_KEY || msg->GetId() != request.GetId())
        continue;
      KMCPEncryptionContext *fresh = nullptr;
      const int result =
          SetupEncryptionContext(msg.get(), &fresh, nullptr, ServerKey(), KMCP_VERSION);
      if (result == KMCP_ENCRYPTION_OK) {
        dropKey();
        ctx_ = fresh;
      }
      return result;
    }
    return -1;
  }

  // Reads until the peer closes; true when it did within timeoutMs (bytes
  // that arrive meanwhile are discarded).
  bool waitForClose(uint32_t timeoutMs = kWaitMs) {
    for (int i = 0; i < 64; ++i) {
      const int r = receive(nullptr, timeoutMs);
      if (r <= KMCP_RECV_CLOSED) return true;
      if (r == KMCP_RECV_TIMEOUT) return false;
    }
    return false;
  }

 private:
  int fd_ = -1;
  uint32_t nextId_ = 1;
  KMCPEncryptionContext *ctx_ = nullptr;
  std::unique_ptr<CSCP_BUFFER> state_ = std::make_unique<CSCP_BUFFER>();
  std::vector<uint8_t> message_ = std::vector<uint8_t>(kClientMaxMessage + 8);
  std::vector<uint8_t> decrypt_ = std::vector<uint8_t>(kClientMaxMessage + 8);
  uint32_t lastLength_ = 0;
  bool lastEncrypted_ = false;
};

}  // namespace agentdtest
