// The agent against clients that attack it, one group per attack: crowds of
// connections that never log in, bytes that trickle, peers that stop
// reading. In each case the clients that play by the rules must keep being
// served. Every wait is bounded; loopback only (the crowds come from
// 127.0.0.2, the honest clients from 127.0.0.1).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "kmbase/net.h"
#include "kmbase/sync.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"
#include "support/raw_peer.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "support/wire.h"

namespace {

using kmagent::AgentConfig;
using kmagent::AgentServer;
using kmtest::IdleSockets;
using kmtest::kWaitMs;
using kmtest::RawPeer;
using kmtest::WaitUntil;

constexpr uint32_t kCrowdAddress = 0x7F000002;   // 127.0.0.2
constexpr uint32_t kHonestAddress = 0x7F000001;  // 127.0.0.1
const std::u16string kSecret = u"s3cret";

std::unique_ptr<AgentServer> Start(AgentConfig config) {
  config.secret = "s3cret";
  auto server = std::make_unique<AgentServer>(std::move(config));
  std::string error;
  EXPECT_TRUE(server->start(&error)) << error;
  return server;
}

// A client from 127.0.0.1 that has logged in.
std::unique_ptr<RawPeer> LoggedIn(uint16_t port) {
  auto client = std::make_unique<RawPeer>(port, kHonestAddress);
  EXPECT_EQ(client->loginClear(kSecret), RCC_SUCCESS);
  return client;
}

// What a turned-away connection reads: the refusal, in place of the answer
// to the version request, then the end of the stream.
void ExpectRefusal(RawPeer &refused) {
  std::unique_ptr<CSCPMessage> msg = refused.receive();
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->GetCode(), MC_REQUEST_COMPLETED);
  EXPECT_EQ(msg->GetId(), KMCP_VERSION_REQUEST_ID);
  EXPECT_EQ(msg->GetVariableLong(VAR_RCC), RCC_AGENT_BUSY);
  KmcpFieldType type;
  EXPECT_TRUE(msg->GetVariableType(VAR_KMCP_REFUSED, &type));
  EXPECT_TRUE(refused.waitForClose());
}

// ---------------------------------------------------------------------------
// Lockout: connections that never log in
// ---------------------------------------------------------------------------

class IdleCrowd : public ::testing::TestWithParam<size_t> {};

// A crowd of silent connections takes at most its address's share of the
// sessions waiting for a login; the rest are refused with a reply. A client
// that had logged in keeps working, and a new one from elsewhere gets in.
// The login deadline is far off: the caps alone must hold.
TEST_P(IdleCrowd, LeavesLoggedInAndNewClientsServed) {
  const size_t crowd = GetParam();
  if (!kmtest::RaiseDescriptorLimit(crowd + 512))
    GTEST_SKIP() << "cannot raise the descriptor limit to " << crowd + 512;
  AgentConfig config;
  config.loginTimeoutMs = 60000;
  auto server = Start(config);
  auto working = LoggedIn(server->port());

  IdleSockets idle;
  ASSERT_EQ(idle.open(server->port(), kCrowdAddress, crowd), crowd);
  // The agent has taken all it will take of the crowd.
  const size_t perAddress = AgentConfig{}.maxPendingPerAddress;
  ASSERT_TRUE(WaitUntil([&] { return server->sessionCount() == 1 + perAddress; }));
  ASSERT_TRUE(WaitUntil([&] { return idle.closedByPeer() >= 1; }));

  EXPECT_EQ(working->keepalive(), RCC_SUCCESS);
  auto newcomer = LoggedIn(server->port());
  EXPECT_EQ(newcomer->keepalive(), RCC_SUCCESS);
  EXPECT_EQ(working->keepalive(), RCC_SUCCESS);

  // One more from the crowd's address is told why.
  RawPeer refused(server->port(), kCrowdAddress);
  ASSERT_TRUE(refused.ok());
  ExpectRefusal(refused);
}

INSTANTIATE_TEST_SUITE_P(Sockets, IdleCrowd, ::testing::Values(64, 1000));

TEST(Lockout, PendingCapsTurnAwayWithAReplyAndFreeTheirPlaceAtLogin) {
  AgentConfig config;
  config.maxPendingSessions = 2;
  config.maxPendingPerAddress = 2;
  config.loginTimeoutMs = 60000;
  auto server = Start(config);
  RawPeer first(server->port()), second(server->port());
  ASSERT_TRUE(WaitUntil([&] { return server->sessionCount() == 2; }));
  RawPeer third(server->port());
  ExpectRefusal(third);
  // The library's version detection reads the refusal as such.
  RawPeer fourth(server->port());
  EXPECT_EQ(fourth.detectVersion(), -1);
  EXPECT_EQ(KmGetLastSocketError(), EBUSY);
  // A login makes room for one more.
  EXPECT_EQ(first.loginClear(kSecret), RCC_SUCCESS);
  RawPeer fifth(server->port());
  EXPECT_EQ(fifth.loginClear(kSecret), RCC_SUCCESS);
  EXPECT_EQ(first.keepalive(), RCC_SUCCESS);
}

