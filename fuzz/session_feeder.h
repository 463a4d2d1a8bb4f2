// Drives one server-side session object (the reference agent's or the
// reference ISC peer's) over a socketpair, for the fuzz targets of their
// request handling: no listener, no TCP, one session per input.
//
// FeedSession runs `run` (the session thread's body) on a thread of its own,
// optionally performs the key exchange as the requesting side, then writes
// the input (as it is, or as the plaintext of envelopes of up to 4 KiB) and
// closes its write side, while another thread reads and drops everything the
// session answers. The session must end by itself once the input is
// consumed; every step is bounded by the socket timeouts below.
#pragma once

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/rsa.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/net.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace fuzzfeed {

constexpr size_t kEnvelopePlainMax = 4096;
constexpr int kSocketTimeoutSec = 5;

inline RSA *ServerKey() {
  static RSA *key = [] {
    BIGNUM *e = BN_new();
    BN_set_word(e, RSA_F4);
    RSA *k = RSA_new();
    if (RSA_generate_key_ex(k, 2048, e, nullptr) != 1) abort();
    BN_free(e);
    return k;
  }();
  return key;
}

inline bool WriteAll(int fd, const void *data, size_t len) {
  auto *p = static_cast<const uint8_t *>(data);
  while (len > 0) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

inline bool WriteMessage(int fd, const CSCPMessage &msg) {
  KMCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) return false;
  bool ok = WriteAll(fd, wire, ntohl(wire->size));
  free(wire);
  return ok;
}

// The requesting side of the key exchange over fd; the new context, or null
// when the session did not agree.
inline KMCPEncryptionContext *ExchangeKey(int fd, int version) {
  CSCPMessage request(version);
  if (!PrepareKeyRequestMsg(&request, ServerKey(), true)) return nullptr;
  request.SetCode(MC_REQUEST_SESSION_KEY);
  request.SetId(1);
  if (!WriteMessage(fd, request)) return nullptr;
  auto state = std::make_unique<CSCP_BUFFER>();
  RecvKMCPMessage(INVALID_SOCKET, nullptr, state.get(), 0, nullptr, nullptr, 0);
  std::vector<uint8_t> buf(65536);
  int rc = RecvKMCPMessage(fd, reinterpret_cast<KMCP_MESSAGE *>(buf.data()), state.get(),
                           buf.size(), nullptr, nullptr, kSocketTimeoutSec * 1000);
  if (rc <= KMCP_RECV_TIMEOUT) return nullptr;
  auto answer = CSCPMessage::decode({buf.data(), static_cast<size_t>(rc)}, version);
  if (!answer) return nullptr;
  KMCPEncryptionContext *ctx = nullptr;
  if (SetupEncryptionContext(answer.get(), &ctx, nullptr, ServerKey(), version) !=
      KMCP_ENCRYPTION_OK)
    return nullptr;
  return ctx;
}

// run: the session's body on the given socket end (the session owns it).
// encrypted: exchange a key first and send the input in envelopes, with its
// last eighth as raw bytes after them.
inline void FeedSession(const std::function<void(int)> &run, const uint8_t *data, size_t size,
                        bool encrypted, int version) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  timeval tv{kSocketTimeoutSec, 0};
  setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fds[0], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  std::thread session([&] { run(fds[1]); });

  KMCPEncryptionContext *ctx = encrypted ? ExchangeKey(fds[0], version) : nullptr;
  std::thread drain([&] {
    uint8_t sink[16384];
    while (recv(fds[0], sink, sizeof(sink), 0) > 0) {
    }
  });
  if (ctx == nullptr) {
    WriteAll(fds[0], data, size);
  } else {
    const size_t garbage = size / 8;
    const size_t sealed = size - garbage;
    bool ok = true;
    for (size_t pos = 0; ok && pos < sealed;) {
      size_t n = std::min(kEnvelopePlainMax, sealed - pos);
      KMCP_ENCRYPTED_MESSAGE *env = ctx->encrypt(data + pos, n);
      ok = env != nullptr && WriteAll(fds[0], env, ntohl(env->size));
      free(env);
      pos += n;
    }
    if (ok) WriteAll(fds[0], data + sealed, garbage);
    ctx->decRefCount();
  }
  shutdown(fds[0], SHUT_WR);
  session.join();  // the session ends at the end of its input
  drain.join();    // and has shut its end down by then
  close(fds[0]);
}

}  // namespace fuzzfeed
