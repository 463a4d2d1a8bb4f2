// Sockets and KMCP framing of the base runtime: the socket handle type, the
// one mapping of socket errors to outcomes, a time-limited connect, a send
// that writes a whole buffer under a lock, the receiver of whole KMCP
// messages (RecvKMCPMessage) with its receive state, protocol version
// detection (both ends) and file streaming. The wire format is described in
// docs/protocol.md.
//
// Threads: every function may be called from any thread. Writes to one
// socket are serialised by the KmMutex the caller passes (the session's
// sendLock); null means the caller serialises them itself. A CSCP_BUFFER and
// the buffers given with it belong to one receiving thread at a time.
// Errors are reported by return values; KmGetLastSocketError() tells the
// socket error of the calling thread's last failed call here.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kmbase/export.h"
#include "kmbase/kmcp.h"
#include "kmbase/sync.h"

class CSCPMessage;
class KMCPEncryptionContext;

typedef int SOCKET;
inline constexpr SOCKET INVALID_SOCKET = -1;

// ---------------------------------------------------------------------------
// Socket errors
// ---------------------------------------------------------------------------

// What a socket error means for the caller.
enum class KmNetOutcome {
  Retry,       // interrupted; repeat the call at once
  WouldBlock,  // no data / no room now; wait for readiness
  TimedOut,    // the operation's time ran out
  Closed,      // the connection is gone (reset, broken pipe, shut down)
  Failed,      // any other failure
};

// The one place that interprets errno values of socket calls.
KMSRV_EXPORT KmNetOutcome KmClassifySocketError(int err);

// The socket error (an errno value) of this thread's last failed call of
// this header; successful calls leave it alone, except ConnectEx, which sets
// 0. Framing failures record EPROTO, time-outs ETIMEDOUT, bad arguments
// EINVAL. It is what a session reports as its "socket error". A socket shut
// down locally (as disconnect does) makes a blocked RecvKMCPMessage return 0
// (closed), not an error.
KMSRV_EXPORT int KmGetLastSocketError();

// A new IPv4 TCP socket (close-on-exec, blocking), or INVALID_SOCKET.
KMSRV_EXPORT SOCKET KmSocketOpenTcp();
// Shuts a socket down (SHUT_RD, SHUT_WR, SHUT_RDWR); 0 or -1. A blocked
// receive on it then returns 0 (closed).
KMSRV_EXPORT int KmSocketShutdown(SOCKET sock, int how);
// Closes the handle (ending a TLS stream bound to it first); INVALID_SOCKET
// is ignored.
KMSRV_EXPORT void KmSocketClose(SOCKET sock);
// A listening IPv4 TCP socket on addrNetOrder:port (port 0 picks a free
// one; *boundPort, when given, receives the port in host order), or
// INVALID_SOCKET. SO_REUSEADDR is set.
KMSRV_EXPORT SOCKET KmSocketListenTcp(uint32_t addrNetOrder, uint16_t port, int backlog,
                                      uint16_t *boundPort);
// Accepts one connection within timeout_ms (KM_INFINITE: no limit); the new
// socket is blocking. INVALID_SOCKET on time-out (ETIMEDOUT) or failure.
KMSRV_EXPORT SOCKET KmSocketAccept(SOCKET listener, uint32_t timeout_ms);

// The connection's byte stream, for a caller that moves raw bytes (a relay):
// the socket itself, or the TLS stream bound to it (kmbase/tls.h). One read
// or write that never waits: > 0 bytes; 0 the peer closed (read only); -1
// nothing possible now; -2 failed (socket error set).
KMSRV_EXPORT ssize_t KmStreamReadSome(SOCKET sock, void *buf, size_t len);
KMSRV_EXPORT ssize_t KmStreamWriteSome(SOCKET sock, const void *buf, size_t len);
// Bytes already taken from the socket and ready to be read, which a poll on
// the socket would not show (only a TLS stream has them).
KMSRV_EXPORT bool KmStreamBuffered(SOCKET sock);
// The poll events to wait for so that a read (POLLIN) or write (POLLOUT)
// that could not go on can: a TLS stream may need the other direction too.
KMSRV_EXPORT short KmStreamPollEvents(SOCKET sock, short wanted);

