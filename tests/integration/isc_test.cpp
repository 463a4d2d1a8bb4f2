// ISC sessions over real loopback sockets against the reference ISC peer
// (kmisc::IscServer) running in-process.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "isc_test_support.h"
#include "kmbase/message.h"
#include "kmbase/net.h"
#include "kmsrv/protocol.h"

namespace isctest {

namespace {

constexpr uint32_t kEcho = 7;

std::unique_ptr<CSCPMessage> EchoRoundTrip(TestIsc &isc, uint32_t value) {
  CSCPMessage msg(isc.GetProtocolVersion());
  msg.SetCode(0x1100);
  const uint32_t id = isc.nextId();
  msg.SetId(id);
  msg.SetVariable(VAR_VALUE, u"echo me");
  msg.SetVariable(VAR_IP_PORT, static_cast<uint16_t>(value));
  if (!isc.SendMessageW(&msg)) return nullptr;
  return std::unique_ptr<CSCPMessage>(isc.WaitForMessage(MC_REQUEST_COMPLETED, id, 10000));
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

TEST(IscConnect, DefaultSessionReachesThePeerOnLoopbackPort4702) {
  kmisc::IscConfig config = EchoPeer();
  config.listenAddress = "127.0.0.1";
  config.listenPort = kmisc::kDefaultIscPort;
  kmisc::IscServer server(config);
  std::string error;
  if (!server.start(&error)) GTEST_SKIP() << "port 4702 is taken here: " << error;
  TestIsc isc;
  ASSERT_EQ(isc.Connect(kEcho), ISC_RESULT_SUCCESS);
  EXPECT_TRUE(isc.IsConnected());
  EXPECT_EQ(isc.GetProtocolVersion(), 2);
  EXPECT_EQ(CountCode(server, MC_ISC_CONNECT_TO_SERVICE), 1u);
}

TEST(IscConnect, ConnectOnConnectedSessionReturns6AndChangesNothing) {
  auto server = StartPeer(EchoPeer());
  TestIsc isc(kLoopbackNet, server->port());
  ASSERT_EQ(isc.Connect(kEcho), ISC_RESULT_SUCCESS);
  EXPECT_EQ(isc.Connect(kEcho, TestKey(), true), ISC_RESULT_ALREADY_CONNECTED);
  EXPECT_FALSE(isc.encryptionRequired());
  EXPECT_TRUE(isc.IsConnected());
  EXPECT_EQ(server->sessionCount(), 1u);

  TestIsc keyed(kLoopbackNet, server->port());
  ASSERT_EQ(keyed.Connect(kEcho, TestKey(), true), ISC_RESULT_SUCCESS);
  EXPECT_EQ(keyed.Connect(kEcho, nullptr, false), ISC_RESULT_ALREADY_CONNECTED);
  EXPECT_TRUE(keyed.encryptionRequired());
  EXPECT_NE(EchoRoundTrip(keyed, 1), nullptr);
}

TEST(IscConnect, NothingListeningGives8AndSaysSo) {
  kmtest::ClosedPort closed;
  TestIsc isc(kLoopbackNet, closed.port());
  EXPECT_EQ(isc.Connect(kEcho), ISC_RESULT_CONNECT_FAILED);
  EXPECT_TRUE(isc.printedContains("Cannot establish connection with ISC peer 127.0.0.1"));
  EXPECT_FALSE(isc.IsConnected());
  EXPECT_EQ(isc.currentSocket(), INVALID_SOCKET);
}

TEST(IscConnect, TcpConnectGivesUpAfterTheConnectTimeout) {
  // A listener whose accept queue is full drops further connection
  // attempts: the connect would wait without end.
  uint16_t port = 0;
  SOCKET listener = KmSocketListenTcp(kLoopbackNet, 0, 0, &port);
  ASSERT_NE(listener, INVALID_SOCKET);
  std::vector<SOCKET> fillers;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = kLoopbackNet;
  sa.sin_port = htons(port);
  for (int i = 0; i < 4; i++) {
    SOCKET s = KmSocketOpenTcp();
    ConnectEx(s, reinterpret_cast<sockaddr *>(&sa), sizeof(sa), 100);
    fillers.push_back(s);
  }
  TestIsc isc(kLoopbackNet, port);
  isc.connectTimeout = 1000;
  isc.commandTimeout = 1000;
  const uint32_t result = isc.Connect(kEcho);
  for (SOCKET s : fillers) KmSocketClose(s);
  KmSocketClose(listener);
  EXPECT_EQ(result, ISC_RESULT_CONNECT_FAILED);
  EXPECT_TRUE(isc.printedContains("Cannot establish connection with ISC peer 127.0.0.1"));
  EXPECT_EQ(isc.currentSocket(), INVALID_SOCKET);
}

TEST(IscConnect, PeerVersionsOneAndTwoAreAcceptedAndThreeIsRefusedWith9) {
  struct Case {
    int32_t reported;  // 0: a peer without version detection
    int32_t detected;
  };
  for (const Case c : {Case{0, 1}, Case{1, 1}, Case{2, 2}}) {
    kmisc::IscConfig config = EchoPeer();
    config.reportVersion = c.reported;
    auto server = StartPeer(config);
    TestIsc isc(kLoopbackNet, server->port());
    EXPECT_EQ(isc.Connect(kEcho), ISC_RESULT_SUCCESS) << "reported " << c.reported;
    EXPECT_EQ(isc.GetProtocolVersion(), c.detected);
    EXPECT_NE(EchoRoundTrip(isc, 3), nullptr);
  }

  kmisc::IscConfig config = EchoPeer();
  config.reportVersion = 3;
  auto server = StartPeer(config);
  TestIsc isc(kLoopbackNet, server->port());
  EXPECT_EQ(isc.Connect(kEcho), ISC_RESULT_BAD_PROTOCOL_VERSION);
  EXPECT_TRUE(isc.printedContains("ISC peer 127.0.0.1 uses incompatible KMCP version 3"));
  EXPECT_EQ(isc.currentSocket(), INVALID_SOCKET);
  EXPECT_EQ(CountCode(*server, MC_KEEPALIVE), 0u);
  EXPECT_TRUE(server->waitForSessionCount(0, 10000));
}

TEST(IscConnect, PeerWithoutVersionAnswerGives9) {
  kmisc::IscConfig config = EchoPeer();
  config.reportVersion = -1;
  auto server = StartPeer(config);
  TestIsc isc(kLoopbackNet, server->port());
  isc.commandTimeout = 300;
  EXPECT_EQ(isc.Connect(kEcho), ISC_RESULT_BAD_PROTOCOL_VERSION);
  EXPECT_TRUE(isc.printedContains("Cannot detect KMCP version for ISC peer 127.0.0.1"));
  EXPECT_EQ(isc.currentSocket(), INVALID_SOCKET);
}

// ---------------------------------------------------------------------------
// Encryption
// ---------------------------------------------------------------------------

TEST(IscEncryption, RequiredWithoutKeyFailsWith4BeforeAnyRequest) {
  auto server = StartPeer(EchoPeer());
  TestIsc isc(kLoopbackNet, server->port());
  EXPECT_EQ(isc.Connect(kEcho, nullptr, true), ISC_RESULT_ENCRYPTION_REQUIRED);
  EXPECT_TRUE(isc.printedContains("Cannot setup encrypted channel with ISC peer 127.0.0.1"));
  EXPECT_EQ(RequestCodes(*server), std::vector<uint16_t>{MC_GET_KMCP_CAPS});
  EXPECT_FALSE(isc.IsConnected());
  EXPECT_EQ(isc.currentSocket(), INVALID_SOCKET);
}

TEST(IscEncryption, PeerDemandingEncryptionRefusesSessionWithoutKey) {
  kmisc::IscConfig config = EchoPeer();
  config.requireEncryption = true;
  auto server = StartPeer(config);
  TestIsc isc(kLoopbackNet, server->port());
  EXPECT_EQ(isc.Connect(kEcho), ISC_RESULT_ENCRYPTION_REQUIRED);
  EXPECT_TRUE(isc.printedContains("Cannot setup encrypted channel with ISC peer 127.0.0.1"));
  EXPECT_TRUE(isc.encryptionRequired());  // the peer's 4 made it so
  EXPECT_EQ(RequestCodes(*server), (std::vector<uint16_t>{MC_GET_KMCP_CAPS, MC_KEEPALIVE}));
}

TEST(IscEncryption, KeyRequestGoesFirstAndEverythingAfterItTravelsEncrypted) {
  kmisc::IscConfig config = EchoPeer();
  config.requireEncryption = true;
  auto server = StartPeer(config);
  for (const bool required : {false, true}) {
    server->clearRecords();
    TestIsc isc(kLoopbackNet, server->port());
    ASSERT_EQ(isc.Connect(kEcho, TestKey(), required), ISC_RESULT_SUCCESS) << required;
    std::unique_ptr<CSCPMessage> echo = EchoRoundTrip(isc, 42);
    ASSERT_NE(echo, nullptr);
    EXPECT_EQ(echo->GetVariableLong(VAR_RCC), ISC_RESULT_SUCCESS);
    EXPECT_EQ(echo->GetVariableShort(VAR_IP_PORT), 42);
    char16_t text[32];
    EXPECT_EQ(std::u16string(echo->GetVariableStr(VAR_VALUE, text, 32)), u"echo me");

    const std::vector<kmisc::IscRequestRecord> seen = server->requests();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].code, MC_GET_KMCP_CAPS);
    EXPECT_EQ(seen[1].code, MC_REQUEST_SESSION_KEY);
    EXPECT_FALSE(seen[1].encrypted);
    EXPECT_EQ(seen[2].code, MC_KEEPALIVE);
    EXPECT_EQ(seen[3].code, MC_ISC_CONNECT_TO_SERVICE);
    EXPECT_EQ(seen[4].code, 0x1100);
    for (size_t i = 2; i < seen.size(); i++) EXPECT_TRUE(seen[i].encrypted) << i;
  }
}

TEST(IscEncryption, FailedKeyExchangeGoesOnInClearUnlessRequired) {
  // The peer refuses a 1024-bit server key as too weak.
  auto server = StartPeer(EchoPeer());
  TestIsc optional(kLoopbackNet, server->port());
  ASSERT_EQ(optional.Connect(kEcho, TestKey(1024), false), ISC_RESULT_SUCCESS);
  EXPECT_FALSE(optional.printedContains("Cannot setup encrypted channel"));
  const std::vector<kmisc::IscRequestRecord> seen = server->requests();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[2].code, MC_KEEPALIVE);
  EXPECT_FALSE(seen[2].encrypted);

