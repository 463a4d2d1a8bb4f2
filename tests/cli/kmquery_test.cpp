// kmquery end to end: the built program against the reference agent and the
// reference ISC peer (both run in this process on loopback ports) and a
// private snmpd. Checks exit statuses, that errors name the result code and
// its text, and that --json output parses back with the right values.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "json_parse.h"
#include "kmbase/message.h"
#include "kmsrv/protocol.h"
#include "support/process.h"
#include "support/raw_peer.h"
#include "support/snmpd_fixture.h"
#include "support/temp_dir.h"
#include "support/test_key.h"
#include "support/tls_client.h"
#include "support/wait.h"
#if __has_include("isc_server.h")
#include "isc_server.h"
#define KM_HAVE_ISC_SERVER 1
#endif

namespace {

using kmtest::ClosedPort;
using kmtest::Json;
using kmtest::JsonParser;
using kmtest::ReadFile;
using kmtest::RunResult;
using kmtest::TempFile;

// kmquery with the test's environment less kmquery's own variables, plus env.
RunResult Kmquery(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
  std::vector<std::string> all = kmtest::InheritedEnvironment("KMQUERY_");
  all.insert(all.end(), env.begin(), env.end());
  return kmtest::Run(KMQUERY_PATH, args, all);
}

Json ParseJson(const std::string &text) {
  std::string error;
  auto value = JsonParser::parse(text, &error);
  EXPECT_TRUE(value.has_value()) << error << " in: " << text;
  return value.value_or(Json{});
}

std::string Describe(const RunResult &r) {
  return "status " + std::to_string(r.status) + (r.timedOut ? " (timed out)" : "") +
         "\nstdout: " + r.out + "\nstderr: " + r.err;
}

// The reference agent in this process.
class Agent {
 public:
  explicit Agent(kmagent::AgentConfig config) : server_(std::move(config)) {
    std::string error;
    started_ = server_.start(&error);
    EXPECT_TRUE(started_) << error;
  }
  kmagent::AgentServer &server() { return server_; }
  std::string port() const { return std::to_string(server_.port()); }

 private:
  kmagent::AgentServer server_;
  bool started_ = false;
};

kmagent::AgentConfig SecureAgentConfig() {
  kmagent::AgentConfig config;
  config.secret = "s3cret";
  config.requireEncryption = true;
  return config;
}

// ---------------------------------------------------------------- usage

TEST(KmqueryUsage, BadCommandLinesExitWithTwoAndSayWhy) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"agent"},
      {"agent", "127.0.0.1"},
      {"agent", "127.0.0.1", "shout"},
      {"agent", "127.0.0.1", "-a", "kerberos", "nop"},
      {"agent", "127.0.0.1", "-e", "sometimes", "nop"},
      {"agent", "127.0.0.1", "-p", "0", "nop"},
      {"agent", "127.0.0.1", "-p", "65536", "nop"},
      {"agent", "127.0.0.1", "-p", "port", "nop"},
      {"agent", "127.0.0.1", "-w", "0", "nop"},
      {"agent", "127.0.0.1", "-s", std::string(64, 'x'), "nop"},
      {"agent", "127.0.0.1", "-K", "/etc/hostname", "--generate-key", "nop"},
      {"agent", "127.0.0.1", "-X", "127.0.0.1:99999", "nop"},
      {"agent", "127.0.0.1", "-X", ":4700", "nop"},
      {"snmp", "127.0.0.1", "get"},
      {"snmp", "127.0.0.1", "get", "1.3.six.1"},
      {"snmp", "127.0.0.1", "get", ".1.3.6.1."},
      {"snmp", "127.0.0.1", "-v", "3", "get", ".1.3.6.1.2.1.1.1.0"},
      {"snmp", "127.0.0.1", "walk"},
      {"snmp", "127.0.0.1", "interfaces", "--aliases", "4"},
      {"isc", "127.0.0.1", "connect"},
      {"isc", "127.0.0.1", "connect", "seven"},
  };
  for (const auto &args : cases) {
    std::string line;
    for (const auto &a : args) line += a + " ";
    SCOPED_TRACE("kmquery " + line);
    RunResult r = Kmquery(args);
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_EQ(r.err.rfind("kmquery: ", 0), 0u) << Describe(r);
    EXPECT_TRUE(r.out.empty()) << Describe(r);
  }
}

