// The agent side of sessions, driven over loopback by a bare peer built from
// the runtime: negotiation, login, proxy hops, bad input, test switches,
// unsolicited messages and shutdown.
#include "agent_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kmbase/byte_order.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"
#include "support/raw_peer.h"
#include "support/wire.h"

namespace {

using kmagent::AgentConfig;
using kmagent::AgentServer;
using kmtest::kWaitMs;
using kmtest::RawPeer;
using kmtest::Wire;
using kmtest::WireHeader;

std::unique_ptr<AgentServer> Start(AgentConfig config = {}) {
  auto server = std::make_unique<AgentServer>(std::move(config));
  std::string error;
  EXPECT_TRUE(server->start(&error)) << error;
  return server;
}

AgentConfig WithSecret(const std::string &secret) {
  AgentConfig c;
  c.secret = secret;
  return c;
}

// A proxy agent whose hops may reach the test agents' picked ports.
AgentConfig AnyPort(AgentConfig c = {}) {
  c.proxyPorts.clear();
  return c;
}

// Slips a keepalive in clear into the client's (keyed) stream and returns
// the result code of the reply, or -1 when none comes.
int64_t ClearKeepaliveResult(RawPeer &client) {
  CSCPMessage clear;
  clear.SetCode(MC_KEEPALIVE);
  clear.SetId(client.nextId());
  if (!client.sendBytes(Wire(clear))) return -1;
  std::unique_ptr<CSCPMessage> reply = client.awaitReply(clear.GetId());
  return reply ? static_cast<int64_t>(reply->GetVariableLong(VAR_RCC)) : -1;
}

// ---------------------------------------------------------------------------
// Version detection, keepalive, unknown requests
// ---------------------------------------------------------------------------

TEST(AgentServerTest, AnswersVersionDetectionWithTheConfiguredVersion) {
  struct Case {
    int32_t reported;
    int detected;
  } cases[] = {{KMCP_VERSION, KMCP_VERSION}, {5, 5}, {0, 1}};
  for (const Case &c : cases) {
    AgentConfig config;
    config.reportVersion = c.reported;
    auto server = Start(config);
    RawPeer client(server->port());
    ASSERT_TRUE(client.ok());
    EXPECT_EQ(client.detectVersion(), c.detected) << "reported " << c.reported;
    // The detection consumed exactly its answer: the session goes on.
    EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  }
}

TEST(AgentServerTest, NegativeReportVersionLeavesDetectionUnansweredButServesTheSession) {
  AgentConfig config;
  config.reportVersion = -1;
  auto server = Start(config);
  RawPeer client(server->port());
  EXPECT_EQ(client.detectVersion(300), -1);
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
}

TEST(AgentServerTest, AnswersKeepaliveAndUnknownRequestsWithTheRequestId) {
  auto server = Start();
  RawPeer client(server->port());
  CSCPMessage keepalive;
  keepalive.SetCode(MC_KEEPALIVE);
  keepalive.SetId(77);
  ASSERT_TRUE(client.send(keepalive));
  std::unique_ptr<CSCPMessage> reply;
  ASSERT_GT(client.receive(&reply), KMCP_RECV_TIMEOUT);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->GetCode(), MC_REQUEST_COMPLETED);
  EXPECT_EQ(reply->GetId(), 77u);
  EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_SUCCESS);

  EXPECT_EQ(client.request(0x1234), RCC_UNKNOWN_COMMAND);
  EXPECT_EQ(client.request(0x7E00), RCC_UNKNOWN_COMMAND);
  // Without any test switch the trigger is just another unknown request.
  EXPECT_EQ(client.request(kmagent::MC_AGENT_TEST_TRIGGER), RCC_UNKNOWN_COMMAND);
  const std::vector<kmagent::RequestRecord> requests = server->requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].code, MC_KEEPALIVE);
  EXPECT_EQ(requests[0].id, 77u);
  EXPECT_FALSE(requests[0].encrypted);
}

// ---------------------------------------------------------------------------
// Login
// ---------------------------------------------------------------------------

TEST(AgentServerTest, AcceptsTheSecretByEveryMethodAndRecordsWhatCame) {
  auto server = Start(WithSecret("s3cret"));
  RawPeer clear(server->port()), md5(server->port()), sha1(server->port());
  EXPECT_EQ(clear.loginClear(u"s3cret"), RCC_SUCCESS);
  EXPECT_EQ(clear.keepalive(), RCC_SUCCESS);
  EXPECT_EQ(md5.loginDigest(2, "s3cret"), RCC_SUCCESS);
  EXPECT_EQ(md5.keepalive(), RCC_SUCCESS);
  EXPECT_EQ(sha1.loginDigest(3, "s3cret"), RCC_SUCCESS);
  EXPECT_EQ(sha1.keepalive(), RCC_SUCCESS);

  const std::vector<kmagent::LoginRecord> logins = server->logins();
  ASSERT_EQ(logins.size(), 3u);
  EXPECT_EQ(logins[0].method, 1);
  EXPECT_EQ(logins[0].secretText, u"s3cret");
  EXPECT_TRUE(logins[0].secretBytes.empty());
  EXPECT_EQ(logins[1].method, 2);
  uint8_t md5Digest[16];
  CalculateMD5Hash(reinterpret_cast<const uint8_t *>("s3cret"), 6, md5Digest);
  EXPECT_EQ(logins[1].secretBytes, std::vector<uint8_t>(md5Digest, md5Digest + 16));
  EXPECT_EQ(logins[2].method, 3);
  EXPECT_EQ(logins[2].secretBytes.size(), 20u);
  for (const kmagent::LoginRecord &r : logins) {
    EXPECT_EQ(r.result, RCC_SUCCESS);
  }
  EXPECT_NE(logins[0].session, logins[1].session);
}

