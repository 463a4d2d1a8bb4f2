// The reference ISC peer itself: its answers to raw, hostile or early
// input, its command line, and the kmiscd program.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "isc_test_support.h"
#include "iscd_options.h"
#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/net.h"
#include "kmsrv/protocol.h"

namespace isctest {
namespace {

// A plain TCP client that writes bytes and reads whole clear messages.
class RawClient {
 public:
  explicit RawClient(uint16_t port) : sock_(KmSocketOpenTcp()) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = kLoopbackNet;
    sa.sin_port = htons(port);
    connected_ = ConnectEx(sock_, reinterpret_cast<sockaddr *>(&sa), sizeof(sa), 5000) == 0;
    RecvKMCPMessage(INVALID_SOCKET, nullptr, &state_, 0, nullptr, nullptr, 0);
  }
  ~RawClient() { KmSocketClose(sock_); }
  bool connected() const { return connected_; }

  bool write(const void *data, size_t size) {
    return SendEx(sock_, data, size, 0, nullptr) == static_cast<int>(size);
  }
  bool send(uint16_t code, uint32_t id, const std::function<void(CSCPMessage &)> &fill = {}) {
    CSCPMessage msg;
    msg.SetCode(code);
    msg.SetId(id);
    if (fill) fill(msg);
    KMCP_MESSAGE *wire = msg.CreateMessage();
    const bool ok = write(wire, ntohl(wire->size));
    std::free(wire);
    return ok;
  }
  // The next message, or null when none came within 5 s or the peer closed
  // (*closed tells which).
  std::unique_ptr<CSCPMessage> read(bool *closed = nullptr) {
    const int r = RecvKMCPMessage(sock_, reinterpret_cast<KMCP_MESSAGE *>(buffer_.data()), &state_,
                                  static_cast<uint32_t>(buffer_.size()), nullptr, nullptr, 5000);
    if (closed != nullptr) *closed = r <= 0;
    if (r <= 3) return nullptr;
    return CSCPMessage::decode(std::span<const uint8_t>(buffer_.data(), static_cast<size_t>(r)),
                               KMCP_VERSION);
  }
  // The VAR_RCC of the next message when it completes request `id`, else
  // 0xFFFFFFFF.
  uint32_t rccOf(uint32_t id) {
    std::unique_ptr<CSCPMessage> reply = read();
    if (reply == nullptr || reply->GetCode() != MC_REQUEST_COMPLETED || reply->GetId() != id)
      return 0xFFFFFFFF;
    return reply->GetVariableLong(VAR_RCC);
  }

