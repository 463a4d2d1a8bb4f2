// Interface records and the list that carries them from discovery to the server.
//
// KM_INTERFACE_INFO describes one network interface, or one further IPv4
// address of an interface (a copy of the interface's own record with another
// address). Its 1068-byte layout is shared by every producer (driver discovery
// over SNMP, the agent's interface list) and every consumer, so it is fixed and
// checked below member by member.
//
// InterfaceList is a growable array of these records, held by value in the
// order they were added.
//
// Ownership: producers create the list with new and hand it to the caller, who
// deletes it. The list owns its record array (malloc, grown with realloc,
// released with free); it never reads, frees or copies userData. Not copyable:
// a memberwise copy would free the record array twice.
//
// Threads: the list takes no locks. One thread at a time may use a list; after
// a producer hands it over, readers on several threads are fine as long as
// nobody changes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "kmbase/export.h"

// Characters in KM_INTERFACE_INFO::displayName and ::description, terminator
// included: names are cut to 255 characters.
inline constexpr size_t KM_INTERFACE_NAME_LENGTH = 256;

struct KM_INTERFACE_INFO {
  char16_t displayName[KM_INTERFACE_NAME_LENGTH];  // terminated
  char16_t description[KM_INTERFACE_NAME_LENGTH];  // terminated
  uint32_t ifIndex;
  uint32_t ifType;        // IANA ifType numbering; 1 is "other"
  uint8_t reserved1[12];  // zero in records we create; copied unchanged
  uint32_t ipAddr;        // host byte order, a.b.c.d = (a<<24)|(b<<16)|(c<<8)|d; 0: none
  uint32_t ipNetMask;     // host byte order
  uint8_t macAddr[6];     // first byte first; all zero when unknown
  uint8_t reserved2[10];  // zero in records we create; copied unchanged
};

static_assert(std::is_standard_layout_v<KM_INTERFACE_INFO>);
static_assert(std::is_trivially_copyable_v<KM_INTERFACE_INFO>);
static_assert(sizeof(KM_INTERFACE_INFO) == 1068);
static_assert(offsetof(KM_INTERFACE_INFO, displayName) == 0);
static_assert(offsetof(KM_INTERFACE_INFO, description) == 512);
static_assert(offsetof(KM_INTERFACE_INFO, ifIndex) == 1024);
static_assert(offsetof(KM_INTERFACE_INFO, ifType) == 1028);
static_assert(offsetof(KM_INTERFACE_INFO, reserved1) == 1032);
static_assert(offsetof(KM_INTERFACE_INFO, ipAddr) == 1044);
static_assert(offsetof(KM_INTERFACE_INFO, ipNetMask) == 1048);
static_assert(offsetof(KM_INTERFACE_INFO, macAddr) == 1052);
static_assert(offsetof(KM_INTERFACE_INFO, reserved2) == 1058);

class KMSRV_EXPORT InterfaceList {
 public:
  // Records added to a full array; the same whatever the initial capacity.
  // Producers that know the count pass it as the initial capacity instead.
  static constexpr int32_t kGrowthStep = 32;

  // A negative capacity counts as 0. If the array cannot be allocated the
  // list starts with capacity 0 and allocates on the first add.
  explicit InterfaceList(int32_t initialCapacity = 8);
  ~InterfaceList();

  InterfaceList(const InterfaceList &) = delete;
  InterfaceList &operator=(const InterfaceList &) = delete;

  // Appends a copy of all 1068 bytes of *record. The record may lie inside
  // this list (add(get(i)) duplicates record i). Returns false, leaving the
  // list exactly as it was, when record is null or the array is full and
  // cannot be grown.
  bool add(const KM_INTERFACE_INFO *record);

  // Pointers into the array: valid until the next add or remove, or until
  // the list is deleted. Null for a position outside 0..getSize()-1.
  KM_INTERFACE_INFO *get(int32_t index);
  const KM_INTERFACE_INFO *get(int32_t index) const;

  // Removes the record at index, keeping the order of the rest; a position
  // outside the list does nothing.
  void remove(int32_t index);

  // The record with that ifIndex at the lowest position (for an interface
  // with several addresses: its own record), or null.
  KM_INTERFACE_INFO *findByIfIndex(uint32_t ifIndex);
  const KM_INTERFACE_INFO *findByIfIndex(uint32_t ifIndex) const;

  int32_t getSize() const { return size; }
  int32_t getCapacity() const { return capacity; }

  // A pointer for the caller's own use; the list never touches what it points to.
  void setData(void *data) { userData = data; }
  void *getData() const { return userData; }

 private:
  int32_t size = 0;      // 0 <= size <= capacity
  int32_t capacity = 0;  // records `entries` has room for
  void *userData = nullptr;
  KM_INTERFACE_INFO *entries = nullptr;  // owned; null while capacity is 0
};