// Without throttling, which would end the session after three failures.
AgentConfig Unthrottled(AgentConfig c) {
  c.loginFailureDelayMs = 0;
  c.maxLoginFailures = 0;
  return c;
}

TEST(AgentServerTest, RefusesWrongOrMalformedLoginsAndKeepsAskingForOne) {
  auto server = Start(Unthrottled(WithSecret("s3cret")));
  RawPeer client(server->port());
  EXPECT_EQ(client.keepalive(), RCC_AUTH_REQUIRED);
  EXPECT_EQ(client.request(0x1234), RCC_AUTH_REQUIRED);  // unknown codes are not revealed
  EXPECT_EQ(client.loginClear(u"s3cre"), RCC_AUTH_FAILED);
  EXPECT_EQ(client.loginClear(u"s3cret!"), RCC_AUTH_FAILED);
  EXPECT_EQ(client.loginDigest(2, "other"), RCC_AUTH_FAILED);
  EXPECT_EQ(client.loginDigest(3, "other"), RCC_AUTH_FAILED);
  // SHA-1 bytes under the MD5 method: right digest, wrong length.
  uint8_t sha1[20];
  CalculateSHA1Hash(reinterpret_cast<const uint8_t *>("s3cret"), 6, sha1);
  EXPECT_EQ(client.request(MC_LOGIN,
                           [&](CSCPMessage &m) {
                             m.SetVariable(VAR_AUTH_METHOD, static_cast<uint16_t>(2));
                             m.SetVariable(VAR_SHARED_SECRET, sha1, 20u);
                           }),
            RCC_AUTH_FAILED);
  // The clear-text secret as binary bytes, method 0, an unknown method, and
  // no secret field at all.
  EXPECT_EQ(client.request(MC_LOGIN,
                           [](CSCPMessage &m) {
                             m.SetVariable(VAR_AUTH_METHOD, static_cast<uint16_t>(1));
                             m.SetVariable(VAR_SHARED_SECRET,
                                           reinterpret_cast<const uint8_t *>("s3cret"), 6u);
                           }),
            RCC_AUTH_FAILED);
  for (uint16_t method : {0, 9}) {
    EXPECT_EQ(client.request(MC_LOGIN,
                             [&](CSCPMessage &m) {
                               m.SetVariable(VAR_AUTH_METHOD, method);
                               m.SetVariable(VAR_SHARED_SECRET, u"s3cret");
                             }),
              RCC_AUTH_FAILED)
        << "method " << method;
  }
  EXPECT_EQ(client.request(
                MC_LOGIN,
                [](CSCPMessage &m) { m.SetVariable(VAR_AUTH_METHOD, static_cast<uint16_t>(3)); }),
            RCC_AUTH_FAILED);
  EXPECT_EQ(client.keepalive(), RCC_AUTH_REQUIRED);

  // A good login opens the session; a later bad one closes it again.
  EXPECT_EQ(client.loginDigest(3, "s3cret"), RCC_SUCCESS);
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  EXPECT_EQ(client.loginClear(u"wrong"), RCC_AUTH_FAILED);
  EXPECT_EQ(client.keepalive(), RCC_AUTH_REQUIRED);
}

TEST(AgentServerTest, WithoutASecretServesRequestsAndAcceptsAnyLogin) {
  auto server = Start();
  RawPeer client(server->port());
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  EXPECT_EQ(client.loginDigest(2, "anything"), RCC_SUCCESS);
  EXPECT_EQ(client.loginClear(u"else"), RCC_SUCCESS);
  EXPECT_EQ(server->logins().size(), 2u);
}

TEST(AgentServerTest, RefusesToStartWithInvalidSettings) {
  std::string error;
  AgentConfig badAddress;
  badAddress.listenAddress = "127.0.0.256";
  EXPECT_FALSE(AgentServer(badAddress).start(&error));
  EXPECT_NE(error.find("listen address"), std::string::npos);

  // 63 bytes is the longest secret a login can carry; 64 can never match.
  AgentServer longest(WithSecret(std::string(63, 'x')));
  EXPECT_TRUE(longest.start(&error)) << error;
  EXPECT_FALSE(AgentServer(WithSecret(std::string(64, 'x'))).start(&error));
  EXPECT_NE(error.find("63"), std::string::npos);

  AgentConfig busy;
  busy.listenPort = longest.port();
  EXPECT_FALSE(AgentServer(busy).start(&error));
  EXPECT_FALSE(longest.start(&error));  // started before

  AgentConfig sizes;
  sizes.oversizedMessageSize = KMCP_MAX_MESSAGE_SIZE + 1;
  EXPECT_FALSE(AgentServer(sizes).start(&error));
  sizes.oversizedMessageSize = KMCP_MAX_MESSAGE_SIZE;
  EXPECT_TRUE(AgentServer(sizes).start(&error)) << error;
}

