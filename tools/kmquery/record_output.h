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

// The result of a get command: a value or an error for each name, printed
// as a two-column table, or as JSON {TARGETKEY: target, "values": [{NAMEKEY:
// name, "value": v} or {NAMEKEY: name, "error": {"code": c, "text": t}}]}.
// A failed name also gets its "kmquery: ..." line on standard error.
class ValueReport {
 public:
  ValueReport(const char *targetKey, const std::string &target, const char *nameKey,
              const char *nameHeading);
  void value(const std::string &name, const std::string &value);
  // what: "get NAME on agent HOST:PORT" for the error line.
  void error(const std::string &name, const std::string &what, uint32_t code,
             const std::string &text);
  // Prints the report (a table only when it has rows); returns status.
  int print(const class Output &out, int status);

 private:
  const char *nameKey_;
  JsonWriter json_;
  TextTable table_;
};

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
