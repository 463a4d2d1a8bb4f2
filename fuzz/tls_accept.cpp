// Fuzz target: the start of a session on a port that takes TLS and legacy
// sessions. Arbitrary bytes arrive over a socketpair at the answering side,
// which tells TLS from legacy KMCP by the first byte (KmPeekSessionStart),
// runs the TLS handshake (KmTlsAccept) for the former and then, as for the
// latter, reads messages (RecvKMCPMessage) until the input ends.
//
// Input byte 0 chooses the server's settings: bit 0 requires a client
// certificate. The rest is what the peer sends; the peer's side then closes,
// so every step ends by itself (the deadline is a safety net).
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kmbase/net.h"
#include "kmbase/tls.h"
#include "support/test_pki.h"

namespace {

std::string g_dir;
KmTlsContextRef g_plain;       // certificate only
KmTlsContextRef g_clientCert;  // callers must present a certificate

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char dir[] = "/tmp/fuzz_tls_XXXXXX";
  if (mkdtemp(dir) == nullptr) abort();
  g_dir = dir;
  atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
  });
  static const kmtest::TestPki pki(g_dir);
  if (!pki.ok()) abort();
  std::string error;
  g_plain = KmTlsMakeServerContext({pki.server.cert, pki.server.key, ""}, &error);
  g_clientCert = KmTlsMakeServerContext({pki.server.cert, pki.server.key, pki.caCert}, &error);
  if (g_plain == nullptr || g_clientCert == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const KmTlsContextRef &context = (data[0] & 1) != 0 ? g_clientCert : g_plain;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();

  // The peer: writes the input and closes its write side; reads and drops
  // what the answering side sends (a ServerHello, alerts).
  std::thread peer([fd = fds[1], bytes = std::vector<uint8_t>(data + 1, data + size)] {
    SendEx(fd, bytes.data(), bytes.size(), 0, nullptr);
    shutdown(fd, SHUT_WR);
    char sink[4096];
    while (recv(fd, sink, sizeof(sink), 0) > 0) {
    }
  });

  const SOCKET sock = fds[0];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  bool serve = false;
  switch (KmPeekSessionStart(sock, deadline)) {
    case KmSessionStart::Tls:
      serve = KmTlsAccept(sock, context, deadline) == KmTlsFailure::None;
      break;
    case KmSessionStart::Kmcp:
      serve = true;
      break;
    case KmSessionStart::Closed:
    case KmSessionStart::Timeout:
      break;
  }
  if (serve) {
    auto state = std::make_unique<CSCP_BUFFER>();
    RecvKMCPMessage(INVALID_SOCKET, nullptr, state.get(), 0, nullptr, nullptr, 0);
    std::vector<uint8_t> buffer(65536);
    for (int i = 0; i < 64; i++) {
      const int r =
          RecvKMCPMessage(sock, reinterpret_cast<KMCP_MESSAGE *>(buffer.data()), state.get(),
                          static_cast<uint32_t>(buffer.size()), nullptr, nullptr, 1000);
      if (r <= 0 || r == KMCP_RECV_TIMEOUT) break;
    }
  }
  KmSocketShutdown(sock, SHUT_RDWR);
  peer.join();
  KmSocketClose(sock);
  close(fds[1]);
  return 0;
}
