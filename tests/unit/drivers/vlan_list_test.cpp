#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "alloc_faults.h"
#include "kmbase/message.h"
#include "kmsrv/protocol.h"
#include "kmsrv/vlans.h"

namespace {

// Adds ports first, first+1, ... and checks each add.
void addPorts(VlanInfo &vlan, int count, uint32_t first = 1) {
  for (int i = 0; i < count; ++i) ASSERT_TRUE(vlan.add(first + static_cast<uint32_t>(i)));
}

std::vector<uint32_t> values(const uint32_t *array, int32_t count) {
  return array == nullptr ? std::vector<uint32_t>{} : std::vector<uint32_t>(array, array + count);
}

// A list that records its own destruction.
class ObservedList : public VlanList {
 public:
  explicit ObservedList(bool *destroyed) : destroyed_(destroyed) {}
  ~ObservedList() override { *destroyed_ = true; }

 private:
  bool *destroyed_;
};

// Releases the creator's reference at the end of a test.
struct ListRef {
  VlanList *list = new VlanList;
  ~ListRef() { list->decRefCount(); }
  VlanList *operator->() const { return list; }
};

TEST(VlanInfo, NewVlanHasNoNameNoPortsAndNoResolveArrays) {
  VlanInfo vlan(10, 2);
  EXPECT_EQ(vlan.getVlanId(), 10);
  EXPECT_EQ(vlan.getPortReferenceMode(), 2);
  EXPECT_EQ(std::u16string_view(vlan.getName()), u"");
  EXPECT_EQ(vlan.getNumPorts(), 0);
  EXPECT_EQ(vlan.getPortCapacity(), 64);
  EXPECT_EQ(vlan.getIfIndexes(), nullptr);
  EXPECT_EQ(vlan.getIfIds(), nullptr);
}

TEST(VlanInfo, SixtyFifthPortGrowsCapacityTo128AndSlotFormFillsTheUpperHalf) {
  VlanInfo vlan(1, 2);
  addPorts(vlan, 64);
  EXPECT_EQ(vlan.getPortCapacity(), 64);
  ASSERT_TRUE(vlan.add(3, 17));
  EXPECT_EQ(vlan.getPortCapacity(), 128);
  ASSERT_EQ(vlan.getNumPorts(), 65);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(vlan.getPorts()[i], static_cast<uint32_t>(i + 1));
  EXPECT_EQ(vlan.getPorts()[64], 0x30011u);
}

TEST(VlanInfo, SetNameKeepsOnlyTheLatestAndAFailedCopyKeepsTheOldOne) {
  VlanInfo vlan(1, 2);
  ASSERT_TRUE(vlan.setName(u"first"));
  ASSERT_TRUE(vlan.setName(u"second"));
  EXPECT_EQ(std::u16string_view(vlan.getName()), u"second");
  {
    alloc_faults::Scope faults(0, 1);
    EXPECT_FALSE(vlan.setName(u"third"));
  }
  EXPECT_EQ(std::u16string_view(vlan.getName()), u"second");
  ASSERT_TRUE(vlan.setName(nullptr));
  EXPECT_EQ(std::u16string_view(vlan.getName()), u"");
}

TEST(VlanInfo, PrepareGivesZeroArraysOnceAndResolveStaysInsideThePorts) {
  VlanInfo vlan(1, 2);
  addPorts(vlan, 3, 5);
  EXPECT_FALSE(vlan.resolvePort(0, 9, 9, 9));  // not prepared yet
  ASSERT_TRUE(vlan.prepareForResolve());
  EXPECT_EQ(values(vlan.getIfIndexes(), 3), (std::vector<uint32_t>{0, 0, 0}));
  EXPECT_EQ(values(vlan.getIfIds(), 3), (std::vector<uint32_t>{0, 0, 0}));

  ASSERT_TRUE(vlan.resolvePort(1, 60, 7, 70));
  EXPECT_FALSE(vlan.resolvePort(3, 9, 9, 9));
  EXPECT_FALSE(vlan.resolvePort(-1, 9, 9, 9));
  const uint32_t *indexesBefore = vlan.getIfIndexes();
  ASSERT_TRUE(vlan.prepareForResolve());
  EXPECT_EQ(vlan.getIfIndexes(), indexesBefore);
  EXPECT_EQ(values(vlan.getPorts(), 3), (std::vector<uint32_t>{5, 60, 7}));
  EXPECT_EQ(values(vlan.getIfIndexes(), 3), (std::vector<uint32_t>{0, 7, 0}));
  EXPECT_EQ(values(vlan.getIfIds(), 3), (std::vector<uint32_t>{0, 70, 0}));
}

TEST(VlanInfo, PortsAddedAfterPrepareGrowThePerPortArraysAndStartUnresolved) {
  VlanInfo vlan(1, 2);
  addPorts(vlan, 64);
  ASSERT_TRUE(vlan.prepareForResolve());
  ASSERT_TRUE(vlan.resolvePort(63, 64, 1064, 2064));
  addPorts(vlan, 2, 65);  // the first of these grows every array
  ASSERT_EQ(vlan.getNumPorts(), 66);
  EXPECT_EQ(vlan.getPortCapacity(), 128);
  EXPECT_EQ(vlan.getIfIndexes()[63], 1064u);
  EXPECT_EQ(vlan.getIfIds()[63], 2064u);
  EXPECT_EQ(vlan.getIfIndexes()[64], 0u);
  EXPECT_EQ(vlan.getIfIds()[65], 0u);
  EXPECT_TRUE(vlan.resolvePort(65, 66, 1066, 2066));
  EXPECT_EQ(vlan.getIfIds()[65], 2066u);

  // Without growth of the port array: prepared with 3 ports, then a 4th.
  VlanInfo few(2, 2);
  addPorts(few, 3);
  ASSERT_TRUE(few.prepareForResolve());
  ASSERT_TRUE(few.resolvePort(2, 3, 13, 23));
  addPorts(few, 1, 4);
  EXPECT_EQ(values(few.getIfIndexes(), 4), (std::vector<uint32_t>{0, 0, 13, 0}));
  EXPECT_TRUE(few.resolvePort(3, 4, 14, 24));
  EXPECT_EQ(values(few.getIfIds(), 4), (std::vector<uint32_t>{0, 0, 23, 24}));
}

TEST(VlanInfo, FailedGrowthRefusesThePortAndLeavesEveryArrayUsable) {
  VlanInfo vlan(1, 2);
  addPorts(vlan, 64);
  {
    alloc_faults::Scope faults(0, 1);  // the port array cannot grow
    EXPECT_FALSE(vlan.add(65));
  }
  ASSERT_TRUE(vlan.prepareForResolve());
  {
    alloc_faults::Scope faults(1, 1);  // ports grow, interface indexes do not
    EXPECT_FALSE(vlan.add(65));
    EXPECT_EQ(faults.failed(), 1);
  }
  EXPECT_EQ(vlan.getNumPorts(), 64);
  EXPECT_EQ(vlan.getPortCapacity(), 64);

  addPorts(vlan, 1, 65);
  EXPECT_EQ(vlan.getPortCapacity(), 128);
  EXPECT_EQ(values(vlan.getPorts() + 62, 3), (std::vector<uint32_t>{63, 64, 65}));
  EXPECT_TRUE(vlan.resolvePort(64, 65, 1, 2));
  EXPECT_EQ(vlan.getIfIds()[64], 2u);
}

TEST(VlanList, DefaultListHasRoomForEightAndGrowsBy32) {
  ListRef list;
  EXPECT_EQ(list->getCapacity(), 8);
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(list->add(new VlanInfo(i, 2)));
  EXPECT_EQ(list->getCapacity(), 40);
  EXPECT_EQ(list->getSize(), 9);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(list->get(i)->getVlanId(), i);
  EXPECT_EQ(list->get(-1), nullptr);
  EXPECT_EQ(list->get(9), nullptr);
}

TEST(VlanList, FindByIdAndAddMemberPortTakeTheFirstVlanWithThatNumber) {
  ListRef list;
  ASSERT_TRUE(list->add(new VlanInfo(10, 2)));
  ASSERT_TRUE(list->add(new VlanInfo(20, 2)));
  ASSERT_TRUE(list->add(new VlanInfo(10, 2)));
  EXPECT_EQ(list->findById(10), list->get(0));
  EXPECT_EQ(list->findById(30), nullptr);

  EXPECT_TRUE(list->addMemberPort(10, 5));
  EXPECT_FALSE(list->addMemberPort(30, 5));
  EXPECT_EQ(values(list->get(0)->getPorts(), list->get(0)->getNumPorts()),
            std::vector<uint32_t>{5});
  EXPECT_EQ(list->get(1)->getNumPorts(), 0);
  EXPECT_EQ(list->get(2)->getNumPorts(), 0);
}

TEST(VlanList, AddRefusesNullAndDeletesTheVlanWhenTheArrayCannotGrow) {
  VlanList *list = new VlanList(1);
  EXPECT_FALSE(list->add(nullptr));
  ASSERT_TRUE(list->add(new VlanInfo(1, 2)));
  {
    // Deleted by the list: the leak check of the ASan build would catch a
    // VLAN left behind, and a double free one deleted twice.
    auto *refused = new VlanInfo(2, 2);
    alloc_faults::Scope faults(0, 1);
    EXPECT_FALSE(list->add(refused));
  }
  EXPECT_EQ(list->getSize(), 1);
  EXPECT_EQ(list->getCapacity(), 1);
  EXPECT_EQ(list->get(0)->getVlanId(), 1);
  list->decRefCount();
}

TEST(VlanList, LastReferenceDestroysTheListButNotTheUserData) {
  bool destroyed = false;
  void *block = std::malloc(16);  // freed below: the list must not free it too
  ASSERT_NE(block, nullptr);
  auto *list = new ObservedList(&destroyed);
  list->setData(block);
  ASSERT_TRUE(list->add(new VlanInfo(1, 2)));
  ASSERT_TRUE(list->addMemberPort(1, 4));
  EXPECT_EQ(list->getRefCount(), 1u);

  list->incRefCount();
  list->decRefCount();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(list->getData(), block);
  EXPECT_EQ(list->findById(1)->getNumPorts(), 1);

  list->decRefCount();  // the VLAN goes with it (the ASan build checks for leaks)
  EXPECT_TRUE(destroyed);
  std::free(block);
}

// Field ids of the VLAN at `position` in a filled message.
uint32_t fieldId(uint32_t position, uint32_t offset) {
  return VAR_LIST_BASE + 10 * position + offset;
}

std::vector<uint32_t> arrayField(const CSCPMessage &msg, uint32_t id) {
  KmcpFieldType type;
  if (!msg.GetVariableType(id, &type) || type != KmcpFieldType::Int32Array) return {};
  std::vector<uint32_t> out(msg.GetVariableInt32Array(id, 0, nullptr));
  msg.GetVariableInt32Array(id, static_cast<uint32_t>(out.size()), out.data());
  return out;
}

std::u16string stringField(const CSCPMessage &msg, uint32_t id) {
  char16_t buffer[64];
  return msg.GetVariableStr(id, buffer, 64) != nullptr ? std::u16string(buffer) : u"<missing>";
}

bool hasType(const CSCPMessage &msg, uint32_t id, KmcpFieldType expected) {
  KmcpFieldType type;
  return msg.GetVariableType(id, &type) && type == expected;
}

TEST(VlanList, FillMessageWritesEachVlanInItsTenIdBlock) {
  ListRef list;
  auto *users = new VlanInfo(10, 2);
  ASSERT_TRUE(users->setName(u"Users"));
  ASSERT_TRUE(users->add(1));
  ASSERT_TRUE(users->add(2));
  ASSERT_TRUE(users->prepareForResolve());
  ASSERT_TRUE(users->resolvePort(0, 1, 101, 1001));
  ASSERT_TRUE(users->resolvePort(1, 2, 102, 1002));
  auto *big = new VlanInfo(70000, 2);  // written as its low 16 bits, 4464
  ASSERT_TRUE(big->add(3));
  ASSERT_TRUE(big->prepareForResolve());
  ASSERT_TRUE(list->add(users));
  ASSERT_TRUE(list->add(big));

  CSCPMessage msg;
  list->fillMessage(&msg);
  EXPECT_EQ(msg.GetNumFields(), 1u + 2 * 6);
  ASSERT_TRUE(hasType(msg, VAR_NUM_VLANS, KmcpFieldType::Int32));
  EXPECT_EQ(msg.GetVariableLong(VAR_NUM_VLANS), 2u);

  ASSERT_TRUE(hasType(msg, fieldId(0, 0), KmcpFieldType::Int16));
  EXPECT_EQ(msg.GetVariableShort(fieldId(0, 0)), 10);
  ASSERT_TRUE(hasType(msg, fieldId(0, 1), KmcpFieldType::String));
  EXPECT_EQ(stringField(msg, fieldId(0, 1)), u"Users");
  ASSERT_TRUE(hasType(msg, fieldId(0, 2), KmcpFieldType::Int32));
  EXPECT_EQ(msg.GetVariableLong(fieldId(0, 2)), 2u);
  EXPECT_EQ(arrayField(msg, fieldId(0, 3)), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(arrayField(msg, fieldId(0, 4)), (std::vector<uint32_t>{101, 102}));
  EXPECT_EQ(arrayField(msg, fieldId(0, 5)), (std::vector<uint32_t>{1001, 1002}));
  for (uint32_t unused = 6; unused < 10; ++unused) {
    EXPECT_FALSE(msg.IsVariableExist(fieldId(0, unused))) << unused;
  }

  ASSERT_TRUE(hasType(msg, fieldId(1, 0), KmcpFieldType::Int16));
  EXPECT_EQ(msg.GetVariableShort(fieldId(1, 0)), 4464);
  EXPECT_EQ(stringField(msg, fieldId(1, 1)), u"");
  EXPECT_EQ(msg.GetVariableLong(fieldId(1, 2)), 1u);
  EXPECT_EQ(arrayField(msg, fieldId(1, 3)), std::vector<uint32_t>{3});
  EXPECT_EQ(arrayField(msg, fieldId(1, 4)), std::vector<uint32_t>{0});
  EXPECT_EQ(arrayField(msg, fieldId(1, 5)), std::vector<uint32_t>{0});
}

TEST(VlanList, FillMessageWritesUnpreparedAndLatePortsWithinTheirArrays) {
  ListRef list;
  auto *empty = new VlanInfo(5, 2);  // prepared, no ports
  ASSERT_TRUE(empty->prepareForResolve());
  auto *unprepared = new VlanInfo(6, 2);
  addPorts(*unprepared, 2, 11);
  auto *late = new VlanInfo(7, 2);  // a port added after prepare, past the first array
  addPorts(*late, 64);
  ASSERT_TRUE(late->prepareForResolve());
  for (VlanInfo *v : {empty, unprepared, late}) ASSERT_TRUE(list->add(v));
  ASSERT_TRUE(list->addMemberPort(7, 65));

  CSCPMessage msg;
  list->fillMessage(&msg);
  EXPECT_EQ(msg.GetVariableLong(fieldId(0, 2)), 0u);
  for (uint32_t offset = 3; offset <= 5; ++offset) {
    EXPECT_TRUE(hasType(msg, fieldId(0, offset), KmcpFieldType::Int32Array)) << offset;
    EXPECT_EQ(arrayField(msg, fieldId(0, offset)), std::vector<uint32_t>{}) << offset;
  }
  EXPECT_EQ(arrayField(msg, fieldId(1, 3)), (std::vector<uint32_t>{11, 12}));
  EXPECT_EQ(arrayField(msg, fieldId(1, 4)), (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(arrayField(msg, fieldId(1, 5)), (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(unprepared->getIfIndexes(), nullptr);  // filling does not prepare it
  EXPECT_EQ(msg.GetVariableLong(fieldId(2, 2)), 65u);
  EXPECT_EQ(arrayField(msg, fieldId(2, 3)).size(), 65u);
  EXPECT_EQ(arrayField(msg, fieldId(2, 4)), std::vector<uint32_t>(65, 0));
  EXPECT_EQ(arrayField(msg, fieldId(2, 5)), std::vector<uint32_t>(65, 0));
}

TEST(VlanList, FillMessageOfAnEmptyListWritesOnlyTheCount) {
  ListRef list;
  CSCPMessage msg;
  list->fillMessage(&msg);
  EXPECT_EQ(msg.GetNumFields(), 1u);
  EXPECT_TRUE(msg.IsVariableExist(VAR_NUM_VLANS));
  EXPECT_EQ(msg.GetVariableLong(VAR_NUM_VLANS), 0u);
}

}  // namespace