TEST(KmqueryUsage, HelpAndVersionExitWithZero) {
  RunResult help = Kmquery({"--help"});
  EXPECT_EQ(help.status, 0) << Describe(help);
  EXPECT_NE(help.out.find("agent"), std::string::npos);
  EXPECT_NE(help.out.find("snmp"), std::string::npos);
  RunResult agentHelp = Kmquery({"agent", "--help"});
  EXPECT_EQ(agentHelp.status, 0);
  EXPECT_NE(agentHelp.out.find("--encryption"), std::string::npos);
  RunResult version = Kmquery({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("kmquery ", 0), 0u) << Describe(version);
}

TEST(KmqueryUsage, MissingOrUnreadableKeyFileIsAUsageError) {
  RunResult missing = Kmquery({"agent", "127.0.0.1", "-K", "/nonexistent/key.pem", "nop"});
  EXPECT_EQ(missing.status, 2) << Describe(missing);
  EXPECT_NE(missing.err.find("/nonexistent/key.pem"), std::string::npos) << Describe(missing);

  // An existing file without a key is refused before anything is sent.
  Agent agent({});
  TempFile notAKey("just some text\n");
  RunResult bad = Kmquery({"agent", "127.0.0.1", "-p", agent.port(), "-K", notAKey.path(), "nop"});
  EXPECT_EQ(bad.status, 2) << Describe(bad);
  EXPECT_NE(bad.err.find("no readable PEM private key"), std::string::npos) << Describe(bad);
  EXPECT_TRUE(agent.server().requests().empty());
}

// ---------------------------------------------------------------- agent

TEST(KmqueryAgent, UnreachableAgentExitsWithThreeNamingCodeAndText) {
  ClosedPort closed;
  RunResult r =
      Kmquery({"agent", "127.0.0.1", "-p", std::to_string(closed.port()), "-w", "2000", "nop"});
  EXPECT_EQ(r.status, 3) << Describe(r);
  EXPECT_NE(r.err.find("error 910 (Connect failed)"), std::string::npos) << Describe(r);
  EXPECT_NE(r.err.find("Connection refused"), std::string::npos) << Describe(r);

  RunResult json =
      Kmquery({"--json", "agent", "127.0.0.1", "-p", std::to_string(closed.port()), "nop"});
  EXPECT_EQ(json.status, 3) << Describe(json);
  Json doc = ParseJson(json.out);
  EXPECT_EQ(doc["error"]["domain"].string, "agent");
  EXPECT_EQ(doc["error"]["code"].number, 910);
  EXPECT_EQ(doc["error"]["text"].string, "Connect failed");
  EXPECT_EQ(doc["error"]["exitStatus"].number, 3);
}

TEST(KmqueryAgent, BusyAgentExitsWithThreeNamingItsRefusal) {
  kmagent::AgentConfig config;
  config.maxSessions = 1;
  Agent agent(config);
  kmtest::RawPeer holder(agent.server().port());
  ASSERT_EQ(holder.keepalive(), 0);
  RunResult r = Kmquery({"agent", "127.0.0.1", "-p", agent.port(), "nop"});
  EXPECT_EQ(r.status, 3) << Describe(r);
  EXPECT_NE(r.err.find("error 919 (Agent busy: too many sessions)"), std::string::npos)
      << Describe(r);
}

TEST(KmqueryAgent, UnresolvableHostIsAConnectionFailure) {
  RunResult r = Kmquery({"agent", "no-such-host.invalid", "nop"});
  EXPECT_EQ(r.status, 3) << Describe(r);
  EXPECT_NE(r.err.find("cannot resolve host \"no-such-host.invalid\""), std::string::npos)
      << Describe(r);
}

TEST(KmqueryAgent, WrongSecretExitsWithFourNamingCodeAndText) {
  Agent agent(SecureAgentConfig());
  RunResult r = Kmquery({"agent", "127.0.0.1", "-p", agent.port(), "-s", "wrong", "-a", "sha1",
                         "-e", "mandatory", "nop"});
  EXPECT_EQ(r.status, 4) << Describe(r);
  EXPECT_NE(r.err.find("error 440 (Authentication failed)"), std::string::npos) << Describe(r);
  EXPECT_TRUE(r.out.empty());
}

// With a key and no -e, the session is keyed before the login even when the
// agent would take it in clear: no digest of the secret crosses in clear.
TEST(KmqueryAgent, WithAKeyTheLoginIsSentOnlyInTheKeyedSession) {
  kmagent::AgentConfig config;
  config.secret = "s3cret";
  Agent agent(config);
  RunResult r =
      Kmquery({"agent", "127.0.0.1", "-p", agent.port(), "-s", "s3cret", "--generate-key", "nop"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.out.find("session encrypted"), std::string::npos) << Describe(r);
  int logins = 0;
  for (const auto &request : agent.server().requests()) {
    if (request.code != MC_LOGIN) continue;
    ++logins;
    EXPECT_TRUE(request.encrypted);
  }
  EXPECT_EQ(logins, 1);
}

TEST(KmqueryAgent, EncryptedSha1LoginAndNopReportAsJson) {
  Agent agent(SecureAgentConfig());
  RunResult r = Kmquery({"--json", "agent", "127.0.0.1", "-p", agent.port(), "-s", "s3cret", "-a",
                         "sha1", "-e", "mandatory", "--generate-key", "nop"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  Json doc = ParseJson(r.out);
  EXPECT_EQ(doc["agent"].string, "127.0.0.1");
  EXPECT_EQ(doc["port"].number, agent.server().port());
  EXPECT_EQ(doc["protocolVersion"].number, 2);
  EXPECT_EQ(doc["encrypted"].type, Json::Type::Bool);
  EXPECT_TRUE(doc["encrypted"].boolean);
  EXPECT_EQ(doc["result"]["code"].number, 0);
  EXPECT_EQ(doc["result"]["text"].string, "Success");

  auto logins = agent.server().logins();
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].method, 3);  // SHA-1
  EXPECT_EQ(logins[0].secretBytes.size(), 20u);
  EXPECT_EQ(logins[0].result, 0u);
  bool sawKeepalive = false;
  for (const auto &req : agent.server().requests()) {
    if (req.code == MC_KEEPALIVE) {
      sawKeepalive = true;
      EXPECT_TRUE(req.encrypted);
    }
  }
  EXPECT_TRUE(sawKeepalive);
}

TEST(KmqueryAgent, SecretFromEnvironmentAndKeyFromPemFile) {
  Agent agent(SecureAgentConfig());
  TempFile key(kmtest::TestKeyPem());
  RunResult r = Kmquery({"agent", "127.0.0.1", "-p", agent.port(), "-e", "on-demand", "-K",
                         key.path(), "nop"},
                        {"KMQUERY_SECRET=s3cret"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.out.find("session encrypted"), std::string::npos) << Describe(r);
  // Without -a a secret logs in with SHA-1.
  auto logins = agent.server().logins();
  ASSERT_FALSE(logins.empty());
  EXPECT_EQ(logins.back().method, 3);
  EXPECT_EQ(logins.back().result, 0u);
}

TEST(KmqueryAgent, EncryptionOffAgainstAgentThatRequiresItExitsWithFour) {
  Agent agent(SecureAgentConfig());
  RunResult r = Kmquery(
      {"agent", "127.0.0.1", "-p", agent.port(), "-s", "s3cret", "-e", "off", "nop"});
  EXPECT_EQ(r.status, 4) << Describe(r);
  EXPECT_NE(r.err.find("error 906 (Encryption required)"), std::string::npos) << Describe(r);
  EXPECT_NE(r.err.find("leave out -e off"), std::string::npos) << Describe(r);
}

// A proxy agent with the secret "proxy-pw" whose hops may reach the test
// agents' picked ports.
kmagent::AgentConfig ProxyAgentConfig() {
  kmagent::AgentConfig config;
  config.secret = "proxy-pw";
  config.proxyPorts.clear();
  return config;
}

TEST(KmqueryAgent, ProxyHopCarriesTheAgentsAddressAndBothLogins) {
  Agent target(SecureAgentConfig());
  Agent proxy(ProxyAgentConfig());
  RunResult r = Kmquery({"agent", "127.0.0.1", "-p", target.port(), "-s", "s3cret", "-X",
                         "127.0.0.1:" + proxy.port(), "--proxy-secret", "proxy-pw",
                         "--proxy-auth", "md5", "--generate-key", "nop"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.out.find("through proxy 127.0.0.1:" + proxy.port()), std::string::npos);
  auto hops = proxy.server().proxyHops();
  ASSERT_EQ(hops.size(), 1u);
  EXPECT_EQ(hops[0].address, 0x7F000001u);
  EXPECT_EQ(hops[0].port, target.server().port());
  auto proxyLogins = proxy.server().logins();
  ASSERT_EQ(proxyLogins.size(), 1u);
  EXPECT_EQ(proxyLogins[0].method, 2);  // MD5 at the proxy
  auto targetLogins = target.server().logins();
  ASSERT_FALSE(targetLogins.empty());
  EXPECT_EQ(targetLogins.back().method, 3);  // SHA-1 (the default with a secret) at the agent
  EXPECT_EQ(targetLogins.back().result, 0u);
}

// The proxy's secret need not stand on the command line: from the
// environment, or from the first line of a file.
TEST(KmqueryAgent, ProxySecretFromEnvironmentOrFile) {
  Agent target(SecureAgentConfig());
  Agent proxy(ProxyAgentConfig());
  const TempFile file("proxy-pw\n");
  const std::vector<std::string> base = {"agent",
                                         "127.0.0.1",
                                         "-p",
                                         target.port(),
                                         "-s",
                                         "s3cret",
                                         "-X",
                                         "127.0.0.1:" + proxy.port(),
                                         "--generate-key"};
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> env;
  } cases[] = {{{"nop"}, {"KMQUERY_PROXY_SECRET=proxy-pw"}},
               {{"--proxy-secret-file", file.path(), "nop"}, {}}};
  for (const Case &c : cases) {
    std::vector<std::string> args = base;
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = Kmquery(args, c.env);
    EXPECT_EQ(r.status, 0) << Describe(r);
  }
  auto logins = proxy.server().logins();
  ASSERT_EQ(logins.size(), 2u);
  for (const auto &login : logins) EXPECT_EQ(login.result, 0u);
}

// A reference agent started by the fixture's SetUp with a temporary folder
// of its own (dir_), and kmquery arguments that address it.
class AgentFixture : public ::testing::Test {
 protected:
  void TearDown() override { agent_.reset(); }
  std::vector<std::string> agent(std::vector<std::string> rest, bool json = false) const {
    std::vector<std::string> args = {"agent", "127.0.0.1", "-p", agent_->port()};
    if (json) args.insert(args.begin(), "--json");
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  }

  const kmtest::TempDir folder_{"kmquery"};
  const std::string dir_ = folder_.path;
  std::unique_ptr<Agent> agent_;
};

// An agent with data of its own: a parameter, a list, two actions and a
// file area in a temporary folder.
class DataAgent : public AgentFixture {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_ + "/area");
    kmagent::AgentConfig config;
    config.parameters = {{"Test.Greeting", "hello \x1b[31mworld"}};
    config.lists = {{"Test.Colours", {"red", "green", "blue"}}};
    config.actions = {{"Test.True", {"/bin/true"}}, {"Test.False", {"/bin/false", "$1", "$2"}}};
    config.filesDir = dir_ + "/area";
    config.trapsOnlyWhenEnabled = true;
    config.serviceCheckAllowed = {{0x7F000000u, 0xFF000000u}};
    agent_ = std::make_unique<Agent>(config);
  }
};

TEST_F(DataAgent, GetReadsEachParameterAndReportsUnknownOnesWithFour) {
  RunResult r = Kmquery(agent({"get", "Test.Greeting", "No.Such", "Agent.Version"}));
  EXPECT_EQ(r.status, 4) << Describe(r);
  EXPECT_NE(r.err.find("get No.Such on agent 127.0.0.1:" + agent_->port() +
                       ": error 404 (Unknown parameter)"),
            std::string::npos)
      << Describe(r);
  // The escape sequence from the agent is not passed to the terminal.
  EXPECT_NE(r.out.find("Test.Greeting  hello ?[31mworld"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);

  RunResult j = Kmquery(agent({"get", "Test.Greeting", "No.Such"}, true));
  EXPECT_EQ(j.status, 4) << Describe(j);
  Json doc = ParseJson(j.out);
  ASSERT_EQ(doc["values"].array.size(), 2u);
  EXPECT_EQ(doc["values"][0]["value"].string, "hello \x1b[31mworld");  // JSON keeps it exact
  EXPECT_EQ(doc["values"][1]["error"]["code"].number, 404);
}

TEST_F(DataAgent, ListTableAndParamsComeBackAsJson) {
  Json list = ParseJson(Kmquery(agent({"list", "Test.Colours"}, true)).out);
  ASSERT_EQ(list["lines"].array.size(), 3u);
  EXPECT_EQ(list["lines"][2].string, "blue");

  RunResult missing = Kmquery(agent({"list", "No.Such.List"}));
  EXPECT_EQ(missing.status, 4);
  EXPECT_NE(missing.err.find("error 404"), std::string::npos) << Describe(missing);

  RunResult t = Kmquery(agent({"table", "Net.Interfaces"}, true));
  ASSERT_EQ(t.status, 0) << Describe(t);
  Json table = ParseJson(t.out);
  ASSERT_GE(table["columns"].array.size(), 2u);
  EXPECT_EQ(table["columns"][0]["name"].string, "Index");
  ASSERT_GE(table["rows"].array.size(), 1u);  // at least the loopback
  EXPECT_EQ(table["rows"][0].array.size(), table["columns"].array.size());

  RunResult p = Kmquery(agent({"params"}, true));
  ASSERT_EQ(p.status, 0) << Describe(p);
  Json params = ParseJson(p.out);
  bool sawGreeting = false;
  for (const Json &e : params["parameters"].array) sawGreeting |= e["name"].string == "Test.Greeting";
  EXPECT_TRUE(sawGreeting) << p.out;
  ASSERT_GE(params["tables"].array.size(), 1u);
}

TEST_F(DataAgent, NetworkTablesOfTheAgentHost) {
  RunResult i = Kmquery(agent({"interfaces"}, true));
  ASSERT_EQ(i.status, 0) << Describe(i);
  bool sawLoopback = false;
  const Json interfaces = ParseJson(i.out);
  for (const Json &e : interfaces["interfaces"].array)
    sawLoopback |= e["ip"].string == "127.0.0.1" && e["netmask"].string == "255.0.0.0";
  EXPECT_TRUE(sawLoopback) << i.out;
  RunResult routes = Kmquery(agent({"routes", "--sort"}, true));
  ASSERT_EQ(routes.status, 0) << Describe(routes);
  const Json routesDoc = ParseJson(routes.out);
  const auto &list = routesDoc["routes"].array;
  // Sorted: no route is more specific than the one before it.
  for (size_t k = 1; k < list.size(); k++) {
    in_addr a{}, b{};
    inet_pton(AF_INET, list[k - 1]["netmask"].string.c_str(), &a);
    inet_pton(AF_INET, list[k]["netmask"].string.c_str(), &b);
    EXPECT_GE(ntohl(a.s_addr), ntohl(b.s_addr));
  }
  RunResult arp = Kmquery(agent({"arp"}, true));
  ASSERT_EQ(arp.status, 0) << Describe(arp);
  EXPECT_EQ(ParseJson(arp.out)["arp"].type, Json::Type::Array);
}

TEST_F(DataAgent, UploadAndDownloadCarryTheBytesExactly) {
  std::string content;
  for (int k = 0; k < 150000; k++) content += static_cast<char>((k * 7919) & 0xFF);
  TempFile local(content);
  RunResult up = Kmquery(agent({"upload", local.path(), "copy.bin"}));
  ASSERT_EQ(up.status, 0) << Describe(up);
  EXPECT_EQ(ReadFile(dir_ + "/area/copy.bin"), content);

  const std::string back = dir_ + "/back.bin";
  RunResult down = Kmquery(agent({"download", "copy.bin", back}, true));
  ASSERT_EQ(down.status, 0) << Describe(down);
  EXPECT_EQ(ReadFile(back), content);
  EXPECT_EQ(ParseJson(down.out)["bytes"].number, content.size());

  // --append adds to what is there.
  RunResult again = Kmquery(agent({"download", "copy.bin", back, "--append"}));
  ASSERT_EQ(again.status, 0) << Describe(again);
  EXPECT_EQ(ReadFile(back), content + content);
}

TEST_F(DataAgent, MissingFilesOnEitherSideAreReported) {
  // A local file that does not exist is a usage error; nothing is sent.
  RunResult up = Kmquery(agent({"upload", dir_ + "/none.bin"}));
  EXPECT_EQ(up.status, 2) << Describe(up);
  EXPECT_NE(up.err.find(dir_ + "/none.bin"), std::string::npos);

  // A remote file that does not exist: the agent's code, no local file left.
  const std::string target = dir_ + "/never.bin";
  RunResult down = Kmquery(agent({"download", "none.bin", target}));
  EXPECT_EQ(down.status, 4) << Describe(down);
  EXPECT_NE(down.err.find("error 915 (File open error)"), std::string::npos) << Describe(down);
  EXPECT_FALSE(std::filesystem::exists(target));

  // Appending to a local file that does not exist fails before anything is
  // asked, and creates nothing.
  RunResult append = Kmquery(agent({"download", "none.bin", target, "--append"}));
  EXPECT_EQ(append.status, 4) << Describe(append);
  EXPECT_NE(append.err.find("error 915"), std::string::npos) << Describe(append);
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(DataAgent, ActionsAndServiceChecks) {
  EXPECT_EQ(Kmquery(agent({"action", "Test.True"})).status, 0);
  RunResult f = Kmquery(agent({"action", "Test.False", "--", "-x", "y"}));
  EXPECT_EQ(f.status, 4) << Describe(f);
  EXPECT_NE(f.err.find("error 905 (External program execution failed)"), std::string::npos)
      << Describe(f);

  ClosedPort closed;
  RunResult down =
      Kmquery(agent({"check-service", "127.0.0.1", "--port", std::to_string(closed.port())}, true));
  ASSERT_EQ(down.status, 0) << Describe(down);  // the check ran; its verdict is the status
  EXPECT_EQ(ParseJson(down.out)["status"].number, 1);
  RunResult up = Kmquery(agent({"check-service", "127.0.0.1", "-t", "SSH", "--port", agent_->port()}));
  ASSERT_EQ(up.status, 0) << Describe(up);
  EXPECT_NE(up.out.find("status 0"), std::string::npos) << up.out;
  EXPECT_EQ(Kmquery(agent({"check-service", "127.0.0.1", "-t", "gopher"})).status, 2);
}

TEST_F(DataAgent, TrapsArePrintedAsTheyComeAndCountEndsTheWait) {
  RunResult r;
  std::thread runner([&] { r = Kmquery(agent({"traps", "--count", "2"}, true)); });
  // Send until two traps reached a session that asked for them (bounded).
  CSCPMessage trap;
  trap.SetVariable(VAR_VALUE, u"disk full");
  size_t delivered = 0;
  kmtest::WaitUntil([&] {
    delivered += agent_->server().sendTrap(trap);
    return delivered >= 2;
  });
  runner.join();
  EXPECT_EQ(delivered, 2u);
  ASSERT_EQ(r.status, 0) << Describe(r);
  // One JSON document per line.
  std::istringstream lines(r.out);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    Json doc = ParseJson(line);
    EXPECT_EQ(doc["kind"].string, "trap");
    EXPECT_EQ(doc["value"].string, "disk full");
    count++;
  }
  EXPECT_EQ(count, 2);
}

// ---------------------------------------------------------------- ISC

#ifdef KM_HAVE_ISC_SERVER
TEST(KmqueryIsc, OpensServiceAndNamesRefusalsAndConnectFailures) {
  kmisc::IscConfig config;
  config.listenPort = 0;
  config.echoServices = {7};
  config.disabledServices = {8};
  kmisc::IscServer server(config);
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  const std::string port = std::to_string(server.port());

  RunResult ok = Kmquery({"--json", "isc", "127.0.0.1", "-p", port, "nop", "--service", "7"});
  ASSERT_EQ(ok.status, 0) << Describe(ok);
  Json doc = ParseJson(ok.out);
  EXPECT_EQ(doc["service"].number, 7);
  EXPECT_EQ(doc["result"]["text"].string, "Success");
  EXPECT_FALSE(doc["encrypted"].boolean);

  RunResult unknown = Kmquery({"isc", "127.0.0.1", "-p", port, "connect", "9"});
  EXPECT_EQ(unknown.status, 4) << Describe(unknown);
  EXPECT_NE(unknown.err.find("error 1 (Unknown service)"), std::string::npos) << Describe(unknown);
  RunResult disabled = Kmquery({"isc", "127.0.0.1", "-p", port, "connect", "8"});
  EXPECT_EQ(disabled.status, 4) << Describe(disabled);
  EXPECT_NE(disabled.err.find("error 3 (Service disabled)"), std::string::npos);

  ClosedPort closed;
  RunResult refused =
      Kmquery({"isc", "127.0.0.1", "-p", std::to_string(closed.port()), "connect", "7"});
  EXPECT_EQ(refused.status, 3) << Describe(refused);
  EXPECT_NE(refused.err.find("error 8 (Connect failed)"), std::string::npos) << Describe(refused);
}
#endif

// ---------------------------------------------------------------- SNMP

class KmquerySnmp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::vector<std::string> config = {
        "override .1.3.6.1.2.1.17.7.1.4.3.1.1.10 octet_str \"users\"",
        "override .1.3.6.1.2.1.17.7.1.4.2.1.4.0.10 octet_str 0x8001",
    };
    for (const std::string &line : UsmUserLines({V3User()})) config.push_back(line);
    snmpd_ = new SnmpdInstance(config);
    skipReason_ = new std::string(snmpd_->start());
  }
  static void TearDownTestSuite() {
    delete snmpd_;
    snmpd_ = nullptr;
    delete skipReason_;
    skipReason_ = nullptr;
  }
  void SetUp() override {
    if (!skipReason_->empty()) GTEST_SKIP() << *skipReason_;
  }
  std::vector<std::string> snmp(std::vector<std::string> rest) const {
    std::vector<std::string> args = {"snmp", "127.0.0.1", "-p", std::to_string(snmpd_->port())};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  }
  // SHA-256 with AES-128, the pass phrases not on the command line.
  static UsmUser V3User() { return FindUsmUser("u_SHA-256_AES"); }
  std::vector<std::string> snmpV3(std::vector<std::string> rest) const {
    std::vector<std::string> args = snmp({"-v", "3", "-u", V3User().name, "-l", "authPriv", "-a",
                                          "SHA-256", "-x", "AES"});
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  }
  static std::vector<std::string> V3Env() {
    return {std::string("KMQUERY_AUTH_PASSPHRASE=") + kUsmAuthPass,
            std::string("KMQUERY_PRIV_PASSPHRASE=") + kUsmPrivPass};
  }

  static SnmpdInstance *snmpd_;
  static std::string *skipReason_;
};

