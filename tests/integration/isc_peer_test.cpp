// The reference ISC peer itself: its answers to raw, hostile or early
// input, its command line, and the kmiscd program.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "isc_test_support.h"
#include "iscd_options.h"
#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/net.h"
#include "kmsrv/protocol.h"
#include "support/process.h"
#include "support/raw_peer.h"
#include "support/temp_dir.h"
#include "support/tls_client.h"
#include "support/wire.h"

namespace isctest {
namespace {

using kmtest::RawPeer;
using kmtest::WireHeader;

// The next message, or null when none came or the peer closed (*closed
// tells which).
std::unique_ptr<CSCPMessage> Read(RawPeer &c, bool *closed = nullptr) {
  std::unique_ptr<CSCPMessage> msg;
  const int r = c.receive(&msg);
  if (closed != nullptr) *closed = r <= KMCP_RECV_CLOSED;
  return msg;
}

// The VAR_RCC of the next message when it completes request `id`, else
// 0xFFFFFFFF.
uint32_t RccOf(RawPeer &c, uint32_t id) {
  std::unique_ptr<CSCPMessage> reply = Read(c);
  if (reply == nullptr || reply->GetCode() != MC_REQUEST_COMPLETED || reply->GetId() != id)
    return 0xFFFFFFFF;
  return reply->GetVariableLong(VAR_RCC);
}

// ---------------------------------------------------------------------------
// Requests and hostile input
// ---------------------------------------------------------------------------

TEST(IscPeer, AnswersServiceRequestsByTheirConfiguration) {
  kmisc::IscConfig config = EchoPeer(7);
  config.disabledServices = {8};
  auto server = StartPeer(config);
  RawPeer c(server->port());
  ASSERT_TRUE(c.ok());
  // Before a service is connected, service traffic is out of state.
  ASSERT_TRUE(c.send(0x1100, 1));
  EXPECT_EQ(RccOf(c, 1), ISC_RESULT_REQUEST_OUT_OF_STATE);
  ASSERT_TRUE(c.send(MC_ISC_CONNECT_TO_SERVICE, 2));  // no service id at all
  EXPECT_EQ(RccOf(c, 2), ISC_RESULT_UNKNOWN_SERVICE);
  ASSERT_TRUE(c.send(MC_ISC_CONNECT_TO_SERVICE, 3,
                     [](CSCPMessage &m) { m.SetVariable(VAR_SERVICE_ID, u"7"); }));  // wrong type
  EXPECT_EQ(RccOf(c, 3), ISC_RESULT_UNKNOWN_SERVICE);
  ASSERT_TRUE(c.send(MC_ISC_CONNECT_TO_SERVICE, 4,
                     [](CSCPMessage &m) { m.SetVariable(VAR_SERVICE_ID, 8u); }));
  EXPECT_EQ(RccOf(c, 4), ISC_RESULT_SERVICE_DISABLED);
  ASSERT_TRUE(c.send(MC_ISC_CONNECT_TO_SERVICE, 5,
                     [](CSCPMessage &m) { m.SetVariable(VAR_SERVICE_ID, 7u); }));
  EXPECT_EQ(RccOf(c, 5), ISC_RESULT_SUCCESS);
  // From now on everything is echoed with its fields.
  ASSERT_TRUE(c.send(0x1100, 6, [](CSCPMessage &m) { m.SetVariable(VAR_NUM_ARGS, 31u); }));
  std::unique_ptr<CSCPMessage> echo = Read(c);
  ASSERT_NE(echo, nullptr);
  EXPECT_EQ(echo->GetCode(), MC_REQUEST_COMPLETED);
  EXPECT_EQ(echo->GetId(), 6u);
  EXPECT_EQ(echo->GetVariableLong(VAR_RCC), ISC_RESULT_SUCCESS);
  EXPECT_EQ(echo->GetVariableLong(VAR_NUM_ARGS), 31u);
}

TEST(IscPeer, SkipsOversizedMalformedAndRawMessagesAndServesTheNext) {
  auto server = StartPeer(EchoPeer());
  RawPeer c(server->port());
  ASSERT_TRUE(c.ok());

  // A message 8 bytes larger than a session reads: skipped whole.
  const uint32_t tooLarge =
      static_cast<uint32_t>(KMCPEncryptedSize(kmisc::kMaxIscMessageSize)) + 8;
  const std::vector<uint8_t> big =
      WireHeader(MC_KEEPALIVE, tooLarge, 1, tooLarge - KMCP_HEADER_SIZE);
  ASSERT_TRUE(c.sendBytes(big));
  // A field of an unknown type: does not decode, goes unanswered.
  std::vector<uint8_t> bad = WireHeader(MC_KEEPALIVE, 32, 2, 16, 0, 1);
  bad[16 + 4] = 0x77;
  ASSERT_TRUE(c.sendBytes(bad));
  // Raw data: dropped.
  std::vector<uint8_t> raw = WireHeader(MC_FILE_DATA, 24, 3, 8, FLAG_RAW, 8);
  std::fill(raw.begin() + KMCP_HEADER_SIZE, raw.end(), 0xEE);
  ASSERT_TRUE(c.sendBytes(raw));

  ASSERT_TRUE(c.send(MC_KEEPALIVE, 4));
  EXPECT_EQ(RccOf(c, 4), ISC_RESULT_SUCCESS);
  EXPECT_EQ(RequestCodes(*server), std::vector<uint16_t>{MC_KEEPALIVE});
}

TEST(IscPeer, BrokenFramingEndsTheSession) {
  auto server = StartPeer(EchoPeer());
  RawPeer c(server->port());
  ASSERT_TRUE(c.ok());
  // A size below the header's own.
  ASSERT_TRUE(c.sendBytes(WireHeader(MC_KEEPALIVE, 8, 1)));
  bool closed = false;
  EXPECT_EQ(Read(c, &closed), nullptr);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(server->waitForSessionCount(0, 10000));
}

TEST(IscPeer, RefusesConnectionsBeyondMaxSessionsWithAReplyTheClientNames) {
  kmisc::IscConfig config = EchoPeer();
  config.maxSessions = 1;
  auto server = StartPeer(config);
  RawPeer first(server->port());
  ASSERT_TRUE(first.send(MC_KEEPALIVE, 1));
  ASSERT_EQ(RccOf(first, 1), ISC_RESULT_SUCCESS);
  RawPeer second(server->port());
  ASSERT_TRUE(second.ok());
  bool closed = false;
  second.send(MC_KEEPALIVE, 1);
  // The refusal stands where the version answer would.
  EXPECT_EQ(RccOf(second, KMCP_VERSION_REQUEST_ID), ISC_RESULT_PEER_BUSY);
  EXPECT_EQ(Read(second, &closed), nullptr);
  EXPECT_TRUE(closed);
  EXPECT_EQ(server->sessionCount(), 1u);
  TestIsc isc(kLoopbackNet, server->port());
  EXPECT_EQ(isc.Connect(7), ISC_RESULT_PEER_BUSY);
}

TEST(IscPeer, ASessionWithNoRequestServedEndsAtTheLoginDeadline) {
  kmisc::IscConfig config = EchoPeer();
  config.loginTimeoutMs = 200;
  auto server = StartPeer(config);
  RawPeer silent(server->port());
  EXPECT_TRUE(silent.waitForClose());
  RawPeer served(server->port());
  ASSERT_TRUE(served.send(MC_KEEPALIVE, 1));
  ASSERT_EQ(RccOf(served, 1), ISC_RESULT_SUCCESS);
  EXPECT_FALSE(served.waitForClose(500));
}

TEST(IscPeer, StopEndsSessionsAndRefusesASecondStart) {
  auto server = StartPeer(EchoPeer());
  TestIsc isc(kLoopbackNet, server->port());
  ASSERT_EQ(isc.Connect(7), ISC_RESULT_SUCCESS);
  server->stop();
  EXPECT_EQ(server->sessionCount(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return !isc.IsConnected(); }));
  std::string error;
  EXPECT_FALSE(server->start(&error));
  EXPECT_FALSE(error.empty());

