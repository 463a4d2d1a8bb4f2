// RecvKMCPMessage: cuts the byte stream of a connection into whole KMCP
// messages, skipping those it must reject without losing step.
//
// The state machine, per call:
//  1. finish skipping a rejected message (discardLeft);
//  2. finish a message larger than the read buffer that is being assembled
//     directly in its destination (partialSize);
//  3. otherwise look at the next header in the read buffer and deliver,
//     reject or start assembling that message, reading more when needed.
// Every wait for data may end in a time-out, which leaves the state as it is,
// so the next call resumes where this one stopped.
#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "kmbase/byte_order.h"
#include "kmbase/crypto.h"
#include "net_internal.h"

namespace {

// Outcome of one attempt to get more bytes: a count > 0, or a result of
// RecvKMCPMessage (closed, error, time-out).
struct ReadResult {
  ssize_t bytes;  // > 0 when bytes arrived
  int result;     // RecvKMCPMessage result when bytes == 0
};

// Receives up to len bytes (at least one), waiting at most timeoutMs for the
// first one. With waitFirst (the last read emptied the socket, so the next
// bytes are most likely not there yet) it waits before the first attempt: in
// one blocking receive when the socket allows, else with a poll; either way
// the receive that would only report "nothing yet" is saved.
ReadResult readSome(SOCKET sock, uint8_t *buf, size_t len, int timeoutMs, kmnet::ReceiveWait *wait,
                    bool waitFirst) {
  if (waitFirst && wait != nullptr && kmnet::armReceiveWait(sock, timeoutMs, wait)) {
    const ssize_t n = kmnet::recvWaiting(sock, buf, len);
    if (n > 0) return {n, 0};
    if (n == 0) return {0, KMCP_RECV_CLOSED};
    if (n == kmnet::kWouldBlock) return {0, KMCP_RECV_TIMEOUT};
    if (n == kmnet::kFailed) return {0, KMCP_RECV_ERROR};
    // Interrupted by a signal: wait on below.
  } else if (waitFirst) {
    switch (kmnet::waitFor(sock, POLLIN, timeoutMs)) {
      case kmnet::Wait::Ready:
        break;
      case kmnet::Wait::TimedOut:
        return {0, KMCP_RECV_TIMEOUT};
      case kmnet::Wait::Failed:
        return {0, KMCP_RECV_ERROR};
    }
  }
  for (;;) {
    ssize_t n = kmnet::recvSome(sock, buf, len);
    if (n > 0) return {n, 0};
    if (n == 0) return {0, KMCP_RECV_CLOSED};
    if (n == kmnet::kFailed) return {0, KMCP_RECV_ERROR};
    switch (kmnet::waitFor(sock, POLLIN, timeoutMs)) {
      case kmnet::Wait::Ready:
        continue;
      case kmnet::Wait::TimedOut:
        return {0, KMCP_RECV_TIMEOUT};
      case kmnet::Wait::Failed:
        return {0, KMCP_RECV_ERROR};
    }
  }
}

// What the first KMCP_HEADER_SIZE bytes of a message say about its framing.
// Pure: reads exactly those bytes.
struct FrameInfo {
  uint16_t code;
  uint32_t size;
};
FrameInfo frameInfo(const uint8_t *header) {
  // The size stands at the same place in both header forms.
  return {KmLoadBe16(header), KmLoadBe32(header + 4)};
}

void resetState(kmnet::ReceiveState *st) {
  st->readPos = 0;
  st->readEnd = 0;
  st->discardLeft = 0;
  st->partialSize = 0;
  st->partialHave = 0;
  st->partialCipher = 0;
  st->broken = 0;
  st->drained = 0;
  st->wait = kmnet::ReceiveWait{INVALID_SOCKET, kmnet::kNoTimeoutSet, false};
}

// Moves the unconsumed bytes to the front of the read buffer.
void compact(kmnet::ReceiveState *st) {
  uint32_t avail = st->readEnd - st->readPos;
  if (st->readPos != 0 && avail != 0) std::memmove(st->data, st->data + st->readPos, avail);
  st->readPos = 0;
  st->readEnd = avail;
}

// Reads what is waiting into the free tail of the read buffer (there is one:
// callers compact first). True when bytes arrived; otherwise *result is
// what RecvKMCPMessage returns.
bool fill(SOCKET sock, kmnet::ReceiveState *st, int timeoutMs, int *result) {
  const size_t room = KMCP_RECV_BUFFER_SIZE - st->readEnd;
  ReadResult r = readSome(sock, st->data + st->readEnd, room, timeoutMs, &st->wait, st->drained != 0);
  if (r.bytes == 0) {
    *result = r.result;
    return false;
  }
  // A read that did not fill the room took everything there was.
  st->drained = static_cast<size_t>(r.bytes) < room ? 1 : 0;
  st->readEnd += static_cast<uint32_t>(r.bytes);
  return true;
}

// A whole message of `size` bytes is at `source` (its destination, or the
// read buffer): deliver it, or decrypt it into msgBuffer when it is an
// envelope.
int deliver(KMCP_MESSAGE *msgBuffer, const uint8_t *source, uint32_t size, bool cipher,
            uint32_t maxMsgSize, KMCPEncryptionContext **ppCtx) {
  if (!cipher) return static_cast<int>(size);
  KMCPEncryptionContext *ctx = ppCtx != nullptr ? *ppCtx : nullptr;
  if (ctx == nullptr) return KMCP_RECV_UNDECRYPTABLE;
  size_t plainLen = 0;
  if (!CSCPDecryptMessage(ctx, reinterpret_cast<const KMCP_ENCRYPTED_MESSAGE *>(source),
                          reinterpret_cast<uint8_t *>(msgBuffer), maxMsgSize, &plainLen))
    return KMCP_RECV_UNDECRYPTABLE;
  // Something shorter than a header is no message: the caller would read a
  // stale header.
  if (plainLen < KMCP_HEADER_SIZE || plainLen > maxMsgSize) return KMCP_RECV_UNDECRYPTABLE;
  return static_cast<int>(plainLen);
}

// Consumes up to `size` bytes of the current message from the read buffer
// and leaves the rest for discardLeft.
void skipMessage(kmnet::ReceiveState *st, uint32_t size) {
  uint32_t avail = st->readEnd - st->readPos;
  uint32_t n = std::min(avail, size);
  st->readPos += n;
  st->discardLeft = size - n;
}

}  // namespace