// ---------------------------------------------------------------------------
// Encryption
// ---------------------------------------------------------------------------

TEST(AgentServerTest, RequiredEncryptionRefusesEverythingButTheKeyExchangeUntilEncrypted) {
  AgentConfig config = WithSecret("s3cret");
  config.requireEncryption = true;
  auto server = Start(config);
  RawPeer client(server->port());
  EXPECT_EQ(client.detectVersion(), KMCP_VERSION);
  EXPECT_EQ(client.keepalive(), RCC_ENCRYPTION_REQUIRED);
  EXPECT_EQ(client.loginClear(u"s3cret"), RCC_ENCRYPTION_REQUIRED);
  EXPECT_EQ(client.request(0x1234), RCC_ENCRYPTION_REQUIRED);
  ASSERT_EQ(client.setupEncryption(), KMCP_ENCRYPTION_OK);

  EXPECT_EQ(client.loginClear(u"s3cret"), RCC_SUCCESS);
  EXPECT_TRUE(client.lastEncrypted());
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  EXPECT_TRUE(client.lastEncrypted());
  EXPECT_TRUE(server->requests().back().encrypted);

  // A clear request slipped into the encrypted session is refused.
  EXPECT_EQ(ClearKeepaliveResult(client), RCC_ENCRYPTION_REQUIRED);
}

TEST(AgentServerTest, KeyExchangeWithoutRequirementEncryptsTheRestOfTheSession) {
  auto server = Start();
  RawPeer client(server->port());
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  EXPECT_FALSE(client.lastEncrypted());
  ASSERT_EQ(client.setupEncryption(), KMCP_ENCRYPTION_OK);
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  EXPECT_TRUE(client.lastEncrypted());
  // A second key request is refused (45) and the session keeps its key:
  // whoever asks cannot take it over or end it so.
  EXPECT_EQ(client.setupEncryption(), KMCP_ENCRYPTION_BAD_MESSAGE);
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  EXPECT_TRUE(client.lastEncrypted());
  // A clear request slipped into the keyed stream is not run as the session's.
  EXPECT_EQ(ClearKeepaliveResult(client), RCC_ENCRYPTION_REQUIRED);
  EXPECT_EQ(server->requests().back().code, MC_KEEPALIVE);
  EXPECT_TRUE(server->requests().back().encrypted);
  // Key requests are counted: the one beyond the third ends the session.
  EXPECT_EQ(client.setupEncryption(), KMCP_ENCRYPTION_BAD_MESSAGE);
  EXPECT_EQ(client.setupEncryption(), -1);
  EXPECT_TRUE(client.waitForClose());
}

// Integer fields of another width than the protocol gives are malformed,
// never cut to fit: 0x00010003 is no login method, 0x10016 no port.
TEST(AgentServerTest, IntegerFieldsOfTheWrongWidthAreMalformed) {
  AgentConfig config = WithSecret("s3cret");
  config.actions = {{"Test.True", {"/bin/true"}}};
  auto server = Start(config);
  RawPeer client(server->port());
  ASSERT_EQ(client.loginDigest(3, "s3cret"), RCC_SUCCESS);
  struct Case {
    const char *what;
    uint16_t code;
    RawPeer::Fill fill;
  };
  const Case cases[] = {
      {"argument count as 16 bits", MC_EXEC_ACTION,
       [](CSCPMessage &m) {
         m.SetVariable(VAR_ACTION_NAME, u"Test.True");
         m.SetVariable(VAR_NUM_ARGS, uint16_t{0});
       }},
      {"service port as 32 bits", MC_CHECK_SERVICE,
       [](CSCPMessage &m) {
         m.SetVariable(VAR_IP_ADDRESS, uint32_t{0x7F000001});
         m.SetVariable(VAR_IP_PORT, uint32_t{0x10016});
       }},
      {"SNMP port as 32 bits", MC_SNMP_REQUEST,
       [](CSCPMessage &m) {
         const uint8_t pdu[] = {0x30, 0x00};
         m.SetVariable(VAR_IP_ADDRESS, uint32_t{0x7F000001});
         m.SetVariable(VAR_SNMP_PORT, uint32_t{0x100A1});
         m.SetVariable(VAR_PDU, pdu, 2u);
         m.SetVariable(VAR_PDU_SIZE, uint32_t{2});
       }},
      {"address as 64 bits", MC_CHECK_SERVICE,
       [](CSCPMessage &m) { m.SetVariable(VAR_IP_ADDRESS, uint64_t{0x17F000001}); }},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(client.request(c.code, c.fill), RCC_BAD_ARGUMENTS) << c.what;
  }
  // The SHA-1 login with its method as 32 bits: no method at all.
  uint8_t sha1[20];
  CalculateSHA1Hash(reinterpret_cast<const uint8_t *>("s3cret"), 6, sha1);
  EXPECT_EQ(client.request(MC_LOGIN,
                           [&](CSCPMessage &m) {
                             m.SetVariable(VAR_AUTH_METHOD, uint32_t{0x00010003});
                             m.SetVariable(VAR_SHARED_SECRET, sha1, 20u);
                           }),
            RCC_AUTH_FAILED);
}