SnmpdInstance *KmquerySnmp::snmpd_ = nullptr;
std::string *KmquerySnmp::skipReason_ = nullptr;

TEST_F(KmquerySnmp, GetPrintsValuesAndJsonCarriesThem) {
  RunResult r = Kmquery(snmp({"get", ".1.3.6.1.2.1.1.6.0", ".1.3.6.1.2.1.1.4.0"}));
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.out.find(".1.3.6.1.2.1.1.6.0  interop lab"), std::string::npos) << r.out;

  RunResult v1 = Kmquery(snmp({"-v", "1", "get", ".1.3.6.1.2.1.1.6.0"}));
  ASSERT_EQ(v1.status, 0) << Describe(v1);
  EXPECT_NE(v1.out.find("interop lab"), std::string::npos) << v1.out;
  RunResult j = Kmquery([&] {
    auto a = snmp({"get", ".1.3.6.1.2.1.1.6.0", ".1.3.6.1.2.1.1.4.0"});
    a.insert(a.begin(), "--json");
    return a;
  }());
  ASSERT_EQ(j.status, 0) << Describe(j);
  Json doc = ParseJson(j.out);
  ASSERT_EQ(doc["values"].array.size(), 2u);
  EXPECT_EQ(doc["values"][0]["oid"].string, ".1.3.6.1.2.1.1.6.0");
  EXPECT_EQ(doc["values"][0]["value"].string, "interop lab");
  EXPECT_EQ(doc["values"][1]["value"].string, "nobody");
}

