// SnmpGet and SnmpEnumerate against net-snmp's snmpd, compared with what
// snmpget and snmpwalk print.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "kmsrv/snmp.h"
#include "support/snmpd_fixture.h"

namespace {

std::vector<std::string> ToolNames(const std::string &output) {
  std::vector<std::string> names;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '.') names.push_back(line.substr(0, line.find(" = ")));
  }
  return names;
}

uint32_t CollectNames(uint32_t, SNMP_Variable *var, SNMP_Transport *, void *arg) {
  char text[1024];
  SNMPConvertOIDToText(var->getNameLength(), var->getName(), text, sizeof(text));
  static_cast<std::vector<std::string> *>(arg)->push_back(text);
  return 0;
}

class SnmpHelpersInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = snmpd.start();
    if (!why.empty()) GTEST_SKIP() << why;
  }
  SnmpdInstance snmpd;
};

}  // namespace

TEST_F(SnmpHelpersInterop, GetConvertsTextIntegersAndAddresses) {
  for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
    auto t = snmpd.transport(version);
    char16_t location[64];
    ASSERT_EQ(SnmpGet(version, t.get(), u".1.3.6.1.2.1.1.6.0", nullptr, 0, location, 64, 0),
              SNMP_ERR_SUCCESS);
    EXPECT_EQ(std::u16string(location), u"interop lab");
    int32_t ifNumber = 0;
    ASSERT_EQ(SnmpGet(version, t.get(), u".1.3.6.1.2.1.2.1.0", nullptr, 0, &ifNumber, 0, 0),
              SNMP_ERR_SUCCESS);
    auto tool = snmpd.runTool("snmpget", "2c", ".1.3.6.1.2.1.2.1.0");
    EXPECT_NE(tool.find("INTEGER: " + std::to_string(ifNumber)), std::string::npos) << tool;
    uint32_t address = 0;
    ASSERT_EQ(
        SnmpGet(version, t.get(), u".1.3.6.1.2.1.4.20.1.1.127.0.0.1", nullptr, 0, &address, 0, 0),
        SNMP_ERR_SUCCESS);
    EXPECT_EQ(address, 0x7F000001u);
    EXPECT_EQ(SnmpGet(version, t.get(), u".1.3.6.1.2.1.1.1.5", nullptr, 0, location, 64, 0),
              SNMP_ERR_NO_OBJECT);
  }
}

TEST_F(SnmpHelpersInterop, Counter64ConvertsOnlyAsText) {
  auto t = snmpd.transport(SNMP_VERSION_2C);
  char16_t text[32] = u"";
  EXPECT_EQ(
      SnmpGet(SNMP_VERSION_2C, t.get(), u".1.3.6.1.2.1.31.1.1.1.6.1", nullptr, 0, text, 32, 0),
      SNMP_ERR_BAD_TYPE);
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, t.get(), u".1.3.6.1.2.1.31.1.1.1.6.1", nullptr, 0, text, 32,
                    SNMPGET_AS_STRING),
            SNMP_ERR_SUCCESS);
  EXPECT_GT(std::u16string(text).size(), 0u);
}

TEST_F(SnmpHelpersInterop, WalksVisitWhatSnmpwalkPrints) {
  for (const char *root : {".1.3.6.1.2.1.1", ".1.3.6.1.2.1.2.2.1.1", ".1.3.6.1.2.1.4.20.1.1"}) {
    SCOPED_TRACE(root);
    for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
      auto tool =
          ToolNames(snmpd.runTool("snmpwalk", version == SNMP_VERSION_1 ? "1" : "2c", root));
      ASSERT_FALSE(tool.empty());
      auto t = snmpd.transport(version);
      std::vector<std::string> ours;
      std::u16string wide(root, root + strlen(root));
      ASSERT_EQ(SnmpEnumerate(version, t.get(), wide.c_str(), CollectNames, &ours, 1),
                SNMP_ERR_SUCCESS);
      EXPECT_EQ(ours, tool);
    }
  }
}

TEST_F(SnmpHelpersInterop, WalkPastTheLastObjectEndsQuietly) {
  // v2c answers endOfMibView, v1 noSuchName: both end the walk.
  for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
    SCOPED_TRACE(version);
    auto t = snmpd.transport(version);
    std::vector<std::string> ours;
    EXPECT_EQ(SnmpEnumerate(version, t.get(), u".1.4", CollectNames, &ours, 1), SNMP_ERR_SUCCESS);
    EXPECT_TRUE(ours.empty());
  }
}

TEST(SnmpHelpersInteropMibEnd, WalkOfTheLastSubtreeEndsQuietlyAfterItsRowsInBothVersions) {
  // Nothing snmpd serves lies beyond .1.3.6.1.99: these are its last names.
  SnmpdInstance snmpd({"override .1.3.6.1.99.1.1.0 octet_str \"first\"",
                       "override .1.3.6.1.99.1.2.0 integer 7"});
  std::string why = snmpd.start();
  if (!why.empty()) GTEST_SKIP() << why;
  const std::vector<std::string> expected = {".1.3.6.1.99.1.1.0", ".1.3.6.1.99.1.2.0"};
  {
    // Past its last name the v1 agent answers noSuchName.
    auto t = snmpd.transport(SNMP_VERSION_1);
    static const uint32_t kLast[] = {1, 3, 6, 1, 99, 1, 2, 0};
    SNMP_PDU request(SNMP_GET_NEXT_REQUEST, SnmpNewRequestId(), SNMP_VERSION_1);
    request.bindVariable(new SNMP_Variable(kLast, 8));
    SNMP_PDU *response = nullptr;
    ASSERT_EQ(t->doRequest(&request, &response, 2000, 2), SNMP_ERR_SUCCESS);
    EXPECT_EQ(response->getErrorCode(), SNMP_PDU_ERR_NO_SUCH_NAME);
    delete response;
  }
  for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
    SCOPED_TRACE(version);
    auto t = snmpd.transport(version);
    std::vector<std::string> ours;
    EXPECT_EQ(SnmpEnumerate(version, t.get(), u".1.3.6.1.99", CollectNames, &ours, 1),
              SNMP_ERR_SUCCESS);
    EXPECT_EQ(ours, expected);
  }
}
