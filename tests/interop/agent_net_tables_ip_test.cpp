// The network tables AgentConnection reads from the reference agent (run
// in-process) against what iproute2's `ip -j` shows on the same machine:
// interfaces with their IPv4 addresses, prefixes, indexes, types and MAC
// addresses; the ARP cache's complete entries; the main routing table. Run
// on the host's own tables and, where network namespaces are allowed, on a
// namespace of known contents.
//
// Neighbour and route tables may change between two reads. Each comparison
// reads `ip` before and after the agent's list and retries (a few times) until
// the two `ip` reads agree; what it then demands holds even if they never do:
// every entry `ip` showed both times is in the agent's table, and every entry
// of the agent's table was shown by `ip` at least once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "agent_server.h"
#include "ip_json.h"
#include "kmsrv/agent.h"
#include "kmsrv/interfaces.h"
#include "kmsrv/net_tables.h"
#include "support/netns_fixture.h"

namespace {

using iptest::Json;

constexpr int kAttempts = 3;

uint32_t Address(const std::string &text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1 ? ntohl(a.s_addr) : 0;
}

uint32_t Mask(uint32_t bits) { return bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits); }

// "aa:bb:cc:dd:ee:ff" as 12 upper-case hex digits; "" for anything else.
std::string MacHex(const std::string &text) {
  if (text.size() != 17) return "";
  std::string hex;
  for (size_t i = 0; i < text.size(); i++) {
    if (i % 3 == 2) {
      if (text[i] != ':') return "";
      continue;
    }
    if (!isxdigit(static_cast<unsigned char>(text[i]))) return "";
    hex += static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
  }
  return hex;
}

std::string MacHex(const uint8_t *mac) {
  char hex[13];
  for (int i = 0; i < 6; i++) snprintf(hex + 2 * i, 3, "%02X", mac[i]);
  return hex;
}

std::string Utf8(const char16_t *wide) {
  std::string s;
  for (; *wide != 0; wide++) s.push_back(*wide < 0x80 ? static_cast<char>(*wide) : '?');
  return s;
}

// The IF-MIB type of an `ip link` link type.
uint32_t IfTypeOf(const std::string &linkType) {
  static const std::map<std::string, uint32_t> kTypes = {
      {"ether", 6},  {"loopback", 24}, {"ppp", 23},        {"ipip", 131},
      {"sit", 131},  {"gre", 131},     {"ieee802.11", 71},
  };
  auto it = kTypes.find(linkType);
  return it == kTypes.end() ? 1 : it->second;
}

// ---------------------------------------------------------------------------
// What ip shows
// ---------------------------------------------------------------------------

struct Link {
  std::string name;
  uint32_t ifType;
  std::string mac;  // 12 hex digits, zeros when the link has no 6-byte address
};

// One interface record, as both sides can tell it.
using InterfaceRow = std::tuple<uint32_t /*ifIndex*/, uint32_t /*address*/, uint32_t /*mask*/,
                                std::string /*name*/, uint32_t /*ifType*/, std::string /*mac*/>;
// One ARP entry: address, MAC, ifIndex.
using ArpRow = std::tuple<uint32_t, std::string, uint32_t>;
// One route: destination, mask, next hop, ifIndex, type (3 direct, 4 via a gateway).
using RouteRow = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t>;

class IpView {
 public:
  explicit IpView(std::string ip) : ip_(std::move(ip)) {}

  bool readLinks(std::string *why) {
    bool ok;
    Json links = iptest::IpJson(ip_, "link show", &ok);
    if (!ok) {
      *why = "`ip -j link show` gave no JSON (an iproute2 without -j?)";
      return false;
    }
    links_.clear();
    for (const Json &l : links.items) {
      std::string mac = MacHex(l["address"].str());
      links_[l["ifindex"].u32()] = {l["ifname"].str(), IfTypeOf(l["link_type"].str()),
                                    mac.empty() ? std::string(12, '0') : mac};
    }
    return !links_.empty() || (*why = "`ip link` shows no interfaces", false);
  }

  uint32_t indexOf(const std::string &name) const {
    for (const auto &[index, link] : links_)
      if (link.name == name) return index;
    return 0;
  }

