// The byte relay of a proxy hop: once the agent has opened the hop to the
// target agent, it copies bytes both ways between the session's socket and
// the target's until either side closes.
//
// Runs on the session thread. Another thread ends it early by shutting either
// socket down.
#pragma once

#include <cstdint>
#include <span>

#include "kmbase/net.h"

namespace kmagent::detail {

// Bytes buffered per direction: one read of either side, and all the relay
// ever holds for a hop.
inline constexpr size_t kRelayBufferSize = 65536;

// Why a relay ended.
enum class RelayEnd {
  ClientClosed,  // the session's peer closed or failed
  TargetClosed,  // the target closed or failed
  Idle,          // neither side sent anything for idleTimeoutMs
};

// Relays between client and target until either side closes or fails, or
// nothing moves for idleTimeoutMs (0: no limit). toTarget holds bytes the
// session had already read from the client beyond its last request; they go
// to the target first (at most kRelayBufferSize). Both sockets may be
// blocking; the relay never blocks on one while the other has data to move.
// Leaves both sockets open.
RelayEnd RelayStreams(SOCKET client, SOCKET target, std::span<const uint8_t> toTarget,
                      uint32_t idleTimeoutMs);

}  // namespace kmagent::detail
