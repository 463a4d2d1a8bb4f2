// Session negotiation against the reference agent running in-process:
// encryption policies, login methods and what the logins carry, the proxy
// hop, and unsolicited messages from a real agent.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent_server.h"
#include "agent_test_support.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"

namespace kmtest {
namespace {

using kmagent::AgentConfig;
using kmagent::AgentServer;

constexpr char kAgentSecret[] = "s3cret";

std::unique_ptr<AgentServer> StartAgent(AgentConfig config) {
  auto agent = std::make_unique<AgentServer>(std::move(config));
  std::string error;
  EXPECT_TRUE(agent->start(&error)) << error;
  return agent;
}

AgentConfig Config(bool requireEncryption, const std::string &secret,
                   const std::string &address = "127.0.0.1") {
  AgentConfig config;
  config.listenAddress = address;
  config.requireEncryption = requireEncryption;
  config.secret = secret;
  return config;
}

std::vector<kmagent::RequestRecord> RequestsOf(const AgentServer &agent, uint16_t code) {
  std::vector<kmagent::RequestRecord> out;
  for (const auto &r : agent.requests())
    if (r.code == code) out.push_back(r);
  return out;
}

// What negotiation must end in for one combination.
struct Expected {
  uint32_t rcc;         // 0: connect succeeds
  bool encrypted;       // the session ends up encrypted
  std::string message;  // what PrintMsg shows ("" for nothing)
};

Expected Oracle(int32_t policy, bool agentRequires, bool haveKey, int32_t method) {
  const int32_t p = (policy >= 0 && policy <= 3) ? policy : 1;
  if (p == 3 && !haveKey) return {RCC_ENCRYPTION_REQUIRED, false, ""};
  const bool encryptedFirst = (p == 2 || p == 3) && haveKey;
  if (agentRequires && !encryptedFirst) {
    if (p == 0) {
      return {RCC_ENCRYPTION_REQUIRED, false,
              std::string(method != AUTH_METHOD_NONE ? "Authentication to" : "Communication with") +
                  " agent 127.0.0.1 failed (Encryption required)"};
    }
    if (!haveKey) return {RCC_ENCRYPTION_REQUIRED, false, ""};
    return {RCC_SUCCESS, true, ""};
  }
  return {RCC_SUCCESS, encryptedFirst, ""};
}

TEST(AgentNegotiation, EveryPolicyAgainstAgentsWithAndWithoutRequiredEncryption) {
  for (bool agentRequires : {false, true}) {
    for (int32_t method : {AUTH_METHOD_NONE, AUTH_METHOD_MD5}) {
      auto agent =
          StartAgent(Config(agentRequires, method != AUTH_METHOD_NONE ? kAgentSecret : ""));
      for (int32_t policy : {0, 1, 2, 3, 7}) {
        for (bool haveKey : {false, true}) {
          SCOPED_TRACE("requires=" + std::to_string(agentRequires) +
                       " method=" + std::to_string(method) + " policy=" + std::to_string(policy) +
                       " key=" + std::to_string(haveKey));
          const Expected want = Oracle(policy, agentRequires, haveKey, method);
          agent->clearRecords();
          TestConnection conn(kLoopbackNet, agent->port(), method, u"s3cret");
          conn.setEncryptionPolicy(policy);
          uint32_t rcc = 12345;
          const bool ok = conn.connect(haveKey ? TestKey() : nullptr, true, &rcc);
          EXPECT_EQ(ok, want.rcc == RCC_SUCCESS);
          EXPECT_EQ(rcc, want.rcc);
          EXPECT_EQ(conn.isConnected(), ok);
          std::vector<std::string> printed = conn.printed();
          if (want.message.empty()) {
            EXPECT_TRUE(printed.empty()) << printed[0];
          } else {
            ASSERT_EQ(printed.size(), 1u);
            EXPECT_EQ(printed[0], want.message);
          }
          if (!ok) {
            EXPECT_EQ(conn.getSocket(), INVALID_SOCKET);
            // Mandatory encryption without a key fails before any login.
            if (policy == 3 && !haveKey) {
              EXPECT_TRUE(RequestsOf(*agent, MC_LOGIN).empty());
            }
            continue;
          }
          // The liveness test of the negotiation and one more request both
          // travel as the session's encryption state says.
          EXPECT_EQ(conn.nop(), RCC_SUCCESS);
          auto nops = RequestsOf(*agent, MC_KEEPALIVE);
          ASSERT_FALSE(nops.empty());
          EXPECT_EQ(nops.back().encrypted, want.encrypted);
          // Logins: none for method 0; with method MD5 the last one succeeded.
          auto logins = agent->logins();
          if (method == AUTH_METHOD_NONE) {
            EXPECT_TRUE(RequestsOf(*agent, MC_LOGIN).empty());
          } else {
            ASSERT_FALSE(logins.empty());
            EXPECT_EQ(logins.back().result, RCC_SUCCESS);
          }
        }
      }
    }
  }
}

// On demand, a login carrying the secret never goes out in clear to an agent
// that demands encryption: the liveness test asks first, and its 906 keys the
// session before the one login.
TEST(AgentNegotiation, OnDemandProbesFirstAndLogsInOnlyOnceKeyed) {
  auto agent = StartAgent(Config(true, kAgentSecret));
  TestConnection conn(kLoopbackNet, agent->port(), AUTH_METHOD_CLEAR, u"s3cret");
  conn.setEncryptionPolicy(ENCRYPTION_ON_DEMAND);
  ASSERT_TRUE(conn.connect(TestKey()));
  std::vector<uint16_t> codes;
  for (const auto &r : agent->requests()) codes.push_back(r.code);
  // Version detection, clear liveness test (answered 906), key exchange,
  // encrypted login, encrypted liveness test.
  std::vector<uint16_t> want = {MC_GET_KMCP_CAPS, MC_KEEPALIVE, MC_REQUEST_SESSION_KEY, MC_LOGIN,
                                MC_KEEPALIVE};
  EXPECT_EQ(codes, want);
  auto logins = RequestsOf(*agent, MC_LOGIN);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_TRUE(logins[0].encrypted);

  // Without a key the attempt ends with 906 and no login at all.
  agent->clearRecords();
  TestConnection keyless(kLoopbackNet, agent->port(), AUTH_METHOD_CLEAR, u"s3cret");
  keyless.setEncryptionPolicy(ENCRYPTION_ON_DEMAND);
  uint32_t rcc = 0;
  EXPECT_FALSE(keyless.connect(nullptr, false, &rcc));
  EXPECT_EQ(rcc, RCC_ENCRYPTION_REQUIRED);
  EXPECT_TRUE(RequestsOf(*agent, MC_LOGIN).empty());
}

TEST(AgentNegotiation, KeyExchangeWithoutAnswerTimesOutAndGoesOnInClear) {
  AgentConfig config = Config(false, "");
  config.neverAnswerKeyRequest = true;
  auto agent = StartAgent(config);
  TestConnection conn(kLoopbackNet, agent->port());
  conn.setEncryptionPolicy(ENCRYPTION_IF_POSSIBLE);
  conn.setCommandTimeout(500);
  ASSERT_TRUE(conn.connect(TestKey()));
  auto nops = RequestsOf(*agent, MC_KEEPALIVE);
  ASSERT_EQ(nops.size(), 1u);
  EXPECT_FALSE(nops[0].encrypted);

  // Under mandatory encryption the same time-out is fatal, without a message.
  TestConnection strict(kLoopbackNet, agent->port());
  strict.setEncryptionPolicy(ENCRYPTION_MANDATORY);
  strict.setCommandTimeout(500);
  uint32_t rcc = 0;
  EXPECT_FALSE(strict.connect(TestKey(), true, &rcc));
  EXPECT_EQ(rcc, RCC_REQUEST_TIMEOUT);
  EXPECT_TRUE(strict.printed().empty());
}

TEST(AgentNegotiation, NoLoginIsSentForMethodNone) {
  auto agent = StartAgent(Config(false, ""));
  TestConnection conn(kLoopbackNet, agent->port(), AUTH_METHOD_NONE, u"unused");
  conn.setEncryptionPolicy(ENCRYPTION_MANDATORY);
  ASSERT_TRUE(conn.connect(TestKey()));
  std::vector<uint16_t> codes;
  for (const auto &r : agent->requests()) codes.push_back(r.code);
  std::vector<uint16_t> want = {MC_GET_KMCP_CAPS, MC_REQUEST_SESSION_KEY, MC_KEEPALIVE};
  EXPECT_EQ(codes, want);
}

TEST(AgentLogin, EachMethodCarriesWhatItMust) {
  auto agent = StartAgent(Config(false, kAgentSecret));
  const uint8_t *secret = reinterpret_cast<const uint8_t *>(kAgentSecret);
  uint8_t md5[16], sha1[20];
  CalculateMD5Hash(secret, strlen(kAgentSecret), md5);
  CalculateSHA1Hash(secret, strlen(kAgentSecret), sha1);

  for (int32_t method : {AUTH_METHOD_CLEAR, AUTH_METHOD_MD5, AUTH_METHOD_SHA1}) {
    agent->clearRecords();
    TestConnection conn(kLoopbackNet, agent->port(), method, u"s3cret");
    ASSERT_TRUE(conn.connect()) << method;
    auto logins = agent->logins();
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].method, method);
    EXPECT_EQ(logins[0].result, RCC_SUCCESS);
    if (method == AUTH_METHOD_CLEAR) {
      EXPECT_EQ(logins[0].secretText, u"s3cret");
      EXPECT_TRUE(logins[0].secretBytes.empty());
    } else if (method == AUTH_METHOD_MD5) {
      EXPECT_EQ(logins[0].secretBytes, std::vector<uint8_t>(md5, md5 + 16));
    } else {
      EXPECT_EQ(logins[0].secretBytes, std::vector<uint8_t>(sha1, sha1 + 20));
    }
  }

