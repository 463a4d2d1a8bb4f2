// SnmpGet, SnmpEnumerate and SnmpNewRequestId over an in-process agent that
// answers from a small MIB, through the real encoder and decoder.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kmbase/log.h"
#include "kmsrv/snmp.h"

namespace {

// Taken during static initialisation, before any test runs.
const uint32_t kFirstIdAfterLoad = SnmpNewRequestId();
const uint32_t kSecondIdAfterLoad = SnmpNewRequestId();

using Name = std::vector<uint32_t>;
using Bytes = std::vector<uint8_t>;

Name N(const char *text) {
  uint32_t e[SNMP_MAX_OID_LENGTH];
  uint32_t n = SNMPParseOID(text, e, SNMP_MAX_OID_LENGTH);
  return Name(e, e + n);
}

// Answers GET and GETNEXT from `mib` the way an agent does; tests bend the
// answers with `tweak` or replace them with raw bytes from `raw`.
class FakeAgent : public SNMP_Transport {
 public:
  FakeAgent() { setSecurityContext(new SNMP_SecurityContext("public")); }

  int sendMessage(SNMP_PDU *pdu) override {
    uint8_t *wire = nullptr;
    size_t size = pdu->encode(&wire, securityContext.get());
    free(wire);
    if (size == 0) return -1;
    sends++;
    requestIds.push_back(pdu->getRequestId());
    SNMP_Variable *v = pdu->getVariable(0);
    requested.emplace_back(v->getName(), v->getName() + v->getNameLength());
    pending = true;
    pendingCommand = pdu->getCommand();
    pendingId = pdu->getRequestId();
    pendingVersion = pdu->getVersion();
    pendingRepetitions = pdu->getMaxRepetitions();
    if (pendingCommand == SNMP_GET_BULK_REQUEST) repetitionsAsked.push_back(pendingRepetitions);
    return static_cast<int>(size);
  }

  int readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *, int *,
                  SNMP_SecurityContextFinder) override {
    timeouts.push_back(timeout);
    if (!pending || silent) return 0;
    pending = false;
    Bytes wire;
    if (raw) wire = raw(requested.back(), pendingId);
    if (wire.empty()) wire = answer();
    auto *decoded = new SNMP_PDU();
    if (!decoded->parse(wire.data(), wire.size(), securityContext.get(), parseFlags)) {
      delete decoded;
      decoded = nullptr;
    }
    *pdu = decoded;
    return static_cast<int>(wire.size());
  }

  Bytes answer() {
    const Name &name = requested.back();
    SNMP_PDU out(SNMP_RESPONSE, pendingId, pendingVersion);
    auto *v = new SNMP_Variable(name.data(), static_cast<uint32_t>(name.size()));
    if (pendingCommand == SNMP_GET_REQUEST) {
      auto it = mib.find(name);
      if (it != mib.end()) {
        it->second(v);
      } else {
        v->setNull(ASN_NO_SUCH_INSTANCE);
      }
    } else if (pendingCommand == SNMP_GET_BULK_REQUEST) {
      delete v;
      v = nullptr;
      if (pendingRepetitions > tooBigAbove) {
        out.setErrorCode(SNMP_PDU_ERR_TOO_BIG);
      } else {
        // Up to max-repetitions successors (fewer when the agent cuts the
        // answer short), endOfMibView past the last name.
        auto it = mib.upper_bound(name);
        for (uint32_t i = 0; i < pendingRepetitions && i < cutAnswersAt; i++) {
          auto *next = new SNMP_Variable(name.data(), static_cast<uint32_t>(name.size()));
          if (it == mib.end()) {
            next->setNull(ASN_END_OF_MIBVIEW);
          } else {
            next->setName(it->first.data(), static_cast<uint32_t>(it->first.size()));
            it->second(next);
            ++it;
          }
          out.bindVariable(next);
        }
      }
    } else {
      auto it = mib.upper_bound(name);
      if (it != mib.end()) {
        v->setName(it->first.data(), static_cast<uint32_t>(it->first.size()));
        it->second(v);
      } else {
        v->setNull(ASN_END_OF_MIBVIEW);
      }
    }
    if (v != nullptr) out.bindVariable(v);
    if (tweak) tweak(out);
    std::vector<uint8_t> wire;
    size_t n = out.encode(wire, securityContext.get());
    wire.resize(n);
    return wire;
  }

