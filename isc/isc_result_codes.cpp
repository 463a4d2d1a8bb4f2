// Texts of the ISC result codes. The numbers are shared with ISC peers.
#include <iterator>

#include "kmsrv/isc.h"

namespace {

// Indexed by code; ISC_RESULT_SUCCESS .. ISC_RESULT_PEER_BUSY.
const char16_t *const kResultTexts[] = {
    u"Success",
    u"Unknown service",
    u"Request out of state",
    u"Service disabled",
    u"Encryption required",
    u"Connection broken",
    u"Already connected",
    u"Socket error",
    u"Connect failed",
    u"Invalid or incompatible KMCP version",
    u"Request timed out",
    u"Command or function not implemented",
    u"No suitable ciphers found",
    u"Invalid public key",
    u"Invalid session key",
    u"Internal error",
    u"Session setup failed",
    u"Object not found",
    u"Failed to post event",
    u"Peer busy: too many sessions",
    u"TLS session setup failed",
};
static_assert(std::size(kResultTexts) == ISC_RESULT_TLS_FAILED + 1);

}  // namespace

const char16_t *ISCErrorCodeToText(uint32_t code) {
  return code < std::size(kResultTexts) ? kResultTexts[code] : u"Unknown error code";
}
