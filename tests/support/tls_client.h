// The calling side of a TLS session to a reference peer on loopback, for
// tests: a TestPki in a folder of the test's own, client contexts made from
// it, and a RawPeer whose connection runs inside TLS (the handshake done on a
// socket connected here; KMCP then goes through the stream as usual).
//
// A TlsClientFixture belongs to one thread at a time. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <memory>
#include <string>

#include "kmbase/net.h"
#include "kmbase/tls.h"
#include "support/raw_peer.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"
#include "support/wait.h"

namespace kmtest {

// Connects to 127.0.0.1:port and runs the TLS handshake with context; on
// success peer holds the connection. The handshake's outcome.
inline KmTlsFailure ConnectTls(uint16_t port, const KmTlsContextRef &context, RawPeer &peer,
                               uint32_t timeoutMs = kWaitMs) {
  const SOCKET sock = KmSocketOpenTcp();
  if (sock == INVALID_SOCKET) return KmTlsFailure::Failed;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (ConnectEx(sock, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa), timeoutMs) != 0) {
    KmSocketClose(sock);
    return KmTlsFailure::Closed;
  }
  const KmTlsFailure failure = KmTlsConnect(sock, context, "127.0.0.1", timeoutMs);
  if (failure != KmTlsFailure::None) {
    KmSocketClose(sock);
    return failure;
  }
  peer.adopt(sock);
  return failure;
}

class TlsClientFixture : public ::testing::Test {
 protected:
  TlsClientFixture() : pki(dir.path) {}
  void SetUp() override { ASSERT_TRUE(pki.ok()) << pki.error(); }

  // A client that trusts the PKI's CA, or only the certificate with the
  // given fingerprint; presenting `leaf` when it is given.
  KmTlsContextRef clientContext(const std::string &fingerprint = {},
                                const TestLeaf *leaf = nullptr) {
    KmTlsClientSettings s;
    if (fingerprint.empty()) s.caFile = pki.caCert;
    s.fingerprint = fingerprint;
    if (leaf != nullptr) {
      s.certFile = leaf->cert;
      s.keyFile = leaf->key;
    }
    std::string error;
    KmTlsContextRef context = KmTlsMakeClientContext(s, &error);
    EXPECT_NE(context, nullptr) << error;
    return context;
  }

  // A RawPeer connected over TLS (ok() false when the handshake failed).
  std::unique_ptr<RawPeer> tlsPeer(uint16_t port, const KmTlsContextRef &context) {
    auto peer = std::make_unique<RawPeer>();
    const KmTlsFailure failure = ConnectTls(port, context, *peer);
    EXPECT_EQ(failure, KmTlsFailure::None) << KmTlsFailureText(failure);
    return peer;
  }
  std::unique_ptr<RawPeer> tlsPeer(uint16_t port) { return tlsPeer(port, clientContext()); }

  const TempDir dir{"tls"};
  const TestPki pki;
};

}  // namespace kmtest
