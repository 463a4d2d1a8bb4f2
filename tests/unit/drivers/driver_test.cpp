// NetworkDeviceDriver: identification and generic interface discovery against
// a scripted device.
#include "kmsrv/driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "fake_snmp_device.h"
#include "kmbase/log.h"
#include "kmbase/string_map.h"
#include "kmsrv/debug.h"

namespace {

const Oid kIfNumber = ParseOid(".1.3.6.1.2.1.2.1.0");
const Oid kIfIndexColumn = ParseOid(".1.3.6.1.2.1.2.2.1.1");
const Oid kIpAdEntAddr = ParseOid(".1.3.6.1.2.1.4.20.1.1");
// Something after every table the driver walks, so that SNMPv1 walks end by
// leaving the subtree rather than by noSuchName past the end of the MIB.
const Oid kLastObject = ParseOid(".1.3.6.1.6.3.1.1.6.1.0");

constexpr uint32_t kDescr = 2, kType = 3, kPhys = 6, kName = 1, kAlias = 18;

Oid IfCell(uint32_t column, uint32_t index) { return {1, 3, 6, 1, 2, 1, 2, 2, 1, column, index}; }
Oid IfXCell(uint32_t column, uint32_t index) {
  return {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, column, index};
}
Oid IpCell(uint32_t column, uint32_t address) {
  return {1,
          3,
          6,
          1,
          2,
          1,
          4,
          20,
          1,
          column,
          address >> 24,
          (address >> 16) & 0xFF,
          (address >> 8) & 0xFF,
          address & 0xFF};
}

std::u16string Wide(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }
std::u16string Text(const char16_t *s) { return std::u16string(s); }

struct Interface {
  uint32_t index;
  std::string descr;
  std::optional<std::string> name = std::nullopt;
  std::optional<std::string> alias = std::nullopt;
  std::optional<int32_t> type = 6;
  std::optional<std::string> mac = std::string("\x00\x1A\x2B\x3C\x4D\x5E", 6);
};

void AddInterface(FakeSnmpDevice &d, const Interface &i) {
  d.setInteger(IfCell(1, i.index), static_cast<int32_t>(i.index));
  d.setText(IfCell(kDescr, i.index), i.descr);
  if (i.type) d.setInteger(IfCell(kType, i.index), *i.type);
  if (i.mac) d.setText(IfCell(kPhys, i.index), *i.mac);
  if (i.name) d.setText(IfXCell(kName, i.index), *i.name);
  if (i.alias) d.setText(IfXCell(kAlias, i.index), *i.alias);
}

void AddAddress(FakeSnmpDevice &d, uint32_t address, uint32_t mask, uint32_t ifIndex) {
  d.setIpAddress(IpCell(1, address), address);
  d.setInteger(IpCell(2, address), static_cast<int32_t>(ifIndex));
  d.setIpAddress(IpCell(3, address), mask);
}

// A device with the given interfaces and an ifNumber that counts them.
std::unique_ptr<FakeSnmpDevice> Device(std::initializer_list<Interface> interfaces,
                                       uint32_t version = SNMP_VERSION_2C) {
  auto d = std::make_unique<FakeSnmpDevice>(version);
  d->setInteger(kIfNumber, static_cast<int32_t>(interfaces.size()));
  d->setText(kLastObject, "end");
  for (const Interface &i : interfaces) AddInterface(*d, i);
  return d;
}

std::unique_ptr<InterfaceList> Discover(FakeSnmpDevice &d, int32_t useAliases = 0,
                                        bool useIfXTable = true) {
  NetworkDeviceDriver driver;
  return std::unique_ptr<InterfaceList>(driver.getInterfaces(&d, nullptr, useAliases, useIfXTable));
}

std::u16string DisplayName(FakeSnmpDevice &d, int32_t useAliases, bool useIfXTable = true) {
  auto list = Discover(d, useAliases, useIfXTable);
  if (!list || list->getSize() < 1) return u"<no list>";
  return Text(list->get(0)->displayName);
}

bool AllZero(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (p[i] != 0) return false;
  }
  return true;
}