namespace {

// RecvKMCPMessage and RecvKMCPMessageInPlace. With inPlace, a clear message
// that lies whole in the read buffer is not copied: *inPlace points at it.
// Otherwise *inPlace (when given) is msgBuffer.
// With a deadline (not null), no wait lasts beyond it.
int receive(SOCKET sock, KMCP_MESSAGE *msgBuffer, KMCP_MESSAGE **inPlace, CSCP_BUFFER *recvBuffer,
            uint32_t maxMsgSize, KMCPEncryptionContext **ppCtx, uint8_t *decryptionBuffer,
            uint32_t timeout_ms, const std::chrono::steady_clock::time_point *deadline = nullptr) {
  if (inPlace != nullptr) *inPlace = msgBuffer;
  if (recvBuffer == nullptr) {
    kmnet::setLastError(EINVAL);
    return KMCP_RECV_ERROR;
  }
  if (msgBuffer == nullptr) {
    resetState(kmnet::newState(recvBuffer));
    return 0;
  }
  kmnet::ReceiveState *st = kmnet::stateOf(recvBuffer);
  if (st->broken) {
    kmnet::setLastError(EPROTO);
    return KMCP_RECV_ERROR;
  }
  if (maxMsgSize < KMCP_HEADER_SIZE) {
    kmnet::setLastError(EINVAL);
    return KMCP_RECV_ERROR;
  }
  maxMsgSize = std::min<uint32_t>(maxMsgSize, INT_MAX);  // results are int
  const int limitMs = kmnet::pollTimeout(timeout_ms);
  // The wait allowed now: the limit of one wait, cut to what is left before
  // the deadline.
  const auto waitMs = [&]() -> int {
    if (deadline == nullptr) return limitMs;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          *deadline - std::chrono::steady_clock::now())
                          .count();
    const int leftMs = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
    return limitMs < 0 ? leftMs : std::min(limitMs, leftMs);
  };
  auto *msgBytes = reinterpret_cast<uint8_t *>(msgBuffer);
  int result = 0;

