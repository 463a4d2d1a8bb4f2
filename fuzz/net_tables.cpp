// Fuzzes the agent's network table line parsers with arbitrary UTF-16 lines
// (the input's bytes taken two at a time): none may read past the line's end
// or leave a netmask that is not a run of leading ones.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kmsrv/net_tables.h"

namespace {
bool IsPrefixMask(uint32_t mask) { return (~mask & (~mask + 1)) == 0; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::u16string line(size / 2, u'\0');
  memcpy(line.data(), data, line.size() * sizeof(char16_t));
  KM_INTERFACE_INFO info;
  ParseInterfaceLine(line.c_str(), &info);
  if (!IsPrefixMask(info.ipNetMask) || info.displayName[KM_INTERFACE_NAME_LENGTH - 1] != 0)
    abort();
  ARP_CACHE_ENTRY arp;
  ParseArpLine(line.c_str(), &arp);
  ROUTING_TABLE_ENTRY route;
  ParseRouteLine(line.c_str(), &route);
  if (!IsPrefixMask(route.destMask)) abort();
  return 0;
}
