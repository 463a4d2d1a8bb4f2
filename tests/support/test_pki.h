// A throwaway PKI for TLS tests, made at run time (the tree holds no key
// material): two unrelated CAs and leaf certificates signed by them, written
// as PEM files into a folder the test owns. Keys are EC P-256, so making the
// whole set takes a few milliseconds. A TestPki belongs to one thread at a
// time; several may be made at once on different threads.
#pragma once

#include <string>

namespace kmtest {

// One certificate and its private key as PEM files, and the SHA-256
// fingerprint of the certificate's DER form.
struct TestLeaf {
  std::string cert;         // path of the PEM certificate
  std::string key;          // path of the PEM private key (unencrypted, mode 0600)
  std::string fingerprint;  // SHA-256 of the DER certificate: 64 lowercase hex digits, no colons
};

// A throwaway PKI made in `dir` (which must exist) when constructed: two
// unrelated CAs and leaves signed by them. Keys are EC P-256 (fast to make).
// The files are made new (an existing one is an error, never overwritten):
// ca.pem, other-ca.pem, and <name>.pem/<name>.key for server, expired,
// wrong-name, foreign, client and self-signed. Times are relative to the
// moment of construction.
class TestPki {
 public:
  explicit TestPki(const std::string &dir);
  bool ok() const;  // false when anything could not be made (error() says what)
  const std::string &error() const;

  std::string caCert;       // the CA that signs server, expired, wrongName and client (PEM path)
  std::string otherCaCert;  // an unrelated CA (PEM path)
  // By caCert; subjectAltName DNS:agent.test, IP:127.0.0.1, IP:::1; CN
  // agent.test; serverAuth+clientAuth; valid from now-1h to now+1d.
  TestLeaf server;
  TestLeaf expired;     // by caCert; same names as server; valid from now-2d to now-1d
  TestLeaf wrongName;   // by caCert; only DNS:elsewhere.test (CN elsewhere.test); valid now
  TestLeaf foreign;     // by otherCaCert; same names as server; valid now
  TestLeaf client;      // by caCert; CN kmserver.test, DNS:kmserver.test; clientAuth+serverAuth
  TestLeaf selfSigned;  // self-signed, same names as server, not a CA: for pinning tests

 private:
  std::string error_;
};

}  // namespace kmtest
