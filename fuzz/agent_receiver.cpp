// Fuzz target: arbitrary bytes reach a connected AgentConnection's receiver
// thread over a real loopback TCP connection.
//
// Input byte 0 chooses the mode:
//   even: the bytes follow a clear negotiation as they are (framing, field
//         decoding, dispatch, raw file chunks, oversized and broken headers);
//   odd:  the session is encrypted first, and the bytes travel as the
//         plaintext of valid envelopes (up to 4 KiB each), so the decrypted
//         messages meet the same decoders; a final chunk goes out as raw
//         garbage to reach the undecryptable path.
// The peer thread answers version detection, the key request and the
// liveness test, then sends the input and closes. The session must neither
// crash nor hang: every wait below is bounded.
#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/rsa.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/net.h"
#include "kmsrv/agent.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

constexpr uint32_t kWaitMs = 3000;
constexpr size_t kEnvelopePlainMax = 4096;

SOCKET g_listener = INVALID_SOCKET;
uint16_t g_port = 0;
RSA *g_key = nullptr;

class QuietConnection : public AgentConnection {
 public:
  using AgentConnection::AgentConnection;
  ~QuietConnection() override { disconnectAndWait(); }

 protected:
  void PrintMsg(const char16_t *, ...) override {}
};

bool SendAll(SOCKET s, const void *data, size_t len, KmMutex *lock) {
  return SendEx(s, data, len, 0, lock) == static_cast<int>(len);
}

bool SendMessage(SOCKET s, const CSCPMessage &msg, KMCPEncryptionContext *ctx, KmMutex *lock) {
  KMCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) return false;
  bool ok;
  if (ctx != nullptr) {
    KMCP_ENCRYPTED_MESSAGE *env = CSCPEncryptMessage(ctx, wire);
    ok = env != nullptr && SendAll(s, env, ntohl(env->size), lock);
    free(env);
  } else {
    ok = SendAll(s, wire, ntohl(wire->size), lock);
  }
  free(wire);
  return ok;
}

// Sends the fuzz input: as it is in clear mode, inside envelopes otherwise.
void SendInput(SOCKET s, const uint8_t *data, size_t size, KMCPEncryptionContext *ctx,
               KmMutex *lock) {
  if (ctx == nullptr) {
    SendAll(s, data, size, lock);
    return;
  }
  size_t garbage = size / 8;  // the tail goes out unencrypted
  size_t sealed = size - garbage;
  for (size_t pos = 0; pos < sealed;) {
    size_t n = std::min(kEnvelopePlainMax, sealed - pos);
    KMCP_ENCRYPTED_MESSAGE *env = ctx->encrypt(data + pos, n);
    if (env == nullptr) return;
    bool ok = SendAll(s, env, ntohl(env->size), lock);
    free(env);
    if (!ok) return;
    pos += n;
  }
  SendAll(s, data + sealed, garbage, lock);
}

// The peer: negotiates, then sends the input once the liveness test is
// answered, then closes.
void Peer(const uint8_t *data, size_t size) {
  SOCKET s = KmSocketAccept(g_listener, kWaitMs);
  if (s == INVALID_SOCKET) return;
  KmMutex lock;
  auto *recv = new CSCP_BUFFER;
  RecvKMCPMessage(INVALID_SOCKET, nullptr, recv, 0, nullptr, nullptr, 0);
  std::vector<uint8_t> msgBuf(65536), decBuf(65536);
  KMCPEncryptionContext *ctx = nullptr;
  for (int step = 0; step < 8; step++) {
    int rc = RecvKMCPMessage(s, reinterpret_cast<KMCP_MESSAGE *>(msgBuf.data()), recv,
                             msgBuf.size(), &ctx, decBuf.data(), kWaitMs);
    if (rc <= KMCP_RECV_TIMEOUT) break;
    auto request = CSCPMessage::decode({msgBuf.data(), static_cast<size_t>(rc)}, KMCP_VERSION);
    if (!request) break;
    if (request->GetCode() == MC_GET_KMCP_CAPS) {
      KMCPAnswerProtocolVersion(s, request->GetId(), KMCP_VERSION, &lock);
    } else if (request->GetCode() == MC_REQUEST_SESSION_KEY) {
      CSCPMessage answer;
      KMCPProcessKeyRequest(request.get(), KMCP_SUPPORTED_CIPHERS, &answer, &ctx);
      SendMessage(s, answer, nullptr, &lock);
    } else {
      CSCPMessage reply;
      reply.SetCode(MC_REQUEST_COMPLETED);
      reply.SetId(request->GetId());
      reply.SetVariable(VAR_RCC, RCC_SUCCESS);
      SendMessage(s, reply, ctx, &lock);
      if (request->GetCode() == MC_KEEPALIVE) {
        SendInput(s, data, size, ctx, &lock);
        break;
      }
    }
  }
  KmSocketShutdown(s, SHUT_RDWR);
  KmSocketClose(s);
  if (ctx != nullptr) ctx->decRefCount();
  delete recv;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_listener = KmSocketListenTcp(htonl(INADDR_LOOPBACK), 0, 16, &g_port);
  if (g_listener == INVALID_SOCKET) abort();
  BIGNUM *e = BN_new();
  BN_set_word(e, RSA_F4);
  g_key = RSA_new();
  if (RSA_generate_key_ex(g_key, 2048, e, nullptr) != 1) abort();
  BN_free(e);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const bool encrypted = data[0] & 1;
  std::thread peer(Peer, data + 1, size - 1);
  {
    QuietConnection conn(htonl(INADDR_LOOPBACK), g_port);
    conn.setEncryptionPolicy(encrypted ? ENCRYPTION_MANDATORY : ENCRYPTION_OFF);
    conn.setCommandTimeout(kWaitMs);
    conn.setConnectionTimeout(kWaitMs);
    if (conn.connect(encrypted ? g_key : nullptr)) {
      // Let the receiver work through the input until the peer's close ends
      // the session; bounded.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
      while (conn.isConnected() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  peer.join();
  return 0;
}
