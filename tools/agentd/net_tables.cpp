#include "net_tables.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>

#include "kmbase/text.h"
#include "kmsrv/net_tables.h"

namespace kmagent::detail {
namespace {

// Interface names are at most IFNAMSIZ - 1 characters on this system.
constexpr size_t kMaxInterfaceName = IFNAMSIZ - 1;

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t pos = 0;
  while (pos < line.size()) {
    const size_t start = line.find_first_not_of(" \t\r", pos);
    if (start == std::string_view::npos) {
      break;
    }
    size_t end = line.find_first_of(" \t\r", start);
    if (end == std::string_view::npos) {
      end = line.size();
    }
    words.push_back(line.substr(start, end - start));
    pos = end;
  }
  return words;
}

template <typename F>
void ForEachLine(std::string_view text, F &&f) {
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    f(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
  }
}

bool ParseHex32(std::string_view text, uint32_t *out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  const char *end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *out, 16);
  return !text.empty() && ec == std::errc() && ptr == end;
}

bool ParseU64(std::string_view text, uint64_t *out) {
  const char *end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *out, 10);
  return !text.empty() && ec == std::errc() && ptr == end;
}

// The bytes of a MAC of 12 hex digits.
void MacOfHex(std::string_view hex, uint8_t *mac) { StrToBin(KmUtf8ToWide(hex).c_str(), mac, 6); }

// One address (or none) of an interface in info.
void InterfaceLineOf(KM_INTERFACE_INFO *info, uint32_t address, uint32_t mask,
                     std::string_view name) {
  info->ipAddr = address;
  info->ipNetMask = mask;
  KmUtf8ToWide(std::string(name).c_str(), info->displayName, KM_INTERFACE_NAME_LENGTH);
}

// The interface that carries a label such as "eth0:1".
std::string_view BaseName(std::string_view label) { return label.substr(0, label.find(':')); }

}  // namespace

bool ReadProcFile(const char *path, std::string *text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  // /proc files report size 0: read in pieces up to the limit.
  text->clear();
  char chunk[8192];
  while (in) {
    in.read(chunk, sizeof(chunk));
    const size_t n = static_cast<size_t>(in.gcount());
    if (text->size() + n > kMaxProcFileSize) {
      return false;
    }
    text->append(chunk, n);
  }
  return !in.bad();
}

std::vector<InterfaceCounters> ParseProcNetDev(std::string_view text) {
  std::vector<InterfaceCounters> out;
  ForEachLine(text, [&](std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      return;
    }
    const std::vector<std::string_view> name = Words(line.substr(0, colon));
    const std::vector<std::string_view> numbers = Words(line.substr(colon + 1));
    if (name.size() != 1 || name[0].size() > kMaxInterfaceName || numbers.size() != 16) {
      return;
    }
    uint64_t v[16];
    for (size_t i = 0; i < 16; ++i) {
      if (!ParseU64(numbers[i], &v[i])) {
        return;
      }
    }
    // Receive: bytes packets errs ...; transmit from the 9th: bytes packets errs ...
    out.push_back({std::string(name[0]), v[0], v[1], v[2], v[8], v[9], v[10]});
  });
  return out;
}

