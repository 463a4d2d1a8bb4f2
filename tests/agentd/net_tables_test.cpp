// The pure parts of the agent's host data: /proc parsers, list line
// formats, command line splitting, parameter names, and the configuration
// keys that define parameters, lists and actions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agentd_options.h"
#include "exec_action.h"
#include "host_data.h"
#include "net_tables.h"

namespace {

using namespace kmagent::detail;
using Lines = std::vector<std::string>;

uint32_t FakeIndex(std::string_view name) {
  return name == "eth0" ? 2 : name == "lo" ? 1 : 0;
}

TEST(NetTablesTest, ProcNetDevGivesCountersAndSkipsHeadingsAndBadLines) {
  const std::string text =
      "Inter-|   Receive                                                |  Transmit\n"
      " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
      "drop fifo colls carrier compressed\n"
      "    lo: 100 2 0 0 0 0 0 0 300 4 0 0 0 0 0 0\n"
      "  eth0:18446744073709551615 7 1 0 0 0 0 0 9 8 5 0 0 0 0 0\n"
      "short: 1 2 3\n"
      "bad: 1 2 x 0 0 0 0 0 9 8 5 0 0 0 0 0\n"
      "abcdefghijklmno: 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"    // 15 characters
      "abcdefghijklmnop: 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";  // 16: too long
  const std::vector<InterfaceCounters> all = ParseProcNetDev(text);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].name, "lo");
  EXPECT_EQ(all[0].bytesIn, 100u);
  EXPECT_EQ(all[0].packetsIn, 2u);
  EXPECT_EQ(all[0].bytesOut, 300u);
  EXPECT_EQ(all[0].packetsOut, 4u);
  EXPECT_EQ(all[1].bytesIn, 18446744073709551615u);
  EXPECT_EQ(all[1].errorsIn, 1u);
  EXPECT_EQ(all[1].errorsOut, 5u);
  EXPECT_EQ(all[2].name, "abcdefghijklmno");
}

TEST(NetTablesTest, ArpCacheLinesKeepCompleteEntriesOnly) {
  const std::string text =
      "IP address       HW type     Flags       HW address            Mask     Device\n"
      "192.168.1.1      0x1         0x2         aa:bb:cc:0d:ee:ff     *        eth0\n"
      "192.168.1.7      0x1         0x0         00:00:00:00:00:00     *        eth0\n"
      "10.0.0.9         0x1         0x6         11:22:33:44:55:66     *        tun9\n"
      "999.1.1.1        0x1         0x2         11:22:33:44:55:66     *        eth0\n"
      "10.0.0.8         0x1         0x2         11:22:33:44:55        *        lo\n";
  EXPECT_EQ(ArpLinesFromProc(text, FakeIndex),
            (Lines{"AABBCC0DEEFF 192.168.1.1 2", "112233445566 10.0.0.9 0",
                   "000000000000 10.0.0.8 1"}));
}

TEST(NetTablesTest, RouteLinesTurnKernelWordsIntoAddressesAndTypes) {
  const std::string text =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
      "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
      "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
      "lo\t0100007F\t00000000\t0005\t0\t0\t0\tFFFFFFFF\t0\t0\t0\n"
      "eth0\t0000000A\t00000000\t0000\t0\t0\t0\t000000FF\t0\t0\t0\n"  // not up
      "eth0\tZZ\t00000000\t0001\t0\t0\t0\t000000FF\t0\t0\t0\n";
  EXPECT_EQ(RouteLinesFromProc(text, FakeIndex),
            (Lines{"0.0.0.0/0 192.168.1.1 2 4", "192.168.1.0/24 0.0.0.0 2 3",
                   "127.0.0.1/32 0.0.0.0 1 3"}));
}

TEST(NetTablesTest, MacTextAndLinkTypesOfTheSystem) {
  EXPECT_EQ(MacHexOfSysText("0a:1b:2c:3d:4e:5f\n"), "0A1B2C3D4E5F");
  EXPECT_EQ(MacHexOfSysText("0a:1b:2c:3d:4e"), "000000000000");
  EXPECT_EQ(MacHexOfSysText("0a-1b-2c-3d-4e-5f"), "000000000000");
  EXPECT_EQ(MacHexOfSysText("0g:1b:2c:3d:4e:5f"), "000000000000");
  EXPECT_EQ(IfTypeOfLinkType(1), 6u);
  EXPECT_EQ(IfTypeOfLinkType(772), 24u);
  EXPECT_EQ(IfTypeOfLinkType(9999), 1u);
}

