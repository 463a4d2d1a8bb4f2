// A private network namespace for interop tests and benchmarks that need a
// device with interfaces of their own choosing: created with `ip netns add`
// (loopback up), filled with `ip -batch` commands (ifb links, addresses), and
// deleted again when the object goes. enter() moves the calling thread into
// the namespace, so that sockets it opens and processes it starts from then
// on (snmpd through SnmpdInstance, snmpwalk through runTool) live there; the
// host's interfaces are never touched. Needs root (CAP_SYS_ADMIN); create()
// says why when the system refuses.
//
// Usage (one thread; leave before another thread needs the host namespace):
//   NetworkNamespace ns;
//   if (auto why = ns.create("drv"); !why.empty()) GTEST_SKIP() << why;
//   ns.batch({"link add ifb0 type ifb", "link set ifb0 up"});
//   ns.enter();
//   SnmpdInstance snmpd; ...   // declared after ns: stopped before ns goes
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

class NetworkNamespace {
 public:
  NetworkNamespace() = default;
  ~NetworkNamespace() { remove(); }
  NetworkNamespace(const NetworkNamespace &) = delete;
  NetworkNamespace &operator=(const NetworkNamespace &) = delete;

  // Creates namespace "km-<tag>-<pid>" with its loopback up. Returns "" on
  // success, otherwise why not (a test should skip with that text).
  std::string create(const std::string &tag) {
    if (access("/usr/sbin/ip", X_OK) != 0 && access("/sbin/ip", X_OK) != 0 &&
        access("/usr/bin/ip", X_OK) != 0) {
      return "the ip program (Debian package iproute2) is not installed; test skipped";
    }
    std::string name = "km-" + tag + "-" + std::to_string(getpid());
    std::string out;
    if (run("ip netns add " + name, &out) != 0) {
      return "network namespaces are refused here (ip netns add: " + trim(out) + "); test skipped";
    }
    name_ = name;
    if (run("ip -n " + name_ + " link set lo up", &out) != 0) {
      std::string why = "cannot bring up loopback in " + name_ + ": " + trim(out);
      remove();
      return why;
    }
    return "";
  }

  // Runs `ip` commands (without the leading "ip") inside the namespace in
  // one batch. Returns "" or the error output.
  std::string batch(const std::vector<std::string> &commands) {
    if (name_.empty()) return "no namespace";
    char path[] = "/tmp/km-netns-batch-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return "cannot create a batch file";
    close(fd);
    {
      std::ofstream file(path);
      for (const std::string &c : commands) file << c << "\n";
    }
    std::string out;
    int rc = run("ip -n " + name_ + " -batch " + path, &out);
    unlink(path);
    return rc == 0 ? "" : "ip -batch failed: " + trim(out);
  }

  // Moves the calling thread into the namespace. Returns "" or why not.
  std::string enter() {
    if (name_.empty() || host_ >= 0) return "no namespace, or already inside";
    host_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = host_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) close(target);
    if (!ok) {
      if (host_ >= 0) close(host_);
      host_ = -1;
      return "cannot enter network namespace " + name_;
    }
    return "";
  }

  // Back to the namespace the thread came from.
  void leave() {
    if (host_ < 0) return;
    if (setns(host_, CLONE_NEWNET) != 0) abort();  // a test thread stranded in the namespace
    close(host_);
    host_ = -1;
  }

  // Leaves and deletes the namespace. Processes started inside must have
  // been stopped before (they would keep it alive unseen).
  void remove() {
    leave();
    if (name_.empty()) return;
    std::string out;
    run("ip netns del " + name_, &out);
    name_.clear();
  }

  const std::string &name() const { return name_; }

 private:
  static int run(const std::string &command, std::string *output) {
    output->clear();
    FILE *f = popen((command + " 2>&1").c_str(), "r");
    if (f == nullptr) return -1;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0 && output->size() < 65536)
      output->append(buf, n);
    return pclose(f);
  }

  static std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
  }

  std::string name_;
  int host_ = -1;  // the thread's original namespace while inside
};
