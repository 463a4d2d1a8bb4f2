// What every session of one AgentServer shares: the configuration, the stop
// signal, the records tests read, and the diagnostic log.
//
// Owned by AgentServer::Impl, which outlives every session thread. The
// configuration is read-only once start() has checked it; the records and the
// stop event are safe from any thread.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "agent_server.h"
#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"

namespace kmagent::detail {

// The record lists of one server, each bounded to its newest kMaxRecords.
class Records {
 public:
  // Enough for any test's history, small enough that a long-running agent
  // with recording on cannot grow without end.
  static constexpr size_t kMaxRecords = 4096;

  explicit Records(bool enabled) : enabled_(enabled) {}

  void addLogin(LoginRecord record);
  void addProxyHop(const ProxyHopRecord &record);
  void addRequest(const RequestRecord &record);

  std::vector<LoginRecord> logins() const;
  std::vector<ProxyHopRecord> proxyHops() const;
  std::vector<RequestRecord> requests() const;
  void clear();

 private:
  const bool enabled_;
  mutable KmMutex lock_{0};
  // All three guarded by lock_; any thread.
  std::deque<LoginRecord> logins_ KM_GUARDED_BY(lock_);
  std::deque<ProxyHopRecord> proxyHops_ KM_GUARDED_BY(lock_);
  std::deque<RequestRecord> requests_ KM_GUARDED_BY(lock_);
};

struct ServerShared {
  explicit ServerShared(const AgentConfig &cfg) : config(cfg), records(cfg.keepRecords) {}
  ServerShared(const ServerShared &) = delete;
  ServerShared &operator=(const ServerShared &) = delete;

  // printf-style line to config.log, if one is set.
  void logf(LogLevel level, const char *format, ...) const __attribute__((format(printf, 3, 4)));

  const AgentConfig &config;  // checked by start(); read-only afterwards
  // When the server was made; Agent.Uptime counts from here.
  const std::chrono::steady_clock::time_point created = std::chrono::steady_clock::now();
  KmEvent stopping;           // set once by stop(); delays and idle loops wait on it
  Records records;
};

}  // namespace kmagent::detail
