// Texts of the SNMP result codes.
#include "kmsnmp/result.h"

const char16_t *SNMPGetErrorText(uint32_t code) {
  static const char16_t *const kTexts[] = {
      u"Success",                                                                // 0
      u"Request timed out",                                                      // 1
      u"Invalid parameters",                                                     // 2
      u"No security context",                                                    // 3
      u"Communication error",                                                    // 4
      u"Unable to parse response",                                               // 5
      u"No such object",                                                         // 6
      u"Unable to encode request",                                               // 7
      u"Invalid object identifier",                                              // 8
      u"Agent error",                                                            // 9
      u"Unknown variable data type",                                             // 10
      u"Agent returned object names out of order",                               // 11
      u"Unknown user name",                                                      // 12
      u"Authentication failure (wrong authentication pass phrase or protocol)",  // 13
      u"Decryption error (wrong privacy pass phrase or protocol)",               // 14
      u"Security level not supported for this user",                             // 15
      u"Not in time window (engine boots and time could not be synchronised)",   // 16
      u"Engine ID discovery failed",                                             // 17
      u"Unknown or unavailable context",                                         // 18
      u"Agent reported an error",                                                // 19
      u"Response failed authentication (forged or corrupted)",                   // 20
      u"Response could not be decrypted",                                        // 21
      u"Invalid or unsupported security settings",                               // 22
      u"Invalid transport address",                                              // 23
  };
  if (code < sizeof(kTexts) / sizeof(kTexts[0])) return kTexts[code];
  return u"Unknown error";
}

// Callers of the SNMP helpers test for these numbers.
static_assert(SNMP_ERR_SUCCESS == 0 && SNMP_ERR_COMM == 4 && SNMP_ERR_NO_OBJECT == 6 &&
              SNMP_ERR_BAD_OID == 8 && SNMP_ERR_AGENT == 9 && SNMP_ERR_BAD_TYPE == 10);
