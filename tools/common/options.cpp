#include "options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kmpeer {

namespace {

// Where the help text of a usage line starts.
constexpr size_t kHelpColumn = 33;

}  // namespace

std::string_view Trim(std::string_view s) {
  const char *ws = " \t\r\n";
  const size_t first = s.find_first_not_of(ws);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(ws) - first + 1);
}

bool SameKey(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool ParseBool(std::string_view v, bool *out, std::string *error) {
  for (const char *yes : {"1", "true", "yes", "on"}) {
    if (SameKey(v, yes)) {
      *out = true;
      return true;
    }
  }
  for (const char *no : {"0", "false", "no", "off"}) {
    if (SameKey(v, no)) {
      *out = false;
      return true;
    }
  }
  *error = "\"" + std::string(v) + "\" is not a boolean (true/false, yes/no, on/off, 1/0)";
  return false;
}

bool ParseInteger(std::string_view v, int64_t min, int64_t max, int64_t *out, std::string *error) {
  int64_t n = 0;
  const char *end = v.data() + v.size();
  auto [ptr, ec] = std::from_chars(v.data(), end, n);
  if (v.empty() || ec != std::errc() || ptr != end || n < min || n > max) {
    *error = "\"" + std::string(v) + "\" is not a number from " + std::to_string(min) + " to " +
             std::to_string(max);
    return false;
  }
  *out = n;
  return true;
}

bool ParseIpv4(std::string_view v, uint32_t *hostOrder) {
  if (v.size() > 15) return false;
  const std::string text(v);
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *hostOrder = ntohl(a.s_addr);
  return true;
}

bool ParseListen(std::string_view v, std::string *address, uint16_t *port, std::string *error) {
  const size_t colon = v.rfind(':');
  uint32_t ignored;
  std::string portError;
  if (colon == std::string_view::npos || !ParseIpv4(v.substr(0, colon), &ignored) ||
      !ParseInteger<uint16_t>(v.substr(colon + 1), 0, 65535, port, &portError)) {
    *error = "\"" + std::string(v) + "\" is not ADDRESS:PORT (dotted IPv4, port 0 to 65535)";
    return false;
  }
  *address = std::string(v.substr(0, colon));
  return true;
}

std::string KeyOfOption(std::string_view option) {
  std::string key(option);
  std::replace(key.begin(), key.end(), '-', '_');
  return key;
}

std::string OptionOfKey(std::string_view key) {
  std::string option(key);
  std::replace(option.begin(), option.end(), '_', '-');
  return "--" + option;
}

std::string UsageLine(std::string_view key, const char *valueName, std::string_view help) {
  std::string left = "  " + OptionOfKey(key);
  if (valueName != nullptr) left += std::string(" ") + valueName;
  left.append(left.size() < kHelpColumn ? kHelpColumn - left.size() : 1, ' ');
  return left + std::string(help) + "\n";
}

bool SplitArguments(int argc, const char *const *argv, bool (*takesValue)(std::string_view key),
                    std::vector<Argument> *out, bool *help, std::string *error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "-h" || a == "--help") {
      *help = true;
      return true;
    }
    if (a.size() < 3 || a.substr(0, 2) != "--") {
      *error = "unexpected argument \"" + std::string(a) + "\"";
      return false;
    }
    Argument arg;
    const size_t eq = a.find('=');
    arg.key = KeyOfOption(a.substr(2, eq == std::string_view::npos ? a.npos : eq - 2));
    if (eq != std::string_view::npos) {
      arg.value = std::string(a.substr(eq + 1));
      arg.hasValue = true;
    } else if (takesValue(arg.key)) {
      if (i + 1 >= argc) {
        *error = OptionOfKey(arg.key) + " needs a value";
        return false;
      }
      arg.value = argv[++i];
      arg.hasValue = true;
    }
    out->push_back(std::move(arg));
  }
  return true;
}

}  // namespace kmpeer