 private:
  SOCKET sock_;
  bool connected_ = false;
  CSCP_BUFFER state_{};
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(65536);
};

uint8_t *Header(std::vector<uint8_t> &bytes, uint16_t code, uint16_t flags, uint32_t size,
                uint32_t id, uint32_t count) {
  bytes.resize(std::max<size_t>(bytes.size(), 16));
  const uint16_t c = htons(code), f = htons(flags);
  const uint32_t s = htonl(size), i = htonl(id), n = htonl(count);
  std::memcpy(bytes.data(), &c, 2);
  std::memcpy(bytes.data() + 2, &f, 2);
  std::memcpy(bytes.data() + 4, &s, 4);
  std::memcpy(bytes.data() + 8, &i, 4);
  std::memcpy(bytes.data() + 12, &n, 4);
  return bytes.data();
}

// ---------------------------------------------------------------------------
// Requests and hostile input
// ---------------------------------------------------------------------------

TEST(IscPeer, AnswersServiceRequestsByTheirConfiguration) {
  kmisc::IscConfig config = EchoPeer(7);
  config.disabledServices = {8};
  auto server = StartPeer(config);
  RawClient c(server->port());
  ASSERT_TRUE(c.connected());
  // Before a service is connected, service traffic is out of state.
  ASSERT_TRUE(c.send(0x1100, 1));
  EXPECT_EQ(c.rccOf(1), ISC_RESULT_REQUEST_OUT_OF_STATE);
  ASSERT_TRUE(c.send(MC_ISC_CONNECT_TO_SERVICE, 2));  // no service id at all
  EXPECT_EQ(c.rccOf(2), ISC_RESULT_UNKNOWN_SERVICE);
  ASSERT_TRUE(c.send(MC_ISC_CONNECT_TO_SERVICE, 3,
                     [](CSCPMessage &m) { m.SetVariable(VAR_SERVICE_ID, u"7"); }));  // wrong type
  EXPECT_EQ(c.rccOf(3), ISC_RESULT_UNKNOWN_SERVICE);
  ASSERT_TRUE(c.send(MC_ISC_CONNECT_TO_SERVICE, 4,
                     [](CSCPMessage &m) { m.SetVariable(VAR_SERVICE_ID, 8u); }));
  EXPECT_EQ(c.rccOf(4), ISC_RESULT_SERVICE_DISABLED);
  ASSERT_TRUE(c.send(MC_ISC_CONNECT_TO_SERVICE, 5,
                     [](CSCPMessage &m) { m.SetVariable(VAR_SERVICE_ID, 7u); }));
  EXPECT_EQ(c.rccOf(5), ISC_RESULT_SUCCESS);
  // From now on everything is echoed with its fields.
  ASSERT_TRUE(c.send(0x1100, 6, [](CSCPMessage &m) { m.SetVariable(VAR_NUM_ARGS, 31u); }));
  std::unique_ptr<CSCPMessage> echo = c.read();
  ASSERT_NE(echo, nullptr);
  EXPECT_EQ(echo->GetCode(), MC_REQUEST_COMPLETED);
  EXPECT_EQ(echo->GetId(), 6u);
  EXPECT_EQ(echo->GetVariableLong(VAR_RCC), ISC_RESULT_SUCCESS);
  EXPECT_EQ(echo->GetVariableLong(VAR_NUM_ARGS), 31u);
}

TEST(IscPeer, SkipsOversizedMalformedAndRawMessagesAndServesTheNext) {
  auto server = StartPeer(EchoPeer());
  RawClient c(server->port());
  ASSERT_TRUE(c.connected());

  // A message 8 bytes larger than a session reads: skipped whole.
  const uint32_t tooLarge =
      static_cast<uint32_t>(KMCPEncryptedSize(kmisc::kMaxIscMessageSize)) + 8;
  std::vector<uint8_t> big(tooLarge, 0);
  Header(big, MC_KEEPALIVE, 0, tooLarge, 1, 0);
  ASSERT_TRUE(c.write(big.data(), big.size()));
  // A field of an unknown type: does not decode, goes unanswered.
  std::vector<uint8_t> bad(32, 0);
  Header(bad, MC_KEEPALIVE, 0, 32, 2, 1);
  bad[16 + 4] = 0x77;
  ASSERT_TRUE(c.write(bad.data(), bad.size()));
  // Raw data: dropped.
  std::vector<uint8_t> raw(24, 0xEE);
  Header(raw, MC_FILE_DATA, FLAG_RAW, 24, 3, 8);
  ASSERT_TRUE(c.write(raw.data(), raw.size()));

  ASSERT_TRUE(c.send(MC_KEEPALIVE, 4));
  EXPECT_EQ(c.rccOf(4), ISC_RESULT_SUCCESS);
  EXPECT_EQ(RequestCodes(*server), std::vector<uint16_t>{MC_KEEPALIVE});
}

TEST(IscPeer, BrokenFramingEndsTheSession) {
  auto server = StartPeer(EchoPeer());
  RawClient c(server->port());
  ASSERT_TRUE(c.connected());
  std::vector<uint8_t> bytes(16, 0);
  Header(bytes, MC_KEEPALIVE, 0, 8, 1, 0);  // a size below the header's own
  ASSERT_TRUE(c.write(bytes.data(), bytes.size()));
  bool closed = false;
  EXPECT_EQ(c.read(&closed), nullptr);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(server->waitForSessionCount(0, 10000));
}

TEST(IscPeer, RefusesConnectionsBeyondMaxSessions) {
  kmisc::IscConfig config = EchoPeer();
  config.maxSessions = 1;
  auto server = StartPeer(config);
  RawClient first(server->port());
  ASSERT_TRUE(first.send(MC_KEEPALIVE, 1));
  ASSERT_EQ(first.rccOf(1), ISC_RESULT_SUCCESS);
  RawClient second(server->port());
  ASSERT_TRUE(second.connected());
  bool closed = false;
  second.send(MC_KEEPALIVE, 1);
  EXPECT_EQ(second.read(&closed), nullptr);
  EXPECT_TRUE(closed);
  EXPECT_EQ(server->sessionCount(), 1u);
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
  ASSERT_TRUE(Parse({"--listen=127.0.0.2:0", "--foreground", "--pidfile", "/tmp/x.pid",
                     "--require-encryption", "--report-version", "1", "--service", "7",
                     "--service=4294967295", "--disabled-service", "3", "--never-answer",
                     "--close-after", "2", "--max-sessions", "5", "--idle-timeout", "100"},
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

// A kmiscd child with its standard output on a pipe.
class Daemon {
 public:
  explicit Daemon(std::vector<std::string> args) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::close(fds[0]);
      ::close(fds[1]);
      std::vector<char *> argv;
      static std::string path = KMISCD_PATH;
      argv.push_back(path.data());
      for (std::string &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(path.c_str(), argv.data());
      _exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Daemon() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  // The first line of its output (at most 512 bytes, bounded by its exit).
  std::string firstLine() {
    std::string line;
    char ch;
    while (line.size() < 512 && ::read(out_, &ch, 1) == 1 && ch != '\n') line.push_back(ch);
    return line;
  }
  // Exit status after SIGTERM (or after it ended on its own), -1 if killed.
  int stop(bool terminate = true) {
    if (terminate) ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
};

uint16_t PortOf(const std::string &line) {
  const size_t colon = line.rfind(':');
  return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(line.c_str() + colon + 1));
}

TEST(KmiscdProgram, PrintsItsListeningLineWithTheRealPortAndServes) {
  Daemon d({"--foreground", "--listen", "127.0.0.1:0", "--service", "9", "--disabled-service",
            "10"});
  const std::string line = d.firstLine();
  ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
  const uint16_t port = PortOf(line);
  ASSERT_NE(port, 0);
  {
    TestIsc isc(kLoopbackNet, port);
    EXPECT_EQ(isc.Connect(9, TestKey(), true), ISC_RESULT_SUCCESS);
    TestIsc disabled(kLoopbackNet, port);
    EXPECT_EQ(disabled.Connect(10), ISC_RESULT_SERVICE_DISABLED);
    TestIsc unknown(kLoopbackNet, port);
    EXPECT_EQ(unknown.Connect(11), ISC_RESULT_UNKNOWN_SERVICE);
  }
  EXPECT_EQ(d.stop(), 0);
}

TEST(KmiscdProgram, DetachesWritesItsPidFileAndStopsOnSigterm) {
  char dir[] = "/tmp/kmiscd_test_XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string pidFile = std::string(dir) + "/kmiscd.pid";
  Daemon parent({"--listen", "127.0.0.1:0", "--pidfile", pidFile, "--report-version", "1",
                 "--service", "9"});
  const std::string line = parent.firstLine();
  ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
  EXPECT_EQ(parent.stop(false), 0);  // the starting process returns at once

  pid_t daemon = 0;
  std::ifstream(pidFile) >> daemon;
  ASSERT_GT(daemon, 1);
  {
    TestIsc isc(kLoopbackNet, PortOf(line));
    EXPECT_EQ(isc.Connect(9), ISC_RESULT_SUCCESS);
    EXPECT_EQ(isc.GetProtocolVersion(), 1);
  }
  ASSERT_EQ(::kill(daemon, SIGTERM), 0);
  // The daemon is not our child: its removed pid file tells it has stopped.
  EXPECT_TRUE(WaitUntil([&] { return ::access(pidFile.c_str(), F_OK) != 0; }));
  ::rmdir(dir);
}

TEST(KmiscdProgram, UsageErrorExitsWith2) {
  Daemon d({"--listen", "nowhere"});
  EXPECT_EQ(d.firstLine(), "");
  EXPECT_EQ(d.stop(false), 2);
}

}  // namespace
}  // namespace isctest
