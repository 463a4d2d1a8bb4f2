// Login checking of the agent: one MC_LOGIN against the configured shared
// secret, for every authentication method the server side sends.
//
// CheckLogin is pure (no I/O, no shared state); LoginThrottle has a lock of
// its own. Any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "agent_server.h"
#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"

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

// Failed logins per source address, for the delay before each failure is
// answered: guessing gets slower the more a connection, or any connection
// from its address, has failed. An address's failures are forgotten a
// minute after its last one; at most kMaxAddresses are remembered (the
// oldest go first). Any thread.
class LoginThrottle {
 public:
  static constexpr size_t kMaxAddresses = 4096;
  static constexpr auto kForgetAfter = std::chrono::seconds(60);

  // baseDelayMs: the delay of a second failure; each further one doubles
  // it, up to 16 times as long. 0: no delay.
  explicit LoginThrottle(uint32_t baseDelayMs) : baseMs_(baseDelayMs) {}
  // Records a failed login from address (host order), the connection's
  // sessionFailures-th; the ms to wait before answering it (0 for the
  // first failure of both the connection and the address).
  uint32_t failed(uint32_t address, uint32_t sessionFailures);

 private:
  struct Entry {
    uint32_t failures;
    std::chrono::steady_clock::time_point last;
  };
  const uint32_t baseMs_;
  KmMutex lock_;
  // Guarded by lock_; session threads.
  std::unordered_map<uint32_t, Entry> byAddress_ KM_GUARDED_BY(lock_);
};

}  // namespace kmagent::detail
