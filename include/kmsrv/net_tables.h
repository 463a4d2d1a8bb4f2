// Network tables an agent reports about its host: the ARP cache and the IP
// routing table as plain records handed to the caller, and the one grammar
// of the agent's list lines: the parsers that turn one line into one record
// (also for interface lines) and the formatters that write it.
//
// Ownership: a table record and its entry array are two malloc'd blocks the
// caller owns and releases with DestroyArpCache / DestroyRoutingTable.
//
// Threads: the functions touch only what they are given and take no lock;
// any thread.
#pragma once

#include <cstdint>
#include <string>

#include "kmbase/export.h"
#include "kmsrv/interfaces.h"

struct ARP_CACHE_ENTRY {
  uint32_t ifIndex;
  uint32_t ipAddr;  // host byte order
  uint8_t macAddr[6];
};

struct ARP_CACHE {
  uint32_t numEntries;  // one entry per list line received
  ARP_CACHE_ENTRY *entries;
};

struct ROUTING_TABLE_ENTRY {
  uint32_t destAddr;  // host byte order
  uint32_t destMask;  // host byte order; prefix length 24 gives 0xFFFFFF00
  uint32_t nextHop;   // host byte order
  uint32_t ifIndex;
  uint32_t routeType;  // as the agent reports it
};

struct ROUTING_TABLE {
  uint32_t numEntries;  // one route per list line received
  ROUTING_TABLE_ENTRY *entries;
};

// Release a table and its entry array; null is ignored.
KMSRV_EXPORT void DestroyArpCache(ARP_CACHE *arpCache);
KMSRV_EXPORT void DestroyRoutingTable(ROUTING_TABLE *routingTable);
// Sorts the routes by netmask, most specific first (a default route last).
// Routes with equal masks end in no defined order.
KMSRV_EXPORT void SortRoutingTable(ROUTING_TABLE *routingTable);

// Line parsers of the agent lists "Net.InterfaceList", "Net.ArpCache" and
// "Net.IP.RoutingTable". Each fills a zeroed record from one line (null is an
// empty line); a missing field leaves its members zero. They never fail and
// never read past the line's terminator. A prefix length above 32 counts as
// 32 (a full mask) so that every line gives a defined netmask.
KMSRV_EXPORT void ParseInterfaceLine(const char16_t *line, KM_INTERFACE_INFO *info);
KMSRV_EXPORT void ParseArpLine(const char16_t *line, ARP_CACHE_ENTRY *entry);
KMSRV_EXPORT void ParseRouteLine(const char16_t *line, ROUTING_TABLE_ENTRY *entry);

// The formatters an agent writes these lines with, in UTF-8: the parsers
// read the record back (an interface's name is its displayName, which the
// parser also puts into description; the netmask goes as a prefix length,
// its leading one bits).
//   Net.InterfaceList:   "INDEX ADDRESS/BITS TYPE MAC NAME" (MAC: 12 hex digits)
//   Net.ArpCache:        "MAC ADDRESS INDEX"
//   Net.IP.RoutingTable: "DESTINATION/BITS NEXTHOP INDEX TYPE"
KMSRV_EXPORT std::string FormatInterfaceLine(const KM_INTERFACE_INFO &info);
KMSRV_EXPORT std::string FormatArpLine(const ARP_CACHE_ENTRY &entry);
KMSRV_EXPORT std::string FormatRouteLine(const ROUTING_TABLE_ENTRY &entry);
