// Internal I/O primitives of the net area. io.cpp is the only file that
// makes socket and file system calls whose failures need errno; everything
// else in the area works with the outcomes these return.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <new>

#include "kmbase/net.h"

namespace kmnet {

void setLastError(int err);

// The byte stream of a connection when it is not the plain socket (TLS).
// Bound to the socket handle, so framing, version detection, SendEx and file
// streaming reach it through the same calls as a plain socket: recvSome,
// sendSome and waitFor below look the stream up and use it when there is
// one. A plain socket has none (the common path costs one table load).
class Stream {
 public:
  virtual ~Stream() = default;
  // One read or write that never waits: > 0 bytes; 0 the peer closed (read
  // only); kWouldBlock nothing possible now; kFailed (last error set).
  virtual ssize_t readSome(void *buf, size_t len) = 0;
  virtual ssize_t writeSome(const void *buf, size_t len) = 0;
  // Bytes already taken from the socket and ready to be read: a poll on the
  // socket would not show them.
  virtual bool buffered() = 0;
  // The poll events that let a call that would block go on: a TLS read may
  // have to wait for room to write, and a write for bytes to read.
  virtual short pollEvents(short wanted) = 0;
};

// The stream bound to sock; null for a plain socket.
Stream *streamOf(SOCKET sock);
// Binds stream (taken over) to sock; false (stream deleted) when sock is
// out of the table's range.
bool bindStream(SOCKET sock, Stream *stream);
// Unbinds and deletes the stream of sock, if any. No other thread may be
// using it: KmSocketClose calls it, after the session's threads are done.
void unbindStream(SOCKET sock);

// One send that never waits (flags plus MSG_NOSIGNAL | MSG_DONTWAIT for a
// plain socket): as Stream::writeSome.
ssize_t sendSome(SOCKET sock, const void *buf, size_t len, int flags);

// poll() time-out for a KM_INFINITE-capable time in ms.
int pollTimeout(uint32_t timeout_ms);

enum class Wait { Ready, TimedOut, Failed };
// Waits until sock is ready for events (POLLIN / POLLOUT), an error or a
// hang-up is pending, or timeoutMs (-1: no limit) passes. Interruptions do
// not extend the time.
Wait waitFor(SOCKET sock, short events, int timeoutMs);

// One non-blocking receive. > 0 bytes received; 0 the peer closed the
// stream; kWouldBlock nothing there yet; kFailed any other failure (last
// error set).
inline constexpr ssize_t kWouldBlock = -1;
inline constexpr ssize_t kFailed = -2;
ssize_t recvSome(SOCKET sock, void *buf, size_t len);

// A receive that waits in the kernel, so that waiting for the next message
// costs one system call rather than a poll and a receive. The wait is the
// socket's receive time-out (SO_RCVTIMEO), set only when it changes; only
// reads that wait use it (recvSome and SendEx never block on it).
inline constexpr int kNoTimeoutSet = -2;
// What RecvKMCPMessage knows of a socket it waits on: whether it blocks and
// the receive time-out it set, so that a wait for the next message is one
// blocking receive.
struct ReceiveWait {
  SOCKET sock;        // the socket described (INVALID_SOCKET: none yet)
  int32_t timeoutMs;  // its receive time-out: -1 forever, kNoTimeoutSet not set by us
  bool blocking;      // a blocking socket: a receive on it waits
};
// Prepares a wait of timeoutMs (-1: forever) on sock; false when it cannot
// be done with one receive (a zero time-out, or a non-blocking socket): the
// caller polls instead.
bool armReceiveWait(SOCKET sock, int timeoutMs, ReceiveWait *armed);
// One blocking receive on an armed socket: a count, 0 when the peer closed,
// kWouldBlock when the time-out passed (last error ETIMEDOUT), kInterrupted
// for a signal, or kFailed.
inline constexpr ssize_t kInterrupted = -3;
ssize_t recvWaiting(SOCKET sock, void *buf, size_t len);

// The receive state behind the opaque CSCP_BUFFER.
struct ReceiveState {
  uint32_t readPos;       // first unconsumed byte of data
  uint32_t readEnd;       // end of the received bytes in data
  uint32_t discardLeft;   // bytes of a rejected message still to skip
  uint32_t partialSize;   // size of a message being assembled outside data (0: none)
  uint32_t partialHave;   // bytes of it already in place
  uint8_t partialCipher;  // it is assembled in the decryption buffer
  uint8_t broken;         // the stream lost its framing; every call fails
  uint8_t drained;        // the last read emptied the socket: wait before reading
  ReceiveWait wait;       // how a read that waits is done
  // Aligned so that a message served in place can be viewed as a header.
  alignas(8) uint8_t data[KMCP_RECV_BUFFER_SIZE];
};
static_assert(sizeof(ReceiveState) <= sizeof(CSCP_BUFFER) &&
              alignof(ReceiveState) <= alignof(CSCP_BUFFER));

// The state inside buffer; newState starts its life there (the
// initialising call), stateOf reaches it afterwards.
inline ReceiveState *newState(CSCP_BUFFER *buffer) { return new (buffer->opaque) ReceiveState; }
inline ReceiveState *stateOf(CSCP_BUFFER *buffer) {
  return std::launder(reinterpret_cast<ReceiveState *>(buffer->opaque));
}
inline const ReceiveState *stateOf(const CSCP_BUFFER *buffer) {
  return std::launder(reinterpret_cast<const ReceiveState *>(buffer->opaque));
}

// Opens a file for reading (close-on-exec); -1 on failure.
int openForRead(const char *path);
// Moves the position of fd to offset; false on failure.
bool seekTo(int fd, int64_t offset);
// Reads until len bytes or end of file; bytes read, or -1 on failure.
ssize_t readFull(int fd, void *buf, size_t len);
void closeFile(int fd);

// Holds an optional lock (the callers' sendLock may be null) for a scope.
class MaybeLock {
 public:
  explicit MaybeLock(KmMutex *m) KM_NO_THREAD_SAFETY_ANALYSIS : m_(m) {
    if (m_ != nullptr) m_->lock();
  }
  ~MaybeLock() KM_NO_THREAD_SAFETY_ANALYSIS {
    if (m_ != nullptr) m_->unlock();
  }
  MaybeLock(const MaybeLock &) = delete;
  MaybeLock &operator=(const MaybeLock &) = delete;

 private:
  KmMutex *m_;
};

}  // namespace kmnet