  void add(const char *name, std::function<void(SNMP_Variable *)> value) { mib[N(name)] = value; }
  void addInt(const char *name, int32_t v) {
    add(name, [v](SNMP_Variable *var) { var->setInteger(v); });
  }
  void addText(const char *name, std::string text) {
    add(name, [text](SNMP_Variable *var) {
      var->setOctets(ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>(text.data()), text.size());
    });
  }

  std::map<Name, std::function<void(SNMP_Variable *)>> mib;
  std::function<void(SNMP_PDU &)> tweak;
  std::function<Bytes(const Name &requested, uint32_t requestId)> raw;
  bool silent = false;
  uint32_t tooBigAbove = 0xFFFFFFFF;   // GETBULK asking for more is answered tooBig
  uint32_t cutAnswersAt = 0xFFFFFFFF;  // most bindings of one GETBULK answer
  std::vector<uint32_t> repetitionsAsked;
  int sends = 0;
  std::vector<uint32_t> requestIds;
  std::vector<Name> requested;
  std::vector<uint32_t> timeouts;

 private:
  bool pending = false;
  uint32_t pendingCommand = 0, pendingId = 0, pendingVersion = 0, pendingRepetitions = 0;
};

struct LoggedLine {
  uint32_t id;
  uint16_t type;
  std::u16string text;
};

void Capture(uint32_t id, uint16_t type, const char16_t *line, void *context) {
  static_cast<std::vector<LoggedLine> *>(context)->push_back({id, type, line});
}

class SnmpHelpers : public ::testing::Test {
 protected:
  void SetUp() override { kmlog_set_sink_callback(Capture, &logged); }
  void TearDown() override { kmlog_set_sink_none(); }

  // True when message `id` was logged as an error with `insert` standing as a
  // word of its own (so "1" does not match inside "12" or "25").
  bool loggedContains(uint32_t id, const std::u16string &insert) const {
    auto isWordChar = [](char16_t c) {
      return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z');
    };
    for (const LoggedLine &l : logged) {
      if (l.id != id || l.type != KMLOG_ERROR) continue;
      for (size_t at = l.text.find(insert); at != std::u16string::npos;
           at = l.text.find(insert, at + 1)) {
        size_t end = at + insert.size();
        if ((at == 0 || !isWordChar(l.text[at - 1])) &&
            (end == l.text.size() || !isWordChar(l.text[end]))) {
          return true;
        }
      }
    }
    return false;
  }

  FakeAgent agent;
  std::vector<LoggedLine> logged;
};

struct Walked {
  std::vector<Name> names;
  std::vector<int32_t> values;
  uint32_t stopAt = 0;  // 1-based call that returns `stopWith`
  uint32_t stopWith = 0;
};

uint32_t Collect(uint32_t version, SNMP_Variable *var, SNMP_Transport *, void *arg) {
  auto *w = static_cast<Walked *>(arg);
  EXPECT_EQ(version, SNMP_VERSION_2C);
  w->names.emplace_back(var->getName(), var->getName() + var->getNameLength());
  w->values.push_back(var->GetValueAsInt());
  return w->names.size() == w->stopAt ? w->stopWith : 0;
}

}  // namespace

TEST(SnmpRequestId, FirstIdsAfterLoadAreOneAndTwo) {
  EXPECT_EQ(kFirstIdAfterLoad, 1u);
  EXPECT_EQ(kSecondIdAfterLoad, 2u);
}

