// libkmsnmp against net-snmp's snmpd: GETs of each value type, walks that
// must equal what snmpwalk prints, exceptions, v1 and v2c, time-outs.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/snmpd_fixture.h"

namespace {

const uint32_t kSystem[] = {1, 3, 6, 1, 2, 1, 1};
const uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const uint32_t kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const uint32_t kLoAddress[] = {1, 3, 6, 1, 2, 1, 4, 20, 1, 1, 127, 0, 0, 1};  // ipAdEntAddr
const uint32_t kLoHcInOctets[] = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 6, 1};       // ifHCInOctets.1

// One binding as "name", "type", "value" in snmpwalk's words.
struct Line {
  std::string name, type, value;
  bool operator==(const Line &o) const {
    return name == o.name && type == o.type && value == o.value;
  }
};

std::ostream &operator<<(std::ostream &os, const Line &l) {
  return os << l.name << " = " << l.type << ": " << l.value;
}

std::string Narrow(const char16_t *s) {
  std::string out;
  for (; *s != 0; s++) out += static_cast<char>(*s < 0x80 ? *s : '?');
  return out;
}

std::string OidText(const uint32_t *e, uint32_t n) {
  char buf[1024];
  return SNMPConvertOIDToText(n, e, buf, sizeof(buf));
}

Line Describe(const SNMP_Variable *v) {
  Line l;
  l.name = OidText(v->getName(), v->getNameLength());
  char16_t buf[4096];
  switch (v->getType()) {
    case ASN_OCTET_STRING: {
      bool hex = true;
      l.value = Narrow(v->getValueAsPrintableString(buf, 4096, &hex));
      l.type = v->getValueLength() == 0 ? "" : (hex ? "Hex-STRING" : "STRING");
      return l;
    }
    case ASN_OBJECT_ID:
      l.type = "OID";
      break;
    case ASN_TIMETICKS:
      l.type = "Timeticks";
      break;
    case ASN_INTEGER:
      l.type = "INTEGER";
      break;
    case ASN_COUNTER32:
      l.type = "Counter32";
      break;
    case ASN_GAUGE32:
      l.type = "Gauge32";
      break;
    case ASN_COUNTER64:
      l.type = "Counter64";
      break;
    case ASN_IP_ADDR:
      l.type = "IpAddress";
      break;
    default:
      l.type = "type " + std::to_string(v->getType());
      break;
  }
  l.value = Narrow(v->GetValueAsString(buf, 4096));
  return l;
}

// snmpwalk/snmpget output ("-On") in the same words.
std::vector<Line> ParseToolOutput(const std::string &text) {
  std::vector<Line> lines;
  std::istringstream in(text);
  std::string raw;
  while (std::getline(in, raw)) {
    if (raw.empty() || raw[0] != '.') {
      if (!lines.empty()) lines.back().value += "\n" + raw;  // a string that spans lines
      continue;
    }
    Line l;
    size_t eq = raw.find(" = ");
    l.name = raw.substr(0, eq);
    std::string rest = eq == std::string::npos ? "" : raw.substr(eq + 3);
    size_t colon = rest.find(": ");
    if (rest == "\"\"") {
      l.value = "";
    } else if (colon != std::string::npos) {
      l.type = rest.substr(0, colon);
      l.value = rest.substr(colon + 2);
    } else {
      l.type = "?";
      l.value = rest;
    }
    if (l.type == "STRING" && l.value.size() >= 2 && l.value.front() == '"') {
      l.value = l.value.substr(1);
    }
    if (l.type == "Timeticks") l.value = l.value.substr(1, l.value.find(')') - 1);
    if (l.type == "Hex-STRING") {
      while (!l.value.empty() && l.value.back() == ' ') l.value.pop_back();
    }
    lines.push_back(l);
  }
  // Closing quotes of (possibly multi-line) strings.
  for (Line &l : lines) {
    if (l.type == "STRING" && !l.value.empty() && l.value.back() == '"') l.value.pop_back();
  }
  return lines;
}