// ---------------------------------------------------------------------------
// Connect and send
// ---------------------------------------------------------------------------

// Connects within timeout_ms: the socket is switched to non-blocking for the
// attempt and back to its previous mode afterwards, whatever the outcome.
// 0 on success, -1 on failure or time-out (socket error ETIMEDOUT).
KMSRV_EXPORT int ConnectEx(SOCKET sock, const struct sockaddr *addr, socklen_t addrLen,
                           uint32_t timeout_ms);

// Writes all len bytes, holding lock (when not null) for the whole buffer so
// that writes of other threads never interleave with it. Retries partial
// writes and interruptions; on a non-blocking socket it waits for room.
// Never raises SIGPIPE. Returns len, or -1 when the buffer could not be
// written whole (some bytes may have gone out: the stream is then broken) or
// len exceeds INT32_MAX. `flags` are extra send() flags (normally 0).
KMSRV_EXPORT int SendEx(SOCKET sock, const void *data, size_t len, int flags, KmMutex *lock);
// SendEx within a time limit: -1 with socket error ETIMEDOUT when the peer
// has not taken the whole buffer within timeout_ms (KM_INFINITE: no limit),
// whether the socket blocks or not. A peer that stops reading cannot hold the
// writer, or the lock it writes under, for longer.
KMSRV_EXPORT int SendExWithin(SOCKET sock, const void *data, size_t len, int flags, KmMutex *lock,
                              uint32_t timeout_ms);

// The one send path of a KMCP message: sends `size` bytes of a message in
// wire form (its header's size field must equal size), in an encrypted
// envelope when ctx is given (borrowed). The envelope is sealed and written
// under lock (when not null; a caller that already holds the session's send
// lock passes null), so envelopes leave in the order of their counters. True
// when all of it went out; false when the message is malformed or too large,
// cannot be encrypted, or the write failed (socket error set).
KMSRV_EXPORT bool SendKMCPWire(SOCKET sock, const void *wire, size_t size,
                               KMCPEncryptionContext *ctx, KmMutex *lock,
                               uint32_t timeout_ms = KM_INFINITE);
// Encodes msg and sends it as SendKMCPWire does. Encoding and envelope use
// buffers of the calling thread, so a message costs no allocation. Both give
// up after timeout_ms (SendExWithin) when the peer does not read.
KMSRV_EXPORT bool SendKMCPMessage(SOCKET sock, const CSCPMessage &msg, KMCPEncryptionContext *ctx,
                                  KmMutex *lock, uint32_t timeout_ms = KM_INFINITE);

// ---------------------------------------------------------------------------
// Receiving whole messages
// ---------------------------------------------------------------------------

// Size of the read buffer inside CSCP_BUFFER. One read brings as many bytes
// as are waiting, up to this; later calls serve the messages already read
// without a system call. Messages larger than this are assembled directly in
// the caller's buffer. Twice a file chunk message, so that a stream of
// chunks is read a chunk or more at a time and each one is served whole.
inline constexpr uint32_t KMCP_RECV_BUFFER_SIZE = 131072;

// Size of a CSCP_BUFFER: the read buffer and the bookkeeping around it.
inline constexpr size_t KMCP_RECV_STATE_SIZE = KMCP_RECV_BUFFER_SIZE + 64;

// Receive state of one connection. Opaque: only RecvKMCPMessage reads or
// writes it. Plain data of a fixed size: allocate it with new or malloc;
// initialise it with
// RecvKMCPMessage(INVALID_SOCKET, nullptr, &state, 0, nullptr, nullptr, 0).
struct CSCP_BUFFER {
  alignas(8) uint8_t opaque[KMCP_RECV_STATE_SIZE];
};

// The bytes RecvKMCPMessage has read from the socket beyond the messages it
// has served, when they begin a message of their own (nothing is half
// assembled or being skipped); empty otherwise. Valid until the next call
// with state. For a reader that hands its connection over to another one (a
// proxy relay) and must pass on what it read ahead.
KMSRV_EXPORT std::span<const uint8_t> KmReceivePending(const CSCP_BUFFER *state);

