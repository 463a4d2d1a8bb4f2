// The peer end of one ISC session inside IscServer, on the shared peer
// session (tools/common/peer_session.h), which runs its thread, receive
// loop, key exchange and send path. This class adds the ISC requests:
// keepalive, the service request and the echo service; the session takes
// unsolicited messages once it is connected to a service.
#pragma once

#include <cstdint>

#include "isc_server.h"
#include "peer_session.h"

namespace kmisc::detail {

// The core's session rules of a configuration.
kmpeer::SessionSettings SettingsOf(const IscConfig &config);

class PeerSession final : public kmpeer::PeerSession {
 public:
  // Takes ownership of sock (a connected TCP socket).
  PeerSession(kmpeer::ServerCore &core, const IscConfig &config, SOCKET sock, uint64_t number,
              uint32_t peerAddress, uint16_t peerPort)
      : kmpeer::PeerSession(core, sock, number, peerAddress, peerPort), config_(config) {}

 private:
  Next handle(CSCPMessage &request, bool encrypted) override;
  Next answerRequest(CSCPMessage &request, bool encrypted);
  uint32_t serviceResult(const CSCPMessage &request) const;

  const IscConfig &config_;  // the server's; read-only
  // Session thread only.
  bool serviceConnected_ = false;
};

}  // namespace kmisc::detail
