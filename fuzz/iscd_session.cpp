// Fuzz target: the reference ISC peer's request handling. Arbitrary bytes
// reach one kmisc peer session (the object the server runs per connection)
// over a socketpair: framing, version detection, key exchange, service
// connection, echo.
//
// Input byte 0 chooses the configuration and mode:
//   bit 0  the session is encrypted first (this side sends a real key
//          request) and the rest travels as the plaintext of envelopes;
//   bit 1  encryption is required;
//   bit 2  every request but the key exchange is answered "encryption
//          required";
//   bit 3  the session closes after its 4th answer;
//   bit 4  version detection is answered as version 1 would (no answer for
//          bit 5 as well).
#include <cstdint>

#include "isc_peer_session.h"
#include "isc_server.h"
#include "session_feeder.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzfeed::ServerKey();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  kmisc::IscConfig config;
  config.echoServices = {1, 7};
  config.disabledServices = {2};
  config.requireEncryption = (mode & 2) != 0;
  config.alwaysDemandEncryption = (mode & 4) != 0;
  config.closeAfterAnswers = (mode & 8) ? 4 : 0;
  if (mode & 16) config.reportVersion = (mode & 32) ? -1 : 0;
  config.keepRecords = (mode & 64) != 0;
  kmpeer::ServerCore core(kmisc::detail::SettingsOf(config), nullptr);
  fuzzfeed::FeedSession(
      [&](int fd) {
        kmisc::detail::PeerSession session(core, config, fd, 1, 0x7F000001u, 40000);
        session.run();
      },
      data + 1, size - 1, (mode & 1) != 0, KMCP_VERSION);
  return 0;
}
