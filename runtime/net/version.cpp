// Protocol version detection: one MC_GET_KMCP_CAPS request and its answer on
// a fresh connection, read byte-exactly so that nothing of what follows the
// answer is consumed.
#include <arpa/inet.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "kmbase/byte_order.h"
#include "kmbase/message.h"
#include "net_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads exactly len bytes before deadline; false on close, error or time-out.
bool recvExact(SOCKET sock, uint8_t *buf, size_t len, Clock::time_point deadline) {
  size_t have = 0;
  while (have < len) {
    ssize_t n = kmnet::recvSome(sock, buf + have, len - have);
    if (n > 0) {
      have += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) {
      kmnet::setLastError(ECONNRESET);
      return false;
    }
    if (n == kmnet::kFailed) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      kmnet::setLastError(ETIMEDOUT);
      return false;
    }
    int waitMs = left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
    if (kmnet::waitFor(sock, POLLIN, waitMs) == kmnet::Wait::Failed) return false;
  }
  return true;
}

}  // namespace

int KMCPGetPeerProtocolVersion(SOCKET sock, int *version, KmMutex *sendLock, uint32_t timeout_ms) {
  if (version == nullptr) {
    kmnet::setLastError(EINVAL);
    return 0;
  }
  const auto deadline = timeout_ms == KM_INFINITE
                            ? Clock::time_point::max()
                            : Clock::now() + std::chrono::milliseconds(timeout_ms);

  CSCPMessage request(KMCP_VERSION);
  request.SetCode(MC_GET_KMCP_CAPS);
  request.SetId(KMCP_VERSION_REQUEST_ID);
  request.SetVariable(VAR_KMCP_VERSION, static_cast<uint32_t>(KMCP_VERSION));
  if (!SendKMCPMessage(sock, request, nullptr, sendLock)) return 0;

  // The header first, then exactly the rest its size announces.
  uint8_t answer[KMCP_VERSION_ANSWER_MAX_SIZE];
  if (!recvExact(sock, answer, KMCP_HEADER_SIZE, deadline)) return 0;
  const uint32_t size = KmLoadBe32(answer + 4);
  if (size < KMCP_HEADER_SIZE || size > KMCP_VERSION_ANSWER_MAX_SIZE) {
    kmnet::setLastError(EPROTO);
    return 0;
  }
  if (!recvExact(sock, answer + KMCP_HEADER_SIZE, size - KMCP_HEADER_SIZE, deadline)) return 0;

  std::unique_ptr<CSCPMessage> reply = CSCPMessage::decode(std::span<const uint8_t>(answer, size),
                                                           KMCP_VERSION);
  if (reply == nullptr || reply->GetId() != KMCP_VERSION_REQUEST_ID) {
    kmnet::setLastError(EPROTO);
    return 0;
  }
  KmcpFieldType type;
  if (reply->GetCode() == MC_REQUEST_COMPLETED && reply->GetVariableType(VAR_KMCP_REFUSED, &type)) {
    kmnet::setLastError(EBUSY);  // turned away: too many sessions
    return 0;
  }
  const bool hasVersion = reply->GetVariableType(VAR_KMCP_VERSION, &type);
  if (reply->GetCode() == MC_REQUEST_COMPLETED && !hasVersion) {
    *version = 1;  // a peer that does not know the request
    return 1;
  }
  if (reply->GetCode() != MC_GET_KMCP_CAPS || !hasVersion || type != KmcpFieldType::Int32) {
    kmnet::setLastError(EPROTO);
    return 0;
  }
  const uint32_t peerVersion = reply->GetVariableLong(VAR_KMCP_VERSION);
  if (peerVersion < 1 || peerVersion > INT_MAX) {
    kmnet::setLastError(EPROTO);
    return 0;
  }
  *version = static_cast<int>(peerVersion);
  return 1;
}

bool KMCPAnswerProtocolVersion(SOCKET sock, uint32_t requestId, int reportedVersion,
                               KmMutex *sendLock) {
  CSCPMessage answer(KMCP_VERSION);
  answer.SetCode(MC_GET_KMCP_CAPS);
  answer.SetId(requestId);
  answer.SetVariable(VAR_KMCP_VERSION, static_cast<uint32_t>(reportedVersion));
  return SendKMCPMessage(sock, answer, nullptr, sendLock);
}
