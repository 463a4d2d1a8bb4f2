// Parameter, list, table and network-table requests of AgentConnection, and
// the SNMP proxy transport, against a scripted peer that plays the agent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "agent_test_support.h"
#include "kmbase/struct_array.h"
#include "kmbase/table.h"
#include "kmsnmp/snmp.h"
#include "kmsrv/interfaces.h"
#include "kmsrv/net_tables.h"
#include "kmsrv/protocol.h"
#include "kmsrv/snmp_proxy.h"
#include "scripted_peer.h"

namespace kmtest {
namespace {

void Fail(CSCPMessage &reply, uint32_t rcc) { reply.SetVariable(VAR_RCC, rcc); }

void Lines(CSCPMessage &reply, std::initializer_list<const char16_t *> lines) {
  uint32_t i = 0;
  for (const char16_t *line : lines) reply.SetVariable(VAR_LIST_BASE + i++, line);
  reply.SetVariable(VAR_NUM_STRINGS, i);
}

struct Session {
  ScriptedPeer peer;
  TestConnection conn{kLoopbackNet, peer.port()};
};

TEST(AgentRequests, GetParameterCutsLongValueAndLeavesBufferOnFailure) {
  Session s;
  ASSERT_TRUE(ConnectScripted(s.conn, s.peer));
  char16_t buffer[5];
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &req, CSCPMessage &reply) {
      std::unique_ptr<char16_t, decltype(&free)> name(req.GetVariableStr(VAR_PARAMETER), &free);
      reply.SetVariable(VAR_VALUE, std::u16string(name.get()) == u"Agent.Version"
                                       ? u"1.2.3-long-value"
                                       : u"wrong name");
    });
    EXPECT_EQ(s.conn.getParameter(u"Agent.Version", 5, buffer), RCC_SUCCESS);
    EXPECT_EQ(peer.request()->GetCode(), MC_GET_PARAMETER);
  }
  EXPECT_EQ(std::u16string(buffer), u"1.2.");
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      Fail(reply, RCC_UNKNOWN_PARAMETER);
      reply.SetVariable(VAR_VALUE, u"junk");
    });
    EXPECT_EQ(s.conn.getParameter(u"No.Such", 5, buffer), RCC_UNKNOWN_PARAMETER);
  }
  EXPECT_EQ(std::u16string(buffer), u"1.2.");
}

TEST(AgentRequests, GetListLinesMissingLineFailureAndDisconnectedSession) {
  Session s;
  ASSERT_TRUE(ConnectScripted(s.conn, s.peer));
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      reply.SetVariable(VAR_NUM_STRINGS, 3u);
      reply.SetVariable(VAR_LIST_BASE + 0, u"first");
      reply.SetVariable(VAR_LIST_BASE + 2, u"third");
    });
    ASSERT_EQ(s.conn.getList(u"List"), RCC_SUCCESS);
  }
  ASSERT_EQ(s.conn.getNumDataLines(), 3u);
  EXPECT_EQ(std::u16string(s.conn.getDataLine(0)), u"first");
  EXPECT_EQ(s.conn.getDataLine(1), nullptr);
  EXPECT_EQ(std::u16string(s.conn.getDataLine(2)), u"third");
  EXPECT_EQ(std::u16string(s.conn.getDataLine(3)), u"(error)");

  {  // a failed request on a connected session empties the lines
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      Fail(reply, RCC_ACCESS_DENIED);
      Lines(reply, {u"not for you"});
    });
    EXPECT_EQ(s.conn.getList(u"List"), RCC_ACCESS_DENIED);
  }
  EXPECT_EQ(s.conn.getNumDataLines(), 0u);

  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) { Lines(reply, {u"kept"}); });
    ASSERT_EQ(s.conn.getList(u"List"), RCC_SUCCESS);
  }
  s.peer.close();  // the session breaks; its lines stay
  ASSERT_TRUE(WaitUntil([&] { return !s.conn.isConnected(); }));
  EXPECT_EQ(s.conn.getList(u"List"), RCC_NOT_CONNECTED);
  ASSERT_EQ(s.conn.getNumDataLines(), 1u);
  EXPECT_EQ(std::u16string(s.conn.getDataLine(0)), u"kept");
}

