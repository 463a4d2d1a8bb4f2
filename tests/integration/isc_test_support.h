// Shared pieces of the ISC integration tests: a session subclass that
// captures what it prints and exposes what tests need, and the reference
// peer run in-process. Test threads and the session's receiver thread may
// use a TestIsc at once; the peer helpers belong to the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "isc_server.h"
#include "kmbase/text.h"
#include "kmsrv/isc.h"
#include "resource_check.h"  // fds and threads must be back to their counts at the end
#include "support/raw_peer.h"
#include "support/test_key.h"
#include "support/wait.h"

namespace isctest {

using kmtest::kLoopbackNet;
using kmtest::TestKey;
using kmtest::WaitUntil;

// A session that records its PrintMsg lines and exposes the members a host
// subclass may use.
class TestIsc : public ISC {
 public:
  using ISC::ISC;
  ~TestIsc() override { DisconnectAndWait(); }

  void PrintMsg(const char16_t *format, ...) override {
    va_list args;
    va_start(args, format);
    std::string line = km_vformat_utf8(format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(mutex_);
    printed_.push_back(std::move(line));
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
  void clearPrinted() {
    std::lock_guard<std::mutex> guard(mutex_);
    printed_.clear();
  }
  SOCKET currentSocket() {
    Lock();
    const SOCKET s = socket;
    Unlock();
    return s;
  }
  bool encryptionRequired() const { return (flags.load() & ISC_FLAG_ENCRYPTION_REQUIRED) != 0; }
  // An id for the test's own messages, from the session's counter.
  uint32_t nextId() { return nextRequestId.fetch_add(1); }

  using ISC::commandTimeout;
  using ISC::connectTimeout;
  using ISC::flags;
  using ISC::receiveTimeout;

 private:
  std::mutex mutex_;
  std::vector<std::string> printed_;
};

// The reference peer on a loopback port the system picks.
inline std::unique_ptr<kmisc::IscServer> StartPeer(kmisc::IscConfig config) {
  config.listenAddress = "127.0.0.1";
  if (config.listenPort == kmisc::kDefaultIscPort) config.listenPort = 0;
  auto server = std::make_unique<kmisc::IscServer>(std::move(config));
  std::string error;
  EXPECT_TRUE(server->start(&error)) << error;
  return server;
}

inline kmisc::IscConfig EchoPeer(uint32_t service = 7) {
  kmisc::IscConfig config;
  config.echoServices = {service};
  return config;
}

// Codes of the requests the peer recorded, in order.
inline std::vector<uint16_t> RequestCodes(const kmisc::IscServer &server) {
  std::vector<uint16_t> codes;
  for (const kmisc::IscRequestRecord &r : server.requests()) codes.push_back(r.code);
  return codes;
}

inline size_t CountCode(const kmisc::IscServer &server, uint16_t code) {
  const std::vector<uint16_t> codes = RequestCodes(server);
  return static_cast<size_t>(std::count(codes.begin(), codes.end(), code));
}

}  // namespace isctest
