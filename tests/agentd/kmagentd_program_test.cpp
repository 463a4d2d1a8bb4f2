// The kmagentd program: its listening line, detaching, pid file, signals and
// usage errors. Runs the built binary (KMAGENTD_PATH).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kmsrv/result_codes.h"
#include "raw_client.h"

extern char **environ;

namespace {

using agentdtest::RawClient;

struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's standard output
  int err = -1;  // the child's standard error
};

Child Spawn(std::vector<std::string> args) {
  args.insert(args.begin(), KMAGENTD_PATH);
  std::vector<char *> argv;
  argv.reserve(args.size() + 1);
  for (std::string &a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  int out[2], err[2];
  Child child;
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return child;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  if (posix_spawn(&child.pid, KMAGENTD_PATH, &actions, nullptr, argv.data(), environ) != 0) {
    child.pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  child.out = out[0];
  child.err = err[0];
  return child;
}

// Reads from fd until a newline or end of file, waiting at most timeoutMs.
std::string ReadLine(int fd, int timeoutMs = 20000) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (line.find('\n') == std::string::npos && line.size() < 4096) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    char c;
    if (read(fd, &c, 1) != 1) {
      break;
    }
    line += c;
  }
  return line;
}

// Waits for the child to exit; its status, or -1 when it did not within
// the time (it is then killed).
int WaitExit(pid_t pid, int timeoutMs = 20000) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// The process is gone, or a zombie its new parent has not reaped yet.
bool Ended(pid_t pid) {
  if (kill(pid, 0) != 0) {
    return true;
  }
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z';
}

// The port of an exact "listening on 127.0.0.1:PORT\n" line, else 0.
uint16_t PortOf(const std::string &line) {
  const std::string prefix = "listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 2 || line.back() != '\n') {
    return 0;
  }
  const std::string digits = line.substr(prefix.size(), line.size() - prefix.size() - 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  const int port = std::stoi(digits);
  return port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

TEST(KmagentdProgramTest, PrintsTheListeningLineWithThePickedPortAndStopsOnSigterm) {
  Child child = Spawn({"--foreground", "--listen", "127.0.0.1:0", "--secret", "s3cret"});
  ASSERT_GT(child.pid, 0);
  const std::string line = ReadLine(child.out);
  const uint16_t port = PortOf(line);
  ASSERT_NE(port, 0) << "got: " << line;
  {
    RawClient client(port);
    EXPECT_EQ(client.detectVersion(), KMCP_VERSION);
    EXPECT_EQ(client.keepalive(), RCC_AUTH_REQUIRED);
    EXPECT_EQ(client.loginClear(u"s3cret"), RCC_SUCCESS);
    EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
    // SIGTERM with the session open: it ends and so does the program.
    kill(child.pid, SIGTERM);
    EXPECT_TRUE(client.waitForClose());
  }
  EXPECT_EQ(WaitExit(child.pid), 0);
  close(child.out);
  close(child.err);
}

TEST(KmagentdProgramTest, DetachesOnceListeningAndRemovesItsPidFileOnSigint) {
  char dir[] = "/tmp/kmagentd-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string pidFile = std::string(dir) + "/agent.pid";
  const std::string logFile = std::string(dir) + "/agent.log";
  Child child = Spawn({"--listen=127.0.0.1:0", "--pidfile", pidFile, "--log", logFile});
  ASSERT_GT(child.pid, 0);
  const uint16_t port = PortOf(ReadLine(child.out));
  EXPECT_EQ(WaitExit(child.pid), 0);  // the parent returns once the agent listens
  ASSERT_NE(port, 0);

  pid_t agent = 0;
  std::ifstream(pidFile) >> agent;
  ASSERT_GT(agent, 0);
  EXPECT_NE(agent, child.pid);
  {
    RawClient client(port);
    EXPECT_EQ(client.keepalive(), RCC_SUCCESS);
  }
  ASSERT_EQ(kill(agent, SIGINT), 0);
  bool gone = false;
  for (int i = 0; i < 1000 && !gone; ++i) {
    gone = Ended(agent) && access(pidFile.c_str(), F_OK) != 0;
    if (!gone) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  EXPECT_TRUE(gone);
  std::ifstream log(logFile);
  const std::string logText((std::istreambuf_iterator<char>(log)),
                            std::istreambuf_iterator<char>());
  EXPECT_NE(logText.find("stopping on SIGINT"), std::string::npos) << logText;
  EXPECT_EQ(std::remove(logFile.c_str()), 0);
  rmdir(dir);
  close(child.out);
  close(child.err);
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
  };
  for (const Case &c : cases) {
    Child child = Spawn(c.args);
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(WaitExit(child.pid), c.status) << c.expected;
    const std::string err = ReadLine(child.err, 1000);
    EXPECT_NE(err.find(c.expected), std::string::npos) << err;
    EXPECT_EQ(ReadLine(child.out, 0), "");
    close(child.out);
    close(child.err);
  }
}

}  // namespace

namespace {

// The program's own defaults: configured parameters and actions, and
// periodic traps only for the session that asked for them.
TEST(KmagentdProgramTest, ServesConfiguredDataAndSendsPeriodicTrapsToSessionsThatAsked) {
  Child child = Spawn({"--foreground", "--listen", "127.0.0.1:0", "--parameter", "Site.Room:B 12",
                       "--action", "ok:/bin/true", "--trap-interval-ms", "50"});
  ASSERT_GT(child.pid, 0);
  const uint16_t port = PortOf(ReadLine(child.out));
  ASSERT_NE(port, 0);
  {
    RawClient quiet(port);
    RawClient wants(port);
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
  kill(child.pid, SIGTERM);
  EXPECT_EQ(WaitExit(child.pid), 0);
  close(child.out);
  close(child.err);
}

}  // namespace
