#include "exec_action.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string_view>

#include "io_wait.h"
#include "kmbase/fd_io.h"

namespace kmagent::detail {
namespace {

// Only async-signal-safe calls between fork and execv: the agent has other
// threads, whose locks the child inherits in whatever state they were.
[[noreturn]] void ExecChild(char *const *argv, int errorFd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  setpgid(0, 0);
  const int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  // Sockets of other sessions and whatever else the agent holds stay out of
  // the program, close-on-exec or not; only the error pipe survives, to be
  // closed by a successful execv.
  if (errorFd > STDERR_FILENO + 1) {
    syscall(SYS_close_range, STDERR_FILENO + 1u, static_cast<unsigned>(errorFd) - 1u, 0u);
  }
  syscall(SYS_close_range, static_cast<unsigned>(errorFd) + 1u, ~0u, 0u);
  execv(argv[0], argv);
  const int err = errno;
  ssize_t ignored = write(errorFd, &err, sizeof(err));
  (void)ignored;
  _exit(127);
}

}  // namespace

bool SplitCommandLine(std::string_view text, std::vector<std::string> *words) {
  words->clear();
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (const char c : text) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) {
        words->push_back(std::move(word));
        word.clear();
        inWord = false;
      }
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) {
    return false;
  }
  if (inWord) {
    words->push_back(std::move(word));
  }
  return true;
}

ActionOutcome RunProgram(const std::vector<std::string> &argv, uint32_t timeoutMs,
                         const KmEvent &stop, int *exitStatus) {
  if (exitStatus != nullptr) {
    *exitStatus = -1;
  }
  if (argv.empty()) {
    return ActionOutcome::CannotStart;
  }
  // Everything the child needs is built before the fork.
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const std::string &a : argv) {
    args.push_back(const_cast<char *>(a.c_str()));
  }
  args.push_back(nullptr);
  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
    return ActionOutcome::CannotStart;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(errorPipe[0]);
    ::close(errorPipe[1]);
    return ActionOutcome::CannotStart;
  }
  if (pid == 0) {
    ExecChild(args.data(), errorPipe[1]);
  }
  ::close(errorPipe[1]);
  // Also set here, so that the group exists before a kill can be needed.
  ::setpgid(pid, pid);

  // The pipe closes at execv (nothing read) or carries execv's errno.
  int execError = 0;
  bool execFailed = false;
  {
    const ssize_t n =
        KmRetryInterrupted([&] { return ::read(errorPipe[0], &execError, sizeof(execError)); });
    execFailed = n == static_cast<ssize_t>(sizeof(execError));
  }
  ::close(errorPipe[0]);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  ActionOutcome outcome = ActionOutcome::TimedOut;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (execFailed) {
        return ActionOutcome::CannotStart;
      }
      if (WIFEXITED(status)) {
        if (exitStatus != nullptr) {
          *exitStatus = WEXITSTATUS(status);
        }
        return WEXITSTATUS(status) == 0 ? ActionOutcome::Succeeded : ActionOutcome::Failed;
      }
      return ActionOutcome::Failed;
    }
    if (r < 0 && errno != EINTR) {
      return ActionOutcome::Failed;  // not ours any more; nothing to reap
    }
    if (stop.isSet()) {
      outcome = ActionOutcome::Stopped;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      break;
    }
    // Short sleeps: a child's end is noticed within 10 ms.
    const uint32_t nap = static_cast<uint32_t>(std::min<int64_t>(left, 10));
    ::usleep(nap * 1000);
  }
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  KmRetryInterrupted([&] { return ::waitpid(pid, &status, 0); });
  return outcome;
}

namespace {

// The placeholder number at text[i] ("$1".."$9"), 0 when there is none.
uint32_t PlaceholderAt(std::string_view text, size_t i) {
  return text[i] == '$' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9'
             ? static_cast<uint32_t>(text[i + 1] - '0')
             : 0;
}

}  // namespace

uint32_t DeclaredArguments(const std::vector<std::string> &configured) {
  uint32_t highest = 0;
  for (size_t w = 1; w < configured.size(); ++w)
    for (size_t i = 0; i < configured[w].size(); ++i)
      highest = std::max(highest, PlaceholderAt(configured[w], i));
  return highest;
}

std::vector<std::string> FillPlaceholders(const std::vector<std::string> &configured,
                                          const std::vector<std::string> &args) {
  std::vector<std::string> argv;
  argv.reserve(configured.size());
  for (size_t w = 0; w < configured.size(); ++w) {
    const std::string &word = configured[w];
    if (w == 0) {
      argv.push_back(word);  // the program itself is never filled in
      continue;
    }
    std::string filled;
    for (size_t i = 0; i < word.size(); ++i) {
      const uint32_t n = PlaceholderAt(word, i);
      if (n == 0) {
        filled += word[i];
        continue;
      }
      if (n <= args.size()) filled += args[n - 1];
      ++i;  // the digit
    }
    argv.push_back(std::move(filled));
  }
  return argv;
}

}  // namespace kmagent::detail
