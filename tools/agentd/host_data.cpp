#include "host_data.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "kmbase/table.h"
#include "kmbase/text.h"
#include "kmsrv/result_codes.h"
#include "net_tables.h"
#include "options.h"

#ifndef KMAGENTD_VERSION
#define KMAGENTD_VERSION "0.0.0"
#endif

namespace kmagent::detail {
namespace {

const ParameterInfo kParameters[] = {
    {"Agent.Version", "Version of the agent", kDataString},
    {"Agent.Uptime", "Seconds since the agent started", kDataUInt64},
    {"System.Hostname", "Host name", kDataString},
    {"System.Uname", "System name, release, version and machine", kDataString},
    {"System.Uptime", "Seconds since the system started", kDataUInt64},
    {"System.CPU.Count", "Number of processors online", kDataUInt32},
    {"System.Memory.Physical.Total", "Physical memory, bytes", kDataUInt64},
    {"System.Memory.Physical.Free", "Free physical memory, bytes", kDataUInt64},
    {"Net.Interface.BytesIn(*)", "Bytes received by an interface (name)", kDataUInt64},
    {"Net.Interface.BytesOut(*)", "Bytes sent by an interface (name)", kDataUInt64},
    {"Net.Interface.PacketsIn(*)", "Packets received by an interface (name)", kDataUInt64},
    {"Net.Interface.PacketsOut(*)", "Packets sent by an interface (name)", kDataUInt64},
};

const char *const kLists[] = {
    "Agent.SupportedParameters", "Agent.SupportedLists", "Agent.SupportedTables",
    "Agent.ActionList",          "Net.InterfaceList",    "Net.ArpCache",
    "Net.IP.RoutingTable",
};

const TableInfo kTables[] = {
    {"Net.Interfaces", "Index", "Network interfaces with their counters"},
};

bool FindCounters(std::string_view name, InterfaceCounters *out) {
  std::vector<InterfaceCounters> all;
  if (!HostInterfaceCounters(&all)) {
    return false;
  }
  for (InterfaceCounters &c : all) {
    if (c.name == name) {
      *out = std::move(c);
      return true;
    }
  }
  return false;
}

uint32_t InterfaceValue(const std::string &pattern, const std::string &argument,
                        std::string *value) {
  InterfaceCounters c;
  if (!FindCounters(argument, &c)) {
    return RCC_UNKNOWN_PARAMETER;
  }
  if (kmpeer::SameKey(pattern, "Net.Interface.BytesIn(*)")) {
    *value = std::to_string(c.bytesIn);
  } else if (kmpeer::SameKey(pattern, "Net.Interface.BytesOut(*)")) {
    *value = std::to_string(c.bytesOut);
  } else if (kmpeer::SameKey(pattern, "Net.Interface.PacketsIn(*)")) {
    *value = std::to_string(c.packetsIn);
  } else if (kmpeer::SameKey(pattern, "Net.Interface.PacketsOut(*)")) {
    *value = std::to_string(c.packetsOut);
  } else {
    return RCC_UNKNOWN_PARAMETER;
  }
  return RCC_SUCCESS;
}

uint32_t SystemValue(std::string_view name, std::string *value) {
  if (kmpeer::SameKey(name, "System.Hostname")) {
    char host[256] = {};
    if (::gethostname(host, sizeof(host) - 1) != 0) {
      return RCC_INTERNAL_ERROR;
    }
    *value = host;
    return RCC_SUCCESS;
  }
  if (kmpeer::SameKey(name, "System.Uname")) {
    utsname u{};
    if (::uname(&u) != 0) {
      return RCC_INTERNAL_ERROR;
    }
    *value = std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine;
    return RCC_SUCCESS;
  }
  if (kmpeer::SameKey(name, "System.CPU.Count")) {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 1) {
      return RCC_INTERNAL_ERROR;
    }
    *value = std::to_string(n);
    return RCC_SUCCESS;
  }
  struct sysinfo si {};
  const bool isUptime = kmpeer::SameKey(name, "System.Uptime");
  const bool isTotal = kmpeer::SameKey(name, "System.Memory.Physical.Total");
  const bool isFree = kmpeer::SameKey(name, "System.Memory.Physical.Free");
  if (!isUptime && !isTotal && !isFree) {
    return RCC_UNKNOWN_PARAMETER;
  }
  if (::sysinfo(&si) != 0) {
    return RCC_INTERNAL_ERROR;
  }
  const uint64_t unit = si.mem_unit != 0 ? si.mem_unit : 1;
  if (isUptime) {
    *value = std::to_string(static_cast<uint64_t>(si.uptime));
  } else if (isTotal) {
    *value = std::to_string(static_cast<uint64_t>(si.totalram) * unit);
  } else {
    *value = std::to_string(static_cast<uint64_t>(si.freeram) * unit);
  }
  return RCC_SUCCESS;
}

}  // namespace

std::span<const ParameterInfo> BuiltinParameters() { return kParameters; }
std::span<const char *const> BuiltinLists() { return kLists; }
std::span<const TableInfo> BuiltinTables() { return kTables; }

const char *AgentVersion() { return KMAGENTD_VERSION; }

bool SplitParameterArgument(std::string_view name, std::string *pattern, std::string *argument) {
  const size_t open = name.find('(');
  if (open == std::string_view::npos || name.empty() || name.back() != ')') {
    return false;
  }
  std::string_view arg = kmpeer::Trim(name.substr(open + 1, name.size() - open - 2));
  if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"') {
    arg = arg.substr(1, arg.size() - 2);
  }
  *pattern = std::string(name.substr(0, open)) + "(*)";
  *argument = std::string(arg);
  return true;
}