TEST(NetworkDeviceDriver, IdentifiesAsGenericDriverThatAcceptsAnyDevice) {
  NetworkDeviceDriver driver;
  EXPECT_EQ(Text(driver.getName()), u"GENERIC");
  EXPECT_EQ(Text(driver.getVersion()), u"1.2.2");
  EXPECT_EQ(driver.isPotentialDevice(u".1.3.6.1.4.1.9.1.1"), 1);
  FakeSnmpDevice device;
  EXPECT_TRUE(driver.isDeviceSupported(&device, u".1.3.6.1.4.1.9.1.1"));
  StringMap attributes;
  driver.analyzeDevice(&device, u".1.3.6.1.4.1.9.1.1", &attributes);
  EXPECT_EQ(attributes.size(), 0u);
  EXPECT_TRUE(device.requests().empty());
}

TEST(NetworkDeviceDriverInterfaces, DescribesEveryInterfaceAndAppendsFurtherAddressesAsCopies) {
  for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
    SCOPED_TRACE(version);
    auto d = Device({{1, "lo", "lo", std::nullopt, 24, std::string()},
                     {3, "eth0 controller", "eth0", std::nullopt, 6,
                      std::string("\x00\x1A\x2B\x3C\x4D\x5E", 6)}},
                    version);
    AddAddress(*d, 0x0A000001, 0xFFFFFF00, 3);
    AddAddress(*d, 0x0A000101, 0xFFFFFF00, 3);
    AddAddress(*d, 0x7F000001, 0xFF000000, 1);
    auto list = Discover(*d, 0, true);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->getSize(), 3);
    EXPECT_EQ(list->getCapacity(), 34);  // ifNumber 2, then one growth step

    const KM_INTERFACE_INFO *lo = list->get(0);
    EXPECT_EQ(lo->ifIndex, 1u);
    EXPECT_EQ(Text(lo->displayName), u"lo");
    EXPECT_EQ(Text(lo->description), u"lo");
    EXPECT_EQ(lo->ifType, 24u);
    EXPECT_TRUE(AllZero(lo->macAddr, 6));
    EXPECT_EQ(lo->ipAddr, 0x7F000001u);
    EXPECT_EQ(lo->ipNetMask, 0xFF000000u);

    const KM_INTERFACE_INFO *eth = list->get(1);
    EXPECT_EQ(eth->ifIndex, 3u);
    EXPECT_EQ(Text(eth->displayName), u"eth0");
    EXPECT_EQ(Text(eth->description), u"eth0 controller");
    EXPECT_EQ(eth->ifType, 6u);
    EXPECT_EQ(std::memcmp(eth->macAddr, "\x00\x1A\x2B\x3C\x4D\x5E", 6), 0);
    EXPECT_EQ(eth->ipAddr, 0x0A000001u);
    EXPECT_EQ(eth->ipNetMask, 0xFFFFFF00u);

    // The second address of ifIndex 3: the interface's record with another address.
    KM_INTERFACE_INFO expected;
    std::memcpy(&expected, eth, sizeof(expected));
    expected.ipAddr = 0x0A000101;
    EXPECT_EQ(std::memcmp(list->get(2), &expected, sizeof(expected)), 0);
    EXPECT_TRUE(AllZero(eth->reserved1, sizeof(eth->reserved1)));
    EXPECT_TRUE(AllZero(eth->reserved2, sizeof(eth->reserved2)));
  }
}

