// The host's data and services, served by a real AgentServer over loopback
// and checked against the host itself: parameters, lists, the interface
// table, descriptions, traps, actions, service checks and SNMP forwarding.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "kmbase/table.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"
#include "net_tables.h"
#include "snmp_forward.h"
#include "support/raw_peer.h"
#include "support/temp_dir.h"

namespace {

using kmagent::AgentConfig;
using kmagent::AgentServer;
using kmtest::RawPeer;

// The test's services and devices listen on loopback: the agent may reach
// them there unless a test names its own ranges.
std::unique_ptr<AgentServer> Start(AgentConfig config = {}) {
  const std::vector<kmagent::Ipv4Network> loopback{{0x7F000000u, 0xFF000000u}};
  if (config.serviceCheckAllowed.empty()) config.serviceCheckAllowed = loopback;
  if (config.snmpAllowed.empty()) config.snmpAllowed = loopback;
  auto server = std::make_unique<AgentServer>(std::move(config));
  std::string error;
  EXPECT_TRUE(server->start(&error)) << error;
  return server;
}

std::string Utf8(const CSCPMessage &msg, uint32_t id) {
  char16_t *text = msg.GetVariableStr(id);
  if (text == nullptr) return "<missing>";
  std::string out = KmWideToUtf8(text);
  std::free(text);
  return out;
}

// MC_GET_PARAMETER: the RCC (-1 without answer) and the value.
int64_t GetParameter(RawPeer &c, const std::u16string &name, std::string *value) {
  CSCPMessage msg;
  msg.SetCode(MC_GET_PARAMETER);
  msg.SetId(c.nextId());
  msg.SetVariable(VAR_PARAMETER, name.c_str());
  if (!c.send(msg)) return -1;
  std::unique_ptr<CSCPMessage> reply = c.awaitReply(msg.GetId());
  if (reply == nullptr) return -1;
  *value = Utf8(*reply, VAR_VALUE);
  return reply->GetVariableLong(VAR_RCC);
}

// A request with VAR_PARAMETER = name; the reply (null without one).
std::unique_ptr<CSCPMessage> NamedRequest(RawPeer &c, uint16_t code, const std::u16string &name) {
  CSCPMessage msg;
  msg.SetCode(code);
  msg.SetId(c.nextId());
  msg.SetVariable(VAR_PARAMETER, name.c_str());
  if (!c.send(msg)) return nullptr;
  return c.awaitReply(msg.GetId());
}

int64_t GetList(RawPeer &c, const std::u16string &name, std::vector<std::string> *lines) {
  lines->clear();
  std::unique_ptr<CSCPMessage> reply = NamedRequest(c, MC_GET_LIST, name);
  if (reply == nullptr) return -1;
  const uint32_t n = reply->GetVariableLong(VAR_NUM_STRINGS);
  for (uint32_t i = 0; i < n && i < 100000; ++i) lines->push_back(Utf8(*reply, VAR_LIST_BASE + i));
  return reply->GetVariableLong(VAR_RCC);
}

bool IsUnsigned(const std::string &s) {
  return !s.empty() && s.size() <= 20 && std::all_of(s.begin(), s.end(), ::isdigit);
}

bool IsIpv4(const std::string &s) {
  in_addr a{};
  return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool IsMac(const std::string &s) {
  return s.size() == 12 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

// The first `count` space-separated fields and, as the last element, the
// rest of the line (empty when nothing follows); empty when a space is
// missing or a field is empty.
std::vector<std::string> Fields(const std::string &line, size_t count) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t sp = line.find(' ', pos);
    if (sp == std::string::npos || sp == pos) return {};
    out.push_back(line.substr(pos, sp - pos));
    pos = sp + 1;
  }
  out.push_back(line.substr(pos));
  return out;
}

// "a.b.c.d/n" with n <= 32.
bool IsPrefix(const std::string &s, std::string *address, int *bits) {
  const size_t slash = s.find('/');
  if (slash == std::string::npos || !IsUnsigned(s.substr(slash + 1))) return false;
  *address = s.substr(0, slash);
  *bits = std::stoi(s.substr(slash + 1));
  return IsIpv4(*address) && *bits <= 32;
}

// ---------------------------------------------------------------------------
// Parameters
// ---------------------------------------------------------------------------

TEST(AgentRequestsTest, ParametersCarryTheHostsOwnValues) {
  AgentConfig config;
  config.parameters.push_back({"Site.Room", "B 12"});
  auto server = Start(config);
  RawPeer c(server->port());
  std::string value;

  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
  EXPECT_EQ(GetParameter(c, u"System.Hostname", &value), RCC_SUCCESS);
  EXPECT_EQ(value, host);
  EXPECT_EQ(GetParameter(c, u"system.cpu.COUNT", &value), RCC_SUCCESS);
  EXPECT_EQ(value, std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));