std::string MacHexOfSysText(std::string_view text) {
  text = text.substr(0, text.find_first_of("\r\n"));
  std::string hex;
  if (text.size() == 17) {
    for (size_t i = 0; i < 17; ++i) {
      const char c = text[i];
      if (i % 3 == 2) {
        if (c != ':') {
          break;
        }
        continue;
      }
      if (!std::isxdigit(static_cast<unsigned char>(c))) {
        break;
      }
      hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return hex.size() == 12 ? hex : std::string(12, '0');
}

std::vector<std::string> ArpLinesFromProc(std::string_view text, const IndexOfName &indexOf) {
  std::vector<std::string> out;
  ForEachLine(text, [&](std::string_view line) {
    // IP address, HW type, Flags, HW address, Mask, Device.
    const std::vector<std::string_view> w = Words(line);
    uint32_t flags = 0;
    in_addr a{};
    if (w.size() != 6 || !ParseHex32(w[2], &flags) || (flags & 0x2) == 0 || w[0].size() > 15) {
      return;
    }
    const std::string ip(w[0]);
    if (::inet_pton(AF_INET, ip.c_str(), &a) != 1) {
      return;
    }
    ARP_CACHE_ENTRY entry{indexOf(w[5]), ntohl(a.s_addr), {}};
    MacOfHex(MacHexOfSysText(w[3]), entry.macAddr);
    out.push_back(FormatArpLine(entry));
  });
  return out;
}

std::vector<std::string> RouteLinesFromProc(std::string_view text, const IndexOfName &indexOf) {
  constexpr uint32_t kRouteUp = 0x1;       // RTF_UP
  constexpr uint32_t kRouteGateway = 0x2;  // RTF_GATEWAY
  std::vector<std::string> out;
  ForEachLine(text, [&](std::string_view line) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT;
    // addresses are the in-memory (network order) words printed in hex.
    const std::vector<std::string_view> w = Words(line);
    uint32_t dest, gateway, flags, mask;
    if (w.size() < 8 || !ParseHex32(w[1], &dest) || !ParseHex32(w[2], &gateway) ||
        !ParseHex32(w[3], &flags) || !ParseHex32(w[7], &mask) || (flags & kRouteUp) == 0) {
      return;
    }
    // Types as in the IP MIB: 4 indirect, 3 direct.
    const uint32_t type = (flags & kRouteGateway) != 0 ? 4 : 3;
    out.push_back(FormatRouteLine({ntohl(dest), ntohl(mask), ntohl(gateway), indexOf(w[0]), type}));
  });
  return out;
}

uint32_t IfTypeOfLinkType(uint32_t linkType) {
  switch (linkType) {
    case 1:  // Ethernet
      return 6;
    case 512:  // PPP
      return 23;
    case 768:  // IP in IP
    case 776:  // IPv6 in IPv4
    case 778:  // GRE
      return 131;
    case 772:  // loopback
      return 24;
    case 801:  // IEEE 802.11
      return 71;
    default:
      return 1;  // other
  }
}

uint32_t HostInterfaceIndex(std::string_view name) {
  if (name.size() > kMaxInterfaceName) {
    return 0;
  }
  return ::if_nametoindex(std::string(BaseName(name)).c_str());
}

namespace {

// The /sys/class/net file of an interface; empty for names that could leave
// the directory.
std::string SysPath(std::string_view name, const char *file) {
  name = BaseName(name);
  if (name.empty() || name.size() > kMaxInterfaceName || name == "." || name == ".." ||
      name.find('/') != std::string_view::npos) {
    return {};
  }
  return "/sys/class/net/" + std::string(name) + "/" + file;
}

}  // namespace

uint32_t HostInterfaceType(std::string_view name) {
  std::string text;
  const std::string path = SysPath(name, "type");
  uint64_t type = 0;
  if (path.empty() || !ReadProcFile(path.c_str(), &text) ||
      !ParseU64(text.substr(0, text.find('\n')), &type)) {
    return 1;
  }
  return IfTypeOfLinkType(static_cast<uint32_t>(type));
}

std::string HostInterfaceMac(std::string_view name) {
  std::string text;
  const std::string path = SysPath(name, "address");
  if (path.empty() || !ReadProcFile(path.c_str(), &text)) {
    return std::string(12, '0');
  }
  return MacHexOfSysText(text);
}

bool HostInterfaceCounters(std::vector<InterfaceCounters> *out) {
  std::string text;
  if (!ReadProcFile("/proc/net/dev", &text)) {
    return false;
  }
  *out = ParseProcNetDev(text);
  return true;
}

bool HostInterfaceLines(std::vector<std::string> *out) {
  struct Address {
    std::string label;
    uint32_t address;
    uint32_t mask;
  };
  std::vector<Address> addresses;
  ifaddrs *list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (const ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || i->ifa_name == nullptr) {
        continue;
      }
      const auto *a = reinterpret_cast<const sockaddr_in *>(i->ifa_addr);
      const auto *m = reinterpret_cast<const sockaddr_in *>(i->ifa_netmask);
      addresses.push_back(
          {i->ifa_name, ntohl(a->sin_addr.s_addr), m != nullptr ? ntohl(m->sin_addr.s_addr) : ~0u});
    }
    ::freeifaddrs(list);
  }
  std::vector<std::string> &lines = *out;
  lines.clear();
  struct if_nameindex *names = ::if_nameindex();
  if (names == nullptr) {
    return false;
  }
  for (const struct if_nameindex *n = names; n->if_index != 0 && n->if_name != nullptr; ++n) {
    const std::string_view name = n->if_name;
    KM_INTERFACE_INFO info{};
    info.ifIndex = n->if_index;
    info.ifType = HostInterfaceType(name);
    MacOfHex(HostInterfaceMac(name), info.macAddr);
    bool any = false;
    for (const Address &a : addresses) {
      if (BaseName(a.label) == name) {
        InterfaceLineOf(&info, a.address, a.mask, a.label);
        lines.push_back(FormatInterfaceLine(info));
        any = true;
      }
    }
    if (!any) {
      InterfaceLineOf(&info, 0, 0, name);
      lines.push_back(FormatInterfaceLine(info));
    }
  }
  ::if_freenameindex(names);
  return true;
}

bool HostArpLines(std::vector<std::string> *out) {
  std::string text;
  if (!ReadProcFile("/proc/net/arp", &text)) {
    return false;
  }
  *out = ArpLinesFromProc(text, HostInterfaceIndex);
  return true;
}

bool HostRouteLines(std::vector<std::string> *out) {
  std::string text;
  if (!ReadProcFile("/proc/net/route", &text)) {
    return false;
  }
  *out = RouteLinesFromProc(text, HostInterfaceIndex);
  return true;
}

}  // namespace kmagent::detail