TEST(AgentServerTest, UnusableKeyRequestIsAnsweredWithItsFailureAndTheSessionStaysClear) {
  auto server = Start();
  RawPeer client(server->port());
  CSCPMessage request;
  request.SetCode(MC_REQUEST_SESSION_KEY);
  request.SetId(client.nextId());
  request.SetVariable(VAR_KMCP_SUPPORTED_CIPHERS, KMCP_SUPPORTED_CIPHERS);
  const uint8_t junk[] = {0x30, 0x03, 0x02, 0x01, 0x00};
  request.SetVariable(VAR_KMCP_PUBLIC_KEY, junk, static_cast<uint32_t>(sizeof(junk)));
  request.SetVariable(VAR_KMCP_PUBLIC_KEY_FORMAT, KMCP_KEY_FORMAT_PKCS1);
  ASSERT_TRUE(client.send(request));
  std::unique_ptr<CSCPMessage> answer;
  ASSERT_GT(client.receive(&answer), KMCP_RECV_TIMEOUT);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->GetCode(), MC_SESSION_KEY);
  EXPECT_EQ(answer->GetVariableLong(VAR_KMCP_KEY_RESULT),
            static_cast<uint32_t>(KMCP_ENCRYPTION_INVALID_PUBLIC_KEY));
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  EXPECT_FALSE(client.lastEncrypted());
}

TEST(AgentServerTest, NeverAnswerKeyRequestSwallowsTheRequestAndServesWhatFollows) {
  AgentConfig config;
  config.neverAnswerKeyRequest = true;
  auto server = Start(config);
  RawPeer client(server->port());
  CSCPMessage request;
  ASSERT_TRUE(PrepareKeyRequestMsg(&request, kmtest::TestKey(), false));
  request.SetId(client.nextId());
  ASSERT_TRUE(client.send(request));
  CSCPMessage keepalive;
  keepalive.SetCode(MC_KEEPALIVE);
  keepalive.SetId(client.nextId());
  ASSERT_TRUE(client.send(keepalive));
  // The first thing back is the keepalive's answer: no session key came first.
  std::unique_ptr<CSCPMessage> first;
  ASSERT_GT(client.receive(&first), KMCP_RECV_TIMEOUT);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->GetCode(), MC_REQUEST_COMPLETED);
  EXPECT_EQ(first->GetId(), keepalive.GetId());
  EXPECT_EQ(server->requests().front().code, MC_REQUEST_SESSION_KEY);
}

// ---------------------------------------------------------------------------
// Proxy hop
// ---------------------------------------------------------------------------

// A proxy agent (encrypted, secret "near") and a target agent (encryption
// required, secret "far", version 3); the client goes through the proxy.
TEST(AgentServerTest, ProxyHopRelaysAWholeSecondSessionToTheTarget) {
  AgentConfig targetConfig = WithSecret("far");
  targetConfig.requireEncryption = true;
  targetConfig.reportVersion = 3;
  auto target = Start(targetConfig);
  auto proxy = Start(AnyPort(WithSecret("near")));

  RawPeer client(proxy->port());
  EXPECT_EQ(client.detectVersion(), KMCP_VERSION);
  ASSERT_EQ(client.setupEncryption(), KMCP_ENCRYPTION_OK);
  EXPECT_EQ(client.loginClear(u"near"), RCC_SUCCESS);
  EXPECT_EQ(client.request(MC_SETUP_PROXY_CONNECTION,
                           [&](CSCPMessage &m) {
                             m.SetVariable(VAR_IP_ADDRESS, uint32_t{0x7F000001});
                             m.SetVariable(VAR_AGENT_PORT, target->port());
                           }),
            RCC_SUCCESS);
  EXPECT_TRUE(client.lastEncrypted());  // the answer still came under the proxy's key
  client.dropKey();

  // Everything from here on is the target's session.
  EXPECT_EQ(client.detectVersion(), 3);
  EXPECT_EQ(client.keepalive(), RCC_ENCRYPTION_REQUIRED);
  ASSERT_EQ(client.setupEncryption(), KMCP_ENCRYPTION_OK);
  EXPECT_EQ(client.loginDigest(2, "far"), RCC_SUCCESS);
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  EXPECT_TRUE(client.lastEncrypted());

  const std::vector<kmagent::ProxyHopRecord> hops = proxy->proxyHops();
  ASSERT_EQ(hops.size(), 1u);
  EXPECT_EQ(hops[0].address, 0x7F000001u);
  EXPECT_EQ(hops[0].port, target->port());
  EXPECT_EQ(hops[0].result, RCC_SUCCESS);
  ASSERT_EQ(target->logins().size(), 1u);
  EXPECT_EQ(target->logins()[0].method, 2);
  EXPECT_EQ(proxy->logins().size(), 1u);
  // The proxy saw version detection, key request, login and the hop, nothing
  // of the relayed session.
  EXPECT_EQ(proxy->requests().size(), 4u);
  EXPECT_TRUE(target->waitForSessionCount(1, kWaitMs));

  // Closing the client ends both the relay and the target's session.
  client.close();
  EXPECT_TRUE(proxy->waitForSessionCount(0, kWaitMs));
  EXPECT_TRUE(target->waitForSessionCount(0, kWaitMs));
}