TEST(AgentRequests, CountsTheReplyCannotHoldFailWithEmptyOutputs) {
  Session s;
  ASSERT_TRUE(ConnectScripted(s.conn, s.peer));
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      reply.SetVariable(VAR_NUM_STRINGS, 4000000000u);
      reply.SetVariable(VAR_LIST_BASE, u"one");
    });
    EXPECT_EQ(s.conn.getList(u"List"), RCC_BAD_RESPONSE);
  }
  EXPECT_EQ(s.conn.getNumDataLines(), 0u);
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      reply.SetVariable(VAR_NUM_STRINGS, 4000000000u);
    });
    EXPECT_EQ(s.conn.getRoutingTable(), nullptr);
  }
  for (uint32_t which = 0; which < 2; which++) {
    PeerAnswer peer(s.peer, [which](const CSCPMessage &, CSCPMessage &reply) {
      reply.SetVariable(which == 0 ? VAR_NUM_PARAMETERS : VAR_NUM_TABLES, 4000000000u);
    });
    StructArray<KMC_AGENT_PARAM> *params = nullptr;
    StructArray<KMC_AGENT_TABLE> *tables = nullptr;
    EXPECT_EQ(s.conn.getSupportedParameters(&params, &tables), RCC_BAD_RESPONSE);
    EXPECT_EQ(params, nullptr);
    EXPECT_EQ(tables, nullptr);
  }
}

TEST(AgentRequests, ExecActionSendsCountAndOnlyThatManyArguments) {
  Session s;
  ASSERT_TRUE(ConnectScripted(s.conn, s.peer));
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &) {});
    EXPECT_EQ(s.conn.execAction(u"Reboot", 0, nullptr), RCC_SUCCESS);
    const CSCPMessage *req = peer.request();
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->GetCode(), MC_EXEC_ACTION);
    EXPECT_TRUE(req->IsVariableExist(VAR_NUM_ARGS));
    EXPECT_EQ(req->GetVariableLong(VAR_NUM_ARGS), 0u);
    EXPECT_FALSE(req->IsVariableExist(VAR_LIST_BASE));
  }
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) { Fail(reply, 400); });
    char16_t a0[] = u"-f", a1[] = u"now";
    char16_t *args[] = {a0, a1};
    EXPECT_EQ(s.conn.execAction(u"Run", 2, args), 400u);
    const CSCPMessage *req = peer.request();
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->GetVariableLong(VAR_NUM_ARGS), 2u);
    std::unique_ptr<char16_t, decltype(&free)> second(req->GetVariableStr(VAR_LIST_BASE + 1), &free);
    EXPECT_EQ(std::u16string(second.get()), u"now");
    EXPECT_FALSE(req->IsVariableExist(VAR_LIST_BASE + 2));
  }
}

TEST(AgentRequests, CheckNetworkServiceDefaultPortsAndProtocol) {
  Session s;
  ASSERT_TRUE(ConnectScripted(s.conn, s.peer));
  const struct {
    int32_t type;
    uint16_t port, protocol, sentPort, sentProtocol;
  } cases[] = {
      {0, 0, 0, 7, 6},   {1, 0, 0, 22, 6},   {2, 0, 0, 110, 6},  {3, 0, 0, 25, 6},
      {4, 0, 0, 21, 6},  {5, 0, 0, 80, 6},   {6, 0, 0, 7, 6},    {9, 0, 0, 7, 6},
      {-1, 0, 0, 7, 6},  {3, 2525, 17, 2525, 17},
  };
  for (const auto &c : cases) {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      reply.SetVariable(VAR_SERVICE_STATUS, 3u);
    });
    uint32_t status = 99;
    EXPECT_EQ(s.conn.checkNetworkService(&status, 0x0A010203, c.type, c.port, c.protocol,
                                         u"HELO", u"250"),
              RCC_SUCCESS);
    EXPECT_EQ(status, 3u);
    const CSCPMessage *req = peer.request();
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->GetVariableShort(VAR_IP_PORT), c.sentPort) << "type " << c.type;
    EXPECT_EQ(req->GetVariableShort(VAR_IP_PROTOCOL), c.sentProtocol) << "type " << c.type;
    EXPECT_EQ(req->GetVariableShort(VAR_SERVICE_TYPE), static_cast<uint16_t>(c.type));
    EXPECT_EQ(req->GetVariableLong(VAR_IP_ADDRESS), 0x0A010203u);
  }

  // The wait does not follow the command time-out: a reply later than it
  // still counts. An agent failure leaves the status alone.
  s.conn.setCommandTimeout(AgentConnection::kMinCommandTimeout);
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      Fail(reply, RCC_ACCESS_DENIED);
      reply.SetVariable(VAR_SERVICE_STATUS, 3u);
    });
    uint32_t status = 99;
    EXPECT_EQ(s.conn.checkNetworkService(&status, 1, 5), RCC_ACCESS_DENIED);
    EXPECT_EQ(status, 99u);
  }
}