TEST_F(KmquerySnmp, MissingObjectExitsWithFourAndTheOthersStillPrint) {
  RunResult r = Kmquery(snmp({"get", ".1.3.6.1.2.1.1.99.0", ".1.3.6.1.2.1.1.6.0"}));
  EXPECT_EQ(r.status, 4) << Describe(r);
  EXPECT_NE(r.err.find("error 6 (No such object)"), std::string::npos) << Describe(r);
  EXPECT_NE(r.out.find("interop lab"), std::string::npos) << Describe(r);
}

TEST_F(KmquerySnmp, WrongCommunityTimesOutWithThree) {
  RunResult r = Kmquery(snmp({"-c", "wrong", "-w", "100", "get", ".1.3.6.1.2.1.1.3.0"}));
  EXPECT_EQ(r.status, 3) << Describe(r);
  EXPECT_NE(r.err.find("error 1 (Request timed out)"), std::string::npos) << Describe(r);
}

TEST_F(KmquerySnmp, WalkListsTheSubtreeInOrderWithTypes) {
  auto args = snmp({"walk", ".1.3.6.1.2.1.1"});
  args.insert(args.begin(), "--json");
  RunResult r = Kmquery(args);
  ASSERT_EQ(r.status, 0) << Describe(r);
  Json doc = ParseJson(r.out);
  const auto &vars = doc["variables"].array;
  ASSERT_GT(vars.size(), 5u);
  EXPECT_TRUE(doc["error"].isNull());
  bool sawLocation = false;
  for (const Json &v : vars) {
    EXPECT_EQ(v["oid"].string.rfind(".1.3.6.1.2.1.1.", 0), 0u) << v["oid"].string;
    if (v["oid"].string == ".1.3.6.1.2.1.1.6.0") {
      sawLocation = true;
      EXPECT_EQ(v["type"].string, "STRING");
      EXPECT_EQ(v["value"].string, "interop lab");
    }
    if (v["oid"].string == ".1.3.6.1.2.1.1.3.0") {
      EXPECT_EQ(v["type"].string, "Timeticks");
    }
  }
  EXPECT_TRUE(sawLocation);
  // The same walk as net-snmp's own tool sees it.
  const std::string reference = snmpd_->runTool("snmpwalk", "2c", ".1.3.6.1.2.1.1");
  if (!reference.empty()) {
    size_t lines = 0;
    for (char c : reference) lines += c == '\n';
    EXPECT_EQ(vars.size(), lines) << reference;
  }
}