TEST_F(SnmpHelpers, EveryGetTakesOneIdEvenWhenItsTextFailsButNotWithoutTransport) {
  uint32_t a = SnmpNewRequestId();
  int32_t value;
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u"1.x", nullptr, 0, &value, 4, 0), SNMP_ERR_BAD_OID);
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, nullptr, u"1.3", nullptr, 0, &value, 4, 0), SNMP_ERR_COMM);
  EXPECT_EQ(SnmpNewRequestId(), a + 2);
}

TEST_F(SnmpHelpers, GetStoresNumbersTimeTicksAndAddressesByType) {
  agent.add(".1.3.6.1.2.1.1.3.0",
            [](SNMP_Variable *v) { v->setUnsigned(ASN_TIMETICKS, 3000000000u); });
  agent.add(".1.3.6.1.2.1.4.20.1.1.10.1.2.3",
            [](SNMP_Variable *v) { v->setIpAddress(0x0A010203); });
  agent.addInt(".1.3.6.1.2.1.2.1.0", -7);
  int32_t ticks = 0;
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.1.3.0", nullptr, 0, &ticks, 0, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(static_cast<uint32_t>(ticks), 3000000000u);
  uint32_t addr = 0;
  ASSERT_EQ(
      SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.4.20.1.1.10.1.2.3", nullptr, 0, &addr, 0, 0),
      SNMP_ERR_SUCCESS);
  EXPECT_EQ(addr, 0x0A010203u);
  int32_t n = 0;
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.1.0", nullptr, 0, &n, 0, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(n, -7);
  // Every request waits g_dwSNMPTimeout and makes up to three attempts.
  for (uint32_t t : agent.timeouts) EXPECT_LE(t, g_dwSNMPTimeout.load());
}

TEST_F(SnmpHelpers, Counter64NeedsAFormatFlag) {
  agent.add(".1.3.6.1.2.1.31.1.1.1.6.1", [](SNMP_Variable *v) { v->setCounter64(10000000000ull); });
  char16_t buf[32] = u"untouched";
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.31.1.1.1.6.1", nullptr, 0, buf, 32, 0),
            SNMP_ERR_BAD_TYPE);
  EXPECT_EQ(std::u16string(buf), u"untouched");
  EXPECT_TRUE(loggedContains(24, u"46"));
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.31.1.1.1.6.1", nullptr, 0, buf, 32,
                    SNMPGET_AS_STRING),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(std::u16string(buf), u"10000000000");
}

TEST_F(SnmpHelpers, FormatFlagsAreTakenInTheirFixedOrder) {
  agent.addText(".1.3.6.1.2.1.2.2.1.6.2", std::string("\x00\x1A\x2B\x3C\x4D\x5E\x6F\x70", 8));
  uint8_t raw[16];
  memset(raw, 0xEE, sizeof(raw));
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.2.1.6.2", nullptr, 0, raw, 6,
                    SNMPGET_AS_STRING | SNMPGET_AS_RAW),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(raw[1], 0x1A);
  EXPECT_EQ(raw[5], 0x5E);
  EXPECT_EQ(raw[6], 0xEE);

  char16_t hex[16];
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.2.1.6.2", nullptr, 0, hex, 13,
                    SNMPGET_AS_HEX | SNMPGET_AS_STRING),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(std::u16string(hex), u"001A2B3C4D5E");  // at most (13 - 1) / 2 = 6 bytes

  char16_t printable[32];
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.2.1.6.2", nullptr, 0, printable, 32,
                    SNMPGET_AS_PRINTABLE),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(std::u16string(printable), u"00 1A 2B 3C 4D 5E 6F 70");
}

TEST_F(SnmpHelpers, HexIntoABufferTooSmallForOneByteStoresEmptyTextAndZeroStoresNothing) {
  agent.addText(".1.3.6.1.2.1.2.2.1.6.2", "\x01\x02");
  char16_t buf[4] = {u'x', u'x', u'x', u'x'};
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.2.1.6.2", nullptr, 0, buf, 2,
                    SNMPGET_AS_HEX),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], u'x');
  buf[0] = u'x';
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.2.1.6.2", nullptr, 0, buf, 0,
                    SNMPGET_AS_HEX),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(buf[0], u'x');
}