// GETNEXT walk of a subtree with doRequest; stops outside the subtree, at an
// exception, on an error, or after 10,000 steps.
uint32_t Walk(SNMP_Transport *t, uint32_t version, const uint32_t *root, uint32_t rootLength,
              std::vector<Line> *out) {
  std::vector<uint32_t> name(root, root + rootLength);
  for (uint32_t id = 1; id < 10000; id++) {
    SNMP_PDU request(SNMP_GET_NEXT_REQUEST, id, version);
    request.bindVariable(new SNMP_Variable(name.data(), static_cast<uint32_t>(name.size())));
    SNMP_PDU *response = nullptr;
    uint32_t rc = t->doRequest(&request, &response, 2000, 3);
    if (rc != SNMP_ERR_SUCCESS) return rc;
    std::unique_ptr<SNMP_PDU> owned(response);
    if (response->getErrorCode() == SNMP_PDU_ERR_NO_SUCH_NAME) return SNMP_ERR_SUCCESS;  // v1 end
    if (response->getErrorCode() != 0 || response->getNumVariables() != 1) return SNMP_ERR_AGENT;
    SNMP_Variable *v = response->getVariable(0);
    if (v->getType() == ASN_END_OF_MIBVIEW) return SNMP_ERR_SUCCESS;
    if (v->getNameLength() < rootLength ||
        SNMPCompareOID(v->getName(), rootLength, root, rootLength) != 0) {
      return SNMP_ERR_SUCCESS;
    }
    if (SNMPCompareOID(v->getName(), v->getNameLength(), name.data(),
                       static_cast<uint32_t>(name.size())) <= 0) {
      return SNMP_ERR_NOT_INCREASING;
    }
    out->push_back(Describe(v));
    name.assign(v->getName(), v->getName() + v->getNameLength());
  }
  return SNMP_ERR_AGENT;
}

class SnmpdInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = snmpd.start();
    if (!why.empty()) GTEST_SKIP() << why;
  }

  // A GET of the given names; the response is kept in `response`.
  uint32_t get(SNMP_Transport *t, uint32_t version,
               std::vector<std::pair<const uint32_t *, uint32_t>> names, uint32_t timeout = 2000) {
    SNMP_PDU request(SNMP_GET_REQUEST, ++nextId, version);
    for (auto &n : names) request.bindVariable(new SNMP_Variable(n.first, n.second));
    SNMP_PDU *r = nullptr;
    uint32_t rc = t->doRequest(&request, &r, timeout, 3);
    response.reset(r);
    return rc;
  }

  uint64_t toolNumber(const std::string &oid) {
    auto lines = ParseToolOutput(snmpd.runTool("snmpget", "2c", oid));
    return lines.size() == 1 ? std::stoull(lines[0].value) : 0;
  }

  SnmpdInstance snmpd;
  std::unique_ptr<SNMP_PDU> response;
  uint32_t nextId = 100;
};

}  // namespace

TEST_F(SnmpdInterop, GetReadsSysDescrAsSnmpgetPrintsIt) {
  auto t = snmpd.transport(SNMP_VERSION_2C);
  ASSERT_EQ(get(t.get(), SNMP_VERSION_2C, {{kSysDescr, 9}}), SNMP_ERR_SUCCESS);
  ASSERT_EQ(response->getNumVariables(), 1u);
  SNMP_Variable *v = response->getVariable(0);
  EXPECT_EQ(v->getType(), ASN_OCTET_STRING);
  auto tool = ParseToolOutput(snmpd.runTool("snmpget", "2c", ".1.3.6.1.2.1.1.1.0"));
  ASSERT_EQ(tool.size(), 1u);
  EXPECT_EQ(Describe(v), tool[0]);
}

