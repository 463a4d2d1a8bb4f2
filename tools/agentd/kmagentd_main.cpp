// kmagentd: the reference monitoring agent. Parses its settings, detaches
// unless told to stay in the foreground, runs an AgentServer and stops it on
// SIGTERM or SIGINT. Usage and settings: docs/agentd.md.
//
// Exit status: 0 after a clean stop (or --help), 1 when the agent cannot
// start, 2 for a usage or configuration error.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "agent_server.h"
#include "agentd_options.h"
#include "error_text.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"

namespace {

using kmagent::AgentdOptions;
using kmagent::ErrorText;
using kmagent::LogLevel;

bool WriteAll(int fd, const std::string &text);

// Where diagnostic lines go (-1: nowhere). Each line is one write(), so the
// lines of different threads never mix.
int g_logFd = -1;

void LogLine(LogLevel level, const std::string &text) {
  if (g_logFd < 0) {
    return;
  }
  char stamp[32];
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  if (strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local) == 0) {
    stamp[0] = '\0';
  }
  const char *name = level == LogLevel::Error  ? "ERROR"
                     : level == LogLevel::Info ? "INFO "
                                               : "DEBUG";
  WriteAll(g_logFd, std::string(stamp) + " " + name + " " + text + "\n");
}

bool WriteAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reports a failure before the agent runs: to the waiting parent when
// detaching, else to standard error.
int Fail(int reportFd, const std::string &text, int status) {
  const std::string line = "kmagentd: " + text + "\n";
  if (reportFd >= 0) {
    WriteAll(reportFd, line);
  } else {
    WriteAll(STDERR_FILENO, line);
  }
  LogLine(LogLevel::Error, text);
  return status;
}

std::string Absolute(const std::string &path) {
  if (path.empty() || path.front() == '/') {
    return path;
  }
  char cwd[4096];
  if (::getcwd(cwd, sizeof(cwd)) == nullptr) {
    return path;
  }
  return std::string(cwd) + "/" + path;
}

// The parent of a detaching agent: waits for the child's first words (the
// listening line or an error), passes them on and exits with them.
int AwaitChild(int readFd, pid_t child) {
  std::string text;
  char buf[512];
  for (;;) {
    ssize_t n = ::read(readFd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > 8192) {
      break;
    }
  }
  ::close(readFd);
  int status = 0;
  ::waitpid(child, &status, 0);  // the intermediate child, which exits at once
  if (text.rfind("listening on ", 0) == 0) {
    WriteAll(STDOUT_FILENO, text);
    return 0;
  }
  WriteAll(STDERR_FILENO, text.empty() ? "kmagentd: the agent ended before it listened\n" : text);
  return 1;
}

void RedirectToNull() {
  int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  ::dup2(fd, STDIN_FILENO);
  ::dup2(fd, STDOUT_FILENO);
  ::dup2(fd, STDERR_FILENO);
  if (fd > STDERR_FILENO) {
    ::close(fd);
  }
}

// The trap of --trap-interval: id 0, VAR_VALUE "kmagentd periodic trap N".
void SendPeriodicTrap(kmagent::AgentServer &server, uint64_t number) {
  CSCPMessage trap;
  trap.SetId(0);
  trap.SetVariable(VAR_VALUE,
                   KmUtf8ToWide("kmagentd periodic trap " + std::to_string(number)).c_str());
  const size_t sessions = server.sendTrap(trap);
  LogLine(LogLevel::Debug, "periodic trap " + std::to_string(number) + " sent to " +
                               std::to_string(sessions) + " session(s)");
}

}  // namespace