TEST_F(SnmpHelpers, TextNameWinsOverBinaryAndBinaryNamesAreBounded) {
  agent.addInt(".1.3.6.1.2.1.2.1.0", 12);
  uint32_t other[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
  int32_t value = 0;
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.1.0", other, 9, &value, 0, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(value, 12);
  EXPECT_EQ(agent.requested.back(), N(".1.3.6.1.2.1.2.1.0"));

  uint32_t binary[] = {1, 3, 6, 1, 2, 1, 2, 1, 0};
  value = 0;
  ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, nullptr, binary, 9, &value, 0, 0), SNMP_ERR_SUCCESS);
  EXPECT_EQ(value, 12);
  std::vector<uint32_t> tooLong(SNMP_MAX_OID_LENGTH + 1, 1);
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, nullptr, tooLong.data(), SNMP_MAX_OID_LENGTH + 1,
                    &value, 0, 0),
            SNMP_ERR_BAD_OID);
}

TEST_F(SnmpHelpers, ErrorStatusesAndExceptionsMapToNoObjectOrAgentError) {
  agent.addInt(".1.3.6.1.2.1.2.1.0", 12);
  int32_t value = 99;
  agent.tweak = [](SNMP_PDU &out) { out.setErrorCode(SNMP_PDU_ERR_NO_SUCH_NAME); };
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.1.0", nullptr, 0, &value, 0, 0),
            SNMP_ERR_NO_OBJECT);
  agent.tweak = [](SNMP_PDU &out) { out.setErrorCode(SNMP_PDU_ERR_GENERIC); };
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.1.0", nullptr, 0, &value, 0, 0),
            SNMP_ERR_AGENT);
  agent.tweak = nullptr;
  agent.raw = [](const Name &, uint32_t id) {  // a response without bindings
    SNMP_PDU out(SNMP_RESPONSE, id, SNMP_VERSION_2C);
    SNMP_SecurityContext ctx("public");
    std::vector<uint8_t> wire;
    wire.resize(out.encode(wire, &ctx));
    return wire;
  };
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.1.0", nullptr, 0, &value, 0, 0),
            SNMP_ERR_AGENT);
  agent.raw = nullptr;
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.1.99", nullptr, 0, &value, 0, 0),
            SNMP_ERR_NO_OBJECT);  // noSuchInstance
  EXPECT_EQ(value, 99);
}

TEST_F(SnmpHelpers, FailedRequestIsLoggedOnlyWhenAsked) {
  agent.silent = true;
  g_dwSNMPTimeout = 5;
  int32_t value;
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.1.0", nullptr, 0, &value, 0, 0),
            SNMP_ERR_TIMEOUT);
  EXPECT_TRUE(logged.empty());
  EXPECT_EQ(agent.sends, static_cast<int>(SNMP_REQUEST_RETRIES));
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.1.0", nullptr, 0, &value, 0,
                    SNMPGET_LOG_FAILURE),
            SNMP_ERR_TIMEOUT);
  EXPECT_TRUE(loggedContains(25, u"1"));
  EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, &agent, u"not an oid", nullptr, 0, &value, 0, 0),
            SNMP_ERR_BAD_OID);
  EXPECT_TRUE(loggedContains(27, u"not an oid"));
  g_dwSNMPTimeout = 2000;
}

