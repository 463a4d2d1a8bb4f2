#include "snmp_commands.h"

#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli_options.h"
#include "json_writer.h"
#include "kmbase/refcount.h"
#include "kmbase/text.h"
#include "kmsnmp/snmp.h"
#include "kmsrv/driver.h"
#include "kmsrv/snmp.h"
#include "kmsrv/snmp_proxy.h"
#include "record_output.h"
#include "text_table.h"

namespace kmquery {

namespace {

// Characters of one value as SnmpGet returns it: the largest SNMP message
// holds no longer string, and hexadecimal takes three characters per byte.
constexpr uint32_t kValueChars = 3 * SNMP_MAX_MESSAGE_SIZE + 1;

const Choices<uint32_t> kVersions = {
    {"1", SNMP_VERSION_1}, {"2c", SNMP_VERSION_2C}, {"3", SNMP_VERSION_3}};
const Choices<uint32_t> kLevels = {{"noAuthNoPriv", SNMP_SECURITY_NO_AUTH_NO_PRIV},
                                   {"authNoPriv", SNMP_SECURITY_AUTH_NO_PRIV},
                                   {"authPriv", SNMP_SECURITY_AUTH_PRIV}};
const Choices<uint32_t> kAuthProtocols = {
    {"MD5", SNMP_AUTH_MD5},        {"SHA", SNMP_AUTH_SHA1},       {"SHA-1", SNMP_AUTH_SHA1},
    {"SHA-224", SNMP_AUTH_SHA224}, {"SHA-256", SNMP_AUTH_SHA256}, {"SHA-384", SNMP_AUTH_SHA384},
    {"SHA-512", SNMP_AUTH_SHA512}};
const Choices<uint32_t> kPrivProtocols = {{"DES", SNMP_PRIV_DES},
                                          {"AES", SNMP_PRIV_AES128},
                                          {"AES-128", SNMP_PRIV_AES128},
                                          {"AES-192", SNMP_PRIV_AES192},
                                          {"AES-256", SNMP_PRIV_AES256}};

void Wipe(std::string *secret) {
  if (!secret->empty()) explicit_bzero(secret->data(), secret->size());
  secret->clear();
}

CLI::Validator OidValidator() {
  return CLI::Validator(
      [](std::string &text) -> std::string {
        uint32_t elements[SNMP_MAX_OID_LENGTH];
        if (SNMPParseOID(text.c_str(), elements, SNMP_MAX_OID_LENGTH) == 0)
          return "\"" + text + "\" is not a numeric OID (like .1.3.6.1.2.1.1.1.0)";
        return {};
      },
      "OID");
}

struct WalkRow {
  std::string oid;
  std::string type;
  std::string value;
};

struct WalkState {
  std::vector<WalkRow> rows;
  std::vector<char16_t> value = std::vector<char16_t>(kValueChars);
};

uint32_t CollectVariable(uint32_t, SNMP_Variable *var, SNMP_Transport *, void *arg) {
  auto *state = static_cast<WalkState *>(arg);
  char oid[SNMP_MAX_OID_LENGTH * 11 + 2];
  SNMPConvertOIDToText(var->getNameLength(), var->getName(), oid, sizeof(oid));
  bool hex = true;
  var->getValueAsPrintableString(state->value.data(), state->value.size(), &hex);
  std::string type = SnmpCommand::typeName(var->getType());
  if (hex && (var->getType() == ASN_OCTET_STRING || var->getType() == ASN_OPAQUE))
    type = "Hex-STRING";
  state->rows.push_back({oid, type, KmWideToUtf8(state->value.data())});
  return 0;
}

}  // namespace

SnmpCommand::SnmpCommand(CLI::App &root) {
  command_ = root.add_subcommand("snmp", "Read an SNMP device");
  command_->add_option("HOST", host_, "Device's address or host name")->required();
  command_->require_subcommand(1);
  command_->fallthrough();
  const char *group = "SNMP";
  AddChoiceOption(command_, "-v,--snmp-version", &version_, kVersions, "SNMP version (default 2c)")
      ->group(group);
  const char *v3 = "SNMPv3";
  command_->add_option("-u,--user", user_, "SNMPv3 user name")->option_text("USER")->group(v3);
  AddChoiceOption(command_, "-l,--level", &level_, kLevels,
                  "SNMPv3 security level (default: authPriv with -X, authNoPriv with -A, "
                  "else noAuthNoPriv)")
      ->group(v3);
  // A protocol, its pass phrase (option, environment variable) and a file
  // that may hold the pass phrase instead.
  auto addProtocol = [&](const char *protocolOption, uint32_t *protocol,
                         const Choices<uint32_t> &choices, const char *protocolHelp,
                         const char *passOption, const std::string &what, const char *env,
                         std::string *pass, std::string *passFile) {
    AddChoiceOption(command_, protocolOption, protocol, choices, protocolHelp)->group(v3);
    command_->add_option(passOption, *pass, what + " pass phrase")
        ->envname(env)
        ->option_text("PASSPHRASE")
        ->group(v3);
    const std::string fileOption = std::string(passOption).substr(3) + "-file";
    command_
        ->add_option(fileOption, *passFile,
                     "Read the " + what + " pass phrase from the first line of FILE")
        ->option_text("FILE")
        ->group(v3);
  };
  addProtocol("-a,--auth-protocol", &authProtocol_, kAuthProtocols,
              "Authentication protocol (default SHA)", "-A,--auth-passphrase", "authentication",
              "KMQUERY_AUTH_PASSPHRASE", &authPass_, &authPassFile_);
  addProtocol("-x,--priv-protocol", &privProtocol_, kPrivProtocols,
              "Privacy protocol (default AES)", "-X,--priv-passphrase", "privacy",
              "KMQUERY_PRIV_PASSPHRASE", &privPass_, &privPassFile_);
  command_->add_option("-n,--context", contextName_, "SNMPv3 context name (default empty)")
      ->option_text("CONTEXT")
      ->group(v3);
  command_->add_option("-c,--community", community_, "Community (default public)")
      ->envname("KMQUERY_COMMUNITY")
      ->option_text("COMMUNITY")
      ->group(group);
  command_->add_option("-p,--port", port_, "Device's UDP port (default 161)")
      ->check(CLI::Range(1, 65535))
      ->option_text("PORT")
      ->group(group);
  command_
      ->add_option("-w,--timeout", timeoutMs_,
                   "Milliseconds each of the 3 attempts of a request waits (default 2000)")
      ->check(CLI::Range(1u, 600000u))
      ->option_text("MS")
      ->group(group);

  command_
      ->add_option("--via-agent", viaAgent_,
                   "Send the requests through the agent at HOST[:PORT] (default port 4700), "
                   "which forwards them to the device")
      ->option_text("HOST[:PORT]")
      ->group(group);
  AddAgentConnectionOptions(command_, &agentOptions_, false, true);

  CLI::App *get =
      addCommand("get", "Read the value of each OID",
                 [this](SNMP_Transport &t, const Output &o) { return this->get(t, o); });
  get->add_option("OID", oids_, "Numeric OIDs, like .1.3.6.1.2.1.1.1.0")
      ->required()
      ->check(OidValidator());

  auto addRepetitions = [this](CLI::App *sub) {
    sub->add_option("--max-repetitions", repetitions_,
                    "Variables asked for per GETBULK request (default 50)")
        ->check(CLI::Range(1u, static_cast<unsigned>(SNMP_MAX_VARIABLES)))
        ->option_text("N");
    // The common tools' spelling: -Cr25.
    sub->add_option_function<std::string>(
           "-C",
           [this](const std::string &v) {
             repetitions_ = static_cast<uint32_t>(std::stoul(v.substr(1)));
           },
           "rN: as --max-repetitions N")
        ->check([](const std::string &v) -> std::string {
          if (v.size() < 2 || v[0] != 'r' || v.size() > 6 ||
              v.find_first_not_of("0123456789", 1) != std::string::npos)
            return "expected rN, like -Cr25";
          unsigned long n = std::stoul(v.substr(1));
          if (n < 1 || n > SNMP_MAX_VARIABLES) return "N must be 1 to 1024";
          return {};
        })
        ->option_text("rN");
  };
  CLI::App *walk =
      addCommand("walk", "Read every variable under an OID",
                 [this](SNMP_Transport &t, const Output &o) { return this->walk(t, o, bulk_); });
  walk->add_option("OID", root_, "Numeric OID of the subtree")->required()->check(OidValidator());
  walk->add_flag("--bulk", bulk_, "Walk with GETBULK (SNMPv2c and v3)");
  addRepetitions(walk);

  CLI::App *bulkwalk =
      addCommand("bulkwalk", "Read every variable under an OID with GETBULK",
                 [this](SNMP_Transport &t, const Output &o) { return this->walk(t, o, true); });
  bulkwalk->add_option("OID", root_, "Numeric OID of the subtree")
      ->required()
      ->check(OidValidator());
  addRepetitions(bulkwalk);

  CLI::App *ifs =
      addCommand("interfaces", "Discover the device's interfaces and addresses",
                 [this](SNMP_Transport &t, const Output &o) { return interfaces(t, o); });
  ifs->add_option("--aliases", aliases_,
                  "How ifAlias enters the name: 0 not at all, 1 alias instead of the name, "
                  "2 \"alias (name)\", 3 \"name (alias)\"")
      ->check(CLI::Range(0, 3))
      ->option_text("0-3");
  ifs->add_flag("--ifxtable", ifXTable_, "Name interfaces by ifName (ifXTable), not ifDescr");
  ifs->add_flag("--bulk", bulk_, "Read the tables with GETBULK (SNMPv2c and v3)");
  addRepetitions(ifs);

  CLI::App *vlans =
      addCommand("vlans", "Discover the device's VLANs and their ports (Q-BRIDGE-MIB)",
                 [this](SNMP_Transport &t, const Output &o) { return this->vlans(t, o); });
  vlans->add_flag("--bulk", bulk_, "Read the tables with GETBULK (SNMPv2c and v3)");
  addRepetitions(vlans);
}

CLI::App *SnmpCommand::addCommand(const std::string &name, const std::string &help, Action action) {
  CLI::App *sub = command_->add_subcommand(name, help);
  sub->fallthrough();
  sub->preparse_callback([this, action = std::move(action)](size_t) { action_ = action; });
  return sub;
}

bool SnmpCommand::selected() const { return command_->parsed(); }

std::string SnmpCommand::device() const {
  std::string text = host_ + ":" + std::to_string(port_);
  if (!viaAgent_.empty()) text += " via agent " + AgentLabel(agentOptions_);
  return text;
}

SNMP_SecurityContext *SnmpCommand::makeSecurityContext(const Output &out, int *status) {
  *status = kExitOk;
  if (version_ != SNMP_VERSION_3) return new SNMP_SecurityContext(community_.c_str());
  auto fromFile = [&](const std::string &path, std::string *pass, const char *what) {
    if (path.empty()) return true;
    if (ReadSecretLine(path, SNMP_MAX_PASSPHRASE_LENGTH, pass)) return true;
    *status = out.fail(kExitUsage, std::string("cannot read the ") + what + " pass phrase file " +
                                       path + ": " + std::strerror(errno));
    return false;
  };
  SNMP_SecurityContext *ctx = nullptr;
  if (fromFile(authPassFile_, &authPass_, "authentication") &&
      fromFile(privPassFile_, &privPass_, "privacy")) {
    uint32_t level = level_;
    if (level == 0) {
      level = !privPass_.empty()   ? SNMP_SECURITY_AUTH_PRIV
              : !authPass_.empty() ? SNMP_SECURITY_AUTH_NO_PRIV
                                   : SNMP_SECURITY_NO_AUTH_NO_PRIV;
    }
    if (user_.empty()) {
      *status = out.fail(kExitUsage, "SNMPv3 needs a user name (-u USER)");
    } else {
      ctx = new SNMP_SecurityContext(
          user_.c_str(), level, authProtocol_ ? authProtocol_ : SNMP_AUTH_SHA1, authPass_.c_str(),
          privProtocol_ ? privProtocol_ : SNMP_PRIV_AES128, privPass_.c_str());
      if (ctx->getSetupError() != SNMP_ERR_SUCCESS || !ctx->setContextName(contextName_.c_str())) {
        *status = out.fail(kExitUsage,
                           "unusable SNMPv3 settings: the level needs its pass phrases (-A for "
                           "authNoPriv, -A and -X for authPriv) of 8 to 1024 characters, user "
                           "and context names take at most 32");
        delete ctx;
        ctx = nullptr;
      }
    }
  }
  Wipe(&authPass_);
  Wipe(&privPass_);
  return ctx;
}

int SnmpCommand::exitStatus(uint32_t rc) {
  switch (rc) {
    case SNMP_ERR_UNKNOWN_USER:
    case SNMP_ERR_WRONG_DIGEST:
    case SNMP_ERR_DECRYPTION:
    case SNMP_ERR_UNSUPPORTED_LEVEL:
    case SNMP_ERR_UNKNOWN_CONTEXT:
      return kExitSnmpCredentials;
    default:
      return SnmpExitStatus(rc);
  }
}

int SnmpCommand::run(const Output &out, int32_t debugLevel) {
  std::string error;
  int status = kExitOk;
  std::unique_ptr<SNMP_SecurityContext> context(makeSecurityContext(out, &status));
  if (!context) return status;
  g_dwSNMPTimeout = timeoutMs_;
  std::unique_ptr<SNMP_Transport> transport;
  if (viaAgent_.empty()) {
    // Any address text the library takes: a name, 192.0.2.1, 2001:db8::1,
    // [2001:db8::1], udp6:[...]:PORT.
    uint32_t rc = SNMP_ERR_SUCCESS;
    transport.reset(SNMP_UDPTransport::create(host_.c_str(), port_, &rc));
    if (!transport)
      return out.fail(kExitConnection, rc == SNMP_ERR_BAD_ADDRESS
                                           ? "cannot resolve " + host_ + " to an address"
                                           : "cannot open a UDP socket to " + device() + ": " +
                                                 std::strerror(errno));
  } else {
    uint32_t address = 0;
    if (!ResolveIpv4(host_, &address, &error)) return out.fail(kExitConnection, error);
    if (!SplitHostPort(viaAgent_, kDefaultAgentPort, &agentOptions_.host, &agentOptions_.port,
                       &error))
      return out.fail(kExitUsage, "--via-agent: " + error);
    // The agent waits for the device itself: each attempt waits as long for
    // the agent's answer as it would for the device's.
    agentOptions_.timeoutMs = timeoutMs_;
    agentOptions_.debugLevel = debugLevel;
    std::unique_ptr<CliAgentConnection> conn = ConnectAgent(agentOptions_, out, &status);
    if (!conn) return status;
    // The transport owns the session from here on.
    transport = std::make_unique<SNMP_ProxyTransport>(conn.release(), ntohl(address), port_);
  }
  transport->setSnmpVersion(version_);
  transport->setSecurityContext(context.release());
  return action_(*transport, out);
}

const char *SnmpCommand::typeName(uint32_t type) {
  switch (type) {
    case ASN_INTEGER:
      return "INTEGER";
    case ASN_BIT_STRING:
      return "BITS";
    case ASN_OCTET_STRING:
      return "STRING";
    case ASN_NULL:
      return "NULL";
    case ASN_OBJECT_ID:
      return "OID";
    case ASN_IP_ADDR:
      return "IpAddress";
    case ASN_COUNTER32:
      return "Counter32";
    case ASN_GAUGE32:
      return "Gauge32";
    case ASN_TIMETICKS:
      return "Timeticks";
    case ASN_OPAQUE:
      return "Opaque";
    case ASN_NSAP_ADDR:
      return "NsapAddress";
    case ASN_COUNTER64:
      return "Counter64";
    case ASN_UINTEGER32:
      return "UInteger32";
    case ASN_NO_SUCH_OBJECT:
      return "noSuchObject";
    case ASN_NO_SUCH_INSTANCE:
      return "noSuchInstance";
    case ASN_END_OF_MIBVIEW:
      return "endOfMibView";
    default:
      return "unknown";
  }
}

std::string SnmpCommand::noAnswerHint(uint32_t rc) const {
  if (rc == SNMP_ERR_TIMEOUT && version_ == SNMP_VERSION_3)
    return "no answer (wrong port or version, or the device is down?)";
  if (rc == SNMP_ERR_TIMEOUT) return "no answer (wrong community, port or version?)";
  if (rc == SNMP_ERR_COMM && !viaAgent_.empty())
    return "the agent did not get an answer from the device, or refused to forward";
  return {};
}

int SnmpCommand::probe(SNMP_Transport &t, const Output &out, const char16_t *oid,
                       const std::string &what) {
  std::vector<char16_t> value(256);
  const uint32_t rc = SnmpGet(version_, &t, oid, nullptr, 0, value.data(),
                              static_cast<uint32_t>(value.size()), SNMPGET_AS_STRING);
  if (rc == SNMP_ERR_SUCCESS) return kExitOk;
  return out.failCode(exitStatus(rc), what, "snmp", rc, SNMPGetErrorText(rc), noAnswerHint(rc));
}

int SnmpCommand::get(SNMP_Transport &t, const Output &out) {
  int status = kExitOk;
  ValueReport report("device", device(), "oid", "OID");
  std::vector<char16_t> value(kValueChars);
  for (const std::string &oid : oids_) {
    const std::u16string wideOid = KmUtf8ToWide(oid);
    const uint32_t rc = SnmpGet(version_, &t, wideOid.c_str(), nullptr, 0, value.data(),
                                static_cast<uint32_t>(value.size()), SNMPGET_AS_PRINTABLE);
    if (rc == SNMP_ERR_SUCCESS) {
      report.value(oid, KmWideToUtf8(value.data()));
      continue;
    }
    status = exitStatus(rc);
    if (status == kExitConnection || status == kExitSnmpCredentials) {
      // The device is not answering: the other OIDs would only wait too.
      return out.failCode(status, "get " + oid + " from " + device(), "snmp", rc,
                          SNMPGetErrorText(rc), noAnswerHint(rc));
    }
    report.error(oid, "get " + oid + " from " + device(), rc, KmWideToUtf8(SNMPGetErrorText(rc)));
  }
  return report.print(out, status);
}

int SnmpCommand::walk(SNMP_Transport &t, const Output &out, bool bulk) {
  WalkState state;
  const std::vector<WalkRow> &rows = state.rows;
  const std::u16string root = KmUtf8ToWide(root_);
  const uint32_t rc =
      bulk ? SnmpWalkBulk(version_, &t, root.c_str(), CollectVariable, &state, 0, repetitions_)
           : SnmpEnumerate(version_, &t, root.c_str(), CollectVariable, &state, 0);
  const std::string errorText = KmWideToUtf8(SNMPGetErrorText(rc));
  if (out.json()) {
    JsonWriter w;
    w.beginObject().key("device").value(device()).key("root").value(root_);
    w.key("variables").beginArray();
    for (const WalkRow &r : rows) {
      w.beginObject().key("oid").value(r.oid).key("type").value(r.type);
      w.key("value").value(r.value).endObject();
    }
    w.endArray();
    if (rc != SNMP_ERR_SUCCESS) {
      w.key("error").beginObject().key("domain").value("snmp").key("code").value(rc);
      w.key("text").value(errorText).endObject();
    }
    w.endObject();
    out.printJson(w.text());
  } else if (!rows.empty()) {
    TextTable table({"OID", "TYPE", "VALUE"});
    for (const WalkRow &r : rows) table.addRow({r.oid, r.type, r.value});
    out.print(table.render());
  }
  if (rc == SNMP_ERR_SUCCESS) {
    if (rows.empty() && !out.json())
      std::fprintf(stderr, "kmquery: no variables under %s on %s\n", root_.c_str(),
                   device().c_str());
    return kExitOk;
  }
  const std::string detail =
      rows.empty() ? std::string() : std::to_string(rows.size()) + " variables read before";
  std::fprintf(stderr, "kmquery: walk %s on %s: error %u (%s)%s%s\n", root_.c_str(),
               device().c_str(), rc, errorText.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  return exitStatus(rc);
}

int SnmpCommand::interfaces(SNMP_Transport &t, const Output &out) {
  // ifNumber.0: discovery reads it first; asking here gives its failure a code.
  int status = probe(t, out, u".1.3.6.1.2.1.2.1.0", "reading ifNumber from " + device());
  if (status != kExitOk) return status;
  NetworkDeviceDriver driver;
  if (bulk_) driver.setBulkWalks(repetitions_ ? repetitions_ : SNMP_DEFAULT_MAX_REPETITIONS);
  std::unique_ptr<InterfaceList> list(driver.getInterfaces(&t, nullptr, aliases_, ifXTable_));
  if (!list)
    return out.fail(kExitPeer, "interface discovery on " + device() +
                                   " failed (a walk of ifTable or ipAddrTable failed, or the "
                                   "device has more interface records than accepted)");
  if (out.json()) {
    JsonWriter w;
    w.beginObject().key("device").value(device()).key("interfaces");
    WriteInterfaces(w, *list);
    w.endObject();
    out.printJson(w.text());
  } else {
    out.print(InterfaceTable(*list).render());
  }
  return kExitOk;
}

int SnmpCommand::vlans(SNMP_Transport &t, const Output &out) {
  int status = probe(t, out, u".1.3.6.1.2.1.1.3.0", "reading sysUpTime from " + device());
  if (status != kExitOk) return status;
  NetworkDeviceDriver driver;
  if (bulk_) driver.setBulkWalks(repetitions_ ? repetitions_ : SNMP_DEFAULT_MAX_REPETITIONS);
  const KmRef<VlanList> list(driver.getVlans(&t, nullptr));
  if (!list)
    return out.fail(kExitPeer, "VLAN discovery on " + device() +
                                   " failed (a walk of the Q-BRIDGE-MIB failed, or the device "
                                   "has more VLANs or ports than accepted)");
  JsonWriter w;
  w.beginObject().key("device").value(device()).key("vlans").beginArray();
  TextTable table({"VLAN", "NAME", "PORTS"});
  table.alignRight(0);
  for (int32_t i = 0; i < list->getSize(); i++) {
    const VlanInfo *v = list->get(i);
    const std::string name = KmWideToUtf8(v->getName());
    std::vector<uint32_t> ports(v->getPorts(), v->getPorts() + v->getNumPorts());
    w.beginObject().key("id").value(v->getVlanId()).key("name").value(name);
    w.key("ports").beginArray();
    for (uint32_t p : ports) w.value(p);
    w.endArray().endObject();
    table.addRow({std::to_string(v->getVlanId()), name, FormatPortList(ports)});
  }
  w.endArray().endObject();
  out.print(out.json() ? w.text() + "\n" : table.render());
  return kExitOk;
}

}  // namespace kmquery