  struct sysinfo before {};
  ASSERT_EQ(sysinfo(&before), 0);
  EXPECT_EQ(GetParameter(c, u"System.Memory.Physical.Total", &value), RCC_SUCCESS);
  EXPECT_EQ(value, std::to_string(static_cast<uint64_t>(before.totalram) * before.mem_unit));
  EXPECT_EQ(GetParameter(c, u"System.Memory.Physical.Free", &value), RCC_SUCCESS);
  ASSERT_TRUE(IsUnsigned(value)) << value;
  EXPECT_LE(std::stoull(value), static_cast<uint64_t>(before.totalram) * before.mem_unit);
  EXPECT_EQ(GetParameter(c, u"System.Uptime", &value), RCC_SUCCESS);
  ASSERT_TRUE(IsUnsigned(value)) << value;
  EXPECT_GE(std::stoll(value), before.uptime);
  EXPECT_EQ(GetParameter(c, u"Agent.Uptime", &value), RCC_SUCCESS);
  EXPECT_TRUE(IsUnsigned(value)) << value;
  EXPECT_EQ(GetParameter(c, u"Agent.Version", &value), RCC_SUCCESS);
  EXPECT_FALSE(value.empty());
  EXPECT_EQ(GetParameter(c, u"Site.Room", &value), RCC_SUCCESS);
  EXPECT_EQ(value, "B 12");

  // Counters of the loopback interface: bytes sent so far are at least what
  // this session has exchanged, and only ever grow.
  EXPECT_EQ(GetParameter(c, u"Net.Interface.BytesIn(lo)", &value), RCC_SUCCESS);
  ASSERT_TRUE(IsUnsigned(value)) << value;
  const uint64_t first = std::stoull(value);
  EXPECT_GT(first, 0u);
  EXPECT_EQ(GetParameter(c, u"Net.Interface.BytesIn( \"lo\" )", &value), RCC_SUCCESS);
  EXPECT_GE(std::stoull(value), first);
  EXPECT_EQ(GetParameter(c, u"Net.Interface.BytesOut(lo)", &value), RCC_SUCCESS);
  EXPECT_TRUE(IsUnsigned(value)) << value;

  value = "untouched";
  EXPECT_EQ(GetParameter(c, u"Net.Interface.BytesIn(no-such-if0)", &value), RCC_UNKNOWN_PARAMETER);
  EXPECT_EQ(GetParameter(c, u"No.Such.Parameter", &value), RCC_UNKNOWN_PARAMETER);
  EXPECT_EQ(value, "<missing>");  // no VAR_VALUE on failure
  EXPECT_EQ(GetParameter(c, std::u16string(1024, u'x'), &value), RCC_UNKNOWN_PARAMETER);
  EXPECT_EQ(c.request(MC_GET_PARAMETER), RCC_MALFORMED_COMMAND);  // no name at all
  EXPECT_EQ(c.keepalive(), RCC_SUCCESS);
}

