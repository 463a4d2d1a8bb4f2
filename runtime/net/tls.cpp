// TLS 1.3 streams bound to sockets: contexts, the two handshakes, the
// stream the net area reads and writes through, and what a failure means.
// All cryptography is OpenSSL's; this file only moves bytes and reads
// OpenSSL's verdicts.
#include "kmbase/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include "kmbase/fd_io.h"
#include "net_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

// Larger than any certificate chain or key file an operator would give.
constexpr size_t kMaxPemFileBytes = 1u << 20;

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

// The whole file at path, at most kMaxPemFileBytes; false with *error set.
// The operator names these files; a link (as certificate tools keep them)
// is followed.
bool ReadPemFile(const std::string &path, std::string *out, std::string *error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) <= kMaxPemFileBytes;
  if (ok) {
    out->assign(static_cast<size_t>(st.st_size), '\0');
    ok = KmReadFull(fd, out->data(), out->size()) == static_cast<ssize_t>(out->size());
  }
  ::close(fd);
  if (!ok) *error = path + ": not a readable file of at most 1 MiB";
  return ok;
}

// Wipes a string that held a secret.
void Wipe(std::string *s) {
  if (!s->empty()) OPENSSL_cleanse(s->data(), s->size());
  s->clear();
}

std::string OpenSslReason() {
  char text[256];
  const unsigned long e = ERR_peek_last_error();
  if (e == 0) return "unknown reason";
  ERR_error_string_n(e, text, sizeof(text));
  return text;
}

// Every certificate of a PEM file, in order; false when there is none.
bool ForEachCertificate(const std::string &path, std::string *error, auto &&take) {
  std::string pem;
  if (!ReadPemFile(path, &pem, error)) return false;
  BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  int count = 0;
  while (bio != nullptr) {
    X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    if (cert == nullptr) break;
    const bool taken = take(cert, count++);
    X509_free(cert);
    if (!taken) {
      *error = path + ": " + OpenSslReason();
      BIO_free(bio);
      return false;
    }
  }
  BIO_free(bio);
  ERR_clear_error();  // the end of the file reads as a "no start line" error
  if (count == 0) *error = path + ": no certificate in it";
  return count != 0;
}

bool UseCertificateAndKey(SSL_CTX *ctx, const std::string &certFile, const std::string &keyFile,
                          std::string *error) {
  if (!ForEachCertificate(certFile, error, [&](X509 *cert, int index) {
        // The first is ours; the ones after it are its chain.
        return index == 0 ? SSL_CTX_use_certificate(ctx, cert) == 1
                          : SSL_CTX_add1_chain_cert(ctx, cert) == 1;
      }))
    return false;
  std::string pem;
  if (!ReadPemFile(keyFile, &pem, error)) return false;
  BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY *key = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  Wipe(&pem);
  if (key == nullptr) {
    *error = keyFile + ": not a private key (" + OpenSslReason() + ")";
    return false;
  }
  const bool ok = SSL_CTX_use_PrivateKey(ctx, key) == 1 && SSL_CTX_check_private_key(ctx) == 1;
  EVP_PKEY_free(key);
  if (!ok) *error = keyFile + ": the key does not belong to the certificate in " + certFile;
  return ok;
}

bool TrustCas(SSL_CTX *ctx, const std::string &caFile, std::string *error) {
  X509_STORE *store = SSL_CTX_get_cert_store(ctx);
  return ForEachCertificate(caFile, error,
                            [&](X509 *cert, int) { return X509_STORE_add_cert(store, cert) == 1; });
}

// 64 hex digits (colons and case ignored) into 32 bytes.
bool ParseFingerprint(const std::string &text, std::array<uint8_t, 32> *out) {
  size_t n = 0;
  int high = -1;
  for (const char c : text) {
    if (c == ':') continue;
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      return false;
    if (high < 0) {
      high = v;
      continue;
    }
    if (n == out->size()) return false;
    (*out)[n++] = static_cast<uint8_t>(high << 4 | v);
    high = -1;
  }
  return n == out->size() && high < 0;
}