TEST_F(KmquerySnmp, InterfacesIncludeLoopbackWithItsAddress) {
  auto args = snmp({"interfaces", "--ifxtable"});
  args.insert(args.begin(), "--json");
  RunResult r = Kmquery(args);
  ASSERT_EQ(r.status, 0) << Describe(r);
  Json doc = ParseJson(r.out);
  bool sawLoopback = false;
  for (const Json &i : doc["interfaces"].array) {
    if (i["name"].string == "lo" && i["ip"].string == "127.0.0.1") {
      sawLoopback = true;
      EXPECT_EQ(i["type"].number, 24);
      EXPECT_EQ(i["netmask"].string, "255.0.0.0");
    }
  }
  EXPECT_TRUE(sawLoopback) << r.out;
}

TEST_F(KmquerySnmp, VlansShowNamesAndEgressPorts) {
  RunResult r = Kmquery(snmp({"vlans"}));
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.out.find("  10  users  1,16"), std::string::npos) << r.out;
  auto args = snmp({"vlans"});
  args.insert(args.begin(), "--json");
  RunResult j = Kmquery(args);
  ASSERT_EQ(j.status, 0) << Describe(j);
  Json doc = ParseJson(j.out);
  ASSERT_EQ(doc["vlans"].array.size(), 1u);
  EXPECT_EQ(doc["vlans"][0]["id"].number, 10);
  ASSERT_EQ(doc["vlans"][0]["ports"].array.size(), 2u);
  EXPECT_EQ(doc["vlans"][0]["ports"][0].number, 1);
  EXPECT_EQ(doc["vlans"][0]["ports"][1].number, 16);
}