int main(int argc, char **argv) {
  AgentdOptions options;
  std::string error;
  if (!kmagent::ParseAgentdCommandLine(argc, argv, &options, &error)) {
    WriteAll(STDERR_FILENO, "kmagentd: " + error + "\n(kmagentd --help lists the options)\n");
    return 2;
  }
  if (options.help) {
    WriteAll(STDOUT_FILENO, kmagent::AgentdUsage());
    return 0;
  }
  if (!options.codePage.empty() && !KmSetCodePage(options.codePage.c_str())) {
    WriteAll(STDERR_FILENO, "kmagentd: unknown code page \"" + options.codePage + "\"\n");
    return 2;
  }
  if (!options.logFile.empty()) {
    g_logFd = ::open(options.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (g_logFd < 0) {
      WriteAll(STDERR_FILENO,
               "kmagentd: cannot open log " + options.logFile + ": " + ErrorText(errno) + "\n");
      return 2;
    }
  } else if (options.foreground) {
    g_logFd = STDERR_FILENO;
  }
  const std::string pidFile = Absolute(options.pidFile);
  // A detached agent works in "/": every path it uses later is made
  // absolute while the caller's directory is still known.
  options.agent.filesDir = Absolute(options.agent.filesDir);
  options.agent.servedConfig = Absolute(options.agent.servedConfig);
  options.agent.policiesDir = Absolute(options.agent.policiesDir);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);

  int reportFd = -1;
  if (!options.foreground) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return Fail(-1, "pipe: " + ErrorText(errno), 1);
    }
    const pid_t child = ::fork();
    if (child < 0) {
      return Fail(-1, "fork: " + ErrorText(errno), 1);
    }
    if (child > 0) {
      ::close(fds[1]);
      return AwaitChild(fds[0], child);
    }
    ::close(fds[0]);
    ::setsid();
    // A second fork: the agent is no session leader, so it can never get a
    // controlling terminal back.
    const pid_t agent = ::fork();
    if (agent < 0) {
      _exit(Fail(fds[1], "fork: " + ErrorText(errno), 1));
    }
    if (agent > 0) {
      _exit(0);
    }
    reportFd = fds[1];
    if (::chdir("/") != 0) {
      // Nothing depends on the working directory any more.
    }
  }

  // Signals are taken by sigwait below; every thread started from here on
  // inherits the blocked set.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  options.agent.log = LogLine;
  kmagent::AgentServer server(options.agent);
  // The server keeps its own copy.
  if (!options.agent.secret.empty()) {
    OPENSSL_cleanse(options.agent.secret.data(), options.agent.secret.size());
  }
  if (!server.start(&error)) {
    return Fail(reportFd, error, 1);
  }
  if (!pidFile.empty()) {
    const int fd = ::open(pidFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool written = fd >= 0 && WriteAll(fd, std::to_string(::getpid()) + "\n");
    const int err = errno;
    written = fd >= 0 && ::close(fd) == 0 && written;
    if (!written) {
      server.stop();
      return Fail(reportFd, "cannot write " + pidFile + ": " + ErrorText(err), 1);
    }
  }

  const std::string line =
      "listening on " + options.agent.listenAddress + ":" + std::to_string(server.port()) + "\n";
  if (reportFd >= 0) {
    WriteAll(reportFd, line);
    ::close(reportFd);
    RedirectToNull();
  } else {
    WriteAll(STDOUT_FILENO, line);
  }

  uint64_t trapsSent = 0;
  for (;;) {
    int sig = 0;
    if (options.trapIntervalMs != 0) {
      timespec wait{static_cast<time_t>(options.trapIntervalMs / 1000),
                    static_cast<long>(options.trapIntervalMs % 1000) * 1000000L};
      sig = sigtimedwait(&stopSignals, nullptr, &wait);
      if (sig < 0) {
        if (errno == EAGAIN) {
          SendPeriodicTrap(server, ++trapsSent);
        }
        continue;
      }
    } else if (sigwait(&stopSignals, &sig) != 0) {
      continue;
    }
    if (sig == SIGHUP) {
      LogLine(LogLevel::Info, "SIGHUP ignored");
      continue;
    }
    LogLine(LogLevel::Info, std::string("stopping on ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT"));
    break;
  }
  server.stop();
  if (!pidFile.empty()) {
    ::unlink(pidFile.c_str());
  }
  if (g_logFd > STDERR_FILENO) {
    ::close(g_logFd);
  }
  return 0;
}