  // setAuthData replaces the secret; a wrong one is refused with a message.
  agent->clearRecords();
  TestConnection wrong(kLoopbackNet, agent->port());
  wrong.setAuthData(AUTH_METHOD_SHA1, "not the secret");
  uint32_t rcc = 0;
  EXPECT_FALSE(wrong.connect(nullptr, false, &rcc));
  EXPECT_EQ(rcc, RCC_AUTH_FAILED);
  ASSERT_EQ(wrong.printed().size(), 1u);
  EXPECT_EQ(wrong.printed()[0], "Authentication to agent 127.0.0.1 failed (Authentication failed)");

  // An unknown method goes out alone.
  agent->clearRecords();
  TestConnection unknown(kLoopbackNet, agent->port(), 9, u"s3cret");
  EXPECT_FALSE(unknown.connect(nullptr, false, &rcc));
  EXPECT_EQ(rcc, RCC_AUTH_FAILED);
  auto logins = agent->logins();
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].method, 9);
  EXPECT_TRUE(logins[0].secretText.empty());
  EXPECT_TRUE(logins[0].secretBytes.empty());
}

TEST(AgentProxy, ProxyCredentialsFirstAgentCredentialsSecondAddressInHostOrder) {
  // The agent listens on 127.0.0.2 so that host and network order differ.
  AgentConfig targetConfig = Config(true, "agentpw", "127.0.0.2");
  auto target = StartAgent(targetConfig);
  AgentConfig proxyConfig = Config(false, "proxypw");
  proxyConfig.proxyPorts.clear();  // the target listens on a picked port
  auto proxy = StartAgent(proxyConfig);

  for (int32_t policy : {ENCRYPTION_ON_DEMAND, ENCRYPTION_MANDATORY}) {
    SCOPED_TRACE("policy=" + std::to_string(policy));
    target->clearRecords();
    proxy->clearRecords();
    TestConnection conn(htonl(0x7F000002), target->port(), AUTH_METHOD_MD5, u"agentpw");
    conn.setProxy(htonl(0x7F000001), proxy->port(), AUTH_METHOD_CLEAR, u"proxypw");
    conn.setEncryptionPolicy(policy);
    uint32_t rcc = 1;
    ASSERT_TRUE(conn.connect(TestKey(), true, &rcc)) << rcc;

    auto proxyLogins = proxy->logins();
    ASSERT_EQ(proxyLogins.size(), 1u);
    EXPECT_EQ(proxyLogins[0].method, AUTH_METHOD_CLEAR);
    EXPECT_EQ(proxyLogins[0].secretText, u"proxypw");
    auto hops = proxy->proxyHops();
    ASSERT_EQ(hops.size(), 1u);
    EXPECT_EQ(hops[0].address, 0x7F000002u);
    EXPECT_EQ(hops[0].port, target->port());
    EXPECT_EQ(hops[0].result, RCC_SUCCESS);

    auto targetLogins = target->logins();
    ASSERT_EQ(targetLogins.size(), 1u);
    EXPECT_EQ(targetLogins[0].method, AUTH_METHOD_MD5);
    EXPECT_EQ(targetLogins[0].secretBytes.size(), 16u);
    EXPECT_EQ(targetLogins[0].result, RCC_SUCCESS);
    // The proxy's encryption (if any) ended at the hop; the agent's own is fresh.
    for (const auto &r : RequestsOf(*proxy, MC_KEEPALIVE))
      EXPECT_EQ(r.encrypted, policy == ENCRYPTION_MANDATORY);

    // Requests now reach the agent behind the proxy, encrypted end to end.
    EXPECT_EQ(conn.nop(), RCC_SUCCESS);
    auto nops = RequestsOf(*target, MC_KEEPALIVE);
    // On demand, a clear liveness test (answered 906) comes before the key.
    ASSERT_EQ(nops.size(), policy == ENCRYPTION_ON_DEMAND ? 3u : 2u);
    EXPECT_TRUE(nops.back().encrypted);
  }
}

