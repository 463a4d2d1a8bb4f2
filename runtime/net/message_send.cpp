// The one send path of a KMCP message: encode, encrypt when keyed, send,
// release. The encoded message and its envelope are built in buffers of the
// sending thread, kept between messages, so a message costs no allocation.
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <memory>

#include "kmbase/byte_order.h"
#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "net_internal.h"

namespace {

// Largest buffer a thread keeps between messages: a file chunk or a typical
// request fits; a rare larger message gets a buffer of its own for the time
// of its send, so one large configuration file does not pin memory in every
// thread that ever sent it.
constexpr size_t kKeptBufferSize = KMCP_RECV_BUFFER_SIZE;

// A buffer of the calling thread, 8-byte aligned (the codec and the cipher
// view its start as a header).
class ThreadBuffer {
 public:
  // At least size bytes, or null when they cannot be had.
  uint8_t *get(size_t size) {
    if (size > kKeptBufferSize) {
      large_.reset(new (std::nothrow) uint64_t[(size + 7) / 8]);
      return reinterpret_cast<uint8_t *>(large_.get());
    }
    if (kept_ == nullptr) kept_.reset(new (std::nothrow) uint64_t[kKeptBufferSize / 8]);
    return reinterpret_cast<uint8_t *>(kept_.get());
  }
  // Lets a large buffer go once its message is sent.
  void done() { large_.reset(); }

 private:
  std::unique_ptr<uint64_t[]> kept_;
  std::unique_ptr<uint64_t[]> large_;
};

thread_local ThreadBuffer t_wire;
thread_local ThreadBuffer t_envelope;

bool Send(SOCKET sock, const void *wire, size_t size, KMCPEncryptionContext *ctx, KmMutex *lock,
          uint32_t timeoutMs) {
  if (ctx == nullptr)
    return SendExWithin(sock, wire, size, 0, lock, timeoutMs) == static_cast<int>(size);
  const size_t envelopeSize = KMCPEncryptedSize(size);
  uint8_t *envelope = t_envelope.get(envelopeSize);
  if (envelope == nullptr) {
    kmnet::setLastError(ENOMEM);
    return false;
  }
  // Encrypted under the lock: envelopes must leave in the order of their
  // counters, or a sender that took its counter and then waited for the lock
  // could fall behind the peer's replay window.
  kmnet::MaybeLock guard(lock);
  const size_t sealed =
      ctx->encryptInto(static_cast<const uint8_t *>(wire), size, envelope, envelopeSize);
  const bool sent = sealed != 0 && SendExWithin(sock, envelope, sealed, 0, nullptr, timeoutMs) ==
                                       static_cast<int>(sealed);
  t_envelope.done();
  return sent;
}

}  // namespace

bool SendKMCPWire(SOCKET sock, const void *wire, size_t size, KMCPEncryptionContext *ctx,
                  KmMutex *lock, uint32_t timeout_ms) {
  if (wire == nullptr || size < KMCP_HEADER_SIZE || size > KMCP_MAX_MESSAGE_SIZE ||
      KmLoadBe32(static_cast<const uint8_t *>(wire) + 4) != size) {
    kmnet::setLastError(EINVAL);
    return false;
  }
  return Send(sock, wire, size, ctx, lock, timeout_ms);
}

bool SendKMCPMessage(SOCKET sock, const CSCPMessage &msg, KMCPEncryptionContext *ctx,
                     KmMutex *lock, uint32_t timeout_ms) {
  const size_t size = msg.EncodedSize();
  if (size > KMCP_MAX_MESSAGE_SIZE) {
    kmnet::setLastError(EMSGSIZE);
    return false;
  }
  uint8_t *wire = t_wire.get(size);
  if (wire == nullptr) {
    kmnet::setLastError(ENOMEM);
    return false;
  }
  const bool sent = msg.EncodeTo(wire) == size && Send(sock, wire, size, ctx, lock, timeout_ms);
  t_wire.done();
  return sent;
}
