// A private net-snmp snmpd for interop tests: started on a free UDP port of
// 127.0.0.1 with its own configuration and state in a temporary folder, and
// stopped by its PID. Also runs net-snmp's command-line tools against it with
// the same environment, so tests can compare with what they print.
//
// SNMPv3: UsmUsers() lists one user per supported combination of
// authentication and privacy protocol (UsmUserLines() makes their
// createUser/rouser lines); v3Transport() builds a transport for one of them.
// With keepEngine() the engine ID survives restart() and snmpEngineBoots
// counts the starts, as on a real device that reboots.
//
// Usage (one instance per test or per suite; not for use from several
// threads at once):
//   SnmpdInstance snmpd({"override .1.3.6.1.4.1.99999.1.0 octet_str \"x\""});
//   std::string why = snmpd.start();
//   if (!why.empty()) GTEST_SKIP() << why;   // snmpd missing or not startable
//   auto t = snmpd.transport(SNMP_VERSION_2C);
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kmsnmp/snmp.h"

// One SNMPv3 user of the fixture: its name and settings in our numbering and
// in snmpd's createUser words.
struct UsmUser {
  std::string name;
  uint32_t level;
  uint32_t auth;
  uint32_t priv;
  const char *authWord;  // snmpd/snmpget spelling, "" for none
  const char *privWord;
};

inline constexpr const char *kUsmAuthPass = "authpass123";
inline constexpr const char *kUsmPrivPass = "privpass123";

// Every authentication protocol with every privacy protocol (and without),
// and one user without either.
inline std::vector<UsmUser> UsmUsers() {
  struct Word {
    uint32_t value;
    const char *word;
  };
  const Word auths[] = {{SNMP_AUTH_MD5, "MD5"},        {SNMP_AUTH_SHA1, "SHA"},
                        {SNMP_AUTH_SHA224, "SHA-224"}, {SNMP_AUTH_SHA256, "SHA-256"},
                        {SNMP_AUTH_SHA384, "SHA-384"}, {SNMP_AUTH_SHA512, "SHA-512"}};
  const Word privs[] = {{SNMP_PRIV_NONE, ""},
                        {SNMP_PRIV_DES, "DES"},
                        {SNMP_PRIV_AES128, "AES"},
                        {SNMP_PRIV_AES192, "AES-192"},
                        {SNMP_PRIV_AES256, "AES-256"}};
  std::vector<UsmUser> users = {
      {"noAuthUser", SNMP_SECURITY_NO_AUTH_NO_PRIV, SNMP_AUTH_NONE, SNMP_PRIV_NONE, "", ""}};
  for (const Word &a : auths) {
    for (const Word &p : privs) {
      std::string name = std::string("u_") + a.word + (p.value ? std::string("_") + p.word : "");
      uint32_t level = p.value ? SNMP_SECURITY_AUTH_PRIV : SNMP_SECURITY_AUTH_NO_PRIV;
      users.push_back({name, level, a.value, p.value, a.word, p.word});
    }
  }
  return users;
}

// The user of UsmUsers() with this name ("u_SHA-256_AES"); aborts for
// another name (a test's typo).
inline UsmUser FindUsmUser(const std::string &name) {
  for (const UsmUser &u : UsmUsers())
    if (u.name == name) return u;
  abort();
}

// createUser and rouser lines for the users (each may read everything at
// its own level).
inline std::vector<std::string> UsmUserLines(const std::vector<UsmUser> &users) {
  std::vector<std::string> lines;
  for (const UsmUser &u : users) {
    std::string line = "createUser " + u.name;
    if (u.auth != SNMP_AUTH_NONE)
      line += std::string(" ") + u.authWord + " \"" + kUsmAuthPass + "\"";
    if (u.priv != SNMP_PRIV_NONE)
      line += std::string(" ") + u.privWord + " \"" + kUsmPrivPass + "\"";
    lines.push_back(line);
    const char *level = u.level == SNMP_SECURITY_AUTH_PRIV      ? "priv"
                        : u.level == SNMP_SECURITY_AUTH_NO_PRIV ? "auth"
                                                                : "noauth";
    lines.push_back("rouser " + u.name + " " + level + " .1");
  }
  return lines;
}

