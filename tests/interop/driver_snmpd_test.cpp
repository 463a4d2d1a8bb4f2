// NetworkDeviceDriver against net-snmp's snmpd: the interfaces, names, types,
// MAC addresses and IPv4 addresses it discovers must be exactly what snmpwalk
// shows for ifTable, ifXTable and ipAddrTable, and the VLANs exactly the
// Q-BRIDGE-MIB rows snmpd is told to serve. Devices with interfaces of the
// test's choosing live in a private network namespace.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kmbase/text.h"
#include "kmsrv/driver.h"
#include "kmsrv/snmp.h"
#include "support/netns_fixture.h"
#include "support/snmpd_fixture.h"

namespace {

// One row of a snmpwalk -On -Ox listing: the name after the walked root, and
// the value (octet strings as their bytes, other types as printed).
struct ToolRow {
  std::vector<uint32_t> index;
  std::string value;
};

std::vector<ToolRow> Walk(const SnmpdInstance &snmpd, const std::string &root) {
  std::string out = snmpd.runTool("snmpwalk", "2c", "-Ox " + root);
  // Long hex strings continue on lines of their own.
  std::vector<std::string> records;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '.') {
      records.push_back(line);
    } else if (!records.empty()) {
      records.back() += " " + line;
    }
  }
  std::vector<ToolRow> rows;
  for (const std::string &r : records) {
    size_t eq = r.find(" = ");
    if (eq == std::string::npos || r.compare(0, root.size() + 1, root + ".") != 0) continue;
    ToolRow row;
    std::istringstream name(r.substr(root.size() + 1, eq - root.size() - 1));
    std::string element;
    while (std::getline(name, element, '.')) row.index.push_back(std::stoul(element));
    std::string value = r.substr(eq + 3);
    if (value.rfind("Hex-STRING: ", 0) == 0) {
      std::istringstream hex(value.substr(12));
      std::string pair;
      while (hex >> pair) row.value.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
    } else if (value != "\"\"") {
      size_t colon = value.find(": ");
      row.value = colon == std::string::npos ? value : value.substr(colon + 2);
    }
    rows.push_back(row);
  }
  return rows;
}