TEST_F(KmquerySnmp, GetThroughAnAgentThatForwardsToTheDevice) {
  kmagent::AgentConfig config;
  config.secret = "s3cret";
  config.snmpAllowed = {{0x7F000000u, 0xFF000000u}};
  Agent agent(config);
  auto args = snmp({"--via-agent", "127.0.0.1:" + agent.port(), "-s", "s3cret", "get",
                    ".1.3.6.1.2.1.1.6.0"});
  args.insert(args.begin(), "--json");
  RunResult r = Kmquery(args);
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(ParseJson(r.out)["values"][0]["value"].string, "interop lab");
  bool forwarded = false;
  for (const auto &req : agent.server().requests()) forwarded |= req.code == MC_SNMP_REQUEST;
  EXPECT_TRUE(forwarded);

  RunResult wrong = Kmquery(snmp({"--via-agent", "127.0.0.1:" + agent.port(), "-s", "nope",
                                  "get", ".1.3.6.1.2.1.1.6.0"}));
  EXPECT_EQ(wrong.status, 4) << Describe(wrong);
  EXPECT_NE(wrong.err.find("error 440"), std::string::npos) << Describe(wrong);
}

// SNMPv3, bulk walks and IPv6 addresses on the command line.
TEST_F(KmquerySnmp, V3GetAndBulkWalksReadWhatV2cReads) {
  RunResult r = Kmquery(snmpV3({"get", ".1.3.6.1.2.1.1.6.0"}), V3Env());
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.out.find("interop lab"), std::string::npos) << r.out;

  // Pass phrases from files work as well as from the environment.
  char tmpl[] = "/tmp/kmquery-pass-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  std::ofstream(dir + "/auth") << kUsmAuthPass << "\n";
  std::ofstream(dir + "/priv") << kUsmPrivPass << "\n";
  RunResult files = Kmquery(snmpV3({"--auth-passphrase-file", dir + "/auth",
                                    "--priv-passphrase-file", dir + "/priv", "get",
                                    ".1.3.6.1.2.1.1.6.0"}));
  std::filesystem::remove_all(dir);
  EXPECT_EQ(files.status, 0) << Describe(files);

  auto count = [](const RunResult &run) {
    return ParseJson(run.out)["variables"].array.size();
  };
  auto json = [](std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    return args;
  };
  RunResult v2 = Kmquery(json(snmp({"walk", ".1.3.6.1.2.1.1"})));
  ASSERT_EQ(v2.status, 0) << Describe(v2);
  for (auto &args : {snmpV3({"bulkwalk", "-Cr3", ".1.3.6.1.2.1.1"}),
                     snmpV3({"walk", "--bulk", "--max-repetitions", "2", ".1.3.6.1.2.1.1"}),
                     snmp({"bulkwalk", ".1.3.6.1.2.1.1"})}) {
    RunResult b = Kmquery(json(args), V3Env());
    ASSERT_EQ(b.status, 0) << Describe(b);
    EXPECT_EQ(count(b), count(v2));
  }
  RunResult badCr = Kmquery(snmp({"bulkwalk", "-Cx3", ".1.3.6.1.2.1.1"}));
  EXPECT_EQ(badCr.status, 2) << Describe(badCr);
}

TEST_F(KmquerySnmp, WrongV3CredentialsGiveOneClearLineAndExitFive) {
  struct Case {
    const char *what;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    const char *says;
  };
  const Case cases[] = {
      {"wrong authentication pass phrase", snmpV3({"-A", "not-the-one", "get", ".1.3.6.1.2.1.1.6.0"}),
       {std::string("KMQUERY_PRIV_PASSPHRASE=") + kUsmPrivPass}, 5, "error 13 (Authentication failure"},
      {"unknown user",
       snmp({"-v", "3", "-u", "nobody", "-l", "authNoPriv", "-A", "whatever12", "get",
             ".1.3.6.1.2.1.1.6.0"}),
       {}, 5, "error 12 (Unknown user name)"},
      {"no user", snmp({"-v", "3", "get", ".1.3.6.1.2.1.1.6.0"}), {}, 2, "needs a user name"},
      {"short pass phrase", snmpV3({"-A", "short", "-X", "short", "get", ".1.3.6.1.2.1.1.6.0"}),
       {}, 2, "unusable SNMPv3 settings"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    RunResult r = Kmquery(c.args, c.env);
    EXPECT_EQ(r.status, c.status) << Describe(r);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << Describe(r);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << Describe(r);
    // Pass phrases are never printed.
    EXPECT_EQ(r.err.find("not-the-one"), std::string::npos);
    EXPECT_EQ(r.out.find("not-the-one"), std::string::npos);
  }
}

TEST_F(KmquerySnmp, V3ThroughAnAgent) {
  kmagent::AgentConfig config;
  config.secret = "s3cret";
  config.snmpAllowed = {{0x7F000000u, 0xFF000000u}};
  Agent agent(config);
  RunResult r = Kmquery(snmpV3({"--via-agent", "127.0.0.1:" + agent.port(), "-s", "s3cret",
                                "--agent-auth", "sha1", "get", ".1.3.6.1.2.1.1.6.0"}),
                        V3Env());
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.out.find("interop lab"), std::string::npos) << r.out;
}

// ---------------------------------------------------------------- management

// An agent with a served configuration file, a policy store and a file area.
class ManagedAgent : public AgentFixture {
 protected:
  static constexpr const char *kGuid = "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9";

  void SetUp() override {
    std::filesystem::create_directory(dir_ + "/area");
    std::filesystem::create_directory(dir_ + "/policies");
    std::ofstream(dir_ + "/agent.conf") << "listen = 0.0.0.0:4700\n# c\x1b[2J\n";
    std::ofstream(dir_ + "/policies/" + kGuid) << "type = 3\nserver = srv.example\n";
    std::ofstream(dir_ + "/policies/ffffffff-0000-0000-0000-000000000000") << "type = 12\n";
    kmagent::AgentConfig config;
    config.servedConfig = dir_ + "/agent.conf";
    config.policiesDir = dir_ + "/policies";
    config.filesDir = dir_ + "/area";
    agent_ = std::make_unique<Agent>(config);
  }
};

