// SNMP_Transport: security context ownership and the request protocol.
#include "kmsnmp/transport.h"

#include <chrono>

namespace {

// Answers read in one attempt before it is given up. A transport that
// ignores its time-out (a host transport, a peer flooding stale answers)
// cannot keep doRequest reading forever.
constexpr uint32_t kMaxAnswersPerAttempt = 256;

bool Matches(const SNMP_PDU *request, const SNMP_PDU *answer) {
  return answer->getCommand() == SNMP_RESPONSE &&
         answer->getRequestId() == request->getRequestId() &&
         answer->getVersion() == request->getVersion();
}

}  // namespace

SNMP_Transport::SNMP_Transport() = default;

SNMP_Transport::~SNMP_Transport() = default;

void SNMP_Transport::setSecurityContext(SNMP_SecurityContext *ctx) {
  if (ctx != securityContext.get()) securityContext.reset(ctx);
}

uint32_t SNMP_Transport::doRequest(SNMP_PDU *request, SNMP_PDU **response, uint32_t timeout_ms,
                                   uint32_t retries) {
  if (response == nullptr) return SNMP_ERR_PARAM;
  *response = nullptr;
  if (request == nullptr) return SNMP_ERR_PARAM;
  if (!securityContext) return SNMP_ERR_NO_CONTEXT;
  if (request->encodedSize(securityContext.get()) == 0) return SNMP_ERR_ENCODE;

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
      int rc = readMessage(&answer, static_cast<uint32_t>(left), nullptr, nullptr, nullptr);
      if (rc < 0) {
        result = SNMP_ERR_COMM;
        break;
      }
      if (rc == 0) break;
      if (answer == nullptr) {
        result = SNMP_ERR_PARSE;
        break;
      }
      if (Matches(request, answer)) {
        *response = answer;
        return SNMP_ERR_SUCCESS;
      }
      delete answer;
    }
  }
  return result;
}
