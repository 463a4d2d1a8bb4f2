// SNMP requests carried through the reference agent (run in-process) to
// net-snmp's snmpd give the same values as the same requests sent directly.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "agent_server.h"
#include "kmsrv/agent.h"
#include "kmsrv/snmp.h"
#include "kmsrv/snmp_proxy.h"
#include "snmpd_fixture.h"

namespace {

TEST(SnmpProxyInterop, GetThroughAgentMatchesDirectGet) {
  SnmpdInstance snmpd({"override .1.3.6.1.4.1.99999.1.0 octet_str \"proxied\""});
  std::string why = snmpd.start();
  if (!why.empty()) GTEST_SKIP() << why;

  kmagent::AgentServer agent(kmagent::AgentConfig{});
  std::string error;
  ASSERT_TRUE(agent.start(&error)) << error;
  auto *conn = new AgentConnection(htonl(INADDR_LOOPBACK), agent.port());
  ASSERT_TRUE(conn->connect());
  SNMP_ProxyTransport proxy(conn, INADDR_LOOPBACK, snmpd.port());  // owns conn
  proxy.setSecurityContext(new SNMP_SecurityContext("public"));
  auto direct = snmpd.transport(SNMP_VERSION_2C);

  for (const char16_t *oid : {u".1.3.6.1.2.1.1.6.0", u".1.3.6.1.2.1.1.1.0", u".1.3.6.1.2.1.1.5.0"}) {
    char16_t viaAgent[256] = u"unset-a", viaUdp[256] = u"unset-u";
    ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, &proxy, oid, nullptr, 0, viaAgent, 256, 0),
              SNMP_ERR_SUCCESS);
    ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, direct.get(), oid, nullptr, 0, viaUdp, 256, 0),
              SNMP_ERR_SUCCESS);
    EXPECT_EQ(std::u16string(viaAgent), std::u16string(viaUdp));
  }
  char16_t location[64];
  ASSERT_EQ(
      SnmpGet(SNMP_VERSION_2C, &proxy, u".1.3.6.1.4.1.99999.1.0", nullptr, 0, location, 64, 0),
      SNMP_ERR_SUCCESS);
  EXPECT_EQ(std::u16string(location), u"proxied");
  int32_t ifNumber = -1, directIfNumber = -2;
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, &proxy, u".1.3.6.1.2.1.2.1.0", nullptr, 0, &ifNumber, 0, 0),
            SNMP_ERR_SUCCESS);
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, direct.get(), u".1.3.6.1.2.1.2.1.0", nullptr, 0,
                    &directIfNumber, 0, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(ifNumber, directIfNumber);
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &proxy, u".1.3.6.1.2.1.1.1.5", nullptr, 0, location, 64, 0),
            SNMP_ERR_NO_OBJECT);
}

}  // namespace
