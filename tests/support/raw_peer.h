// One end of a KMCP connection driven by hand, for tests that must send
// exactly the bytes they want and see exactly what comes back: a client of
// the reference peers, or the peer a session under test talks to. It reads
// and writes whole messages, clear or encrypted (it can take either side of
// the key exchange), and raw bytes. Built from the runtime alone: sockets,
// RecvKMCPMessage, CSCPMessage and the key exchange.
//
// One RawPeer belongs to one thread at a time. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/net.h"
#include "kmbase/refcount.h"
#include "support/test_key.h"
#include "support/wait.h"

namespace kmtest {

// 127.0.0.1 in network order, as the session classes take addresses.
inline const uint32_t kLoopbackNet = htonl(INADDR_LOOPBACK);

class RawPeer {
 public:
  // The receive limit of the library's own sessions.
  static constexpr uint32_t kSessionMaxMessage = 262144;
  using Fill = std::function<void(CSCPMessage &)>;

  // Not connected yet: adopt() gives it a connection.
  RawPeer();
  // Connected to 127.0.0.1:port (ok() is false when that failed), from the
  // loopback address `source` (host order; 0: the system's choice).
  explicit RawPeer(uint16_t port, uint32_t source = 0);
  ~RawPeer();
  RawPeer(const RawPeer &) = delete;
  RawPeer &operator=(const RawPeer &) = delete;

  // Takes over a connected socket, closing the connection held before and
  // forgetting its key and any bytes read ahead.
  void adopt(SOCKET sock);
  // Closes the connection (and forgets its key).
  void close();
  void shutdownWrite();
  bool ok() const { return sock_ != INVALID_SOCKET; }
  SOCKET socket() const { return sock_; }
  // The largest message receive() takes whole (default kSessionMaxMessage);
  // a larger one comes back as KMCP_RECV_TOO_LARGE with its header.
  void setMaxMessage(uint32_t bytes);

  // --- Sending ---------------------------------------------------------
  bool sendBytes(const void *data, size_t len);
  bool sendBytes(std::span<const uint8_t> bytes) { return sendBytes(bytes.data(), bytes.size()); }
  // A message, encrypted once the connection has a key.
  bool send(const CSCPMessage &msg);
  // A message of code and id with the fields fill sets.
  bool send(uint16_t code, uint32_t id, const Fill &fill = {});
  // MC_REQUEST_COMPLETED for id with VAR_RCC = rcc.
  bool reply(uint32_t id, uint32_t rcc);
  // Bytes as they are, sealed into one envelope (needs a key).
  bool sendEncryptedBytes(const void *data, size_t len);
  // The envelope send() would write for msg, to send later or twice; empty
  // without a key. Uses up one message of the key's counter.
  std::vector<uint8_t> seal(const CSCPMessage &msg);

  // --- Receiving -------------------------------------------------------
  // The next message: the RecvKMCPMessage result (a length > 3 for a
  // delivered one). For a delivered message *out (when given) holds it
  // decoded, null when it does not decode; lastBytes() holds its bytes.
  int receive(std::unique_ptr<CSCPMessage> *out, uint32_t timeoutMs = kWaitMs);
  // The next message decoded; null on time-out, close, skip or garbage.
  std::unique_ptr<CSCPMessage> receive(uint32_t timeoutMs = kWaitMs);
  // The next message as it arrived (decrypted), header included, for raw
  // messages such as file chunks; empty when none was delivered.
  std::vector<uint8_t> receiveBytes(uint32_t timeoutMs = kWaitMs);
  std::span<const uint8_t> lastBytes() const { return {message_.data(), lastLength_}; }
  // The last message's header (also for a skipped, too large one).
  const uint8_t *lastHeader() const { return message_.data(); }
  // The last delivered message came in an envelope.
  bool lastEncrypted() const { return lastEncrypted_; }
  // Reads until the other end closes, discarding what comes meanwhile; true
  // when it closed (no message arriving for timeoutMs means it did not).
  bool waitForClose(uint32_t timeoutMs = kWaitMs);