// ---------------------------------------------------------------------------
// The socket beneath TLS
// ---------------------------------------------------------------------------

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE on a
// closed connection and blocks on a blocking socket. This one sends with
// MSG_NOSIGNAL and never waits (the callers wait in poll, with their time
// limits), whatever mode the socket is in; the socket error of a failure is
// recorded for KmGetLastSocketError.
int BioWrite(BIO *bio, const char *data, int len) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = KmRetryInterrupted(
      [&] { return ::send(BIO_get_fd(bio, nullptr), data, len, MSG_NOSIGNAL | MSG_DONTWAIT); });
  if (n >= 0) return static_cast<int>(n);
  if (KmClassifySocketError(errno) == KmNetOutcome::WouldBlock)
    BIO_set_retry_write(bio);
  else
    kmnet::setLastError(errno);
  return -1;
}

int BioRead(BIO *bio, char *data, int len) {
  BIO_clear_retry_flags(bio);
  const ssize_t n =
      KmRetryInterrupted([&] { return ::recv(BIO_get_fd(bio, nullptr), data, len, MSG_DONTWAIT); });
  if (n >= 0) return static_cast<int>(n);
  if (KmClassifySocketError(errno) == KmNetOutcome::WouldBlock)
    BIO_set_retry_read(bio);
  else
    kmnet::setLastError(errno);
  return -1;
}

long BioCtrl(BIO *bio, int cmd, long num, void *ptr) {
  switch (cmd) {
    case BIO_C_SET_FD:
      BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(*static_cast<int *>(ptr))));
      BIO_set_init(bio, 1);
      return 1;
    case BIO_C_GET_FD: {
      const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
      if (ptr != nullptr) *static_cast<int *>(ptr) = fd;
      return fd;
    }
    case BIO_CTRL_FLUSH:
      return 1;
    default:
      (void)num;
      return 0;
  }
}

const BIO_METHOD *SocketMethod() {
  static const BIO_METHOD *method = [] {
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "kmsrv socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, BioWrite);
      BIO_meth_set_read(m, BioRead);
      BIO_meth_set_ctrl(m, BioCtrl);
    }
    return m;
  }();
  return method;
}

BIO *NewSocketBio(SOCKET sock) {
  const BIO_METHOD *method = SocketMethod();
  BIO *bio = method != nullptr ? BIO_new(method) : nullptr;
  if (bio != nullptr) BIO_set_fd(bio, sock, BIO_NOCLOSE);
  return bio;
}

// ---------------------------------------------------------------------------
// What a failure means
// ---------------------------------------------------------------------------

// What one handshake knows beyond OpenSSL's state; the SSL's app data
// during the handshake.
struct Handshake {
  const std::array<uint8_t, 32> *pin = nullptr;  // the pinned fingerprint, if any
  bool withCa = false;                           // the CAs count too
  bool pinMismatch = false;                      // the leaf was not the pinned one
};

KmTlsFailure FromVerifyResult(long result) {
  switch (result) {
    case X509_V_OK:
      return KmTlsFailure::None;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return KmTlsFailure::Expired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return KmTlsFailure::WrongName;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      return KmTlsFailure::UnknownCa;
    default:
      return KmTlsFailure::Failed;
  }
}

KmTlsFailure FromReason(int reason) {
  switch (reason) {
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
      return KmTlsFailure::CertificateRequired;
    case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
      return KmTlsFailure::NoCertificate;
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
      return KmTlsFailure::CertificateRefused;
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_UNKNOWN_PROTOCOL:
    case SSL_R_HTTP_REQUEST:
      return KmTlsFailure::NotTls;
    case SSL_R_UNEXPECTED_EOF_WHILE_READING:
      return KmTlsFailure::Closed;
    default:
      return KmTlsFailure::Failed;
  }
}

// The failure after a TLS call returned sslError, with OpenSSL's words for
// it in *detail. Takes (clears) the thread's OpenSSL error queue.
KmTlsFailure Classify(SSL *ssl, int sslError, const Handshake *hs, std::string *detail) {
  KmTlsFailure failure = KmTlsFailure::Failed;
  const long verify = SSL_get_verify_result(ssl);
  const unsigned long e = ERR_peek_last_error();
  if (hs != nullptr && hs->pinMismatch) {
    failure = KmTlsFailure::FingerprintMismatch;
  } else if (verify != X509_V_OK) {
    failure = FromVerifyResult(verify);
    if (detail != nullptr) *detail = X509_verify_cert_error_string(verify);
  } else if (e != 0 && ERR_GET_LIB(e) == ERR_LIB_SSL) {
    failure = FromReason(ERR_GET_REASON(e));
  } else if (sslError == SSL_ERROR_ZERO_RETURN || sslError == SSL_ERROR_SYSCALL) {
    failure = KmTlsFailure::Closed;
  }
  if (detail != nullptr && detail->empty()) *detail = e != 0 ? OpenSslReason() : "";
  ERR_clear_error();
  return failure;
}

