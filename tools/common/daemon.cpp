#include "daemon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include "kmbase/fd_io.h"
#include "kmbase/sync.h"
#include "kmbase/text.h"
#include "options.h"

namespace kmpeer {

namespace {

bool WriteText(int fd, const std::string &text) { return KmWriteAll(fd, text.data(), text.size()); }

// The detaching parent: passes on the daemon's first words (its listening
// line or an error) and exits accordingly.
int AwaitDaemon(const DaemonSpec &spec, int readFd, pid_t child) {
  std::string text;
  char buf[512];
  while (text.size() <= 8192) {
    const ssize_t n = KmRetryInterrupted([&] { return ::read(readFd, buf, sizeof(buf)); });
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(readFd);
  int status = 0;
  KmRetryInterrupted([&] { return ::waitpid(child, &status, 0); });  // exits at once
  if (text.rfind("listening on ", 0) == 0) {
    WriteText(STDOUT_FILENO, text);
    return 0;
  }
  WriteText(STDERR_FILENO,
            text.empty() ? spec.program + ": " + spec.what + " ended before it listened\n" : text);
  return 1;
}

void RedirectToNull() {
  const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  ::dup2(fd, STDIN_FILENO);
  ::dup2(fd, STDOUT_FILENO);
  ::dup2(fd, STDERR_FILENO);
  if (fd > STDERR_FILENO) ::close(fd);
}

// Written whole into a sibling temporary (mode 0600, made anew: no link is
// followed) and renamed over path, so that no reader sees a partial file and
// a link standing at path is replaced, not written through.
bool WritePidFile(const std::string &path, std::string *error) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  bool written = fd >= 0 && WriteText(fd, std::to_string(::getpid()) + "\n") && ::fsync(fd) == 0;
  int err = errno;
  written = fd >= 0 && ::close(fd) == 0 && written;
  if (written && ::rename(temp.c_str(), path.c_str()) != 0) {
    err = errno;
    written = false;
  }
  if (!written) {
    if (fd >= 0) ::unlink(temp.c_str());
    *error = "cannot write " + path + ": " + KmErrorText(err);
  }
  return written;
}

// The thread that calls spec.tick every spec.tickMs until finish().
class Ticker {
 public:
  explicit Ticker(const DaemonSpec &spec) : spec_(spec) {
    if (spec_.tickMs != 0 && spec_.tick) thread_ = ThreadCreateEx(&Run, this);
  }
  ~Ticker() {
    finish();
    join();
  }
  Ticker(const Ticker &) = delete;
  Ticker &operator=(const Ticker &) = delete;
  void finish() { done_.set(); }
  void join() {
    if (thread_ != nullptr) ThreadJoin(thread_);
    thread_ = nullptr;
  }

