// SNMP requests carried through the reference agent (run in-process) to
// net-snmp's snmpd give the same answers as the same requests sent directly:
// single GETs, whole walks, and the generic driver's interface and VLAN
// discovery. Also what a proxied request tells when the agent cannot carry it
// out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "agent_server.h"
#include "kmsrv/agent.h"
#include "kmsrv/driver.h"
#include "kmsrv/interfaces.h"
#include "kmsrv/snmp.h"
#include "kmsrv/snmp_proxy.h"
#include "kmsrv/vlans.h"
#include "support/netns_fixture.h"
#include "support/snmpd_fixture.h"

namespace {

// The reference agent in this process, and proxy transports through it: each
// transport gets a session of its own, which it owns. Start the agent after
// entering a network namespace to have it reach devices there.
class AgentProxy {
 public:
  // Forwards to the test's devices wherever they are, unless the test
  // names its own range.
  explicit AgentProxy(kmagent::AgentConfig config = {}) : agent_(AnyDevice(std::move(config))) {}

  static kmagent::AgentConfig AnyDevice(kmagent::AgentConfig config) {
    if (config.snmpAllowed.empty()) config.snmpAllowed = {{0, 0}};
    return config;
  }

  // "" once the agent listens, otherwise why not.
  std::string start() {
    std::string error;
    return agent_.start(&error) ? "" : "the reference agent did not start: " + error;
  }

  // A connected proxy transport to the SNMP agent at device:port (host byte
  // order) for `version` with community "public", or null when the session
  // could not be opened.
  std::unique_ptr<SNMP_ProxyTransport> transport(uint16_t port, uint32_t version,
                                                 uint32_t device = INADDR_LOOPBACK) {
    auto *conn = new AgentConnection(htonl(INADDR_LOOPBACK), agent_.port());
    if (!conn->connect()) {
      delete conn;
      return nullptr;
    }
    auto t = std::make_unique<SNMP_ProxyTransport>(conn, device, port);
    t->setSnmpVersion(version);
    t->setSecurityContext(new SNMP_SecurityContext("public"));
    return t;
  }

  // The same for an SNMPv3 user of the fixture.
  std::unique_ptr<SNMP_ProxyTransport> v3Transport(uint16_t port, const UsmUser &user) {
    auto t = transport(port, SNMP_VERSION_3);
    if (t) {
      t->setSecurityContext(new SNMP_SecurityContext(user.name.c_str(), user.level, user.auth,
                                                     kUsmAuthPass, user.priv, kUsmPrivPass));
    }
    return t;
  }

  kmagent::AgentServer &server() { return agent_; }

 private:
  kmagent::AgentServer agent_;
};

// One varbind of a walk, as it came.
struct Varbind {
  std::vector<uint32_t> name;
  uint32_t type;
  std::vector<uint8_t> value;
  uint32_t number;  // the value as an unsigned number, for counters and time stamps
};

uint32_t CollectVarbinds(uint32_t, SNMP_Variable *var, SNMP_Transport *, void *arg) {
  const uint8_t *value = var->getValue();
  static_cast<std::vector<Varbind> *>(arg)->push_back(
      {std::vector<uint32_t>(var->getName(), var->getName() + var->getNameLength()), var->getType(),
       std::vector<uint8_t>(value, value + var->getValueLength()), var->GetValueAsUInt()});
  return 0;
}

std::string NameText(const std::vector<uint32_t> &name) {
  char text[1024];
  SNMPConvertOIDToText(static_cast<uint32_t>(name.size()), name.data(), text, sizeof(text));
  return text;
}

// The proxied walk must be the direct one. Counters and time stamps may move
// between walks (the walks' own packets cross the loopback interface): there
// the proxied value must lie between the direct walk before it and the one
// after it.
void ExpectSameWalk(const std::vector<Varbind> &before, const std::vector<Varbind> &proxied,
                    const std::vector<Varbind> &after) {
  ASSERT_EQ(proxied.size(), before.size());
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < proxied.size(); i++) {
    const std::string where = NameText(before[i].name);
    SCOPED_TRACE(where);
    ASSERT_EQ(proxied[i].name, before[i].name);
    ASSERT_EQ(after[i].name, before[i].name);
    EXPECT_EQ(proxied[i].type, before[i].type);
    if (before[i].type == ASN_COUNTER32 || before[i].type == ASN_TIMETICKS) {
      const uint32_t low = before[i].number, high = after[i].number;
      ASSERT_LE(low, high) << "the direct walks themselves went backwards";
      EXPECT_GE(proxied[i].number, low);
      EXPECT_LE(proxied[i].number, high);
    } else {
      EXPECT_EQ(proxied[i].value, before[i].value);
    }
  }
}

