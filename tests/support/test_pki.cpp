#include "support/test_pki.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace kmtest {
namespace {

template <auto F>
struct Free {
  template <class T>
  void operator()(T *p) const {
    F(p);
  }
};
using PKey = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Free<X509_free>>;
using Bio = std::unique_ptr<BIO, Free<BIO_free>>;
using Bignum = std::unique_ptr<BIGNUM, Free<BN_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Free<X509_EXTENSION_free>>;

constexpr long kHour = 3600;
constexpr long kDay = 24 * kHour;

// The names every "agent" leaf carries.
constexpr const char *kAgentCn = "agent.test";
constexpr const char *kAgentNames = "DNS:agent.test,IP:127.0.0.1,IP:::1";

// What one certificate is: its subject, its extensions as OpenSSL's
// configuration strings, and its validity relative to now.
struct Spec {
  const char *cn;
  bool ca;
  const char *altNames;     // leaves only
  const char *extKeyUsage;  // leaves only
  long notBefore;
  long notAfter;
};

constexpr Spec CaSpec(const char *cn) { return {cn, true, nullptr, nullptr, -kHour, 10 * kDay}; }
constexpr Spec LeafSpec(const char *cn, const char *altNames, long notBefore = -kHour,
                        long notAfter = kDay) {
  return {cn, false, altNames, "serverAuth,clientAuth", notBefore, notAfter};
}

// Collects what went wrong first: later steps are skipped once it is set.
class Errors {
 public:
  explicit Errors(std::string &out) : out_(out) {}
  bool failed() const { return !out_.empty(); }

  // Records what, followed by the reasons OpenSSL queued; always false.
  bool openssl(const std::string &what) {
    std::string text = what;
    char buf[256];
    // The queue is short; the bound only guards against a surprise.
    for (int i = 0; i < 16; i++) {
      const unsigned long code = ERR_get_error();
      if (code == 0) break;
      ERR_error_string_n(code, buf, sizeof buf);
      text += i == 0 ? ": " : "; ";
      text += buf;
    }
    ERR_clear_error();
    return set(text);
  }
  bool system(const std::string &what, int err) { return set(what + ": " + std::strerror(err)); }

 private:
  bool set(const std::string &text) {
    if (out_.empty()) out_ = text;
    return false;
  }
  std::string &out_;
};

// A positive serial of 16 random bytes (the top bit cleared keeps it
// positive in DER, the low bit set keeps it non-zero).
bool SetRandomSerial(X509 *x, Errors &errors) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return errors.openssl("RAND_bytes");
  bytes[0] &= 0x7f;
  bytes[sizeof bytes - 1] |= 0x01;
  Bignum bn(BN_bin2bn(bytes, sizeof bytes, nullptr));
  if (!bn || BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(x)) == nullptr)
    return errors.openssl("serial number");
  return true;
}

bool AddExtension(X509 *x, X509V3_CTX *ctx, int nid, const char *value, Errors &errors) {
  Extension ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value));
  if (!ext || X509_add_ext(x, ext.get(), -1) != 1)
    return errors.openssl(std::string("extension ") + OBJ_nid2sn(nid) + "=" + value);
  return true;
}

// A certificate for key as spec says, signed by issuerKey under issuer's
// name; self-signed when issuer is null.
Cert MakeCert(const Spec &spec, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuerKey, Errors &errors) {
  Cert x(X509_new());
  if (!x) {
    errors.openssl("X509_new");
    return nullptr;
  }
  X509 *signer = issuer != nullptr ? issuer : x.get();
  if (issuerKey == nullptr) issuerKey = key;

  X509_NAME *name = X509_get_subject_name(x.get());
  if (X509_set_version(x.get(), X509_VERSION_3) != 1 || !SetRandomSerial(x.get(), errors) ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char *>(spec.cn), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(x.get(), X509_get_subject_name(signer)) != 1 ||
      X509_time_adj_ex(X509_getm_notBefore(x.get()), 0, spec.notBefore, nullptr) == nullptr ||
      X509_time_adj_ex(X509_getm_notAfter(x.get()), 0, spec.notAfter, nullptr) == nullptr ||
      X509_set_pubkey(x.get(), key) != 1) {
    errors.openssl(std::string("certificate fields of ") + spec.cn);
    return nullptr;
  }

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, signer, x.get(), nullptr, nullptr, 0);
  bool added;
  if (spec.ca) {
    added = AddExtension(x.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE", errors) &&
            AddExtension(x.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign", errors) &&
            AddExtension(x.get(), &ctx, NID_subject_key_identifier, "hash", errors);
  } else {
    // A self-signed leaf names its own key as the authority's: that needs
    // its subject key identifier first.
    added = AddExtension(x.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE", errors) &&
            AddExtension(x.get(), &ctx, NID_key_usage, "critical,digitalSignature", errors) &&
            AddExtension(x.get(), &ctx, NID_ext_key_usage, spec.extKeyUsage, errors) &&
            AddExtension(x.get(), &ctx, NID_subject_alt_name, spec.altNames, errors) &&
            (issuer != nullptr ||
             AddExtension(x.get(), &ctx, NID_subject_key_identifier, "hash", errors)) &&
            AddExtension(x.get(), &ctx, NID_authority_key_identifier, "keyid:always", errors);
  }
  if (!added) return nullptr;
  if (X509_sign(x.get(), issuerKey, EVP_sha256()) <= 0) {
    errors.openssl(std::string("signing ") + spec.cn);
    return nullptr;
  }
  return x;
}

// Makes path new with exactly mode and data; no link is followed and no
// existing file replaced.
bool WriteNewFile(const std::string &path, std::string_view data, mode_t mode, Errors &errors) {
  const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, mode);
  if (fd < 0) return errors.system("cannot make " + path, errno);
  // The umask may have taken bits away from a certificate's mode.
  bool ok = fchmod(fd, mode) == 0;
  int err = ok ? 0 : errno;
  size_t done = 0;
  // Each pass writes at least a byte or stops; EINTR retries are bounded.
  for (int interrupted = 0; ok && done < data.size() && interrupted < 100;) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      interrupted++;
    } else {
      ok = false;
      err = n < 0 ? errno : EIO;
    }
  }
  if (ok && done < data.size()) {
    ok = false;
    err = EINTR;
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  return ok || errors.system("cannot write " + path, err);
}

