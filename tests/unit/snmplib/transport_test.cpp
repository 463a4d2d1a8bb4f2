// SNMP_Transport::doRequest over a scripted transport: matching by request
// id, stale answers, retries, time-outs, undecodable answers, failures.
#include "kmsnmp/transport.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <set>

namespace {

const uint32_t kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};

// What one readMessage call does.
struct Step {
  enum Kind { Answer, Garbage, Nothing, Failure } kind;
  uint32_t requestId = 0;
  uint32_t command = SNMP_RESPONSE;
  uint32_t version = SNMP_VERSION_2C;
};

class ScriptedTransport : public SNMP_Transport {
 public:
  int readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *, int *,
                  SNMP_SecurityContextFinder) override {
    reads++;
    EXPECT_LE(timeout, lastTimeoutLimit);
    Step step = {Step::Nothing};
    if (!script.empty()) {
      step = script.front();
      script.pop_front();
    } else if (repeatForever) {
      step = *repeatForever;
    }
    switch (step.kind) {
      case Step::Answer: {
        auto *answer = new SNMP_PDU(step.command, step.requestId, step.version);
        auto *v = new SNMP_Variable(kSysUpTime, 9);
        v->setUnsigned(ASN_TIMETICKS, 42);
        answer->bindVariable(v);
        *pdu = answer;
        return 60;
      }
      case Step::Garbage:
        *pdu = nullptr;
        return 17;
      case Step::Nothing:
        return 0;
      case Step::Failure:
        return -1;
    }
    return -1;
  }

  int sendMessage(SNMP_PDU *pdu) override {
    sends++;
    sentIds.push_back(pdu->getRequestId());
    return sendResult;
  }

  std::deque<Step> script;
  std::unique_ptr<Step> repeatForever;
  std::vector<uint32_t> sentIds;
  int sendResult = 40;
  int sends = 0;
  int reads = 0;
  uint32_t lastTimeoutLimit = 100;
};

struct Request {
  Request(uint32_t id = 9, uint32_t version = SNMP_VERSION_2C)
      : pdu(SNMP_GET_REQUEST, id, version) {
    pdu.bindVariable(new SNMP_Variable(kSysUpTime, 9));
  }
  SNMP_PDU pdu;
};

class DoRequest : public ::testing::Test {
 protected:
  DoRequest() { t.setSecurityContext(new SNMP_SecurityContext("public")); }
  uint32_t run(uint32_t retries = 3) {
    uint32_t rc = t.doRequest(&req.pdu, &response, 100, retries);
    owned.reset(response);
    return rc;
  }
  ScriptedTransport t;
  Request req;
  SNMP_PDU *response = reinterpret_cast<SNMP_PDU *>(1);
  std::unique_ptr<SNMP_PDU> owned;
};

}  // namespace

TEST_F(DoRequest, SkipsStaleAnswersAndReturnsTheOneWithTheRequestId) {
  t.script = {{Step::Answer, 7}, {Step::Answer, 8}, {Step::Answer, 9}};
  ASSERT_EQ(run(), SNMP_ERR_SUCCESS);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->getRequestId(), 9u);
  EXPECT_EQ(response->getVariable(0)->GetValueAsUInt(), 42u);
  EXPECT_EQ(t.sends, 1);
  EXPECT_EQ(t.reads, 3);
}

TEST_F(DoRequest, SkipsAnswersOfAnotherCommandOrVersion) {
  t.script = {{Step::Answer, 9, SNMP_GET_REQUEST},
              {Step::Answer, 9, SNMP_RESPONSE, SNMP_VERSION_1},
              {Step::Answer, 9}};
  ASSERT_EQ(run(), SNMP_ERR_SUCCESS);
  EXPECT_EQ(response->getVersion(), SNMP_VERSION_2C);
  EXPECT_EQ(t.reads, 3);
}

TEST_F(DoRequest, RetriesWithTheSameIdAndAcceptsALateAnswer) {
  t.script = {{Step::Nothing}, {Step::Nothing}, {Step::Answer, 9}};
  ASSERT_EQ(run(), SNMP_ERR_SUCCESS);
  EXPECT_EQ(t.sends, 3);
  EXPECT_EQ(t.sentIds, (std::vector<uint32_t>{9, 9, 9}));
}

TEST_F(DoRequest, TimesOutAfterTheGivenNumberOfAttempts) {
  EXPECT_EQ(run(3), SNMP_ERR_TIMEOUT);
  EXPECT_EQ(response, nullptr);
  EXPECT_EQ(t.sends, 3);
  t.sends = 0;
  EXPECT_EQ(run(0), SNMP_ERR_TIMEOUT);  // 0 attempts still sends once
  EXPECT_EQ(t.sends, 1);
}