TEST(AgentServerTest, ProxyHopForwardsBytesSentRightBehindTheHopRequest) {
  auto target = Start();
  auto proxy = Start(AnyPort());
  RawPeer client(proxy->port());
  CSCPMessage hop;
  hop.SetCode(MC_SETUP_PROXY_CONNECTION);
  hop.SetId(client.nextId());
  hop.SetVariable(VAR_IP_ADDRESS, uint32_t{0x7F000001});
  hop.SetVariable(VAR_AGENT_PORT, target->port());
  CSCPMessage keepalive;
  keepalive.SetCode(MC_KEEPALIVE);
  keepalive.SetId(500);
  // Both in one write: the proxy reads the keepalive along with the hop
  // request, before the hop exists.
  std::vector<uint8_t> bytes = Wire(hop);
  const std::vector<uint8_t> second = Wire(keepalive);
  bytes.insert(bytes.end(), second.begin(), second.end());
  ASSERT_TRUE(client.sendBytes(bytes));
  std::unique_ptr<CSCPMessage> hopReply = client.awaitReply(hop.GetId());
  ASSERT_NE(hopReply, nullptr);
  EXPECT_EQ(hopReply->GetVariableLong(VAR_RCC), RCC_SUCCESS);
  std::unique_ptr<CSCPMessage> reply = client.awaitReply(500);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_SUCCESS);
  ASSERT_EQ(target->requests().size(), 1u);
  EXPECT_EQ(target->requests()[0].id, 500u);
}

TEST(AgentServerTest, ProxyHopIsRefusedOutsideItsRulesAndTheSessionGoesOn) {
  auto proxy = Start(AnyPort());
  RawPeer client(proxy->port());
  const kmtest::ClosedPort reserved;
  const uint16_t closed = reserved.port();
  auto hop = [&](bool address, uint32_t ip, bool port, uint16_t p) {
    return client.request(MC_SETUP_PROXY_CONNECTION, [&](CSCPMessage &m) {
      if (address) {
        m.SetVariable(VAR_IP_ADDRESS, ip);
      }
      if (port) {
        m.SetVariable(VAR_AGENT_PORT, p);
      }
    });
  };
  EXPECT_EQ(hop(true, 0x0A010203, true, 4700), RCC_ACCESS_DENIED);  // 10.1.2.3
  EXPECT_EQ(hop(true, 0x7F000001, true, 0), RCC_ACCESS_DENIED);
  EXPECT_EQ(hop(false, 0, true, 4700), RCC_MALFORMED_COMMAND);
  EXPECT_EQ(hop(true, 0x7F000001, false, 0), RCC_MALFORMED_COMMAND);
  EXPECT_EQ(hop(true, 0x7F000001, true, closed), RCC_CONNECT_FAILED);
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  const std::vector<kmagent::ProxyHopRecord> hops = proxy->proxyHops();
  ASSERT_EQ(hops.size(), 5u);
  EXPECT_EQ(hops[0].address, 0x0A010203u);
  EXPECT_EQ(hops[4].port, closed);
  EXPECT_EQ(hops[4].result, RCC_CONNECT_FAILED);

  AgentConfig noProxy = AnyPort();
  noProxy.allowProxy = false;
  auto strict = Start(noProxy);
  auto target = Start();
  RawPeer other(strict->port());
  EXPECT_EQ(other.request(MC_SETUP_PROXY_CONNECTION,
                          [&](CSCPMessage &m) {
                            m.SetVariable(VAR_IP_ADDRESS, uint32_t{0x7F000001});
                            m.SetVariable(VAR_AGENT_PORT, target->port());
                          }),
            RCC_ACCESS_DENIED);
  EXPECT_EQ(target->sessionCount(), 0u);
}

// ---------------------------------------------------------------------------
// Bad input
// ---------------------------------------------------------------------------