TEST(SnmpProxyInterop, GetThroughAgentMatchesDirectGet) {
  SnmpdInstance snmpd({"override .1.3.6.1.4.1.99999.1.0 octet_str \"proxied\""});
  std::string why = snmpd.start();
  if (!why.empty()) GTEST_SKIP() << why;
  AgentProxy agent;
  ASSERT_EQ(agent.start(), "");
  auto proxy = agent.transport(snmpd.port(), SNMP_VERSION_2C);
  ASSERT_TRUE(proxy);
  auto direct = snmpd.transport(SNMP_VERSION_2C);

  for (const char16_t *oid :
       {u".1.3.6.1.2.1.1.6.0", u".1.3.6.1.2.1.1.1.0", u".1.3.6.1.2.1.1.5.0"}) {
    char16_t viaAgent[256] = u"unset-a", viaUdp[256] = u"unset-u";
    ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, proxy.get(), oid, nullptr, 0, viaAgent, 256, 0),
              SNMP_ERR_SUCCESS);
    ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, direct.get(), oid, nullptr, 0, viaUdp, 256, 0),
              SNMP_ERR_SUCCESS);
    EXPECT_EQ(std::u16string(viaAgent), std::u16string(viaUdp));
  }
  EXPECT_EQ(proxy->getLastAgentResult(), RCC_SUCCESS);
  char16_t location[64];
  ASSERT_EQ(
      SnmpGet(SNMP_VERSION_2C, proxy.get(), u".1.3.6.1.4.1.99999.1.0", nullptr, 0, location, 64, 0),
      SNMP_ERR_SUCCESS);
  EXPECT_EQ(std::u16string(location), u"proxied");
  int32_t ifNumber = -1, directIfNumber = -2;
  ASSERT_EQ(
      SnmpGet(SNMP_VERSION_2C, proxy.get(), u".1.3.6.1.2.1.2.1.0", nullptr, 0, &ifNumber, 0, 0),
      SNMP_ERR_SUCCESS);
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, direct.get(), u".1.3.6.1.2.1.2.1.0", nullptr, 0,
                    &directIfNumber, 0, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(ifNumber, directIfNumber);
  // The device's own "no such object" is an answer the agent carried.
  EXPECT_EQ(
      SnmpGet(SNMP_VERSION_2C, proxy.get(), u".1.3.6.1.2.1.1.1.5", nullptr, 0, location, 64, 0),
      SNMP_ERR_NO_OBJECT);
  EXPECT_EQ(proxy->getLastAgentResult(), RCC_SUCCESS);
}

TEST(SnmpProxyInterop, WalksThroughAgentGiveTheDirectWalksVarbinds) {
  // The last two names snmpd serves, so that one walk runs into the end of
  // its MIB (v1 ends there with noSuchName, v2c with endOfMibView).
  SnmpdInstance snmpd({"override .1.3.6.1.99.1.1.0 octet_str \"next to last\"",
                       "override .1.3.6.1.99.1.2.0 integer 42"});
  std::string why = snmpd.start();
  if (!why.empty()) GTEST_SKIP() << why;
  AgentProxy agent;
  ASSERT_EQ(agent.start(), "");

  for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
    auto proxy = agent.transport(snmpd.port(), version);
    ASSERT_TRUE(proxy);
    auto direct = snmpd.transport(version);
    for (const char16_t *root : {u".1.3.6.1.2.1.1", u".1.3.6.1.2.1.2.2", u".1.3.6.1.99"}) {
      SCOPED_TRACE("version " + std::to_string(version) + ", root " +
                   std::string(root, root + std::char_traits<char16_t>::length(root)));
      std::vector<Varbind> before, proxied, after;
      ASSERT_EQ(SnmpEnumerate(version, direct.get(), root, CollectVarbinds, &before, 0),
                SNMP_ERR_SUCCESS);
      ASSERT_EQ(SnmpEnumerate(version, proxy.get(), root, CollectVarbinds, &proxied, 0),
                SNMP_ERR_SUCCESS);
      ASSERT_EQ(SnmpEnumerate(version, direct.get(), root, CollectVarbinds, &after, 0),
                SNMP_ERR_SUCCESS);
      ASSERT_FALSE(before.empty());
      ExpectSameWalk(before, proxied, after);
    }
    EXPECT_EQ(proxy->getLastAgentResult(), RCC_SUCCESS);
  }
}

