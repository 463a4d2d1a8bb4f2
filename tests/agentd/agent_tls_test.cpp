// Agent sessions inside TLS on the agent's one port: beside legacy sessions
// or instead of them, with client certificates, a key request inside TLS,
// traps, a proxy hop opened from a TLS session, and handshakes that fail.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "agent_server.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"
#include "support/raw_peer.h"
#include "support/tls_client.h"
#include "support/wire.h"

namespace {

using kmagent::AgentConfig;
using kmagent::AgentServer;
using kmtest::ConnectTls;
using kmtest::kWaitMs;
using kmtest::RawPeer;
using kmtest::TestLeaf;
using kmtest::Wire;

class AgentTlsTest : public kmtest::TlsClientFixture {
 protected:
  // An agent serving TLS with the PKI's server certificate.
  std::unique_ptr<AgentServer> start(AgentConfig config = {}) {
    config.tls.certFile = pki.server.cert;
    config.tls.keyFile = pki.server.key;
    auto server = std::make_unique<AgentServer>(std::move(config));
    std::string error;
    EXPECT_TRUE(server->start(&error)) << error;
    return server;
  }
};

// TLS counts as encryption: a TLS session is served where the agent requires
// encryption, while a clear legacy session on the same port is refused 906,
// or not let in at all when TLS is required.
TEST_F(AgentTlsTest, TlsAndLegacySessionsShareThePortUnlessTlsIsRequired) {
  struct Case {
    bool require;
    int64_t legacyKeepalive;  // -1: closed unanswered
  } cases[] = {{false, RCC_ENCRYPTION_REQUIRED}, {true, -1}};
  for (const Case &c : cases) {
    AgentConfig config;
    config.requireEncryption = true;
    config.tls.require = c.require;
    auto server = start(config);
    std::unique_ptr<RawPeer> tls = tlsPeer(server->port());
    RawPeer legacy(server->port());
    EXPECT_EQ(tls->detectVersion(), KMCP_VERSION);
    EXPECT_EQ(legacy.keepalive(), c.legacyKeepalive) << "require " << c.require;
    EXPECT_EQ(tls->keepalive(), RCC_SUCCESS) << "require " << c.require;
    EXPECT_FALSE(tls->lastEncrypted());  // no envelope inside TLS
  }
}

// With a CA, only callers whose certificate it signed are served. (Under TLS
// 1.3 the agent's verdict on the caller's certificate may come with the
// first read, after the caller's handshake has finished.)
TEST_F(AgentTlsTest, WithACaOnlyCallersWithACertificateItSignedAreServed) {
  AgentConfig config;
  config.tls.caFile = pki.caCert;
  auto server = start(config);
  struct Case {
    const char *name;
    const TestLeaf *leaf;
    int64_t keepalive;
  } cases[] = {
      {"no certificate", nullptr, -1},
      {"signed by another CA", &pki.foreign, -1},
      {"signed by the CA", &pki.client, RCC_SUCCESS},
  };
  for (const Case &c : cases) {
    RawPeer peer;
    const KmTlsFailure failure = ConnectTls(server->port(), clientContext({}, c.leaf), peer);
    const int64_t rcc = failure == KmTlsFailure::None ? peer.keepalive() : -1;
    EXPECT_EQ(rcc, c.keepalive) << c.name << ": " << KmTlsFailureText(failure);
  }
  // Refused or served, every session ends once its caller has gone.
  EXPECT_TRUE(server->waitForSessionCount(0, kWaitMs));
}

// A key request inside TLS is refused as in a keyed session; the session
// stays clear inside TLS, keeps its place for unsolicited messages and goes
// on.
TEST_F(AgentTlsTest, AKeyRequestInsideTlsIsRefusedAndTheSessionGoesOn) {
  auto server = start();
  std::unique_ptr<RawPeer> client = tlsPeer(server->port());
  EXPECT_EQ(client->keepalive(), RCC_SUCCESS);
  EXPECT_EQ(client->setupEncryption(), KMCP_ENCRYPTION_BAD_MESSAGE);
  EXPECT_FALSE(client->encrypted());

  CSCPMessage trap;
  trap.SetId(0);
  trap.SetVariable(VAR_VALUE, u"inside");
  EXPECT_EQ(server->sendTrap(trap), 1u);
  std::unique_ptr<CSCPMessage> got = client->receive();
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->GetCode(), MC_TRAP);
  EXPECT_EQ(client->keepalive(), RCC_SUCCESS);
}

// A proxy hop opened from a TLS session relays what the TLS stream carries,
// also bytes that came with the hop request and were decrypted with it.
TEST_F(AgentTlsTest, ATlsSessionOpensAProxyHopToALegacyTarget) {
  AgentServer target(AgentConfig{});
  std::string error;
  ASSERT_TRUE(target.start(&error)) << error;
  AgentConfig proxyConfig;
  proxyConfig.proxyPorts.clear();
  auto proxy = start(proxyConfig);
  std::unique_ptr<RawPeer> client = tlsPeer(proxy->port());

  CSCPMessage hop;
  hop.SetCode(MC_SETUP_PROXY_CONNECTION);
  hop.SetId(client->nextId());
  hop.SetVariable(VAR_IP_ADDRESS, uint32_t{0x7F000001});
  hop.SetVariable(VAR_AGENT_PORT, target.port());
  CSCPMessage keepalive;
  keepalive.SetCode(MC_KEEPALIVE);
  keepalive.SetId(500);
  std::vector<uint8_t> bytes = Wire(hop);
  const std::vector<uint8_t> behind = Wire(keepalive);
  bytes.insert(bytes.end(), behind.begin(), behind.end());
  ASSERT_TRUE(client->sendBytes(bytes));
  std::unique_ptr<CSCPMessage> hopReply = client->awaitReply(hop.GetId());
  ASSERT_NE(hopReply, nullptr);
  EXPECT_EQ(hopReply->GetVariableLong(VAR_RCC), RCC_SUCCESS);
  std::unique_ptr<CSCPMessage> reply = client->awaitReply(500);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_SUCCESS);

  EXPECT_EQ(target.requests().size(), 1u);
  client->close();
  EXPECT_TRUE(proxy->waitForSessionCount(0, kWaitMs));
}

// A caller that starts like TLS and then sends garbage, or stalls, loses
// its session by the login deadline; other sessions go on meanwhile.
TEST_F(AgentTlsTest, AFailedHandshakeEndsOnlyItsOwnSession) {
  AgentConfig config;
  config.loginTimeoutMs = 500;
  auto server = start(config);
  std::unique_ptr<RawPeer> good = tlsPeer(server->port());
  EXPECT_EQ(good->keepalive(), RCC_SUCCESS);  // admitted: no deadline for it
  struct Case {
    const char *name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"junk after the handshake byte",
       {0x16, 0x03, 0x01, 0x00, 0x08, 'n', 'o', 't', ' ', 't', 'l', 's', '!'}},
      {"a record header, then nothing", {0x16, 0x03, 0x01, 0x40, 0x00}},
      {"the handshake byte alone", {0x16}},
  };
  for (const Case &c : cases) {
    RawPeer raw(server->port());
    ASSERT_TRUE(raw.sendBytes(c.bytes.data(), c.bytes.size()));
    EXPECT_EQ(good->keepalive(), RCC_SUCCESS) << c.name;
    EXPECT_TRUE(raw.waitForClose()) << c.name;
  }
  EXPECT_TRUE(server->waitForSessionCount(1, kWaitMs));
  EXPECT_EQ(good->keepalive(), RCC_SUCCESS);
}

}  // namespace
