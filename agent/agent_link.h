// AgentConnection::Link: the shared session mechanics (session/session_link.h)
// over an AgentConnection's members, and what the receiver does with what
// arrives. Internal to agent/; made on the stack by the thread that needs
// it, it only borrows the session.
#pragma once

#include "kmsrv/agent.h"
#include "kmsrv/debug.h"
#include "session/session_link.h"

class AgentConnection::Link final : public kmsrv_session::Link,
                                    public kmsrv_session::ReceiverHooks {
 public:
  // The agent's result codes for what the mechanics report themselves.
  static constexpr kmsrv_session::ResultCodes kCodes{
      RCC_CONNECTION_BROKEN,   RCC_REQUEST_TIMEOUT, RCC_NO_CIPHERS,   RCC_INVALID_PUBLIC_KEY,
      RCC_INVALID_SESSION_KEY, RCC_INTERNAL_ERROR,  RCC_BAD_RESPONSE, RCC_OUT_OF_RESOURCES};

  explicit Link(AgentConnection &agent)
      : kmsrv_session::Link({agent.socket, agent.encryptionContext, agent.stateLock, agent.sendLock,
                             agent.replyQueue, agent.sessionClosing, agent.keyExchangeId,
                             agent.keyExchangeDone, agent.receiverThread, agent.receiverThreadId,
                             agent.commandTimeout}),
        agent_(agent) {}

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
  void sessionEnding() override KM_NO_THREAD_SAFETY_ANALYSIS {  // stateLock is held
    agent_.endDownload(false);
    agent_.connected = false;
  }

 private:
  AgentConnection &agent_;
};