TEST(SnmpProxyInterop, V3ThroughAgentGivesTheDirectValues) {
  const std::vector<UsmUser> users = {FindUsmUser("u_SHA-256_AES"), FindUsmUser("u_MD5_DES"),
                                      FindUsmUser("u_SHA-512"), FindUsmUser("noAuthUser")};
  SnmpdInstance snmpd(UsmUserLines(users));
  std::string why = snmpd.start();
  if (!why.empty()) GTEST_SKIP() << why;
  AgentProxy agent;
  ASSERT_EQ(agent.start(), "");
  for (const UsmUser &user : users) {
    SCOPED_TRACE(user.name);
    auto proxy = agent.v3Transport(snmpd.port(), user);
    ASSERT_TRUE(proxy);
    auto direct = snmpd.v3Transport(user);
    char16_t viaAgent[256] = u"unset-a", viaUdp[256] = u"unset-u";
    ASSERT_EQ(
        SnmpGet(SNMP_VERSION_3, proxy.get(), u".1.3.6.1.2.1.1.6.0", nullptr, 0, viaAgent, 256, 0),
        SNMP_ERR_SUCCESS);
    ASSERT_EQ(
        SnmpGet(SNMP_VERSION_3, direct.get(), u".1.3.6.1.2.1.1.6.0", nullptr, 0, viaUdp, 256, 0),
        SNMP_ERR_SUCCESS);
    EXPECT_EQ(std::u16string(viaAgent), std::u16string(viaUdp));
    for (bool bulk : {false, true}) {
      std::vector<Varbind> before, proxied, after;
      auto walk = [bulk](SNMP_Transport *t, std::vector<Varbind> *into) {
        return bulk ? SnmpWalkBulk(SNMP_VERSION_3, t, u".1.3.6.1.2.1.2.2", CollectVarbinds, into, 0)
                    : SnmpEnumerate(SNMP_VERSION_3, t, u".1.3.6.1.2.1.2.2", CollectVarbinds, into,
                                    0);
      };
      ASSERT_EQ(walk(direct.get(), &before), SNMP_ERR_SUCCESS);
      ASSERT_EQ(walk(proxy.get(), &proxied), SNMP_ERR_SUCCESS);
      ASSERT_EQ(walk(direct.get(), &after), SNMP_ERR_SUCCESS);
      ASSERT_FALSE(before.empty());
      ExpectSameWalk(before, proxied, after);
    }
    EXPECT_EQ(proxy->getLastAgentResult(), RCC_SUCCESS);
  }
}

// ---------------------------------------------------------------------------
// Driver discovery
// ---------------------------------------------------------------------------

// Every member of every record, the reserved bytes included.
void ExpectSameInterfaces(const InterfaceList *direct, const InterfaceList *proxied) {
  ASSERT_NE(direct, nullptr);
  ASSERT_NE(proxied, nullptr);
  ASSERT_EQ(proxied->getSize(), direct->getSize());
  for (int32_t i = 0; i < direct->getSize(); i++) {
    const KM_INTERFACE_INFO *d = direct->get(i);
    const KM_INTERFACE_INFO *p = proxied->get(i);
    SCOPED_TRACE("record " + std::to_string(i) + ", ifIndex " + std::to_string(d->ifIndex));
    EXPECT_EQ(p->ifIndex, d->ifIndex);
    EXPECT_EQ(std::u16string(p->displayName), std::u16string(d->displayName));
    EXPECT_EQ(std::u16string(p->description), std::u16string(d->description));
    EXPECT_EQ(p->ifType, d->ifType);
    EXPECT_EQ(p->ipAddr, d->ipAddr);
    EXPECT_EQ(p->ipNetMask, d->ipNetMask);
    EXPECT_EQ(0, memcmp(p->macAddr, d->macAddr, sizeof(d->macAddr)));
    EXPECT_EQ(0, memcmp(p, d, sizeof(KM_INTERFACE_INFO))) << "the records differ elsewhere";
  }
}

