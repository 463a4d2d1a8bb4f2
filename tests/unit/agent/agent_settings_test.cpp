// AgentConnection without a peer: defaults, setting limits, secrets, data
// lines and the result code table.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kmbase/text.h"
#include "kmsrv/agent.h"

namespace {

// Exposes what a subclass may see.
class Probe : public AgentConnection {
 public:
  using AgentConnection::AgentConnection;
  ~Probe() override { disconnectAndWait(); }
  using AgentConnection::authMethod;
  using AgentConnection::commandTimeout;
  using AgentConnection::connectTimeout;
  using AgentConnection::deleteFileOnDownloadFailure;
  using AgentConnection::encryptionPolicy;
  using AgentConnection::port;
  using AgentConnection::protocolVersion;
  using AgentConnection::proxyAddress;
  using AgentConnection::proxyAuthMethod;
  using AgentConnection::proxyPort;
  using AgentConnection::proxySecret;
  using AgentConnection::receiveTimeout;
  using AgentConnection::secret;
  using AgentConnection::useProxy;
  using AgentConnection::waitForMessage;
  using AgentConnection::waitForRCC;
};

const uint32_t kLoopback = htonl(0x7F000001);

std::string U8(const char16_t *s) { return KmWideToUtf8(std::u16string_view(s)); }

TEST(AgentSettings, NewSessionHasDocumentedDefaults) {
  Probe c(kLoopback, 4700);
  EXPECT_FALSE(c.isConnected());
  EXPECT_EQ(c.getSocket(), INVALID_SOCKET);
  EXPECT_EQ(c.getProtocolVersion(), 2);
  EXPECT_EQ(c.getCommandTimeout(), 10000u);
  EXPECT_EQ(c.getConnectionTimeout(), 30000u);
  EXPECT_EQ(c.receiveTimeout.load(), 420000u);
  EXPECT_EQ(c.authMethod, AUTH_METHOD_NONE);
  EXPECT_FALSE(c.useProxy);
  EXPECT_TRUE(c.deleteFileOnDownloadFailure);
  EXPECT_EQ(c.getNumDataLines(), 0u);
  EXPECT_EQ(c.generateRequestId(), 1u);
  EXPECT_EQ(c.generateRequestId(), 2u);
}

TEST(AgentSettings, TimeoutsAreRaisedToTheirLowerBounds) {
  Probe c(kLoopback, 4700);
  c.setConnectionTimeout(0);
  EXPECT_EQ(c.getConnectionTimeout(), 1000u);
  c.setConnectionTimeout(999);
  EXPECT_EQ(c.getConnectionTimeout(), 1000u);
  c.setConnectionTimeout(1001);
  EXPECT_EQ(c.getConnectionTimeout(), 1001u);
  // Unsigned: a "negative" value is huge and kept.
  c.setConnectionTimeout(0xFFFFFFFFu);
  EXPECT_EQ(c.getConnectionTimeout(), 0xFFFFFFFFu);

  c.setCommandTimeout(499);
  EXPECT_EQ(c.getCommandTimeout(), 500u);
  c.setCommandTimeout(500);
  EXPECT_EQ(c.getCommandTimeout(), 500u);
  c.setCommandTimeout(501);
  EXPECT_EQ(c.getCommandTimeout(), 501u);

  c.setRecvTimeout(9999);
  EXPECT_EQ(c.receiveTimeout.load(), 10000u);
  c.setRecvTimeout(10000);
  EXPECT_EQ(c.receiveTimeout.load(), 10000u);
  c.setRecvTimeout(10001);
  EXPECT_EQ(c.receiveTimeout.load(), 10001u);
}

TEST(AgentSettings, PolicyIsCopiedFromTheLibraryDefaultAtConstruction) {
  SetAgentDEP(ENCRYPTION_MANDATORY);
  Probe mandatory(kLoopback, 4700);
  SetAgentDEP(ENCRYPTION_ON_DEMAND);
  Probe onDemand(kLoopback, 4700);
  EXPECT_EQ(mandatory.encryptionPolicy, ENCRYPTION_MANDATORY);
  EXPECT_EQ(onDemand.encryptionPolicy, ENCRYPTION_ON_DEMAND);
  onDemand.setEncryptionPolicy(42);  // stored without validation
  EXPECT_EQ(onDemand.encryptionPolicy, 42);
  onDemand.setPort(4711);
  EXPECT_EQ(onDemand.port, 4711);
}

TEST(AgentSecrets, ConstructorConvertsAndNullGivesEmpty) {
  Probe none(kLoopback, 4700, AUTH_METHOD_MD5, nullptr);
  EXPECT_STREQ(none.secret, "");
  Probe some(kLoopback, 4700, AUTH_METHOD_CLEAR, u"s\u00e9cret");
  EXPECT_STREQ(some.secret,
               "s\xc3\xa9"
               "cret");  // default code page UTF-8
  EXPECT_EQ(some.authMethod, AUTH_METHOD_CLEAR);
}

TEST(AgentSecrets, LongSecretsKeepAtMost63Bytes) {
  std::string narrow(70, 'a');
  for (size_t i = 0; i < narrow.size(); i++) narrow[i] = static_cast<char>('A' + i % 26);
  Probe c(kLoopback, 4700);
  c.setAuthData(AUTH_METHOD_SHA1, narrow.c_str());
  EXPECT_EQ(c.authMethod, AUTH_METHOD_SHA1);
  EXPECT_EQ(std::string(c.secret), narrow.substr(0, 63));

  std::u16string wide(70, u'x');
  Probe w(kLoopback, 4700, AUTH_METHOD_CLEAR, wide.c_str());
  EXPECT_EQ(std::string(w.secret), std::string(63, 'x'));

  // A two-byte character that would straddle the limit is left out whole.
  std::u16string mixed = std::u16string(62, u'x') + u"\u00e9";
  Probe m(kLoopback, 4700, AUTH_METHOD_CLEAR, mixed.c_str());
  EXPECT_EQ(std::string(m.secret), std::string(62, 'x'));
}

TEST(AgentSecrets, SetProxyStoresItsOwnCredentials) {
  Probe c(kLoopback, 4700, AUTH_METHOD_CLEAR, u"agent");
  c.setProxy(htonl(0x7F000002), 4800, AUTH_METHOD_MD5, nullptr);
  EXPECT_TRUE(c.useProxy);
  EXPECT_EQ(c.proxyAddress, htonl(0x7F000002));
  EXPECT_EQ(c.proxyPort, 4800);
  EXPECT_EQ(c.proxyAuthMethod, AUTH_METHOD_MD5);
  EXPECT_STREQ(c.proxySecret, "");
  EXPECT_STREQ(c.secret, "agent");
  c.setProxy(htonl(0x7F000002), 4800, AUTH_METHOD_CLEAR, std::u16string(80, u'p').c_str());
  EXPECT_EQ(std::string(c.proxySecret), std::string(63, 'p'));
}

TEST(AgentDataLines, OutOfRangeGivesErrorText) {
  Probe c(kLoopback, 4700);
  EXPECT_EQ(U8(c.getDataLine(0)), "(error)");
  EXPECT_EQ(U8(c.getDataLine(0xFFFFFFFFu)), "(error)");
}

TEST(AgentRequests, NeverConnectedSessionFailsPromptly) {
  Probe c(kLoopback, 4700);
  EXPECT_EQ(c.nop(), RCC_CONNECTION_BROKEN);  // nothing to send on
  // No session: a wait does not sit out its time-out.
  EXPECT_EQ(c.waitForMessage(MC_REQUEST_COMPLETED, 1, 600000), nullptr);
  EXPECT_EQ(c.waitForRCC(1, 600000), RCC_CONNECTION_BROKEN);
  c.disconnect();  // harmless on an idle session
  EXPECT_FALSE(c.isConnected());
}

TEST(AgentResultCodes, TextsFollowTheTable) {
  EXPECT_EQ(U8(AgentErrorCodeToText(0)), "Success");
  EXPECT_EQ(U8(AgentErrorCodeToText(408)), "Request timeout");
  EXPECT_EQ(U8(AgentErrorCodeToText(906)), "Encryption required");
  EXPECT_EQ(U8(AgentErrorCodeToText(916)), "File stat filed");
  EXPECT_EQ(U8(AgentErrorCodeToText(918)), "File delete failed");
  EXPECT_EQ(U8(AgentErrorCodeToText(919)), "Agent busy: too many sessions");
  EXPECT_EQ(U8(AgentErrorCodeToText(920)), "TLS session setup failed");
  for (int32_t unknown : {402, 921, 100, -1, -2, 1}) {
    EXPECT_EQ(U8(AgentErrorCodeToText(unknown)), "Unknown error code") << unknown;
  }
}

TEST(AgentResultCodes, TableIsOrderedAndTerminated) {
  size_t n = 0;
  int32_t last = -1;
  for (; g_agentResultCodes[n].text != nullptr; n++) {
    EXPECT_GT(g_agentResultCodes[n].code, last);
    last = g_agentResultCodes[n].code;
    EXPECT_EQ(AgentErrorCodeToText(last), g_agentResultCodes[n].text);
  }
  EXPECT_EQ(n, 33u);
  EXPECT_EQ(g_agentResultCodes[n].code, -1);
}

}  // namespace