  // --- As the server side of a session ----------------------------------
  uint32_t nextId() { return nextId_++; }
  // MC_REQUEST_COMPLETED for id, skipping other messages (traps, say); null
  // when the connection ends or nothing comes.
  std::unique_ptr<CSCPMessage> awaitReply(uint32_t id);
  // Sends a request with a fresh id; its VAR_RCC, or -1 when no reply came.
  int64_t request(uint16_t code, const Fill &fill = {});
  int64_t keepalive() { return request(MC_KEEPALIVE); }
  // Login by the clear secret (method 1) or by its digest (2 MD5, 3 SHA-1).
  int64_t loginClear(const std::u16string &secret);
  int64_t loginDigest(uint16_t method, const std::string &secret);
  // Version detection on a fresh connection: the version, or -1.
  int detectVersion(uint32_t timeoutMs = kWaitMs);
  // The server's side of the key exchange with key: the KMCP_ENCRYPTION_*
  // result, or -1 when no answer came. Later traffic is encrypted.
  int setupEncryption(RSA *key = TestKey());

  // --- As the peer of a session -----------------------------------------
  bool answerVersion(uint32_t requestId);
  // Answers a received key request; later traffic is encrypted.
  bool answerKeyRequest(const CSCPMessage &request);

  // --- The key ----------------------------------------------------------
  // Uses ctx (a reference of its own) for what follows.
  void useKey(KMCPEncryptionContext *ctx) { ctx_ = KmRef<KMCPEncryptionContext>::Share(ctx); }
  // Forgets the key, as the library does at a proxy hop.
  void dropKey() { ctx_.reset(); }
  bool encrypted() const { return static_cast<bool>(ctx_); }

 private:
  SOCKET sock_ = INVALID_SOCKET;
  uint32_t nextId_ = 1;
  uint32_t maxMessage_ = kSessionMaxMessage;
  KmRef<KMCPEncryptionContext> ctx_;
  std::unique_ptr<CSCP_BUFFER> state_;
  std::vector<uint8_t> message_;
  std::vector<uint8_t> decrypt_;
  uint32_t lastLength_ = 0;
  bool lastEncrypted_ = false;
};

// A TCP socket bound to the loopback address `source` (host order; 0: not
// bound) and connecting to 127.0.0.1:port, without waiting for the connect
// (non-blocking); INVALID_SOCKET when it cannot even start.
SOCKET StartConnect(uint16_t port, uint32_t source);

// Connections that never send a byte, as a crowd of hostile clients holds
// them: opened from `source` without waiting for each to be accepted, and
// closed with the object.
class IdleSockets {
 public:
  IdleSockets() = default;
  ~IdleSockets();
  IdleSockets(const IdleSockets &) = delete;
  IdleSockets &operator=(const IdleSockets &) = delete;
  // Opens count more; how many could be started.
  size_t open(uint16_t port, uint32_t source, size_t count);
  size_t size() const { return socks_.size(); }
  // How many of them the other end has closed (or reset) by now, reading
  // and dropping what it sent.
  size_t closedByPeer() const;

 private:
  std::vector<SOCKET> socks_;
};

// Raises the soft limit on open descriptors towards `needed` (up to the hard
// limit); true when the limit is now at least `needed`.
bool RaiseDescriptorLimit(uint64_t needed);

// A loopback port nobody listens on, kept reserved while the object lives:
// the socket is bound but never listens, so connections to it are refused
// and no other test can take the port meanwhile.
class ClosedPort {
 public:
  ClosedPort();
  ~ClosedPort();
  ClosedPort(const ClosedPort &) = delete;
  ClosedPort &operator=(const ClosedPort &) = delete;
  uint16_t port() const { return port_; }

 private:
  SOCKET sock_ = INVALID_SOCKET;
  uint16_t port_ = 0;
};

}  // namespace kmtest
