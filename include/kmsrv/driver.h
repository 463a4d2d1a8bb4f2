// NetworkDeviceDriver: the base class of the server's network device drivers,
// and the generic driver itself.
//
// The server asks a driver who it is (getName, getVersion), whether it handles
// a device (isPotentialDevice, then isDeviceSupported), lets it add device
// attributes (analyzeDevice), and has it discover the device's interfaces and
// VLANs. A device-specific driver derives from this class and overrides what
// differs. The base versions discover through standard MIBs only:
//   interfaces  ifNumber, the ifTable columns ifIndex, ifDescr, ifType and
//               ifPhysAddress, ifXTable's ifName and ifAlias;
//   addresses   ipAddrTable (ipAdEntAddr, ipAdEntNetMask, ipAdEntIfIndex);
//   VLANs       Q-BRIDGE-MIB dot1qVlanStaticName and
//               dot1qVlanCurrentEgressPorts.
// All SNMP access goes through SnmpGet and SnmpEnumerate (kmsrv/snmp.h) on the
// transport the server passes in, with the transport's own SNMP version.
// With bulk walks switched on (setBulkWalks) and a transport whose version
// has GETBULK (SNMPv2c, SNMPv3), tables are read with SnmpWalkBulk instead,
// and the interface columns are read ahead by bulk walks rather than one GET
// per interface and column: the same result in a fraction of the round
// trips. Off by default.
//
// Ownership: the lists returned belong to the caller: delete an
// InterfaceList, release a VlanList with decRefCount(). The driver keeps
// nothing of a call.
//
// Threads: the driver's only state is its bulk-walk setting, which is set
// before discoveries start and only read while they run; so one object may
// serve several discoveries at once on different threads, each on its own
// transport. A transport serves one discovery at a time.
#pragma once

#include <cstdint>

#include "kmbase/export.h"
#include "kmsrv/interfaces.h"
#include "kmsrv/vlans.h"

class SNMP_Transport;
class StringMap;

class KMSRV_EXPORT NetworkDeviceDriver {
 public:
  // Most records getInterfaces collects (interfaces plus further addresses),
  // about 280 MB. A device that keeps answering a walk could otherwise grow
  // the list without end; the largest real interface tables (broadband
  // gateways with an interface per subscriber) stay well below it. A device
  // beyond it fails discovery rather than yield a silently shortened list.
  static constexpr int32_t kMaxInterfaceRecords = 262144;
  // Most VLANs getVlans collects. 802.1Q numbers at most 4094 VLANs; the MIB
  // allows larger local numbers, so the bound leaves generous room.
  static constexpr int32_t kMaxVlans = 16384;
  // Most port values getVlans stores over all VLANs (32 MB): 4094 VLANs of
  // 2048 ports each. Repeated egress rows for one VLAN add their ports again,
  // so without a bound a device could grow the list without end.
  static constexpr int64_t kMaxVlanPorts = 1 << 23;
  // Bytes of one egress port list that are decoded (ports 1 to 32768); a
  // longer value is cut.
  static constexpr uint32_t kMaxPortListBytes = 4096;

  NetworkDeviceDriver() = default;
  virtual ~NetworkDeviceDriver();

  // Bulk walks: 0 (the default) keeps GETNEXT walks and one GET per value;
  // otherwise the max-repetitions of each GETBULK request (at most
  // SNMP_MAX_VARIABLES), used where the transport's version allows it.
  // Call before discoveries start (see Threads above).
  void setBulkWalks(uint32_t maxRepetitions) { bulkRepetitions_ = maxRepetitions; }
  uint32_t getBulkWalks() const { return bulkRepetitions_; }

  // "GENERIC" and "1.2.2" here; each driver names itself.
  virtual const char16_t *getName();
  virtual const char16_t *getVersion();

  // Whether the driver may handle the device the server names by `oid`
  // (its sysObjectID as text): non-zero for yes. The base answers 1 for any
  // device.
  virtual int32_t isPotentialDevice(const char16_t *oid);
  // The closer test, which may ask the device; the base answers true.
  virtual bool isDeviceSupported(SNMP_Transport *snmpTransport, const char16_t *oid);
  // May add attributes of the device to `attributes`; the base adds none.
  virtual void analyzeDevice(SNMP_Transport *snmpTransport, const char16_t *oid,
                             StringMap *attributes);

  // Discovers the device's interfaces: one record per interface (in the
  // order of the ifIndex walk), then one copy of an interface's record for
  // each further IPv4 address (in the order of the ipAddrTable walk).
  // useAliases says how ifAlias enters displayName:
  //   <= 0 or >= 4  the name text only;
  //   1             the alias, or the name text when the alias is empty;
  //   2             "alias (name text)" (just the alias when it has 253 or
  //                 more characters);
  //   3             "name text (alias)" (just the name text when it has 253
  //                 or more characters).
  // The name text is ifName when useIfXTable is true and the device gives
  // one, otherwise ifDescr. Returns null when ifNumber cannot be read, a
  // walk fails, or the device has more than kMaxInterfaceRecords records.
  // A failing ifDescr ends the per-interface reading early (the remaining
  // records keep only their ifIndex and addresses); other failing reads fall
  // back to an empty alias, the description, ifType 1 and a zero MAC
  // address. The base ignores `attributes`.
  virtual InterfaceList *getInterfaces(SNMP_Transport *snmpTransport, StringMap *attributes,
                                       int32_t useAliases, bool useIfXTable);

  // Discovers the device's VLANs with their names and egress ports (bridge
  // port numbers, port reference mode 2, not yet prepared for resolving).
  // Returns null when either walk fails or a bound above is passed. The base
  // ignores `attributes`.
  virtual VlanList *getVlans(SNMP_Transport *snmpTransport, StringMap *attributes);

 private:
  uint32_t bulkRepetitions_ = 0;  // set before discoveries, read-only during them
};
