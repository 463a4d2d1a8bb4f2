#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

extern char **environ;

namespace kmtest {

namespace {

using Clock = std::chrono::steady_clock;

// Longest line readLine waits for; a longer one comes back in pieces.
constexpr size_t kMaxLine = 4096;
// Slice of a wait spent in one poll, so waitpid is asked again soon.
constexpr int kSliceMs = 20;
// Bound on the rounds of any loop here, besides its time limit.
constexpr int kMaxRounds = 1 << 16;

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::vector<std::string> InheritedEnvironment(std::string_view dropPrefix) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; e++) {
    const std::string_view entry(*e);
    if (!dropPrefix.empty() && entry.substr(0, dropPrefix.size()) == dropPrefix) continue;
    env.emplace_back(entry);
  }
  return env;
}

Process::Process(const std::string &path, const std::vector<std::string> &args,
                 const std::vector<std::string> &env) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    startError_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    startError_ = std::string("pipe: ") + std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
  std::vector<std::string> argvText = {path};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<std::string> envText = env;
  std::vector<char *> argv, envp;
  for (std::string &s : argvText) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (std::string &s : envText) envp.push_back(s.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    startError_ = "cannot start " + path + ": " + std::strerror(rc);
    ::close(out[0]);
    ::close(err[0]);
    return;
  }
  pid_ = pid;
  fds_[kOut] = out[0];
  fds_[kErr] = err[0];
}

Process::~Process() {
  if (started() && !reaped_) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  for (int fd : fds_)
    if (fd >= 0) ::close(fd);
}

bool Process::pump(int timeoutMs) {
  pollfd polled[2];
  int which[2];
  nfds_t n = 0;
  for (int i = 0; i < 2; i++) {
    if (fds_[i] < 0) continue;
    polled[n] = {fds_[i], POLLIN, 0};
    which[n++] = i;
  }
  if (n == 0) return false;
  if (::poll(polled, n, timeoutMs) <= 0) return true;  // time-out or EINTR: ask again
  for (nfds_t k = 0; k < n; k++) {
    if (polled[k].revents == 0) continue;
    const int i = which[k];
    char buf[4096];
    const ssize_t got = ::read(fds_[i], buf, sizeof(buf));
    if (got > 0) {
      buffered_[i].append(buf, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      ::close(fds_[i]);
      fds_[i] = -1;
    }
  }
  return fds_[kOut] >= 0 || fds_[kErr] >= 0;
}

std::string Process::readLine(int timeoutMs, Stream stream) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string &text = buffered_[stream];
  for (int round = 0; round < kMaxRounds; round++) {
    const size_t newline = text.find('\n');
    if (newline != std::string::npos || text.size() >= kMaxLine) {
      const size_t take = newline != std::string::npos ? newline + 1 : kMaxLine;
      std::string line = text.substr(0, take);
      text.erase(0, take);
      return line;
    }
    // Reads once even with no time left: "what there is" includes what
    // waits in the pipe.
    if (fds_[stream] < 0 || (round > 0 && MsLeft(deadline) == 0)) break;
    pump(std::min(MsLeft(deadline), kSliceMs));
  }
  return std::exchange(text, std::string());
}

bool Process::signal(int sig) { return started() && !reaped_ && ::kill(pid_, sig) == 0; }

int Process::wait(int timeoutMs) {
  if (!started() || reaped_) return status_;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (int round = 0; round < kMaxRounds; round++) {
    int wstatus = 0;
    const pid_t r = ::waitpid(pid_, &wstatus, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
      return status_;
    }
    if (r < 0 && errno != EINTR) {  // not ours to wait for any more
      reaped_ = true;
      return status_;
    }
    const int left = MsLeft(deadline);
    if (left == 0) break;
    if (!pump(std::min(left, kSliceMs)))
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, kSliceMs)));
  }
  timedOut_ = true;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  status_ = -1;
  return status_;
}

int Process::finish(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (int round = 0; round < kMaxRounds && MsLeft(deadline) > 0; round++)
    if (!pump(std::min(MsLeft(deadline), kSliceMs))) break;
  return wait(MsLeft(deadline));
}

RunResult Run(const std::string &path, const std::vector<std::string> &args,
              const std::vector<std::string> &env, int timeLimitMs) {
  RunResult result;
  Process child(path, args, env);
  if (!child.started()) {
    result.err = child.startError();
    return result;
  }
  result.status = child.finish(timeLimitMs);
  result.timedOut = child.timedOut();
  result.out = child.out();
  result.err = child.err();
  return result;
}

uint16_t ListeningPort(const std::string &line) {
  const std::string prefix = "listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 2 || line.back() != '\n')
    return 0;
  const std::string digits = line.substr(prefix.size(), line.size() - prefix.size() - 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  const int port = std::stoi(digits);
  return port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

bool ProcessGone(pid_t pid) {
  if (::kill(pid, 0) != 0) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The state follows the command name, which is in parentheses.
  const size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z';
}

}  // namespace kmtest