bool IsBuiltinParameter(std::string_view name) {
  std::string pattern, argument;
  const std::string_view key = SplitParameterArgument(name, &pattern, &argument)
                                   ? std::string_view(pattern)
                                   : name;
  return std::any_of(std::begin(kParameters), std::end(kParameters),
                     [&](const ParameterInfo &p) { return kmpeer::SameKey(p.name, key); });
}

bool IsBuiltinList(std::string_view name) {
  return std::any_of(std::begin(kLists), std::end(kLists),
                     [&](const char *l) { return kmpeer::SameKey(l, name); });
}

uint32_t ParameterValue(const AgentConfig &config, std::chrono::steady_clock::time_point started,
                        std::string_view name, std::string *value) {
  if (name.size() > kMaxParameterName) {
    return RCC_UNKNOWN_PARAMETER;
  }
  std::string pattern, argument;
  if (SplitParameterArgument(name, &pattern, &argument)) {
    if (IsBuiltinParameter(pattern)) {
      return InterfaceValue(pattern, argument, value);
    }
  } else if (kmpeer::SameKey(name, "Agent.Version")) {
    *value = AgentVersion();
    return RCC_SUCCESS;
  } else if (kmpeer::SameKey(name, "Agent.Uptime")) {
    const auto up = std::chrono::steady_clock::now() - started;
    *value = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(up).count());
    return RCC_SUCCESS;
  } else if (IsBuiltinParameter(name)) {
    return SystemValue(name, value);
  }
  for (const ConfiguredParameter &p : config.parameters) {
    if (kmpeer::SameKey(p.name, name)) {
      *value = p.value;
      return RCC_SUCCESS;
    }
  }
  return RCC_UNKNOWN_PARAMETER;
}

uint32_t ListLines(const AgentConfig &config, std::string_view name,
                   std::vector<std::string> *lines) {
  lines->clear();
  if (name.size() > kMaxParameterName) {
    return RCC_UNKNOWN_PARAMETER;
  }
  bool ok = true;
  if (kmpeer::SameKey(name, "Agent.SupportedParameters")) {
    for (const ParameterInfo &p : kParameters) {
      lines->push_back(p.name);
    }
    for (const ConfiguredParameter &p : config.parameters) {
      lines->push_back(p.name);
    }
  } else if (kmpeer::SameKey(name, "Agent.SupportedLists")) {
    lines->assign(std::begin(kLists), std::end(kLists));
    for (const ConfiguredList &l : config.lists) {
      lines->push_back(l.name);
    }
  } else if (kmpeer::SameKey(name, "Agent.SupportedTables")) {
    for (const TableInfo &t : kTables) {
      lines->push_back(t.name);
    }
  } else if (kmpeer::SameKey(name, "Agent.ActionList")) {
    for (const ConfiguredAction &a : config.actions) {
      lines->push_back(a.name);
    }
  } else if (kmpeer::SameKey(name, "Net.InterfaceList")) {
    ok = HostInterfaceLines(lines);
  } else if (kmpeer::SameKey(name, "Net.ArpCache")) {
    ok = HostArpLines(lines);
  } else if (kmpeer::SameKey(name, "Net.IP.RoutingTable")) {
    ok = HostRouteLines(lines);
  } else {
    const auto it =
        std::find_if(config.lists.begin(), config.lists.end(),
                     [&](const ConfiguredList &l) { return kmpeer::SameKey(l.name, name); });
    if (it == config.lists.end()) {
      return RCC_UNKNOWN_PARAMETER;
    }
    *lines = it->lines;
  }
  return ok ? RCC_SUCCESS : RCC_INTERNAL_ERROR;
}

uint32_t TableContents(std::string_view name, Table *table) {
  if (!kmpeer::SameKey(name, "Net.Interfaces")) {
    return RCC_UNKNOWN_PARAMETER;
  }
  std::vector<InterfaceCounters> all;
  if (!HostInterfaceCounters(&all)) {
    return RCC_INTERNAL_ERROR;
  }
  *table = Table();
  table->setTitle(u"Net.Interfaces");
  const int index = table->addColumn(u"Index", kDataUInt32);
  const int ifName = table->addColumn(u"Name", kDataString);
  const int type = table->addColumn(u"Type", kDataUInt32);
  const int mac = table->addColumn(u"MacAddress", kDataString);
  const int bytesIn = table->addColumn(u"BytesIn", kDataUInt64);
  const int bytesOut = table->addColumn(u"BytesOut", kDataUInt64);
  const int packetsIn = table->addColumn(u"PacketsIn", kDataUInt64);
  const int packetsOut = table->addColumn(u"PacketsOut", kDataUInt64);
  const int errorsIn = table->addColumn(u"ErrorsIn", kDataUInt64);
  const int errorsOut = table->addColumn(u"ErrorsOut", kDataUInt64);
  for (const InterfaceCounters &c : all) {
    const int row = table->addRow();
    table->setAt(row, index, HostInterfaceIndex(c.name));
    table->setAt(row, ifName, KmUtf8ToWide(c.name).c_str());
    table->setAt(row, type, HostInterfaceType(c.name));
    table->setAt(row, mac, KmUtf8ToWide(HostInterfaceMac(c.name)).c_str());
    table->setAt(row, bytesIn, c.bytesIn);
    table->setAt(row, bytesOut, c.bytesOut);
    table->setAt(row, packetsIn, c.packetsIn);
    table->setAt(row, packetsOut, c.packetsOut);
    table->setAt(row, errorsIn, c.errorsIn);
    table->setAt(row, errorsOut, c.errorsOut);
  }
  return RCC_SUCCESS;
}

}  // namespace kmagent::detail