std::vector<uint32_t> Values(const uint32_t *array, int32_t count) {
  if (array == nullptr) return {};
  return std::vector<uint32_t>(array, array + count);
}

void ExpectSameVlans(VlanList *direct, VlanList *proxied) {
  ASSERT_NE(direct, nullptr);
  ASSERT_NE(proxied, nullptr);
  ASSERT_EQ(proxied->getSize(), direct->getSize());
  for (int32_t i = 0; i < direct->getSize(); i++) {
    VlanInfo *d = direct->get(i);
    VlanInfo *p = proxied->get(i);
    SCOPED_TRACE("VLAN " + std::to_string(d->getVlanId()));
    EXPECT_EQ(p->getVlanId(), d->getVlanId());
    EXPECT_EQ(std::u16string(p->getName()), std::u16string(d->getName()));
    EXPECT_EQ(p->getPortReferenceMode(), d->getPortReferenceMode());
    ASSERT_EQ(p->getNumPorts(), d->getNumPorts());
    EXPECT_EQ(Values(p->getPorts(), p->getNumPorts()), Values(d->getPorts(), d->getNumPorts()));
    EXPECT_EQ(p->getIfIndexes() == nullptr, d->getIfIndexes() == nullptr);
    EXPECT_EQ(p->getIfIds() == nullptr, d->getIfIds() == nullptr);
  }
}

TEST(SnmpProxyInterop, DriverDiscoversThroughAgentWhatItDiscoversDirectly) {
  // A device of known shape when namespaces are allowed (an interface with
  // two addresses, one with one, one with none), otherwise the host's.
  NetworkNamespace ns;
  std::string why = ns.create("proxy");
  if (why.empty()) {
    why = ns.batch({"link add ifb0 type ifb", "link add ifb1 type ifb", "link add ifb2 type ifb",
                    "link set ifb0 up", "link set ifb1 up", "link set ifb2 up",
                    "addr add 198.18.4.1/24 dev ifb0", "addr add 198.18.5.1/26 dev ifb0",
                    "addr add 198.19.4.1/16 dev ifb2"});
  }
  if (why.empty()) why = ns.enter();
  if (!why.empty()) {
    std::cout << "[ NOTE     ] using the host's own interfaces: " << why << "\n";
    ns.remove();
  }
  const std::string names = ".1.3.6.1.2.1.17.7.1.4.3.1.1";
  const std::string egress = ".1.3.6.1.2.1.17.7.1.4.2.1.4";
  SnmpdInstance snmpd({
      "override .1.3.6.1.2.1.31.1.1.1.18.1 octet_str \" looped back \"",
      "override " + names + ".1 octet_str \"default\"",
      "override " + names + ".7 octet_str \"lab\"",
      "override " + names + ".300 octet_str \"no ports\"",
      "override " + egress + ".0.1 octet_str 0xF0000001",
      "override " + egress + ".0.7 octet_str 0x0180",
      "override " + egress + ".0.9 octet_str 0xFF",  // a VLAN without a name row
      "override " + egress + ".3.7 octet_str 0x01",  // a second time mark
  });
  std::string notStarted = snmpd.start();
  if (!notStarted.empty()) GTEST_SKIP() << notStarted;
  // Started inside the namespace (when entered): its threads live there.
  AgentProxy agent;
  ASSERT_EQ(agent.start(), "");

  NetworkDeviceDriver driver;
  for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
    auto proxy = agent.transport(snmpd.port(), version);
    ASSERT_TRUE(proxy);
    auto direct = snmpd.transport(version);
    for (bool useIfXTable : {true, false}) {
      for (int32_t useAliases : {0, 1, 2, 3}) {
        SCOPED_TRACE("version " + std::to_string(version) + ", useIfXTable " +
                     std::to_string(useIfXTable) + ", useAliases " + std::to_string(useAliases));
        std::unique_ptr<InterfaceList> viaUdp(
            driver.getInterfaces(direct.get(), nullptr, useAliases, useIfXTable));
        std::unique_ptr<InterfaceList> viaAgent(
            driver.getInterfaces(proxy.get(), nullptr, useAliases, useIfXTable));
        ExpectSameInterfaces(viaUdp.get(), viaAgent.get());
        if (!ns.name().empty() && viaUdp) {
          // lo, ifb0 to ifb2, and ifb0's second address.
          EXPECT_EQ(viaUdp->getSize(), 5);
        }
      }
    }
    VlanList *viaUdp = driver.getVlans(direct.get(), nullptr);
    VlanList *viaAgent = driver.getVlans(proxy.get(), nullptr);
    ExpectSameVlans(viaUdp, viaAgent);
    if (viaUdp != nullptr) {
      EXPECT_EQ(viaUdp->getSize(), 3);
      viaUdp->decRefCount();
    }
    if (viaAgent != nullptr) viaAgent->decRefCount();
  }
}