TEST(AgentProxy, RefusedHopFailsWithoutMessage) {
  auto proxy = StartAgent([] {
    AgentConfig c = Config(false, "");
    c.allowProxy = false;
    return c;
  }());
  TestConnection conn(kLoopbackNet, 1, AUTH_METHOD_NONE, nullptr);
  conn.setProxy(kLoopbackNet, proxy->port(), AUTH_METHOD_NONE, nullptr);
  uint32_t rcc = 0;
  EXPECT_FALSE(conn.connect(nullptr, true, &rcc));
  EXPECT_EQ(rcc, RCC_ACCESS_DENIED);
  EXPECT_TRUE(conn.printed().empty());
}

TEST(AgentUnsolicited, TrapsAndPushedDataFromARealAgentReachTheHooks) {
  auto agent = StartAgent(Config(true, ""));
  TestConnection conn(kLoopbackNet, agent->port());
  conn.setEncryptionPolicy(ENCRYPTION_ON_DEMAND);
  ASSERT_TRUE(conn.connect(TestKey()));
  CSCPMessage trap;
  trap.SetId(77);
  CSCPMessage push;
  push.SetId(78);
  EXPECT_EQ(agent->pushData(push), 1u);
  EXPECT_EQ(agent->sendTrap(trap), 1u);
  ASSERT_TRUE(WaitUntil([&] { return conn.traps == 1; }));
  EXPECT_EQ(conn.lastTrapId, 77u);
  EXPECT_EQ(conn.pushes, 1);
  EXPECT_EQ(conn.replyQueue.size(), 0u);
}

}  // namespace
}  // namespace kmtest