TEST_F(ManagedAgent, ConfigGetPrintsOrWritesTheCleanedTextAndSetReplacesIt) {
  const std::string cleaned = "listen = 0.0.0.0:4700\n# c [2J\n";
  RunResult get = Kmquery(agent({"config", "get"}));
  ASSERT_EQ(get.status, 0) << Describe(get);
  EXPECT_EQ(get.out, cleaned);
  RunResult json = Kmquery(agent({"config", "get"}, true));
  ASSERT_EQ(json.status, 0) << Describe(json);
  EXPECT_EQ(ParseJson(json.out)["text"].string, cleaned);
  EXPECT_EQ(ParseJson(json.out)["size"].number, cleaned.size());

  const std::string copy = dir_ + "/copy.conf";
  RunResult toFile = Kmquery(agent({"config", "get", copy}));
  ASSERT_EQ(toFile.status, 0) << Describe(toFile);
  EXPECT_EQ(ReadFile(copy), cleaned);

  const std::string text = "listen = 127.0.0.1:4700\nname = caf\xc3\xa9\n";
  TempFile replacement(text);
  RunResult set = Kmquery(agent({"config", "set", replacement.path()}, true));
  ASSERT_EQ(set.status, 0) << Describe(set);
  EXPECT_EQ(ParseJson(set.out)["bytes"].number, text.size());
  EXPECT_EQ(ReadFile(dir_ + "/agent.conf"), text);
  EXPECT_EQ(Kmquery(agent({"config", "get"})).out, text);
}

TEST_F(ManagedAgent, ConfigSetRefusesFilesItCannotSendWhole) {
  RunResult missing = Kmquery(agent({"config", "set", dir_ + "/none.conf"}));
  EXPECT_EQ(missing.status, 2) << Describe(missing);
  TempFile withNul(std::string("a\0b", 3));
  RunResult nul = Kmquery(agent({"config", "set", withNul.path()}));
  EXPECT_EQ(nul.status, 2) << Describe(nul);
  EXPECT_NE(nul.err.find("NUL"), std::string::npos) << Describe(nul);
  // Too large for the agent: its refusal is reported, the file is kept.
  TempFile large(std::string(300 * 1024, 'x'));
  RunResult big = Kmquery(agent({"config", "set", large.path()}));
  EXPECT_EQ(big.status, 4) << Describe(big);
  EXPECT_NE(big.err.find("error 503"), std::string::npos) << Describe(big);
  EXPECT_EQ(ReadFile(dir_ + "/agent.conf").substr(0, 7), "listen ");
  RunResult cmd = Kmquery(agent({"config"}));
  EXPECT_EQ(cmd.status, 2) << Describe(cmd);
}