TEST_F(SnmpdInterop, GetReadsTimeTicksIpAddressAndCounter64InOneRequest) {
  auto t = snmpd.transport(SNMP_VERSION_2C);
  uint64_t upBefore = toolNumber(".1.3.6.1.2.1.1.3.0");
  uint64_t octetsBefore = toolNumber(".1.3.6.1.2.1.31.1.1.1.6.1");
  ASSERT_EQ(get(t.get(), SNMP_VERSION_2C, {{kSysUpTime, 9}, {kLoAddress, 14}, {kLoHcInOctets, 12}}),
            SNMP_ERR_SUCCESS);
  uint64_t upAfter = toolNumber(".1.3.6.1.2.1.1.3.0");
  uint64_t octetsAfter = toolNumber(".1.3.6.1.2.1.31.1.1.1.6.1");
  ASSERT_EQ(response->getNumVariables(), 3u);

  SNMP_Variable *up = response->getVariable(0);
  EXPECT_EQ(up->getType(), ASN_TIMETICKS);
  EXPECT_GE(up->GetValueAsUInt(), upBefore);
  EXPECT_LE(up->GetValueAsUInt(), upAfter);

  SNMP_Variable *addr = response->getVariable(1);
  EXPECT_EQ(addr->getType(), ASN_IP_ADDR);
  EXPECT_EQ(ntohl(addr->GetValueAsUInt()), 0x7F000001u);

  SNMP_Variable *octets = response->getVariable(2);
  EXPECT_EQ(octets->getType(), ASN_COUNTER64);
  EXPECT_GE(octets->GetValueAsUInt64(), octetsBefore);
  EXPECT_LE(octets->GetValueAsUInt64(), octetsAfter);
  EXPECT_GT(octetsAfter, 0u);
}

TEST_F(SnmpdInterop, WalkOfTheSystemGroupEqualsSnmpwalkInBothVersions) {
  for (const char *version : {"2c", "1"}) {
    SCOPED_TRACE(version);
    uint32_t v = version[0] == '1' ? SNMP_VERSION_1 : SNMP_VERSION_2C;
    auto tool = ParseToolOutput(snmpd.runTool("snmpwalk", version, ".1.3.6.1.2.1.1"));
    ASSERT_GT(tool.size(), 5u);
    auto t = snmpd.transport(v);
    std::vector<Line> ours;
    ASSERT_EQ(Walk(t.get(), v, kSystem, 7, &ours), SNMP_ERR_SUCCESS);
    ASSERT_EQ(ours.size(), tool.size());
    for (size_t i = 0; i < ours.size(); i++) {
      if (ours[i].name == ".1.3.6.1.2.1.1.3.0") {  // sysUpTime moves on between the two walks
        EXPECT_EQ(ours[i].type, tool[i].type);
        EXPECT_GE(std::stoull(ours[i].value), std::stoull(tool[i].value));
        continue;
      }
      EXPECT_EQ(ours[i], tool[i]);
    }
  }
}

TEST_F(SnmpdInterop, GetBulkReturnsTheSameBindingsAsTheWalk) {
  auto t = snmpd.transport(SNMP_VERSION_2C);
  std::vector<Line> walked;
  ASSERT_EQ(Walk(t.get(), SNMP_VERSION_2C, kSystem, 7, &walked), SNMP_ERR_SUCCESS);
  ASSERT_GE(walked.size(), 10u);
  SNMP_PDU bulk(SNMP_GET_BULK_REQUEST, 4242, SNMP_VERSION_2C);
  bulk.setNonRepeaters(0);
  bulk.setMaxRepetitions(10);
  bulk.bindVariable(new SNMP_Variable(kSystem, 7));
  SNMP_PDU *r = nullptr;
  ASSERT_EQ(t->doRequest(&bulk, &r, 2000, 3), SNMP_ERR_SUCCESS);
  response.reset(r);
  ASSERT_EQ(r->getNumVariables(), 10u);
  for (uint32_t i = 0; i < 10; i++) {
    Line l = Describe(r->getVariable(i));
    EXPECT_EQ(l.name, walked[i].name);
    EXPECT_EQ(l.type, walked[i].type);
  }
}

