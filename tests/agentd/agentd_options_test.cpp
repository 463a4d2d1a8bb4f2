// kmagentd's settings: the configuration file text and the command line.
#include "agentd_options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using kmagent::AgentdOptions;

bool ParseText(const std::string &text, AgentdOptions *o, std::string *error) {
  return kmagent::ParseAgentdConfigText(text, "agentd.conf", o, error);
}

bool ParseArgs(std::vector<const char *> args, AgentdOptions *o, std::string *error) {
  args.insert(args.begin(), "kmagentd");
  return kmagent::ParseAgentdCommandLine(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(AgentdOptionsTest, DefaultsListenOnTheAgentPortWithoutRecords) {
  AgentdOptions o;
  EXPECT_EQ(o.agent.listenAddress, "127.0.0.1");
  EXPECT_EQ(o.agent.listenPort, 4700);
  EXPECT_FALSE(o.agent.keepRecords);
  EXPECT_FALSE(o.foreground);
}

TEST(AgentdOptionsTest, ConfigTextSetsEveryKindOfValue) {
  AgentdOptions o;
  std::string error;
  ASSERT_TRUE(
      ParseText("# agent\n"
                "\n"
                "listen = 0.0.0.0:0\r\n"
                "  secret = \" two words # kept \"  \n"
                "require_encryption = yes\n"
                "max_sessions = 65535\n"
                "idle_timeout_ms=4294967295\n"
                "proxy = off\n"
                "proxy_allow = 10.1.2.3/8, 192.168.7.9\n"
                "report_version = -1\n"
                "send_oversized_message = 1\n"
                "oversized_message_size = 16\n"
                "tls_cert = /etc/kmagentd/agent.pem\n"
                "tls_key = /etc/kmagentd/agent.key\n"
                "tls_ca = /etc/kmagentd/servers-ca.pem\n"
                "tls_require = on\n"
                "pidfile = /run/kmagentd.pid",
                &o, &error))
      << error;
  EXPECT_EQ(o.agent.listenAddress, "0.0.0.0");
  EXPECT_EQ(o.agent.listenPort, 0);
  EXPECT_EQ(o.agent.secret, " two words # kept ");
  EXPECT_TRUE(o.agent.requireEncryption);
  EXPECT_EQ(o.agent.maxSessions, 65535u);
  EXPECT_EQ(o.agent.idleTimeoutMs, 4294967295u);
  EXPECT_FALSE(o.agent.allowProxy);
  ASSERT_EQ(o.agent.proxyAllowed.size(), 2u);
  EXPECT_EQ(o.agent.proxyAllowed[0].address, 0x0A000000u);
  EXPECT_EQ(o.agent.proxyAllowed[0].mask, 0xFF000000u);
  EXPECT_EQ(o.agent.proxyAllowed[1].address, 0xC0A80709u);
  EXPECT_EQ(o.agent.proxyAllowed[1].mask, 0xFFFFFFFFu);
  EXPECT_EQ(o.agent.reportVersion, -1);
  EXPECT_TRUE(o.agent.sendOversizedMessage);
  EXPECT_EQ(o.agent.oversizedMessageSize, 16u);
  EXPECT_EQ(o.agent.tls.certFile, "/etc/kmagentd/agent.pem");
  EXPECT_EQ(o.agent.tls.keyFile, "/etc/kmagentd/agent.key");
  EXPECT_EQ(o.agent.tls.caFile, "/etc/kmagentd/servers-ca.pem");
  EXPECT_TRUE(o.agent.tls.require);
  EXPECT_EQ(o.pidFile, "/run/kmagentd.pid");

  ASSERT_TRUE(ParseText("proxy_allow = none\nproxy_allow=0.0.0.0/0", &o, &error)) << error;
  ASSERT_EQ(o.agent.proxyAllowed.size(), 1u);
  EXPECT_EQ(o.agent.proxyAllowed[0].mask, 0u);
}

TEST(AgentdOptionsTest, ConfigTextErrorsNameTheLine) {
  struct Case {
    const char *text;
    const char *expected;
  } cases[] = {
      {"listen = 127.0.0.1:4700\nbogus = 1", "agentd.conf:2: unknown setting \"bogus\""},
      {"listen 127.0.0.1", "agentd.conf:1: expected key = value"},
      {"require_encryption = maybe", "not a boolean"},
      {"max_sessions = 65536", "not a number from 1 to 65535"},
      {"max_sessions = 0", "not a number from 1 to 65535"},
      {"max_sessions = 12x", "not a number"},
      {"idle_timeout_ms = 4294967296", "not a number"},
      {"listen = 127.0.0.1:65536", "not ADDRESS:PORT"},
      {"listen = 127.0.0.1", "not ADDRESS:PORT"},
      {"listen = localhost:80", "not ADDRESS:PORT"},
      {"proxy_allow = 10.0.0.0/33", "not ADDRESS[/BITS]"},
      {"oversized_message_size = 15", "not a number from 16"},
  };
  for (const Case &c : cases) {
    AgentdOptions o;
    std::string error;
    EXPECT_FALSE(ParseText(c.text, &o, &error)) << c.text;
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.text << " -> " << error;
  }
  AgentdOptions o;
  std::string error;
  EXPECT_TRUE(ParseText("listen = 127.0.0.1:65535", &o, &error)) << error;
  EXPECT_EQ(o.agent.listenPort, 65535);
}

TEST(AgentdOptionsTest, ConfigLinesAreBoundedInLength) {
  AgentdOptions o;
  std::string error;
  const std::string prefix = "secret = ";
  std::string line = prefix + std::string(kmagent::kMaxConfigLine - prefix.size(), 'x');
  EXPECT_TRUE(ParseText(line, &o, &error)) << error;
  EXPECT_FALSE(ParseText(line + "x", &o, &error));
  EXPECT_NE(error.find("longer than"), std::string::npos);
}

TEST(AgentdOptionsTest, CommandLineOverridesTheConfigFileWhereverItStands) {
  const kmtest::TempDir dir("options");
  const std::string file = dir.file("agentd.conf");
  const char *path = file.c_str();
  const std::string text = "listen = 127.0.0.1:1000\nsecret = fromfile\nreply_delay_ms = 5\n";
  ASSERT_TRUE(kmtest::WriteFile(file, text));

  AgentdOptions o;
  std::string error;
  ASSERT_TRUE(ParseArgs({"--secret", "fromargs", "--config", path, "--listen=127.0.0.2:0",
                         "--foreground", "--require-encryption=false", "--no-proxy"},
                        &o, &error))
      << error;
  EXPECT_EQ(o.agent.secret, "fromargs");
  EXPECT_EQ(o.agent.listenAddress, "127.0.0.2");
  EXPECT_EQ(o.agent.listenPort, 0);
  EXPECT_EQ(o.agent.replyDelayMs, 5u);  // from the file
  EXPECT_TRUE(o.foreground);
  EXPECT_FALSE(o.agent.requireEncryption);
  EXPECT_FALSE(o.agent.allowProxy);
  EXPECT_EQ(std::remove(path), 0);

  AgentdOptions missing;
  EXPECT_FALSE(ParseArgs({"--config", path}, &missing, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST(AgentdOptionsTest, CommandLineErrors) {
  struct Case {
    std::vector<const char *> args;
    const char *expected;
  } cases[] = {
      {{"--listen"}, "--listen needs a value"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"listen"}, "unexpected argument"},
      {{"--max-sessions", "0"}, "--max-sessions: \"0\" is not a number"},
      {{"--foreground=perhaps"}, "not a boolean"},
      {{"--tls-cert="}, "--tls-cert: needs a file name"},
  };
  for (const Case &c : cases) {
    AgentdOptions o;
    std::string error;
    EXPECT_FALSE(ParseArgs(c.args, &o, &error)) << c.args[0];
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
  }
  AgentdOptions o;
  std::string error;
  EXPECT_TRUE(ParseArgs({"--listen", "127.0.0.1:1", "--help", "--bogus"}, &o, &error));
  EXPECT_TRUE(o.help);
  EXPECT_NE(kmagent::AgentdUsage().find("--send-wrong-size-message"), std::string::npos);
}

}  // namespace