// Writes the PEM that write puts into a memory BIO to path.
template <class Write>
bool WritePem(const std::string &path, mode_t mode, Write write, Errors &errors) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) return errors.openssl("PEM for " + path);
  char *data = nullptr;
  const long len = BIO_get_mem_data(bio.get(), &data);
  if (len <= 0) return errors.openssl("PEM for " + path);
  return WriteNewFile(path, std::string_view(data, static_cast<size_t>(len)), mode, errors);
}

bool WriteCert(const std::string &path, X509 *x, Errors &errors) {
  return WritePem(
      path, 0644, [x](BIO *bio) { return PEM_write_bio_X509(bio, x); }, errors);
}

bool WriteKey(const std::string &path, EVP_PKEY *key, Errors &errors) {
  return WritePem(
      path, 0600,
      [key](BIO *bio) {
        return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
      },
      errors);
}

std::string Fingerprint(X509 *x, Errors &errors) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(x, EVP_sha256(), md, &len) != 1) {
    errors.openssl("X509_digest");
    return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * len);
  for (unsigned int i = 0; i < len; i++) {
    hex += kHex[md[i] >> 4];
    hex += kHex[md[i] & 0x0f];
  }
  return hex;
}

PKey MakeKey(Errors &errors) {
  PKey key(EVP_EC_gen("P-256"));
  if (!key) errors.openssl("EC P-256 key");
  return key;
}

// One CA: its key and certificate, the certificate written to dir/file.
struct Ca {
  PKey key;
  Cert cert;
};
Ca MakeCa(const std::string &path, const char *cn, Errors &errors) {
  Ca ca;
  if (errors.failed()) return ca;
  ca.key = MakeKey(errors);
  if (ca.key) ca.cert = MakeCert(CaSpec(cn), ca.key.get(), nullptr, nullptr, errors);
  if (ca.cert) WriteCert(path, ca.cert.get(), errors);
  return ca;
}

// A leaf signed by ca (self-signed when ca is null), written to
// dir/name.pem and dir/name.key.
TestLeaf MakeLeaf(const std::string &dir, const char *name, const Spec &spec, const Ca *ca,
                  Errors &errors) {
  TestLeaf leaf;
  if (errors.failed()) return leaf;
  const PKey key = MakeKey(errors);
  if (!key) return leaf;
  const Cert x = MakeCert(spec, key.get(), ca != nullptr ? ca->cert.get() : nullptr,
                          ca != nullptr ? ca->key.get() : nullptr, errors);
  if (!x) return leaf;
  const std::string certPath = dir + "/" + name + ".pem";
  const std::string keyPath = dir + "/" + name + ".key";
  if (!WriteCert(certPath, x.get(), errors) || !WriteKey(keyPath, key.get(), errors)) return leaf;
  leaf.fingerprint = Fingerprint(x.get(), errors);
  leaf.cert = certPath;
  leaf.key = keyPath;
  return leaf;
}

}  // namespace

TestPki::TestPki(const std::string &dir) {
  // Only allocation can throw here; it becomes an error like any other.
  try {
    Errors errors(error_);
    const Ca ca = MakeCa(dir + "/ca.pem", "Test CA", errors);
    const Ca other = MakeCa(dir + "/other-ca.pem", "Other Test CA", errors);
    if (!errors.failed()) {
      caCert = dir + "/ca.pem";
      otherCaCert = dir + "/other-ca.pem";
    }
    server = MakeLeaf(dir, "server", LeafSpec(kAgentCn, kAgentNames), &ca, errors);
    expired =
        MakeLeaf(dir, "expired", LeafSpec(kAgentCn, kAgentNames, -2 * kDay, -kDay), &ca, errors);
    wrongName =
        MakeLeaf(dir, "wrong-name", LeafSpec("elsewhere.test", "DNS:elsewhere.test"), &ca, errors);
    foreign = MakeLeaf(dir, "foreign", LeafSpec(kAgentCn, kAgentNames), &other, errors);
    client = MakeLeaf(dir, "client", LeafSpec("kmserver.test", "DNS:kmserver.test"), &ca, errors);
    selfSigned = MakeLeaf(dir, "self-signed", LeafSpec(kAgentCn, kAgentNames), nullptr, errors);
  } catch (const std::exception &e) {
    if (error_.empty()) error_ = std::string("making the test PKI: ") + e.what();
  }
  ERR_clear_error();
}

bool TestPki::ok() const { return error_.empty(); }
const std::string &TestPki::error() const { return error_; }

}  // namespace kmtest