// Checks the peer's certificate against the pinned fingerprint. With a pin
// alone, the chain's own complaints (no trusted issuer, self-signed) do not
// count, its dates do.
int VerifyPinned(int preverified, X509_STORE_CTX *store) {
  SSL *ssl = static_cast<SSL *>(
      X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  Handshake *hs = ssl != nullptr ? static_cast<Handshake *>(SSL_get_app_data(ssl)) : nullptr;
  if (hs == nullptr || hs->pin == nullptr) return preverified;
  const int error = X509_STORE_CTX_get_error(store);
  if (X509_STORE_CTX_get_error_depth(store) != 0) {
    // An issuer: with CAs it must verify; with a pin alone anything goes.
    if (!hs->withCa) X509_STORE_CTX_set_error(store, X509_V_OK);
    return hs->withCa ? preverified : 1;
  }
  X509 *leaf = X509_STORE_CTX_get_current_cert(store);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (leaf == nullptr || X509_digest(leaf, EVP_sha256(), digest, &len) != 1 ||
      len != hs->pin->size() || CRYPTO_memcmp(digest, hs->pin->data(), len) != 0) {
    hs->pinMismatch = true;
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
  if (!preverified) {
    if (error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID) return 0;
    if (hs->withCa) return 0;
    X509_STORE_CTX_set_error(store, X509_V_OK);
  }
  return 1;
}

// Milliseconds left until deadline, at least 0.
int MsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// ---------------------------------------------------------------------------
// The stream
// ---------------------------------------------------------------------------

class TlsStream final : public kmnet::Stream {
 public:
  explicit TlsStream(SSL *ssl) : ssl_(ssl) {}
  ~TlsStream() override {
    {
      KmPlainLockGuard guard(lock_);
      // Tell the peer the stream ends here (one try: the socket may be shut
      // down already, and a close never waits).
      if (failure_ == KmTlsFailure::None) SSL_shutdown(ssl_);
      ERR_clear_error();
    }
    SSL_free(ssl_);
  }
  TlsStream(const TlsStream &) = delete;
  TlsStream &operator=(const TlsStream &) = delete;

  ssize_t readSome(void *buf, size_t len) override {
    KmPlainLockGuard guard(lock_);
    size_t n = 0;
    const int limit = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    if (SSL_read_ex(ssl_, buf, static_cast<size_t>(limit), &n) == 1) {
      readWantsWrite_ = readWantsRead_ = false;
      return static_cast<ssize_t>(n);
    }
    const int err = SSL_get_error(ssl_, 0);
    readWantsWrite_ = err == SSL_ERROR_WANT_WRITE;
    readWantsRead_ = err == SSL_ERROR_WANT_READ;
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      ERR_clear_error();
      kmnet::setLastError(EAGAIN);
      return kmnet::kWouldBlock;
    }
    if (err == SSL_ERROR_ZERO_RETURN) {
      ERR_clear_error();
      return 0;  // the peer ended the stream
    }
    return fail(err);
  }

  ssize_t writeSome(const void *buf, size_t len) override {
    KmPlainLockGuard guard(lock_);
    size_t n = 0;
    if (SSL_write_ex(ssl_, buf, len, &n) == 1) {
      writeWantsRead_ = false;
      return static_cast<ssize_t>(n);
    }
    const int err = SSL_get_error(ssl_, 0);
    writeWantsRead_ = err == SSL_ERROR_WANT_READ;
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      ERR_clear_error();
      kmnet::setLastError(EAGAIN);
      return kmnet::kWouldBlock;
    }
    const ssize_t r = fail(err);
    if (KmGetLastSocketError() == EPROTO) kmnet::setLastError(EPIPE);
    return r;
  }

  // Decrypted bytes, or (read ahead) bytes of records not yet opened that a
  // read could use: after a read that wanted more, what is left is part of a
  // record, and only the socket can bring the rest.
  bool buffered() override {
    KmPlainLockGuard guard(lock_);
    return SSL_pending(ssl_) > 0 || (!readWantsRead_ && SSL_has_pending(ssl_) == 1);
  }

  short pollEvents(short wanted) override {
    KmPlainLockGuard guard(lock_);
    short events = wanted;
    if ((wanted & POLLIN) != 0 && readWantsWrite_) events |= POLLOUT;
    if ((wanted & POLLOUT) != 0 && writeWantsRead_) events |= POLLIN;
    return events;
  }

  KmTlsFailure failure() {
    KmPlainLockGuard guard(lock_);
    return failure_;
  }

  std::string description() {
    KmPlainLockGuard guard(lock_);
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
  }

 private:
  // A failed TLS call: the stream is done. Records what ended it.
  ssize_t fail(int err) KM_REQUIRES(lock_) {
    const int socketError = KmGetLastSocketError();
    const KmTlsFailure f = Classify(ssl_, err, nullptr, nullptr);
    if (failure_ == KmTlsFailure::None) failure_ = f;
    if (f == KmTlsFailure::Closed) return 0;  // an end without close_notify
    // A socket error the BIO recorded stays; a TLS-level one is EPROTO.
    kmnet::setLastError(err == SSL_ERROR_SYSCALL && socketError != 0 ? socketError : EPROTO);
    return kmnet::kFailed;
  }

  SSL *const ssl_;
  KmPlainMutex lock_;                                           // around every TLS call
  bool readWantsWrite_ KM_GUARDED_BY(lock_) = false;            // the last read needs room to write
  bool readWantsRead_ KM_GUARDED_BY(lock_) = false;             // the last read needs more bytes
  bool writeWantsRead_ KM_GUARDED_BY(lock_) = false;            // the last write needs bytes to read
  KmTlsFailure failure_ KM_GUARDED_BY(lock_) = KmTlsFailure::None;  // what ended the stream
};

