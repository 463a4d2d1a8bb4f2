#include "iscd_options.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdint>
#include <string_view>

namespace kmisc {
namespace {

bool ParseNumber(std::string_view v, int64_t min, int64_t max, int64_t *out, std::string *error) {
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

// ADDR:PORT with a dotted IPv4 address and a port from 0 to 65535.
bool ParseListen(std::string_view v, IscConfig *config, std::string *error) {
  const size_t colon = v.rfind(':');
  if (colon == std::string_view::npos) {
    *error = "\"" + std::string(v) + "\" is not ADDR:PORT";
    return false;
  }
  const std::string address(v.substr(0, colon));
  in_addr a{};
  if (address.size() > 15 || ::inet_pton(AF_INET, address.c_str(), &a) != 1) {
    *error = "\"" + address + "\" is not a dotted IPv4 address";
    return false;
  }
  int64_t port = 0;
  if (!ParseNumber(v.substr(colon + 1), 0, 65535, &port, error)) return false;
  config->listenAddress = address;
  config->listenPort = static_cast<uint16_t>(port);
  return true;
}

bool ParseServiceId(std::string_view v, uint32_t *id, std::string *error) {
  int64_t n = 0;
  if (!ParseNumber(v, 0, UINT32_MAX, &n, error)) return false;
  *id = static_cast<uint32_t>(n);
  return true;
}

}  // namespace

IscdOptions::IscdOptions() { server.keepRecords = false; }

bool ParseIscdCommandLine(int argc, const char *const *argv, IscdOptions *options,
                          std::string *error) {
  for (int i = 1; i < argc; i++) {
    std::string_view arg(argv[i]);
    std::string_view name = arg;
    std::string_view inlineValue;
    bool hasInlineValue = false;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      inlineValue = arg.substr(eq + 1);
      hasInlineValue = true;
    }
    auto value = [&](std::string_view *out) {
      if (hasInlineValue) {
        *out = inlineValue;
        return true;
      }
      if (i + 1 >= argc) {
        *error = std::string(name) + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto noValue = [&]() {
      if (hasInlineValue) *error = std::string(name) + " takes no value";
      return !hasInlineValue;
    };

    IscConfig &c = options->server;
    std::string_view v;
    int64_t n = 0;
    uint32_t id = 0;
    if (name == "--help" || name == "-h") {
      if (!noValue()) return false;
      options->help = true;
    } else if (name == "--foreground") {
      if (!noValue()) return false;
      options->foreground = true;
    } else if (name == "--require-encryption") {
      if (!noValue()) return false;
      c.requireEncryption = true;
    } else if (name == "--never-answer") {
      if (!noValue()) return false;
      c.neverAnswer = true;
    } else if (name == "--listen") {
      if (!value(&v) || !ParseListen(v, &c, error)) return false;
    } else if (name == "--pidfile") {
      if (!value(&v)) return false;
      if (v.empty()) {
        *error = "--pidfile needs a file name";
        return false;
      }
      options->pidFile = std::string(v);
    } else if (name == "--report-version") {
      if (!value(&v) || !ParseNumber(v, 0, INT32_MAX, &n, error)) return false;
      c.reportVersion = static_cast<int32_t>(n);
    } else if (name == "--service") {
      if (!value(&v) || !ParseServiceId(v, &id, error)) return false;
      c.echoServices.push_back(id);
    } else if (name == "--disabled-service") {
      if (!value(&v) || !ParseServiceId(v, &id, error)) return false;
      c.disabledServices.push_back(id);
    } else if (name == "--close-after") {
      if (!value(&v) || !ParseNumber(v, 0, UINT32_MAX, &n, error)) return false;
      c.closeAfterAnswers = static_cast<uint32_t>(n);
    } else if (name == "--max-sessions") {
      if (!value(&v) || !ParseNumber(v, 1, 4096, &n, error)) return false;
      c.maxSessions = static_cast<uint32_t>(n);
    } else if (name == "--idle-timeout") {
      if (!value(&v) || !ParseNumber(v, 0, UINT32_MAX - 1, &n, error)) return false;
      c.idleTimeoutMs = static_cast<uint32_t>(n);
    } else {
      *error = "unknown option \"" + std::string(arg) + "\"";
      return false;
    }
  }
  return true;
}

std::string IscdUsage() {
  return "Usage: kmiscd [options]\n"
         "The reference ISC peer: answers version detection, key exchange, MC_KEEPALIVE\n"
         "and service requests; an echo service answers every further message.\n"
         "\n"
         "  --listen ADDR:PORT       listen there (default 127.0.0.1:4702; port 0 picks one)\n"
         "  --foreground             stay attached; log to standard error\n"
         "  --pidfile FILE           write the process id to FILE (removed at exit)\n"
         "  --service ID             offer the echo service ID (may repeat)\n"
         "  --disabled-service ID    answer 3 (\"Service disabled\") for ID (may repeat)\n"
         "                           any other service id is answered 1 (\"Unknown service\")\n"
         "  --require-encryption     answer 4 to every request until the session is encrypted\n"
         "  --report-version N       report KMCP version N (0: answer as a peer without\n"
         "                           version detection, taken for version 1)\n"
         "  --never-answer           answer version detection only\n"
         "  --close-after N          close each session after its Nth answer\n"
         "  --max-sessions N         refuse connections beyond N open sessions (default 64)\n"
         "  --idle-timeout MS        close a session silent for MS ms (default 0: never)\n"
         "  --help                   this text\n"
         "\n"
         "Prints \"listening on ADDR:PORT\" once it accepts connections; SIGTERM or\n"
         "SIGINT stops it. Exit status: 0 after a clean stop, 1 when it cannot start,\n"
         "2 for a usage error.\n";
}

}  // namespace kmisc
