#include "scripted_peer.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <span>

#include "agent_test_support.h"
#include "kmsrv/protocol.h"

namespace kmtest {

namespace {
constexpr uint32_t kBufferSize = 1024 * 1024;
}

ScriptedPeer::ScriptedPeer()
    : state_(std::make_unique<CSCP_BUFFER>()), buffer_(kBufferSize), decryptBuffer_(kBufferSize) {
  listener_ = KmSocketListenTcp(htonl(0x7F000001), 0, 4, &port_);
}

ScriptedPeer::~ScriptedPeer() {
  closeConnection();
  KmSocketClose(listener_);
}

bool ScriptedPeer::accept(uint32_t timeoutMs, bool answerVersion) {
  closeConnection();
  conn_ = KmSocketAccept(listener_, timeoutMs);
  if (conn_ == INVALID_SOCKET) return false;
  RecvKMCPMessage(INVALID_SOCKET, nullptr, state_.get(), 0, nullptr, nullptr, 0);
  std::unique_ptr<CSCPMessage> first = receive(timeoutMs);
  if (first == nullptr || first->GetCode() != MC_GET_KMCP_CAPS) return false;
  if (!answerVersion) {
    closeConnection();
    return true;
  }
  return KMCPAnswerProtocolVersion(conn_, first->GetId(), KMCP_VERSION, nullptr);
}

std::unique_ptr<CSCPMessage> ScriptedPeer::receive(uint32_t timeoutMs) {
  if (conn_ == INVALID_SOCKET) return nullptr;
  auto *msg = reinterpret_cast<KMCP_MESSAGE *>(buffer_.data());
  int n = RecvKMCPMessage(conn_, msg, state_.get(), kBufferSize, &ctx_, decryptBuffer_.data(),
                          timeoutMs);
  if (n <= 3) return nullptr;
  return CSCPMessage::decode(std::span<const uint8_t>(buffer_.data(), static_cast<size_t>(n)),
                             KMCP_VERSION);
}

std::vector<uint8_t> ScriptedPeer::receiveBytes(uint32_t timeoutMs) {
  if (conn_ == INVALID_SOCKET) return {};
  auto *msg = reinterpret_cast<KMCP_MESSAGE *>(buffer_.data());
  int n = RecvKMCPMessage(conn_, msg, state_.get(), kBufferSize, &ctx_, decryptBuffer_.data(),
                          timeoutMs);
  if (n <= 3) return {};
  return std::vector<uint8_t>(buffer_.data(), buffer_.data() + n);
}

bool ScriptedPeer::sendBytes(const void *data, size_t len) {
  return conn_ != INVALID_SOCKET && SendEx(conn_, data, len, 0, nullptr) == static_cast<int>(len);
}

bool ScriptedPeer::send(const CSCPMessage &msg) {
  KMCP_MESSAGE *raw = msg.CreateMessage();
  if (raw == nullptr) return false;
  bool ok;
  if (ctx_ != nullptr) {
    KMCP_ENCRYPTED_MESSAGE *env = CSCPEncryptMessage(ctx_, raw);
    ok = env != nullptr && sendBytes(env, ntohl(env->size));
    free(env);
  } else {
    ok = sendBytes(raw, ntohl(raw->size));
  }
  free(raw);
  return ok;
}

bool ScriptedPeer::sendEncryptedBytes(const void *data, size_t len) {
  if (ctx_ == nullptr) return false;
  KMCP_ENCRYPTED_MESSAGE *env = ctx_->encrypt(static_cast<const uint8_t *>(data), len);
  bool ok = env != nullptr && sendBytes(env, ntohl(env->size));
  free(env);
  return ok;
}

std::vector<uint8_t> ScriptedPeer::seal(const CSCPMessage &msg) {
  std::vector<uint8_t> out;
  if (ctx_ == nullptr) return out;
  KMCP_MESSAGE *raw = msg.CreateMessage();
  if (raw == nullptr) return out;
  KMCP_ENCRYPTED_MESSAGE *env = CSCPEncryptMessage(ctx_, raw);
  if (env != nullptr) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(env);
    out.assign(bytes, bytes + ntohl(env->size));
  }
  free(env);
  free(raw);
  return out;
}

bool ScriptedPeer::reply(uint32_t id, uint32_t rcc) {
  CSCPMessage msg;
  msg.SetCode(MC_REQUEST_COMPLETED);
  msg.SetId(id);
  msg.SetVariable(VAR_RCC, rcc);
  return send(msg);
}

bool ScriptedPeer::answerKeyRequest(const CSCPMessage &request) {
  CSCPMessage answer;
  KMCPEncryptionContext *ctx = nullptr;
  int result = KMCPProcessKeyRequest(&request, KMCP_SUPPORTED_CIPHERS, &answer, &ctx);
  bool ok = send(answer);  // the answer itself goes out in clear
  if (result == KMCP_ENCRYPTION_OK) {
    if (ctx_ != nullptr) ctx_->decRefCount();
    ctx_ = ctx;
  }
  return ok && result == KMCP_ENCRYPTION_OK;
}

void ScriptedPeer::closeConnection() {
  KmSocketClose(conn_);
  conn_ = INVALID_SOCKET;
  if (ctx_ != nullptr) ctx_->decRefCount();
  ctx_ = nullptr;
}

bool ScriptedPeer::waitForClose(uint32_t timeoutMs) {
  if (conn_ == INVALID_SOCKET) return true;
  auto *msg = reinterpret_cast<KMCP_MESSAGE *>(buffer_.data());
  for (int i = 0; i < 100; i++) {
    int n = RecvKMCPMessage(conn_, msg, state_.get(), kBufferSize, &ctx_, decryptBuffer_.data(),
                            timeoutMs);
    if (n <= 0) return true;
    if (n == KMCP_RECV_TIMEOUT) return false;
  }
  return false;
}

bool ConnectScripted(AgentConnection &conn, ScriptedPeer &peer, bool encrypt, uint32_t *rcc) {
  std::thread script([&] {
    if (!peer.accept()) return;
    if (encrypt) {
      auto key = peer.receive();
      if (key == nullptr || key->GetCode() != MC_REQUEST_SESSION_KEY) return;
      peer.answerKeyRequest(*key);
    }
    auto nop = peer.receive();
    if (nop != nullptr && nop->GetCode() == MC_KEEPALIVE) peer.reply(nop->GetId(), RCC_SUCCESS);
  });
  conn.setEncryptionPolicy(encrypt ? ENCRYPTION_MANDATORY : ENCRYPTION_ON_DEMAND);
  const bool ok = conn.connect(encrypt ? TestServerKey() : nullptr, false, rcc);
  script.join();
  return ok;
}

PeerAnswer::PeerAnswer(ScriptedPeer &peer, Answer answer)
    : thread_([this, &peer, answer] {
        request_ = peer.receive();
        if (request_ == nullptr) return;
        CSCPMessage reply;
        reply.SetCode(MC_REQUEST_COMPLETED);
        reply.SetId(request_->GetId());
        reply.SetVariable(VAR_RCC, RCC_SUCCESS);
        answer(*request_, reply);
        peer.send(reply);
      }) {}

}  // namespace kmtest
