// `kmquery snmp HOST [options] COMMAND ...`: reads an SNMP device with the
// library's request helpers (SnmpGet, SnmpEnumerate, SnmpWalkBulk) and
// discovers its interfaces and VLANs with the generic NetworkDeviceDriver,
// directly over UDP (IPv4 or IPv6) or, with --via-agent, through an agent
// (SNMP_ProxyTransport); SNMPv1, v2c, or v3 with a USM user.
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
class SNMP_SecurityContext;

namespace kmquery {

// The agent did not accept our SNMPv3 credentials: unknown user, wrong
// authentication or privacy pass phrase, a security level the user lacks,
// an unknown context (docs/cli.md).
inline constexpr int kExitSnmpCredentials = 5;

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
  int walk(SNMP_Transport &t, const Output &out, bool bulk);
  int interfaces(SNMP_Transport &t, const Output &out);
  int vlans(SNMP_Transport &t, const Output &out);
  // A GET of one well-known object, so that an unreachable device is told
  // apart from a failed discovery. kExitOk or the reported failure.
  int probe(SNMP_Transport &t, const Output &out, const char16_t *oid, const std::string &what);
  std::string device() const;
  // What to add to the message of a failed request, if anything.
  std::string noAnswerHint(uint32_t rc) const;
  // The exit status of a failed request (credentials: kExitSnmpCredentials).
  static int exitStatus(uint32_t rc);
  // The security context the options ask for, or null with a usage error
  // printed and *status set. Pass phrases are wiped from the options.
  SNMP_SecurityContext *makeSecurityContext(const Output &out, int *status);

  CLI::App *command_ = nullptr;
  std::string host_;
  uint16_t port_ = 161;
  uint32_t version_ = 1;  // SNMP_VERSION_2C
  std::string community_ = "public";
  uint32_t timeoutMs_ = 2000;
  std::string viaAgent_;       // HOST[:PORT] of the agent that forwards, empty: direct
  AgentOptions agentOptions_;  // its connection options
  // SNMPv3 (-u -l -a -A -x -X -n); pass phrases are secrets: wiped once the
  // context is made, never printed.
  std::string user_;
  uint32_t level_ = 0;  // 0: from what was given
  uint32_t authProtocol_ = 0;
  uint32_t privProtocol_ = 0;
  std::string authPass_;
  std::string privPass_;
  std::string authPassFile_;
  std::string privPassFile_;
  std::string contextName_;
  std::vector<std::string> oids_;
  std::string root_;
  bool bulk_ = false;
  uint32_t repetitions_ = 0;  // -Cr N / --max-repetitions; 0: the library's default
  int32_t aliases_ = 0;
  bool ifXTable_ = false;
  Action action_;
};

}  // namespace kmquery