TEST(AgentRequests, SupportedParametersRecordsLimitsAndEmptyRuns) {
  Session s;
  ASSERT_TRUE(ConnectScripted(s.conn, s.peer));
  StructArray<KMC_AGENT_PARAM> *params = nullptr;
  StructArray<KMC_AGENT_TABLE> *tables = nullptr;
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      reply.SetVariable(VAR_NUM_PARAMETERS, 0u);
      reply.SetVariable(VAR_NUM_TABLES, 0u);
    });
    ASSERT_EQ(s.conn.getSupportedParameters(&params, &tables), RCC_SUCCESS);
  }
  ASSERT_NE(params, nullptr);
  ASSERT_NE(tables, nullptr);
  EXPECT_EQ(params->size(), 0u);
  EXPECT_EQ(tables->size(), 0u);
  delete params;
  delete tables;

  const std::u16string longAux(100, u'a'), longDesc(300, u'd');
  {
    PeerAnswer peer(s.peer, [&](const CSCPMessage &, CSCPMessage &reply) {
      reply.SetVariable(VAR_NUM_PARAMETERS, 2u);
      reply.SetVariable(VAR_LIST_BASE + 0, u"Agent.Uptime");
      reply.SetVariable(VAR_LIST_BASE + 1, u"Uptime");
      reply.SetVariable(VAR_LIST_BASE + 2, static_cast<uint16_t>(0xFFFF));
      reply.SetVariable(VAR_LIST_BASE + 3, u"Second");
      reply.SetVariable(VAR_LIST_BASE + 5, static_cast<uint16_t>(4));
      reply.SetVariable(VAR_NUM_TABLES, 1u);
      reply.SetVariable(VAR_TABLE_LIST_BASE + 0, u"Processes");
      reply.SetVariable(VAR_TABLE_LIST_BASE + 1, longAux.c_str());
      reply.SetVariable(VAR_TABLE_LIST_BASE + 2, longDesc.c_str());
    });
    ASSERT_EQ(s.conn.getSupportedParameters(&params, &tables), RCC_SUCCESS);
  }
  ASSERT_EQ(params->size(), 2u);
  EXPECT_EQ(std::u16string((*params)[0].name), u"Agent.Uptime");
  EXPECT_EQ((*params)[0].dataType, 65535);
  EXPECT_EQ(std::u16string((*params)[1].description), u"");  // missing field
  EXPECT_EQ((*params)[1].dataType, 4);
  ASSERT_EQ(tables->size(), 1u);
  EXPECT_EQ(std::u16string((*tables)[0].auxInfo), longAux.substr(0, 63));
  EXPECT_EQ(std::u16string((*tables)[0].description), longDesc.substr(0, 255));
  delete params;
  delete tables;

  {  // agent failure: both outputs null
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) { Fail(reply, 501); });
    EXPECT_EQ(s.conn.getSupportedParameters(&params, &tables), 501u);
  }
  EXPECT_EQ(params, nullptr);
  EXPECT_EQ(tables, nullptr);
}

TEST(AgentRequests, GetTableBuildsTableAndMalformedReplyFails) {
  Session s;
  ASSERT_TRUE(ConnectScripted(s.conn, s.peer));
  Table *table = nullptr;
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      Table t;
      t.addColumn(u"PID");
      t.addRow();
      t.addRow();
      t.fillMessage(reply);
    });
    ASSERT_EQ(s.conn.getTable(u"Processes", &table), RCC_SUCCESS);
  }
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->getNumRows(), 2);
  EXPECT_EQ(table->getNumColumns(), 1);
  delete table;
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      reply.SetVariable(VAR_TABLE_NUM_ROWS, 5u);  // rows without columns
      reply.SetVariable(VAR_TABLE_NUM_COLS, 0u);
    });
    table = reinterpret_cast<Table *>(1);
    EXPECT_EQ(s.conn.getTable(u"Processes", &table), RCC_BAD_RESPONSE);
    EXPECT_EQ(table, nullptr);
  }
}

