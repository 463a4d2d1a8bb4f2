// VLANs of a network device: VlanInfo (one VLAN, its name and member ports)
// and VlanList, the reference-counted collection that VLAN discovery returns.
//
// Life of a VlanInfo: ports are added first (collecting); then
// prepareForResolve gives every port an interface index and an interface id,
// both 0 until resolvePort sets them (resolving). Ports added after
// prepareForResolve get 0 in both per-port arrays, so the three arrays always
// hold at least getNumPorts() values once prepared.
//
// Ownership: a VlanInfo owns its name and its arrays (malloc, realloc, free).
// A VlanList owns every VlanInfo added to it and deletes them when the last
// reference goes (decRefCount); its destructor is not public, so a list shared
// by several holders cannot be deleted under the others. The list never reads,
// frees or copies userData. Neither class is copyable: a memberwise copy would
// free the same arrays twice.
//
// Operations that need memory (add, setName, prepareForResolve) return false
// and leave the object as it was when the memory cannot be had.
//
// Threads: neither class takes locks. One thread at a time changes an object
// (the discovering driver fills the list, then its holders resolve and read
// it); the reference count itself may be changed from any thread.
#pragma once

#include <cstdint>

#include "kmbase/export.h"
#include "kmbase/refcount.h"

class CSCPMessage;

class KMSRV_EXPORT VlanInfo {
 public:
  // Port values a new VLAN has room for, and the growth step when it is full.
  static constexpr int32_t kPortGrowthStep = 64;

  // portReferenceMode says how the port values are to be read (discovery
  // from the Q-BRIDGE-MIB uses 2: bridge port numbers); it is stored, never
  // interpreted here.
  VlanInfo(int32_t id, int32_t referenceMode);
  ~VlanInfo();

  VlanInfo(const VlanInfo &) = delete;
  VlanInfo &operator=(const VlanInfo &) = delete;

  // Appends one port value.
  bool add(uint32_t port);
  // Appends (slot << 16) | port. The port is not masked: keep it below 65536.
  bool add(uint32_t slot, uint32_t port);

  // Replaces the name with a copy of `name`; null removes it.
  bool setName(const char16_t *name);
  // The name, or an empty text when none is set. Valid until setName or deletion.
  const char16_t *getName() const;

  int32_t getVlanId() const { return vlanId; }
  int32_t getPortReferenceMode() const { return portReferenceMode; }
  int32_t getNumPorts() const { return numPorts; }
  int32_t getPortCapacity() const { return portCapacity; }

  // The arrays themselves, getNumPorts() values each (valid until the next
  // add or deletion). getIfIndexes and getIfIds are null before
  // prepareForResolve.
  const uint32_t *getPorts() const { return portList; }
  const uint32_t *getIfIndexes() const { return ifIndexes; }
  const uint32_t *getIfIds() const { return ifIds; }

  // Allocates each per-port array that does not exist yet, all zero; arrays
  // that exist are left as they are, resolved values included. True when
  // both arrays exist afterwards.
  bool prepareForResolve();

  // Sets port value, interface index and interface id of the port at
  // `index`. False (nothing stored) when index is outside 0..numPorts-1 or
  // the VLAN has not been prepared.
  bool resolvePort(int32_t index, uint32_t port, uint32_t ifIndex, uint32_t ifId);

 private:
  // Makes room for one more port in every array that exists.
  bool reserveOne();

  int32_t vlanId;
  char16_t *vlanName = nullptr;  // owned; null until a name is set
  int32_t portReferenceMode;
  // Every array that exists has room for this many values; values past
  // numPorts are unused.
  int32_t portCapacity = 0;
  int32_t numPorts = 0;
  uint32_t *portList = nullptr;   // owned
  uint32_t *ifIndexes = nullptr;  // owned; null until prepareForResolve
  uint32_t *ifIds = nullptr;      // owned; null until prepareForResolve
};

class KMSRV_EXPORT VlanList : public RefCountObject {
 public:
  // VLAN pointers added to a full array.
  static constexpr int32_t kGrowthStep = 32;

  // Starts with one reference, held by the creator. A negative capacity
  // counts as 0; if the array cannot be allocated the list starts with
  // capacity 0.
  explicit VlanList(int32_t initialCapacity = 8);

  // Appends `vlan`; the list owns it from this call on, whatever the result.
  // False when vlan is null, or when the array is full and cannot grow: then
  // the list is unchanged and the VLAN has been deleted. Never add one
  // VlanInfo twice, or to two lists.
  bool add(VlanInfo *vlan);

  // Null for a position outside 0..getSize()-1.
  VlanInfo *get(int32_t index) const;
  int32_t getSize() const { return size; }
  int32_t getCapacity() const { return capacity; }

  // The VLAN with that number at the lowest position, or null.
  VlanInfo *findById(int32_t vlanId) const;
  // Appends a port value to findById(vlanId); false when there is no such
  // VLAN or its port array cannot grow.
  bool addMemberPort(int32_t vlanId, uint32_t port);

  void setData(void *data) { userData = data; }
  void *getData() const { return userData; }

  // Writes the list into msg: VAR_NUM_VLANS (32-bit) = size, then for the
  // VLAN at position i, with base = VAR_LIST_BASE + 10 * i:
  //   base+0 16-bit      VLAN number, low 16 bits
  //   base+1 string      name ("" when none)
  //   base+2 32-bit      number of ports n
  //   base+3 32-bit[n]   port values
  //   base+4 32-bit[n]   interface indexes (zeros when never prepared)
  //   base+5 32-bit[n]   interface ids (zeros when never prepared)
  // base+6 to base+9 stay unused; the port reference mode is not sent.
  void fillMessage(CSCPMessage *msg) const;

 protected:
  // Runs when the last reference is dropped: deletes every VLAN, frees the array.
  ~VlanList() override;

 private:
  int32_t size = 0;
  int32_t capacity = 0;
  void *userData = nullptr;
  VlanInfo **vlans = nullptr;  // owned, with every VlanInfo in 0..size-1; never null entries
};