TEST_F(ManagedAgent, PoliciesTableJsonAndUninstall) {
  RunResult table = Kmquery(agent({"policies"}));
  ASSERT_EQ(table.status, 0) << Describe(table);
  EXPECT_NE(table.out.find("GUID"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find(std::string(kGuid) + "     3  srv.example"), std::string::npos)
      << table.out;
  RunResult json = Kmquery(agent({"policies"}, true));
  ASSERT_EQ(json.status, 0) << Describe(json);
  Json doc = ParseJson(json.out);
  ASSERT_EQ(doc["policies"].array.size(), 2u);
  EXPECT_EQ(doc["policies"][0]["guid"].string, kGuid);
  EXPECT_EQ(doc["policies"][0]["server"].string, "srv.example");
  EXPECT_EQ(doc["policies"][1]["type"].number, 12);
  EXPECT_TRUE(doc["policies"][1]["server"].isNull());

  // Either case and braces name the same policy.
  RunResult removed = Kmquery(agent({"uninstall-policy", "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"}, true));
  ASSERT_EQ(removed.status, 0) << Describe(removed);
  EXPECT_EQ(ParseJson(removed.out)["guid"].string, kGuid);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/policies/" + kGuid));
  RunResult again = Kmquery(agent({"uninstall-policy", kGuid}));
  EXPECT_EQ(again.status, 4) << Describe(again);
  EXPECT_NE(again.err.find("error 404 (Unknown parameter): the agent has no such policy"),
            std::string::npos)
      << Describe(again);
  RunResult bad = Kmquery(agent({"uninstall-policy", "../../etc/passwd"}));
  EXPECT_EQ(bad.status, 2) << Describe(bad);
  EXPECT_NE(bad.err.find("is not a GUID"), std::string::npos) << Describe(bad);
}

TEST_F(ManagedAgent, UpgradeOfAnUploadedPackageAndOfAMissingOne) {
  RunResult missing = Kmquery(agent({"upgrade", "agent-9.pkg"}));
  EXPECT_EQ(missing.status, 4) << Describe(missing);
  EXPECT_NE(missing.err.find("upgrade agent-9.pkg on agent 127.0.0.1:" + agent_->port() +
                             ": error 915 (File open error)"),
            std::string::npos)
      << Describe(missing);
  TempFile package("package");
  ASSERT_EQ(Kmquery(agent({"upload", package.path()})).status, 0);
  const std::string name = std::filesystem::path(package.path()).filename();
  RunResult up = Kmquery(agent({"upgrade", package.path()}, true));
  ASSERT_EQ(up.status, 0) << Describe(up);
  EXPECT_EQ(ParseJson(up.out)["package"].string, name);
  EXPECT_NE(ReadFile(dir_ + "/area/.upgrades").find(" package " + name + " 7 bytes"),
            std::string::npos);
}

// ---------------------------------------------------------------- TLS

// A reference agent or ISC peer serving TLS with a certificate of the
// fixture's throwaway PKI (pki), and kmquery's arguments that address it.
class KmqueryTls : public kmtest::TlsClientFixture {
 protected:
  struct Peer {
    bool isc = false;
    const kmtest::TestLeaf *leaf = nullptr;  // its certificate
    bool clientCertificate = false;          // require one signed by the CA
  };

  // Starts the peer (an agent with a parameter and a secret that requires
  // encryption, or an ISC peer with echo service 7 that requires it too);
  // its port.
  std::string start(const Peer &p) {
    kmpeer::TlsFiles tls;
    tls.certFile = p.leaf->cert;
    tls.keyFile = p.leaf->key;
    if (p.clientCertificate) tls.caFile = pki.caCert;
    if (!p.isc) {
      kmagent::AgentConfig config = SecureAgentConfig();
      config.parameters = {{"Test.Greeting", "hello over TLS"}};
      config.tls = tls;
      agent_ = std::make_unique<Agent>(config);
      return agent_->port();
    }
#ifdef KM_HAVE_ISC_SERVER
    kmisc::IscConfig config;
    config.listenPort = 0;
    config.echoServices = {7};
    config.requireEncryption = true;
    config.tls = tls;
    isc_ = std::make_unique<kmisc::IscServer>(config);
    std::string error;
    EXPECT_TRUE(isc_->start(&error)) << error;
    return std::to_string(isc_->port());
#else
    ADD_FAILURE() << "no reference ISC peer in this build";
    return "1";
#endif
  }

  // kmquery [--json] agent|isc 127.0.0.1 -p PORT ARGS...
  static std::vector<std::string> Args(const Peer &p, const std::string &port, bool json,
                                       const std::vector<std::string> &rest) {
    std::vector<std::string> args = {p.isc ? "isc" : "agent", "127.0.0.1", "-p", port};
    if (json) args.insert(args.begin(), "--json");
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  }

  void TearDown() override {
    agent_.reset();
#ifdef KM_HAVE_ISC_SERVER
    isc_.reset();
#endif
  }

  std::unique_ptr<Agent> agent_;
#ifdef KM_HAVE_ISC_SERVER
  std::unique_ptr<kmisc::IscServer> isc_;
#endif
};

// Each way of trusting the peer, against the agent (which requires
// encryption and a login: TLS satisfies it, and with --generate-key no key is
// exchanged) and an ISC peer. The session says it is protected by TLS.
TEST_F(KmqueryTls, SessionsThatCheckThePeerEachTheirWay) {
  const struct Case {
    const char *name;
    Peer peer;
    std::vector<std::string> args;
    bool json;
    std::string expect;  // in the output
  } cases[] = {
      {"CA and name",
       {false, &pki.server, false},
       {"--tls-ca", pki.caCert, "--tls-name", "agent.test", "-s", "s3cret", "nop"},
       false,
       "session protected by TLS (TLSv1.3 "},
      {"CA, the address as name",
       {false, &pki.server, false},
       {"--tls-ca", pki.caCert, "-s", "s3cret", "get", "Test.Greeting"},
       false,
       "hello over TLS"},
      {"pinned self-signed certificate",
       {false, &pki.selfSigned, false},
       {"--tls-fingerprint", pki.selfSigned.fingerprint, "-s", "s3cret", "nop"},
       true,
       "\"tls\":\"TLSv1.3 "},
      {"mutual TLS, --generate-key unused",
       {false, &pki.server, true},
       {"--tls-ca", pki.caCert, "--tls-cert", pki.client.cert, "--tls-key", pki.client.key, "-s",
        "s3cret", "--generate-key", "get", "Test.Greeting"},
       false,
       "hello over TLS"},
#ifdef KM_HAVE_ISC_SERVER
      {"ISC peer, CA and name, encryption mandatory",
       {true, &pki.server, false},
       {"--tls-ca", pki.caCert, "--tls-name", "agent.test", "-e", "mandatory", "nop", "-S", "7"},
       false,
       "service 7, protocol version 2, session protected by TLS (TLSv1.3 "},
#endif
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string port = start(c.peer);
    RunResult r = Kmquery(Args(c.peer, port, c.json, c.args));
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << Describe(r);
    if (c.json) {
      EXPECT_TRUE(ParseJson(r.out)["encrypted"].boolean) << Describe(r);
    }
    TearDown();
  }
}

// Every refusal is one line naming what did not match, and exit status 6;
// the agent never sees a request.
TEST_F(KmqueryTls, RefusalsNameWhatDidNotMatchAndExitWithSix) {
  const struct Case {
    const char *name;
    Peer peer;
    std::vector<std::string> args;
    KmTlsFailure failure;
  } cases[] = {
      {"certificate of another CA",
       {false, &pki.foreign, false},
       {"--tls-ca", pki.caCert},
       KmTlsFailure::UnknownCa},
      {"certificate made out to another name",
       {false, &pki.wrongName, false},
       {"--tls-ca", pki.caCert},
       KmTlsFailure::WrongName},
      {"another name expected",
       {false, &pki.server, false},
       {"--tls-ca", pki.caCert, "--tls-name", "elsewhere.test"},
       KmTlsFailure::WrongName},
      {"expired certificate",
       {false, &pki.expired, false},
       {"--tls-ca", pki.caCert},
       KmTlsFailure::Expired},
      {"another certificate pinned",
       {false, &pki.selfSigned, false},
       {"--tls-fingerprint", pki.server.fingerprint},
       KmTlsFailure::FingerprintMismatch},
      {"no client certificate where the agent requires one",
       {false, &pki.server, true},
       {"--tls-ca", pki.caCert},
       KmTlsFailure::CertificateRequired},
#ifdef KM_HAVE_ISC_SERVER
      {"ISC peer, expired certificate",
       {true, &pki.expired, false},
       {"--tls-ca", pki.caCert},
       KmTlsFailure::Expired},
#endif
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string port = start(c.peer);
    std::vector<std::string> rest = c.args;
    if (!c.peer.isc) rest.insert(rest.end(), {"-s", "s3cret"});
    rest.push_back("nop");
    RunResult r = Kmquery(Args(c.peer, port, false, rest));
    EXPECT_EQ(r.status, 6) << Describe(r);
    EXPECT_EQ(r.err, "kmquery: TLS with 127.0.0.1:" + port +
                         " failed: " + KmTlsFailureText(c.failure) + "\n")
        << Describe(r);
    EXPECT_TRUE(r.out.empty()) << Describe(r);
    if (agent_) {
      EXPECT_TRUE(agent_->server().requests().empty());
    }
    TearDown();
  }
}

// Settings the library cannot use stop kmquery before it connects (the port
// is closed: trying would be exit status 3), with the library's reason.
TEST_F(KmqueryTls, UnusableSettingsAreUsageErrorsWithTheLibrarysReason) {
  ClosedPort closed;
  const std::string port = std::to_string(closed.port());
  const struct Case {
    std::string command;
    std::vector<std::string> options;
    std::string reason;
  } cases[] = {
      {"agent", {"--tls-ca", dir.file("missing-ca.pem")}, dir.file("missing-ca.pem")},
      {"agent", {"--tls-ca", pki.caCert, "--tls-cert", pki.client.cert}, "both"},
      {"isc", {"--tls-fingerprint", std::string(64, 'g')}, "not 64 hexadecimal digits"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {c.command, "127.0.0.1", "-p", port};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back("nop");
    SCOPED_TRACE(c.command + " " + c.options.front() + " " + c.options.back());
    RunResult r = Kmquery(args);
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_EQ(r.err.rfind("kmquery: TLS settings: ", 0), 0u) << Describe(r);
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << Describe(r);
    EXPECT_TRUE(r.out.empty()) << Describe(r);
  }
}

}  // namespace