uint32_t ParseAddress(const std::string &text) {
  unsigned a, b, c, d;
  if (sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
  return (a << 24) | (b << 16) | (c << 8) | d;
}

// What snmpwalk shows of a device, by column.
struct DeviceView {
  std::vector<uint32_t> ifIndexes;  // walk order
  std::map<uint32_t, std::string> descr, name, alias, physAddress;
  std::map<uint32_t, uint32_t> type;
  struct Address {
    uint32_t address, netMask, ifIndex;
  };
  std::vector<Address> addresses;  // walk order
};

DeviceView ReadWithSnmpwalk(const SnmpdInstance &snmpd) {
  DeviceView v;
  auto single = [](const ToolRow &r) { return r.index.size() == 1 ? r.index[0] : 0; };
  for (const ToolRow &r : Walk(snmpd, ".1.3.6.1.2.1.2.2.1.1"))
    v.ifIndexes.push_back(std::stoul(r.value));
  for (const ToolRow &r : Walk(snmpd, ".1.3.6.1.2.1.2.2.1.2")) v.descr[single(r)] = r.value;
  for (const ToolRow &r : Walk(snmpd, ".1.3.6.1.2.1.2.2.1.3"))
    v.type[single(r)] = std::stoul(r.value);
  for (const ToolRow &r : Walk(snmpd, ".1.3.6.1.2.1.2.2.1.6")) v.physAddress[single(r)] = r.value;
  for (const ToolRow &r : Walk(snmpd, ".1.3.6.1.2.1.31.1.1.1.1")) v.name[single(r)] = r.value;
  for (const ToolRow &r : Walk(snmpd, ".1.3.6.1.2.1.31.1.1.1.18")) v.alias[single(r)] = r.value;
  std::map<std::vector<uint32_t>, uint32_t> ifIndex, netMask;
  for (const ToolRow &r : Walk(snmpd, ".1.3.6.1.2.1.4.20.1.2"))
    ifIndex[r.index] = std::stoul(r.value);
  for (const ToolRow &r : Walk(snmpd, ".1.3.6.1.2.1.4.20.1.3"))
    netMask[r.index] = ParseAddress(r.value);
  for (const ToolRow &r : Walk(snmpd, ".1.3.6.1.2.1.4.20.1.1")) {
    v.addresses.push_back({ParseAddress(r.value), netMask[r.index], ifIndex[r.index]});
  }
  return v;
}

// The record discovery should produce, from what snmpwalk showed.
struct ExpectedRecord {
  std::u16string displayName, description;
  uint32_t ifIndex = 0, ifType = 0, ipAddr = 0, ipNetMask = 0;
  std::string mac = std::string(6, '\0');
};

std::u16string Wide(const std::string &utf8) { return KmUtf8ToWide(utf8).substr(0, 255); }

std::u16string Composed(const std::u16string &first, const std::u16string &second) {
  if (first.size() >= 253) return first;
  return (first + u" (" + second + u")").substr(0, 255);
}

std::vector<ExpectedRecord> Expect(const DeviceView &v, int32_t useAliases, bool useIfXTable) {
  std::vector<ExpectedRecord> records;
  for (uint32_t index : v.ifIndexes) {
    ExpectedRecord e;
    e.ifIndex = index;
    e.description = Wide(v.descr.at(index));
    std::u16string nameText = e.description;
    if (useIfXTable && v.name.count(index)) nameText = Wide(v.name.at(index));
    std::string alias = v.alias.count(index) ? v.alias.at(index) : "";
    alias.erase(0, alias.find_first_not_of(" \t"));
    alias.erase(alias.find_last_not_of(" \t") + 1);
    std::u16string a = Wide(alias);
    if (useAliases <= 0 || useAliases >= 4 || a.empty()) {
      e.displayName = nameText;
    } else if (useAliases == 1) {
      e.displayName = a;
    } else {
      e.displayName = useAliases == 2 ? Composed(a, nameText) : Composed(nameText, a);
    }
    e.ifType = v.type.count(index) ? v.type.at(index) : 1;
    std::string phys = v.physAddress.count(index) ? v.physAddress.at(index) : "";
    e.mac = (phys + std::string(6, '\0')).substr(0, 6);
    records.push_back(e);
  }
  const size_t interfaces = records.size();
  for (const DeviceView::Address &a : v.addresses) {
    for (size_t i = 0; i < interfaces; i++) {
      if (records[i].ifIndex != a.ifIndex) continue;
      if (records[i].ipAddr == 0) {
        records[i].ipAddr = a.address;
        records[i].ipNetMask = a.netMask;
      } else {
        ExpectedRecord copy = records[i];
        copy.ipAddr = a.address;
        copy.ipNetMask = a.netMask;
        records.push_back(copy);
      }
      break;
    }
  }
  return records;
}

void ExpectSameInterfaces(const InterfaceList *list, const std::vector<ExpectedRecord> &expected) {
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->getSize(), static_cast<int32_t>(expected.size()));
  for (size_t i = 0; i < expected.size(); i++) {
    const KM_INTERFACE_INFO *r = list->get(static_cast<int32_t>(i));
    const ExpectedRecord &e = expected[i];
    SCOPED_TRACE("record " + std::to_string(i) + ", ifIndex " + std::to_string(e.ifIndex));
    EXPECT_EQ(r->ifIndex, e.ifIndex);
    EXPECT_EQ(std::u16string(r->displayName), e.displayName);
    EXPECT_EQ(std::u16string(r->description), e.description);
    EXPECT_EQ(r->ifType, e.ifType);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(r->macAddr), 6), e.mac);
    EXPECT_EQ(r->ipAddr, e.ipAddr);
    EXPECT_EQ(r->ipNetMask, e.ipNetMask);
  }
}

std::string Hex(size_t bytes, std::initializer_list<std::pair<size_t, uint8_t>> set) {
  std::string bits(bytes, '\0');
  for (auto [at, value] : set) bits[at] = static_cast<char>(value);
  std::string text = "0x";
  char pair[3];
  for (char c : bits) {
    snprintf(pair, sizeof(pair), "%02X", static_cast<uint8_t>(c));
    text += pair;
  }
  return text;
}