TEST(AgentServerTest, HeaderPromisingFourGibibytesIsAnsweredAndSkipped) {
  auto server = Start();
  RawPeer client(server->port());
  ASSERT_TRUE(client.sendBytes(WireHeader(MC_KEEPALIVE, 0xFFFFFFF8u, 42)));
  std::unique_ptr<CSCPMessage> reply = client.awaitReply(42);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_OUT_OF_RESOURCES);
  // Exactly one past the limit is refused the same way.
  RawPeer second(server->port());
  const uint32_t onePast = static_cast<uint32_t>(KMCPEncryptedSize(kmagent::kMaxRequestSize)) + 1;
  ASSERT_TRUE(second.sendBytes(WireHeader(MC_KEEPALIVE, onePast, 43)));
  reply = second.awaitReply(43);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_OUT_OF_RESOURCES);
  client.close();
  second.close();
  EXPECT_TRUE(server->waitForSessionCount(0, kWaitMs));
}

TEST(AgentServerTest, LargestRequestIsReadAndOneAlignedStepMoreIsRefused) {
  auto server = Start();
  RawPeer client(server->port());
  // Keepalives padded with a binary field up to the session limit exactly,
  // and one aligned step beyond it (the same limit, counted without the
  // envelope, as the client's).
  for (const uint32_t size : {kmagent::kMaxRequestSize, kmagent::kMaxRequestSize + 8}) {
    CSCPMessage big;
    big.SetCode(MC_KEEPALIVE);
    big.SetId(client.nextId());
    std::vector<uint8_t> filler(1000);
    big.SetVariable(VAR_VALUE, filler.data(), static_cast<uint32_t>(filler.size()));
    const size_t overhead = big.EncodedSize() - filler.size();
    filler.resize(size - overhead);
    big.SetVariable(VAR_VALUE, filler.data(), static_cast<uint32_t>(filler.size()));
    ASSERT_EQ(big.EncodedSize(), size);
    ASSERT_TRUE(client.send(big));
    std::unique_ptr<CSCPMessage> reply = client.awaitReply(big.GetId());
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->GetVariableLong(VAR_RCC),
              size == kmagent::kMaxRequestSize ? RCC_SUCCESS : RCC_OUT_OF_RESOURCES);
  }
}

TEST(AgentServerTest, MalformedAndRawMessagesNeverStopTheSession) {
  auto server = Start();
  RawPeer client(server->port());
  // A header announcing three fields that are not there.
  std::vector<uint8_t> bad = WireHeader(MC_KEEPALIVE, 24, 9, 8);
  bad[15] = 3;
  ASSERT_TRUE(client.sendBytes(bad));
  std::unique_ptr<CSCPMessage> reply = client.awaitReply(9);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_MALFORMED_COMMAND);
  // A raw file chunk outside any transfer is dropped without an answer; the
  // keepalive behind it is the next thing answered.
  std::vector<uint8_t> raw = WireHeader(MC_FILE_DATA, 24, 10, 8, FLAG_RAW);
  raw[15] = 8;
  ASSERT_TRUE(client.sendBytes(raw));
  std::unique_ptr<CSCPMessage> next;
  CSCPMessage keepalive;
  keepalive.SetCode(MC_KEEPALIVE);
  keepalive.SetId(11);
  ASSERT_TRUE(client.send(keepalive));
  ASSERT_GT(client.receive(&next), KMCP_RECV_TIMEOUT);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->GetId(), 11u);
  // An undecryptable envelope is skipped.
  std::vector<uint8_t> envelope = WireHeader(MC_ENCRYPTED_MESSAGE, 48, 0, 32);
  ASSERT_TRUE(client.sendBytes(envelope));
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
}

TEST(AgentServerTest, GarbageAndCutMessagesEndOnlyTheirOwnSession) {
  auto server = Start();
  RawPeer healthy(server->port());
  EXPECT_EQ(healthy.keepalive(), RCC_SUCCESS);
  // Pseudo-random bytes, some of which make headers below 16 bytes (broken
  // framing) and some huge ones.
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    RawPeer noise(server->port());
    std::vector<uint8_t> bytes(4096);
    uint32_t x = seed * 2654435761u;
    for (uint8_t &b : bytes) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<uint8_t>(x);
    }
    noise.sendBytes(bytes);
  }
  // Half a message, then the connection closes.
  {
    RawPeer cut(server->port());
    std::vector<uint8_t> half = WireHeader(MC_KEEPALIVE, 1000, 1, 100);
    ASSERT_TRUE(cut.sendBytes(half));
  }
  // A header below the minimum size, on an open connection: the session ends.
  RawPeer tiny(server->port());
  ASSERT_TRUE(tiny.sendBytes(WireHeader(MC_KEEPALIVE, 8, 1)));
  EXPECT_TRUE(tiny.waitForClose());
  EXPECT_TRUE(server->waitForSessionCount(1, kWaitMs));
  EXPECT_EQ(healthy.keepalive(), RCC_SUCCESS);
}

