// The walk discovery uses: SnmpWalkBulk when the driver has bulk walks on
// and the transport's version has GETBULK, SnmpEnumerate otherwise. Always
// with the transport's own version and without logging.
//
// Internal to the drivers. Same thread rules as the walks themselves.
#pragma once

#include <cstdint>

#include "kmsrv/snmp.h"

namespace kmsrv {

inline bool UseBulkWalks(uint32_t bulkRepetitions, const SNMP_Transport *t) {
  return bulkRepetitions > 0 && t->getSnmpVersion() != SNMP_VERSION_1;
}

inline uint32_t DiscoveryWalk(uint32_t bulkRepetitions, SNMP_Transport *t, const char16_t *root,
                              SnmpWalkHandler handler, void *arg) {
  if (UseBulkWalks(bulkRepetitions, t))
    return SnmpWalkBulk(t->getSnmpVersion(), t, root, handler, arg, 0, bulkRepetitions);
  return SnmpEnumerate(t->getSnmpVersion(), t, root, handler, arg, 0);
}

}  // namespace kmsrv