TEST(AgentRequests, NeverConnectedSession) {
  TestConnection conn(kLoopbackNet, 1);
  uint32_t before = conn.generateRequestId();
  EXPECT_EQ(conn.enableTraps(), RCC_CONNECTION_BROKEN);  // no connected test: an id is used
  char16_t buffer[4] = u"old";
  EXPECT_EQ(conn.getParameter(u"X", 4, buffer), RCC_NOT_CONNECTED);
  EXPECT_EQ(std::u16string(buffer), u"old");
  Table *table = reinterpret_cast<Table *>(1);
  EXPECT_EQ(conn.getTable(u"T", &table), RCC_NOT_CONNECTED);
  EXPECT_EQ(table, nullptr);
  auto *params = reinterpret_cast<StructArray<KMC_AGENT_PARAM> *>(1);
  auto *tables = reinterpret_cast<StructArray<KMC_AGENT_TABLE> *>(1);
  EXPECT_EQ(conn.getSupportedParameters(&params, &tables), RCC_NOT_CONNECTED);
  EXPECT_EQ(params, nullptr);
  EXPECT_EQ(tables, nullptr);
  uint32_t status = 7;
  EXPECT_EQ(conn.checkNetworkService(&status, 1, 0), RCC_NOT_CONNECTED);
  EXPECT_EQ(status, 7u);
  EXPECT_EQ(conn.getInterfaceList(), nullptr);
  EXPECT_EQ(conn.generateRequestId(), before + 2);
}

TEST(AgentNetworkTables, TablesFromListsLeaveNoLines) {
  Session s;
  ASSERT_TRUE(ConnectScripted(s.conn, s.peer));
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      Lines(reply, {u"0.0.0.0/0 10.0.0.1 2 4", u"10.0.0.0/8 10.1.2.1 3 4", u"10.1.2.3/32 0.0.0.0 1 3"});
    });
    ROUTING_TABLE *routes = s.conn.getRoutingTable();
    ASSERT_NE(routes, nullptr);
    std::unique_ptr<char16_t, decltype(&free)> name(peer.request()->GetVariableStr(VAR_PARAMETER),
                                                    &free);
    EXPECT_EQ(std::u16string(name.get()), u"Net.IP.RoutingTable");
    ASSERT_EQ(routes->numEntries, 3u);
    EXPECT_EQ(routes->entries[1].destMask, 0xFF000000u);  // line order until sorted
    SortRoutingTable(routes);
    EXPECT_EQ(routes->entries[0].destMask, 0xFFFFFFFFu);
    EXPECT_EQ(routes->entries[2].nextHop, 0x0A000001u);
    DestroyRoutingTable(routes);
  }
  EXPECT_EQ(s.conn.getNumDataLines(), 0u);
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      Lines(reply, {u"001122334455 10.1.2.3 4", u"short", nullptr});
    });
    ARP_CACHE *arp = s.conn.getArpCache();
    ASSERT_NE(arp, nullptr);
    ASSERT_EQ(arp->numEntries, 3u);
    EXPECT_EQ(arp->entries[0].ifIndex, 4u);
    EXPECT_EQ(arp->entries[1].ipAddr, 0u);
    DestroyArpCache(arp);
  }
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) { Lines(reply, {}); });
    std::unique_ptr<InterfaceList> list(s.conn.getInterfaceList());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->getSize(), 0);
  }
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) {
      Lines(reply, {u"5 10.1.2.3 6 001122334455 eth0"});
    });
    std::unique_ptr<InterfaceList> list(s.conn.getInterfaceList());
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->getSize(), 1);
    EXPECT_EQ(list->get(0)->ipNetMask, 0xFFFFFF00u);
  }
  {
    PeerAnswer peer(s.peer, [](const CSCPMessage &, CSCPMessage &reply) { Fail(reply, 404); });
    EXPECT_EQ(s.conn.getArpCache(), nullptr);
  }
  EXPECT_EQ(s.conn.getNumDataLines(), 0u);
}

// --- SNMP proxy transport

SNMP_PDU *GetRequest(uint32_t id) {
  auto *pdu = new SNMP_PDU(SNMP_GET_REQUEST, id, SNMP_VERSION_2C);
  static const uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
  pdu->bindVariable(new SNMP_Variable(kSysDescr, 9));
  return pdu;
}