class SnmpdInstance {
 public:
  // Lines appended to the base configuration (read-only community "public"
  // with a full view for v1 and v2c, no TCP-wrapper log lines).
  explicit SnmpdInstance(std::vector<std::string> extraConfig = {})
      : extraConfig_(std::move(extraConfig)) {}
  ~SnmpdInstance() { stop(); }
  SnmpdInstance(const SnmpdInstance &) = delete;
  SnmpdInstance &operator=(const SnmpdInstance &) = delete;

  // Path of the snmpd program, or "" when it is not installed.
  static std::string findSnmpd() {
    for (const char *p : {"/usr/sbin/snmpd", "/usr/local/sbin/snmpd", "/sbin/snmpd"}) {
      if (access(p, X_OK) == 0) return p;
    }
    return "";
  }

  // Starts snmpd and waits until it answers a GET. Returns "" on success,
  // otherwise why it could not (a test should skip with that text).
  std::string start() {
    std::string snmpd = findSnmpd();
    if (snmpd.empty()) return "snmpd is not installed (Debian package snmpd); interop test skipped";
    char tmpl[] = "/tmp/km-snmpd-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
      return std::string("cannot create a temporary folder: ") + strerror(errno);
    dir_ = tmpl;
    std::filesystem::create_directory(dir_ + "/persist");
    {
      std::ofstream conf(dir_ + "/snmpd.conf");
      conf << "rocommunity public default .1\n"
           << "dontLogTCPWrappersConnects yes\n"
           << "sysLocation interop lab\n"
           << "sysContact nobody\n";
      // The community lines of snmpd hold for IPv4 sources only.
      if (ipv6_) conf << "rocommunity6 public default .1\n";
      for (const std::string &line : extraConfig_) conf << line << "\n";
    }
    // A port can be taken between choosing and binding it: try a few.
    for (int attempt = 0; attempt < 3; attempt++) {
      port_ = freeUdpPort();
      if (port_ == 0) return "no free UDP port on 127.0.0.1";
      std::string why = spawn(snmpd);
      if (!why.empty()) return why;
      if (waitUntilAnswering()) return "";
      stopProcess();
    }
    std::string log = readFile(dir_ + "/snmpd.log");
    return "snmpd did not start answering; its log:\n" + log;
  }

  // Keep the engine ID (and count boots) across restart(): the persistent
  // state is read from the private folder. Call before start().
  void keepEngine() { keepEngine_ = true; }

  // Also listen on [::1] at the same port. Call before start(). False (and
  // nothing changes) when this system has no IPv6 loopback.
  bool listenOnIpv6() {
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
    close(fd);
    if (ok) ipv6_ = true;
    return ok;
  }

  // Stops snmpd and starts it again on the same port with the same files.
  // Returns "" or why it did not come back.
  std::string restart() {
    stopProcess();
    std::string snmpd = findSnmpd();
    std::string why = spawn(snmpd);
    if (!why.empty()) return why;
    if (waitUntilAnswering()) return "";
    return "snmpd did not answer after a restart; its log:\n" + readFile(dir_ + "/snmpd.log");
  }

  void stop() {
    stopProcess();
    if (!dir_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
      dir_.clear();
    }
  }

  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

  // A transport to this snmpd; the caller owns it.
  std::unique_ptr<SNMP_UDPTransport> transport(uint32_t version,
                                               const char *community = "public") const {
    auto t = std::make_unique<SNMP_UDPTransport>(htonl(INADDR_LOOPBACK), port_);
    t->setSnmpVersion(version);
    t->setSecurityContext(new SNMP_SecurityContext(community));
    return t;
  }