TEST(NetTablesTest, CommandLinesAndParameterArgumentsSplit) {
  std::vector<std::string> words;
  ASSERT_TRUE(SplitCommandLine("  /bin/x  \"a b\" c\"d e\"f \"\" ", &words));
  EXPECT_EQ(words, (Lines{"/bin/x", "a b", "cd ef", ""}));
  EXPECT_FALSE(SplitCommandLine("/bin/x \"open", &words));

  std::string pattern, argument;
  ASSERT_TRUE(SplitParameterArgument("Net.Interface.BytesIn( \"eth0\" )", &pattern, &argument));
  EXPECT_EQ(pattern, "Net.Interface.BytesIn(*)");
  EXPECT_EQ(argument, "eth0");
  EXPECT_FALSE(SplitParameterArgument("System.Hostname", &pattern, &argument));
  EXPECT_FALSE(SplitParameterArgument("Bad(eth0", &pattern, &argument));
  EXPECT_TRUE(IsBuiltinParameter("net.interface.bytesout(x)"));
  EXPECT_TRUE(IsBuiltinParameter("Net.Interface.BytesOut(*)"));
  EXPECT_FALSE(IsBuiltinParameter("Net.Interface.Bogus(x)"));
}

TEST(NetTablesTest, ConfigurationDefinesParametersListsAndActions) {
  kmagent::AgentdOptions o;
  std::string error;
  ASSERT_TRUE(kmagent::ParseAgentdConfigText(
      "Parameter = Site.Room : B 12\n"
      "parameter = Site.Empty:\n"
      "list = Site.Racks:r1 top\n"
      "LIST = site.racks: r2\n"
      "action = restart:/usr/sbin/service \"web server\" restart\n"
      "snmp_allow = 10.0.0.0/8, 127.0.0.1\n"
      "service_check_allow = none\n"
      "traps_only_when_enabled = no\n"
      "trap_interval_ms = 250\n",
      "agentd.conf", &o, &error))
      << error;
  ASSERT_EQ(o.agent.parameters.size(), 2u);
  EXPECT_EQ(o.agent.parameters[0].name, "Site.Room");
  EXPECT_EQ(o.agent.parameters[0].value, "B 12");
  EXPECT_EQ(o.agent.parameters[1].value, "");
  ASSERT_EQ(o.agent.lists.size(), 1u);
  EXPECT_EQ(o.agent.lists[0].lines, (Lines{"r1 top", "r2"}));
  ASSERT_EQ(o.agent.actions.size(), 1u);
  EXPECT_EQ(o.agent.actions[0].argv, (Lines{"/usr/sbin/service", "web server", "restart"}));
  ASSERT_EQ(o.agent.snmpAllowed.size(), 2u);
  EXPECT_EQ(o.agent.snmpAllowed[0].mask, 0xFF000000u);
  EXPECT_TRUE(o.agent.serviceCheckAllowed.empty());
  EXPECT_FALSE(o.agent.trapsOnlyWhenEnabled);
  EXPECT_EQ(o.trapIntervalMs, 250u);
  EXPECT_TRUE(kmagent::AgentdOptions().agent.trapsOnlyWhenEnabled);

  const std::pair<const char *, const char *> refused[] = {
      {"parameter = System.Hostname:fake", "built-in parameter"},
      {"parameter = Net.Interface.BytesIn(eth0):1", "built-in parameter"},
      {"parameter = A:1\nparameter = a:2", "set twice"},
      {"parameter = no colon", "is not NAME:VALUE"},
      {"parameter = :value", "is not NAME:VALUE"},
      {"list = Net.ArpCache:x", "built-in list"},
      {"action = x:relative/prog", "absolute program path"},
      {"action = x:/bin/x \"open", "absolute program path"},
      {"action = x:/bin/true\naction = X:/bin/false", "defined twice"},
  };
  for (const auto &[text, reason] : refused) {
    kmagent::AgentdOptions fresh;
    EXPECT_FALSE(kmagent::ParseAgentdConfigText(text, "agentd.conf", &fresh, &error)) << text;
    EXPECT_NE(error.find(reason), std::string::npos) << text << " -> " << error;
  }
}

}  // namespace
