// The test PKI as a TLS peer's verifier sees it: which CA each leaf chains
// to, the expired one refused as expired, the names each leaf answers to,
// fingerprints as OpenSSL computes them, and keys that match and are
// private.
#include "support/test_pki.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "support/temp_dir.h"

namespace kmtest {
namespace {

template <auto F>
struct Free {
  template <class T>
  void operator()(T *p) const {
    F(p);
  }
};
using Cert = std::unique_ptr<X509, Free<X509_free>>;
using PKey = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;

Cert LoadCert(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  Cert x(f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr);
  if (f != nullptr) fclose(f);
  return x;
}

PKey LoadKey(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  PKey k(f != nullptr ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr);
  if (f != nullptr) fclose(f);
  return k;
}

// X509_V_OK or why leaf does not verify for purpose with caPath the one
// trusted certificate.
int Verify(X509 *leaf, const std::string &caPath, int purpose) {
  const Cert ca = LoadCert(caPath);
  const std::unique_ptr<X509_STORE, Free<X509_STORE_free>> store(X509_STORE_new());
  const std::unique_ptr<X509_STORE_CTX, Free<X509_STORE_CTX_free>> ctx(X509_STORE_CTX_new());
  if (!ca || !store || !ctx || X509_STORE_add_cert(store.get(), ca.get()) != 1 ||
      X509_STORE_CTX_init(ctx.get(), store.get(), leaf, nullptr) != 1 ||
      X509_STORE_CTX_set_purpose(ctx.get(), purpose) != 1)
    return -1;
  return X509_verify_cert(ctx.get()) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(ctx.get());
}

std::string Hex(const unsigned char *p, unsigned int n) {
  std::string out;
  char buf[3];
  for (unsigned int i = 0; i < n; i++) {
    snprintf(buf, sizeof buf, "%02x", p[i]);
    out += buf;
  }
  return out;
}

TEST(TestPki, LeavesVerifyAgainstTheirOwnCaOnlyWhileValidAndForTheirNames) {
  const TempDir dir("pki");
  const TestPki pki(dir.path);
  ASSERT_TRUE(pki.ok()) << pki.error();

  constexpr int kNoIssuer = X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
  constexpr int kServer = X509_PURPOSE_SSL_SERVER;
  constexpr int kClient = X509_PURPOSE_SSL_CLIENT;
  constexpr const char *kAgent = "agent.test";
  const struct {
    const char *what;
    const TestLeaf TestPki::*leaf;
    const std::string TestPki::*ca;
    int purpose;
    int verifyResult;
    const char *host;  // the one DNS name it carries
  } cases[] = {
      {"server", &TestPki::server, &TestPki::caCert, kServer, X509_V_OK, kAgent},
      {"server, other CA", &TestPki::server, &TestPki::otherCaCert, kServer, kNoIssuer, kAgent},
      {"client", &TestPki::client, &TestPki::caCert, kClient, X509_V_OK, "kmserver.test"},
      {"wrong name", &TestPki::wrongName, &TestPki::caCert, kServer, X509_V_OK, "elsewhere.test"},
      {"foreign", &TestPki::foreign, &TestPki::caCert, kServer, kNoIssuer, kAgent},
      {"foreign, own CA", &TestPki::foreign, &TestPki::otherCaCert, kServer, X509_V_OK, kAgent},
      {"expired", &TestPki::expired, &TestPki::caCert, kServer, X509_V_ERR_CERT_HAS_EXPIRED,
       kAgent},
      {"self-signed", &TestPki::selfSigned, &TestPki::caCert, kServer,
       X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, kAgent},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const TestLeaf &leaf = pki.*c.leaf;
    const Cert x = LoadCert(leaf.cert);
    const PKey key = LoadKey(leaf.key);
    ASSERT_TRUE(x) << leaf.cert;
    ASSERT_TRUE(key) << leaf.key;

    EXPECT_EQ(Verify(x.get(), pki.*c.ca, c.purpose), c.verifyResult);
    EXPECT_EQ(X509_check_host(x.get(), c.host, 0, 0, nullptr), 1);
    // The agent's names, addresses included, only where it is the agent.
    const int agent = std::string(c.host) == kAgent ? 1 : 0;
    EXPECT_EQ(X509_check_host(x.get(), kAgent, 0, 0, nullptr), agent);
    EXPECT_EQ(X509_check_ip_asc(x.get(), "127.0.0.1", 0), agent);
    EXPECT_EQ(X509_check_ip_asc(x.get(), "::1", 0), agent);

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    ASSERT_EQ(X509_digest(x.get(), EVP_sha256(), md, &len), 1);
    EXPECT_EQ(leaf.fingerprint, Hex(md, len));
    EXPECT_EQ(X509_check_private_key(x.get(), key.get()), 1);
    struct stat st {};
    ASSERT_EQ(stat(leaf.key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
}

}  // namespace
}  // namespace kmtest