// Results of RecvKMCPMessage besides a byte count (which is always > 3).
inline constexpr int KMCP_RECV_CLOSED = 0;        // the peer closed the stream
inline constexpr int KMCP_RECV_ERROR = -1;        // socket error or broken framing
inline constexpr int KMCP_RECV_TOO_LARGE = 1;     // larger than maxMsgSize; skipped
inline constexpr int KMCP_RECV_UNDECRYPTABLE = 2; // encrypted, cannot be decrypted; skipped
inline constexpr int KMCP_RECV_TIMEOUT = 3;       // no byte arrived within timeout_ms

// Receives the next whole message into msgBuffer, which must hold maxMsgSize
// bytes (at least KMCP_HEADER_SIZE). Returns:
//  > 3  the message's length; msgBuffer holds it as it came off the wire
//       (header big-endian). For an encrypted message (code
//       MC_ENCRYPTED_MESSAGE) it is the decrypted inner message and its
//       length, which the caller should check against the inner header.
//  3    no byte arrived for timeout_ms (0: only what is already there). A
//       partly received message is kept in the state; call again with the
//       same msgBuffer and decryptionBuffer.
//  2    an encrypted message that cannot be decrypted: *ppCtx (or ppCtx) is
//       null, decryptionBuffer is null, or the context rejects it. Skipped.
//  1    the message's size exceeds maxMsgSize. Its first 16 bytes are in
//       msgBuffer (wire order) so the caller can report code and size; the
//       rest is skipped by the following calls, so the stream stays in step.
//  0    the peer closed the stream (a partly received message is dropped).
//  < 0  a socket error, or a header whose size is below KMCP_HEADER_SIZE:
//       then no later message boundary can be trusted and every later call
//       fails too (socket error EPROTO).
// Sizes are not required to be multiples of KMCP_ALIGNMENT here: a message
// is delivered as long as its boundaries are known; the field codec judges
// its contents.
// decryptionBuffer, when given, must also hold maxMsgSize bytes: an
// encrypted envelope is assembled there (unless it was read whole; its
// 8-byte header lands there in every case, so callers can tell an encrypted
// message by the code there) and decrypted into msgBuffer.
// *ppCtx is read once for each encrypted message, without any lock.
// A call with a null msgBuffer only (re)initialises recvBuffer (sock is
// ignored) and returns 0.
KMSRV_EXPORT int RecvKMCPMessage(SOCKET sock, KMCP_MESSAGE *msgBuffer, CSCP_BUFFER *recvBuffer,
                                 uint32_t maxMsgSize, KMCPEncryptionContext **ppCtx,
                                 uint8_t *decryptionBuffer, uint32_t timeout_ms);

// RecvKMCPMessage without the copy of a clear message that was read whole
// into recvBuffer: *message then points at it inside recvBuffer (aligned
// for the header view; the caller may change it in place) and stays valid
// until the next call with recvBuffer. In every other case *message is
// msgBuffer, which holds what RecvKMCPMessage would have put there. The
// results are RecvKMCPMessage's.
KMSRV_EXPORT int RecvKMCPMessageInPlace(SOCKET sock, KMCP_MESSAGE *msgBuffer,
                                        KMCP_MESSAGE **message, CSCP_BUFFER *recvBuffer,
                                        uint32_t maxMsgSize, KMCPEncryptionContext **ppCtx,
                                        uint8_t *decryptionBuffer, uint32_t timeout_ms);

// RecvKMCPMessageInPlace with a deadline for the whole message instead of a
// limit on each wait: KMCP_RECV_TIMEOUT once `deadline` has passed without a
// whole message, however the bytes of a part of one trickle in (the part is
// kept, as for a time-out). For idle and login limits that a peer must not
// stretch by sending a byte now and then.
KMSRV_EXPORT int RecvKMCPMessageBefore(SOCKET sock, KMCP_MESSAGE *msgBuffer, KMCP_MESSAGE **message,
                                       CSCP_BUFFER *recvBuffer, uint32_t maxMsgSize,
                                       KMCPEncryptionContext **ppCtx, uint8_t *decryptionBuffer,
                                       std::chrono::steady_clock::time_point deadline);