TlsStream *TlsOf(SOCKET sock) { return dynamic_cast<TlsStream *>(kmnet::streamOf(sock)); }

// Runs SSL_connect or SSL_accept (step) until done, failed or past deadline.
KmTlsFailure RunHandshake(SOCKET sock, SSL *ssl, Clock::time_point deadline, const Handshake *hs,
                          std::string *detail, int (*step)(SSL *)) {
  for (;;) {
    ERR_clear_error();
    const int r = step(ssl);
    if (r == 1) return KmTlsFailure::None;
    const int err = SSL_get_error(ssl, r);
    short events;
    if (err == SSL_ERROR_WANT_READ)
      events = POLLIN;
    else if (err == SSL_ERROR_WANT_WRITE)
      events = POLLOUT;
    else
      return Classify(ssl, err, hs, detail);
    const int waitMs = MsUntil(deadline);
    if (waitMs == 0 || kmnet::waitFor(sock, events, waitMs) != kmnet::Wait::Ready) {
      if (detail != nullptr) *detail = "no answer in time";
      kmnet::setLastError(ETIMEDOUT);
      return KmTlsFailure::Timeout;
    }
  }
}

// A new SSL on sock for ctx; null when it cannot be made.
SSL *NewSsl(SSL_CTX *ctx, SOCKET sock) {
  // TLS writes what a plain session writes at once in more than one piece
  // (the caller's Finished, then its first request): with Nagle's algorithm
  // the second would wait for the peer's delayed acknowledgement.
  const int one = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));  // not TCP: no matter
  SSL *ssl = SSL_new(ctx);
  BIO *bio = ssl != nullptr ? NewSocketBio(sock) : nullptr;
  if (bio == nullptr) {
    SSL_free(ssl);
    return nullptr;
  }
  SSL_set_bio(ssl, bio, bio);
  return ssl;
}

// Binds the finished session's stream to sock.
KmTlsFailure Bind(SOCKET sock, SSL *ssl, std::string *detail) {
  SSL_set_app_data(ssl, nullptr);  // the Handshake lived on the caller's stack
  if (!kmnet::bindStream(sock, new TlsStream(ssl))) {
    if (detail != nullptr) *detail = "socket number beyond the stream table";
    return KmTlsFailure::Failed;
  }
  return KmTlsFailure::None;
}

}  // namespace

// ---------------------------------------------------------------------------
// Contexts
// ---------------------------------------------------------------------------

