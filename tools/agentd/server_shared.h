// What every session of one AgentServer shares: the configuration, the
// server core (stop signal, request records, log) and the agent's own
// records.
//
// Owned by AgentServer::Impl, which outlives every session thread. The
// configuration is read-only once start() has checked it; the records and the
// core are safe from any thread.
#pragma once

#include <chrono>

#include "agent_server.h"
#include "login_check.h"
#include "records.h"
#include "server_core.h"

namespace kmagent {

// A login record holds the secret a peer presented: wiped when it leaves
// its list.
void ForgetRecord(LoginRecord &record);

namespace detail {

// Whether address (host order) lies in one of nets; never in an empty list.
bool Allowed(const std::vector<Ipv4Network> &nets, uint32_t address);

struct ServerShared {
  explicit ServerShared(const AgentConfig &cfg);
  ServerShared(const ServerShared &) = delete;
  ServerShared &operator=(const ServerShared &) = delete;

  KmEvent &stopping() const { return core.stopping(); }
  // When the server was made; Agent.Uptime counts from here.
  std::chrono::steady_clock::time_point created() const { return core.created(); }

  const AgentConfig &config;  // checked by start(); read-only afterwards
  kmpeer::ServerCore core;
  kmpeer::RecordList<LoginRecord> logins;
  kmpeer::RecordList<ProxyHopRecord> proxyHops;
  // Failed logins by address (any session thread), and the log line about
  // them, at most one a second.
  LoginThrottle throttle;
  kmpeer::RateLimit loginFailureLog{std::chrono::milliseconds(1000)};
};

}  // namespace detail
}  // namespace kmagent