  TestIsc required(kLoopbackNet, server->port());
  EXPECT_EQ(required.Connect(kEcho, TestKey(1024), true), ISC_RESULT_INVALID_PUBLIC_KEY);
  EXPECT_TRUE(required.printedContains("Cannot setup encrypted channel with ISC peer 127.0.0.1"));
  EXPECT_EQ(required.currentSocket(), INVALID_SOCKET);
}

TEST(IscEncryption, PeerThatKeepsDemandingEncryptionIsGivenUpOnWith4) {
  kmisc::IscConfig config = EchoPeer();
  config.alwaysDemandEncryption = true;
  auto server = StartPeer(config);
  TestIsc isc(kLoopbackNet, server->port());
  EXPECT_EQ(isc.Connect(kEcho, TestKey()), ISC_RESULT_ENCRYPTION_REQUIRED);
  // One key exchange: a keyed session keeps its key (a peer refuses a second
  // one), and the liveness test is repeated until the restarts run out.
  EXPECT_EQ(CountCode(*server, MC_REQUEST_SESSION_KEY), 1u);
  EXPECT_EQ(CountCode(*server, MC_KEEPALIVE), static_cast<size_t>(ISC::kMaxEncryptionRestarts + 1));
  EXPECT_EQ(CountCode(*server, MC_ISC_CONNECT_TO_SERVICE), 0u);
  EXPECT_TRUE(isc.printedContains("Communication with ISC peer 127.0.0.1 failed (Encryption required)"));
  EXPECT_EQ(isc.currentSocket(), INVALID_SOCKET);
}

