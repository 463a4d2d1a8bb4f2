// SNMPv3 and GETBULK against net-snmp's snmpd: every user of every
// protocol combination reads what SNMPv2c reads, bad credentials give their
// own codes, a restarted agent is followed, and bulk walks visit exactly
// what GETNEXT walks visit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kmsrv/snmp.h"
#include "support/snmpd_fixture.h"

namespace {

struct Row {
  std::string name;
  uint32_t type;
  std::string value;
  bool operator==(const Row &) const = default;
};

uint32_t Collect(uint32_t, SNMP_Variable *var, SNMP_Transport *, void *arg) {
  char name[1024];
  SNMPConvertOIDToText(var->getNameLength(), var->getName(), name, sizeof(name));
  std::string value(reinterpret_cast<const char *>(var->getValue()), var->getValueLength());
  // Values are compared in the system group and the fixed objects only:
  // counters (of the loopback interface that carries these very requests)
  // and sysUpTime move between two walks.
  std::string text(name);
  if (text == ".1.3.6.1.2.1.1.3.0" ||
      (!text.starts_with(".1.3.6.1.2.1.1.") && !text.starts_with(".1.3.6.1.6.3.99999."))) {
    value.clear();
  }
  static_cast<std::vector<Row> *>(arg)->push_back({name, var->getType(), value});
  return 0;
}

enum class Walker { GetNext, Bulk };

uint32_t WalkInto(Walker how, SNMP_Transport *t, const char16_t *root, std::vector<Row> *rows,
                  uint32_t repetitions = SNMP_DEFAULT_MAX_REPETITIONS) {
  rows->clear();
  if (how == Walker::GetNext) return SnmpEnumerate(t->getSnmpVersion(), t, root, Collect, rows, 0);
  return SnmpWalkBulk(t->getSnmpVersion(), t, root, Collect, rows, 0, repetitions);
}

std::u16string GetText(SNMP_Transport *t, const char16_t *oid, uint32_t *rc) {
  char16_t text[512] = u"";
  *rc = SnmpGet(t->getSnmpVersion(), t, oid, nullptr, 0, text, 512, SNMPGET_AS_STRING);
  return text;
}

// One snmpd with every user for the whole suite: starting it derives the
// keys of some 60 pass phrases.
class SnmpV3Interop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Wrong privacy keys show as silence: keep the attempts short.
    g_dwSNMPTimeout = 500;
    snmpd_ = new SnmpdInstance([] {
      std::vector<std::string> lines = UsmUserLines(UsmUsers());
      // snmpd's last subtree, so that a walk meets endOfMibView.
      for (int i = 1; i <= 30; i++)
        lines.push_back("override .1.3.6.1.6.3.99999." + std::to_string(i) +
                        ".0 octet_str \"last " + std::to_string(i) + "\"");
      return lines;
    }());
    snmpd_->keepEngine();
    ipv6_ = snmpd_->listenOnIpv6();
    skip_ = snmpd_->start();
  }
  static void TearDownTestSuite() {
    g_dwSNMPTimeout = 2000;
    delete snmpd_;
    snmpd_ = nullptr;
  }
  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
  }

  static SnmpdInstance *snmpd_;
  static std::string skip_;
  static bool ipv6_;
};

SnmpdInstance *SnmpV3Interop::snmpd_ = nullptr;
std::string SnmpV3Interop::skip_;
bool SnmpV3Interop::ipv6_ = false;

UsmUser User(const std::string &name) { return FindUsmUser(name); }

}  // namespace

TEST_F(SnmpV3Interop, EveryUserReadsWhatV2cReads) {
  auto v2c = snmpd_->transport(SNMP_VERSION_2C);
  uint32_t rc;
  std::u16string descr = GetText(v2c.get(), u".1.3.6.1.2.1.1.1.0", &rc);
  ASSERT_EQ(rc, SNMP_ERR_SUCCESS);
  std::vector<Row> expected;
  ASSERT_EQ(WalkInto(Walker::GetNext, v2c.get(), u".1.3.6.1.2.1.1", &expected), SNMP_ERR_SUCCESS);
  ASSERT_GT(expected.size(), 5u);

  for (const UsmUser &user : UsmUsers()) {
    SCOPED_TRACE(user.name);
    auto t = snmpd_->v3Transport(user);
    EXPECT_EQ(t->getSnmpVersion(), SNMP_VERSION_3);
    EXPECT_EQ(GetText(t.get(), u".1.3.6.1.2.1.1.1.0", &rc), descr);
    EXPECT_EQ(rc, SNMP_ERR_SUCCESS) << rc;
    std::vector<Row> rows;
    EXPECT_EQ(WalkInto(Walker::GetNext, t.get(), u".1.3.6.1.2.1.1", &rows), SNMP_ERR_SUCCESS);
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(WalkInto(Walker::Bulk, t.get(), u".1.3.6.1.2.1.1", &rows, 7), SNMP_ERR_SUCCESS);
    EXPECT_EQ(rows, expected);
  }
}

