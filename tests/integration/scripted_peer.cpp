#include "scripted_peer.h"

#include "kmsrv/protocol.h"
#include "support/test_key.h"

namespace kmtest {

namespace {
// Larger than a session takes, so the peer sees whatever a client sends.
constexpr uint32_t kPeerMaxMessage = 1024 * 1024;
}  // namespace

ScriptedPeer::ScriptedPeer() {
  setMaxMessage(kPeerMaxMessage);
  listener_ = KmSocketListenTcp(kLoopbackNet, 0, 4, &port_);
}

ScriptedPeer::~ScriptedPeer() {
  close();
  KmSocketClose(listener_);
}

bool ScriptedPeer::accept(uint32_t timeoutMs, bool answer) {
  close();
  const SOCKET conn = KmSocketAccept(listener_, timeoutMs);
  if (conn == INVALID_SOCKET) return false;
  adopt(conn);
  std::unique_ptr<CSCPMessage> first = receive(timeoutMs);
  if (first == nullptr || first->GetCode() != MC_GET_KMCP_CAPS) return false;
  if (!answer) {
    close();
    return true;
  }
  return answerVersion(first->GetId());
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
  const bool ok = conn.connect(encrypt ? TestKey() : nullptr, false, rcc);
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
