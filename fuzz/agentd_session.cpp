// Fuzz target: the reference agent's request handling. Arbitrary bytes reach
// one kmagent session (the session object the server runs per connection)
// over a socketpair: framing, login, version detection, every request
// handler, file uploads and downloads, the test trigger.
//
// Input byte 0 chooses the configuration and mode:
//   bit 0  the session is encrypted first (this side sends a real key
//          request) and the rest travels as the plaintext of envelopes;
//   bit 1  a secret is set (requests need a login first);
//   bit 2  encryption is required;
//   bit 3  the test trigger sends its bad messages;
//   bit 4  the session closes after its 5th answer;
//   bit 5  the server keeps request records;
//   bit 6  the port serves TLS too: the session looks at its first byte and
//          runs the TLS handshake for 0x16 (the input then starts with a
//          ClientHello; no handshake can finish against a fixed input, so
//          what is reached is the start of the session);
//   bit 7  with bit 6, TLS is required (legacy sessions are refused).
// Nothing the session could reach outside the process is allowed: no proxy
// hops, no service checks, no SNMP devices, no actions; the file area is a
// directory of its own with a 1 MiB upload limit.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "agent_server.h"
#include "agent_session.h"
#include "server_shared.h"
#include "session_feeder.h"
#include "support/test_pki.h"

namespace {

std::string g_filesDir;
KmTlsContextRef g_tls;  // the agent's side of a TLS session

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char dir[] = "/tmp/fuzz_agentd_XXXXXX";
  if (mkdtemp(dir) == nullptr) abort();
  g_filesDir = dir;
  atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(g_filesDir, ignored);
  });
  // A file to download.
  std::string path = g_filesDir + "/sample.txt";
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) abort();
  fputs("line one\nline two\n", f);
  fclose(f);
  fuzzfeed::ServerKey();
  std::filesystem::create_directory(g_filesDir + "/.pki");
  static const kmtest::TestPki pki(g_filesDir + "/.pki");
  std::string error;
  g_tls = KmTlsMakeServerContext({pki.server.cert, pki.server.key, ""}, &error);
  if (g_tls == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  kmagent::AgentConfig config;
  config.secret = (mode & 2) ? "fuzz-secret" : "";
  config.requireEncryption = (mode & 4) != 0;
  config.allowProxy = false;
  config.proxyAllowed.clear();
  config.serviceCheckAllowed.clear();
  config.snmpAllowed.clear();
  config.snmpTimeoutMs = 10;
  config.serviceCheckTimeoutMs = 10;
  config.filesDir = g_filesDir;
  config.maxUploadSize = 1u << 20;
  config.parameters = {{"Fuzz.Value", "42"}};
  config.lists = {{"Fuzz.List", {"a", "b"}}};
  config.sendOversizedMessage = config.sendWrongSizeMessage = config.sendUndecryptableMessage =
      (mode & 8) != 0;
  config.oversizedMessageSize = 4096;
  config.closeAfterRequests = (mode & 16) ? 5 : 0;
  config.keepRecords = (mode & 32) != 0;
  config.tls.require = (mode & 192) == 192;
  kmagent::detail::ServerShared shared(config);
  if ((mode & 64) != 0) shared.core.setTlsContext(g_tls);
  fuzzfeed::FeedSession(
      [&](int fd) {
        kmagent::detail::Session session(shared, fd, 1, 0x7F000001u, 40000);
        session.run();
      },
      data + 1, size - 1, (mode & 1) != 0, KMCP_VERSION);
  return 0;
}