TEST_F(SnmpHelpers, WalkVisitsEachRowAndStopsOutsideTheSubtree) {
  agent.addInt(".1.3.6.1.2.1.2.2.1.1.1", 1);
  agent.addInt(".1.3.6.1.2.1.2.2.1.1.2", 2);
  agent.addInt(".1.3.6.1.2.1.2.2.1.1.10", 10);
  agent.addText(".1.3.6.1.2.1.2.2.1.2.1", "lo");
  Walked w;
  ASSERT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.2.1.1", Collect, &w, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(w.values, (std::vector<int32_t>{1, 2, 10}));
  EXPECT_EQ(agent.sends, 4);
  // Each step asks for the name just found, with a fresh id.
  EXPECT_EQ(agent.requested[1], N(".1.3.6.1.2.1.2.2.1.1.1"));
  EXPECT_EQ(agent.requestIds[1], agent.requestIds[0] + 1);
}

TEST_F(SnmpHelpers, HandlerResultStopsTheWalk) {
  for (const char *n : {".1.3.6.1.4.1.9.1", ".1.3.6.1.4.1.9.2", ".1.3.6.1.4.1.9.3"})
    agent.addInt(n, 1);
  Walked w;
  w.stopAt = 2;
  w.stopWith = 5;
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.4.1.9", Collect, &w, 0), 5u);
  EXPECT_EQ(w.names.size(), 2u);
}

TEST_F(SnmpHelpers, EmptySubtreeRepeatedNameAndEndOfViewEndTheWalkQuietly) {
  agent.addInt(".1.3.6.1.2.1.3.1", 1);
  Walked w;
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2", Collect, &w, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_TRUE(w.names.empty());

  agent.tweak = [](SNMP_PDU &out) {  // echo the requested name
    SNMP_Variable *v = out.getVariable(0);
    v->setName(N(".1.3.6.1.2.1.3").data(), 7);
  };
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.3", Collect, &w, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_TRUE(w.names.empty());

  agent.tweak = [](SNMP_PDU &out) { out.getVariable(0)->setNull(ASN_END_OF_MIBVIEW); };
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.3", Collect, &w, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_TRUE(w.names.empty());
}

namespace {
uint32_t CollectNames(uint32_t, SNMP_Variable *var, SNMP_Transport *, void *arg) {
  static_cast<std::vector<Name> *>(arg)->emplace_back(var->getName(),
                                                      var->getName() + var->getNameLength());
  return 0;
}
}  // namespace

TEST_F(SnmpHelpers, V1NoSuchNamePastTheLastNameEndsTheWalkButOtherErrorsDoNot) {
  agent.addInt(".1.3.6.1.4.1.9.1", 1);
  agent.addInt(".1.3.6.1.4.1.9.2", 2);
  // Past its last name a v1 agent answers noSuchName where v2c says
  // endOfMibView.
  agent.tweak = [](SNMP_PDU &out) {
    if (out.getVariable(0)->getType() != ASN_END_OF_MIBVIEW) return;
    out.getVariable(0)->setNull(ASN_NULL);
    out.setErrorCode(SNMP_PDU_ERR_NO_SUCH_NAME);
    out.setErrorIndex(1);
  };
  std::vector<Name> names;
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_1, &agent, u".1.3.6.1.4.1.9", CollectNames, &names, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(names, (std::vector<Name>{N(".1.3.6.1.4.1.9.1"), N(".1.3.6.1.4.1.9.2")}));
  // Also when nothing at all follows the root.
  names.clear();
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_1, &agent, u".1.3.6.1.4.1.10", CollectNames, &names, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_TRUE(names.empty());

  // v2c has endOfMibView for that: noSuchName there stays an error, after
  // the rows found before it.
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.4.1.9", CollectNames, &names, 0),
            SNMP_ERR_NO_OBJECT);
  EXPECT_EQ(names.size(), 2u);

  // Other v1 error statuses still fail the walk.
  agent.tweak = [](SNMP_PDU &out) {
    if (out.getVariable(0)->getType() != ASN_END_OF_MIBVIEW) return;
    out.getVariable(0)->setNull(ASN_NULL);
    out.setErrorCode(SNMP_PDU_ERR_GENERIC);
  };
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_1, &agent, u".1.3.6.1.4.1.9", CollectNames, &names, 0),
            SNMP_ERR_AGENT);
}