  // One row per IPv4 address; one row with address and mask 0 for a link
  // without any.
  std::multiset<InterfaceRow> interfaces(bool *ok) const {
    Json addrs = iptest::IpJson(ip_, "-4 addr show", ok);
    std::multiset<InterfaceRow> rows;
    std::set<uint32_t> withAddress;
    for (const Json &l : addrs.items) {
      const uint32_t index = l["ifindex"].u32();
      auto link = links_.find(index);
      if (link == links_.end()) continue;
      for (const Json &a : l["addr_info"].items) {
        if (a["family"].str() != "inet") continue;
        const std::string label = a["label"].isNull() ? link->second.name : a["label"].str();
        rows.insert({index, Address(a["local"].str()), Mask(a["prefixlen"].u32()), label,
                     link->second.ifType, link->second.mac});
        withAddress.insert(index);
      }
    }
    for (const auto &[index, link] : links_)
      if (withAddress.count(index) == 0) rows.insert({index, 0, 0, link.name, link.ifType, link.mac});
    return rows;
  }

  // Complete neighbour entries in the states the kernel's ARP table lists
  // as complete.
  std::set<ArpRow> neighbours(bool *ok) const {
    Json neigh = iptest::IpJson(ip_, "-4 neigh show", ok);
    std::set<ArpRow> rows;
    for (const Json &n : neigh.items) {
      const Json &state = n["state"];
      if (!(state.contains("REACHABLE") || state.contains("STALE") ||
            state.contains("PERMANENT") || state.contains("DELAY") || state.contains("PROBE") ||
            state.contains("NOARP")))
        continue;
      const std::string mac = MacHex(n["lladdr"].str());
      if (mac.empty()) continue;
      rows.insert({Address(n["dst"].str()), mac, indexOf(n["dev"].str())});
    }
    return rows;
  }

  // Unicast routes of the main table over one interface; `rejects` gets the
  // destinations (address, mask) of the typed ones (blackhole and the like).
  std::multiset<RouteRow> routes(std::set<std::pair<uint32_t, uint32_t>> *rejects,
                                 bool *ok) const {
    Json table = iptest::IpJson(ip_, "-4 route show table main", ok);
    std::multiset<RouteRow> rows;
    rejects->clear();
    for (const Json &r : table.items) {
      const std::string dst = r["dst"].str();
      uint32_t address = 0, mask = 0;
      if (dst != "default") {
        const size_t slash = dst.find('/');
        address = Address(dst.substr(0, slash));
        mask = slash == std::string::npos ? 0xFFFFFFFFu
                                          : Mask(static_cast<uint32_t>(std::stoul(dst.substr(slash + 1))));
      }
      if (!r["type"].isNull() && r["type"].str() != "unicast") {
        rejects->insert({address, mask});
        continue;
      }
      if (r["dev"].isNull()) continue;  // several next hops: not compared
      const bool viaGateway = !r["gateway"].isNull();
      rows.insert({address, mask, viaGateway ? Address(r["gateway"].str()) : 0,
                   indexOf(r["dev"].str()), viaGateway ? 4u : 3u});
    }
    return rows;
  }

 private:
  std::string ip_;
  std::map<uint32_t, Link> links_;
};

// ---------------------------------------------------------------------------
// What the agent serves
// ---------------------------------------------------------------------------

std::multiset<InterfaceRow> AgentInterfaces(AgentConnection &conn, bool *ok) {
  std::unique_ptr<InterfaceList> list(conn.getInterfaceList());
  *ok = list != nullptr;
  std::multiset<InterfaceRow> rows;
  if (!list) return rows;
  for (int32_t i = 0; i < list->getSize(); i++) {
    const KM_INTERFACE_INFO *r = list->get(i);
    EXPECT_EQ(std::u16string(r->displayName), std::u16string(r->description));
    rows.insert({r->ifIndex, r->ipAddr, r->ipNetMask, Utf8(r->displayName), r->ifType,
                 MacHex(r->macAddr)});
  }
  return rows;
}

std::set<ArpRow> AgentArp(AgentConnection &conn, bool *ok) {
  ARP_CACHE *arp = conn.getArpCache();
  *ok = arp != nullptr;
  std::set<ArpRow> rows;
  if (arp == nullptr) return rows;
  for (uint32_t i = 0; i < arp->numEntries; i++) {
    const ARP_CACHE_ENTRY &e = arp->entries[i];
    rows.insert({e.ipAddr, MacHex(e.macAddr), e.ifIndex});
  }
  DestroyArpCache(arp);
  return rows;
}

