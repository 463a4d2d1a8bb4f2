// Login checking of the agent: one MC_LOGIN against the configured shared
// secret, for every authentication method the server side sends.
//
// Pure (no I/O, no shared state): any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "agent_server.h"

class CSCPMessage;

namespace kmagent::detail {

// Authentication methods carried in VAR_AUTH_METHOD.
inline constexpr uint16_t kAuthNone = 0;
inline constexpr uint16_t kAuthClearText = 1;  // secret as a string field
inline constexpr uint16_t kAuthMd5 = 2;        // MD5 of the secret, 16 bytes
inline constexpr uint16_t kAuthSha1 = 3;       // SHA-1 of the secret, 20 bytes

// The longest secret a peer can send: secrets travel as at most 63 bytes of
// text plus a terminator.
inline constexpr size_t kMaxSecretBytes = 63;
// How much of a presented secret a record keeps: more than any real secret,
// little enough that 4096 records of hostile logins stay small.
inline constexpr size_t kMaxRecordedSecret = 256;

// Checks `login` (an MC_LOGIN) against `secret` (bytes in the process code
// page). Returns RCC_SUCCESS or RCC_AUTH_FAILED:
// - an empty secret accepts every login, whatever it carries;
// - method 1 needs a string field whose code page form equals the secret;
// - methods 2 and 3 need a binary field of exactly 16 / 20 bytes equal to the
//   MD5 / SHA-1 digest of the secret's bytes;
// - method 0, any other method, a missing field or a field of another type
//   fail.
// Comparisons take the same time whatever bytes differ. Fills *record (when
// given) with the method and up to kMaxRecordedSecret units / bytes of what
// the field carried; its session and result are left to the caller.
uint32_t CheckLogin(const CSCPMessage &login, std::string_view secret, LoginRecord *record);

}  // namespace kmagent::detail
