// The program around a reference peer's server: its diagnostic log, and the
// daemon runner (detaching, the pid file, the "listening on" line, the signal
// loop and the stop).
//
// The runner and the log are for a program's main thread; the log's line()
// (and its sink) may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"
#include "server_core.h"

namespace kmpeer {

// Where a daemon's diagnostic lines go: a file (appended), standard error,
// or nowhere. Each line is one write of "DATE TIME LEVEL text", so lines of
// different threads never mix.
class DaemonLog {
 public:
  DaemonLog() = default;
  ~DaemonLog();
  DaemonLog(const DaemonLog &) = delete;
  DaemonLog &operator=(const DaemonLog &) = delete;

  // Appends to path from now on (made with mode 0600 when new); false
  // (errno set) when it cannot be opened, is a symbolic link or is not a
  // regular file. A line that would grow the file beyond maxBytes (0: no
  // limit) first moves it to path.1 (replacing the one before) and starts
  // a new one.
  bool openFile(const std::string &path, uint64_t maxBytes = 0);
  void toStandardError() {
    KmLockGuard guard(lock_);
    fd_ = 2;
  }
  // Stops writing to standard error (a detached daemon's is /dev/null).
  void leaveStandardError();

  void line(LogLevel level, const std::string &text) const;
  // A LogSink that writes here; valid while the log lives.
  LogSink sink() const;

 private:
  // Moves a full log aside and opens a new one.
  void rotate() const KM_REQUIRES(lock_);

  mutable KmMutex lock_;
  // -1: nowhere. Guarded by lock_ (set by the main thread, changed by
  // rotate() on any thread that logs).
  mutable int fd_ KM_GUARDED_BY(lock_) = -1;
  std::string path_;       // set by openFile, read-only afterwards
  uint64_t maxBytes_ = 0;  // the same
  mutable uint64_t size_ KM_GUARDED_BY(lock_) = 0;
};

struct DaemonSpec {
  std::string program;  // "kmagentd": error lines start with "kmagentd: "
  std::string what;     // "the agent": "kmagentd: the agent ended before it listened"
  bool foreground = false;
  std::string pidFile;  // an absolute path, or empty for none
  // Periodic work every tickMs (0: none), on a thread of its own (it may
  // wait; the stop signals are taken meanwhile). The last tick may still run
  // while stop is called.
  uint32_t tickMs = 0;
  std::function<void()> tick;
  // Called on the main thread for each SIGHUP (null: SIGHUP is logged and
  // ignored); the stop signals wait while it runs.
  std::function<void()> reload;
};

// Runs a reference peer as a daemon:
//  - detaches unless spec.foreground: the calling process waits for the
//    daemon's first words, passes them on, and exits with 0 after its
//    "listening on" line, 1 otherwise; the daemon runs in a session of its
//    own with "/" as working directory;
//  - takes SIGTERM, SIGINT and SIGHUP on the main thread only (every thread
//    start() makes inherits them blocked) and ignores SIGPIPE;
//  - calls start, which starts the server and gives its "ADDR:PORT" (or an
//    error), writes the pid file (atomically, through a 0600 temporary
//    beside it, replacing whatever stands at its path) and prints
//    "listening on ADDR:PORT";
//  - waits for SIGTERM or SIGINT (SIGHUP calls spec.reload) while
//    another thread calls spec.tick every spec.tickMs, then calls stop,
//    joins that thread and removes the pid file.
// Returns the exit status: 0 after a clean stop, 1 when it cannot start.
int RunDaemon(const DaemonSpec &spec, DaemonLog &log,
              const std::function<bool(std::string *listening, std::string *error)> &start,
              const std::function<void()> &stop);

// RunDaemon for a server with bool start(std::string *error), uint16_t
// port(), void stop() and bool reloadTls(std::string *error), listening on
// address; SIGHUP reloads the TLS files when a certificate is configured.
template <typename Server>
int RunServerDaemon(DaemonSpec spec, DaemonLog &log, Server &server, const std::string &address,
                    bool tlsConfigured) {
  if (tlsConfigured) spec.reload = [&server] { server.reloadTls(nullptr); };
  return RunDaemon(
      spec, log,
      [&](std::string *listening, std::string *error) {
        if (!server.start(error)) return false;
        *listening = address + ":" + std::to_string(server.port());
        return true;
      },
      [&] { server.stop(); });
}

// Start-up warnings: "PROGRAM: warning: text" on standard error (where
// whoever starts the daemon sees it, also when it detaches) and in the log.
void Warn(const DaemonSpec &spec, const DaemonLog &log, const std::string &text);
// Warns when listenAddress (dotted IPv4) lies beyond loopback and no secret
// guards the sessions: whoever reaches the address can use the peer.
void WarnOpenListener(const DaemonSpec &spec, const DaemonLog &log,
                      const std::string &listenAddress, bool hasSecret);

// path made absolute against the working directory (a detached daemon works
// in "/"); an empty or absolute path as it is.
std::string AbsolutePath(const std::string &path);

}  // namespace kmpeer