// ---------------------------------------------------------------------------
// Services
// ---------------------------------------------------------------------------

TEST(IscService, RefusedServiceTearsTheSessionDownWithoutConnectMessage) {
  kmisc::IscConfig config = EchoPeer();
  config.disabledServices = {8};
  auto server = StartPeer(config);
  struct Case {
    uint32_t service;
    uint32_t result;
  };
  for (const Case c : {Case{99, ISC_RESULT_UNKNOWN_SERVICE}, Case{8, ISC_RESULT_SERVICE_DISABLED}}) {
    TestIsc isc(kLoopbackNet, server->port());
    EXPECT_EQ(isc.Connect(c.service), c.result);
    EXPECT_FALSE(isc.printedContains("ISC peer"));
    EXPECT_FALSE(isc.IsConnected());
    EXPECT_EQ(isc.currentSocket(), INVALID_SOCKET);
    EXPECT_TRUE(server->waitForSessionCount(0, 10000));
    // The object can open a session again.
    EXPECT_EQ(isc.Connect(kEcho), ISC_RESULT_SUCCESS);
  }
}

TEST(IscService, SendMessageWOnSessionThatIsNotUpSendsNothing) {
  auto server = StartPeer(EchoPeer());
  TestIsc isc(kLoopbackNet, server->port());
  CSCPMessage msg;
  msg.SetCode(0x1100);
  msg.SetId(500);
  EXPECT_FALSE(isc.SendMessageW(&msg));

  ASSERT_EQ(isc.Connect(kEcho), ISC_RESULT_SUCCESS);
  isc.Disconnect();
  EXPECT_FALSE(isc.IsConnected());
  EXPECT_FALSE(isc.SendMessageW(&msg));
  EXPECT_TRUE(server->waitForSessionCount(0, 10000));
  EXPECT_EQ(CountCode(*server, 0x1100), 0u);
}