// ---------------------------------------------------------------------------
// Protocol version detection
// ---------------------------------------------------------------------------

// Field of MC_GET_KMCP_CAPS (request and answer) carrying a protocol version
// (32-bit). In the range the base runtime keeps for itself.
inline constexpr uint32_t VAR_KMCP_VERSION = 0x7F000001;
// Field of the refusal a peer sends instead of an answer when it turns a
// connection away (too many sessions): MC_REQUEST_COMPLETED with the version
// request's id, VAR_RCC with the peer's own "busy" code and this field (1).
// It stands first on the connection, so it answers the version request a
// client sends first.
inline constexpr uint32_t VAR_KMCP_REFUSED = 0x7F000002;
// Request id of the version request; the session's own ids start at 1.
inline constexpr uint32_t KMCP_VERSION_REQUEST_ID = 0;
// Largest answer accepted. An answer is one small message; anything larger
// is not an answer, and reading it whole would swallow what follows it.
inline constexpr uint32_t KMCP_VERSION_ANSWER_MAX_SIZE = 1024;
// Default time for the whole exchange.
inline constexpr uint32_t KMCP_VERSION_DETECT_TIMEOUT_MS = 10000;

// Sends MC_GET_KMCP_CAPS (our KMCP_VERSION in VAR_KMCP_VERSION) under
// sendLock and reads exactly the answer, no byte more, within timeout_ms.
// Call it on a fresh connection before anything else reads the socket.
// The answer is MC_GET_KMCP_CAPS with the request's id and the peer's version
// (>= 1) in VAR_KMCP_VERSION; an MC_REQUEST_COMPLETED with the request's id
// and no version field comes from a peer that does not know the request and
// means version 1. Returns non-zero and sets *version on success; 0 (version
// untouched) on send failure, time-out, close, or any other answer. A peer's
// refusal (VAR_KMCP_REFUSED) returns 0 with socket error EBUSY.
KMSRV_EXPORT int KMCPGetPeerProtocolVersion(SOCKET sock, int *version, KmMutex *sendLock,
                                            uint32_t timeout_ms = KMCP_VERSION_DETECT_TIMEOUT_MS);

// Peer side: answers a received MC_GET_KMCP_CAPS whose id is requestId
// (host order) with reportedVersion, sent under sendLock. True when the
// answer went out whole.
KMSRV_EXPORT bool KMCPAnswerProtocolVersion(SOCKET sock, uint32_t requestId, int reportedVersion,
                                            KmMutex *sendLock);

// ---------------------------------------------------------------------------
// File streaming
// ---------------------------------------------------------------------------

// Largest payload of one MC_FILE_DATA chunk.
inline constexpr uint32_t KMCP_FILE_CHUNK_SIZE = 65536;

// Streams the file at path (UTF-16; opened by its UTF-8 form), from byte
// offset on, as raw MC_FILE_DATA messages with request id `id`: chunks of
// KMCP_FILE_CHUNK_SIZE payload bytes, then one shorter chunk (possibly
// empty) with FLAG_END_OF_FILE, so a receiver always sees an end marker.
// Each chunk is encrypted when ctx is given (ctx is borrowed: the caller
// keeps its reference) and sent with SendEx under sendLock, so other
// messages may go out between chunks. After each chunk progress (if given)
// gets the file position reached and arg. Each chunk must be taken by the
// peer within chunkTimeoutMs (SendExWithin; socket error ETIMEDOUT when not).
// True when the whole file went out;
// false when it cannot be opened or read, encryption fails or a send fails
// (the end marker has then not been sent).
KMSRV_EXPORT bool SendFileOverKMCP(SOCKET sock, uint32_t id, const char16_t *path,
                                   KMCPEncryptionContext *ctx, int64_t offset,
                                   void (*progress)(int64_t, void *), void *arg,
                                   KmMutex *sendLock, uint32_t chunkTimeoutMs = KM_INFINITE);
