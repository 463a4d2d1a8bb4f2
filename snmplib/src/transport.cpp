// SNMP_Transport: security context ownership and the request protocol,
// with the user-based security model's discovery, time synchronisation and
// reports.
#include "kmsnmp/transport.h"

#include <chrono>
#include <cstring>
#include <new>

#include "usm.h"

namespace {

// Answers read in one attempt before it is given up. A transport that
// ignores its time-out (a host transport, a peer flooding stale answers or
// reports) cannot keep doRequest reading forever.
constexpr uint32_t kMaxAnswersPerAttempt = 256;

// `level`: the SNMPv3 security level the request went out with; a response
// at any other level is no answer to it (a forged one without
// authentication in particular).
bool Matches(const SNMP_PDU *request, uint32_t level, const SNMP_PDU *answer) {
  if (answer->getVersion() != request->getVersion()) return false;
  if (request->getVersion() == SNMP_VERSION_3) {
    // A report answers the message, whatever request id it carries (it may
    // not have been able to read it).
    if (answer->getMessageId() != request->getMessageId()) return false;
    if (answer->getCommand() == SNMP_REPORT) return true;
    if (answer->getSecurityLevel() != level) return false;
  }
  return answer->getCommand() == SNMP_RESPONSE && answer->getRequestId() == request->getRequestId();
}

// The level an SNMPv3 request goes out at: the context's, or the request's
// own when lower.
uint32_t RequestLevel(const SNMP_PDU *request, const kmsnmp::Usm *usm) {
  if (usm == nullptr) return SNMP_SECURITY_NO_AUTH_NO_PRIV;
  uint32_t level = usm->level();
  if (request->getSecurityLevel() != 0 && request->getSecurityLevel() < level)
    level = request->getSecurityLevel();
  return level;
}

// The counters an SNMPv3 report names in its first binding, and the result
// codes they stand for.
struct ReportCounter {
  uint32_t name[10];
  uint32_t length;
  uint32_t code;
};
constexpr ReportCounter kReportCounters[] = {
    {{1, 3, 6, 1, 6, 3, 15, 1, 1, 1},
     10,
     SNMP_ERR_UNSUPPORTED_LEVEL},  // usmStatsUnsupportedSecLevels
    {{1, 3, 6, 1, 6, 3, 15, 1, 1, 2}, 10, SNMP_ERR_NOT_IN_TIME_WINDOW},  // usmStatsNotInTimeWindows
    {{1, 3, 6, 1, 6, 3, 15, 1, 1, 3}, 10, SNMP_ERR_UNKNOWN_USER},        // usmStatsUnknownUserNames
    {{1, 3, 6, 1, 6, 3, 15, 1, 1, 4}, 10, SNMP_ERR_ENGINE_DISCOVERY},    // usmStatsUnknownEngineIDs
    {{1, 3, 6, 1, 6, 3, 15, 1, 1, 5}, 10, SNMP_ERR_WRONG_DIGEST},        // usmStatsWrongDigests
    {{1, 3, 6, 1, 6, 3, 15, 1, 1, 6}, 10, SNMP_ERR_DECRYPTION},          // usmStatsDecryptionErrors
    {{1, 3, 6, 1, 6, 3, 12, 1, 4}, 9, SNMP_ERR_UNKNOWN_CONTEXT},         // snmpUnavailableContexts
    {{1, 3, 6, 1, 6, 3, 12, 1, 5}, 9, SNMP_ERR_UNKNOWN_CONTEXT},         // snmpUnknownContexts
};

uint32_t ReportCode(const SNMP_PDU *report) {
  const SNMP_Variable *var = report->getVariable(0);
  if (var == nullptr) return SNMP_ERR_REPORT;
  for (const ReportCounter &c : kReportCounters) {
    // The counter's instance (.0) follows the name.
    if (var->getNameLength() >= c.length &&
        memcmp(var->getName(), c.name, c.length * sizeof(uint32_t)) == 0) {
      return c.code;
    }
  }
  return SNMP_ERR_REPORT;
}

bool Authenticated(const SNMP_PDU *pdu) {
  return pdu->getSecurityLevel() >= SNMP_SECURITY_AUTH_NO_PRIV;
}

}  // namespace

SNMP_Transport::SNMP_Transport() = default;

SNMP_Transport::~SNMP_Transport() = default;

void SNMP_Transport::setSecurityContext(SNMP_SecurityContext *ctx) {
  if (ctx != securityContext.get()) securityContext.reset(ctx);
  if (ctx == nullptr) return;
  if (ctx->getSecurityModel() == SNMP_SECURITY_MODEL_USM) {
    snmpVersion = SNMP_VERSION_3;
  } else if (snmpVersion == SNMP_VERSION_3) {
    snmpVersion = SNMP_VERSION_2C;
  }
}

SNMP_PDU *SNMP_Transport::decodeMessage(const uint8_t *data, size_t size) {
  auto *pdu = new (std::nothrow) SNMP_PDU();
  if (pdu == nullptr) {
    lastDecodeError_ = SNMP_ERR_PARSE;
    return nullptr;
  }
  if (!pdu->parse(data, size, securityContext.get(), parseFlags)) {
    lastDecodeError_ = pdu->getParseError();
    delete pdu;
    return nullptr;
  }
  return pdu;
}

