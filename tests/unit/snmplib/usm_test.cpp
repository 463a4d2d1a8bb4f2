// SNMPv3 with the user-based security model: the codec over every protocol
// combination, the keys against the standards' examples, and doRequest
// against an in-process agent that answers through the real encoder, as a
// good agent and as a hostile one.
#include "usm.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kmsnmp/snmp.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const uint8_t kEngine[] = {0x80, 0x00, 0x1F, 0x88, 0x80, 0x01, 0x02, 0x03, 0x04};
const char *const kAuthPass = "authpass123";
const char *const kPrivPass = "privpass123";

struct Protocols {
  uint32_t auth;
  uint32_t priv;
  uint32_t level() const {
    return priv   ? SNMP_SECURITY_AUTH_PRIV
           : auth ? SNMP_SECURITY_AUTH_NO_PRIV
                  : SNMP_SECURITY_NO_AUTH_NO_PRIV;
  }
};

std::vector<Protocols> AllProtocols() {
  std::vector<Protocols> all = {{SNMP_AUTH_NONE, SNMP_PRIV_NONE}};
  for (uint32_t a = SNMP_AUTH_MD5; a <= SNMP_AUTH_SHA512; a++)
    for (uint32_t p = SNMP_PRIV_NONE; p <= SNMP_PRIV_AES256; p++) all.push_back({a, p});
  return all;
}

SNMP_SecurityContext *User(Protocols p, const char *name = "alice",
                           const char *privPass = kPrivPass) {
  return new SNMP_SecurityContext(name, p.level(), p.auth, kAuthPass, p.priv, privPass);
}

Bytes Encode(const SNMP_PDU &pdu, const SNMP_SecurityContext *ctx) {
  Bytes wire;
  size_t n = pdu.encode(wire, ctx);
  wire.resize(n);
  return wire;
}

// An agent in the test process: it decodes each request with its own copy
// of the user (knowing its own engine), and `behave` decides what comes
// back, built through the same encoder. The client side is the
// SNMP_Transport under test.
class UsmAgent : public SNMP_Transport {
 public:
  explicit UsmAgent(Protocols p, uint32_t boots = 5, uint32_t time = 1000) : protocols(p) {
    setSecurityContext(User(p));
    agent.reset(User(p));
    agent->setAuthoritativeEngine(kEngine, sizeof(kEngine), boots, time);
  }

  int sendMessage(SNMP_PDU *pdu) override {
    Bytes wire = Encode(*pdu, securityContext.get());
    if (wire.empty()) return -1;
    sends++;
    SNMP_PDU request;
    if (!request.parse(wire.data(), wire.size(), agent.get(), 0)) {
      // As agents do: a request out of time is reported (authenticated),
      // one that does not authenticate too; anything else is dropped.
      if (request.getParseError() == SNMP_ERR_NOT_IN_TIME_WINDOW)
        queue.push_back(report(*pdu, 2, SNMP_SECURITY_AUTH_NO_PRIV));
      if (request.getParseError() == SNMP_ERR_BAD_RESPONSE_DIGEST)
        queue.push_back(report(*pdu, 5, SNMP_SECURITY_NO_AUTH_NO_PRIV));
      return 1;
    }
    if (request.getNumVariables() == 0 && request.getSecurityLevel() == 1) {
      probes++;
      queue.push_back(onProbe ? onProbe(request)
                              : report(request, kUnknownEngine, SNMP_SECURITY_NO_AUTH_NO_PRIV));
      return 1;
    }
    if (behave) {
      for (Bytes &b : behave(request)) queue.push_back(std::move(b));
    } else {
      queue.push_back(respond(request));
    }
    return static_cast<int>(wire.size());
  }

  int readMessage(SNMP_PDU **pdu, uint32_t, struct sockaddr *, int *,
                  SNMP_SecurityContextFinder) override {
    if (queue.empty()) return 0;
    Bytes wire = std::move(queue.front());
    queue.pop_front();
    *pdu = decodeMessage(wire.data(), wire.size());
    return static_cast<int>(wire.size());
  }

