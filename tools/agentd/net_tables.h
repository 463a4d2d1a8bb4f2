// The network tables of the agent's host: interfaces with their addresses
// and counters, the ARP cache and the IPv4 routing table, as the list lines
// and table rows the agent serves.
//
// The Parse*/…FromProc functions are pure (text in, lines out) and are what
// the tests feed with crafted text; the Host* functions read /proc, /sys and
// getifaddrs() of the running system. Any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kmagent::detail {

// A /proc or /sys file larger than this is refused: a host with tens of
// thousands of routes or neighbours is still below it, and a session never
// holds more than this of one file.
inline constexpr size_t kMaxProcFileSize = 4 << 20;

// Counters of one interface, from /proc/net/dev.
struct InterfaceCounters {
  std::string name;
  uint64_t bytesIn = 0;
  uint64_t packetsIn = 0;
  uint64_t errorsIn = 0;
  uint64_t bytesOut = 0;
  uint64_t packetsOut = 0;
  uint64_t errorsOut = 0;
};

// The interface index of a name, 0 when there is none.
using IndexOfName = std::function<uint32_t(std::string_view name)>;

// Reads a whole file of at most kMaxProcFileSize bytes. False when it cannot
// be opened or read, or is larger.
bool ReadProcFile(const char *path, std::string *text);

// /proc/net/dev: one entry per interface line ("name: 16 numbers"); lines
// that do not have that form (the two headings) are skipped, and so is an
// interface whose name is longer than 15 characters.
std::vector<InterfaceCounters> ParseProcNetDev(std::string_view text);

// /proc/net/arp -> "Net.ArpCache" lines (FormatArpLine). Incomplete entries
// (flags without 0x2) and unparsable lines are left out.
std::vector<std::string> ArpLinesFromProc(std::string_view text, const IndexOfName &indexOf);

// /proc/net/route -> "Net.IP.RoutingTable" lines (FormatRouteLine): the
// next hop 0.0.0.0 for a direct route, type 3 direct or 4 indirect as in
// the IP MIB. Routes that are not up and unparsable lines are left out.
std::vector<std::string> RouteLinesFromProc(std::string_view text, const IndexOfName &indexOf);

// The IF-MIB interface type of a Linux link type (/sys/class/net/X/type).
uint32_t IfTypeOfLinkType(uint32_t linkType);

// "aa:bb:cc:dd:ee:ff" -> "AABBCCDDEEFF"; anything else -> 12 zeros.
std::string MacHexOfSysText(std::string_view text);

// The running host. The list and counter readers return false when the
// system's table cannot be read.
uint32_t HostInterfaceIndex(std::string_view name);
bool HostInterfaceCounters(std::vector<InterfaceCounters> *out);
bool HostInterfaceLines(std::vector<std::string> *out);
bool HostArpLines(std::vector<std::string> *out);
bool HostRouteLines(std::vector<std::string> *out);
// Type and MAC (12 hex digits) of an interface, from /sys/class/net.
uint32_t HostInterfaceType(std::string_view name);
std::string HostInterfaceMac(std::string_view name);

}  // namespace kmagent::detail
