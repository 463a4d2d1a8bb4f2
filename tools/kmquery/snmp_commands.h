// `kmquery snmp HOST [options] COMMAND ...`: reads an SNMP device with the
// library's request helpers (SnmpGet, SnmpEnumerate) and discovers its
// interfaces and VLANs with the generic NetworkDeviceDriver, directly over
// UDP or, with --via-agent, through an agent (SNMP_ProxyTransport).
//
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent_session.h"
#include "cli_support.h"

namespace CLI {
class App;
}
class SNMP_Transport;

namespace kmquery {

class SnmpCommand {
 public:
  explicit SnmpCommand(CLI::App &root);
  SnmpCommand(const SnmpCommand &) = delete;
  SnmpCommand &operator=(const SnmpCommand &) = delete;

  bool selected() const;
  int run(const Output &out, int32_t debugLevel);

  // The name of an SNMP value type as tools usually print it ("INTEGER",
  // "Counter32", "Timeticks", ...).
  static const char *typeName(uint32_t asnType);

 private:
  using Action = std::function<int(SNMP_Transport &, const Output &)>;
  CLI::App *addCommand(const std::string &name, const std::string &help, Action action);

  int get(SNMP_Transport &t, const Output &out);
  int walk(SNMP_Transport &t, const Output &out);
  int interfaces(SNMP_Transport &t, const Output &out);
  int vlans(SNMP_Transport &t, const Output &out);
  // A GET of one well-known object, so that an unreachable device is told
  // apart from a failed discovery. kExitOk or the reported failure.
  int probe(SNMP_Transport &t, const Output &out, const char16_t *oid, const std::string &what);
  std::string device() const;
  // What to add to the message of a failed request, if anything.
  std::string noAnswerHint(uint32_t rc) const;

  CLI::App *command_ = nullptr;
  std::string host_;
  uint16_t port_ = 161;
  uint32_t version_ = 1;  // SNMP_VERSION_2C
  std::string community_ = "public";
  uint32_t timeoutMs_ = 2000;
  std::string viaAgent_;     // HOST[:PORT] of the agent that forwards, empty: direct
  AgentOptions agentOptions_;  // its connection options
  std::vector<std::string> oids_;
  std::string root_;
  int32_t aliases_ = 0;
  bool ifXTable_ = false;
  Action action_;
};

}  // namespace kmquery