// ---------------------------------------------------------------------------
// Requests the agent cannot carry out
// ---------------------------------------------------------------------------

TEST(SnmpProxyInterop, FailedRequestIsCommunicationFailureAndTheAgentsCodeStaysReadable) {
  kmagent::AgentConfig config;
  config.snmpAllowed = {{0x7F000001u, 0xFFFFFFFFu}};  // 127.0.0.1 only
  config.snmpTimeoutMs = 200;
  AgentProxy agent(config);
  ASSERT_EQ(agent.start(), "");

  // A device that never answers: a bound UDP port nobody reads.
  const int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(a);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
  ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr *>(&a), &length), 0);
  const uint16_t silentPort = ntohs(a.sin_port);

  char16_t value[64] = u"untouched";
  auto unanswered = agent.transport(silentPort, SNMP_VERSION_2C);
  ASSERT_TRUE(unanswered);
  EXPECT_EQ(
      SnmpGet(SNMP_VERSION_2C, unanswered.get(), u".1.3.6.1.2.1.1.5.0", nullptr, 0, value, 64, 0),
      SNMP_ERR_COMM);
  EXPECT_EQ(unanswered->getLastAgentResult(), RCC_REQUEST_TIMEOUT);

  // A device the agent may not reach.
  auto refused = agent.transport(silentPort, SNMP_VERSION_2C, 0x7F000002u);
  ASSERT_TRUE(refused);
  std::vector<Varbind> walked;
  EXPECT_EQ(
      SnmpEnumerate(SNMP_VERSION_2C, refused.get(), u".1.3.6.1.2.1.1", CollectVarbinds, &walked, 0),
      SNMP_ERR_COMM);
  EXPECT_EQ(refused->getLastAgentResult(), RCC_ACCESS_DENIED);
  EXPECT_TRUE(walked.empty());
  EXPECT_EQ(std::u16string(value), u"untouched");

  // No session at all, and a session whose agent has gone.
  SNMP_ProxyTransport none(nullptr, INADDR_LOOPBACK, silentPort);
  none.setSecurityContext(new SNMP_SecurityContext("public"));
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &none, u".1.3.6.1.2.1.1.5.0", nullptr, 0, value, 64, 0),
            SNMP_ERR_COMM);
  EXPECT_EQ(none.getLastAgentResult(), RCC_NOT_CONNECTED);
  agent.server().stop();
  EXPECT_EQ(
      SnmpGet(SNMP_VERSION_2C, unanswered.get(), u".1.3.6.1.2.1.1.5.0", nullptr, 0, value, 64, 0),
      SNMP_ERR_COMM);
  EXPECT_EQ(unanswered->getLastAgentResult(), RCC_CONNECTION_BROKEN);
  EXPECT_EQ(std::u16string(value), u"untouched");
  close(silent);
}

}  // namespace