TEST(IscService, WaitForRCCForAnIdThatGetsNoReplyTimesOutWith10) {
  auto server = StartPeer(EchoPeer());
  TestIsc isc(kLoopbackNet, server->port());
  ASSERT_EQ(isc.Connect(kEcho), ISC_RESULT_SUCCESS);
  EXPECT_EQ(isc.WaitForRCC(isc.nextId(), 200), ISC_RESULT_REQUEST_TIMEOUT);
  EXPECT_TRUE(isc.IsConnected());
}

TEST(IscService, UnsolicitedMessageIsClaimedByItsCodeAndId) {
  auto server = StartPeer(EchoPeer());
  TestIsc isc(kLoopbackNet, server->port());
  ASSERT_EQ(isc.Connect(kEcho, TestKey()), ISC_RESULT_SUCCESS);
  CSCPMessage event;
  event.SetCode(0x1234);
  event.SetId(77);
  event.SetVariable(VAR_VALUE, u"news");
  ASSERT_EQ(server->sendMessage(event), 1u);
  CSCPMessage done;
  done.SetCode(MC_REQUEST_COMPLETED);
  done.SetId(78);
  done.SetVariable(VAR_RCC, ISC_RESULT_OBJECT_NOT_FOUND);
  ASSERT_EQ(server->sendMessage(done), 1u);

  // Claimed out of arrival order, each by its own key.
  EXPECT_EQ(isc.WaitForRCC(78, 10000), ISC_RESULT_OBJECT_NOT_FOUND);
  EXPECT_EQ(isc.WaitForMessage(0x1234, 78, 0), nullptr);
  std::unique_ptr<CSCPMessage> got(isc.WaitForMessage(0x1234, 77, 10000));
  ASSERT_NE(got, nullptr);
  char16_t text[16];
  EXPECT_EQ(std::u16string(got->GetVariableStr(VAR_VALUE, text, 16)), u"news");
}

// ---------------------------------------------------------------------------
// Session end
// ---------------------------------------------------------------------------

TEST(IscSessionEnd, PeerThatNeverAnswersMakesConnectTimeOut) {
  kmisc::IscConfig config = EchoPeer();
  config.neverAnswer = true;
  auto server = StartPeer(config);
  TestIsc isc(kLoopbackNet, server->port());
  isc.commandTimeout = 200;
  // The key exchange times out (not required: goes on), then the Nop.
  EXPECT_EQ(isc.Connect(kEcho, TestKey()), ISC_RESULT_REQUEST_TIMEOUT);
  EXPECT_TRUE(isc.printedContains("Communication with ISC peer 127.0.0.1 failed (Request timed out)"));
  EXPECT_EQ(RequestCodes(*server),
            (std::vector<uint16_t>{MC_GET_KMCP_CAPS, MC_REQUEST_SESSION_KEY, MC_KEEPALIVE}));
  EXPECT_EQ(isc.currentSocket(), INVALID_SOCKET);
}

TEST(IscSessionEnd, PeerClosingDuringNegotiationFailsConnectAsBroken) {
  kmisc::IscConfig config = EchoPeer();
  config.closeAfterAnswers = 1;  // right after version detection
  auto server = StartPeer(config);
  TestIsc isc(kLoopbackNet, server->port());
  // The default 10 s command time-out is not sat out: the session's end
  // ends the wait.
  EXPECT_EQ(isc.Connect(kEcho), ISC_RESULT_CONNECTION_BROKEN);
  EXPECT_TRUE(isc.printedContains("Communication with ISC peer 127.0.0.1 failed (Connection broken)"));
  EXPECT_EQ(isc.currentSocket(), INVALID_SOCKET);
}

