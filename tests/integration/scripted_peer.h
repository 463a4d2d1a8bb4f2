// A scripted KMCP peer for session tests: listens on 127.0.0.1, accepts one
// connection, answers version detection, and then does exactly what the test
// tells it (receive a message, answer it, send crafted bytes, close). Used for
// the byte-level cases the reference agent has no switch for.
//
// One test thread drives a peer at a time; every wait is bounded.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/net.h"
#include "kmsrv/agent.h"

namespace kmtest {

class ScriptedPeer {
 public:
  ScriptedPeer();
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer &) = delete;
  ScriptedPeer &operator=(const ScriptedPeer &) = delete;

  uint16_t port() const { return port_; }
  // Accepts one connection and reads the version request; answers it when
  // answerVersion, else hangs up. False on time-out or when the first
  // message is not a version request.
  bool accept(uint32_t timeoutMs = 5000, bool answerVersion = true);
  // The next decoded message from the client (decrypted when a key was
  // exchanged), or null on time-out, close or garbage.
  std::unique_ptr<CSCPMessage> receive(uint32_t timeoutMs = 5000);
  // The next message as it arrived (decrypted), header included: for raw
  // messages such as file chunks. Empty on time-out or close.
  std::vector<uint8_t> receiveBytes(uint32_t timeoutMs = 5000);
  // Sends a message (encrypted when a key was exchanged).
  bool send(const CSCPMessage &msg);
  // Sends bytes as they are.
  bool sendBytes(const void *data, size_t len);
  // Encrypts bytes as they are into one envelope (needs an exchanged key).
  bool sendEncryptedBytes(const void *data, size_t len);
  // The envelope send() would write for msg, for sending later (or twice);
  // empty without an exchanged key. Uses up one message of the key's counter.
  std::vector<uint8_t> seal(const CSCPMessage &msg);
  // MC_REQUEST_COMPLETED for id with VAR_RCC = rcc.
  bool reply(uint32_t id, uint32_t rcc);
  // Answers a received key request; later traffic is encrypted.
  bool answerKeyRequest(const CSCPMessage &request);
  // Closes the connection (the listener stays).
  void closeConnection();
  // True when the client closed the connection within timeoutMs.
  bool waitForClose(uint32_t timeoutMs = 5000);

 private:
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET conn_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::unique_ptr<CSCP_BUFFER> state_;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> decryptBuffer_;
  KMCPEncryptionContext *ctx_ = nullptr;
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