uint32_t SNMP_Transport::exchange(SNMP_PDU *request, uint32_t level, SNMP_PDU **answerOut,
                                  uint32_t timeout_ms, uint32_t retries) {
  using Clock = std::chrono::steady_clock;
  uint32_t attempts = retries == 0 ? 1 : retries;
  uint32_t result = SNMP_ERR_TIMEOUT;
  for (uint32_t attempt = 0; attempt < attempts; attempt++) {
    if (sendMessage(request) <= 0) {
      result = SNMP_ERR_COMM;
      continue;
    }
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    result = SNMP_ERR_TIMEOUT;
    for (uint32_t read = 0; read < kMaxAnswersPerAttempt; read++) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left < 0) left = 0;
      if (read > 0 && left == 0) break;
      SNMP_PDU *answer = nullptr;
      lastDecodeError_ = SNMP_ERR_PARSE;
      int rc = readMessage(&answer, static_cast<uint32_t>(left), nullptr, nullptr, nullptr);
      if (rc < 0) {
        result = SNMP_ERR_COMM;
        break;
      }
      if (rc == 0) break;
      if (answer == nullptr) {
        result = lastDecodeError_;
        break;
      }
      if (Matches(request, level, answer)) {
        *answerOut = answer;
        return SNMP_ERR_SUCCESS;
      }
      delete answer;
    }
  }
  return result;
}

uint32_t SNMP_Transport::discoverEngine(const SNMP_PDU *request, uint32_t timeout_ms,
                                        uint32_t retries) {
  SNMP_PDU probe(SNMP_GET_REQUEST, request->getRequestId(), SNMP_VERSION_3);
  probe.setEngineProbe(true);
  SNMP_PDU *answer = nullptr;
  uint32_t rc = exchange(&probe, SNMP_SECURITY_NO_AUTH_NO_PRIV, &answer, timeout_ms, retries);
  if (rc != SNMP_ERR_SUCCESS) return rc;
  size_t length;
  const uint8_t *engine = answer->getEngineId(&length);
  if (!securityContext->usm()->setEngine(engine, length, answer->getEngineBoots(),
                                         answer->getEngineTime())) {
    rc = SNMP_ERR_ENGINE_DISCOVERY;
  }
  delete answer;
  return rc;
}

uint32_t SNMP_Transport::explainSilence(const SNMP_PDU *request, uint32_t timeout_ms) {
  // Agents commonly drop a message whose scoped PDU does not decrypt,
  // without a report, so a wrong privacy pass phrase looks like a dead
  // agent. One empty request without privacy tells them apart: an
  // authenticated answer shows the agent alive and the authentication key
  // right, which leaves the privacy key (or protocol).
  SNMP_PDU check(SNMP_GET_REQUEST, request->getRequestId(), SNMP_VERSION_3);
  check.setSecurityLevel(SNMP_SECURITY_AUTH_NO_PRIV);
  SNMP_PDU *answer = nullptr;
  uint32_t rc = exchange(&check, SNMP_SECURITY_AUTH_NO_PRIV, &answer, timeout_ms, 1);
  bool alive = rc == SNMP_ERR_SUCCESS && Authenticated(answer);
  delete answer;
  return alive ? SNMP_ERR_DECRYPTION : SNMP_ERR_TIMEOUT;
}

uint32_t SNMP_Transport::doRequest(SNMP_PDU *request, SNMP_PDU **response, uint32_t timeout_ms,
                                   uint32_t retries) {
  if (response == nullptr) return SNMP_ERR_PARAM;
  *response = nullptr;
  if (request == nullptr) return SNMP_ERR_PARAM;
  if (!securityContext) return SNMP_ERR_NO_CONTEXT;
  kmsnmp::Usm *usm = nullptr;
  if (securityContext->getSecurityModel() == SNMP_SECURITY_MODEL_USM) {
    if (securityContext->getSetupError() != SNMP_ERR_SUCCESS)
      return securityContext->getSetupError();
    if (request->getVersion() != SNMP_VERSION_3) return SNMP_ERR_ENCODE;
    usm = securityContext->usm();
    if (!usm->engineKnown()) {
      uint32_t rc = discoverEngine(request, timeout_ms, retries);
      if (rc != SNMP_ERR_SUCCESS) return rc;
    }
  }
  if (request->encodedSize(securityContext.get()) == 0) return SNMP_ERR_ENCODE;

  const uint32_t level = RequestLevel(request, usm);
  bool engineRelearnt = false;
  bool timeResynchronised = false;
  for (;;) {
    SNMP_PDU *answer = nullptr;
    uint32_t rc = exchange(request, level, &answer, timeout_ms, retries);
    if (rc == SNMP_ERR_TIMEOUT && level == SNMP_SECURITY_AUTH_PRIV)
      rc = explainSilence(request, timeout_ms);
    if (rc != SNMP_ERR_SUCCESS) return rc;
    if (answer->getCommand() == SNMP_RESPONSE) {
      if (usm != nullptr && Authenticated(answer))
        usm->noteEngineTime(answer->getEngineBoots(), answer->getEngineTime());
      *response = answer;
      return SNMP_ERR_SUCCESS;
    }
    // An SNMPv3 report on our request.
    rc = ReportCode(answer);
    size_t length;
    const uint8_t *engine = answer->getEngineId(&length);
    bool again = false;
    if (rc == SNMP_ERR_ENGINE_DISCOVERY && !engineRelearnt) {
      // The agent's engine is not (or no longer) the one we know.
      engineRelearnt = true;
      again = usm->setEngine(engine, length, answer->getEngineBoots(), answer->getEngineTime());
    } else if (rc == SNMP_ERR_NOT_IN_TIME_WINDOW && !timeResynchronised && Authenticated(answer)) {
      // The report is authenticated by the engine we know (the decoder made
      // sure), so its boots and time are the engine's own.
      timeResynchronised = true;
      again = usm->setEngine(engine, length, answer->getEngineBoots(), answer->getEngineTime());
    }
    delete answer;
    if (!again) return rc;
  }
}