// ---------------------------------------------------------------------------
// Lists and tables
// ---------------------------------------------------------------------------

TEST(AgentRequestsTest, NetworkListsAreTheHostsInTheGrammarClientsParse) {
  AgentConfig config;
  config.lists.push_back({"Site.Racks", {"r1 top", "r2"}});
  config.parameters.push_back({"Site.Room", "B 12"});
  auto server = Start(config);
  RawPeer c(server->port());
  std::vector<std::string> lines;

  ASSERT_EQ(GetList(c, u"Net.InterfaceList", &lines), RCC_SUCCESS);
  bool sawLoopback = false;
  for (const std::string &line : lines) {
    // index address/bits type mac name
    const std::vector<std::string> f = Fields(line, 4);
    std::string address;
    int bits = 0;
    ASSERT_EQ(f.size(), 5u) << line;
    EXPECT_TRUE(IsUnsigned(f[0]) && IsPrefix(f[1], &address, &bits) && IsUnsigned(f[2]) &&
                IsMac(f[3]) && !f[4].empty())
        << line;
    if (f[4] == "lo" && address == "127.0.0.1") {
      sawLoopback = true;
      EXPECT_EQ(std::stoul(f[0]), if_nametoindex("lo"));
      EXPECT_EQ(bits, 8);
      EXPECT_EQ(f[2], "24");  // software loopback
    }
  }
  EXPECT_TRUE(sawLoopback);

  ASSERT_EQ(GetList(c, u"Net.ArpCache", &lines), RCC_SUCCESS);
  for (const std::string &line : lines) {
    const std::vector<std::string> f = Fields(line, 2);  // mac address ifindex
    ASSERT_EQ(f.size(), 3u) << line;
    EXPECT_TRUE(IsMac(f[0]) && IsIpv4(f[1]) && IsUnsigned(f[2])) << line;
  }
  ASSERT_EQ(GetList(c, u"Net.IP.RoutingTable", &lines), RCC_SUCCESS);
  std::string routeText;
  ASSERT_TRUE(kmagent::detail::ReadProcFile("/proc/net/route", &routeText));
  EXPECT_EQ(lines, kmagent::detail::RouteLinesFromProc(routeText, [](std::string_view n) {
              return if_nametoindex(std::string(n).c_str());
            }));
  for (const std::string &line : lines) {
    const std::vector<std::string> f = Fields(line, 3);  // dest/bits nexthop ifindex type
    std::string address;
    int bits = 0;
    ASSERT_EQ(f.size(), 4u) << line;
    EXPECT_TRUE(IsPrefix(f[0], &address, &bits) && IsIpv4(f[1]) && IsUnsigned(f[2]) &&
                (f[3] == "3" || f[3] == "4"))
        << line;
  }

  ASSERT_EQ(GetList(c, u"site.racks", &lines), RCC_SUCCESS);
  EXPECT_EQ(lines, (std::vector<std::string>{"r1 top", "r2"}));
  ASSERT_EQ(GetList(c, u"Agent.SupportedParameters", &lines), RCC_SUCCESS);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "System.Hostname"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Net.Interface.BytesIn(*)"), lines.end());
  EXPECT_EQ(lines.back(), "Site.Room");
  EXPECT_EQ(GetList(c, u"No.Such.List", &lines), RCC_UNKNOWN_PARAMETER);
  EXPECT_EQ(c.request(MC_GET_LIST), RCC_MALFORMED_COMMAND);
}

