// What the agent serves about its host: the built-in parameters (values
// read from uname/sysinfo and /proc at the moment of the request), the
// built-in lists and tables, and those of the configuration. Names are
// matched without regard to ASCII case.
//
// Stateless apart from the system it reads: any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agent_server.h"

class Table;

namespace kmagent::detail {

// Data types of parameters (MC_GET_PARAMETER_LIST) and table columns.
inline constexpr uint16_t kDataInt32 = 0;
inline constexpr uint16_t kDataUInt32 = 1;
inline constexpr uint16_t kDataInt64 = 2;
inline constexpr uint16_t kDataUInt64 = 3;
inline constexpr uint16_t kDataString = 4;
inline constexpr uint16_t kDataFloat = 5;

// A parameter or list name longer than this is unknown: no real name comes
// near it, and it bounds what a lookup copies.
inline constexpr size_t kMaxParameterName = 1023;

struct ParameterInfo {
  const char *name;  // "Name(*)" for a parameter that takes one argument
  const char *description;
  uint16_t dataType;
};

struct TableInfo {
  const char *name;
  const char *keyColumns;  // the auxiliary information of the description
  const char *description;
};

std::span<const ParameterInfo> BuiltinParameters();
std::span<const char *const> BuiltinLists();
std::span<const TableInfo> BuiltinTables();

// True when `name` (without or with "(*)") is a built-in parameter or list.
bool IsBuiltinParameter(std::string_view name);
bool IsBuiltinList(std::string_view name);

// "Name(arg)" -> "Name(*)" and "arg" (spaces and one pair of double quotes
// around the argument dropped); false for a name without an argument.
bool SplitParameterArgument(std::string_view name, std::string *pattern, std::string *argument);

// The value of a parameter; RCC_SUCCESS, RCC_UNKNOWN_PARAMETER, or
// RCC_INTERNAL_ERROR when the system does not tell.
uint32_t ParameterValue(const AgentConfig &config, std::chrono::steady_clock::time_point started,
                        std::string_view name, std::string *value);
// The lines of a list; RCC_SUCCESS, RCC_UNKNOWN_PARAMETER or
// RCC_INTERNAL_ERROR.
uint32_t ListLines(const AgentConfig &config, std::string_view name,
                   std::vector<std::string> *lines);
// The contents of a table; RCC_SUCCESS, RCC_UNKNOWN_PARAMETER or
// RCC_INTERNAL_ERROR.
uint32_t TableContents(std::string_view name, Table *table);

// The version the agent reports as Agent.Version.
const char *AgentVersion();

}  // namespace kmagent::detail