TEST_F(SnmpHelpers, NameGoingBackwardsEndsTheWalkWithAnError) {
  agent.addInt(".1.3.6.1.4.1.9.5", 5);
  agent.addInt(".1.3.6.1.4.1.9.6", 6);
  int step = 0;
  agent.tweak = [&step](SNMP_PDU &out) {
    if (++step == 2) out.getVariable(0)->setName(N(".1.3.6.1.4.1.9.1").data(), 8);
  };
  Walked w;
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.4.1.9", Collect, &w, 0),
            SNMP_ERR_NOT_INCREASING);
  EXPECT_EQ(w.names.size(), 1u);
}

namespace {
// A response whose one binding is named .1.3.6.1.4.1.9 followed by 1s up to
// `length` elements, built by hand since our encoder refuses long names.
Bytes Tlv(uint8_t tag, const Bytes &content) {
  Bytes out = {tag};
  if (content.size() < 0x80) {
    out.push_back(static_cast<uint8_t>(content.size()));
  } else {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(content.size() >> 8),
                           static_cast<uint8_t>(content.size())});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes LongNameResponse(uint32_t requestId, uint32_t length) {
  Bytes oid = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x09};
  oid.insert(oid.end(), length - 7, 0x01);
  Bytes binding = Tlv(0x30, Cat({Tlv(0x06, oid), Bytes{0x05, 0x00}}));
  Bytes id = {static_cast<uint8_t>(requestId >> 24), static_cast<uint8_t>(requestId >> 16),
              static_cast<uint8_t>(requestId >> 8), static_cast<uint8_t>(requestId)};
  Bytes pdu = Cat({Tlv(0x02, id), Bytes{0x02, 0x01, 0x00, 0x02, 0x01, 0x00}, Tlv(0x30, binding)});
  return Tlv(0x30, Cat({Bytes{0x02, 0x01, 0x01}, Tlv(0x04, Bytes{'p'}), Tlv(0xA2, pdu)}));
}
}  // namespace

TEST_F(SnmpHelpers, WalkTakesNamesOfTheLimitAndEndsWithAnErrorOnLongerOnes) {
  agent.addInt(".1.3.6.1.4.1.9.5", 5);
  uint32_t length = SNMP_MAX_OID_LENGTH;
  agent.raw = [&length](const Name &requested, uint32_t id) {
    return requested.size() == 7 ? LongNameResponse(id, length) : Bytes{};
  };
  Walked w;
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.4.1.9", Collect, &w, 1),
            SNMP_ERR_SUCCESS);
  ASSERT_EQ(w.names.size(), 2u);
  EXPECT_EQ(w.names[0].size(), SNMP_MAX_OID_LENGTH);

  length = SNMP_MAX_OID_LENGTH + 1;
  w.names.clear();
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.4.1.9", Collect, &w, 1),
            SNMP_ERR_PARSE);
  EXPECT_TRUE(w.names.empty());
  EXPECT_TRUE(loggedContains(25, u"5"));
}

TEST_F(SnmpHelpers, WalkErrorsAreReportedAndLoggedWhenAsked) {
  Walked w;
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, nullptr, u"not an oid", Collect, &w, 1), SNMP_ERR_COMM);
  EXPECT_TRUE(logged.empty());
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u"not an oid", Collect, &w, 0),
            SNMP_ERR_BAD_OID);
  EXPECT_TRUE(loggedContains(27, u"not an oid"));
  EXPECT_EQ(agent.sends, 0);

  agent.addInt(".1.3.6.1.4.1.9.5", 5);
  agent.tweak = [](SNMP_PDU &out) { out.getVariable(0)->setNull(ASN_NO_SUCH_OBJECT); };
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.4.1.9", Collect, &w, 0),
            SNMP_ERR_NO_OBJECT);
  agent.tweak = [](SNMP_PDU &out) { out.setErrorCode(SNMP_PDU_ERR_NO_SUCH_NAME); };
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.4.1.9", Collect, &w, 0),
            SNMP_ERR_NO_OBJECT);
  agent.tweak = [](SNMP_PDU &out) { out.setErrorCode(SNMP_PDU_ERR_TOO_BIG); };
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.4.1.9", Collect, &w, 0),
            SNMP_ERR_AGENT);

  agent.tweak = nullptr;
  agent.silent = true;
  g_dwSNMPTimeout = 5;
  size_t before = logged.size();
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.4.1.9", Collect, &w, 0),
            SNMP_ERR_TIMEOUT);
  EXPECT_EQ(logged.size(), before);
  EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.4.1.9", Collect, &w, 1),
            SNMP_ERR_TIMEOUT);
  EXPECT_TRUE(loggedContains(25, u"1"));
  g_dwSNMPTimeout = 2000;
  EXPECT_TRUE(w.names.empty());
}