  // The answer a good agent gives: sysDescr "lab router".
  Bytes respond(const SNMP_PDU &request, SNMP_SecurityContext *as = nullptr) const {
    SNMP_PDU out(SNMP_RESPONSE, request.getRequestId(), SNMP_VERSION_3);
    out.setMessageId(request.getMessageId());
    auto *v = new SNMP_Variable(kSysDescr, 9);
    v->setOctets(ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>("lab router"), 10);
    out.bindVariable(v);
    return Encode(out, as ? as : agent.get());
  }

  // A report of one usmStats counter (last element of the OID), at `level`.
  static constexpr uint32_t kUnknownEngine = 4;
  Bytes report(const SNMP_PDU &request, uint32_t counter, uint32_t level) const {
    const uint32_t name[] = {1, 3, 6, 1, 6, 3, 15, 1, 1, counter, 0};
    SNMP_PDU out(SNMP_REPORT, request.getRequestId(), SNMP_VERSION_3);
    out.setMessageId(request.getMessageId());
    out.setSecurityLevel(level);
    auto *v = new SNMP_Variable(name, 11);
    v->setUnsigned(ASN_COUNTER32, 1);
    out.bindVariable(v);
    return Encode(out, agent.get());
  }

  uint32_t get(SNMP_PDU **answer, uint32_t id = 77) {
    SNMP_PDU request(SNMP_GET_REQUEST, id, SNMP_VERSION_3);
    request.bindVariable(new SNMP_Variable(kSysDescr, 9));
    return doRequest(&request, answer, 50, 3);
  }

  Protocols protocols;
  std::unique_ptr<SNMP_SecurityContext> agent;
  std::function<std::vector<Bytes>(const SNMP_PDU &request)> behave;
  std::function<Bytes(const SNMP_PDU &probe)> onProbe;
  std::deque<Bytes> queue;
  int sends = 0;
  int probes = 0;
};

std::string Text(const SNMP_PDU *answer) {
  const SNMP_Variable *v = answer->getVariable(0);
  return std::string(reinterpret_cast<const char *>(v->getValue()), v->getValueLength());
}

// BER pieces for messages our encoder refuses to build.
Bytes Tlv(uint8_t tag, const Bytes &content) {
  Bytes out = {tag};
  size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}