class KmTlsContext {
 public:
  explicit KmTlsContext(SSL_CTX *ctx) : ctx_(ctx) {}
  ~KmTlsContext() { SSL_CTX_free(ctx_); }
  KmTlsContext(const KmTlsContext &) = delete;
  KmTlsContext &operator=(const KmTlsContext &) = delete;

  SSL_CTX *ctx() const { return ctx_; }
  bool pinned = false;
  bool withCa = false;  // CAs (a file or the system's) count
  std::array<uint8_t, 32> pin{};

 private:
  SSL_CTX *const ctx_;
};

namespace {

// A TLS 1.3-only context with the settings both sides share.
SSL_CTX *NewContext(bool server) {
  SSL_CTX *ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  // Writes may be taken in part and retried from a moved position (SendEx
  // goes on from where the last write stopped); idle sessions give their
  // buffers back; a peer that closes without close_notify has closed.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  // One receive takes whatever has arrived, not a record header and then
  // its body: half the system calls per message.
  SSL_CTX_set_read_ahead(ctx, 1);
  if (server) {
    SSL_CTX_set_num_tickets(ctx, 0);  // sessions are long; no resumption
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  }
  return ctx;
}

KmTlsContextRef Fail(std::string *error, std::string text) {
  if (error != nullptr) *error = std::move(text);
  ERR_clear_error();
  return nullptr;
}

}  // namespace

KmTlsContextRef KmTlsMakeClientContext(const KmTlsClientSettings &settings, std::string *error) {
  std::string why;
  SSL_CTX *raw = NewContext(false);
  if (raw == nullptr) return Fail(error, "cannot make a TLS context: " + OpenSslReason());
  auto context = std::make_shared<KmTlsContext>(raw);
  if (!settings.fingerprint.empty()) {
    if (!ParseFingerprint(settings.fingerprint, &context->pin))
      return Fail(error, "fingerprint: not 64 hexadecimal digits (SHA-256)");
    context->pinned = true;
  }
  if (!settings.caFile.empty()) {
    if (!TrustCas(raw, settings.caFile, &why)) return Fail(error, why);
    context->withCa = true;
  } else if (!context->pinned) {
    SSL_CTX_set_default_verify_paths(raw);
    context->withCa = true;
  }
  if (settings.certFile.empty() != settings.keyFile.empty())
    return Fail(error, "a client certificate needs both its certificate and its key file");
  if (!settings.certFile.empty() &&
      !UseCertificateAndKey(raw, settings.certFile, settings.keyFile, &why))
    return Fail(error, why);
  SSL_CTX_set_verify(raw, SSL_VERIFY_PEER, context->pinned ? VerifyPinned : nullptr);
  return context;
}

