// The kmagentd program: its listening line, detaching, pid file, signals and
// usage errors. Runs the built binary (KMAGENTD_PATH).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "daemon.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"
#include "support/process.h"
#include "support/raw_peer.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"
#include "support/tls_client.h"
#include "support/wait.h"

namespace {

using kmtest::ListeningPort;
using kmtest::Process;
using kmtest::RawPeer;

// kmagentd with these arguments.
struct Kmagentd : Process {
  explicit Kmagentd(const std::vector<std::string> &args) : Process(KMAGENTD_PATH, args) {}
};

TEST(KmagentdProgramTest, PrintsTheListeningLineWithThePickedPortAndStopsOnSigterm) {
  Kmagentd child({"--foreground", "--listen", "127.0.0.1:0", "--secret", "s3cret"});
  ASSERT_GT(child.pid(), 0);
  const std::string line = child.readLine();
  const uint16_t port = ListeningPort(line);
  ASSERT_NE(port, 0) << "got: " << line;
  {
    RawPeer client(port);
    EXPECT_EQ(client.detectVersion(), KMCP_VERSION);
    EXPECT_EQ(client.keepalive(), RCC_AUTH_REQUIRED);
    EXPECT_EQ(client.loginClear(u"s3cret"), RCC_SUCCESS);
    EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
    // SIGTERM with the session open: it ends and so does the program.
    child.signal(SIGTERM);
    EXPECT_TRUE(client.waitForClose());
  }
  EXPECT_EQ(child.wait(), 0);
}

TEST(KmagentdProgramTest, DetachesOnceListeningAndRemovesItsPidFileOnSigint) {
  const kmtest::TempDir dir("kmagentd");
  const std::string pidFile = dir.file("agent.pid");
  const std::string logFile = dir.file("agent.log");
  Kmagentd child({"--listen=127.0.0.1:0", "--pidfile", pidFile, "--log", logFile});
  ASSERT_GT(child.pid(), 0);
  const uint16_t port = ListeningPort(child.readLine());
  EXPECT_EQ(child.wait(), 0);  // the parent returns once the agent listens
  ASSERT_NE(port, 0);

  pid_t agent = 0;
  std::ifstream(pidFile) >> agent;
  ASSERT_GT(agent, 0);
  EXPECT_NE(agent, child.pid());
  {
    RawPeer client(port);
    EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  }
  ASSERT_EQ(kill(agent, SIGINT), 0);
  const bool gone = kmtest::WaitUntil(
      [&] { return kmtest::ProcessGone(agent) && access(pidFile.c_str(), F_OK) != 0; },
      kmtest::kProgramWaitMs);
  EXPECT_TRUE(gone);
  const std::string logText = kmtest::ReadFile(logFile);
  EXPECT_NE(logText.find("stopping on SIGINT"), std::string::npos) << logText;
  EXPECT_EQ(std::remove(logFile.c_str()), 0);
}

TEST(KmagentdProgramTest, UsageAndStartErrorsExitWithoutListening) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char *expected;
  } cases[] = {
      {{"--listen", "nowhere"}, 2, "not ADDRESS:PORT"},
      {{"--frobnicate"}, 2, "unknown option"},
      {{"--foreground", "--listen", "127.0.0.1:0", "--secret", std::string(64, 's')},
       1,
       "longer than 63"},
      // Detached: the parent reports the child's failure.
      {{"--listen", "127.0.0.1:0", "--oversized-message-size", "16777217"}, 2, "not a number"},
      {{"--listen", "127.0.0.1:0", "--secret", std::string(64, 's')}, 1, "longer than 63"},
      {{"--tls-cert", "/nonexistent/agent.pem"}, 2, "--tls-cert without --tls-key"},
      {{"--foreground", "--listen", "127.0.0.1:0", "--tls-cert", "/nonexistent/agent.pem",
        "--tls-key", "/nonexistent/agent.key"},
       1,
       "/nonexistent/agent.pem"},
  };
  for (const Case &c : cases) {
    Kmagentd child(c.args);
    ASSERT_GT(child.pid(), 0);
    EXPECT_EQ(child.wait(), c.status) << c.expected;
    const std::string err = child.readLine(1000, Process::kErr);
    EXPECT_NE(err.find(c.expected), std::string::npos) << err;
    EXPECT_EQ(child.readLine(0), "");
  }
}

}  // namespace