TEST(AgentRequestsTest, InterfaceTableRoundTripsThroughTheTableCodec) {
  auto server = Start();
  RawPeer c(server->port());
  std::unique_ptr<CSCPMessage> reply = NamedRequest(c, MC_GET_TABLE, u"Net.Interfaces");
  ASSERT_NE(reply, nullptr);
  ASSERT_EQ(reply->GetVariableLong(VAR_RCC), RCC_SUCCESS);
  Table table;
  ASSERT_TRUE(table.loadMessage(*reply));
  std::string devText;
  ASSERT_TRUE(kmagent::detail::ReadProcFile("/proc/net/dev", &devText));
  EXPECT_EQ(static_cast<size_t>(table.getNumRows()),
            kmagent::detail::ParseProcNetDev(devText).size());
  const int name = table.findColumn(u"Name");
  const int index = table.findColumn(u"Index");
  const int bytesIn = table.findColumn(u"BytesIn");
  ASSERT_GE(name, 0);
  ASSERT_GE(index, 0);
  ASSERT_GE(bytesIn, 0);
  EXPECT_EQ(table.getColumnDataType(bytesIn), 3);  // unsigned 64-bit
  int loRow = -1;
  for (int r = 0; r < table.getNumRows(); ++r) {
    if (std::u16string(table.getAsString(r, name)) == u"lo") loRow = r;
  }
  ASSERT_GE(loRow, 0);
  EXPECT_EQ(table.getAsUInt(loRow, index), if_nametoindex("lo"));
  EXPECT_GT(table.getAsUInt64(loRow, bytesIn), 0u);

  reply = NamedRequest(c, MC_GET_TABLE, u"No.Such.Table");
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_UNKNOWN_PARAMETER);
}

TEST(AgentRequestsTest, ParameterListDescribesParametersAndTablesInTheirRuns) {
  AgentConfig config;
  config.parameters.push_back({"Site.Room", "B 12"});
  auto server = Start(config);
  RawPeer c(server->port());
  CSCPMessage msg;
  msg.SetCode(MC_GET_PARAMETER_LIST);
  msg.SetId(c.nextId());
  ASSERT_TRUE(c.send(msg));
  std::unique_ptr<CSCPMessage> reply = c.awaitReply(msg.GetId());
  ASSERT_NE(reply, nullptr);
  ASSERT_EQ(reply->GetVariableLong(VAR_RCC), RCC_SUCCESS);
  const uint32_t n = reply->GetVariableLong(VAR_NUM_PARAMETERS);
  ASSERT_GE(n, 2u);
  EXPECT_EQ(Utf8(*reply, VAR_LIST_BASE), "Agent.Version");
  EXPECT_EQ(reply->GetVariableShort(VAR_LIST_BASE + 2), 4);  // string
  EXPECT_EQ(Utf8(*reply, VAR_LIST_BASE + 3 * (n - 1)), "Site.Room");
  EXPECT_FALSE(reply->IsVariableExist(VAR_LIST_BASE + 3 * n));
  ASSERT_EQ(reply->GetVariableLong(VAR_NUM_TABLES), 1u);
  EXPECT_EQ(Utf8(*reply, VAR_TABLE_LIST_BASE), "Net.Interfaces");
  EXPECT_EQ(Utf8(*reply, VAR_TABLE_LIST_BASE + 1), "Index");
  EXPECT_NE(Utf8(*reply, VAR_TABLE_LIST_BASE + 2), "<missing>");
}

// ---------------------------------------------------------------------------
// Traps
// ---------------------------------------------------------------------------

TEST(AgentRequestsTest, TrapsReachOnlySessionsThatEnabledThemWhenConfiguredSo) {
  AgentConfig config;
  config.trapsOnlyWhenEnabled = true;
  auto server = Start(config);
  RawPeer wants(server->port());
  RawPeer silent(server->port());
  EXPECT_EQ(wants.request(MC_ENABLE_TRAPS), RCC_SUCCESS);
  EXPECT_EQ(silent.keepalive(), RCC_SUCCESS);

  CSCPMessage trap;
  trap.SetVariable(VAR_VALUE, u"disk full");
  EXPECT_EQ(server->sendTrap(trap), 1u);
  EXPECT_EQ(server->pushData(trap), 2u);  // pushed data needs no enabling
  std::unique_ptr<CSCPMessage> msg;
  ASSERT_GT(wants.receive(&msg), KMCP_RECV_TIMEOUT);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->GetCode(), MC_TRAP);
  EXPECT_EQ(Utf8(*msg, VAR_VALUE), "disk full");
  ASSERT_GT(silent.receive(&msg), KMCP_RECV_TIMEOUT);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->GetCode(), MC_DATA_PUSH);  // the trap never came
}