KmTlsContextRef KmTlsMakeServerContext(const KmTlsServerSettings &settings, std::string *error) {
  std::string why;
  if (settings.certFile.empty() || settings.keyFile.empty())
    return Fail(error, "TLS needs a certificate and its key file");
  SSL_CTX *raw = NewContext(true);
  if (raw == nullptr) return Fail(error, "cannot make a TLS context: " + OpenSslReason());
  auto context = std::make_shared<KmTlsContext>(raw);
  if (!UseCertificateAndKey(raw, settings.certFile, settings.keyFile, &why)) return Fail(error, why);
  if (!settings.caFile.empty()) {
    if (!TrustCas(raw, settings.caFile, &why)) return Fail(error, why);
    context->withCa = true;
    SSL_CTX_set_verify(raw, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return context;
}

// ---------------------------------------------------------------------------
// Handshakes
// ---------------------------------------------------------------------------

KmTlsFailure KmTlsConnect(SOCKET sock, const KmTlsContextRef &context, const std::string &name,
                          uint32_t timeoutMs, std::string *detail) {
  if (detail != nullptr) detail->clear();
  if (context == nullptr || sock == INVALID_SOCKET) return KmTlsFailure::Settings;
  SSL *ssl = NewSsl(context->ctx(), sock);
  if (ssl == nullptr) return KmTlsFailure::Failed;
  Handshake hs;
  hs.pin = context->pinned ? &context->pin : nullptr;
  hs.withCa = context->withCa;
  SSL_set_app_data(ssl, &hs);
  if (context->withCa && !name.empty()) {
    in6_addr addr6{};
    in_addr addr4{};
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
    const bool isAddress = inet_pton(AF_INET, name.c_str(), &addr4) == 1 ||
                           inet_pton(AF_INET6, name.c_str(), &addr6) == 1;
    if (isAddress) {
      X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
    } else {
      X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
      SSL_set_tlsext_host_name(ssl, name.c_str());
    }
  }
  const auto deadline = timeoutMs == KM_INFINITE
                            ? Clock::time_point::max()
                            : Clock::now() + std::chrono::milliseconds(timeoutMs);
  const KmTlsFailure failure = RunHandshake(sock, ssl, deadline, &hs, detail, SSL_connect);
  if (failure != KmTlsFailure::None) {
    SSL_free(ssl);
    return failure;
  }
  return Bind(sock, ssl, detail);
}

KmTlsFailure KmTlsAccept(SOCKET sock, const KmTlsContextRef &context, Clock::time_point deadline,
                         std::string *detail, std::string *peer) {
  if (detail != nullptr) detail->clear();
  if (peer != nullptr) peer->clear();
  if (context == nullptr || sock == INVALID_SOCKET) return KmTlsFailure::Settings;
  SSL *ssl = NewSsl(context->ctx(), sock);
  if (ssl == nullptr) return KmTlsFailure::Failed;
  const KmTlsFailure failure = RunHandshake(sock, ssl, deadline, nullptr, detail, SSL_accept);
  if (failure != KmTlsFailure::None) {
    SSL_free(ssl);
    return failure;
  }
  if (peer != nullptr) {
    if (X509 *cert = SSL_get1_peer_certificate(ssl)) {
      char subject[256];
      X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof(subject));
      *peer = subject;
      X509_free(cert);
    }
  }
  return Bind(sock, ssl, detail);
}

KmSessionStart KmPeekSessionStart(SOCKET sock, Clock::time_point deadline) {
  for (;;) {
    uint8_t first = 0;
    const ssize_t n =
        KmRetryInterrupted([&] { return ::recv(sock, &first, 1, MSG_PEEK | MSG_DONTWAIT); });
    if (n == 1) return first == KM_TLS_HANDSHAKE_BYTE ? KmSessionStart::Tls : KmSessionStart::Kmcp;
    if (n == 0) return KmSessionStart::Closed;
    if (KmClassifySocketError(errno) != KmNetOutcome::WouldBlock) {
      kmnet::setLastError(errno);
      return KmSessionStart::Closed;
    }
    const int waitMs = MsUntil(deadline);
    if (waitMs == 0) return KmSessionStart::Timeout;
    switch (kmnet::waitFor(sock, POLLIN, waitMs)) {
      case kmnet::Wait::Ready:
        continue;
      case kmnet::Wait::TimedOut:
        return KmSessionStart::Timeout;
      case kmnet::Wait::Failed:
        return KmSessionStart::Closed;
    }
  }
}

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

bool KmTlsActive(SOCKET sock) { return TlsOf(sock) != nullptr; }

KmTlsFailure KmTlsStreamFailure(SOCKET sock) {
  TlsStream *stream = TlsOf(sock);
  return stream == nullptr ? KmTlsFailure::None : stream->failure();
}

std::string KmTlsDescription(SOCKET sock) {
  TlsStream *stream = TlsOf(sock);
  return stream == nullptr ? std::string() : stream->description();
}

const char *KmTlsFailureText(KmTlsFailure failure) {
  switch (failure) {
    case KmTlsFailure::None:
      return "no failure";
    case KmTlsFailure::Settings:
      return "TLS settings cannot be used";
    case KmTlsFailure::Timeout:
      return "TLS handshake timed out";
    case KmTlsFailure::NotTls:
      return "peer does not speak TLS";
    case KmTlsFailure::Expired:
      return "certificate has expired or is not yet valid";
    case KmTlsFailure::WrongName:
      return "certificate does not match the expected name";
    case KmTlsFailure::UnknownCa:
      return "certificate is not signed by a trusted CA";
    case KmTlsFailure::FingerprintMismatch:
      return "certificate does not match the pinned fingerprint";
    case KmTlsFailure::CertificateRequired:
      return "peer requires a client certificate";
    case KmTlsFailure::CertificateRefused:
      return "peer refused our certificate";
    case KmTlsFailure::NoCertificate:
      return "client sent no certificate";
    case KmTlsFailure::Closed:
      return "connection closed during the TLS handshake";
    case KmTlsFailure::Failed:
      break;
  }
  return "TLS handshake failed";
}
