// A program run by a test: started with arguments and an environment,
// standard input from /dev/null, standard output and error on pipes that
// the object drains (so a chatty child never blocks on a full pipe); read
// line by line, waited for with a time limit, and killed by its PID when the
// object goes while it still runs. A Process belongs to one thread at a
// time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kmtest {

// Bound on waiting for a program to print or to end: a program starts more
// slowly than an in-process peer (sanitizer builds on two busy cores).
inline constexpr int kProgramWaitMs = 20000;

// The test program's environment, without the variables whose names begin
// with dropPrefix (none when it is empty).
std::vector<std::string> InheritedEnvironment(std::string_view dropPrefix = {});

class Process {
 public:
  enum Stream { kOut = 0, kErr = 1 };

  // Starts path with args (argv[0] is path) and env as its whole
  // environment. started() tells whether that worked; startError() why not.
  Process(const std::string &path, const std::vector<std::string> &args,
          const std::vector<std::string> &env = InheritedEnvironment());
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string &startError() const { return startError_; }

  // The next line of `stream`, its '\n' included. Without a whole line
  // within timeoutMs, or once the stream has ended: what there is (maybe
  // "").
  std::string readLine(int timeoutMs = kProgramWaitMs, Stream stream = kOut);
  // Sends sig, unless the child was already waited for.
  bool signal(int sig);
  // Waits for the child to end, draining its output meanwhile. Its exit
  // status; -1 when a signal ended it, or when it had not ended within
  // timeoutMs (then it is killed and timedOut() is true).
  int wait(int timeoutMs = kProgramWaitMs);
  bool timedOut() const { return timedOut_; }
  // Reads until both streams end or timeoutMs passes, then waits for the
  // child in what is left of the time (killing it when it is up).
  int finish(int timeoutMs);
  // What was read of each stream and not yet taken by readLine.
  const std::string &out() const { return buffered_[kOut]; }
  const std::string &err() const { return buffered_[kErr]; }

 private:
  // Reads what is there within timeoutMs; false when both streams ended.
  bool pump(int timeoutMs);

  pid_t pid_ = -1;
  bool reaped_ = false;
  bool timedOut_ = false;
  int status_ = -1;
  int fds_[2] = {-1, -1};  // read ends of the child's stdout and stderr
  std::string buffered_[2];
  std::string startError_;
};

// The outcome of a program run to its end.
struct RunResult {
  int status = -1;  // exit status; -1 when it did not exit normally
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Runs a program to its end (killed after timeLimitMs) and collects its
// output. A program that cannot start gives status -1 and the reason in err.
RunResult Run(const std::string &path, const std::vector<std::string> &args,
              const std::vector<std::string> &env = InheritedEnvironment(),
              int timeLimitMs = 60000);

// The port in the line the reference peers print once they listen,
// "listening on 127.0.0.1:PORT\n" exactly; 0 for any other line.
uint16_t ListeningPort(const std::string &line);

// True when pid, which is not a child of the test (a daemon the program
// under test detached), is gone or a zombie its parent has not reaped yet.
bool ProcessGone(pid_t pid);

}  // namespace kmtest
