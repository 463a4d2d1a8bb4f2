#include "record_output.h"

#include <cstdio>
#include <cstring>

#include "cli_support.h"
#include "kmbase/text.h"
#include "kmsrv/agent_policy.h"
#include "kmsrv/interfaces.h"
#include "kmsrv/net_tables.h"

namespace kmquery {

namespace {

// Names of common IANA interface types, for the human table.
const char *IfTypeName(uint32_t type) {
  switch (type) {
    case 1: return "other";
    case 6: return "ethernetCsmacd";
    case 23: return "ppp";
    case 24: return "softwareLoopback";
    case 53: return "propVirtual";
    case 71: return "ieee80211";
    case 131: return "tunnel";
    case 135: return "l2vlan";
    case 136: return "l3ipvlan";
    case 161: return "ieee8023adLag";
    default: return nullptr;
  }
}

std::string AddressWithPrefix(uint32_t address, uint32_t mask) {
  return KmIpToText(address) + "/" + std::to_string(PrefixLength(mask));
}

}  // namespace

ValueReport::ValueReport(const char *targetKey, const std::string &target, const char *nameKey,
                         const char *nameHeading)
    : nameKey_(nameKey), table_({nameHeading, "VALUE"}) {
  json_.beginObject().key(targetKey).value(target).key("values").beginArray();
}

void ValueReport::value(const std::string &name, const std::string &value) {
  json_.beginObject().key(nameKey_).value(name).key("value").value(value).endObject();
  table_.addRow({name, value});
}

void ValueReport::error(const std::string &name, const std::string &what, uint32_t code,
                        const std::string &text) {
  std::fprintf(stderr, "kmquery: %s: error %u (%s)\n", what.c_str(), code, text.c_str());
  json_.beginObject().key(nameKey_).value(name).key("error").beginObject();
  json_.key("code").value(code).key("text").value(text).endObject().endObject();
}

int ValueReport::print(const Output &out, int status) {
  json_.endArray().endObject();
  if (out.json())
    out.printJson(json_.text());
  else if (table_.rowCount() > 0)
    out.print(table_.render());
  return status;
}

std::string MacText(const uint8_t *mac) {
  static const uint8_t zero[6] = {};
  if (std::memcmp(mac, zero, 6) == 0) return {};
  char buf[18];
  std::snprintf(buf, sizeof(buf), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return buf;
}

int PrefixLength(uint32_t mask) {
  int bits = 0;
  while (bits < 32 && (mask & (0x80000000u >> bits)) != 0) bits++;
  return bits;
}

TextTable InterfaceTable(const InterfaceList &list) {
  TextTable table({"IFINDEX", "NAME", "TYPE", "MAC", "ADDRESS", "DESCRIPTION"});
  table.alignRight(0);
  for (int32_t i = 0; i < list.getSize(); i++) {
    const KM_INTERFACE_INFO *r = list.get(i);
    const char *typeName = IfTypeName(r->ifType);
    const std::string mac = MacText(r->macAddr);
    table.addRow({std::to_string(r->ifIndex), KmWideToUtf8(r->displayName),
                  typeName != nullptr ? std::string(typeName) + "(" + std::to_string(r->ifType) + ")"
                                      : std::to_string(r->ifType),
                  mac.empty() ? "-" : mac,
                  r->ipAddr != 0 ? AddressWithPrefix(r->ipAddr, r->ipNetMask) : "-",
                  KmWideToUtf8(r->description)});
  }
  return table;
}

void WriteInterfaces(JsonWriter &w, const InterfaceList &list) {
  w.beginArray();
  for (int32_t i = 0; i < list.getSize(); i++) {
    const KM_INTERFACE_INFO *r = list.get(i);
    w.beginObject().key("ifIndex").value(r->ifIndex);
    w.key("name").value(KmWideToUtf8(r->displayName));
    w.key("description").value(KmWideToUtf8(r->description));
    w.key("type").value(r->ifType).key("mac").value(MacText(r->macAddr));
    if (r->ipAddr != 0)
      w.key("ip").value(KmIpToText(r->ipAddr)).key("netmask").value(KmIpToText(r->ipNetMask));
    else
      w.key("ip").null().key("netmask").null();
    w.endObject();
  }
  w.endArray();
}

TextTable ArpTable(const ARP_CACHE &cache) {
  TextTable table({"IFINDEX", "ADDRESS", "MAC"});
  table.alignRight(0);
  for (uint32_t i = 0; i < cache.numEntries; i++) {
    const ARP_CACHE_ENTRY &e = cache.entries[i];
    const std::string mac = MacText(e.macAddr);
    table.addRow({std::to_string(e.ifIndex), KmIpToText(e.ipAddr), mac.empty() ? "-" : mac});
  }
  return table;
}

void WriteArpCache(JsonWriter &w, const ARP_CACHE &cache) {
  w.beginArray();
  for (uint32_t i = 0; i < cache.numEntries; i++) {
    const ARP_CACHE_ENTRY &e = cache.entries[i];
    w.beginObject().key("ifIndex").value(e.ifIndex).key("ip").value(KmIpToText(e.ipAddr));
    w.key("mac").value(MacText(e.macAddr)).endObject();
  }
  w.endArray();
}

TextTable RouteTable(const ROUTING_TABLE &table) {
  TextTable out({"DESTINATION", "NEXT HOP", "IFINDEX", "TYPE"});
  out.alignRight(2);
  out.alignRight(3);
  for (uint32_t i = 0; i < table.numEntries; i++) {
    const ROUTING_TABLE_ENTRY &e = table.entries[i];
    out.addRow({AddressWithPrefix(e.destAddr, e.destMask), KmIpToText(e.nextHop),
                std::to_string(e.ifIndex), std::to_string(e.routeType)});
  }
  return out;
}

void WriteRoutes(JsonWriter &w, const ROUTING_TABLE &table) {
  w.beginArray();
  for (uint32_t i = 0; i < table.numEntries; i++) {
    const ROUTING_TABLE_ENTRY &e = table.entries[i];
    w.beginObject().key("destination").value(KmIpToText(e.destAddr));
    w.key("netmask").value(KmIpToText(e.destMask)).key("nextHop").value(KmIpToText(e.nextHop));
    w.key("ifIndex").value(e.ifIndex).key("type").value(e.routeType).endObject();
  }
  w.endArray();
}

TextTable PolicyTable(const AgentPolicyInfo &info) {
  TextTable table({"GUID", "TYPE", "SERVER"});
  table.alignRight(1);
  uint8_t guid[AGENT_POLICY_GUID_SIZE];
  for (int32_t i = 0; i < info.getSize(); i++) {
    info.getGuid(i, guid);
    const char16_t *server = info.getServer(i);
    table.addRow({KmGuidToText(guid), std::to_string(info.getType(i)),
                  server != nullptr ? KmWideToUtf8(server) : "-"});
  }
  return table;
}

void WritePolicies(JsonWriter &w, const AgentPolicyInfo &info) {
  w.beginArray();
  uint8_t guid[AGENT_POLICY_GUID_SIZE];
  for (int32_t i = 0; i < info.getSize(); i++) {
    info.getGuid(i, guid);
    w.beginObject().key("guid").value(KmGuidToText(guid)).key("type").value(info.getType(i));
    w.key("server");
    const char16_t *server = info.getServer(i);
    if (server != nullptr)
      w.value(KmWideToUtf8(server));
    else
      w.null();
    w.endObject();
  }
  w.endArray();
}

}  // namespace kmquery