  // A transport for an SNMPv3 user of UsmUsers() at its own level (or at
  // `level` when given), with the fixture's pass phrases unless others are
  // given.
  std::unique_ptr<SNMP_UDPTransport> v3Transport(const UsmUser &user, uint32_t level = 0,
                                                 const char *authPass = kUsmAuthPass,
                                                 const char *privPass = kUsmPrivPass) const {
    auto t = std::make_unique<SNMP_UDPTransport>(htonl(INADDR_LOOPBACK), port_);
    t->setSecurityContext(new SNMP_SecurityContext(user.name.c_str(), level ? level : user.level,
                                                   user.auth, authPass, user.priv, privPass));
    return t;
  }

  // Runs a net-snmp tool ("snmpwalk", "snmpget", ...) against this snmpd
  // with numeric OIDs: `tool -v<version> -c public -On -t 2 -r 1 <extra>
  // 127.0.0.1:port <oids>`; returns its standard output (at most 4 MiB).
  std::string runTool(const std::string &tool, const std::string &version,
                      const std::string &args) const {
    return runToolWith(tool, "-v" + version + " -c public", args);
  }

  // The same with other credentials ("-v3 -l authPriv -u NAME -a ... ").
  std::string runToolWith(const std::string &tool, const std::string &credentials,
                          const std::string &args) const {
    std::string cmd = "MIBS= SNMPCONFPATH='" + dir_ + "' SNMP_PERSISTENT_DIR='" + dir_ +
                      "/persist' " + tool + " " + credentials + " -On -t 2 -r 1 " + endpoint() +
                      " " + args + " 2>/dev/null";
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    if (f == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0 && out.size() < (4u << 20)) out.append(buf, n);
    pclose(f);
    return out;
  }

 private:
  static uint16_t freeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
      port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
  }

  static std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string spawn(const std::string &snmpd) {
    std::string conf = dir_ + "/snmpd.conf";
    if (keepEngine_) {
      // Naming the persistent file makes snmpd read it back: same engine ID,
      // boots counted up.
      std::string persistent = dir_ + "/persist/snmpd.conf";
      if (access(persistent.c_str(), F_OK) != 0) std::ofstream(persistent).close();
      conf += "," + persistent;
    }
    std::string log = dir_ + "/snmpd.log";
    std::string pidFile = dir_ + "/snmpd.pid";
    std::string listen = "udp:" + endpoint();
    if (ipv6_) listen += ",udp6:[::1]:" + std::to_string(port_);
    std::vector<std::string> argv = {snmpd, "-f", "-C", "-c",    conf,
                                     "-Lf", log,  "-p", pidFile, listen};
    std::vector<std::string> env = {"MIBS=", "SNMP_PERSISTENT_DIR=" + dir_ + "/persist",
                                    "SNMPCONFPATH=" + dir_, "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    std::vector<char *> av, ev;
    for (std::string &s : argv) av.push_back(s.data());
    av.push_back(nullptr);
    for (std::string &s : env) ev.push_back(s.data());
    ev.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, snmpd.c_str(), &actions, nullptr, av.data(), ev.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return std::string("cannot start snmpd: ") + strerror(rc);
    pid_ = pid;
    return "";
  }

  // Polls with a GET of sysUpTime.0 for up to 5 s; false when snmpd ended
  // or never answered.
  bool waitUntilAnswering() {
    auto t = transport(SNMP_VERSION_2C);
    static const uint32_t kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
    for (int i = 0; i < 50; i++) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      SNMP_PDU request(SNMP_GET_REQUEST, 1000 + i, SNMP_VERSION_2C);
      request.bindVariable(new SNMP_Variable(kSysUpTime, 9));
      SNMP_PDU *response = nullptr;
      uint32_t rc = t->doRequest(&request, &response, 100, 1);
      delete response;
      if (rc == SNMP_ERR_SUCCESS) return true;
      if (rc != SNMP_ERR_TIMEOUT) usleep(100 * 1000);  // refused: not bound yet
    }
    return false;
  }

  void stopProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 50; i++) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      usleep(100 * 1000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::vector<std::string> extraConfig_;
  bool keepEngine_ = false;
  bool ipv6_ = false;
  std::string dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};