TEST_F(SnmpV3Interop, BadCredentialsGiveTheirOwnCodes) {
  const UsmUser shaAes = User("u_SHA-256_AES");
  const UsmUser md5Des = User("u_MD5_DES");
  const UsmUser authOnly = User("u_SHA-512");
  UsmUser unknown = shaAes;
  unknown.name = "nobodyHere";
  struct Case {
    const char *what;
    std::unique_ptr<SNMP_UDPTransport> transport;
    uint32_t code;
  };
  Case cases[] = {
      {"wrong authentication pass phrase", snmpd_->v3Transport(shaAes, 0, "wrongpass1"),
       SNMP_ERR_WRONG_DIGEST},
      {"wrong privacy pass phrase (AES)",
       snmpd_->v3Transport(shaAes, 0, kUsmAuthPass, "wrongpass2"), SNMP_ERR_DECRYPTION},
      {"wrong privacy pass phrase (DES)",
       snmpd_->v3Transport(md5Des, 0, kUsmAuthPass, "wrongpass2"), SNMP_ERR_DECRYPTION},
      {"unknown user", snmpd_->v3Transport(unknown), SNMP_ERR_UNKNOWN_USER},
      {"privacy for a user without it",
       [&] {
         auto t = std::make_unique<SNMP_UDPTransport>(htonl(INADDR_LOOPBACK), snmpd_->port());
         t->setSecurityContext(
             new SNMP_SecurityContext(authOnly.name.c_str(), SNMP_SECURITY_AUTH_PRIV, authOnly.auth,
                                      kUsmAuthPass, SNMP_PRIV_AES128, kUsmPrivPass));
         return t;
       }(),
       SNMP_ERR_UNSUPPORTED_LEVEL},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t rc;
    GetText(c.transport.get(), u".1.3.6.1.2.1.1.1.0", &rc);
    EXPECT_EQ(rc, c.code) << rc;
  }
  // Below the level its access needs, the user is refused by the agent's
  // access control: an error status, which SnmpGet reports as an agent
  // error.
  auto low = snmpd_->v3Transport(shaAes, SNMP_SECURITY_AUTH_NO_PRIV);
  uint32_t rc;
  GetText(low.get(), u".1.3.6.1.2.1.1.1.0", &rc);
  EXPECT_NE(rc, SNMP_ERR_SUCCESS);
  EXPECT_NE(rc, SNMP_ERR_TIMEOUT);
}

TEST_F(SnmpV3Interop, RestartedAgentIsFollowedWithoutAFailedRequest) {
  auto t = snmpd_->v3Transport(User("u_SHA-256_AES"));
  uint32_t rc;
  GetText(t.get(), u".1.3.6.1.2.1.1.5.0", &rc);
  ASSERT_EQ(rc, SNMP_ERR_SUCCESS);
  size_t idLength;
  const uint8_t *id = t->getSecurityContext()->getAuthoritativeEngineId(&idLength);
  ASSERT_NE(id, nullptr);
  std::vector<uint8_t> engine(id, id + idLength);
  uint32_t boots = t->getSecurityContext()->getEngineBoots();

  ASSERT_EQ(snmpd_->restart(), "");
  // The first request after the restart is the one that must not fail.
  GetText(t.get(), u".1.3.6.1.2.1.1.5.0", &rc);
  EXPECT_EQ(rc, SNMP_ERR_SUCCESS);
  id = t->getSecurityContext()->getAuthoritativeEngineId(&idLength);
  EXPECT_EQ(std::vector<uint8_t>(id, id + idLength), engine);
  EXPECT_GT(t->getSecurityContext()->getEngineBoots(), boots);
}

TEST_F(SnmpV3Interop, BulkWalksVisitWhatGetNextWalksVisit) {
  const char16_t *roots[] = {u".1.3.6.1.2.1.1", u".1.3.6.1.2.1.2.2", u".1.3.6.1.6.3.99999"};
  auto v2c = snmpd_->transport(SNMP_VERSION_2C);
  auto v3 = snmpd_->v3Transport(User("u_SHA_AES-256"));
  for (const char16_t *root : roots) {
    for (SNMP_UDPTransport *t : {v2c.get(), v3.get()}) {
      SCOPED_TRACE(std::to_string(t->getSnmpVersion()));
      std::vector<Row> getNext, bulk;
      ASSERT_EQ(WalkInto(Walker::GetNext, t, root, &getNext), SNMP_ERR_SUCCESS);
      EXPECT_FALSE(getNext.empty());
      for (uint32_t repetitions : {1u, 3u, 50u, 1024u}) {
        EXPECT_EQ(WalkInto(Walker::Bulk, t, root, &bulk, repetitions), SNMP_ERR_SUCCESS);
        EXPECT_EQ(bulk, getNext) << repetitions;
      }
    }
  }
}

TEST_F(SnmpV3Interop, AgentIsReachedOverIpv6FromAnAddressText) {
  if (!ipv6_) GTEST_SKIP() << "no IPv6 loopback on this system; IPv6 test skipped";
  const std::string port = std::to_string(snmpd_->port());
  auto v2c = snmpd_->transport(SNMP_VERSION_2C);
  uint32_t rc;
  std::u16string expected = GetText(v2c.get(), u".1.3.6.1.2.1.1.1.0", &rc);
  ASSERT_EQ(rc, SNMP_ERR_SUCCESS);
  for (std::string text : {"udp6:[::1]:" + port, "[::1]:" + port, "udp:127.0.0.1:" + port}) {
    SCOPED_TRACE(text);
    std::unique_ptr<SNMP_UDPTransport> t(SNMP_UDPTransport::create(text.c_str(), 161, &rc));
    ASSERT_TRUE(t) << rc;
    t->setSecurityContext(new SNMP_SecurityContext("public"));
    EXPECT_EQ(GetText(t.get(), u".1.3.6.1.2.1.1.1.0", &rc), expected);
    UsmUser user = User("u_SHA-384_AES-192");
    t->setSecurityContext(new SNMP_SecurityContext(user.name.c_str(), user.level, user.auth,
                                                   kUsmAuthPass, user.priv, kUsmPrivPass));
    EXPECT_EQ(GetText(t.get(), u".1.3.6.1.2.1.1.1.0", &rc), expected);
    EXPECT_EQ(rc, SNMP_ERR_SUCCESS);
  }
}
