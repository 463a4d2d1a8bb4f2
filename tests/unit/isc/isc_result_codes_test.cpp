#include <gtest/gtest.h>

#include <string>

#include "kmsrv/isc.h"

namespace {

std::u16string Text(uint32_t code) { return ISCErrorCodeToText(code); }

TEST(IscResultCodes, EveryCodeOfTheTableHasItsText) {
  // clang-format off
  const char16_t *expected[] = {
      u"Success", u"Unknown service", u"Request out of state", u"Service disabled",
      u"Encryption required", u"Connection broken", u"Already connected", u"Socket error",
      u"Connect failed", u"Invalid or incompatible KMCP version", u"Request timed out",
      u"Command or function not implemented", u"No suitable ciphers found",
      u"Invalid public key", u"Invalid session key", u"Internal error", u"Session setup failed",
      u"Object not found", u"Failed to post event", u"Peer busy: too many sessions"};
  // clang-format on
  for (uint32_t code = 0; code < std::size(expected); code++)
    EXPECT_EQ(Text(code), expected[code]) << "code " << code;
}

TEST(IscResultCodes, CodesPastTheTableAreUnknownIncludingTheLargest) {
  EXPECT_EQ(Text(ISC_RESULT_POST_EVENT_FAILED), u"Failed to post event");
  EXPECT_EQ(Text(ISC_RESULT_PEER_BUSY), u"Peer busy: too many sessions");
  EXPECT_EQ(Text(ISC_RESULT_TLS_FAILED), u"TLS session setup failed");
  EXPECT_EQ(Text(21), u"Unknown error code");
  EXPECT_EQ(Text(0x7FFFFFFF), u"Unknown error code");
  EXPECT_EQ(Text(0x80000000u), u"Unknown error code");
  EXPECT_EQ(Text(0xFFFFFFFFu), u"Unknown error code");
}

}  // namespace