// ---------------------------------------------------------------------------
// Actions
// ---------------------------------------------------------------------------

int64_t ExecAction(RawPeer &c, const std::u16string &name, const std::vector<std::u16string> &args,
                   int32_t count = INT32_MIN) {
  return c.request(MC_EXEC_ACTION, [&](CSCPMessage &m) {
    m.SetVariable(VAR_ACTION_NAME, name.c_str());
    m.SetVariable(VAR_NUM_ARGS,
                  static_cast<uint32_t>(count != INT32_MIN ? count : static_cast<int32_t>(args.size())));
    for (size_t i = 0; i < args.size(); ++i)
      m.SetVariable(VAR_LIST_BASE + static_cast<uint32_t>(i), args[i].c_str());
  });
}

std::vector<std::string> FileLines(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; lines.size() < 1000 && std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(AgentRequestsTest, ActionsRunOnlyConfiguredProgramsWithArgumentsAsSeparateWords) {
  const kmtest::TempDir dir("action");
  const std::string out = dir.file("args");
  const std::string marker = dir.file("injected");
  AgentConfig config;
  config.actions = {{"ok", {"/bin/true"}},
                    {"fails", {"/bin/false"}},
                    {"dump", {ARGV_DUMP_PATH, out, "fixed word", "$1", "$2", "$3", "$4"}},
                    {"missing", {"/nonexistent/program"}},
                    {"hangs", {"/bin/sleep", "30"}}};
  config.actionTimeoutMs = 300;
  auto server = Start(config);
  RawPeer c(server->port());

  EXPECT_EQ(ExecAction(c, u"ok", {}), RCC_SUCCESS);
  EXPECT_EQ(ExecAction(c, u"fails", {}), RCC_EXEC_FAILED);
  EXPECT_EQ(ExecAction(c, u"missing", {}), RCC_EXEC_FAILED);
  EXPECT_EQ(ExecAction(c, u"hangs", {}), RCC_EXEC_FAILED);  // killed after its time
  EXPECT_EQ(ExecAction(c, u"rm", {u"-rf", u"/"}), RCC_UNKNOWN_PARAMETER);
  EXPECT_EQ(ExecAction(c, u"/bin/true", {}), RCC_UNKNOWN_PARAMETER);

  const std::u16string hostile = u"$(touch " + KmUtf8ToWide(marker) + u"); *";
  EXPECT_EQ(ExecAction(c, u"DUMP", {u"two words", hostile, u"", u"|>;&"}), RCC_SUCCESS);
  EXPECT_EQ(FileLines(out), (std::vector<std::string>{"fixed word", "two words",
                                                      KmWideToUtf8(hostile), "", "|>;&"}));
  EXPECT_NE(access(marker.c_str(), F_OK), 0);  // nothing interpreted the text
  EXPECT_EQ(ExecAction(c, u"dump", {u"", u"", u"", u"fail"}), RCC_EXEC_FAILED);  // exit status 3

  // Argument count: the four declared taken, a fifth refused; a promised
  // argument that is missing, or a negative count (placeholders left empty).
  std::vector<std::u16string> many(4, u"a");
  EXPECT_EQ(ExecAction(c, u"dump", many), RCC_SUCCESS);
  EXPECT_EQ(FileLines(out).size(), 5u);
  many.push_back(u"a");
  EXPECT_EQ(ExecAction(c, u"dump", many), RCC_BAD_ARGUMENTS);
  EXPECT_EQ(ExecAction(c, u"dump", {u"x"}, 2), RCC_MALFORMED_COMMAND);
  EXPECT_EQ(ExecAction(c, u"dump", {u"neg"}, -5), RCC_SUCCESS);
  EXPECT_EQ(FileLines(out), (std::vector<std::string>{"fixed word", "", "", "", ""}));
  EXPECT_EQ(ExecAction(c, u"dump", {std::u16string(4097, u'x')}), RCC_BAD_ARGUMENTS);
  EXPECT_EQ(ExecAction(c, u"dump", {std::u16string(4096, u'x')}), RCC_SUCCESS);
  EXPECT_EQ(c.request(MC_EXEC_ACTION), RCC_MALFORMED_COMMAND);
}

// ---------------------------------------------------------------------------
// Service checks
// ---------------------------------------------------------------------------

// A loopback TCP service that answers each of up to `connections`
// connections with `banner` after reading what the client sends (up to
// 100 ms of silence), and keeps what it read.
class TinyService {
 public:
  TinyService(std::string banner, int connections) : banner_(std::move(banner)) {
    listener_ = KmSocketListenTcp(htonl(INADDR_LOOPBACK), 0, 8, &port_);
    thread_ = std::thread([this, connections] {
      for (int i = 0; i < connections; ++i) {
        SOCKET s = KmSocketAccept(listener_, kmtest::kWaitMs);
        if (s == INVALID_SOCKET) return;
        std::string got;
        char buf[512];
        for (int r = 0; r < 64; ++r) {
          pollfd p{s, POLLIN, 0};
          if (poll(&p, 1, 100) <= 0) break;
          const ssize_t n = recv(s, buf, sizeof(buf), 0);
          if (n <= 0) break;
          got.append(buf, static_cast<size_t>(n));
        }
        received_.push_back(got);
        (void)!send(s, banner_.data(), banner_.size(), MSG_NOSIGNAL);
        KmSocketClose(s);
      }
    });
  }
  ~TinyService() {
    KmSocketShutdown(listener_, SHUT_RDWR);
    thread_.join();
    KmSocketClose(listener_);
  }
  uint16_t port() const { return port_; }
  // Valid once the thread is done (after the destructor's join: use join()).
  std::vector<std::string> join() {
    thread_.join();
    thread_ = std::thread([] {});
    return received_;
  }

 private:
  std::string banner_;
  SOCKET listener_;
  uint16_t port_ = 0;
  std::thread thread_;
  std::vector<std::string> received_;
};

int64_t CheckService(RawPeer &c, uint32_t address, uint16_t port, const std::u16string &request,
                     const std::u16string &expected, uint32_t *status, uint16_t protocol = 0) {
  CSCPMessage msg;
  msg.SetCode(MC_CHECK_SERVICE);
  msg.SetId(c.nextId());
  msg.SetVariable(VAR_IP_ADDRESS, address);
  msg.SetVariable(VAR_SERVICE_TYPE, static_cast<uint16_t>(3));
  msg.SetVariable(VAR_IP_PORT, port);
  msg.SetVariable(VAR_IP_PROTOCOL, protocol);
  msg.SetVariable(VAR_SERVICE_REQUEST, request.c_str());
  msg.SetVariable(VAR_SERVICE_RESPONSE, expected.c_str());
  if (!c.send(msg)) return -1;
  std::unique_ptr<CSCPMessage> reply = c.awaitReply(msg.GetId());
  if (reply == nullptr) return -1;
  *status = reply->IsVariableExist(VAR_SERVICE_STATUS) ? reply->GetVariableLong(VAR_SERVICE_STATUS)
                                                       : 99;
  return reply->GetVariableLong(VAR_RCC);
}

TEST(AgentRequestsTest, ServiceCheckConnectsSendsAndComparesTheResponse) {
  AgentConfig config;
  config.serviceCheckAllowed = {{0x7F000001u, 0xFFFFFFFFu}};  // 127.0.0.1 only
  auto server = Start(config);
  RawPeer c(server->port());
  constexpr uint32_t kLoopback = 0x7F000001u;
  uint32_t status = 77;
  {
    TinyService smtp("220 mail ready\r\n", 3);
    EXPECT_EQ(CheckService(c, kLoopback, smtp.port(), u"HELO x\r\n", u"220", &status),
              RCC_SUCCESS);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(CheckService(c, kLoopback, smtp.port(), u"", u"500", &status), RCC_SUCCESS);
    EXPECT_EQ(status, 2u);
    // Expecting more than the service says is a wrong response too.
    EXPECT_EQ(CheckService(c, kLoopback, smtp.port(), u"", u"220 mail ready\r\nmore", &status),
              RCC_SUCCESS);
    EXPECT_EQ(status, 2u);
    EXPECT_EQ(smtp.join(), (std::vector<std::string>{"HELO x\r\n", "", ""}));
  }
  const kmtest::ClosedPort closed;
  EXPECT_EQ(CheckService(c, kLoopback, closed.port(), u"", u"", &status), RCC_SUCCESS);
  EXPECT_EQ(status, 1u);
  status = 77;
  EXPECT_EQ(CheckService(c, 0x7F000002u, 80, u"", u"", &status), RCC_ACCESS_DENIED);
  EXPECT_EQ(CheckService(c, kLoopback, 80, u"", u"", &status, 17), RCC_NOT_IMPLEMENTED);
  EXPECT_EQ(status, 99u);  // no status without success
  EXPECT_EQ(CheckService(c, kLoopback, 80, std::u16string(4097, u'x'), u"", &status),
            RCC_BAD_ARGUMENTS);
  EXPECT_EQ(c.request(MC_CHECK_SERVICE), RCC_MALFORMED_COMMAND);
}

// ---------------------------------------------------------------------------
// SNMP forwarding
// ---------------------------------------------------------------------------

// A loopback UDP responder that answers each of up to `count` datagrams
// with its bytes reversed.
class ReversingResponder {
 public:
  explicit ReversingResponder(int count) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
    socklen_t len = sizeof(sa);
    getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this, count] {
      std::vector<uint8_t> buf(65536);
      for (int i = 0; i < count; ++i) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(kmtest::kWaitMs)) <= 0) return;
        sockaddr_in from{};
        socklen_t fl = sizeof(from);
        const ssize_t n =
            recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from), &fl);
        if (n <= 0) return;
        std::reverse(buf.begin(), buf.begin() + n);
        sendto(fd_, buf.data(), static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&from),
               fl);
      }
    });
  }
  ~ReversingResponder() {
    thread_.join();
    close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
  std::thread thread_;
};