namespace {
uint32_t GetInside(uint32_t version, SNMP_Variable *var, SNMP_Transport *transport, void *arg) {
  // The driver pattern: a GET on the same transport from inside the walk.
  std::vector<uint32_t> name(var->getName(), var->getName() + var->getNameLength());
  name[name.size() - 2] = 2;  // ifDescr of the same row
  char16_t descr[32];
  uint32_t rc = SnmpGet(version, transport, nullptr, name.data(),
                        static_cast<uint32_t>(name.size()), descr, 32, 0);
  if (rc != SNMP_ERR_SUCCESS) return rc;
  static_cast<std::vector<std::u16string> *>(arg)->push_back(descr);
  return 0;
}
}  // namespace

TEST_F(SnmpHelpers, HandlerMayUseTheSameTransport) {
  agent.addInt(".1.3.6.1.2.1.2.2.1.1.1", 1);
  agent.addInt(".1.3.6.1.2.1.2.2.1.1.2", 2);
  agent.addText(".1.3.6.1.2.1.2.2.1.2.1", "lo");
  agent.addText(".1.3.6.1.2.1.2.2.1.2.2", "eth0");
  std::vector<std::u16string> names;
  ASSERT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.2.1.1", GetInside, &names, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"lo", u"eth0"}));
}

// ---------------------------------------------------------------------------
// SnmpWalkBulk: the same variables as SnmpEnumerate, in fewer requests.
// ---------------------------------------------------------------------------

namespace {

void AddTable(FakeAgent &agent) {
  // Two columns of 12 rows, something after the table, and the agent's very
  // last name at .1.3.6.1.6.3.99.
  for (int row = 1; row <= 12; row++) {
    agent.addInt((".1.3.6.1.2.1.2.2.1.1." + std::to_string(row)).c_str(), row);
    agent.addText((".1.3.6.1.2.1.2.2.1.2." + std::to_string(row)).c_str(), "if");
  }
  agent.addInt(".1.3.6.1.2.1.4.1.0", 1);
  agent.addInt(".1.3.6.1.6.3.99", 99);
}

}  // namespace

