// AgentConnection::Link: the adapter through which the shared session
// mechanics (session/session_link.h) reach an AgentConnection's socket,
// locks, context and reply queue. Internal to agent/; made on the stack by
// the thread that calls a helper, it only borrows the session.
#pragma once

#include "kmsrv/agent.h"
#include "kmsrv/debug.h"
#include "session/session_link.h"

class AgentConnection::Link final : public kmsrv_session::ReceiverHooks {
 public:
  explicit Link(AgentConnection &agent) : agent_(agent) {}

  SOCKET socketHandle() override {
    KmLockGuard guard(agent_.stateLock);
    return agent_.socket;
  }
  KMCPEncryptionContext *acquireContext() override { return agent_.acquireEncryptionContext(); }
  void installContext(KMCPEncryptionContext *ctx) override {
    KmLockGuard guard(agent_.stateLock);
    agent_.releaseEncryptionContext();
    agent_.encryptionContext = ctx;
  }
  KmMutex &writeLock() override { return agent_.sendLock; }
  MsgWaitQueue &replies() override { return agent_.replyQueue; }
  bool sessionClosing() override { return agent_.sessionClosing.load(); }
  std::atomic<uint32_t> &keyExchangeId() override { return agent_.keyExchangeId; }
  KmEvent &keyExchangeDone() override { return agent_.keyExchangeDone; }

  uint32_t receiveTimeoutMs() override { return agent_.receiveTimeout.load(); }
  void report(const char16_t *line) override { agent_.PrintMsg(u"%s", line); }
  void receiveFailed(int result, int socketError) override {
    // After a local shutdown (disconnect, failed connect) the receive
    // reports the stream closed; that is the expected way out, not worth a
    // trace.
    if (agent_.sessionClosing.load()) return;
    DbgPrintf(6,
              u"AgentConnection::ReceiverThread(): RecvKMCPMessage() failed: error=%d, "
              u"socket_error=%d",
              result, socketError);
  }
  bool keepWaitingWhenIdle() override { return agent_.uploadInProgress.load(); }
  void dispatch(KMCP_MESSAGE *msg, uint32_t size) override { agent_.dispatchMessage(msg, size); }

 private:
  AgentConnection &agent_;
};