TEST(AgentServerTest, BitFlippedLoginsNeverUpsetTheServer) {
  auto server = Start(Unthrottled(WithSecret("s3cret")));
  CSCPMessage login;
  login.SetCode(MC_LOGIN);
  login.SetId(1);
  login.SetVariable(VAR_AUTH_METHOD, static_cast<uint16_t>(1));
  login.SetVariable(VAR_SHARED_SECRET, u"s3cret");
  const std::vector<uint8_t> good = Wire(login);
  for (size_t bit = 0; bit < good.size() * 8; bit += 3) {
    RawPeer client(server->port());
    std::vector<uint8_t> bytes = good;
    bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    client.sendBytes(bytes);
    client.shutdownWrite();
    EXPECT_TRUE(client.waitForClose()) << "bit " << bit;
  }
  EXPECT_TRUE(server->waitForSessionCount(0, kWaitMs));
  for (const kmagent::LoginRecord &r : server->logins()) {
    if (r.result == RCC_SUCCESS) {
      EXPECT_EQ(r.secretText, u"s3cret");
    }
  }
  RawPeer after(server->port());
  EXPECT_EQ(after.loginClear(u"s3cret"), RCC_SUCCESS);
}

// ---------------------------------------------------------------------------
// Test switches
// ---------------------------------------------------------------------------

class BadMessageTest : public ::testing::TestWithParam<bool> {};

// Oversized, wrong size, undecryptable, then the answer, on a clear and on an
// encrypted session; a receiver with the library's limit skips each.
TEST_P(BadMessageTest, TriggerSendsEachBadMessageThenTheAnswer) {
  const bool encrypt = GetParam();
  AgentConfig config;
  config.sendOversizedMessage = true;
  config.sendWrongSizeMessage = true;
  config.sendUndecryptableMessage = true;
  auto server = Start(config);
  RawPeer client(server->port());
  if (encrypt) {
    ASSERT_EQ(client.setupEncryption(), KMCP_ENCRYPTION_OK);
  }
  CSCPMessage trigger;
  trigger.SetCode(kmagent::MC_AGENT_TEST_TRIGGER);
  trigger.SetId(client.nextId());
  ASSERT_TRUE(client.send(trigger));

  std::unique_ptr<CSCPMessage> msg;
  EXPECT_EQ(client.receive(&msg), KMCP_RECV_TOO_LARGE);
  EXPECT_GT(KmLoadBe32(client.lastHeader() + 4), RawPeer::kSessionMaxMessage);

  const int wrong = client.receive(&msg);
  ASSERT_GT(wrong, KMCP_RECV_TIMEOUT);
  EXPECT_EQ(client.lastEncrypted(), encrypt);
  EXPECT_EQ(msg, nullptr);  // the field codec refuses it either way
  if (encrypt) {
    EXPECT_NE(KmLoadBe32(client.lastHeader() + 4), static_cast<uint32_t>(wrong));
  }

  EXPECT_EQ(client.receive(&msg), KMCP_RECV_UNDECRYPTABLE);

  ASSERT_GT(client.receive(&msg), KMCP_RECV_TIMEOUT);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->GetId(), trigger.GetId());
  EXPECT_EQ(msg->GetVariableLong(VAR_RCC), RCC_SUCCESS);
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(ClearAndEncrypted, BadMessageTest, ::testing::Bool());

TEST(AgentServerTest, CloseAfterRequestsClosesRightAfterTheNthAnswer) {
  AgentConfig config;
  config.closeAfterRequests = 3;
  auto server = Start(config);
  RawPeer client(server->port());
  EXPECT_EQ(client.detectVersion(), KMCP_VERSION);
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  EXPECT_TRUE(client.waitForClose());
}

TEST(AgentServerTest, IdleSessionIsClosedAndMaxSessionsTurnsExtraConnectionsAway) {
  AgentConfig config;
  config.idleTimeoutMs = 100;
  config.maxSessions = 1;
  auto server = Start(config);
  {
    RawPeer first(server->port());
    EXPECT_EQ(first.keepalive(), RCC_SUCCESS);
    RawPeer second(server->port());
    EXPECT_TRUE(second.waitForClose());
    EXPECT_TRUE(first.waitForClose());  // idle
  }
  EXPECT_TRUE(server->waitForSessionCount(0, kWaitMs));
  RawPeer third(server->port());
  EXPECT_EQ(third.keepalive(), RCC_SUCCESS);
}

// ---------------------------------------------------------------------------
// Unsolicited messages
// ---------------------------------------------------------------------------