 private:
  static void Run(void *arg) {
    auto *t = static_cast<Ticker *>(arg);
    while (!t->done_.wait(t->spec_.tickMs)) t->spec_.tick();
  }
  const DaemonSpec &spec_;
  KmEvent done_;  // any thread
  // Main thread only.
  THREAD_RECORD *thread_ = nullptr;
};

}  // namespace

DaemonLog::~DaemonLog() {
  KmLockGuard guard(lock_);
  if (fd_ > STDERR_FILENO) ::close(fd_);
}

namespace {

// Opens the log file at path for appending: not through a link, and only a
// regular file, so that a link at the log's path cannot make the daemon
// append to (or create) another file. -1 with errno set otherwise.
int OpenLogFile(const std::string &path, uint64_t *size) {
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

}  // namespace

bool DaemonLog::openFile(const std::string &path, uint64_t maxBytes) {
  uint64_t size = 0;
  const int fd = OpenLogFile(path, &size);
  if (fd < 0) return false;
  KmLockGuard guard(lock_);
  fd_ = fd;
  path_ = path;
  maxBytes_ = maxBytes;
  size_ = size;
  return true;
}

void DaemonLog::leaveStandardError() {
  KmLockGuard guard(lock_);
  if (fd_ == STDERR_FILENO) fd_ = -1;
}

void DaemonLog::rotate() const {
  // Renaming replaces a link at path.1 rather than writing through it.
  if (::rename(path_.c_str(), (path_ + ".1").c_str()) != 0) return;
  uint64_t size = 0;
  const int fd = OpenLogFile(path_, &size);
  ::close(fd_);
  fd_ = fd;  // -1 when no new file could be made: nowhere from then on
  size_ = size;
}

void DaemonLog::line(LogLevel level, const std::string &text) const {
  char stamp[32];
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  if (strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local) == 0) stamp[0] = '\0';
  const char *name = level == LogLevel::Error  ? "ERROR"
                     : level == LogLevel::Info ? "INFO "
                                               : "DEBUG";
  const std::string full = std::string(stamp) + " " + name + " " + text + "\n";
  KmLockGuard guard(lock_);
  if (maxBytes_ != 0 && fd_ > STDERR_FILENO && size_ + full.size() > maxBytes_) rotate();
  if (fd_ < 0) return;
  WriteText(fd_, full);
  size_ += full.size();
}

LogSink DaemonLog::sink() const {
  return [this](LogLevel level, const std::string &text) { line(level, text); };
}

void Warn(const DaemonSpec &spec, const DaemonLog &log, const std::string &text) {
  WriteText(STDERR_FILENO, spec.program + ": warning: " + text + "\n");
  log.line(LogLevel::Error, "warning: " + text);
}

void WarnOpenListener(const DaemonSpec &spec, const DaemonLog &log,
                      const std::string &listenAddress, bool hasSecret) {
  uint32_t address = 0;
  if (hasSecret || !ParseIpv4(listenAddress, &address) || (address >> 24) == 127) return;
  Warn(spec, log,
       "listening on " + listenAddress +
           " beyond loopback without a secret: whoever reaches it can use " + spec.what);
}

std::string AbsolutePath(const std::string &path) {
  if (path.empty() || path.front() == '/') return path;
  char cwd[4096];
  if (::getcwd(cwd, sizeof(cwd)) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

int RunDaemon(const DaemonSpec &spec, DaemonLog &log,
              const std::function<bool(std::string *listening, std::string *error)> &start,
              const std::function<void()> &stop) {
  // Reports a failure before the server runs: to the waiting parent when
  // detaching, else to standard error; and to the log.
  int reportFd = -1;
  auto fail = [&](const std::string &text) {
    WriteText(reportFd >= 0 ? reportFd : STDERR_FILENO, spec.program + ": " + text + "\n");
    log.line(LogLevel::Error, text);
    return 1;
  };
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);

  if (!spec.foreground) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return fail("pipe: " + KmErrorText(errno));
    const pid_t child = ::fork();
    if (child < 0) return fail("fork: " + KmErrorText(errno));
    if (child > 0) {
      ::close(fds[1]);
      return AwaitDaemon(spec, fds[0], child);
    }
    ::close(fds[0]);
    ::setsid();
    // A second fork: the daemon is no session leader, so it can never get a
    // controlling terminal back.
    const pid_t daemon = ::fork();
    if (daemon < 0) {
      reportFd = fds[1];
      _exit(fail("fork: " + KmErrorText(errno)));
    }
    if (daemon > 0) _exit(0);
    reportFd = fds[1];
    if (::chdir("/") != 0) {
      // Nothing depends on the working directory any more.
    }
  }

  // The signals are taken by sigwait below; every thread started from here
  // on inherits the blocked set.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::string listening;
  std::string error;
  if (!start(&listening, &error)) return fail(error);
  if (!spec.pidFile.empty() && !WritePidFile(spec.pidFile, &error)) {
    stop();
    return fail(error);
  }
  const std::string line = "listening on " + listening + "\n";
  if (reportFd >= 0) {
    WriteText(reportFd, line);
    ::close(reportFd);
    log.leaveStandardError();
    RedirectToNull();
  } else {
    WriteText(STDOUT_FILENO, line);
  }

  // The periodic work runs on a thread of its own: a tick that waits (a
  // trap to a peer that does not read) never delays the stop signals.
  // Started here, it inherits the blocked signals.
  Ticker ticker(spec);
  for (;;) {
    int sig = 0;
    if (sigwait(&signals, &sig) != 0) continue;
    if (sig == SIGHUP) {
      if (spec.reload) {
        log.line(LogLevel::Info, "SIGHUP: reloading");
        spec.reload();
      } else {
        log.line(LogLevel::Info, "SIGHUP ignored");
      }
      continue;
    }
    log.line(LogLevel::Info, sig == SIGTERM ? "stopping on SIGTERM" : "stopping on SIGINT");
    break;
  }
  // No new tick from here; stop() shuts every session down, which cuts a
  // tick's send short, and the ticker is joined after it.
  ticker.finish();
  stop();
  ticker.join();
  if (!spec.pidFile.empty()) ::unlink(spec.pidFile.c_str());
  return 0;
}

}  // namespace kmpeer