TEST(NetworkDeviceDriverInterfaces, DisplayNameFollowsEveryUseAliasesValue) {
  auto d = Device({{1, "GigabitEthernet0/1", "Gi0/1", "Uplink"}});
  EXPECT_EQ(DisplayName(*d, -1), u"Gi0/1");
  EXPECT_EQ(DisplayName(*d, 0), u"Gi0/1");
  EXPECT_EQ(DisplayName(*d, 1), u"Uplink");
  EXPECT_EQ(DisplayName(*d, 2), u"Uplink (Gi0/1)");
  EXPECT_EQ(DisplayName(*d, 3), u"Gi0/1 (Uplink)");
  EXPECT_EQ(DisplayName(*d, 4), u"Gi0/1");
  // Without ifXTable the name text is the description.
  EXPECT_EQ(DisplayName(*d, 0, false), u"GigabitEthernet0/1");
  EXPECT_EQ(DisplayName(*d, 2, false), u"Uplink (GigabitEthernet0/1)");
  EXPECT_EQ(DisplayName(*d, 3, false), u"GigabitEthernet0/1 (Uplink)");
  // The alias is read only when it is used, ifName only with ifXTable.
  EXPECT_EQ(d->countRequests(SNMP_GET_REQUEST, IfXCell(kAlias, 1)), 6u);
  EXPECT_EQ(d->countRequests(SNMP_GET_REQUEST, IfXCell(kName, 1)), 6u);
}

TEST(NetworkDeviceDriverInterfaces, BlankOrMissingAliasAndMissingIfNameFallBack) {
  auto blank = Device({{1, "eth0 controller", "eth0", " \t "}});
  auto missing = Device({{1, "eth0 controller", "eth0"}});
  for (int32_t useAliases : {1, 2, 3}) {
    EXPECT_EQ(DisplayName(*blank, useAliases), u"eth0");
    EXPECT_EQ(DisplayName(*missing, useAliases), u"eth0");
  }
  auto padded = Device({{1, "eth0 controller", "eth0", "  Uplink\t"}});
  EXPECT_EQ(DisplayName(*padded, 1), u"Uplink");
  EXPECT_EQ(DisplayName(*padded, 2), u"Uplink (eth0)");
  auto noName = Device({{1, "eth0 controller", std::nullopt, "Uplink"}});
  EXPECT_EQ(DisplayName(*noName, 0), u"eth0 controller");
  EXPECT_EQ(DisplayName(*noName, 3), u"eth0 controller (Uplink)");
}

TEST(NetworkDeviceDriverInterfaces, CompositeNamesAreCutAt255AndDropTheSecondPartFrom253) {
  const std::string a252(252, 'a'), a253(253, 'a'), n252(252, 'n'), n253(253, 'n');
  // useAliases 2: "alias (name)" while the alias is shorter than 253.
  EXPECT_EQ(DisplayName(*Device({{1, "d", "Gi0/1", a252}}), 2), Wide(a252 + " (G"));
  EXPECT_EQ(DisplayName(*Device({{1, "d", "Gi0/1", a253}}), 2), Wide(a253));
  // useAliases 3: "name (alias)" while the name text is shorter than 253.
  EXPECT_EQ(DisplayName(*Device({{1, "d", n252, "Uplink"}}), 3), Wide(n252 + " (U"));
  EXPECT_EQ(DisplayName(*Device({{1, "d", n253, "Uplink"}}), 3), Wide(n253));
  // Over-long values are cut to the field.
  const std::string a300(300, 'a'), d300(300, 'd');
  EXPECT_EQ(DisplayName(*Device({{1, "d", "Gi0/1", a300}}), 1), Wide(a300.substr(0, 255)));
  auto longDescr = Discover(*Device({{1, d300}}), 0, false);
  ASSERT_TRUE(longDescr);
  EXPECT_EQ(Text(longDescr->get(0)->description), Wide(d300.substr(0, 255)));
  EXPECT_EQ(Text(longDescr->get(0)->displayName), Wide(d300.substr(0, 255)));
}

