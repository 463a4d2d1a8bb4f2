// NetworkDeviceDriver::getVlans against a scripted Q-BRIDGE-MIB.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_snmp_device.h"
#include "kmsrv/driver.h"

namespace {

const Oid kStaticName = ParseOid(".1.3.6.1.2.1.17.7.1.4.3.1.1");
const Oid kEgressPorts = ParseOid(".1.3.6.1.2.1.17.7.1.4.2.1.4");
const Oid kLastObject = ParseOid(".1.3.6.1.6.3.1.1.6.1.0");

struct VlanListDeleter {
  void operator()(VlanList *list) const { list->decRefCount(); }
};
using VlanListPtr = std::unique_ptr<VlanList, VlanListDeleter>;

std::unique_ptr<FakeSnmpDevice> Device(uint32_t version = SNMP_VERSION_2C) {
  auto d = std::make_unique<FakeSnmpDevice>(version);
  d->setText(kLastObject, "end");
  return d;
}

void AddVlan(FakeSnmpDevice &d, uint32_t id, const std::string &name) {
  d.setText(Append(kStaticName, {id}), name);
}

void AddEgress(FakeSnmpDevice &d, uint32_t id, const std::string &ports, uint32_t timeMark = 0) {
  d.setText(Append(kEgressPorts, {timeMark, id}), ports);
}

VlanListPtr Discover(FakeSnmpDevice &d) {
  NetworkDeviceDriver driver;
  return VlanListPtr(driver.getVlans(&d, nullptr));
}

std::vector<uint32_t> Ports(const VlanInfo *vlan) {
  return std::vector<uint32_t>(vlan->getPorts(), vlan->getPorts() + vlan->getNumPorts());
}

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
  std::vector<uint32_t> v;
  for (uint32_t p = first; p <= last; p++) v.push_back(p);
  return v;
}

TEST(NetworkDeviceDriverVlans, DecodesEgressPortListsMostSignificantBitFirst) {
  for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
    SCOPED_TRACE(version);
    auto d = Device(version);
    AddVlan(*d, 10, "users");
    AddVlan(*d, 20, "voice");
    AddVlan(*d, 30, "empty");
    AddEgress(*d, 10, std::string("\x80\x01", 2));
    AddEgress(*d, 20, std::string("\x80\x01\xFF", 3));
    AddEgress(*d, 30, std::string(16, '\0'));
    auto list = Discover(*d);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->getSize(), 3);
    EXPECT_EQ(list->get(0)->getVlanId(), 10);
    EXPECT_EQ(std::u16string(list->get(0)->getName()), u"users");
    EXPECT_EQ(Ports(list->get(0)), (std::vector<uint32_t>{1, 16}));
    std::vector<uint32_t> voice{1, 16};
    for (uint32_t p : Range(17, 24)) voice.push_back(p);
    EXPECT_EQ(Ports(list->get(1)), voice);
    EXPECT_EQ(list->get(2)->getNumPorts(), 0);
    for (int32_t i = 0; i < 3; i++) {
      EXPECT_EQ(list->get(i)->getPortReferenceMode(), 2);
      EXPECT_EQ(list->get(i)->getIfIndexes(), nullptr);
      EXPECT_EQ(list->get(i)->getIfIds(), nullptr);
    }
  }
}

TEST(NetworkDeviceDriverVlans, StaticRowsDecideWhichVlansExistAndEveryEgressRowAddsPorts) {
  auto d = Device();
  AddVlan(*d, 5, "static only");
  AddVlan(*d, 7, "twice");
  AddEgress(*d, 6, std::string("\xFF", 1));  // no static row
  AddEgress(*d, 7, std::string("\xC0", 1), 100);
  AddEgress(*d, 7, std::string("\x40\x80", 2), 200);
  auto list = Discover(*d);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->getSize(), 2);
  EXPECT_EQ(list->findById(6), nullptr);
  EXPECT_EQ(list->get(0)->getVlanId(), 5);
  EXPECT_EQ(list->get(0)->getNumPorts(), 0);
  EXPECT_EQ(Ports(list->get(1)), (std::vector<uint32_t>{1, 2, 2, 9}));
}

TEST(NetworkDeviceDriverVlans, LongNamesAndPortListsAreCutToTheirBuffers) {
  auto d = Device();
  AddVlan(*d, 1, std::string(300, 'v'));
  std::string ports(NetworkDeviceDriver::kMaxPortListBytes + 1, '\0');
  ports[NetworkDeviceDriver::kMaxPortListBytes - 1] = '\x01';  // port 32768
  ports[NetworkDeviceDriver::kMaxPortListBytes] = '\xFF';      // ports 32769..32776: cut
  AddEgress(*d, 1, ports);
  auto list = Discover(*d);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->getSize(), 1);
  EXPECT_EQ(std::u16string(list->get(0)->getName()), std::u16string(255, u'v'));
  EXPECT_EQ(Ports(list->get(0)), (std::vector<uint32_t>{32768}));
}

TEST(NetworkDeviceDriverVlans, EmptyTablesGiveAnEmptyListAndAFailedWalkGivesNull) {
  for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
    auto empty = Device(version);
    auto list = Discover(*empty);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->getSize(), 0);
  }
  NetworkDeviceDriver driver;
  EXPECT_EQ(driver.getVlans(nullptr, nullptr), nullptr);

  auto brokenNames = Device();
  AddVlan(*brokenNames, 1, "a");
  AddVlan(*brokenNames, 2, "b");
  brokenNames->fail(Append(kStaticName, {1}), SNMP_PDU_ERR_GENERIC);
  EXPECT_FALSE(Discover(*brokenNames));

  auto brokenPorts = Device();
  AddVlan(*brokenPorts, 1, "a");
  AddEgress(*brokenPorts, 1, "\x80");
  brokenPorts->fail(kEgressPorts, FakeSnmpDevice::kNoAnswer);
  EXPECT_FALSE(Discover(*brokenPorts));
}

TEST(NetworkDeviceDriverVlans, BoundsOnVlansAndPortsHoldExactly) {
  const uint32_t maxVlans = NetworkDeviceDriver::kMaxVlans;
  for (uint32_t count : {maxVlans, maxVlans + 1}) {
    auto d = Device();
    d->keepRequestLog(false);
    for (uint32_t id = 1; id <= count; id++) AddVlan(*d, id, "v");
    auto list = Discover(*d);
    if (count == maxVlans) {
      ASSERT_TRUE(list);
      EXPECT_EQ(list->getSize(), static_cast<int32_t>(maxVlans));
    } else {
      EXPECT_FALSE(list);
    }
  }
  // 4096 VLANs of 2048 ports each reach the port bound; one more port passes it.
  const uint32_t vlans = static_cast<uint32_t>(NetworkDeviceDriver::kMaxVlanPorts / 2048);
  for (bool onePast : {false, true}) {
    auto d = Device();
    d->keepRequestLog(false);
    for (uint32_t id = 1; id <= vlans; id++) {
      AddVlan(*d, id, "v");
      AddEgress(*d, id, std::string(256, '\xFF'));
    }
    if (onePast) AddEgress(*d, 1, "\x80", 1);
    auto list = Discover(*d);
    if (!onePast) {
      ASSERT_TRUE(list);
      EXPECT_EQ(list->getSize(), static_cast<int32_t>(vlans));
      EXPECT_EQ(Ports(list->get(static_cast<int32_t>(vlans) - 1)), Range(1, 2048));
    } else {
      EXPECT_FALSE(list);
    }
  }
}

}  // namespace