std::multiset<RouteRow> AgentRoutes(AgentConnection &conn,
                                    std::vector<std::pair<uint32_t, uint32_t>> *withoutInterface,
                                    bool *ok) {
  ROUTING_TABLE *table = conn.getRoutingTable();
  *ok = table != nullptr;
  std::multiset<RouteRow> rows;
  withoutInterface->clear();
  if (table == nullptr) return rows;
  for (uint32_t i = 0; i < table->numEntries; i++) {
    const ROUTING_TABLE_ENTRY &e = table->entries[i];
    if (e.ifIndex == 0) {
      withoutInterface->push_back({e.destAddr, e.destMask});
      continue;
    }
    rows.insert({e.destAddr, e.destMask, e.nextHop, e.ifIndex, e.routeType});
  }
  DestroyRoutingTable(table);
  return rows;
}

template <typename Set>
Set Intersection(const Set &a, const Set &b) {
  Set out;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
  return out;
}

template <typename Set>
Set Union(const Set &a, const Set &b) {
  Set out;
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
  return out;
}

template <typename Set>
bool Includes(const Set &outer, const Set &inner) {
  return std::includes(outer.begin(), outer.end(), inner.begin(), inner.end());
}

std::string Describe(const InterfaceRow &r) {
  char a[16], m[16];
  in_addr x{htonl(std::get<1>(r))}, y{htonl(std::get<2>(r))};
  inet_ntop(AF_INET, &x, a, sizeof(a));
  inet_ntop(AF_INET, &y, m, sizeof(m));
  return std::to_string(std::get<0>(r)) + " " + a + "/" + m + " " + std::get<3>(r) + " type " +
         std::to_string(std::get<4>(r)) + " " + std::get<5>(r);
}

template <typename Set, typename F>
std::string List(const Set &rows, F describe) {
  std::string s;
  for (const auto &r : rows) s += "\n  " + describe(r);
  return s;
}

std::string DescribeArp(const ArpRow &r) {
  char a[16];
  in_addr x{htonl(std::get<0>(r))};
  inet_ntop(AF_INET, &x, a, sizeof(a));
  return std::string(a) + " " + std::get<1>(r) + " if " + std::to_string(std::get<2>(r));
}

std::string DescribeRoute(const RouteRow &r) {
  char d[16], m[16], g[16];
  in_addr x{htonl(std::get<0>(r))}, y{htonl(std::get<1>(r))}, z{htonl(std::get<2>(r))};
  inet_ntop(AF_INET, &x, d, sizeof(d));
  inet_ntop(AF_INET, &y, m, sizeof(m));
  inet_ntop(AF_INET, &z, g, sizeof(g));
  return std::string(d) + "/" + m + " via " + g + " if " + std::to_string(std::get<3>(r)) +
         " type " + std::to_string(std::get<4>(r));
}

// Compares the three tables of the machine (or namespace) this thread is in
// through a session to `agent`. Returns what it compared, for the caller's
// own checks.
struct Compared {
  std::multiset<InterfaceRow> interfaces;
  std::set<ArpRow> arp;
  std::multiset<RouteRow> routes;
  std::vector<std::pair<uint32_t, uint32_t>> routesWithoutInterface;
};

