// Fuzz target for the KMCP framing: arbitrary bytes go through a socket
// pair, written in pieces, into RecvKMCPMessage until the stream ends.
//
// Input: byte 0 picks maxMsgSize, byte 1 seeds the piece sizes, the rest is
// the stream. Encrypted messages are decrypted with a context keyed like the
// one that made the seeds (key bytes 0..31, receiver on the server side).
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kmbase/crypto.h"
#include "kmbase/net.h"

namespace {

constexpr uint32_t kMaxSizes[] = {16, 64, 1024, 65536, 65544, 262144};
constexpr uint32_t kLargest = 262144;

struct Buffers {
  CSCP_BUFFER state;
  alignas(8) uint8_t msg[kLargest];
  alignas(8) uint8_t decrypt[kLargest];
};

KMCPEncryptionContext *makeContext() {
  uint8_t key[KMCP_SESSION_KEY_SIZE];
  for (size_t i = 0; i < sizeof(key); ++i) key[i] = static_cast<uint8_t>(i);
  return KMCPEncryptionContext::create(KMCP_CIPHER_AES_256_GCM, key, sizeof(key),
                                       KmcpCryptoSide::Server);
}

void check(bool ok) {
  if (!ok) std::abort();
}

// Checks what one result promises about the message buffer.
void checkResult(int r, const uint8_t *msg, uint32_t maxSize) {
  if (r == KMCP_RECV_TOO_LARGE) {
    uint32_t size;
    std::memcpy(&size, msg + 4, 4);
    check(ntohl(size) > maxSize);
  }
  if (r > 3) check(static_cast<uint32_t>(r) <= maxSize && r >= static_cast<int>(KMCP_HEADER_SIZE));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  static Buffers *b = new Buffers;
  const uint32_t maxSize = kMaxSizes[data[0] % (sizeof(kMaxSizes) / sizeof(kMaxSizes[0]))];
  uint32_t rng = data[1] * 2654435761u + 1;
  data += 2;
  size -= 2;

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  KMCPEncryptionContext *ctx = makeContext();
  RecvKMCPMessage(INVALID_SOCKET, nullptr, &b->state, 0, nullptr, nullptr, 0);
  auto *msg = reinterpret_cast<KMCP_MESSAGE *>(b->msg);

  size_t written = 0;
  bool open = true;
  for (int round = 0; round < 100000 && open; ++round) {
    if (written < size) {
      rng = rng * 1103515245u + 12345u;
      size_t piece = 1 + (rng >> 8) % 20000;
      if (piece > size - written) piece = size - written;
      ssize_t n = ::send(fds[1], data + written, piece, MSG_NOSIGNAL);
      if (n > 0) written += static_cast<size_t>(n);
      if (written == size) ::shutdown(fds[1], SHUT_WR);
    } else if (size == 0 && round == 0) {
      ::shutdown(fds[1], SHUT_WR);
    }
    // Drain what is there; a time-out means "wait for more".
    for (int calls = 0; calls < 100000; ++calls) {
      KMCPEncryptionContext *c = ctx;
      int r = RecvKMCPMessage(fds[0], msg, &b->state, maxSize, &c, b->decrypt, 0);
      if (r == KMCP_RECV_TIMEOUT) break;
      if (r <= 0) {
        open = false;
        break;
      }
      checkResult(r, b->msg, maxSize);
    }
  }
  if (ctx != nullptr) ctx->decRefCount();
  ::close(fds[0]);
  ::close(fds[1]);
  return 0;
}
