// TLS 1.3 beneath the KMCP framing. A session that uses it runs the
// handshake on its connected socket (KmTlsConnect on the calling side,
// KmTlsAccept on the answering side); from then on the TLS stream is bound to
// the socket handle, and every read and write of the net area on that socket
// (framing, version detection, SendEx, file streaming, the stream functions
// of net.h) goes through it. Nothing above the socket changes: KMCP,
// requests, file transfer and traps run unchanged inside the stream.
//
// A socket with TLS bound to it is non-blocking (waits happen in poll, with
// their time limits), must be closed with KmSocketClose (which ends TLS and
// frees it before the number can be reused) and is shut down from another
// thread as before (KmSocketShutdown: a blocked read or write returns).
//
// Threads: one thread may read while others write (the session's send lock
// serialises writers); the stream takes its own short lock around each TLS
// call. Contexts are immutable once made and shared by any number of
// sessions and threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "kmbase/export.h"
#include "kmbase/net.h"

// What went wrong with a TLS session, as one value a caller can act on.
enum class KmTlsFailure : uint8_t {
  None,
  Settings,             // a certificate, key or CA file could not be read or used
  Timeout,              // the handshake did not finish in time
  NotTls,               // the peer does not speak TLS (a legacy-only port?)
  Expired,              // the peer's certificate has expired (or is not yet valid)
  WrongName,            // the peer's certificate does not carry the expected name
  UnknownCa,            // the peer's certificate is not signed by a trusted CA
  FingerprintMismatch,  // the peer's certificate is not the pinned one
  CertificateRequired,  // the peer requires a client certificate and we sent none
  CertificateRefused,   // the peer did not accept our certificate
  NoCertificate,        // (answering side) the client sent no certificate though one is required
  Closed,               // the connection closed during the handshake
  Failed,               // any other handshake failure
};

// A short English text for a failure ("certificate has expired", ...). Never
// null, never to be freed.
KMSRV_EXPORT const char *KmTlsFailureText(KmTlsFailure failure);

// How the calling side checks the peer it reached.
struct KmTlsClientSettings {
  // Trusted CAs (PEM file). Empty with no fingerprint: the system's CAs.
  std::string caFile;
  // SHA-256 of the peer's certificate (hex; colons and case ignored). When
  // set, that one certificate is trusted whoever signed it (its dates still
  // count); with caFile as well, both must hold.
  std::string fingerprint;
  // Our own certificate and key (PEM files), for peers that require one.
  // Both or neither.
  std::string certFile;
  std::string keyFile;
};

// How the answering side presents itself and checks its callers.
struct KmTlsServerSettings {
  std::string certFile;  // our certificate (PEM; a chain after it is sent too)
  std::string keyFile;   // its private key (PEM)
  // When set, callers must present a certificate signed by one of these CAs.
  std::string caFile;
};

// Certificates, keys and checks shared by the sessions made with them. Opaque.
class KmTlsContext;
using KmTlsContextRef = std::shared_ptr<const KmTlsContext>;

// Makes a context; null with *error (when given) naming the file and the
// reason when a file cannot be read or does not fit (a key that does not
// match its certificate, a malformed fingerprint). The key file's bytes are
// wiped from memory once loaded.
KMSRV_EXPORT KmTlsContextRef KmTlsMakeClientContext(const KmTlsClientSettings &settings,
                                                    std::string *error);
KMSRV_EXPORT KmTlsContextRef KmTlsMakeServerContext(const KmTlsServerSettings &settings,
                                                    std::string *error);

// The calling side's handshake on a connected socket, within timeoutMs.
// `name` is what the peer's certificate must carry: a host name, or an IPv4
// or IPv6 address in text form (checked against the certificate's IP
// addresses); it is also sent as the server name when it is a host name.
// Unused when the context pins a fingerprint without a CA file. On success
// the stream is bound to sock and None is returned; on failure nothing is
// bound and *detail (when given) gets OpenSSL's own words for it.
KMSRV_EXPORT KmTlsFailure KmTlsConnect(SOCKET sock, const KmTlsContextRef &context,
                                       const std::string &name, uint32_t timeoutMs,
                                       std::string *detail = nullptr);

// The answering side's handshake, to finish before deadline. On success the
// stream is bound to sock; *peer (when given) gets the subject of the
// caller's certificate, or stays empty when it sent none.
KMSRV_EXPORT KmTlsFailure KmTlsAccept(SOCKET sock, const KmTlsContextRef &context,
                                      std::chrono::steady_clock::time_point deadline,
                                      std::string *detail = nullptr, std::string *peer = nullptr);

// What the first byte a caller sent says it wants: a TLS handshake, or a
// legacy KMCP session. Looks without taking the byte.
enum class KmSessionStart : uint8_t { Tls, Kmcp, Closed, Timeout };
KMSRV_EXPORT KmSessionStart KmPeekSessionStart(SOCKET sock,
                                               std::chrono::steady_clock::time_point deadline);
// The first byte of a TLS handshake record; no KMCP message starts with it.
inline constexpr uint8_t KM_TLS_HANDSHAKE_BYTE = 0x16;

// Whether sock has a TLS stream bound to it.
KMSRV_EXPORT bool KmTlsActive(SOCKET sock);
// The failure that ended the stream on sock after its handshake (the peer's
// alert that it requires our certificate arrives with the first read, after
// the handshake has finished on our side); None while it is well or when no
// stream is bound.
KMSRV_EXPORT KmTlsFailure KmTlsStreamFailure(SOCKET sock);
// The negotiated protocol and cipher, e.g. "TLSv1.3 TLS_AES_256_GCM_SHA384";
// empty when no stream is bound.
KMSRV_EXPORT std::string KmTlsDescription(SOCKET sock);
