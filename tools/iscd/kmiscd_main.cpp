// kmiscd: the reference ISC peer. Parses its command line, detaches unless
// told to stay in the foreground, runs an IscServer and stops it on SIGTERM
// or SIGINT.
//
// Exit status: 0 after a clean stop (or --help), 1 when it cannot start, 2
// for a usage error.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "isc_server.h"
#include "iscd_options.h"

namespace {

using kmisc::LogLevel;

// Where diagnostic lines go: standard error in the foreground, nowhere when
// detached. stdio locks the stream for each line.
FILE *g_log = nullptr;

void LogLine(LogLevel level, const std::string &text) {
  if (g_log == nullptr) return;
  char stamp[32];
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
  const char *name = level == LogLevel::Error ? "ERROR" : level == LogLevel::Info ? "INFO" : "DEBUG";
  std::fprintf(g_log, "%s %-5s %s\n", stamp, name, text.c_str());
  std::fflush(g_log);
}

bool WriteAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The detaching parent: passes on the daemon's first words (its listening
// line or an error) and exits accordingly.
int AwaitDaemon(int readFd, pid_t child) {
  std::string text;
  char buf[256];
  while (text.size() < 4096) {
    const ssize_t n = ::read(readFd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(readFd);
  int status = 0;
  ::waitpid(child, &status, 0);  // the intermediate child, which exits at once
  if (text.rfind("listening on ", 0) == 0) {
    WriteAll(STDOUT_FILENO, text);
    return 0;
  }
  WriteAll(STDERR_FILENO, text.empty() ? "kmiscd: the daemon ended before it listened\n" : text);
  return 1;
}

// Reports a failure before the server runs: to the waiting parent when
// detaching, else to standard error.
int Fail(int reportFd, const std::string &text) {
  WriteAll(reportFd >= 0 ? reportFd : STDERR_FILENO, "kmiscd: " + text + "\n");
  return 1;
}

std::string Absolute(const std::string &path) {
  if (path.empty() || path.front() == '/') return path;
  char cwd[4096];
  if (::getcwd(cwd, sizeof(cwd)) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

void RedirectToNull() {
  const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  ::dup2(fd, STDIN_FILENO);
  ::dup2(fd, STDOUT_FILENO);
  ::dup2(fd, STDERR_FILENO);
  if (fd > STDERR_FILENO) ::close(fd);
}

}  // namespace

int main(int argc, char **argv) {
  kmisc::IscdOptions options;
  std::string error;
  if (!kmisc::ParseIscdCommandLine(argc, argv, &options, &error)) {
    std::fprintf(stderr, "kmiscd: %s\n(kmiscd --help lists the options)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(kmisc::IscdUsage().c_str(), stdout);
    return 0;
  }
  const std::string pidFile = Absolute(options.pidFile);
  std::signal(SIGPIPE, SIG_IGN);

  int reportFd = -1;
  if (options.foreground) {
    g_log = stderr;
  } else {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return Fail(-1, std::string("pipe: ") + std::strerror(errno));
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return Fail(-1, std::string("fork: ") + std::strerror(errno));
    if (child > 0) {
      ::close(fds[1]);
      return AwaitDaemon(fds[0], child);
    }
    ::close(fds[0]);
    ::setsid();
    // A second fork: the daemon is no session leader, so it never gets a
    // controlling terminal back.
    const pid_t daemon = ::fork();
    if (daemon < 0) _exit(Fail(fds[1], std::string("fork: ") + std::strerror(errno)));
    if (daemon > 0) _exit(0);
    reportFd = fds[1];
    if (::chdir("/") != 0) {
      // Nothing depends on the working directory any more.
    }
  }

  // The stop signals are taken by sigwait below; every thread started from
  // here on inherits the blocked set.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  options.server.log = LogLine;
  kmisc::IscServer server(options.server);
  if (!server.start(&error)) return Fail(reportFd, error);
  if (!pidFile.empty()) {
    FILE *f = std::fopen(pidFile.c_str(), "we");
    if (f == nullptr || std::fprintf(f, "%ld\n", static_cast<long>(::getpid())) < 0 ||
        std::fclose(f) != 0) {
      server.stop();
      return Fail(reportFd, "cannot write " + pidFile + ": " + std::strerror(errno));
    }
  }

  const std::string line = "listening on " + options.server.listenAddress + ":" +
                           std::to_string(server.port()) + "\n";
  if (reportFd >= 0) {
    WriteAll(reportFd, line);
    ::close(reportFd);
    RedirectToNull();
  } else {
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
  }

  for (;;) {
    int sig = 0;
    if (sigwait(&stopSignals, &sig) != 0) continue;
    if (sig == SIGHUP) {
      LogLine(LogLevel::Info, "SIGHUP ignored");
      continue;
    }
    LogLine(LogLevel::Info, sig == SIGTERM ? "stopping on SIGTERM" : "stopping on SIGINT");
    break;
  }
  server.stop();
  if (!pidFile.empty()) ::unlink(pidFile.c_str());
  return 0;
}
