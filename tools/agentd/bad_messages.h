// The broken messages the agent sends on purpose (BadMessage), as bytes ready
// for the socket.
//
// Pure apart from the encryption context, whose send counter advances when
// one is given: call under the session's send lock, like every other send,
// so that envelopes leave in counter order.
#pragma once

#include <cstdint>
#include <vector>

#include "agent_server.h"

class KMCPEncryptionContext;

namespace kmagent::detail {

// The bytes of one bad message of `kind` for a session that encrypts with
// ctx (null: a clear session). Oversized uses oversizedSize (16 to
// KMCP_MAX_MESSAGE_SIZE) as the size of the message before encryption.
// Empty when memory or the cipher fails.
std::vector<uint8_t> BuildBadMessage(BadMessage kind, KMCPEncryptionContext *ctx,
                                     uint32_t oversizedSize);

}  // namespace kmagent::detail
