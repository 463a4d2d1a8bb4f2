// VlanInfo and VlanList: the VLAN containers of device discovery.

#include <climits>
#include <cstdlib>
#include <cstring>

#include "kmbase/message.h"
#include "kmsrv/protocol.h"
#include "kmsrv/vlans.h"

namespace {

// Field ids one VLAN occupies in a message filled by VlanList::fillMessage.
constexpr uint32_t kVlanFieldStride = 10;

// Reallocates *array to `count` values. On failure *array is left as it was.
bool resizeArray(uint32_t **array, int32_t count) {
  void *p = std::realloc(*array, static_cast<size_t>(count) * sizeof(uint32_t));
  if (p == nullptr) return false;
  *array = static_cast<uint32_t *>(p);
  return true;
}

// A zeroed array for `count` values; at least one value, so that "prepared"
// (non-null) holds even for a VLAN without ports.
uint32_t *zeroedArray(int32_t count) {
  return static_cast<uint32_t *>(
      std::calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(uint32_t)));
}

}  // namespace

VlanInfo::VlanInfo(int32_t id, int32_t referenceMode)
    : vlanId(id), portReferenceMode(referenceMode) {
  portList = static_cast<uint32_t *>(std::malloc(kPortGrowthStep * sizeof(uint32_t)));
  if (portList != nullptr) portCapacity = kPortGrowthStep;
}

VlanInfo::~VlanInfo() {
  std::free(portList);
  std::free(vlanName);
  std::free(ifIndexes);
  std::free(ifIds);
}

bool VlanInfo::reserveOne() {
  if (numPorts < portCapacity) return true;
  if (portCapacity > INT32_MAX - kPortGrowthStep) return false;
  const int32_t grown = portCapacity + kPortGrowthStep;
  // Each array keeps its new block as soon as realloc succeeds (the old one
  // is gone by then); portCapacity rises only once every array has room, so
  // a failure half-way leaves some arrays larger than needed, never smaller.
  if (!resizeArray(&portList, grown)) return false;
  if (ifIndexes != nullptr && !resizeArray(&ifIndexes, grown)) return false;
  if (ifIds != nullptr && !resizeArray(&ifIds, grown)) return false;
  portCapacity = grown;
  return true;
}

bool VlanInfo::add(uint32_t port) {
  if (!reserveOne()) return false;
  portList[numPorts] = port;
  // A port added after prepareForResolve is unresolved.
  if (ifIndexes != nullptr) ifIndexes[numPorts] = 0;
  if (ifIds != nullptr) ifIds[numPorts] = 0;
  ++numPorts;
  return true;
}

bool VlanInfo::add(uint32_t slot, uint32_t port) { return add((slot << 16) | port); }

bool VlanInfo::setName(const char16_t *name) {
  char16_t *copy = nullptr;
  if (name != nullptr) {
    size_t length = 0;
    while (name[length] != 0) ++length;
    copy = static_cast<char16_t *>(std::malloc((length + 1) * sizeof(char16_t)));
    if (copy == nullptr) return false;
    std::memcpy(copy, name, (length + 1) * sizeof(char16_t));
  }
  std::free(vlanName);
  vlanName = copy;
  return true;
}

const char16_t *VlanInfo::getName() const { return vlanName != nullptr ? vlanName : u""; }

bool VlanInfo::prepareForResolve() {
  // Sized to the capacity, not to numPorts, so that later adds only have to
  // grow them together with portList.
  if (ifIndexes == nullptr) ifIndexes = zeroedArray(portCapacity);
  if (ifIds == nullptr) ifIds = zeroedArray(portCapacity);
  return ifIndexes != nullptr && ifIds != nullptr;
}

bool VlanInfo::resolvePort(int32_t index, uint32_t port, uint32_t ifIndex, uint32_t ifId) {
  if (index < 0 || index >= numPorts || ifIndexes == nullptr || ifIds == nullptr) return false;
  portList[index] = port;
  ifIndexes[index] = ifIndex;
  ifIds[index] = ifId;
  return true;
}

