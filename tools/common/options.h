// The option tables of the reference peers' command lines (and kmagentd's
// configuration file): one table of settings per program, the one splitter
// of a command line, and the one parser for each kind of value, with one
// wording of their errors.
//
// A setting has a key ("require_encryption"); on the command line it is
// --require-encryption, in a configuration file the key itself. A setting
// with a value name takes a value (as the next argument or after '='); one
// without is a switch.
//
// Pure parsing; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kmpeer {

template <typename Options>
struct Option {
  const char *key;
  const char *valueName;  // for the usage text; null: a switch
  const char *help;
  bool (*apply)(std::string_view value, Options *options, std::string *error);

  bool isSwitch() const { return valueName == nullptr; }
};

// ---- values ----
std::string_view Trim(std::string_view s);
// Keys and names compared without regard to ASCII case.
bool SameKey(std::string_view a, std::string_view b);
// true/false, yes/no, on/off, 1/0 (any case).
bool ParseBool(std::string_view v, bool *out, std::string *error);
// A decimal integer from min to max: "\"V\" is not a number from MIN to MAX".
bool ParseInteger(std::string_view v, int64_t min, int64_t max, int64_t *out, std::string *error);
template <typename T>
bool ParseInteger(std::string_view v, T min, T max, T *out, std::string *error) {
  int64_t n = 0;
  if (!ParseInteger(v, static_cast<int64_t>(min), static_cast<int64_t>(max), &n, error))
    return false;
  *out = static_cast<T>(n);
  return true;
}
// A dotted IPv4 address (host byte order).
bool ParseIpv4(std::string_view v, uint32_t *hostOrder);
// ADDRESS:PORT with a dotted IPv4 address and a port from 0 to 65535.
bool ParseListen(std::string_view v, std::string *address, uint16_t *port, std::string *error);

// ---- command lines ----
// "--require-encryption" <-> "require_encryption".
std::string KeyOfOption(std::string_view option);
std::string OptionOfKey(std::string_view key);

// "  --key VALUE" padded to the help column, then help and a newline.
std::string UsageLine(std::string_view key, const char *valueName, std::string_view help);

struct Argument {
  std::string key;  // the option's name as a key ("require_encryption")
  std::string value;
  bool hasValue = false;
};

// Splits argv[1..argc-1] into arguments: "--name=value", "--name value" for
// a name takesValue(key) accepts, or "--name". "-h" or "--help" anywhere
// sets *help and ends the split. False with a reason for an argument that
// is not an option or an option that lacks its value.
bool SplitArguments(int argc, const char *const *argv, bool (*takesValue)(std::string_view key),
                    std::vector<Argument> *out, bool *help, std::string *error);

template <typename Options>
const Option<Options> *FindOption(std::span<const Option<Options>> table, std::string_view key) {
  for (const Option<Options> &o : table)
    if (SameKey(key, o.key)) return &o;
  return nullptr;
}

// Applies one command line argument through the table. A switch without a
// value is set true; with switchValues a switch also takes a boolean value,
// otherwise a value is refused. Errors name the option: "--max-sessions:
// \"0\" is not a number from 1 to 4096".
template <typename Options>
bool ApplyArgument(std::span<const Option<Options>> table, const Argument &arg, bool switchValues,
                   Options *options, std::string *error) {
  const Option<Options> *o = FindOption(table, arg.key);
  const std::string name = OptionOfKey(arg.key);
  if (o == nullptr) {
    *error = "unknown option " + name;
    return false;
  }
  if (o->isSwitch() && arg.hasValue && !switchValues) {
    *error = name + " takes no value";
    return false;
  }
  std::string reason;
  if (!o->apply(arg.hasValue ? std::string_view(arg.value) : "true", options, &reason)) {
    *error = name + ": " + reason;
    return false;
  }
  return true;
}

// One usage line per option: "  --key VALUE" padded to a column, then help.
template <typename Options>
std::string OptionLines(std::span<const Option<Options>> table) {
  std::string out;
  for (const Option<Options> &o : table) out += UsageLine(o.key, o.valueName, o.help);
  return out;
}

}  // namespace kmpeer
