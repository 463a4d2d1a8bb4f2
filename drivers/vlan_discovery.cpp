// NetworkDeviceDriver::getVlans: generic VLAN discovery over the
// Q-BRIDGE-MIB static VLAN table (names) and current VLAN table (egress
// ports).
#include <unordered_map>

#include "discovery_walk.h"
#include "kmbase/refcount.h"
#include "kmsnmp/snmp.h"
#include "kmsrv/driver.h"
#include "kmsrv/snmp.h"

namespace {

// How the ports of a discovered VLAN are numbered: bridge port numbers.
constexpr int32_t kBridgePortMode = 2;
// Characters of a VLAN name, terminator included; a longer name is cut.
constexpr size_t kNameSize = 256;
// Any non-zero handler result ends the walk; this one marks a bound or a
// lack of memory.
constexpr uint32_t kStopWalk = 0xFFFFFFFF;

struct Discovery {
  VlanList *list;
  // The first VLAN of each number, as VlanList::findById would find it,
  // without a search through the list for every egress row.
  std::unordered_map<int32_t, VlanInfo *> byNumber;
  int64_t ports = 0;  // port values stored so far, over all VLANs
};

// A VLAN's number is the last element of its row's name. Numbers above
// INT32_MAX wrap to negative values, as the list holds signed numbers.
int32_t VlanNumber(const SNMP_Variable *var) {
  return static_cast<int32_t>(var->getName()[var->getNameLength() - 1]);
}

uint32_t NameHandler(uint32_t, SNMP_Variable *var, SNMP_Transport *, void *arg) {
  auto *d = static_cast<Discovery *>(arg);
  if (d->list->getSize() >= NetworkDeviceDriver::kMaxVlans) {
    return kStopWalk;
  }
  auto *vlan = new VlanInfo(VlanNumber(var), kBridgePortMode);
  char16_t name[kNameSize];
  var->GetValueAsString(name, kNameSize);
  if (!vlan->setName(name)) {
    delete vlan;
    return kStopWalk;
  }
  if (!d->list->add(vlan)) {
    return kStopWalk;  // add has deleted the VLAN
  }
  d->byNumber.emplace(vlan->getVlanId(), vlan);  // keeps an earlier VLAN of that number
  return 0;
}

// Appends the ports a PortList names: byte j, bit k counted from the most
// significant bit, stands for port 8j + k + 1. False when a bound is reached
// or memory is short.
bool AppendPortList(Discovery *d, VlanInfo *vlan, const uint8_t *bits, size_t length) {
  for (size_t j = 0; j < length; j++) {
    if (bits[j] == 0) {
      continue;
    }
    for (uint32_t k = 0; k < 8; k++) {
      if ((bits[j] & (0x80u >> k)) == 0) {
        continue;
      }
      if (d->ports >= NetworkDeviceDriver::kMaxVlanPorts) {
        return false;
      }
      if (!vlan->add(static_cast<uint32_t>(8 * j + k + 1))) {
        return false;
      }
      d->ports++;
    }
  }
  return true;
}

uint32_t EgressHandler(uint32_t, SNMP_Variable *var, SNMP_Transport *, void *arg) {
  auto *d = static_cast<Discovery *>(arg);
  auto found = d->byNumber.find(VlanNumber(var));
  if (found == d->byNumber.end()) {
    return 0;  // no static row: not a VLAN of the result
  }
  VlanInfo *vlan = found->second;
  uint8_t bits[NetworkDeviceDriver::kMaxPortListBytes];
  size_t length = var->getRawValue(bits, sizeof(bits));
  return AppendPortList(d, vlan, bits, length) ? 0 : kStopWalk;
}

}  // namespace

VlanList *NetworkDeviceDriver::getVlans(SNMP_Transport *snmpTransport, StringMap *) {
  if (snmpTransport == nullptr) {
    return nullptr;
  }
  KmRef<VlanList> list(new VlanList());
  Discovery d{list.get()};
  if (kmsrv::DiscoveryWalk(bulkRepetitions_, snmpTransport, u".1.3.6.1.2.1.17.7.1.4.3.1.1",
                           NameHandler, &d) != SNMP_ERR_SUCCESS ||
      kmsrv::DiscoveryWalk(bulkRepetitions_, snmpTransport, u".1.3.6.1.2.1.17.7.1.4.2.1.4",
                           EgressHandler, &d) != SNMP_ERR_SUCCESS) {
    return nullptr;
  }
  return list.release();
}