std::unique_ptr<CSCPMessage> SnmpRequest(RawPeer &c, uint32_t address, uint16_t port,
                                         const std::vector<uint8_t> &pdu, uint32_t size) {
  CSCPMessage msg;
  msg.SetCode(MC_SNMP_REQUEST);
  msg.SetId(c.nextId());
  msg.SetVariable(VAR_IP_ADDRESS, address);
  msg.SetVariable(VAR_SNMP_PORT, port);
  msg.SetVariable(VAR_PDU_SIZE, size);
  msg.SetVariable(VAR_PDU, pdu.data(), static_cast<uint32_t>(pdu.size()));
  if (!c.send(msg)) return nullptr;
  return c.awaitReply(msg.GetId());
}

TEST(AgentRequestsTest, SnmpRequestsGoToTheDeviceAndItsAnswerComesBack) {
  AgentConfig config;
  config.snmpTimeoutMs = 300;
  auto server = Start(config);
  RawPeer c(server->port());
  constexpr uint32_t kLoopback = 0x7F000001u;
  std::vector<uint8_t> pdu = {0x30, 0x05, 0x02, 0x01, 0x01, 0x04, 0x00};
  {
    ReversingResponder device(2);
    std::unique_ptr<CSCPMessage> reply = SnmpRequest(c, kLoopback, device.port(), pdu, 7);
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(reply->GetVariableLong(VAR_RCC), RCC_SUCCESS);
    EXPECT_EQ(reply->GetVariableLong(VAR_PDU_SIZE), 7u);
    const std::span<const uint8_t> got = reply->GetVariableBinaryView(VAR_PDU);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()),
              std::vector<uint8_t>(pdu.rbegin(), pdu.rend()));
    // The largest datagram, and only the bytes VAR_PDU_SIZE counts.
    std::vector<uint8_t> big(kmagent::detail::kMaxSnmpPdu + 3);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    reply = SnmpRequest(c, kLoopback, device.port(), big, kmagent::detail::kMaxSnmpPdu);
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(reply->GetVariableLong(VAR_RCC), RCC_SUCCESS);
    EXPECT_EQ(reply->GetVariableLong(VAR_PDU_SIZE), kmagent::detail::kMaxSnmpPdu);
    EXPECT_EQ(reply->GetVariableBinaryView(VAR_PDU).front(),
              big[kmagent::detail::kMaxSnmpPdu - 1]);
  }
  // Nobody listens: the device does not answer.
  ReversingResponder mute(0);
  std::unique_ptr<CSCPMessage> reply = SnmpRequest(c, kLoopback, mute.port(), pdu, 7);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_REQUEST_TIMEOUT);
  EXPECT_FALSE(reply->IsVariableExist(VAR_PDU));

  auto rcc = [&](uint32_t address, const std::vector<uint8_t> &bytes, uint32_t size) {
    std::unique_ptr<CSCPMessage> r = SnmpRequest(c, address, mute.port(), bytes, size);
    return r == nullptr ? int64_t{-1} : int64_t{r->GetVariableLong(VAR_RCC)};
  };
  EXPECT_EQ(rcc(0x0A000001u, pdu, 7), RCC_ACCESS_DENIED);  // 10.0.0.1: not allowed
  EXPECT_EQ(rcc(kLoopback, pdu, 8), RCC_BAD_ARGUMENTS);    // more than VAR_PDU holds
  EXPECT_EQ(rcc(kLoopback, pdu, 0), RCC_BAD_ARGUMENTS);
  std::vector<uint8_t> huge(kmagent::detail::kMaxSnmpPdu + 1);
  EXPECT_EQ(rcc(kLoopback, huge, kmagent::detail::kMaxSnmpPdu + 1), RCC_BAD_ARGUMENTS);
  EXPECT_EQ(c.request(MC_SNMP_REQUEST), RCC_MALFORMED_COMMAND);
}

// A session waiting for a device does not hold the server's stop up.
TEST(AgentRequestsTest, StopEndsASessionWaitingForASilentDevice) {
  AgentConfig config;
  config.snmpTimeoutMs = 600000;
  auto server = Start(config);
  ReversingResponder mute(0);
  RawPeer c(server->port());
  CSCPMessage msg;
  msg.SetCode(MC_SNMP_REQUEST);
  msg.SetId(c.nextId());
  msg.SetVariable(VAR_IP_ADDRESS, 0x7F000001u);
  msg.SetVariable(VAR_SNMP_PORT, mute.port());
  const uint8_t pdu[] = {0x30, 0x00};
  msg.SetVariable(VAR_PDU_SIZE, 2u);
  msg.SetVariable(VAR_PDU, pdu, 2u);
  ASSERT_TRUE(c.send(msg));
  for (int i = 0; i < 1000 && server->requests().empty(); ++i) usleep(10000);
  ASSERT_EQ(server->requests().size(), 1u);
  server->stop();
  EXPECT_EQ(server->sessionCount(), 0u);
  EXPECT_TRUE(c.waitForClose());
}

}  // namespace