TEST_F(SnmpHelpers, BulkWalkVisitsExactlyWhatTheGetNextWalkVisits) {
  AddTable(agent);
  struct Case {
    const char16_t *root;
    uint32_t repetitions;
    uint32_t cutAt;
  };
  const Case cases[] = {
      {u".1.3.6.1.2.1.2.2.1.1", 5, 0xFFFFFFFF},  // the answer runs past the subtree
      {u".1.3.6.1.2.1.2.2.1.1", 12, 0xFFFFFFFF},
      {u".1.3.6.1.2.1.2.2", 50, 0xFFFFFFFF},
      {u".1.3.6.1.2.1.2.2", 50, 7},         // the agent gives fewer than asked
      {u".1.3.6.1.6.3", 10, 0xFFFFFFFF},    // endOfMibView after the last name
      {u".1.3.6.1.2.1.3", 10, 0xFFFFFFFF},  // empty subtree
      {u".1.3.6.1.2.1.2.2.1.1", 1, 0xFFFFFFFF},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.repetitions) + "/" + std::to_string(c.cutAt));
    std::vector<Name> byGetNext, byBulk;
    ASSERT_EQ(SnmpEnumerate(SNMP_VERSION_2C, &agent, c.root, CollectNames, &byGetNext, 0),
              SNMP_ERR_SUCCESS);
    agent.cutAnswersAt = c.cutAt;
    agent.sends = 0;
    ASSERT_EQ(
        SnmpWalkBulk(SNMP_VERSION_2C, &agent, c.root, CollectNames, &byBulk, 0, c.repetitions),
        SNMP_ERR_SUCCESS);
    agent.cutAnswersAt = 0xFFFFFFFF;
    EXPECT_EQ(byBulk, byGetNext);
    uint32_t perRequest = std::min(c.repetitions, c.cutAt);
    EXPECT_EQ(agent.sends, static_cast<int>(byGetNext.size() / perRequest + 1));
  }
}

TEST_F(SnmpHelpers, BulkWalkHalvesItsRepetitionsWhileTheAgentSaysTooBig) {
  AddTable(agent);
  agent.tooBigAbove = 6;
  std::vector<Name> names;
  ASSERT_EQ(
      SnmpWalkBulk(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.2.1.1", CollectNames, &names, 0, 25),
      SNMP_ERR_SUCCESS);
  EXPECT_EQ(names.size(), 12u);
  // 25 and 12 are too big, 6 fits and stays.
  EXPECT_EQ(agent.repetitionsAsked, (std::vector<uint32_t>{25, 12, 6, 6, 6}));
  // Even one is too big: the agent's error ends the walk.
  agent.tooBigAbove = 0;
  EXPECT_EQ(
      SnmpWalkBulk(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.2.1.1", CollectNames, &names, 0, 2),
      SNMP_ERR_AGENT);
}

TEST_F(SnmpHelpers, BulkWalkKeepsTheOrderCheckAndTheHandlersVerdict) {
  AddTable(agent);
  Walked w;
  w.stopAt = 3;
  w.stopWith = 7;
  EXPECT_EQ(SnmpWalkBulk(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.2.1.1", Collect, &w, 0, 10), 7u);
  EXPECT_EQ(w.names.size(), 3u);
  EXPECT_EQ(agent.sends, 1);

  // An answer whose fourth name goes back before the third.
  agent.tweak = [](SNMP_PDU &out) {
    if (out.getNumVariables() > 3)
      out.getVariable(3)->setName(N(".1.3.6.1.2.1.2.2.1.1.2").data(), 11);
  };
  std::vector<Name> names;
  EXPECT_EQ(
      SnmpWalkBulk(SNMP_VERSION_2C, &agent, u".1.3.6.1.2.1.2.2.1.1", CollectNames, &names, 0, 10),
      SNMP_ERR_NOT_INCREASING);
  EXPECT_EQ(names.size(), 3u);
}

TEST_F(SnmpHelpers, BulkWalkOverSnmpV1IsAGetNextWalk) {
  AddTable(agent);
  std::vector<Name> names;
  ASSERT_EQ(SnmpWalkBulk(SNMP_VERSION_1, &agent, u".1.3.6.1.2.1.2.2.1.1", CollectNames, &names, 0),
            SNMP_ERR_SUCCESS);
  EXPECT_EQ(names.size(), 12u);
  EXPECT_TRUE(agent.repetitionsAsked.empty());
  EXPECT_EQ(
      SnmpWalkBulk(SNMP_VERSION_2C, nullptr, u".1.3.6.1.2.1.2.2.1.1", CollectNames, &names, 0),
      SNMP_ERR_COMM);
  EXPECT_EQ(SnmpWalkBulk(SNMP_VERSION_2C, &agent, u"1..3", CollectNames, &names, 0),
            SNMP_ERR_BAD_OID);
}
