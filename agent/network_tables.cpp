// Network tables of the agent's host (interfaces, ARP cache, routing table):
// each is read with getList and every line is parsed into one record.
//
// The parsers work on a read-only view of the line and never write into it;
// fields are split at single spaces strictly from the left, so once a field
// is missing every later one is missing too and the rest of the line goes to
// the record's last members.
#include <arpa/inet.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "kmbase/text.h"
#include "kmsrv/agent.h"
#include "kmsrv/interfaces.h"
#include "kmsrv/net_tables.h"

namespace {

// An ARP line starts with the MAC address as 12 hex digits. Lines shorter
// than kMinArpLine are taken as malformed and give an all-zero entry: the
// agent always writes a MAC, a space, an address and an index.
constexpr size_t kArpMacDigits = 12;
constexpr size_t kMinArpLine = 20;
// Prefix lengths above this give the full mask.
constexpr uint32_t kMaxPrefixLength = 32;

class FieldSplitter {
 public:
  explicit FieldSplitter(const char16_t *line) : rest_(line != nullptr ? line : u"") {}
  // The next field up to the next space, or false (nothing consumed) when
  // no space follows.
  bool next(std::u16string_view *field) {
    size_t space = rest_.find(u' ');
    if (space == std::u16string_view::npos) return false;
    *field = rest_.substr(0, space);
    rest_.remove_prefix(space + 1);
    return true;
  }
  std::u16string_view rest() const { return rest_; }

 private:
  std::u16string_view rest_;
};

// Unsigned decimal up to the first non-digit; no digits give 0. An overlong
// number keeps its low 32 bits (no overflow, any value is as good).
uint32_t Decimal(std::u16string_view text) {
  uint32_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') break;
    value = value * 10 + static_cast<uint32_t>(c - u'0');
  }
  return value;
}

uint32_t HostAddress(std::u16string_view text) {
  std::u16string copy(text);
  return ntohl(inet_addr_w(copy.c_str()));
}

void AddressWithPrefix(std::u16string_view field, uint32_t *addr, uint32_t *mask) {
  std::u16string_view bits = u"24";
  size_t slash = field.find(u'/');
  if (slash != std::u16string_view::npos) {
    bits = field.substr(slash + 1);
    field = field.substr(0, slash);
  }
  *addr = HostAddress(field);
  uint32_t n = Decimal(bits);
  *mask = n >= kMaxPrefixLength ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> n);
}