// Neither silence nor a message trickling in a byte at a time outlasts the
// login deadline; after the login, the idle limit counts whole messages.
TEST(Lockout, LoginDeadlineAndIdleLimitCountWholeMessages) {
  AgentConfig config;
  config.loginTimeoutMs = 300;
  config.idleTimeoutMs = 600;
  auto server = Start(config);
  const std::vector<uint8_t> keepalive = kmtest::Wire(kmtest::Message(MC_KEEPALIVE, 9));

  // Sends the keepalive a byte every 50 ms until the agent closes (or the
  // bytes run out, which a closing agent must come before).
  const auto trickle = [&](RawPeer &peer) {
    for (size_t i = 0; i + 1 < keepalive.size(); ++i) {
      if (!peer.sendBytes(&keepalive[i], 1)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (peer.waitForClose(1)) return true;
    }
    return false;
  };
  RawPeer silent(server->port());
  EXPECT_TRUE(silent.waitForClose());
  RawPeer trickling(server->port());
  EXPECT_TRUE(trickle(trickling));

  RawPeer loggedIn(server->port());
  EXPECT_EQ(loggedIn.loginClear(kSecret), RCC_SUCCESS);
  EXPECT_TRUE(trickle(loggedIn));
}

// ---------------------------------------------------------------------------
// A peer that stops reading
// ---------------------------------------------------------------------------

TEST(StalledReader, EndsOnlyItsOwnSession) {
  AgentConfig config;
  config.sendTimeoutMs = 300;
  // Answers of some 200 KiB (the text goes as UTF-16): a few fill any socket
  // buffer.
  config.lists.push_back({"Big", std::vector<std::string>(1000, std::string(100, 'x'))});
  auto server = Start(config);
  auto working = LoggedIn(server->port());
  RawPeer stalled(server->port());
  ASSERT_EQ(stalled.loginClear(kSecret), RCC_SUCCESS);
  for (uint32_t id = 100; id < 200; ++id)
    ASSERT_TRUE(stalled.send(MC_GET_LIST, id,
                             [](CSCPMessage &m) { m.SetVariable(VAR_PARAMETER, u"Big"); }));
  EXPECT_TRUE(server->waitForSessionCount(1, kWaitMs));
  EXPECT_EQ(working->keepalive(), RCC_SUCCESS);
}

// ---------------------------------------------------------------------------
// Tunnel, oracle and forwarder: the relays reach nothing unless configured
// ---------------------------------------------------------------------------

// A local service the agent could be turned on: a TCP listener and a UDP
// port, both on loopback.
struct LocalService {
  LocalService() {
    tcp = KmSocketListenTcp(htonl(INADDR_LOOPBACK), 0, 4, &tcpPort);
    udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (udp >= 0 && ::bind(udp, reinterpret_cast<sockaddr *>(&sa), len) == 0 &&
        ::getsockname(udp, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
      udpPort = ntohs(sa.sin_port);
  }
  ~LocalService() {
    KmSocketClose(tcp);
    if (udp >= 0) ::close(udp);
  }
  SOCKET tcp = INVALID_SOCKET;
  uint16_t tcpPort = 0;
  int udp = -1;
  uint16_t udpPort = 0;
};

TEST(Relays, RefuseLocalServicesAndTheAgentItselfByDefault) {
  LocalService local;
  ASSERT_NE(local.tcpPort, 0);
  ASSERT_NE(local.udpPort, 0);
  const uint32_t loopback = INADDR_LOOPBACK;
  AgentConfig anyPort;
  anyPort.proxyPorts.clear();  // even where hops may go to any port
  for (const AgentConfig &config : {AgentConfig{}, anyPort}) {
    auto server = Start(config);
    auto client = LoggedIn(server->port());
    const auto hop = [&](uint16_t port) {
      return client->request(MC_SETUP_PROXY_CONNECTION, [&](CSCPMessage &m) {
        m.SetVariable(VAR_IP_ADDRESS, loopback);
        m.SetVariable(VAR_AGENT_PORT, port);
      });
    };
    // The agent's own port, through every name of it.
    EXPECT_EQ(hop(server->port()), RCC_ACCESS_DENIED);
    if (!config.proxyPorts.empty()) {
      EXPECT_EQ(hop(local.tcpPort), RCC_ACCESS_DENIED);  // a tunnel to any port
    }
    EXPECT_EQ(client->request(MC_CHECK_SERVICE,
                              [&](CSCPMessage &m) {  // oracle
                                m.SetVariable(VAR_IP_ADDRESS, loopback);
                                m.SetVariable(VAR_IP_PORT, local.tcpPort);
                              }),
              RCC_ACCESS_DENIED);
    const uint8_t datagram[] = {'G', 'E', 'T', ' ', '/', '\n'};  // forwarder
    EXPECT_EQ(client->request(MC_SNMP_REQUEST,
                              [&](CSCPMessage &m) {
                                m.SetVariable(VAR_IP_ADDRESS, loopback);
                                m.SetVariable(VAR_SNMP_PORT, local.udpPort);
                                m.SetVariable(VAR_PDU_SIZE, uint32_t{sizeof(datagram)});
                                m.SetVariable(VAR_PDU, datagram, sizeof(datagram));
                              }),
              RCC_ACCESS_DENIED);
    EXPECT_EQ(client->keepalive(), RCC_SUCCESS);
    EXPECT_EQ(server->sessionCount(), 1u);
  }
}

// ---------------------------------------------------------------------------
// Action arguments
// ---------------------------------------------------------------------------

// Arguments a peer sends only fill the placeholders an action declares:
// "-e ^PREFIX FILE" appended to a grep would read any file it names.
TEST(ActionArguments, FillOnlyDeclaredPlaceholdersAndAreNeverAppended) {
  const kmtest::TempDir dir("action");
  const std::string out = dir.file("args");
  AgentConfig config;
  config.actions = {{"errors", {"/bin/grep", "-q", "ERROR", dir.write("app.log", "ok\n")}},
                    {"dump", {ARGV_DUMP_PATH, out, "--pattern=$1", "$$1"}}};
  auto server = Start(config);
  auto client = LoggedIn(server->port());
  const auto exec = [&](const char16_t *name, const std::vector<std::u16string> &args) {
    return client->request(MC_EXEC_ACTION, [&](CSCPMessage &m) {
      m.SetVariable(VAR_ACTION_NAME, name);
      m.SetVariable(VAR_NUM_ARGS, static_cast<uint32_t>(args.size()));
      for (size_t i = 0; i < args.size(); ++i)
        m.SetVariable(VAR_LIST_BASE + static_cast<uint32_t>(i), args[i].c_str());
    });
  };
  EXPECT_EQ(exec(u"errors", {u"-e", u"^root", u"/etc/passwd"}), RCC_BAD_ARGUMENTS);
  EXPECT_EQ(exec(u"errors", {}), RCC_EXEC_FAILED);  // grep found nothing
  EXPECT_EQ(exec(u"dump", {u"-e", u"/etc/passwd"}), RCC_BAD_ARGUMENTS);
  EXPECT_EQ(exec(u"dump", {u"-e /etc/passwd"}), RCC_SUCCESS);
  EXPECT_EQ(kmtest::ReadFile(out), "--pattern=-e /etc/passwd\n$-e /etc/passwd\n");
}

// ---------------------------------------------------------------------------
// Guessing the secret
// ---------------------------------------------------------------------------

// Each connection gets a few guesses, and the log one line a second about
// them however many come.
TEST(LoginGuessing, SessionsEndAfterTheirFailuresAndTheLogStaysQuiet) {
  KmMutex lock;
  int failureLines = 0;
  AgentConfig config;
  config.loginFailureDelayMs = 1;
  config.log = [&](kmagent::LogLevel, const std::string &line) {
    KmLockGuard guard(lock);
    failureLines += line.find("login with method") != std::string::npos ? 1 : 0;
  };
  auto server = Start(config);
  constexpr int kConnections = 7;
  for (int i = 0; i < kConnections; ++i) {
    RawPeer guesser(server->port(), kCrowdAddress);
    for (int guess = 0; guess < 3; ++guess)
      EXPECT_EQ(guesser.loginClear(u"guess" + std::u16string(1, u'a' + guess)), RCC_AUTH_FAILED);
    EXPECT_TRUE(guesser.waitForClose());
  }
  KmLockGuard guard(lock);
  EXPECT_GE(failureLines, 1);
  EXPECT_LT(failureLines, kConnections * 3 / 2);
}

// A failed login waits on its own session's thread: other sessions, and
// new connections, go on meanwhile. An address's failures count for its
// next connections too; another address's do not.
TEST(LoginGuessing, DelayGrowsPerAddressAndHoldsOnlyItsOwnSession) {
  AgentConfig config;
  config.loginFailureDelayMs = 60000;
  auto server = Start(config);
  {
    RawPeer first(server->port(), kCrowdAddress);
    EXPECT_EQ(first.loginClear(u"guess"), RCC_AUTH_FAILED);  // the first failure is not delayed
  }
  RawPeer second(server->port(), kCrowdAddress);
  CSCPMessage login;
  login.SetCode(MC_LOGIN);
  login.SetId(second.nextId());
  login.SetVariable(VAR_AUTH_METHOD, uint16_t{1});
  login.SetVariable(VAR_SHARED_SECRET, u"guess");
  ASSERT_TRUE(second.send(login));

  auto honest = LoggedIn(server->port());
  EXPECT_EQ(honest->keepalive(), RCC_SUCCESS);
  RawPeer elsewhere(server->port(), 0x7F000003);
  EXPECT_EQ(elsewhere.loginClear(u"guess"), RCC_AUTH_FAILED);
  // The second address's guess is still held (for a minute).
  EXPECT_EQ(second.receive(nullptr, 300), KMCP_RECV_TIMEOUT);
  // The stop cuts the wait short.
  server->stop();
  EXPECT_TRUE(second.waitForClose());
}

}  // namespace