namespace {

// The program's own defaults: configured parameters and actions, and
// periodic traps only for the session that asked for them.
TEST(KmagentdProgramTest, ServesConfiguredDataAndSendsPeriodicTrapsToSessionsThatAsked) {
  Kmagentd child({"--foreground", "--listen", "127.0.0.1:0", "--parameter", "Site.Room:B 12",
                  "--action", "ok:/bin/true", "--trap-interval-ms", "50"});
  ASSERT_GT(child.pid(), 0);
  const uint16_t port = ListeningPort(child.readLine());
  ASSERT_NE(port, 0);
  {
    RawPeer quiet(port);
    RawPeer wants(port);
    EXPECT_EQ(quiet.keepalive(), RCC_SUCCESS);
    EXPECT_EQ(wants.request(MC_ENABLE_TRAPS), RCC_SUCCESS);
    std::unique_ptr<CSCPMessage> msg;
    ASSERT_GT(wants.receive(&msg), KMCP_RECV_TIMEOUT);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->GetCode(), MC_TRAP);
    char16_t text[64];
    ASSERT_NE(msg->GetVariableStr(VAR_VALUE, text, 64), nullptr);
    EXPECT_EQ(KmWideToUtf8(text).rfind("kmagentd periodic trap ", 0), 0u);

    CSCPMessage get;
    get.SetCode(MC_GET_PARAMETER);
    get.SetId(quiet.nextId());
    get.SetVariable(VAR_PARAMETER, u"site.room");
    ASSERT_TRUE(quiet.send(get));
    // The quiet session's next message is its answer: no trap came first.
    ASSERT_GT(quiet.receive(&msg), KMCP_RECV_TIMEOUT);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->GetCode(), MC_REQUEST_COMPLETED);
    ASSERT_EQ(msg->GetVariableLong(VAR_RCC), RCC_SUCCESS);
    ASSERT_NE(msg->GetVariableStr(VAR_VALUE, text, 64), nullptr);
    EXPECT_EQ(std::u16string(text), u"B 12");
    EXPECT_EQ(quiet.request(MC_EXEC_ACTION, [](CSCPMessage &m) {
      m.SetVariable(VAR_ACTION_NAME, u"ok");
      m.SetVariable(VAR_NUM_ARGS, 0u);
    }), RCC_SUCCESS);
  }
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(), 0);
}

// A peer that asked for traps and stopped reading while a download to it
// was under way: its session's sends wait (here up to a minute), and with
// them every trap that must pass the session. SIGTERM must stop the agent
// all the same.
TEST(KmagentdProgramTest, SigtermStopsTheAgentWhileATrapReceiverStalls) {
  const kmtest::TempDir dir("kmagentd");
  dir.write("big.bin", std::string(std::size_t{32} << 20, 'b'));
  Kmagentd child({"--foreground", "--listen", "127.0.0.1:0", "--files", dir.path,
                  "--trap-interval-ms", "10", "--send-timeout-ms", "60000"});
  ASSERT_GT(child.pid(), 0);
  const uint16_t port = ListeningPort(child.readLine());
  ASSERT_NE(port, 0);
  RawPeer stalled(port);
  ASSERT_EQ(stalled.request(MC_ENABLE_TRAPS), RCC_SUCCESS);
  ASSERT_TRUE(stalled.send(MC_AGENT_DOWNLOAD_FILE, stalled.nextId(),
                           [](CSCPMessage &m) { m.SetVariable(VAR_FILE_NAME, u"big.bin"); }));
  // Time for the download to fill what the sockets hold, and for a trap to
  // wait behind it; the test holds without it, it only tries harder.
  usleep(1000 * 1000);
  child.signal(SIGTERM);
  EXPECT_TRUE(kmtest::WaitUntil([&] { return kmtest::ProcessGone(child.pid()); }, 5000));
  EXPECT_EQ(child.wait(), 0);
}

// Links planted where the pid file and the log go must not make the agent
// write through them: the pid file replaces its link (written whole, mode
// 0600) and goes at the stop; a log path that is a link stops the start.
TEST(KmagentdProgramTest, PidFileAndLogNeverWriteThroughALink) {
  const kmtest::TempDir dir("kmagentd");
  const std::string victim = dir.write("victim", "precious\n");
  const std::string pidFile = dir.file("agent.pid");
  const std::string logFile = dir.file("agent.log");
  ASSERT_EQ(::symlink(victim.c_str(), pidFile.c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), logFile.c_str()), 0);
  {
    Kmagentd child({"--foreground", "--listen", "127.0.0.1:0", "--log", logFile});
    EXPECT_EQ(child.wait(), 2);
    EXPECT_NE(child.err().find("cannot open log"), std::string::npos) << child.err();
  }
  Kmagentd child({"--foreground", "--listen", "127.0.0.1:0", "--pidfile", pidFile});
  ASSERT_NE(ListeningPort(child.readLine()), 0);
  struct stat st;
  ASSERT_EQ(::lstat(pidFile.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(kmtest::ReadFile(pidFile), std::to_string(child.pid()) + "\n");
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(), 0);
  EXPECT_NE(::access(pidFile.c_str(), F_OK), 0);
  EXPECT_EQ(kmtest::ReadFile(victim), "precious\n");
  EXPECT_EQ(dir.names().size(), 2u);  // the victim and the log's link: no temporary left
}