TEST(DriverSnmpdInterop, InterfacesMatchSnmpwalkForEveryAliasModeWithAndWithoutIfXTable) {
  // A device of known shape when namespaces are allowed (one interface with
  // two addresses, one with an address, one with none), otherwise the host's.
  NetworkNamespace ns;
  std::string why = ns.create("drv");
  if (why.empty()) {
    why = ns.batch({"link add ifb0 type ifb", "link add ifb1 type ifb", "link add ifb2 type ifb",
                    "link set ifb0 up", "link set ifb1 up", "link set ifb2 up",
                    "addr add 198.18.0.1/24 dev ifb0", "addr add 198.18.1.1/25 dev ifb0",
                    "addr add 198.19.0.1/16 dev ifb1"});
  }
  if (why.empty()) why = ns.enter();
  if (!why.empty()) {
    std::cout << "[ NOTE     ] using the host's own interfaces: " << why << "\n";
    ns.remove();
  }
  // ifAlias is empty on snmpd unless overridden: one padded alias on ifIndex 1.
  SnmpdInstance snmpd({"override .1.3.6.1.2.1.31.1.1.1.18.1 octet_str \"  Loopback uplink \""});
  std::string notStarted = snmpd.start();
  if (!notStarted.empty()) GTEST_SKIP() << notStarted;

  DeviceView view = ReadWithSnmpwalk(snmpd);
  ASSERT_FALSE(view.ifIndexes.empty());
  ASSERT_FALSE(view.addresses.empty());
  if (!ns.name().empty()) {
    ASSERT_EQ(view.ifIndexes.size(), 4u);
    ASSERT_EQ(view.addresses.size(), 4u);
  }
  NetworkDeviceDriver driver;
  for (uint32_t bulk : {0u, 2u}) {  // 2: many bulk requests, each answer cut at the columns' end
    driver.setBulkWalks(bulk);
    for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
      auto transport = snmpd.transport(version);
      for (bool useIfXTable : {true, false}) {
        for (int32_t useAliases : {0, 1, 2, 3}) {
          SCOPED_TRACE("bulk " + std::to_string(bulk) + ", version " + std::to_string(version) +
                       ", useIfXTable " + std::to_string(useIfXTable) + ", useAliases " +
                       std::to_string(useAliases));
          std::unique_ptr<InterfaceList> list(
              driver.getInterfaces(transport.get(), nullptr, useAliases, useIfXTable));
          ExpectSameInterfaces(list.get(), Expect(view, useAliases, useIfXTable));
        }
      }
    }
  }
  driver.setBulkWalks(0);
  // The alias really took part: stripped, and composed both ways.
  auto transport = snmpd.transport(SNMP_VERSION_2C);
  std::unique_ptr<InterfaceList> list(driver.getInterfaces(transport.get(), nullptr, 2, true));
  ASSERT_TRUE(list);
  EXPECT_EQ(std::u16string(list->findByIfIndex(1)->displayName).rfind(u"Loopback uplink (", 0), 0u);
}

// Polls ifNumber until it reads `count` (snmpd notices new links at its next
// cache reload); false after about a minute.
bool WaitForInterfaceCount(SNMP_Transport *transport, int32_t count) {
  for (int i = 0; i < 300; i++) {
    int32_t ifNumber = 0;
    if (SnmpGet(SNMP_VERSION_2C, transport, u".1.3.6.1.2.1.2.1.0", nullptr, 0, &ifNumber, 2, 0) ==
            SNMP_ERR_SUCCESS &&
        ifNumber == count) {
      return true;
    }
    usleep(200 * 1000);
  }
  return false;
}

TEST(DriverSnmpdInterop, ThousandInterfaceDeviceIsDiscoveredCompletely) {
  constexpr int kLinks = 1000;
  NetworkNamespace ns;
  std::string why = ns.create("drv-large");
  if (!why.empty()) GTEST_SKIP() << why;
  why = ns.enter();
  if (!why.empty()) GTEST_SKIP() << why;
  // snmpd starts on the bare namespace (loading 1,000 interfaces at start-up
  // can outlast the fixture's start-up wait) and finds the links later.
  const UsmUser v3User = FindUsmUser("u_SHA_AES");
  SnmpdInstance snmpd(UsmUserLines({v3User}));
  std::string notStarted = snmpd.start();
  if (!notStarted.empty()) GTEST_SKIP() << notStarted;

  std::vector<std::string> commands;
  for (int i = 0; i < kLinks; i++)
    commands.push_back("link add ifb" + std::to_string(i) + " type ifb");
  for (int i = 0; i < kLinks; i++) commands.push_back("link set ifb" + std::to_string(i) + " up");
  // Addresses on every 20th link only: snmpd's ipAddrTable slows down
  // sharply as addresses grow.
  for (int i = 0; i < kLinks; i += 20) {
    commands.push_back("addr add 198.18." + std::to_string(i / 20) + ".1/24 dev ifb" +
                       std::to_string(i));
  }
  why = ns.batch(commands);
  if (!why.empty()) GTEST_SKIP() << "cannot build the large device: " << why;
  auto transport = snmpd.transport(SNMP_VERSION_2C);
  ASSERT_TRUE(WaitForInterfaceCount(transport.get(), kLinks + 1));  // and lo

  DeviceView view = ReadWithSnmpwalk(snmpd);
  ASSERT_EQ(view.ifIndexes.size(), static_cast<size_t>(kLinks + 1));
  ASSERT_EQ(view.addresses.size(), static_cast<size_t>(kLinks / 20 + 1));

  NetworkDeviceDriver driver;
  std::unique_ptr<InterfaceList> list(driver.getInterfaces(transport.get(), nullptr, 3, true));
  ExpectSameInterfaces(list.get(), Expect(view, 3, true));
  ASSERT_TRUE(list);
  EXPECT_EQ(list->getCapacity(), kLinks + 1);  // ifNumber was right: no growth

  // The same with bulk walks, over SNMPv2c and SNMPv3.
  auto v3 = snmpd.v3Transport(v3User);
  driver.setBulkWalks(SNMP_DEFAULT_MAX_REPETITIONS);
  for (SNMP_Transport *t :
       {static_cast<SNMP_Transport *>(transport.get()), static_cast<SNMP_Transport *>(v3.get())}) {
    SCOPED_TRACE("bulk, version " + std::to_string(t->getSnmpVersion()));
    list.reset(driver.getInterfaces(t, nullptr, 3, true));
    ExpectSameInterfaces(list.get(), Expect(view, 3, true));
  }

  // GETBULK walks of the whole ifTable visit the names and types of the
  // GETNEXT walk (the counters move in between).
  struct Seen {
    std::vector<std::pair<std::vector<uint32_t>, uint32_t>> rows;
    static uint32_t Add(uint32_t, SNMP_Variable *var, SNMP_Transport *, void *arg) {
      static_cast<Seen *>(arg)->rows.emplace_back(
          std::vector<uint32_t>(var->getName(), var->getName() + var->getNameLength()),
          var->getType());
      return 0;
    }
  };
  Seen getNext;
  ASSERT_EQ(
      SnmpEnumerate(SNMP_VERSION_2C, transport.get(), u".1.3.6.1.2.1.2.2", Seen::Add, &getNext, 0),
      SNMP_ERR_SUCCESS);
  EXPECT_GT(getNext.rows.size(), static_cast<size_t>(20 * kLinks));
  for (SNMP_Transport *t :
       {static_cast<SNMP_Transport *>(transport.get()), static_cast<SNMP_Transport *>(v3.get())}) {
    Seen bulk;
    EXPECT_EQ(SnmpWalkBulk(t->getSnmpVersion(), t, u".1.3.6.1.2.1.2.2", Seen::Add, &bulk, 0),
              SNMP_ERR_SUCCESS);
    EXPECT_TRUE(bulk.rows == getNext.rows) << t->getSnmpVersion();
  }
}

