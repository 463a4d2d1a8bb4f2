// A scripted agent for session tests: it listens on 127.0.0.1, accepts one
// connection at a time, answers version detection, and then does exactly
// what the test tells it as the RawPeer it is (receive a message, answer
// it, send crafted bytes, close). For the byte-level cases the reference
// agent has no switch for.
//
// One test thread drives a peer at a time; every wait is bounded.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "kmbase/message.h"
#include "kmbase/net.h"
#include "kmsrv/agent.h"
#include "support/raw_peer.h"

namespace kmtest {

class ScriptedPeer : public RawPeer {
 public:
  ScriptedPeer();
  ~ScriptedPeer();

  uint16_t port() const { return port_; }
  // Accepts one connection (closing the one before) and reads the version
  // request; answers it when `answer`, else hangs up. False on time-out or
  // when the first message is not a version request.
  bool accept(uint32_t timeoutMs = kWaitMs, bool answer = true);

 private:
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
};

// Runs conn.connect() while peer answers version detection, the key request
// when encrypt is set (the session then insists on encryption), and the
// liveness test. rcc as for connect().
bool ConnectScripted(AgentConnection &conn, ScriptedPeer &peer, bool encrypt = false,
                     uint32_t *rcc = nullptr);

// The peer's side of one request, on its own thread: receives the request,
// keeps it, and sends the reply that `answer` fills (code and id are preset,
// VAR_RCC 0 unless answer sets another).
class PeerAnswer {
 public:
  using Answer = std::function<void(const CSCPMessage &request, CSCPMessage &reply)>;
  PeerAnswer(ScriptedPeer &peer, Answer answer);
  ~PeerAnswer() { join(); }
  PeerAnswer(const PeerAnswer &) = delete;
  PeerAnswer &operator=(const PeerAnswer &) = delete;
  // The request as the peer received it (null when none came).
  const CSCPMessage *request() {
    join();
    return request_.get();
  }

 private:
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  std::unique_ptr<CSCPMessage> request_;
  std::thread thread_;
};

}  // namespace kmtest
