#include "cli_support.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "json_writer.h"
#include "kmbase/text.h"
#include "kmsrv/result_codes.h"

namespace kmquery {

int AgentConnectExitStatus(uint32_t rcc) {
  // Version detection and socket creation report 500 while connecting.
  if (rcc == RCC_INTERNAL_ERROR) return kExitConnection;
  return AgentRequestExitStatus(rcc);
}

int AgentRequestExitStatus(uint32_t rcc) {
  switch (rcc) {
    case RCC_SUCCESS:
      return kExitOk;
    case RCC_REQUEST_TIMEOUT:
    case RCC_NOT_CONNECTED:
    case RCC_CONNECTION_BROKEN:
    case RCC_CONNECT_FAILED:
    case RCC_SOCKET_ERROR:
    case RCC_AGENT_BUSY:
      return kExitConnection;
    default:
      return kExitPeer;
  }
}

int SnmpExitStatus(uint32_t code) {
  if (code == 0) return kExitOk;
  return code == 1 /* SNMP_ERR_TIMEOUT */ || code == 4 /* SNMP_ERR_COMM */ ? kExitConnection
                                                                           : kExitPeer;
}

int IscExitStatus(uint32_t code) {
  switch (code) {
    case 0:
      return kExitOk;
    case 5:   // connection broken
    case 7:   // socket error
    case 8:   // connect failed
    case 9:   // bad protocol version: whatever listens there is no ISC peer
    case 10:  // request timed out
    case 19:  // peer busy: too many sessions
      return kExitConnection;
    default:
      return kExitPeer;
  }
}

std::string TlsFailureReason(KmTlsFailure failure, const std::string &detail) {
  std::string reason = KmTlsFailureText(failure);
  const bool general = failure == KmTlsFailure::Failed || failure == KmTlsFailure::Settings ||
                       failure == KmTlsFailure::CertificateRefused;
  if (general && !detail.empty() && detail != reason) reason += " (" + detail + ")";
  return reason;
}

bool SplitHostPort(std::string_view text, uint16_t defaultPort, std::string *host, uint16_t *port,
                   std::string *error) {
  const size_t colon = text.rfind(':');
  std::string_view name = text.substr(0, colon);
  *port = defaultPort;
  if (colon != std::string_view::npos) {
    std::string_view digits = text.substr(colon + 1);
    unsigned value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
        value == 0 || value > 65535) {
      *error = "invalid port in \"" + std::string(text) + "\" (1 to 65535)";
      return false;
    }
    *port = static_cast<uint16_t>(value);
  }
  if (name.empty()) {
    *error = "missing host in \"" + std::string(text) + "\"";
    return false;
  }
  *host = std::string(name);
  return true;
}

bool ResolveIpv4(const std::string &host, uint32_t *addressNetworkOrder, std::string *error) {
  in_addr dotted{};
  if (inet_pton(AF_INET, host.c_str(), &dotted) == 1) {
    *addressNetworkOrder = dotted.s_addr;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    *error = "cannot resolve host \"" + host + "\": " +
             (rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
    return false;
  }
  *addressNetworkOrder = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

// The session API takes the legacy RSA type, whose accessors OpenSSL 3 marks
// deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

void RsaFree::operator()(RSA *key) const { RSA_free(key); }

namespace {

std::string OpenSslError() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown OpenSSL error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof(buf));
  return buf;
}

RsaKey RsaOf(EVP_PKEY *pkey, std::string *error) {
  if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) {
    *error = "not an RSA key";
    return nullptr;
  }
  RsaKey rsa(EVP_PKEY_get1_RSA(pkey));
  if (!rsa) *error = OpenSslError();
  return rsa;
}

}  // namespace

RsaKey LoadServerKey(const std::string &path, std::string *error) {
  FILE *f = std::fopen(path.c_str(), "re");
  if (f == nullptr) {
    *error = "cannot open key file " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  EVP_PKEY *pkey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (pkey == nullptr) {
    *error = "key file " + path + " holds no readable PEM private key (" + OpenSslError() + ")";
    return nullptr;
  }
  std::string why;
  RsaKey rsa = RsaOf(pkey, &why);
  EVP_PKEY_free(pkey);
  if (!rsa) *error = "key file " + path + ": " + why;
  return rsa;
}

RsaKey GenerateServerKey(std::string *error) {
  EVP_PKEY *pkey = EVP_RSA_gen(2048);
  if (pkey == nullptr) {
    *error = "cannot generate an RSA key: " + OpenSslError();
    return nullptr;
  }
  RsaKey rsa = RsaOf(pkey, error);
  EVP_PKEY_free(pkey);
  return rsa;
}

#pragma GCC diagnostic pop

bool ReadSecretLine(const std::string &path, size_t maxBytes, std::string *secret) {
  FILE *f = std::fopen(path.c_str(), "re");
  if (f == nullptr) return false;
  std::string line(maxBytes + 2, '\0');
  const bool ok =
      std::fgets(line.data(), static_cast<int>(line.size()), f) != nullptr || std::feof(f);
  std::fclose(f);
  size_t n = strnlen(line.data(), line.size());
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) n--;
  secret->assign(line.data(), n);
  OPENSSL_cleanse(line.data(), line.size());
  return ok;
}

Secret::~Secret() {
  if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size());
}

Secret &Secret::operator=(std::string text) {
  if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size());
  text_ = std::move(text);
  return *this;
}

void Output::print(const std::string &text) const {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void Output::printJson(const std::string &document) const { print(document + "\n"); }

int Output::fail(int status, const std::string &message) const {
  std::fprintf(stderr, "kmquery: %s\n", message.c_str());
  if (json_) {
    JsonWriter w;
    w.beginObject().key("error").beginObject().key("message").value(message);
    w.key("exitStatus").value(static_cast<int64_t>(status)).endObject().endObject();
    printJson(w.text());
  }
  return status;
}

int Output::failCode(int status, const std::string &what, const char *domain, int64_t code,
                     const std::u16string &text, const std::string &detail) const {
  const std::string utf8 = KmWideToUtf8(text);
  std::string message = what + ": error " + std::to_string(code) + " (" + utf8 + ")";
  if (!detail.empty()) message += ": " + detail;
  std::fprintf(stderr, "kmquery: %s\n", message.c_str());
  if (json_) {
    JsonWriter w;
    w.beginObject().key("error").beginObject();
    w.key("domain").value(domain).key("code").value(code).key("text").value(utf8);
    w.key("message").value(message).key("exitStatus").value(static_cast<int64_t>(status));
    w.endObject().endObject();
    printJson(w.text());
  }
  return status;
}

int Output::failTls(const std::string &peer, KmTlsFailure failure,
                    const std::string &detail) const {
  const std::string reason = TlsFailureReason(failure, detail);
  const std::string message = "TLS with " + peer + " failed: " + reason;
  std::fprintf(stderr, "kmquery: %s\n", message.c_str());
  if (json_) {
    JsonWriter w;
    w.beginObject().key("error").beginObject();
    w.key("domain").value("tls").key("text").value(reason);
    w.key("message").value(message).key("exitStatus").value(static_cast<int64_t>(kExitTls));
    w.endObject().endObject();
    printJson(w.text());
  }
  return kExitTls;
}

}  // namespace kmquery