TEST(NetworkDeviceDriverInterfaces, FailedDescriptionEndsThePassButKeepsInterfacesAndAddresses) {
  auto d = Device({{1, "one", "if1"}, {2, "two", "if2"}, {3, "three", "if3"}, {4, "four", "if4"}});
  d->fail(IfCell(kDescr, 2), FakeSnmpDevice::kNoAnswer);
  AddAddress(*d, 0xC0000201, 0xFFFFFFF0, 4);
  auto list = Discover(*d, 0, true);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->getSize(), 4);
  EXPECT_EQ(Text(list->get(0)->displayName), u"if1");
  EXPECT_EQ(list->get(0)->ifType, 6u);
  for (int32_t i = 1; i < 4; i++) {
    const KM_INTERFACE_INFO *rec = list->get(i);
    EXPECT_EQ(rec->ifIndex, static_cast<uint32_t>(i + 1));
    EXPECT_EQ(rec->displayName[0], 0);
    EXPECT_EQ(rec->description[0], 0);
    EXPECT_EQ(rec->ifType, 0u);
    EXPECT_TRUE(AllZero(rec->macAddr, 6));
  }
  EXPECT_EQ(list->get(3)->ipAddr, 0xC0000201u);
  EXPECT_EQ(list->get(3)->ipNetMask, 0xFFFFFFF0u);
  EXPECT_EQ(d->countRequests(SNMP_GET_REQUEST, IfCell(kDescr, 3)), 0u);
  EXPECT_EQ(d->countRequests(SNMP_GET_REQUEST, IfCell(kType, 2)), 0u);
}

TEST(NetworkDeviceDriverInterfaces, MissingTypeGivesOneAndShortOrMissingMacIsZeroFilled) {
  auto d =
      Device({{1, "a", "a", std::nullopt, std::nullopt, std::nullopt},
              {2, "b", "b", std::nullopt, 6, std::string("\x01\x02\x03", 3)},
              {3, "c", "c", std::nullopt, 6, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
              {4, "d", "d", std::nullopt, 6, std::string()}});
  auto list = Discover(*d);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->getSize(), 4);
  EXPECT_EQ(list->get(0)->ifType, 1u);
  EXPECT_TRUE(AllZero(list->get(0)->macAddr, 6));
  EXPECT_EQ(std::memcmp(list->get(1)->macAddr, "\x01\x02\x03\x00\x00\x00", 6), 0);
  EXPECT_EQ(std::memcmp(list->get(2)->macAddr, "\x01\x02\x03\x04\x05\x06", 6), 0);
  EXPECT_TRUE(AllZero(list->get(3)->macAddr, 6));
}

std::vector<std::u16string> g_debugLines;
void CaptureLine(uint32_t, uint16_t, const char16_t *line, void *) { g_debugLines.push_back(line); }