TEST(AgentServerTest, TrapsAndPushedDataGoOnlyToReadySessions) {
  auto server = Start(WithSecret("s3cret"));
  RawPeer ready(server->port());
  EXPECT_EQ(ready.loginClear(u"s3cret"), RCC_SUCCESS);
  ASSERT_EQ(ready.setupEncryption(), KMCP_ENCRYPTION_OK);
  EXPECT_EQ(ready.keepalive(), RCC_SUCCESS);
  RawPeer anonymous(server->port());
  EXPECT_EQ(anonymous.detectVersion(), KMCP_VERSION);
  EXPECT_EQ(anonymous.keepalive(), RCC_AUTH_REQUIRED);

  CSCPMessage trap;
  trap.SetCode(MC_KEEPALIVE);  // replaced by MC_TRAP
  trap.SetId(0);
  trap.SetVariable(VAR_VALUE, u"link down");
  EXPECT_EQ(server->sendTrap(trap), 1u);
  EXPECT_EQ(server->pushData(trap), 1u);
  CSCPMessage custom;
  custom.SetCode(0x6001);
  custom.SetId(5);
  EXPECT_EQ(server->sendMessage(custom), 1u);

  std::unique_ptr<CSCPMessage> msg;
  ASSERT_GT(ready.receive(&msg), KMCP_RECV_TIMEOUT);
  ASSERT_NE(msg, nullptr);
  EXPECT_TRUE(ready.lastEncrypted());
  EXPECT_EQ(msg->GetCode(), MC_TRAP);
  char16_t text[32];
  EXPECT_NE(msg->GetVariableStr(VAR_VALUE, text, 32), nullptr);
  EXPECT_EQ(std::u16string(text), u"link down");
  ASSERT_GT(ready.receive(&msg), KMCP_RECV_TIMEOUT);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->GetCode(), MC_DATA_PUSH);
  ASSERT_GT(ready.receive(&msg), KMCP_RECV_TIMEOUT);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->GetCode(), 0x6001);
  EXPECT_EQ(msg->GetId(), 5u);

  // The anonymous session got nothing: its next message is its own answer.
  EXPECT_EQ(anonymous.keepalive(), RCC_AUTH_REQUIRED);
  EXPECT_EQ(anonymous.receive(&msg, 0), KMCP_RECV_TIMEOUT);

  EXPECT_EQ(server->sendBadMessage(kmagent::BadMessage::Oversized), 1u);
  EXPECT_EQ(ready.receive(&msg), KMCP_RECV_TOO_LARGE);
  EXPECT_EQ(ready.keepalive(), RCC_SUCCESS);
}

// Eight clients each make requests while another thread broadcasts traps:
// every answer arrives whole and in its own message.
TEST(AgentServerTest, ConcurrentClientsAndBroadcastsKeepMessagesWhole) {
  auto server = Start();
  constexpr int kClients = 8;
  constexpr int kRequests = 40;
  std::vector<std::unique_ptr<RawPeer>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<RawPeer>(server->port()));
    if (i % 2 == 1) {
      ASSERT_EQ(clients.back()->setupEncryption(), KMCP_ENCRYPTION_OK);
    }
    ASSERT_EQ(clients.back()->keepalive(), RCC_SUCCESS);
  }
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::atomic<size_t> delivered{0};
  std::thread broadcaster([&] {
    CSCPMessage trap;
    trap.SetVariable(VAR_VALUE, u"event");
    for (int i = 0; i < 200 && !done.load(); ++i) {
      delivered.fetch_add(server->sendTrap(trap));
    }
  });
  std::vector<std::thread> workers;
  workers.reserve(kClients);
  for (int i = 0; i < kClients; ++i) {
    workers.emplace_back([&, i] {
      for (int r = 0; r < kRequests; ++r) {
        if (clients[i]->keepalive() != RCC_SUCCESS) {
          failures.fetch_add(1);
        }
      }
    });
  }
  for (std::thread &t : workers) {
    t.join();
  }
  done.store(true);
  broadcaster.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(delivered.load(), 0u);
  EXPECT_EQ(server->sessionCount(), static_cast<size_t>(kClients));
}

// ---------------------------------------------------------------------------
// Stopping
// ---------------------------------------------------------------------------

TEST(AgentServerTest, StopEndsIdleDelayedAndRelayingSessions) {
  auto target = Start();
  auto proxy = Start(AnyPort());
  AgentConfig slowConfig;
  slowConfig.replyDelayMs = 600000;
  auto slow = Start(slowConfig);

  RawPeer idle(proxy->port());
  EXPECT_EQ(idle.keepalive(), RCC_SUCCESS);
  RawPeer relaying(proxy->port());
  EXPECT_EQ(relaying.request(MC_SETUP_PROXY_CONNECTION,
                             [&](CSCPMessage &m) {
                               m.SetVariable(VAR_IP_ADDRESS, uint32_t{0x7F000001});
                               m.SetVariable(VAR_AGENT_PORT, target->port());
                             }),
            RCC_SUCCESS);
  EXPECT_EQ(relaying.keepalive(), RCC_SUCCESS);  // answered by the target
  RawPeer waiting(slow->port());
  CSCPMessage keepalive;
  keepalive.SetCode(MC_KEEPALIVE);
  keepalive.SetId(1);
  ASSERT_TRUE(waiting.send(keepalive));
  EXPECT_TRUE(slow->waitForSessionCount(1, kWaitMs));

  proxy->stop();
  slow->stop();
  EXPECT_EQ(proxy->sessionCount(), 0u);
  EXPECT_EQ(slow->sessionCount(), 0u);
  EXPECT_TRUE(idle.waitForClose());
  EXPECT_TRUE(relaying.waitForClose());
  EXPECT_TRUE(waiting.waitForClose());
  EXPECT_TRUE(target->waitForSessionCount(0, kWaitMs));
  proxy->stop();  // again: nothing happens
  RawPeer refused(proxy->port());
  EXPECT_FALSE(refused.ok());
}

}  // namespace