// A log with a size limit moves a full file aside and goes on in a new one:
// a peer that makes the agent log cannot fill the disk.
TEST(DaemonLogTest, FullLogIsMovedAsideAndStartsAnew) {
  const kmtest::TempDir dir("kmagentd");
  const std::string path = dir.file("agent.log");
  {
    kmpeer::DaemonLog log;
    ASSERT_TRUE(log.openFile(path, 400));
    for (int i = 0; i < 100; ++i) log.line(kmpeer::LogLevel::Info, "line " + std::to_string(i));
  }
  const std::string now = kmtest::ReadFile(path), before = kmtest::ReadFile(path + ".1");
  EXPECT_LE(now.size(), 400u);
  EXPECT_LE(before.size(), 400u);
  EXPECT_GT(before.size(), 300u);
  EXPECT_NE(now.find("line 99\n"), std::string::npos);
  EXPECT_EQ(dir.names().size(), 2u);
}

// Settings that leave the agent open are named at the start: a secret in a
// file every user may read, a listener beyond loopback without a secret
// (a test address no interface has, so nothing is bound beyond loopback).
TEST(KmagentdProgramTest, WarnsOfAReadableSecretAndAnOpenListener) {
  const kmtest::TempDir dir("kmagentd");
  const std::string config = dir.write("agent.conf", "secret = s3cret\n");
  ASSERT_EQ(::chmod(config.c_str(), 0644), 0);
  Kmagentd readable({"--foreground", "--listen", "127.0.0.1:0", "--config", config});
  ASSERT_NE(ListeningPort(readable.readLine()), 0);
  EXPECT_NE(readable.readLine(kmtest::kProgramWaitMs, Process::kErr).find("holds the secret"),
            std::string::npos);
  readable.signal(SIGTERM);
  EXPECT_EQ(readable.wait(), 0);

  Kmagentd open({"--foreground", "--listen", "192.0.2.1:0"});
  EXPECT_EQ(open.wait(), 1);
  EXPECT_NE(open.err().find("beyond loopback without a secret"), std::string::npos) << open.err();
}

}  // namespace

namespace {

// SIGHUP reads the TLS files again: a session that starts afterwards sees
// the new certificate, one that runs keeps its own, and a reload that fails
// keeps the certificate in force.
TEST(KmagentdProgramTest, SighupReloadsTheTlsFilesForNewSessionsOnly) {
  const kmtest::TempDir dir("kmagentd");
  const kmtest::TestPki pki(dir.path);
  ASSERT_TRUE(pki.ok()) << pki.error();
  const std::string cert = dir.write("live.pem", kmtest::ReadFile(pki.server.cert));
  const std::string key = dir.write("live.key", kmtest::ReadFile(pki.server.key));
  const std::string logFile = dir.file("agent.log");
  Kmagentd child({"--foreground", "--listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key,
                  "--log", logFile});
  ASSERT_GT(child.pid(), 0);
  const uint16_t port = ListeningPort(child.readLine());
  ASSERT_NE(port, 0);
  // Clients that trust only the first certificate, or only the second.
  auto pinned = [](const std::string &fingerprint) {
    KmTlsClientSettings s;
    s.fingerprint = fingerprint;
    return KmTlsMakeClientContext(s, nullptr);
  };
  const KmTlsContextRef first = pinned(pki.server.fingerprint);
  const KmTlsContextRef second = pinned(pki.client.fingerprint);
  ASSERT_TRUE(first && second);

  RawPeer established;
  ASSERT_EQ(kmtest::ConnectTls(port, first, established), KmTlsFailure::None);
  EXPECT_EQ(established.keepalive(), RCC_SUCCESS);

  ASSERT_TRUE(kmtest::WriteFile(cert, kmtest::ReadFile(pki.client.cert)));
  ASSERT_TRUE(kmtest::WriteFile(key, kmtest::ReadFile(pki.client.key)));
  ASSERT_TRUE(child.signal(SIGHUP));
  EXPECT_TRUE(kmtest::WaitUntil(
      [&] {
        RawPeer probe;
        return kmtest::ConnectTls(port, second, probe) == KmTlsFailure::None;
      },
      kmtest::kProgramWaitMs));
  RawPeer stale;
  EXPECT_EQ(kmtest::ConnectTls(port, first, stale), KmTlsFailure::FingerprintMismatch);
  EXPECT_EQ(established.keepalive(), RCC_SUCCESS);

  ASSERT_TRUE(kmtest::WriteFile(key, "not a key\n"));
  ASSERT_TRUE(child.signal(SIGHUP));
  EXPECT_TRUE(kmtest::WaitUntil(
      [&] { return kmtest::ReadFile(logFile).find("TLS reload failed") != std::string::npos; },
      kmtest::kProgramWaitMs));
  RawPeer after;
  ASSERT_EQ(kmtest::ConnectTls(port, second, after), KmTlsFailure::None);
  EXPECT_EQ(after.keepalive(), RCC_SUCCESS);
  EXPECT_EQ(established.keepalive(), RCC_SUCCESS);

  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(), 0);
}

}  // namespace
