// One ISC session on the peer side: the requests and the echo service.
#include "isc_peer_session.h"

#include <algorithm>

#include "kmbase/message.h"
#include "kmsrv/isc.h"
#include "kmsrv/protocol.h"

namespace kmisc::detail {

namespace {

bool Contains(const std::vector<uint32_t> &ids, uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

PeerSession::Next PeerSession::handle(CSCPMessage &request, bool encrypted) {
  switch (request.GetCode()) {
    case MC_GET_KMCP_CAPS:
      // A peer that does not know version detection answers "not implemented".
      return answerVersion(request.GetId(), ISC_RESULT_NOT_IMPLEMENTED);
    case MC_REQUEST_SESSION_KEY:
      if (config_.neverAnswer) return Next::Continue;
      return answerKeyRequest(request);
    default:
      if (config_.neverAnswer) return Next::Continue;
      return answerRequest(request, encrypted);
  }
}

uint32_t PeerSession::serviceResult(const CSCPMessage &request) const {
  KmcpFieldType type;
  if (!request.GetVariableType(VAR_SERVICE_ID, &type) || type != KmcpFieldType::Int32)
    return ISC_RESULT_UNKNOWN_SERVICE;
  const uint32_t service = request.GetVariableLong(VAR_SERVICE_ID);
  if (Contains(config_.echoServices, service)) return ISC_RESULT_SUCCESS;
  if (Contains(config_.disabledServices, service)) return ISC_RESULT_SERVICE_DISABLED;
  return ISC_RESULT_UNKNOWN_SERVICE;
}

PeerSession::Next PeerSession::answerRequest(CSCPMessage &request, bool encrypted) {
  const uint16_t code = request.GetCode();
  const uint32_t id = request.GetId();
  if (config_.alwaysDemandEncryption || (config_.requireEncryption && (!secured() || !encrypted)))
    return reply(id, ISC_RESULT_ENCRYPTION_REQUIRED);
  admit();

  if (serviceConnected_) {
    // The echo service: the message comes back with its fields, as the
    // completion of itself.
    request.SetCode(MC_REQUEST_COMPLETED);
    request.SetVariable(VAR_RCC, ISC_RESULT_SUCCESS);
    return send(request);
  }
  switch (code) {
    case MC_KEEPALIVE:
      return reply(id, ISC_RESULT_SUCCESS);
    case MC_ISC_CONNECT_TO_SERVICE: {
      const uint32_t rcc = serviceResult(request);
      if (rcc != ISC_RESULT_SUCCESS) {
        logf(LogLevel::Info, "service %u refused (%u)", request.GetVariableLong(VAR_SERVICE_ID),
             rcc);
        return reply(id, rcc);
      }
      // In service from the answer on: a message sent to the session can
      // neither overtake the answer nor find the session not yet in service
      // once the client has the answer.
      CSCPMessage answer(version());
      answer.SetCode(MC_REQUEST_COMPLETED);
      answer.SetId(id);
      answer.SetVariable(VAR_RCC, rcc);
      const Next next = sendReady(answer);
      serviceConnected_ = next == Next::Continue;
      return next;
    }
    case MC_REQUEST_COMPLETED:
    case MC_SESSION_KEY:
      return Next::Continue;  // answers are never answered
    default:
      // Service requests before a service is connected.
      return reply(id, ISC_RESULT_REQUEST_OUT_OF_STATE);
  }
}

}  // namespace kmisc::detail
