// query_agent: connects to a monitoring agent, logs in with a shared secret,
// reads a few parameters and prints them.
//
//   query_agent HOST PORT [PARAM...]
//
// The secret comes from the environment variable KM_AGENT_SECRET (a secret on
// the command line would be visible in the process list); without it the
// session does not log in. Without PARAM the agent's version and host name are
// read. Exit status: 0 every parameter was read, 1 the connection or a
// request failed, 2 usage error.
#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kmbase/text.h"
#include "kmsrv/agent.h"
#include "kmsrv/result_codes.h"

namespace {

// The first IPv4 address of a host name or dotted address, in network byte
// order; false when it does not resolve.
bool Resolve(const char *host, uint32_t *address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo *found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *address = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

std::string ErrorText(uint32_t rcc) {
  return KmWideToUtf8(AgentErrorCodeToText(static_cast<int32_t>(rcc)));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s HOST PORT [PARAM...]\n"
                         "  (the shared secret is taken from KM_AGENT_SECRET)\n", argv[0]);
    return 2;
  }
  uint32_t address = 0;
  if (!Resolve(argv[1], &address)) {
    std::fprintf(stderr, "query_agent: cannot resolve '%s'\n", argv[1]);
    return 2;
  }
  char *end = nullptr;
  const unsigned long port = std::strtoul(argv[2], &end, 10);
  if (*argv[2] == '\0' || *end != '\0' || port == 0 || port > 65535) {
    std::fprintf(stderr, "query_agent: bad port '%s'\n", argv[2]);
    return 2;
  }
  std::vector<std::string> names(argv + 3, argv + argc);
  if (names.empty()) names = {"Agent.Version", "System.Hostname"};

  const char *secret = std::getenv("KM_AGENT_SECRET");
  std::u16string wideSecret = secret != nullptr ? KmUtf8ToWide(secret) : u"";
  // SHA-1 login when there is a secret; the session starts in clear and is
  // encrypted only if the agent demands it and a server key is given (none
  // here: such an agent refuses this client).
  auto conn = std::make_unique<AgentConnection>(
      address, static_cast<uint16_t>(port),
      secret != nullptr ? AUTH_METHOD_SHA1 : AUTH_METHOD_NONE, wideSecret.c_str());
  // The connection keeps its own copy.
  std::fill(wideSecret.begin(), wideSecret.end(), u'\0');
  conn->setConnectionTimeout(5000);
  conn->setCommandTimeout(5000);

  uint32_t rcc = 0;
  uint32_t socketError = 0;
  if (!conn->connect(nullptr, false, &rcc, &socketError)) {
    std::fprintf(stderr, "query_agent: cannot connect to %s:%lu: %s (%u)%s%s\n", argv[1], port,
                 ErrorText(rcc).c_str(), rcc, socketError != 0 ? ": " : "",
                 socketError != 0 ? std::strerror(static_cast<int>(socketError)) : "");
    return 1;
  }
  std::printf("connected to %s:%lu, protocol version %d\n", argv[1], port,
              conn->getProtocolVersion());

  int status = 0;
  for (const std::string &name : names) {
    char16_t value[1024];
    rcc = conn->getParameter(KmUtf8ToWide(name).c_str(), 1024, value);
    if (rcc == RCC_SUCCESS) {
      std::printf("%s = %s\n", name.c_str(), KmWideToUtf8(value).c_str());
    } else {
      std::fprintf(stderr, "query_agent: %s: %s (%u)\n", name.c_str(), ErrorText(rcc).c_str(),
                   rcc);
      status = 1;
    }
  }
  conn->disconnectAndWait();
  return status;
}
