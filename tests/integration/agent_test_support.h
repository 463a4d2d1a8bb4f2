// The session subclass the AgentConnection integration tests share: it
// captures what it prints and receives. Test threads and the session's
// receiver thread may use it at once.
#pragma once

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/agent.h"
#include "resource_check.h"  // fds and threads must be back to their counts at the end
#include "support/raw_peer.h"
#include "support/temp_dir.h"
#include "support/test_key.h"
#include "support/wait.h"

namespace kmtest {

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

}  // namespace kmtest
