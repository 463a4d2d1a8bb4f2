// discover_interfaces: asks a device over SNMP (direct UDP) for its name and
// its interfaces, with the generic network device driver, and prints them.
//
//   discover_interfaces HOST [PORT [COMMUNITY]]
//
// PORT defaults to 161, COMMUNITY to "public"; SNMP version 2c. Exit status:
// 0 the interfaces were read, 1 the device did not answer or discovery
// failed, 2 usage error.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kmbase/text.h"
#include "kmsnmp/snmp.h"
#include "kmsrv/driver.h"
#include "kmsrv/interfaces.h"
#include "kmsrv/snmp.h"

int main(int argc, char **argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: %s HOST [PORT [COMMUNITY]]\n", argv[0]);
    return 2;
  }
  in_addr address{};
  if (inet_pton(AF_INET, argv[1], &address) != 1) {
    std::fprintf(stderr, "discover_interfaces: '%s' is not a dotted IPv4 address\n", argv[1]);
    return 2;
  }
  unsigned long port = 161;
  if (argc > 2) {
    char *end = nullptr;
    port = std::strtoul(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || port == 0 || port > 65535) {
      std::fprintf(stderr, "discover_interfaces: bad port '%s'\n", argv[2]);
      return 2;
    }
  }
  const char *community = argc > 3 ? argv[3] : "public";

  SNMP_UDPTransport transport(address.s_addr, static_cast<uint16_t>(port));
  if (!transport.isConnected()) {
    std::fprintf(stderr, "discover_interfaces: cannot open a UDP socket: %s\n",
                 std::strerror(transport.getOpenError()));
    return 1;
  }
  transport.setSnmpVersion(SNMP_VERSION_2C);
  transport.setSecurityContext(new SNMP_SecurityContext(community));
  // Each request makes SNMP_REQUEST_RETRIES attempts of this many ms.
  g_dwSNMPTimeout = 1000;

  // sysName.0 first: a silent device shows here with a clear error.
  char16_t sysName[256];
  const uint32_t rc = SnmpGet(SNMP_VERSION_2C, &transport, u".1.3.6.1.2.1.1.5.0", nullptr, 0,
                              sysName, 256, SNMPGET_AS_STRING);
  if (rc != SNMP_ERR_SUCCESS) {
    std::fprintf(stderr, "discover_interfaces: %s:%lu: %s (%u)\n", argv[1], port,
                 KmWideToUtf8(SNMPGetErrorText(rc)).c_str(), rc);
    return 1;
  }
  std::printf("device %s (%s:%lu)\n", KmWideToUtf8(sysName).c_str(), argv[1], port);

  NetworkDeviceDriver driver;
  std::unique_ptr<InterfaceList> list(driver.getInterfaces(&transport, nullptr, 0, true));
  if (!list) {
    std::fprintf(stderr, "discover_interfaces: interface discovery failed\n");
    return 1;
  }
  std::printf("%-6s %-20s %-6s %-17s %s\n", "index", "name", "type", "mac", "address");
  for (int32_t i = 0; i < list->getSize(); i++) {
    const KM_INTERFACE_INFO *info = list->get(i);
    char mac[18];
    std::snprintf(mac, sizeof(mac), "%02x:%02x:%02x:%02x:%02x:%02x", info->macAddr[0],
                  info->macAddr[1], info->macAddr[2], info->macAddr[3], info->macAddr[4],
                  info->macAddr[5]);
    char16_t ip[16];
    char16_t mask[16];
    std::string where = "-";
    if (info->ipAddr != 0)
      where = KmWideToUtf8(IpToStr(info->ipAddr, ip)) + "/" +
              KmWideToUtf8(IpToStr(info->ipNetMask, mask));
    std::printf("%-6u %-20s %-6u %-17s %s\n", info->ifIndex,
                KmWideToUtf8(info->displayName).c_str(), info->ifType, mac, where.c_str());
  }
  std::printf("%d interface records\n", list->getSize());
  return 0;
}