TEST(NetworkDeviceDriverInterfaces, UnresolvableAddressesAreSkippedAndTheWalkGoesOn) {
  auto d = Device({{1, "a", "a"}, {2, "b", "b"}});
  AddAddress(*d, 0x0A000001, 0xFF000000, 9);  // no such interface
  AddAddress(*d, 0x0A000002, 0xFF000000, 1);
  d->erase(IpCell(3, 0x0A000002));  // no netmask
  AddAddress(*d, 0x0A000003, 0xFF000000, 1);
  d->fail(IpCell(2, 0x0A000003), SNMP_PDU_ERR_GENERIC);  // no interface index
  // A row not indexed by four address bytes names no neighbouring cells.
  d->setIpAddress(Append(kIpAdEntAddr, {10, 0, 0, 4, 0}), 0x0A000004);
  AddAddress(*d, 0x0A000005, 0xFFFF0000, 2);

  g_nDebugLevel = 6;
  g_debugLines.clear();
  kmlog_set_sink_callback(CaptureLine, nullptr);
  auto list = Discover(*d);
  kmlog_set_sink_stderr();
  g_nDebugLevel = 0;

  ASSERT_TRUE(list);
  ASSERT_EQ(list->getSize(), 2);
  EXPECT_EQ(list->get(0)->ipAddr, 0u);
  EXPECT_EQ(list->get(1)->ipAddr, 0x0A000005u);
  EXPECT_EQ(list->get(1)->ipNetMask, 0xFFFF0000u);
  EXPECT_EQ(d->countRequests(SNMP_GET_REQUEST, IpCell(2, 0x0A000002)), 0u);
  auto logged = [](const std::u16string &text) {
    for (const auto &line : g_debugLines) {
      if (line.find(text) != std::u16string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(logged(u"SNMP GET .1.3.6.1.2.1.4.20.1.3.10.0.0.2 failed (error 6)"));
  EXPECT_TRUE(logged(u"SNMP GET .1.3.6.1.2.1.4.20.1.2.10.0.0.3 failed (error 9)"));
  EXPECT_TRUE(logged(u"completed, ifList=0x"));
}

TEST(NetworkDeviceDriverInterfaces, InitialCapacityFollowsPlausibleIfNumberOnly) {
  struct Case {
    int32_t ifNumber;
    int32_t capacity;
  };
  for (Case c :
       {Case{0, 64}, Case{-1, 64}, Case{5000, 64}, Case{4097, 64}, Case{4096, 4096}, Case{1, 1}}) {
    SCOPED_TRACE(c.ifNumber);
    auto d = Device({{1, "a", "a"}});
    d->setInteger(kIfNumber, c.ifNumber);
    auto list = Discover(*d);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->getSize(), 1);
    EXPECT_EQ(list->getCapacity(), c.capacity);
  }
  // More interfaces than ifNumber says: room for all of them at once.
  auto d = Device({{1, "a", "a"}, {2, "b", "b"}, {3, "c", "c"}});
  d->setInteger(kIfNumber, 1);
  auto list = Discover(*d);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->getSize(), 3);
  EXPECT_EQ(list->getCapacity(), 3);
}

TEST(NetworkDeviceDriverInterfaces, FailsWhenIfNumberOrEitherWalkFails) {
  NetworkDeviceDriver driver;
  EXPECT_EQ(driver.getInterfaces(nullptr, nullptr, 0, true), nullptr);

  auto noIfNumber = Device({{1, "a", "a"}});
  noIfNumber->erase(kIfNumber);
  EXPECT_FALSE(Discover(*noIfNumber));
  EXPECT_EQ(noIfNumber->requests().size(), 1u);

  auto brokenIndexWalk = Device({{1, "a", "a"}, {2, "b", "b"}});
  brokenIndexWalk->fail(Append(kIfIndexColumn, {1}), SNMP_PDU_ERR_GENERIC);
  EXPECT_FALSE(Discover(*brokenIndexWalk));
  EXPECT_EQ(brokenIndexWalk->countRequests(SNMP_GET_REQUEST, IfCell(kDescr, 1)), 0u);

  auto brokenAddressWalk = Device({{1, "a", "a"}});
  AddAddress(*brokenAddressWalk, 0x0A000001, 0xFF000000, 1);
  brokenAddressWalk->fail(IpCell(1, 0x0A000001), FakeSnmpDevice::kNoAnswer);
  EXPECT_FALSE(Discover(*brokenAddressWalk));
}

TEST(NetworkDeviceDriverInterfaces, IndexesAboveInt32MaxNameTheirCells) {
  auto d = Device({{0x80000001u, "high", "hi"}});
  auto list = Discover(*d);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->getSize(), 1);
  EXPECT_EQ(list->get(0)->ifIndex, 0x80000001u);
  EXPECT_EQ(Text(list->get(0)->description), u"high");
}

// A device whose ifIndex column has `rows` rows 1..rows, generated rather
// than stored, with no ifDescr (so discovery reads no interface details).
class ManyInterfaces : public FakeSnmpDevice {
 public:
  explicit ManyInterfaces(uint32_t rows) : rows_(rows) {
    setInteger(kIfNumber, static_cast<int32_t>(rows));
    keepRequestLog(false);
  }

 protected:
  std::optional<FakeValue> findNext(const Oid &name, Oid *next) override {
    const size_t n = kIfIndexColumn.size();
    uint32_t row = 0;
    static const Oid kFirstRow = Append(kIfIndexColumn, {1});
    if (name < kFirstRow) {
      row = 1;
    } else if (name.size() == n + 1 &&
               std::equal(kIfIndexColumn.begin(), kIfIndexColumn.end(), name.begin())) {
      row = name[n] + 1;
    }
    if (row == 0 || row > rows_) return FakeSnmpDevice::findNext(name, next);
    *next = Append(kIfIndexColumn, {row});
    return FakeValue{ASN_INTEGER, row, {}};
  }

 private:
  uint32_t rows_;
};