VlanList::VlanList(int32_t initialCapacity) {
  if (initialCapacity <= 0) return;
  vlans = static_cast<VlanInfo **>(
      std::malloc(static_cast<size_t>(initialCapacity) * sizeof(VlanInfo *)));
  if (vlans != nullptr) capacity = initialCapacity;
}

VlanList::~VlanList() {
  for (int32_t i = 0; i < size; ++i) delete vlans[i];
  std::free(vlans);
}

bool VlanList::add(VlanInfo *vlan) {
  if (vlan == nullptr) return false;
  if (size == capacity) {
    void *p = nullptr;
    if (capacity <= INT32_MAX - kGrowthStep) {
      p = std::realloc(vlans, static_cast<size_t>(capacity + kGrowthStep) * sizeof(VlanInfo *));
    }
    if (p == nullptr) {
      delete vlan;  // ours since the call began; the list itself is intact
      return false;
    }
    vlans = static_cast<VlanInfo **>(p);
    capacity += kGrowthStep;
  }
  vlans[size++] = vlan;
  return true;
}

VlanInfo *VlanList::get(int32_t index) const {
  return (index >= 0 && index < size) ? vlans[index] : nullptr;
}

VlanInfo *VlanList::findById(int32_t vlanId) const {
  for (int32_t i = 0; i < size; ++i) {
    if (vlans[i]->getVlanId() == vlanId) return vlans[i];
  }
  return nullptr;
}

bool VlanList::addMemberPort(int32_t vlanId, uint32_t port) {
  VlanInfo *vlan = findById(vlanId);
  return vlan != nullptr && vlan->add(port);
}

void VlanList::fillMessage(CSCPMessage *msg) const {
  if (msg == nullptr) return;
  msg->SetVariable(VAR_NUM_VLANS, static_cast<uint32_t>(size));

  // A VLAN that was never prepared has no per-port arrays: it is written
  // with zeros, taken from one buffer large enough for the largest of them.
  int32_t zerosNeeded = 0;
  for (int32_t i = 0; i < size; ++i) {
    const VlanInfo *v = vlans[i];
    if ((v->getIfIndexes() == nullptr || v->getIfIds() == nullptr) &&
        v->getNumPorts() > zerosNeeded) {
      zerosNeeded = v->getNumPorts();
    }
  }
  uint32_t *zeros = zerosNeeded > 0 ? zeroedArray(zerosNeeded) : nullptr;

  // Passed for an empty array, so that no null pointer reaches a copy.
  static const uint32_t kNoValue = 0;
  auto writeArray = [msg](uint32_t id, uint32_t count, const uint32_t *values) {
    if (count == 0 || values == nullptr) {
      // Only when even the zero buffer could not be had does an array come
      // out shorter than the port count; readers get an empty array then.
      msg->SetVariableToInt32Array(id, 0, &kNoValue);
    } else {
      msg->SetVariableToInt32Array(id, count, values);
    }
  };

  for (int32_t i = 0; i < size; ++i) {
    const VlanInfo *v = vlans[i];
    const uint32_t base = VAR_LIST_BASE + kVlanFieldStride * static_cast<uint32_t>(i);
    const uint32_t count = static_cast<uint32_t>(v->getNumPorts());
    msg->SetVariable(base + 0, static_cast<uint16_t>(v->getVlanId()));
    msg->SetVariable(base + 1, v->getName());
    msg->SetVariable(base + 2, count);
    writeArray(base + 3, count, v->getPorts());
    writeArray(base + 4, count, v->getIfIndexes() != nullptr ? v->getIfIndexes() : zeros);
    writeArray(base + 5, count, v->getIfIds() != nullptr ? v->getIfIds() : zeros);
  }
  std::free(zeros);
}