TEST(DriverSnmpdInterop, VlansAreTheStaticRowsWithTheirEgressPorts) {
  const std::string names = ".1.3.6.1.2.1.17.7.1.4.3.1.1";
  const std::string egress = ".1.3.6.1.2.1.17.7.1.4.2.1.4";
  SnmpdInstance snmpd({
      "override " + names + ".1 octet_str \"default\"",
      "override " + names + ".10 octet_str \"users\"",
      "override " + names + ".20 octet_str \"static only\"",
      "override " + names + ".4094 octet_str \"last\"",
      "override " + egress + ".0.1 octet_str " + Hex(3, {{0, 0xFF}, {2, 0x01}}),
      "override " + egress + ".0.10 octet_str 0x8001",
      "override " + egress + ".0.30 octet_str 0xFF",  // no static row
      "override " + egress + ".0.4094 octet_str " + Hex(512, {{511, 0x01}}),
      "override " + egress + ".5.10 octet_str 0x40",  // a later time mark
  });
  std::string notStarted = snmpd.start();
  if (!notStarted.empty()) GTEST_SKIP() << notStarted;
  ASSERT_EQ(Walk(snmpd, names).size(), 4u);
  ASSERT_EQ(Walk(snmpd, egress).size(), 5u);

  struct Vlan {
    int32_t id;
    std::u16string name;
    std::vector<uint32_t> ports;
  };
  const std::vector<Vlan> expected = {{1, u"default", {1, 2, 3, 4, 5, 6, 7, 8, 24}},
                                      {10, u"users", {1, 16, 2}},
                                      {20, u"static only", {}},
                                      {4094, u"last", {4096}}};
  NetworkDeviceDriver driver;
  const std::pair<uint32_t, uint32_t> modes[] = {
      {SNMP_VERSION_1, 0}, {SNMP_VERSION_2C, 0}, {SNMP_VERSION_2C, 3}};  // version, bulk
  for (auto [version, bulk] : modes) {
    SCOPED_TRACE(std::to_string(version) + "/" + std::to_string(bulk));
    driver.setBulkWalks(bulk);
    auto transport = snmpd.transport(version);
    VlanList *list = driver.getVlans(transport.get(), nullptr);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->getSize(), static_cast<int32_t>(expected.size()));
    for (size_t i = 0; i < expected.size(); i++) {
      const VlanInfo *vlan = list->get(static_cast<int32_t>(i));
      EXPECT_EQ(vlan->getVlanId(), expected[i].id);
      EXPECT_EQ(std::u16string(vlan->getName()), expected[i].name);
      EXPECT_EQ(std::vector<uint32_t>(vlan->getPorts(), vlan->getPorts() + vlan->getNumPorts()),
                expected[i].ports);
      EXPECT_EQ(vlan->getPortReferenceMode(), 2);
    }
    list->decRefCount();
  }
}

}  // namespace
