// Network service checks for MC_CHECK_SERVICE: a TCP connect to the target,
// optionally a request text, and a comparison of what the service answers
// with the expected text.
//
// Called on session threads; every wait is bounded and cut short by the
// server's stop.
#pragma once

#include <cstdint>
#include <string_view>

#include "kmbase/sync.h"

namespace kmagent::detail {

// VAR_SERVICE_STATUS values.
inline constexpr uint32_t kServiceOk = 0;
inline constexpr uint32_t kServiceCannotConnect = 1;
inline constexpr uint32_t kServiceBadResponse = 2;

// Default port of each service type (0 echo, 1 SSH, 2 POP3, 3 SMTP, 4 FTP,
// 5 HTTP); any other type takes that of type 0.
inline constexpr uint16_t kServicePorts[6] = {7, 22, 110, 25, 21, 80};
inline uint16_t DefaultServicePort(uint16_t serviceType) {
  return serviceType < 6 ? kServicePorts[serviceType] : kServicePorts[0];
}

// Most bytes of a response the check reads and compares: expected texts are
// a banner line or a status line.
inline constexpr size_t kMaxServiceResponse = 4096;
// Longest request and expected text a check accepts, bytes.
inline constexpr size_t kMaxServiceText = 4096;

// Connects to address:port (host order) within timeoutMs; sends `request`
// when it is not empty; when `expected` is not empty, reads for up to
// timeoutMs until the response holds at least as many bytes as `expected`
// (or the service closes) and compares its beginning with `expected`.
// Returns kServiceOk, kServiceCannotConnect (refused, unreachable, no
// connect in time, or the server stopped) or kServiceBadResponse (the send
// failed, or the response is short or different).
uint32_t CheckTcpService(uint32_t address, uint16_t port, std::string_view request,
                         std::string_view expected, uint32_t timeoutMs, const KmEvent &stop);

}  // namespace kmagent::detail
