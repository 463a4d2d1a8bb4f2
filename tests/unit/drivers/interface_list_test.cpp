#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "alloc_faults.h"
#include "kmsrv/interfaces.h"

namespace {

KM_INTERFACE_INFO recordWith(uint32_t ifIndex, uint32_t ipAddr = 0) {
  KM_INTERFACE_INFO r;
  std::memset(&r, 0, sizeof(r));
  r.ifIndex = ifIndex;
  r.ipAddr = ipAddr;
  return r;
}

// Adds records with ifIndex first, first+1, ... and checks each add.
void addRecords(InterfaceList &list, int count, uint32_t first = 0) {
  for (int i = 0; i < count; ++i) {
    KM_INTERFACE_INFO r = recordWith(first + static_cast<uint32_t>(i));
    ASSERT_TRUE(list.add(&r));
  }
}

// True when positions 0..count-1 hold ifIndex first, first+1, ...
bool holdsSequence(const InterfaceList &list, int count, uint32_t first = 0) {
  if (list.getSize() != count) return false;
  for (int i = 0; i < count; ++i) {
    if (list.get(i)->ifIndex != first + static_cast<uint32_t>(i)) return false;
  }
  return true;
}

TEST(InterfaceList, DefaultListHasRoomForEightAndTheNinthAddGrowsItTo40) {
  InterfaceList list;
  EXPECT_EQ(list.getSize(), 0);
  EXPECT_EQ(list.getCapacity(), 8);
  addRecords(list, 8);
  EXPECT_EQ(list.getCapacity(), 8);
  addRecords(list, 1, 8);
  EXPECT_EQ(list.getCapacity(), 40);
  EXPECT_TRUE(holdsSequence(list, 9));
}

TEST(InterfaceList, EmptyOrNegativeCapacityGrowsInStepsOf32) {
  for (int32_t initial : {0, -5}) {
    InterfaceList list(initial);
    EXPECT_EQ(list.getCapacity(), 0);
    EXPECT_EQ(list.get(0), nullptr);
    addRecords(list, 1);
    EXPECT_EQ(list.getCapacity(), 32);
    addRecords(list, 31, 1);
    EXPECT_EQ(list.getCapacity(), 32);
    addRecords(list, 1, 32);
    EXPECT_EQ(list.getCapacity(), 64);
    EXPECT_TRUE(holdsSequence(list, 33));
  }
}

TEST(InterfaceList, GetAndRemoveIgnorePositionsOutsideTheList) {
  InterfaceList list;
  addRecords(list, 3, 10);
  EXPECT_EQ(list.get(-1), nullptr);
  EXPECT_EQ(list.get(3), nullptr);
  EXPECT_NE(list.get(2), nullptr);
  list.remove(3);
  list.remove(-1);
  EXPECT_TRUE(holdsSequence(list, 3, 10));

  list.remove(0);
  EXPECT_TRUE(holdsSequence(list, 2, 11));
  list.remove(1);
  EXPECT_TRUE(holdsSequence(list, 1, 11));
  list.remove(0);
  EXPECT_EQ(list.getSize(), 0);
  EXPECT_EQ(list.get(0), nullptr);
}

TEST(InterfaceList, AddCopiesEveryByteSoLaterChangesToTheSourceDoNotReachTheList) {
  KM_INTERFACE_INFO source;
  auto *bytes = reinterpret_cast<uint8_t *>(&source);
  for (size_t i = 0; i < sizeof(source); ++i) bytes[i] = static_cast<uint8_t>(i % 251 + 1);
  KM_INTERFACE_INFO expected;
  std::memcpy(&expected, &source, sizeof(source));

  InterfaceList list(1);
  EXPECT_FALSE(list.add(nullptr));
  ASSERT_TRUE(list.add(&source));
  std::memset(&source, 0, sizeof(source));
  ASSERT_NE(list.get(0), nullptr);
  EXPECT_EQ(std::memcmp(list.get(0), &expected, sizeof(expected)), 0);  // reserved bytes too
}

TEST(InterfaceList, AddOfARecordOfTheFullListItselfCopiesItBeforeTheArrayMoves) {
  InterfaceList list(1);
  KM_INTERFACE_INFO r = recordWith(3, 0x0A000001);
  std::memcpy(r.displayName, u"eth0", sizeof(u"eth0"));
  ASSERT_TRUE(list.add(&r));
  ASSERT_TRUE(list.add(list.get(0)));  // grows: the source lies in the old array
  ASSERT_EQ(list.getSize(), 2);
  EXPECT_EQ(std::memcmp(list.get(0), list.get(1), sizeof(KM_INTERFACE_INFO)), 0);
  EXPECT_EQ(std::u16string_view(list.get(1)->displayName), u"eth0");
}

TEST(InterfaceList, FindByIfIndexReturnsTheLowestPositionWithThatIndex) {
  InterfaceList list;
  const uint32_t indexes[] = {1, 2, 7, 3, 4, 7};
  for (uint32_t i = 0; i < 6; ++i) {
    KM_INTERFACE_INFO r = recordWith(indexes[i], 100 + i);
    ASSERT_TRUE(list.add(&r));
  }
  EXPECT_EQ(list.findByIfIndex(7), list.get(2));
  list.remove(2);
  EXPECT_EQ(list.findByIfIndex(7), list.get(4));
  EXPECT_EQ(list.findByIfIndex(7)->ipAddr, 105u);
  EXPECT_EQ(list.findByIfIndex(99), nullptr);

  const InterfaceList &readOnly = list;
  EXPECT_EQ(readOnly.findByIfIndex(7), readOnly.get(4));
}

TEST(InterfaceList, UserDataIsKeptAndNeverReleasedByTheList) {
  // A heap block: a list that freed it would make the free below a double free.
  void *block = std::malloc(16);
  ASSERT_NE(block, nullptr);
  auto *list = new InterfaceList;
  EXPECT_EQ(list->getData(), nullptr);
  list->setData(block);
  EXPECT_EQ(list->getData(), block);
  delete list;
  std::free(block);
}

TEST(InterfaceList, FailedGrowthRefusesTheAddAndKeepsEveryRecord) {
  InterfaceList list(2);
  addRecords(list, 2, 50);
  KM_INTERFACE_INFO r = recordWith(52);
  {
    alloc_faults::Scope faults(0, 1);
    EXPECT_FALSE(list.add(&r));
    EXPECT_EQ(faults.failed(), 1);
  }
  EXPECT_EQ(list.getCapacity(), 2);
  EXPECT_TRUE(holdsSequence(list, 2, 50));

  ASSERT_TRUE(list.add(&r));
  EXPECT_EQ(list.getCapacity(), 34);
  EXPECT_TRUE(holdsSequence(list, 3, 50));
}

TEST(InterfaceList, FailedFirstAllocationLeavesAnEmptyListThatStillGrows) {
  std::unique_ptr<InterfaceList> list;
  {
    alloc_faults::Scope faults(0, 1);
    list = std::make_unique<InterfaceList>(10);
    EXPECT_EQ(faults.failed(), 1);
  }
  EXPECT_EQ(list->getCapacity(), 0);
  EXPECT_EQ(list->getSize(), 0);
  addRecords(*list, 1);
  EXPECT_EQ(list->getCapacity(), 32);
}

}  // namespace
