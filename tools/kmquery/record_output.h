// How kmquery shows the library's records: interface lists (from SNMP
// discovery and from an agent), ARP caches and routing tables, as a text
// table or as a JSON array. Pure formatting; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json_writer.h"
#include "text_table.h"

class AgentPolicyInfo;
class InterfaceList;
struct ARP_CACHE;
struct ROUTING_TABLE;

namespace kmquery {

// "00:1a:2b:3c:4d:5e", or "" for an all-zero (unknown) address.
std::string MacText(const uint8_t *mac);
// Leading one bits of a netmask in host byte order.
int PrefixLength(uint32_t mask);

TextTable InterfaceTable(const InterfaceList &list);
void WriteInterfaces(JsonWriter &w, const InterfaceList &list);
TextTable ArpTable(const ARP_CACHE &cache);
void WriteArpCache(JsonWriter &w, const ARP_CACHE &cache);
TextTable RouteTable(const ROUTING_TABLE &table);
void WriteRoutes(JsonWriter &w, const ROUTING_TABLE &table);

TextTable PolicyTable(const AgentPolicyInfo &info);
void WritePolicies(JsonWriter &w, const AgentPolicyInfo &info);

}  // namespace kmquery