void CopyName(std::u16string_view text, char16_t *out, size_t size) {
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  memcpy(out, text.data(), n * sizeof(char16_t));
  out[n] = 0;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

void ParseInterfaceLine(const char16_t *line, KM_INTERFACE_INFO *info) {
  memset(info, 0, sizeof(*info));
  FieldSplitter split(line);
  std::u16string_view field;
  if (split.next(&field)) {
    info->ifIndex = Decimal(field);
    if (split.next(&field)) {
      AddressWithPrefix(field, &info->ipAddr, &info->ipNetMask);
      if (split.next(&field)) {
        info->ifType = Decimal(field);
        if (split.next(&field)) {
          std::u16string hex(field);
          StrToBin(hex.c_str(), info->macAddr, sizeof(info->macAddr));
        }
      }
    }
  }
  CopyName(split.rest(), info->displayName, KM_INTERFACE_NAME_LENGTH);
  CopyName(split.rest(), info->description, KM_INTERFACE_NAME_LENGTH);
}

void ParseArpLine(const char16_t *line, ARP_CACHE_ENTRY *entry) {
  memset(entry, 0, sizeof(*entry));
  std::u16string_view text(line != nullptr ? line : u"");
  if (text.size() < kMinArpLine) return;
  for (size_t i = 0; i < kArpMacDigits / 2; i++) {
    // Base-16 conversion of the pair, stopping at its first non-hex digit.
    int value = 0;
    for (size_t k = 0; k < 2; k++) {
      int digit = HexDigit(text[2 * i + k]);
      if (digit < 0) break;
      value = value * 16 + digit;
    }
    entry->macAddr[i] = static_cast<uint8_t>(value);
  }
  text.remove_prefix(kArpMacDigits);
  while (!text.empty() && text.front() == u' ') text.remove_prefix(1);
  size_t space = text.find(u' ');
  entry->ipAddr = HostAddress(text.substr(0, space));
  if (space != std::u16string_view::npos) entry->ifIndex = Decimal(text.substr(space + 1));
}

void ParseRouteLine(const char16_t *line, ROUTING_TABLE_ENTRY *entry) {
  memset(entry, 0, sizeof(*entry));
  FieldSplitter split(line);
  std::u16string_view field;
  if (split.next(&field)) {
    AddressWithPrefix(field, &entry->destAddr, &entry->destMask);
    if (split.next(&field)) {
      entry->nextHop = HostAddress(field);
      if (split.next(&field)) entry->ifIndex = Decimal(field);
    }
  }
  entry->routeType = Decimal(split.rest());
}

namespace {

std::string MacText(const uint8_t *mac) {
  char16_t hex[13];
  return KmWideToUtf8(BinToStr(mac, 6, hex));
}

// Leading one bits of a netmask, the prefix length a line carries.
std::string Bits(uint32_t mask) { return std::to_string(std::countl_one(mask)); }

}  // namespace

std::string FormatInterfaceLine(const KM_INTERFACE_INFO &info) {
  return std::to_string(info.ifIndex) + " " + KmIpToText(info.ipAddr) + "/" + Bits(info.ipNetMask) +
         " " + std::to_string(info.ifType) + " " + MacText(info.macAddr) + " " +
         KmWideToUtf8(info.displayName);
}

std::string FormatArpLine(const ARP_CACHE_ENTRY &entry) {
  return MacText(entry.macAddr) + " " + KmIpToText(entry.ipAddr) + " " +
         std::to_string(entry.ifIndex);
}

std::string FormatRouteLine(const ROUTING_TABLE_ENTRY &entry) {
  return KmIpToText(entry.destAddr) + "/" + Bits(entry.destMask) + " " + KmIpToText(entry.nextHop) +
         " " + std::to_string(entry.ifIndex) + " " + std::to_string(entry.routeType);
}

void DestroyArpCache(ARP_CACHE *arpCache) {
  if (arpCache == nullptr) return;
  free(arpCache->entries);
  free(arpCache);
}

void DestroyRoutingTable(ROUTING_TABLE *routingTable) {
  if (routingTable == nullptr) return;
  free(routingTable->entries);
  free(routingTable);
}

void SortRoutingTable(ROUTING_TABLE *routingTable) {
  if (routingTable == nullptr || routingTable->entries == nullptr) return;
  qsort(routingTable->entries, routingTable->numEntries, sizeof(ROUTING_TABLE_ENTRY),
        [](const void *a, const void *b) -> int {
          uint32_t ma = static_cast<const ROUTING_TABLE_ENTRY *>(a)->destMask;
          uint32_t mb = static_cast<const ROUTING_TABLE_ENTRY *>(b)->destMask;
          return ma == mb ? 0 : (ma > mb ? -1 : 1);
        });
}

namespace {

// A table record with a zero-filled array of `count` entries (count 0 gives
// an array of one unused entry so that entries is never null), or null.
template <typename TableT, typename EntryT>
TableT *NewTable(uint32_t count) {
  auto *table = static_cast<TableT *>(calloc(1, sizeof(TableT)));
  if (table == nullptr) return nullptr;
  table->entries = static_cast<EntryT *>(calloc(count == 0 ? 1 : count, sizeof(EntryT)));
  if (table->entries == nullptr) {
    free(table);
    return nullptr;
  }
  table->numEntries = count;
  return table;
}

}  // namespace

InterfaceList *AgentConnection::getInterfaceList() {
  if (getList(u"Net.InterfaceList") != RCC_SUCCESS) return nullptr;
  auto *list = new (std::nothrow) InterfaceList(static_cast<int32_t>(
      numDataLines > INT32_MAX ? INT32_MAX : numDataLines));
  if (list != nullptr) {
    auto *info = static_cast<KM_INTERFACE_INFO *>(malloc(sizeof(KM_INTERFACE_INFO)));
    for (uint32_t i = 0; info != nullptr && i < numDataLines; i++) {
      ParseInterfaceLine(dataLines[i], info);
      list->add(info);
    }
    if (info == nullptr) {
      delete list;
      list = nullptr;
    }
    free(info);
  }
  Lock();
  destroyResultData();
  Unlock();
  return list;
}

ARP_CACHE *AgentConnection::getArpCache() {
  if (getList(u"Net.ArpCache") != RCC_SUCCESS) return nullptr;
  ARP_CACHE *cache = NewTable<ARP_CACHE, ARP_CACHE_ENTRY>(numDataLines);
  if (cache != nullptr)
    for (uint32_t i = 0; i < numDataLines; i++) ParseArpLine(dataLines[i], &cache->entries[i]);
  Lock();
  destroyResultData();
  Unlock();
  return cache;
}

ROUTING_TABLE *AgentConnection::getRoutingTable() {
  if (getList(u"Net.IP.RoutingTable") != RCC_SUCCESS) return nullptr;
  ROUTING_TABLE *table = NewTable<ROUTING_TABLE, ROUTING_TABLE_ENTRY>(numDataLines);
  if (table != nullptr)
    for (uint32_t i = 0; i < numDataLines; i++) ParseRouteLine(dataLines[i], &table->entries[i]);
  Lock();
  destroyResultData();
  Unlock();
  return table;
}