Bytes Int(uint32_t v) {
  return Tlv(0x02, {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                    static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// An unauthenticated discovery report naming `engine`.
Bytes DiscoveryReport(uint32_t msgId, const Bytes &engine) {
  Bytes counter = Tlv(0x30, Cat({Tlv(0x06, {0x2B, 6, 1, 6, 3, 15, 1, 1, 4, 0}), Tlv(0x41, {1})}));
  Bytes pdu = Tlv(0xA8, Cat({Int(msgId), Int(0), Int(0), Tlv(0x30, counter)}));
  Bytes scoped = Tlv(0x30, Cat({Tlv(0x04, engine), Tlv(0x04, {}), pdu}));
  Bytes security = Tlv(
      0x30, Cat({Tlv(0x04, engine), Int(1), Int(10), Tlv(0x04, {}), Tlv(0x04, {}), Tlv(0x04, {})}));
  Bytes header = Tlv(0x30, Cat({Int(msgId), Int(65507), Tlv(0x04, {0x00}), Int(3)}));
  return Tlv(0x30, Cat({Int(3), header, Tlv(0x04, security), scoped}));
}

}  // namespace

TEST(Usm, EveryProtocolCombinationRoundTripsAndEveryFlippedByteIsRefused) {
  for (Protocols p : AllProtocols()) {
    SCOPED_TRACE(std::to_string(p.auth) + "/" + std::to_string(p.priv));
    std::unique_ptr<SNMP_SecurityContext> client(User(p)), agent(User(p));
    ASSERT_EQ(client->getSetupError(), SNMP_ERR_SUCCESS);
    client->setAuthoritativeEngine(kEngine, sizeof(kEngine), 5, 1000);
    agent->setAuthoritativeEngine(kEngine, sizeof(kEngine), 5, 1000);

    SNMP_PDU request(SNMP_GET_REQUEST, 0x9ABCDEF0, SNMP_VERSION_3);
    request.bindVariable(new SNMP_Variable(kSysDescr, 9));
    Bytes wire = Encode(request, client.get());
    ASSERT_FALSE(wire.empty());
    SNMP_PDU decoded;
    ASSERT_TRUE(decoded.parse(wire.data(), wire.size(), agent.get(), 0));
    EXPECT_EQ(decoded.getRequestId(), 0x9ABCDEF0u);
    EXPECT_EQ(decoded.getMessageId(), 0x1ABCDEF0u);
    EXPECT_EQ(decoded.getSecurityLevel(), p.level());
    ASSERT_EQ(decoded.getNumVariables(), 1u);
    EXPECT_EQ(decoded.getVariable(0)->getNameLength(), 9u);
    // Two encodings of one request differ where privacy is on (fresh salt).
    if (p.priv) {
      EXPECT_NE(Encode(request, client.get()), wire);
    }

    if (p.level() == SNMP_SECURITY_NO_AUTH_NO_PRIV) continue;
    // Every byte is covered by the digest: a change anywhere is refused, or
    // leaves a message below the level it was sent at, which doRequest
    // never takes as an answer.
    for (size_t i = 0; i < wire.size(); i++) {
      Bytes bad = wire;
      bad[i] ^= 0x01;
      SNMP_PDU tampered;
      bool taken = tampered.parse(bad.data(), bad.size(), agent.get(), 0);
      EXPECT_TRUE(!taken || tampered.getSecurityLevel() < p.level()) << "byte " << i;
    }
  }
}

TEST(Usm, KeysFollowTheStandardsExamples) {
  // RFC 3414 A.3: pass phrase "maplesyrup", engine ID 00..02; the digest of
  // a message is the HMAC under the localised key given there.
  const uint8_t engine[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  struct Case {
    uint32_t auth;
    const EVP_MD *md;
    std::vector<uint8_t> localised;
  };
  const Case cases[] = {
      {SNMP_AUTH_MD5,
       EVP_md5(),
       {0x52, 0x6f, 0x5e, 0xed, 0x9f, 0xcc, 0xe2, 0x6f, 0x89, 0x64, 0xc2, 0x93, 0x07, 0x87, 0xd8,
        0x2b}},
      {SNMP_AUTH_SHA1, EVP_sha1(), {0x66, 0x95, 0xfe, 0xbc, 0x92, 0x88, 0xe3, 0x62, 0x82, 0x23,
                                    0x5f, 0xc7, 0x15, 0x1f, 0x12, 0x84, 0x97, 0xb3, 0x8f, 0x3f}},
  };
  for (const Case &c : cases) {
    uint32_t error;
    auto usm = kmsnmp::Usm::create("u", SNMP_SECURITY_AUTH_NO_PRIV, c.auth, "maplesyrup",
                                   SNMP_PRIV_NONE, nullptr, &error);
    ASSERT_TRUE(usm) << error;
    ASSERT_TRUE(usm->setEngine(engine, sizeof(engine), 0, 0));
    uint8_t message[40] = {};
    for (size_t i = 12; i < sizeof(message); i++) message[i] = static_cast<uint8_t>(i);
    ASSERT_TRUE(usm->sign(message, sizeof(message), 0));  // digest into bytes 0..11
    uint8_t zeroed[40];
    memcpy(zeroed, message, sizeof(zeroed));
    memset(zeroed, 0, 12);
    uint8_t expected[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    HMAC(c.md, c.localised.data(), static_cast<int>(c.localised.size()), zeroed, sizeof(zeroed),
         expected, &n);
    EXPECT_EQ(Bytes(message, message + 12), Bytes(expected, expected + 12));
    EXPECT_TRUE(usm->verify(message, sizeof(message), 0));
  }
}

TEST(Usm, SettingsThatMakeNoUserFailWithoutSending) {
  std::string longName(SNMP_MAX_USER_NAME_LENGTH + 1, 'n');
  struct Case {
    const char *what;
    SNMP_SecurityContext ctx;
  };
  Case cases[] = {
      {"short pass phrase", {"u", SNMP_SECURITY_AUTH_NO_PRIV, SNMP_AUTH_SHA1, "short", 0, nullptr}},
      {"no pass phrase", {"u", SNMP_SECURITY_AUTH_NO_PRIV, SNMP_AUTH_SHA1, nullptr, 0, nullptr}},
      {"privacy without a protocol",
       {"u", SNMP_SECURITY_AUTH_PRIV, SNMP_AUTH_SHA1, kAuthPass, SNMP_PRIV_NONE, kPrivPass}},
      {"authentication without a protocol",
       {"u", SNMP_SECURITY_AUTH_NO_PRIV, SNMP_AUTH_NONE, kAuthPass, 0, nullptr}},
      {"unknown protocol", {"u", SNMP_SECURITY_AUTH_NO_PRIV, 99, kAuthPass, 0, nullptr}},
      {"unknown level", {"u", 7, SNMP_AUTH_SHA1, kAuthPass, 0, nullptr}},
      {"long user name", {longName.c_str(), SNMP_SECURITY_NO_AUTH_NO_PRIV, 0, nullptr, 0, nullptr}},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.ctx.getSetupError(), SNMP_ERR_SECURITY_SETUP);
    UsmAgent t({SNMP_AUTH_SHA1, SNMP_PRIV_NONE});
    t.setSecurityContext(new SNMP_SecurityContext(c.ctx));
    SNMP_PDU *answer = nullptr;
    EXPECT_EQ(t.get(&answer), SNMP_ERR_SECURITY_SETUP);
    EXPECT_EQ(t.sends, 0);
  }
}

TEST(Usm, DiscoversTheEngineOnceAndLocalisesKeysOncePerEngine) {
  UsmAgent t({SNMP_AUTH_SHA256, SNMP_PRIV_AES128});
  for (int i = 0; i < 3; i++) {
    SNMP_PDU *answer = nullptr;
    ASSERT_EQ(t.get(&answer, 100 + i), SNMP_ERR_SUCCESS);
    EXPECT_EQ(Text(answer), "lab router");
    delete answer;
  }
  EXPECT_EQ(t.probes, 1);
  EXPECT_EQ(t.sends, 4);
  const SNMP_SecurityContext *ctx = t.getSecurityContext();
  EXPECT_EQ(ctx->getKeyLocalisations(), 1u);
  size_t length;
  const uint8_t *id = ctx->getAuthoritativeEngineId(&length);
  EXPECT_EQ(Bytes(id, id + length), Bytes(kEngine, kEngine + sizeof(kEngine)));
  EXPECT_EQ(ctx->getEngineBoots(), 5u);

  // A copy keeps the user and keys but meets its engine anew.
  SNMP_SecurityContext copy(*ctx);
  EXPECT_EQ(copy.getSetupError(), SNMP_ERR_SUCCESS);
  EXPECT_EQ(copy.getAuthoritativeEngineId(&length), nullptr);
  EXPECT_EQ(copy.getSecurityLevel(), SNMP_SECURITY_AUTH_PRIV);
}

TEST(Usm, ReportsEndTheRequestWithTheirOwnCode) {
  struct Case {
    uint32_t counter;
    uint32_t code;
  };
  const Case cases[] = {{1, SNMP_ERR_UNSUPPORTED_LEVEL},
                        {3, SNMP_ERR_UNKNOWN_USER},
                        {5, SNMP_ERR_WRONG_DIGEST},
                        {6, SNMP_ERR_DECRYPTION},
                        {9, SNMP_ERR_REPORT}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.counter);
    UsmAgent t({SNMP_AUTH_SHA1, SNMP_PRIV_DES});
    t.behave = [&](const SNMP_PDU &r) {
      return std::vector<Bytes>{t.report(r, c.counter, SNMP_SECURITY_NO_AUTH_NO_PRIV)};
    };
    SNMP_PDU *answer = reinterpret_cast<SNMP_PDU *>(1);
    EXPECT_EQ(t.get(&answer), c.code);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(t.sends, 2);  // the probe and one request: retrying would not help
  }
}

TEST(Usm, UnknownEngineAndTimeWindowReportsAreFollowedOnceEach) {
  struct Case {
    const char *what;
    uint32_t counter;
    uint32_t level;     // of the report
    int reportsBefore;  // then good answers
    uint32_t code;
    int requestSends;
  };
  const Case cases[] = {
      {"engine changed", UsmAgent::kUnknownEngine, SNMP_SECURITY_NO_AUTH_NO_PRIV, 1,
       SNMP_ERR_SUCCESS, 2},
      {"engine keeps being unknown", UsmAgent::kUnknownEngine, SNMP_SECURITY_NO_AUTH_NO_PRIV, 100,
       SNMP_ERR_ENGINE_DISCOVERY, 2},
      {"clock behind", 2, SNMP_SECURITY_AUTH_NO_PRIV, 1, SNMP_ERR_SUCCESS, 2},
      {"clock never in step", 2, SNMP_SECURITY_AUTH_NO_PRIV, 100, SNMP_ERR_NOT_IN_TIME_WINDOW, 2},
      {"unauthenticated time report", 2, SNMP_SECURITY_NO_AUTH_NO_PRIV, 1,
       SNMP_ERR_NOT_IN_TIME_WINDOW, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    UsmAgent t({SNMP_AUTH_SHA512, SNMP_PRIV_AES256});
    int reports = 0;
    t.behave = [&](const SNMP_PDU &r) {
      if (reports++ < c.reportsBefore) return std::vector<Bytes>{t.report(r, c.counter, c.level)};
      return std::vector<Bytes>{t.respond(r)};
    };
    SNMP_PDU *answer = nullptr;
    EXPECT_EQ(t.get(&answer), c.code);
    EXPECT_EQ(answer != nullptr, c.code == SNMP_ERR_SUCCESS);
    delete answer;
    EXPECT_EQ(t.sends - t.probes, c.requestSends);
  }
}

TEST(Usm, RestartedAgentIsFollowedWithoutAFailedRequest) {
  UsmAgent t({SNMP_AUTH_SHA256, SNMP_PRIV_AES128}, 3, 500000);
  SNMP_PDU *answer = nullptr;
  ASSERT_EQ(t.get(&answer), SNMP_ERR_SUCCESS);
  delete answer;
  // The agent reboots: boots up, time from 0. Our request's time is now
  // far off; the agent reports it (authenticated) and we follow.
  t.agent->setAuthoritativeEngine(kEngine, sizeof(kEngine), 4, 2);
  ASSERT_EQ(t.get(&answer), SNMP_ERR_SUCCESS);
  EXPECT_EQ(t.sends, 4);  // probe, request, request out of time, resent request
  delete answer;
  EXPECT_EQ(t.getSecurityContext()->getEngineBoots(), 4u);
  EXPECT_EQ(t.getSecurityContext()->getKeyLocalisations(), 1u);
}

TEST(Usm, HostileAgentGetsAClearCodeAndNeverData) {
  struct Case {
    const char *what;
    std::function<void(UsmAgent &)> arm;
    uint32_t code;
  };
  const Case cases[] = {
      {"empty engine ID",
       [](UsmAgent &t) {
         t.onProbe = [](const SNMP_PDU &r) { return DiscoveryReport(r.getMessageId(), {}); };
       },
       SNMP_ERR_ENGINE_DISCOVERY},
      {"10 KB engine ID",
       [](UsmAgent &t) {
         t.onProbe = [](const SNMP_PDU &r) {
           return DiscoveryReport(r.getMessageId(), Bytes(10240, 0x80));
         };
       },
       SNMP_ERR_ENGINE_DISCOVERY},
      {"boots at its maximum",
       [](UsmAgent &t) {
         t.agent->setAuthoritativeEngine(kEngine, sizeof(kEngine), kmsnmp::kUsmMaxBoots, 9);
       },
       SNMP_ERR_NOT_IN_TIME_WINDOW},
      {"forged answer (wrong digest)",
       [](UsmAgent &t) {
         t.behave = [&t](const SNMP_PDU &r) {
           Bytes wire = t.respond(r);
           wire[wire.size() - 3] ^= 0x40;
           return std::vector<Bytes>{wire};
         };
       },
       SNMP_ERR_BAD_RESPONSE_DIGEST},
      {"scoped PDU that does not decrypt",
       [](UsmAgent &t) {
         t.behave = [&t](const SNMP_PDU &r) {
           std::unique_ptr<SNMP_SecurityContext> other(User(t.protocols, "alice", "otherpriv9"));
           other->setAuthoritativeEngine(kEngine, sizeof(kEngine), 5, 1000);
           return std::vector<Bytes>{t.respond(r, other.get())};
         };
       },
       SNMP_ERR_RESPONSE_DECRYPT},
      {"answer without authentication",
       [](UsmAgent &t) {
         t.behave = [&t](const SNMP_PDU &r) {
           std::unique_ptr<SNMP_SecurityContext> plain(User({0, 0}));
           plain->setAuthoritativeEngine(kEngine, sizeof(kEngine), 5, 1000);
           return std::vector<Bytes>{t.respond(r, plain.get())};
         };
       },
       SNMP_ERR_TIMEOUT},
      {"flood of reports for other messages",
       [](UsmAgent &t) {
         t.behave = [&t](const SNMP_PDU &r) {
           SNMP_PDU other(SNMP_GET_REQUEST, r.getRequestId() + 1, SNMP_VERSION_3);
           Bytes report = t.report(other, 5, SNMP_SECURITY_NO_AUTH_NO_PRIV);
           return std::vector<Bytes>(1000, report);
         };
       },
       SNMP_ERR_TIMEOUT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    UsmAgent t({SNMP_AUTH_SHA256, SNMP_PRIV_AES128});
    c.arm(t);
    SNMP_PDU *answer = reinterpret_cast<SNMP_PDU *>(1);
    EXPECT_EQ(t.get(&answer), c.code);
    EXPECT_EQ(answer, nullptr);
    EXPECT_LE(t.sends, 8);  // probe, three attempts, the resends and the silence check
  }
}

TEST(Usm, ReplayedOldAnswerIsRefused) {
  UsmAgent t({SNMP_AUTH_MD5, SNMP_PRIV_NONE}, 5, 100000);
  SNMP_PDU *answer = nullptr;
  ASSERT_EQ(t.get(&answer), SNMP_ERR_SUCCESS);
  delete answer;
  // Answers stamped more than 150 s before the latest time seen.
  std::unique_ptr<SNMP_SecurityContext> old(User(t.protocols));
  old->setAuthoritativeEngine(kEngine, sizeof(kEngine), 5, 100000 - 151);
  t.behave = [&](const SNMP_PDU &r) { return std::vector<Bytes>{t.respond(r, old.get())}; };
  EXPECT_EQ(t.get(&answer, 78), SNMP_ERR_NOT_IN_TIME_WINDOW);
  EXPECT_EQ(answer, nullptr);
}
