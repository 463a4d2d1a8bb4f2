// Shared pieces of the AgentConnection integration tests: a session subclass
// that captures what it prints and receives, a test RSA key, a temporary
// folder, and bounded polling.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/agent.h"
#include "resource_check.h"  // fds and threads must be back to their counts at the end

namespace kmtest {

inline const uint32_t kLoopbackNet = htonl(0x7F000001);

// Polls cond every few milliseconds for at most limitMs; true once it holds.
inline bool WaitUntil(const std::function<bool()> &cond, uint32_t limitMs = 10000) {
  for (uint32_t waited = 0; waited <= limitMs; waited += 5) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

// A session that records its PrintMsg lines, traps and pushed data, and
// exposes what tests need to see of the base class.
class TestConnection : public AgentConnection {
 public:
  using AgentConnection::AgentConnection;
  ~TestConnection() override { disconnectAndWait(); }

  void PrintMsg(const char16_t *format, ...) override {
    va_list args;
    va_start(args, format);
    std::string line = km_vformat_utf8(format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(mutex_);
    printed_.push_back(line);
  }
  void onTrap(CSCPMessage *msg) override {
    lastTrapId = msg->GetId();
    traps++;
  }
  void onDataPush(CSCPMessage *msg) override {
    lastPushId = msg->GetId();
    pushes++;
  }
  bool processCustomMessage(CSCPMessage *msg) override {
    customs++;
    return consumeCustom && msg != nullptr;
  }

  std::vector<std::string> printed() {
    std::lock_guard<std::mutex> guard(mutex_);
    return printed_;
  }
  bool printedContains(const std::string &text) {
    for (const std::string &line : printed())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  using AgentConnection::authMethod;
  using AgentConnection::executeRequest;
  using AgentConnection::receiveTimeout;
  using AgentConnection::replyQueue;
  using AgentConnection::sendMessage;
  using AgentConnection::uploadInProgress;
  using AgentConnection::waitForMessage;
  using AgentConnection::waitForRCC;

  std::atomic<int> traps{0};
  std::atomic<int> pushes{0};
  std::atomic<int> customs{0};
  std::atomic<uint32_t> lastTrapId{0};
  std::atomic<uint32_t> lastPushId{0};
  std::atomic<bool> consumeCustom{false};

 private:
  std::mutex mutex_;
  std::vector<std::string> printed_;
};

// A private folder under /tmp (kmtest-<prefix>-XXXXXX), removed with all it
// holds when the object goes.
struct TempDir {
  explicit TempDir(const char *prefix = "files") {
    std::string templ = std::string("/tmp/kmtest-") + prefix + "-XXXXXX";
    const char *made = mkdtemp(templ.data());
    path = made != nullptr ? made : "/tmp";
  }
  ~TempDir() {
    std::error_code ec;
    if (path != "/tmp") std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string file(const std::string &name) const { return path + "/" + name; }
  // The names of the entries, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(path, ec))
      out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  std::string path;
};

// A 2048-bit RSA key made once per test program (the key exchange needs the
// server's private half).
struct rsa_st *TestServerKey();

}  // namespace kmtest