TEST_F(SnmpdInterop, MissingObjectsGiveExceptionsInV2cAndNoSuchNameInV1) {
  const uint32_t unknownObject[] = {1, 3, 6, 1, 2, 1, 1, 99, 0};
  const uint32_t unknownInstance[] = {1, 3, 6, 1, 2, 1, 1, 1, 5};
  auto v2 = snmpd.transport(SNMP_VERSION_2C);
  ASSERT_EQ(
      get(v2.get(), SNMP_VERSION_2C, {{kSysDescr, 9}, {unknownObject, 9}, {unknownInstance, 9}}),
      SNMP_ERR_SUCCESS);
  EXPECT_EQ(response->getErrorCode(), 0u);
  ASSERT_EQ(response->getNumVariables(), 3u);
  EXPECT_EQ(response->getVariable(0)->getType(), ASN_OCTET_STRING);
  EXPECT_EQ(response->getVariable(1)->getType(), ASN_NO_SUCH_OBJECT);
  EXPECT_EQ(response->getVariable(2)->getType(), ASN_NO_SUCH_INSTANCE);

  auto v1 = snmpd.transport(SNMP_VERSION_1);
  ASSERT_EQ(get(v1.get(), SNMP_VERSION_1, {{kSysDescr, 9}, {unknownInstance, 9}}),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(response->getVersion(), SNMP_VERSION_1);
  EXPECT_EQ(response->getErrorCode(), SNMP_PDU_ERR_NO_SUCH_NAME);
  EXPECT_EQ(response->getErrorIndex(), 2u);
}

TEST_F(SnmpdInterop, GetNextPastTheLastObjectGivesEndOfMibView) {
  const uint32_t beyond[] = {1, 4};
  auto t = snmpd.transport(SNMP_VERSION_2C);
  SNMP_PDU request(SNMP_GET_NEXT_REQUEST, 77, SNMP_VERSION_2C);
  request.bindVariable(new SNMP_Variable(beyond, 2));
  SNMP_PDU *r = nullptr;
  ASSERT_EQ(t->doRequest(&request, &r, 2000, 3), SNMP_ERR_SUCCESS);
  response.reset(r);
  ASSERT_EQ(r->getNumVariables(), 1u);
  EXPECT_EQ(r->getVariable(0)->getType(), ASN_END_OF_MIBVIEW);
  EXPECT_EQ(
      SNMPCompareOID(r->getVariable(0)->getName(), r->getVariable(0)->getNameLength(), beyond, 2),
      0);
}

TEST_F(SnmpdInterop, WrongCommunityIsDroppedAndTimesOut) {
  auto t = snmpd.transport(SNMP_VERSION_2C, "not-the-community");
  EXPECT_EQ(get(t.get(), SNMP_VERSION_2C, {{kSysDescr, 9}}, 200), SNMP_ERR_TIMEOUT);
  EXPECT_EQ(response, nullptr);
}

TEST(SnmpInterop, PortWhereNothingAnswersTimesOut) {
  // A bound socket that never answers (a closed port would be refused).
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
  SNMP_UDPTransport t(htonl(INADDR_LOOPBACK), ntohs(a.sin_port));
  t.setSecurityContext(new SNMP_SecurityContext("public"));
  SNMP_PDU request(SNMP_GET_REQUEST, 5, SNMP_VERSION_2C);
  request.bindVariable(new SNMP_Variable(kSysDescr, 9));
  SNMP_PDU *r = nullptr;
  EXPECT_EQ(t.doRequest(&request, &r, 50, 2), SNMP_ERR_TIMEOUT);
  EXPECT_EQ(r, nullptr);
  close(fd);
}