TEST(NetworkDeviceDriverInterfaces, RecordBoundHoldsExactlyForInterfacesAndAddresses) {
  const uint32_t max = NetworkDeviceDriver::kMaxInterfaceRecords;
  // At the bound: every interface, and a first address that needs no copy.
  // One past it: a further interface, or an address that needs a copy.
  for (uint32_t extra : {0u, 1u, 2u}) {
    SCOPED_TRACE(extra);
    ManyInterfaces d(extra == 1 ? max + 1 : max);
    AddAddress(d, 0x0A000001, 0xFF000000, 1);
    if (extra == 2) AddAddress(d, 0x0A000002, 0xFF000000, 1);
    auto list = Discover(d);
    if (extra == 0) {
      ASSERT_TRUE(list);
      EXPECT_EQ(list->getSize(), static_cast<int32_t>(max));
      EXPECT_EQ(list->get(static_cast<int32_t>(max) - 1)->ifIndex, max);
      EXPECT_EQ(list->get(0)->ipAddr, 0x0A000001u);
    } else {
      EXPECT_FALSE(list);
    }
  }
}

}  // namespace

TEST(NetworkDeviceDriverInterfaces, BulkWalksGiveTheRecordsOfOneGetPerCell) {
  auto d =
      Device({{1, "lo", "lo", " spaced alias ", 24, std::string()},
              {2, "eth0", std::nullopt, std::nullopt, std::nullopt, std::string("\x01\x02\x03", 3)},
              {3, "eth1", "Gi0/1", "uplink", 6, std::string("\x01\x02\x03\x04\x05\x06\x07", 7)},
              {4, "eth2", "Gi0/2"},
              {5, "eth3", "Gi0/3"}});
  d->erase(IfCell(kDescr, 4));  // ends the per-interface pass at the fourth
  AddAddress(*d, 0x0A000001, 0xFF000000, 3);
  AddAddress(*d, 0x0A000002, 0xFFFF0000, 3);  // a second address: a copy
  AddAddress(*d, 0x0A000003, 0xFF000000, 9);  // no such interface
  AddAddress(*d, 0x0A000004, 0xFF000000, 5);
  d->erase(IpCell(3, 0x0A000004));  // no netmask: skipped
  AddAddress(*d, 0x7F000001, 0xFF000000, 1);
  for (bool useIfXTable : {true, false}) {
    for (int32_t useAliases : {0, 1, 2, 3}) {
      SCOPED_TRACE(std::to_string(useIfXTable) + "/" + std::to_string(useAliases));
      NetworkDeviceDriver driver;
      std::unique_ptr<InterfaceList> byGets(
          driver.getInterfaces(d.get(), nullptr, useAliases, useIfXTable));
      d->clearRequestLog();
      driver.setBulkWalks(3);
      std::unique_ptr<InterfaceList> byBulk(
          driver.getInterfaces(d.get(), nullptr, useAliases, useIfXTable));
      ASSERT_TRUE(byGets && byBulk);
      ASSERT_EQ(byBulk->getSize(), byGets->getSize());
      for (int32_t i = 0; i < byGets->getSize(); i++)
        EXPECT_EQ(std::memcmp(byBulk->get(i), byGets->get(i), sizeof(KM_INTERFACE_INFO)), 0) << i;
      // Only ifNumber is read with a GET; everything else comes in bulk.
      size_t gets = 0;
      for (const auto &r : d->requests()) gets += r.first == SNMP_GET_REQUEST;
      EXPECT_EQ(gets, 1u);
    }
  }
  // SNMPv1 has no GETBULK: the driver keeps to GETs and GETNEXT.
  auto v1 = Device({{1, "lo", "lo"}}, SNMP_VERSION_1);
  NetworkDeviceDriver driver;
  driver.setBulkWalks(10);
  std::unique_ptr<InterfaceList> list(driver.getInterfaces(v1.get(), nullptr, 0, true));
  ASSERT_TRUE(list);
  for (const auto &r : v1->requests()) EXPECT_NE(r.first, SNMP_GET_BULK_REQUEST);
}