  kmisc::IscConfig bad;
  bad.listenAddress = "localhost";
  kmisc::IscServer invalid(bad);
  EXPECT_FALSE(invalid.start(&error));
  EXPECT_NE(error.find("invalid listen address"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

bool Parse(std::vector<const char *> args, kmisc::IscdOptions *options, std::string *error) {
  args.insert(args.begin(), "kmiscd");
  return kmisc::ParseIscdCommandLine(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(IscdOptions, DefaultsListenOnLoopback4702WithoutServices) {
  kmisc::IscdOptions o;
  std::string error;
  ASSERT_TRUE(Parse({}, &o, &error));
  EXPECT_EQ(o.server.listenAddress, "127.0.0.1");
  EXPECT_EQ(o.server.listenPort, 4702);
  EXPECT_TRUE(o.server.echoServices.empty());
  EXPECT_FALSE(o.server.keepRecords);
  EXPECT_FALSE(o.foreground);
  EXPECT_EQ(o.server.reportVersion, 2);
}

TEST(IscdOptions, ReadsEveryOptionInBothForms) {
  kmisc::IscdOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--listen=127.0.0.2:0",
                     "--foreground",
                     "--pidfile",
                     "/tmp/x.pid",
                     "--require-encryption",
                     "--report-version",
                     "1",
                     "--service",
                     "7",
                     "--service=4294967295",
                     "--disabled-service",
                     "3",
                     "--never-answer",
                     "--close-after",
                     "2",
                     "--max-sessions",
                     "5",
                     "--idle-timeout",
                     "100",
                     "--tls-cert",
                     "/etc/kmiscd/peer.pem",
                     "--tls-key=/etc/kmiscd/peer.key",
                     "--tls-ca",
                     "/etc/kmiscd/ca.pem",
                     "--tls-require"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.server.listenAddress, "127.0.0.2");
  EXPECT_EQ(o.server.listenPort, 0);
  EXPECT_TRUE(o.foreground);
  EXPECT_EQ(o.pidFile, "/tmp/x.pid");
  EXPECT_TRUE(o.server.requireEncryption);
  EXPECT_EQ(o.server.reportVersion, 1);
  EXPECT_EQ(o.server.echoServices, (std::vector<uint32_t>{7, 4294967295u}));
  EXPECT_EQ(o.server.disabledServices, std::vector<uint32_t>{3});
  EXPECT_TRUE(o.server.neverAnswer);
  EXPECT_EQ(o.server.closeAfterAnswers, 2u);
  EXPECT_EQ(o.server.maxSessions, 5u);
  EXPECT_EQ(o.server.idleTimeoutMs, 100u);
}

TEST(IscdOptions, RefusesWhatDoesNotParse) {
  const std::vector<std::vector<const char *>> bad = {
      {"--listen", "127.0.0.1"},        {"--listen", "127.0.0.1:65536"},
      {"--listen", "host:80"},          {"--service", "4294967296"},
      {"--service", "-1"},              {"--service"},
      {"--report-version", "x"},        {"--foreground=yes"},
      {"--max-sessions", "0"},          {"--unknown"},
      {"--pidfile="},
  };
  for (const auto &args : bad) {
    kmisc::IscdOptions o;
    std::string error;
    EXPECT_FALSE(Parse(args, &o, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

// ---------------------------------------------------------------------------
// The program
// ---------------------------------------------------------------------------

TEST(KmiscdProgram, PrintsItsListeningLineWithTheRealPortAndServes) {
  kmtest::Process d(KMISCD_PATH, {"--foreground", "--listen", "127.0.0.1:0", "--service", "9",
                                  "--disabled-service", "10"});
  const std::string line = d.readLine();
  ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
  const uint16_t port = kmtest::ListeningPort(line);
  ASSERT_NE(port, 0);
  {
    TestIsc isc(kLoopbackNet, port);
    EXPECT_EQ(isc.Connect(9, TestKey(), true), ISC_RESULT_SUCCESS);
    TestIsc disabled(kLoopbackNet, port);
    EXPECT_EQ(disabled.Connect(10), ISC_RESULT_SERVICE_DISABLED);
    TestIsc unknown(kLoopbackNet, port);
    EXPECT_EQ(unknown.Connect(11), ISC_RESULT_UNKNOWN_SERVICE);
  }
  d.signal(SIGTERM);
  EXPECT_EQ(d.wait(), 0);
}

TEST(KmiscdProgram, DetachesWritesItsPidFileAndStopsOnSigterm) {
  kmtest::TempDir dir("kmiscd");
  const std::string pidFile = dir.file("kmiscd.pid");
  kmtest::Process parent(KMISCD_PATH, {"--listen", "127.0.0.1:0", "--pidfile", pidFile,
                                       "--report-version", "1", "--service", "9"});
  const std::string line = parent.readLine();
  ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
  EXPECT_EQ(parent.wait(), 0);  // the starting process returns at once

  pid_t daemon = 0;
  std::ifstream(pidFile) >> daemon;
  ASSERT_GT(daemon, 1);
  {
    TestIsc isc(kLoopbackNet, kmtest::ListeningPort(line));
    EXPECT_EQ(isc.Connect(9), ISC_RESULT_SUCCESS);
    EXPECT_EQ(isc.GetProtocolVersion(), 1);
  }
  ASSERT_EQ(::kill(daemon, SIGTERM), 0);
  // The daemon is not our child: its removed pid file tells it has stopped.
  EXPECT_TRUE(WaitUntil([&] { return ::access(pidFile.c_str(), F_OK) != 0; }));
}

TEST(KmiscdProgram, UsageErrorExitsWith2) {
  kmtest::Process d(KMISCD_PATH, {"--listen", "nowhere"});
  EXPECT_EQ(d.readLine(), "");
  EXPECT_EQ(d.wait(), 2);
}

// ---------------------------------------------------------------------------
// TLS
// ---------------------------------------------------------------------------

using IscPeerTls = kmtest::TlsClientFixture;

// A session inside TLS passes the encryption rule without a session key; a
// clear legacy session on the same port does not.
TEST_F(IscPeerTls, ATlsSessionPassesTheEncryptionRule) {
  kmisc::IscConfig config = EchoPeer();
  config.requireEncryption = true;
  config.tls.certFile = pki.server.cert;
  config.tls.keyFile = pki.server.key;
  auto server = StartPeer(config);
  std::unique_ptr<RawPeer> tls = tlsPeer(server->port());
  RawPeer legacy(server->port());
  ASSERT_TRUE(tls->send(MC_KEEPALIVE, 1));
  ASSERT_TRUE(legacy.send(MC_KEEPALIVE, 1));
  EXPECT_EQ(RccOf(*tls, 1), ISC_RESULT_SUCCESS);
  EXPECT_EQ(RccOf(legacy, 1), ISC_RESULT_ENCRYPTION_REQUIRED);
}

}  // namespace
}  // namespace isctest
