// Parameter, list, table and network-table requests against the reference
// agent running in-process: what the agent serves arrives intact and in the
// documented shapes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "agent_server.h"
#include "agent_test_support.h"
#include "kmbase/net.h"
#include "kmbase/struct_array.h"
#include "kmbase/table.h"
#include "kmsrv/interfaces.h"
#include "kmsrv/net_tables.h"

namespace kmtest {
namespace {

using kmagent::AgentConfig;
using kmagent::AgentServer;

struct AgentSession {
  explicit AgentSession(AgentConfig config = {}) {
    config.parameters.push_back({"Test.Value", "a value of some length"});
    config.lists.push_back({"Test.Lines", {"one", "two words", "three"}});
    config.serviceCheckAllowed = {{0x7F000000u, 0xFF000000u}};  // the test's services
    agent = std::make_unique<AgentServer>(std::move(config));
    std::string error;
    started = agent->start(&error);
    EXPECT_TRUE(started) << error;
    conn = std::make_unique<TestConnection>(kLoopbackNet, agent->port());
    connected = started && conn->connect();
  }
  ~AgentSession() {
    conn.reset();
    agent->stop();
  }
  std::unique_ptr<AgentServer> agent;
  std::unique_ptr<TestConnection> conn;
  bool started = false;
  bool connected = false;
};

TEST(AgentRequestsWithAgent, ParametersListsTablesAndTraps) {
  AgentSession s;
  ASSERT_TRUE(s.connected);
  char16_t value[8];
  EXPECT_EQ(s.conn->getParameter(u"test.value", 8, value), RCC_SUCCESS);
  EXPECT_EQ(std::u16string(value), u"a value");
  EXPECT_EQ(s.conn->getParameter(u"No.Such.Parameter", 8, value), RCC_UNKNOWN_PARAMETER);
  EXPECT_EQ(std::u16string(value), u"a value");

  ASSERT_EQ(s.conn->getList(u"Test.Lines"), RCC_SUCCESS);
  ASSERT_EQ(s.conn->getNumDataLines(), 3u);
  EXPECT_EQ(std::u16string(s.conn->getDataLine(1)), u"two words");

  StructArray<KMC_AGENT_PARAM> *params = nullptr;
  StructArray<KMC_AGENT_TABLE> *tables = nullptr;
  ASSERT_EQ(s.conn->getSupportedParameters(&params, &tables), RCC_SUCCESS);
  std::unique_ptr<StructArray<KMC_AGENT_PARAM>> ownParams(params);
  std::unique_ptr<StructArray<KMC_AGENT_TABLE>> ownTables(tables);
  bool sawVersion = false;
  for (uint32_t i = 0; i < params->size(); i++)
    if (std::u16string((*params)[i].name) == u"Agent.Version") sawVersion = true;
  EXPECT_TRUE(sawVersion);
  ASSERT_GE(tables->size(), 1u);

  Table *table = nullptr;
  ASSERT_EQ(s.conn->getTable((*tables)[0].name, &table), RCC_SUCCESS);
  std::unique_ptr<Table> ownTable(table);
  EXPECT_GE(table->getNumColumns(), 1);

  EXPECT_EQ(s.conn->enableTraps(), RCC_SUCCESS);
}

TEST(AgentRequestsWithAgent, ServiceCheckUsesGivenPort) {
  AgentSession s;
  ASSERT_TRUE(s.connected);
  uint16_t openPort = 0;
  SOCKET listener = KmSocketListenTcp(kLoopbackNet, 0, 4, &openPort);
  ASSERT_NE(listener, INVALID_SOCKET);
  uint32_t status = 99;
  EXPECT_EQ(s.conn->checkNetworkService(&status, 0x7F000001, 5, openPort), RCC_SUCCESS);
  EXPECT_EQ(status, 0u);  // connected
  KmSocketClose(listener);
  status = 99;
  EXPECT_EQ(s.conn->checkNetworkService(&status, 0x7F000001, 5, openPort), RCC_SUCCESS);
  EXPECT_NE(status, 0u);  // nothing listens any more
}

TEST(AgentRequestsWithAgent, HostNetworkTablesMatchTheirLists) {
  AgentSession s;
  ASSERT_TRUE(s.connected);
  ASSERT_EQ(s.conn->getList(u"Net.InterfaceList"), RCC_SUCCESS);
  uint32_t interfaceLines = s.conn->getNumDataLines();
  std::unique_ptr<InterfaceList> interfaces(s.conn->getInterfaceList());
  ASSERT_NE(interfaces, nullptr);
  EXPECT_EQ(s.conn->getNumDataLines(), 0u);
  EXPECT_EQ(static_cast<uint32_t>(interfaces->getSize()), interfaceLines);
  bool sawLoopback = false;
  for (int32_t i = 0; i < interfaces->getSize(); i++) {
    const KM_INTERFACE_INFO *info = interfaces->get(i);
    if (info->ipAddr == 0x7F000001) {
      sawLoopback = true;
      EXPECT_EQ(info->ipNetMask, 0xFF000000u);
      EXPECT_NE(info->displayName[0], 0);
    }
  }
  EXPECT_TRUE(sawLoopback);

  ASSERT_EQ(s.conn->getList(u"Net.IP.RoutingTable"), RCC_SUCCESS);
  uint32_t routeLines = s.conn->getNumDataLines();
  ROUTING_TABLE *routes = s.conn->getRoutingTable();
  ASSERT_NE(routes, nullptr);
  EXPECT_EQ(routes->numEntries, routeLines);
  SortRoutingTable(routes);
  for (uint32_t i = 1; i < routes->numEntries; i++)
    EXPECT_GE(routes->entries[i - 1].destMask, routes->entries[i].destMask);
  DestroyRoutingTable(routes);

  ARP_CACHE *arp = s.conn->getArpCache();
  ASSERT_NE(arp, nullptr);
  DestroyArpCache(arp);
  EXPECT_EQ(s.conn->getNumDataLines(), 0u);
}

}  // namespace
}  // namespace kmtest