Compared CompareWithIp(const std::string &ip, uint16_t agentPort) {
  Compared c;
  AgentConnection conn(htonl(INADDR_LOOPBACK), agentPort);
  EXPECT_TRUE(conn.connect());
  IpView view(ip);
  std::string why;
  EXPECT_TRUE(view.readLinks(&why)) << why;

  // Interfaces and addresses: these do not change under the test.
  for (int attempt = 0; attempt < kAttempts; attempt++) {
    bool ok1, ok2, ok3;
    auto before = view.interfaces(&ok1);
    c.interfaces = AgentInterfaces(conn, &ok2);
    auto after = view.interfaces(&ok3);
    EXPECT_TRUE(ok1 && ok2 && ok3);
    if (before != after && attempt + 1 < kAttempts) {
      view.readLinks(&why);
      continue;
    }
    EXPECT_EQ(c.interfaces, before) << "agent:" << List(c.interfaces, Describe)
                                    << "\nip:" << List(before, Describe);
    break;
  }

  for (int attempt = 0; attempt < kAttempts; attempt++) {
    bool ok1, ok2, ok3;
    auto before = view.neighbours(&ok1);
    c.arp = AgentArp(conn, &ok2);
    auto after = view.neighbours(&ok3);
    EXPECT_TRUE(ok1 && ok2 && ok3);
    if (before != after && attempt + 1 < kAttempts) continue;
    const auto seenTwice = Intersection(before, after);
    const auto seenOnce = Union(before, after);
    EXPECT_TRUE(Includes(c.arp, seenTwice))
        << "agent:" << List(c.arp, DescribeArp) << "\nip:" << List(seenTwice, DescribeArp);
    EXPECT_TRUE(Includes(seenOnce, c.arp))
        << "agent:" << List(c.arp, DescribeArp) << "\nip:" << List(seenOnce, DescribeArp);
    break;
  }

  for (int attempt = 0; attempt < kAttempts; attempt++) {
    bool ok1, ok2, ok3;
    std::set<std::pair<uint32_t, uint32_t>> rejects, rejectsAfter;
    auto before = view.routes(&rejects, &ok1);
    c.routes = AgentRoutes(conn, &c.routesWithoutInterface, &ok2);
    auto after = view.routes(&rejectsAfter, &ok3);
    EXPECT_TRUE(ok1 && ok2 && ok3);
    if ((before != after || rejects != rejectsAfter) && attempt + 1 < kAttempts) continue;
    EXPECT_EQ(c.routes, before) << "agent:" << List(c.routes, DescribeRoute)
                                << "\nip:" << List(before, DescribeRoute);
    // A route the agent lists without an interface is one of the typed ones
    // (blackhole, unreachable, prohibit).
    for (const auto &dest : c.routesWithoutInterface)
      EXPECT_TRUE(rejects.count(dest) != 0 || rejectsAfter.count(dest) != 0);
    break;
  }
  return c;
}

// A kmagentd process, stopped by its PID.
class AgentProcess {
 public:
  AgentProcess() = default;
  ~AgentProcess() { stop(); }
  AgentProcess(const AgentProcess &) = delete;
  AgentProcess &operator=(const AgentProcess &) = delete;

  // Starts argv and waits (about 10 s at most) until a session to
  // 127.0.0.1:port opens. "" or why not.
  std::string start(std::vector<std::string> argv, uint16_t port) {
    std::vector<char *> av;
    for (std::string &a : argv) av.push_back(a.data());
    av.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawn(&pid_, av[0], &actions, nullptr, av.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      return std::string("cannot start kmagentd: ") + strerror(rc);
    }
    for (int i = 0; i < 100; i++) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return "kmagentd ended at start (wait status " + std::to_string(status) + ")";
      }
      AgentConnection probe(htonl(INADDR_LOOPBACK), port);
      probe.setConnectionTimeout(1000);
      if (probe.connect()) return "";
      usleep(100 * 1000);
    }
    return "kmagentd did not answer on port " + std::to_string(port);
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 50 && pid_ > 0; i++) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
      else usleep(100 * 1000);
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
};

TEST(AgentNetTablesVersusIp, HostTablesAgreeWithIp) {
  const std::string ip = iptest::FindIp();
  if (ip.empty()) GTEST_SKIP() << "the ip program (Debian package iproute2) is not installed";
  bool ok;
  iptest::IpJson(ip, "link show", &ok);
  if (!ok) GTEST_SKIP() << "this iproute2 prints no JSON (ip -j); comparison skipped";
  const kmagent::AgentConfig config;  // a named default: GCC 12 misreads a temporary's strings
  kmagent::AgentServer agent{config};
  std::string error;
  ASSERT_TRUE(agent.start(&error)) << error;
  Compared c = CompareWithIp(ip, agent.port());
  // Every host has its loopback interface with 127.0.0.1/8.
  EXPECT_TRUE(std::any_of(c.interfaces.begin(), c.interfaces.end(), [](const InterfaceRow &r) {
    return std::get<1>(r) == 0x7F000001u && std::get<2>(r) == 0xFF000000u && std::get<4>(r) == 24;
  }));
  agent.stop();
}