TEST(IscSessionEnd, PeerCloseEndsSessionReleasesWaitersAndReconnectWorks) {
  kmisc::IscConfig config = EchoPeer();
  config.closeAfterAnswers = 4;  // version, Nop, service, one echo
  auto server = StartPeer(config);
  TestIsc isc(kLoopbackNet, server->port());
  ASSERT_EQ(isc.Connect(kEcho, nullptr), ISC_RESULT_SUCCESS);
  ASSERT_NE(EchoRoundTrip(isc, 1), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return !isc.IsConnected(); }));
  EXPECT_EQ(isc.WaitForRCC(isc.nextId(), 600000), ISC_RESULT_CONNECTION_BROKEN);
  EXPECT_TRUE(isc.printedContains("ISC::ReceiverThread(): RecvKMCPMessage() failed: error=0"));
  EXPECT_EQ(isc.Nop(), ISC_RESULT_CONNECTION_BROKEN);
  ASSERT_EQ(isc.Connect(kEcho), ISC_RESULT_SUCCESS);
  EXPECT_NE(EchoRoundTrip(isc, 2), nullptr);
}

TEST(IscSessionEnd, IdleReceiveTimeoutEndsTheSession) {
  auto server = StartPeer(EchoPeer());
  TestIsc isc(kLoopbackNet, server->port());
  isc.receiveTimeout = 300;
  ASSERT_EQ(isc.Connect(kEcho), ISC_RESULT_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return !isc.IsConnected(); }));
  EXPECT_TRUE(isc.printedContains("Timed out waiting for message"));
  EXPECT_TRUE(server->waitForSessionCount(0, 10000));
}

TEST(IscSessionEnd, DisconnectReleasesACallerWaitingForAReply) {
  auto server = StartPeer(EchoPeer());
  TestIsc isc(kLoopbackNet, server->port());
  ASSERT_EQ(isc.Connect(kEcho, TestKey()), ISC_RESULT_SUCCESS);
  std::atomic<uint32_t> result{0xFFFF};
  std::thread waiter([&] { result = isc.WaitForRCC(999999, 600000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  isc.Disconnect();
  waiter.join();
  EXPECT_EQ(result.load(), ISC_RESULT_CONNECTION_BROKEN);
}

// ---------------------------------------------------------------------------
// Concurrency
// ---------------------------------------------------------------------------

TEST(IscConcurrency, ThreadsShareOneEncryptedSession) {
  auto server = StartPeer(EchoPeer());
  TestIsc isc(kLoopbackNet, server->port());
  ASSERT_EQ(isc.Connect(kEcho, TestKey(), true), ISC_RESULT_SUCCESS);
  constexpr int kThreads = 4;
  constexpr int kRounds = 50;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; i++) {
        std::unique_ptr<CSCPMessage> echo = EchoRoundTrip(isc, static_cast<uint32_t>(t * 1000 + i));
        if (echo != nullptr && echo->GetVariableShort(VAR_IP_PORT) == t * 1000 + i) ok++;
      }
    });
  }
  // Keepalives from yet another thread at the same time.
  for (int i = 0; i < 20; i++) EXPECT_EQ(isc.Nop(), ISC_RESULT_SUCCESS);
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(ok.load(), kThreads * kRounds);
  for (const kmisc::IscRequestRecord &r : server->requests()) {
    if (r.code != MC_GET_KMCP_CAPS && r.code != MC_REQUEST_SESSION_KEY) {
      EXPECT_TRUE(r.encrypted);
    }
  }
}

TEST(IscConcurrency, DestroyingAConnectedSessionJoinsItsReceiver) {
  auto server = StartPeer(EchoPeer());
  for (int i = 0; i < 5; i++) {
    auto isc = std::make_unique<TestIsc>(kLoopbackNet, server->port());
    ASSERT_EQ(isc->Connect(kEcho, i % 2 == 0 ? TestKey() : nullptr), ISC_RESULT_SUCCESS);
    isc.reset();
  }
  EXPECT_TRUE(server->waitForSessionCount(0, 10000));
}

}  // namespace
}  // namespace isctest
