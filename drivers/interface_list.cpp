// InterfaceList: the growable record array of interface discovery.

#include <climits>
#include <cstdlib>
#include <cstring>

#include "kmsrv/interfaces.h"

InterfaceList::InterfaceList(int32_t initialCapacity) {
  if (initialCapacity <= 0) return;
  entries = static_cast<KM_INTERFACE_INFO *>(
      std::malloc(static_cast<size_t>(initialCapacity) * sizeof(KM_INTERFACE_INFO)));
  if (entries != nullptr) capacity = initialCapacity;
}

InterfaceList::~InterfaceList() { std::free(entries); }

bool InterfaceList::add(const KM_INTERFACE_INFO *record) {
  if (record == nullptr) return false;
  // The record may live in `entries`, which realloc may move: copy it out first.
  KM_INTERFACE_INFO copy;
  std::memcpy(&copy, record, sizeof(copy));
  if (size == capacity) {
    if (capacity > INT32_MAX - kGrowthStep) return false;
    const int32_t grown = capacity + kGrowthStep;
    void *p = std::realloc(entries, static_cast<size_t>(grown) * sizeof(KM_INTERFACE_INFO));
    if (p == nullptr) return false;  // the old array is still ours and intact
    entries = static_cast<KM_INTERFACE_INFO *>(p);
    capacity = grown;
  }
  std::memcpy(&entries[size], &copy, sizeof(copy));
  ++size;
  return true;
}

KM_INTERFACE_INFO *InterfaceList::get(int32_t index) {
  return (index >= 0 && index < size) ? &entries[index] : nullptr;
}

const KM_INTERFACE_INFO *InterfaceList::get(int32_t index) const {
  return (index >= 0 && index < size) ? &entries[index] : nullptr;
}

void InterfaceList::remove(int32_t index) {
  if (index < 0 || index >= size) return;
  std::memmove(&entries[index], &entries[index + 1],
               static_cast<size_t>(size - index - 1) * sizeof(KM_INTERFACE_INFO));
  --size;
}

KM_INTERFACE_INFO *InterfaceList::findByIfIndex(uint32_t ifIndex) {
  for (int32_t i = 0; i < size; ++i) {
    if (entries[i].ifIndex == ifIndex) return &entries[i];
  }
  return nullptr;
}

const KM_INTERFACE_INFO *InterfaceList::findByIfIndex(uint32_t ifIndex) const {
  return const_cast<InterfaceList *>(this)->findByIfIndex(ifIndex);
}