TEST(SnmpProxyTransport, CarriesRequestAndHandlesEveryReplyShape) {
  ScriptedPeer peer;
  auto *conn = new TestConnection(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(*conn, peer));
  SNMP_ProxyTransport transport(conn, 0x0A010203, 1161);  // owns conn from here
  transport.setSecurityContext(new SNMP_SecurityContext("public"));
  std::unique_ptr<SNMP_PDU> request(GetRequest(42));
  SNMP_PDU *const untouched = reinterpret_cast<SNMP_PDU *>(1);
  SNMP_PDU *pdu = untouched;
  EXPECT_EQ(transport.readMessage(&pdu, 1000, nullptr, nullptr, nullptr), -1);  // nothing sent
  EXPECT_EQ(pdu, untouched);

  // A response that is not SNMP: its size, a null PDU, and nothing pending.
  std::vector<uint8_t> sentPdu;
  {
    PeerAnswer answer(peer, [&](const CSCPMessage &req, CSCPMessage &reply) {
      auto view = req.GetVariableBinaryView(VAR_PDU);
      sentPdu.assign(view.begin(), view.end());
      static const uint8_t garbage[] = {1, 2, 3, 4, 5, 6, 7};
      reply.SetVariable(VAR_PDU, garbage, 7);
      reply.SetVariable(VAR_PDU_SIZE, 6u);
    });
    EXPECT_EQ(transport.sendMessage(request.get()), 1);
    const CSCPMessage *req = answer.request();
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->GetCode(), MC_SNMP_REQUEST);
    EXPECT_EQ(req->GetVariableLong(VAR_IP_ADDRESS), 0x0A010203u);
    EXPECT_EQ(req->GetVariableShort(VAR_SNMP_PORT), 1161);
    EXPECT_EQ(req->GetVariableLong(VAR_PDU_SIZE), sentPdu.size());
  }
  SNMP_PDU parsedBack;
  EXPECT_TRUE(parsedBack.parse(sentPdu.data(), sentPdu.size(), nullptr, 0));
  EXPECT_EQ(parsedBack.getRequestId(), 42u);
  EXPECT_EQ(transport.readMessage(&pdu, 1000, nullptr, nullptr, nullptr), 6);
  EXPECT_EQ(pdu, nullptr);
  pdu = untouched;
  EXPECT_EQ(transport.readMessage(&pdu, 1000, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(pdu, untouched);

  // The agent's failure, and a size larger than the bytes sent: -1, PDU
  // untouched, nothing left pending.
  for (int shape = 0; shape < 2; shape++) {
    PeerAnswer answer(peer, [shape](const CSCPMessage &req, CSCPMessage &reply) {
      auto view = req.GetVariableBinaryView(VAR_PDU);
      reply.SetVariable(VAR_PDU, view.data(), static_cast<uint32_t>(view.size()));
      reply.SetVariable(VAR_PDU_SIZE, static_cast<uint32_t>(view.size()) + (shape == 1 ? 100 : 0));
      if (shape == 0) Fail(reply, RCC_ACCESS_DENIED);
    });
    EXPECT_EQ(transport.sendMessage(request.get()), 1);
    answer.request();
    EXPECT_EQ(transport.readMessage(&pdu, 1000, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(pdu, untouched);
    EXPECT_EQ(transport.readMessage(&pdu, 1000, nullptr, nullptr, nullptr), -1);
  }

  // A well-formed answer comes back as a PDU.
  {
    PeerAnswer answer(peer, [](const CSCPMessage &req, CSCPMessage &reply) {
      auto view = req.GetVariableBinaryView(VAR_PDU);
      reply.SetVariable(VAR_PDU, view.data(), static_cast<uint32_t>(view.size()));
      reply.SetVariable(VAR_PDU_SIZE, static_cast<uint32_t>(view.size()));
    });
    EXPECT_EQ(transport.sendMessage(request.get()), 1);
  }
  int size = transport.readMessage(&pdu, 1000, nullptr, nullptr, nullptr);
  EXPECT_EQ(size, static_cast<int>(sentPdu.size()));
  ASSERT_NE(pdu, nullptr);
  ASSERT_NE(pdu, untouched);
  EXPECT_EQ(pdu->getRequestId(), 42u);
  delete pdu;

  // The session ends: the send fails and nothing is pending.
  peer.close();
  ASSERT_TRUE(WaitUntil([&] { return !conn->isConnected(); }));
  EXPECT_EQ(transport.sendMessage(request.get()), -1);
  pdu = untouched;
  EXPECT_EQ(transport.readMessage(&pdu, 1000, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(pdu, untouched);
}

TEST(SnmpProxyTransport, NullConnectionOnlyFailsAndIsDestroyed) {
  auto transport = std::make_unique<SNMP_ProxyTransport>(nullptr, 1, 161);
  transport->setSecurityContext(new SNMP_SecurityContext("public"));
  std::unique_ptr<SNMP_PDU> request(GetRequest(1));
  EXPECT_EQ(transport->sendMessage(request.get()), -1);
}

}  // namespace
}  // namespace kmtest