  for (;;) {
    // 1. The rest of a rejected message.
    if (st->discardLeft != 0) {
      uint32_t n = std::min(st->readEnd - st->readPos, st->discardLeft);
      st->readPos += n;
      st->discardLeft -= n;
      if (st->discardLeft == 0) continue;
      st->readPos = st->readEnd = 0;
      if (!fill(sock, st, waitMs(), &result)) return result;
      continue;
    }

    // 2. A large message being assembled in place; read exactly its rest.
    if (st->partialSize != 0) {
      uint8_t *dest = st->partialCipher ? decryptionBuffer : msgBytes;
      if (dest == nullptr) {  // the caller changed buffers mid-message
        kmnet::setLastError(EINVAL);
        return KMCP_RECV_ERROR;
      }
      while (st->partialHave < st->partialSize) {
        ReadResult r = readSome(sock, dest + st->partialHave, st->partialSize - st->partialHave,
                                waitMs(), &st->wait, false);
        if (r.bytes == 0) return r.result;
        st->partialHave += static_cast<uint32_t>(r.bytes);
      }
      const uint32_t size = st->partialSize;
      const bool cipher = st->partialCipher != 0;
      st->partialSize = st->partialHave = 0;
      st->partialCipher = 0;
      return deliver(msgBuffer, dest, size, cipher, maxMsgSize, ppCtx);
    }

    // 3. The next message.
    uint32_t avail = st->readEnd - st->readPos;
    if (avail == 0) st->readPos = st->readEnd = 0;  // the next read gets the whole buffer
    if (avail < KMCP_HEADER_SIZE) {
      if (st->readPos + KMCP_HEADER_SIZE > KMCP_RECV_BUFFER_SIZE) compact(st);
      if (!fill(sock, st, waitMs(), &result)) return result;
      continue;
    }
    const uint8_t *start = st->data + st->readPos;
    const FrameInfo f = frameInfo(start);
    if (f.size < KMCP_HEADER_SIZE) {
      // Without a usable size there is no way to find the next message.
      st->broken = 1;
      kmnet::setLastError(EPROTO);
      return KMCP_RECV_ERROR;
    }
    if (f.size > maxMsgSize) {
      std::memcpy(msgBytes, start, KMCP_HEADER_SIZE);
      skipMessage(st, f.size);
      return KMCP_RECV_TOO_LARGE;
    }
    const bool cipher = f.code == MC_ENCRYPTED_MESSAGE;
    if (cipher && decryptionBuffer == nullptr) {
      skipMessage(st, f.size);
      return KMCP_RECV_UNDECRYPTABLE;
    }
    uint8_t *dest = cipher ? decryptionBuffer : msgBytes;
    if (avail >= f.size) {
      // Whole in the read buffer: an envelope is decrypted straight from
      // there; a clear message is handed out where it lies when the caller
      // takes it so (and it is aligned for the header view), else copied.
      st->readPos += f.size;
      if (cipher) {
        // The envelope's header still goes to the decryption buffer: callers
        // tell an encrypted message from a clear one by the code there.
        std::memcpy(decryptionBuffer, start, sizeof(KMCP_ENCRYPTED_MESSAGE));
        return deliver(msgBuffer, start, f.size, true, maxMsgSize, ppCtx);
      }
      if (inPlace != nullptr &&
          reinterpret_cast<uintptr_t>(start) % alignof(KMCP_MESSAGE) == 0) {
        *inPlace = reinterpret_cast<KMCP_MESSAGE *>(const_cast<uint8_t *>(start));
        return static_cast<int>(f.size);
      }
      std::memcpy(dest, start, f.size);
      return static_cast<int>(f.size);
    }
    if (f.size <= KMCP_RECV_BUFFER_SIZE) {
      // It will fit: make room behind it and read on.
      if (st->readPos + f.size > KMCP_RECV_BUFFER_SIZE) compact(st);
      if (!fill(sock, st, waitMs(), &result)) return result;
      continue;
    }
    std::memcpy(dest, start, avail);
    st->readPos = st->readEnd = 0;
    st->partialSize = f.size;
    st->partialHave = avail;
    st->partialCipher = cipher ? 1 : 0;
  }
}

}  // namespace

std::span<const uint8_t> KmReceivePending(const CSCP_BUFFER *state) {
  if (state == nullptr) return {};
  const kmnet::ReceiveState *st = kmnet::stateOf(state);
  if (st->partialSize != 0 || st->discardLeft != 0 || st->readPos >= st->readEnd) return {};
  return {st->data + st->readPos, st->readEnd - st->readPos};
}

int RecvKMCPMessage(SOCKET sock, KMCP_MESSAGE *msgBuffer, CSCP_BUFFER *recvBuffer,
                    uint32_t maxMsgSize, KMCPEncryptionContext **ppCtx, uint8_t *decryptionBuffer,
                    uint32_t timeout_ms) {
  return receive(sock, msgBuffer, nullptr, recvBuffer, maxMsgSize, ppCtx, decryptionBuffer,
                 timeout_ms);
}

int RecvKMCPMessageInPlace(SOCKET sock, KMCP_MESSAGE *msgBuffer, KMCP_MESSAGE **message,
                           CSCP_BUFFER *recvBuffer, uint32_t maxMsgSize,
                           KMCPEncryptionContext **ppCtx, uint8_t *decryptionBuffer,
                           uint32_t timeout_ms) {
  KMCP_MESSAGE *unused;
  return receive(sock, msgBuffer, message != nullptr ? message : &unused, recvBuffer, maxMsgSize,
                 ppCtx, decryptionBuffer, timeout_ms);
}

int RecvKMCPMessageBefore(SOCKET sock, KMCP_MESSAGE *msgBuffer, KMCP_MESSAGE **message,
                          CSCP_BUFFER *recvBuffer, uint32_t maxMsgSize,
                          KMCPEncryptionContext **ppCtx, uint8_t *decryptionBuffer,
                          std::chrono::steady_clock::time_point deadline) {
  KMCP_MESSAGE *unused;
  return receive(sock, msgBuffer, message != nullptr ? message : &unused, recvBuffer, maxMsgSize,
                 ppCtx, decryptionBuffer, KM_INFINITE, &deadline);
}