TEST_F(DoRequest, UndecodableAnswerEndsTheAttemptAndIsReportedAfterTheLast) {
  t.script = {{Step::Garbage}, {Step::Garbage}, {Step::Garbage}};
  EXPECT_EQ(run(3), SNMP_ERR_PARSE);
  EXPECT_EQ(t.sends, 3);
  EXPECT_EQ(t.reads, 3);

  t.script = {{Step::Garbage}, {Step::Answer, 9}};
  t.sends = 0;
  EXPECT_EQ(run(3), SNMP_ERR_SUCCESS);
  EXPECT_EQ(t.sends, 2);
}

TEST_F(DoRequest, TransportFailuresAreRetriedAndThenReported) {
  t.sendResult = -1;
  EXPECT_EQ(run(2), SNMP_ERR_COMM);
  EXPECT_EQ(t.sends, 2);
  EXPECT_EQ(t.reads, 0);

  t.sendResult = 40;
  t.sends = 0;
  t.script = {{Step::Failure}, {Step::Answer, 9}};
  EXPECT_EQ(run(2), SNMP_ERR_SUCCESS);
  EXPECT_EQ(t.sends, 2);
}

TEST_F(DoRequest, EndlessStaleAnswersCannotHoldTheCallerForever) {
  t.repeatForever = std::make_unique<Step>(Step{Step::Answer, 1});
  // The fake answers at once, so only the per-attempt bound ends each attempt.
  t.lastTimeoutLimit = 0xFFFFFFFFu;
  EXPECT_EQ(t.doRequest(&req.pdu, &response, 60000, 2), SNMP_ERR_TIMEOUT);
  EXPECT_EQ(response, nullptr);
  EXPECT_EQ(t.sends, 2);
  EXPECT_LE(t.reads, 2 * 256);
}

TEST_F(DoRequest, RefusesBadArgumentsWithoutSending) {
  EXPECT_EQ(t.doRequest(&req.pdu, nullptr, 100, 3), SNMP_ERR_PARAM);
  EXPECT_EQ(t.doRequest(nullptr, &response, 100, 3), SNMP_ERR_PARAM);
  EXPECT_EQ(response, nullptr);

  SNMP_PDU bulkInV1(SNMP_GET_BULK_REQUEST, 1, SNMP_VERSION_1);
  EXPECT_EQ(t.doRequest(&bulkInV1, &response, 100, 3), SNMP_ERR_ENCODE);

  t.setSecurityContext(nullptr);
  EXPECT_EQ(t.getSecurityContext(), nullptr);
  EXPECT_EQ(t.doRequest(&req.pdu, &response, 100, 3), SNMP_ERR_NO_CONTEXT);
  EXPECT_EQ(t.sends, 0);
}

TEST(SnmpTransport, OwnsItsSecurityContextAndKeepsVersionAndFlags) {
  ScriptedTransport t;
  EXPECT_EQ(t.getSnmpVersion(), SNMP_VERSION_2C);
  t.setSnmpVersion(SNMP_VERSION_1);
  EXPECT_EQ(t.getSnmpVersion(), SNMP_VERSION_1);
  auto *ctx = new SNMP_SecurityContext("public");
  t.setSecurityContext(ctx);
  t.setSecurityContext(ctx);  // the same one again must not delete it
  EXPECT_STREQ(t.getSecurityContext()->getCommunity(), "public");
  t.setSecurityContext(new SNMP_SecurityContext("other"));
  EXPECT_STREQ(t.getSecurityContext()->getCommunity(), "other");
  t.setParseFlags(SNMP_PARSE_CHECK_COMMUNITY);
  EXPECT_EQ(t.getParseFlags(), SNMP_PARSE_CHECK_COMMUNITY);
}

TEST(SnmpErrorText, KnownCodesHaveTextsAndOthersAGenericOne) {
  EXPECT_EQ(std::u16string(SNMPGetErrorText(SNMP_ERR_SUCCESS)), u"Success");
  EXPECT_EQ(std::u16string(SNMPGetErrorText(SNMP_ERR_TIMEOUT)), u"Request timed out");
  EXPECT_EQ(std::u16string(SNMPGetErrorText(SNMP_ERR_NOT_INCREASING)),
            u"Agent returned object names out of order");
  // Every code has its own text, so a user tells a wrong pass phrase from an
  // unknown user and a time-out.
  std::set<std::u16string> texts;
  for (uint32_t code = 0; code <= SNMP_ERR_BAD_ADDRESS; code++) {
    std::u16string text = SNMPGetErrorText(code);
    EXPECT_NE(text, u"Unknown error") << code;
    EXPECT_TRUE(texts.insert(text).second) << code;
  }
  EXPECT_EQ(std::u16string(SNMPGetErrorText(SNMP_ERR_BAD_ADDRESS + 1)), u"Unknown error");
  EXPECT_EQ(std::u16string(SNMPGetErrorText(0xFFFFFFFFu)), u"Unknown error");
}