TEST(AgentNetTablesVersusIp, NamespaceOfKnownContentsAgreesWithIp) {
  const std::string ip = iptest::FindIp();
  if (ip.empty()) GTEST_SKIP() << "the ip program (Debian package iproute2) is not installed";
  NetworkNamespace ns;
  std::string why = ns.create("tables");
  if (why.empty()) {
    why = ns.batch({
        "link add va type veth peer name vb",
        "link add ifbq type ifb",  // no address, down
        "link set va up",
        "link set vb up",
        "addr add 198.18.7.1/24 dev va",
        "addr add 198.18.8.1/25 dev va label va:1",
        "addr add 198.18.9.1/30 dev vb",
        "neigh add 198.18.7.5 lladdr 02:00:00:00:07:05 dev va nud permanent",
        "neigh add 198.18.7.6 lladdr 02:00:00:00:07:06 dev va nud stale",
        "neigh add 198.18.9.2 lladdr 02:00:00:00:09:02 dev vb nud permanent",
        "route add 203.0.113.0/24 via 198.18.7.5",
        "route add 198.51.100.0/24 via 198.18.9.2 dev vb",
        "route add default via 198.18.7.5",
        "route add blackhole 192.0.2.128/25",
    });
  }
  if (why.empty()) why = ns.enter();
  if (!why.empty()) GTEST_SKIP() << why;
  bool ok;
  iptest::IpJson(ip, "link show", &ok);
  if (!ok) GTEST_SKIP() << "this iproute2 prints no JSON (ip -j); comparison skipped";

  // kmagentd as a program of the namespace (`ip netns exec` also gives it the
  // namespace's view of /sys, where it reads link types and MAC addresses).
  // The namespace is new: its port 4700 is free.
  constexpr uint16_t kPort = 4700;
  AgentProcess agent;
  why = agent.start({ip, "netns", "exec", ns.name(), KMAGENTD_PATH, "--foreground", "--listen",
                     "127.0.0.1:" + std::to_string(kPort)},
                    kPort);
  ASSERT_EQ(why, "");
  Compared c = CompareWithIp(ip, kPort);

  // The comparison saw what was put there.
  auto hasInterface = [&](const char *name, uint32_t address, uint32_t mask) {
    return std::any_of(c.interfaces.begin(), c.interfaces.end(), [&](const InterfaceRow &r) {
      return std::get<3>(r) == name && std::get<1>(r) == address && std::get<2>(r) == mask &&
             std::get<4>(r) == 6 && std::get<5>(r) != std::string(12, '0');
    });
  };
  EXPECT_TRUE(hasInterface("va", 0xC6120701u, 0xFFFFFF00u));
  EXPECT_TRUE(hasInterface("va:1", 0xC6120801u, 0xFFFFFF80u));
  EXPECT_TRUE(hasInterface("vb", 0xC6120901u, 0xFFFFFFFCu));
  EXPECT_TRUE(hasInterface("ifbq", 0, 0));
  EXPECT_EQ(c.arp.size(), 3u);
  EXPECT_EQ(c.arp.count({0xC6120705u, "020000000705", if_nametoindex("va")}), 1u);
  EXPECT_EQ(c.arp.count({0xC6120706u, "020000000706", if_nametoindex("va")}), 1u);
  EXPECT_EQ(c.routes.count({0xCB007100u, 0xFFFFFF00u, 0xC6120705u, if_nametoindex("va"), 4u}), 1u);
  EXPECT_EQ(c.routes.count({0, 0, 0xC6120705u, if_nametoindex("va"), 4u}), 1u);
  EXPECT_EQ(c.routes.count({0xC6336400u, 0xFFFFFF00u, 0xC6120902u, if_nametoindex("vb"), 4u}), 1u);
  EXPECT_EQ(c.routes.count({0xC6120700u, 0xFFFFFF00u, 0, if_nametoindex("va"), 3u}), 1u);
  EXPECT_EQ(c.routesWithoutInterface,
            (std::vector<std::pair<uint32_t, uint32_t>>{{0xC0000280u, 0xFFFFFF80u}}));
}

}  // namespace
