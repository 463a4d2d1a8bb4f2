// Names of KMCP message codes, from the one list in kmbase/kmcp.h, and of
// errno values.
#include <cstring>

#include "kmbase/kmcp.h"
#include "kmbase/text.h"

char16_t *KMCPMessageCodeName(uint16_t code, char16_t *buf) {
  switch (code) {
#define KMCP_CODE_NAME(name, value)                    \
  case value:                                          \
    km_strlcpy16(buf, u"" #name, KMCP_CODE_NAME_SIZE); \
    return buf;
    KMCP_MESSAGE_CODES(KMCP_CODE_NAME)
#undef KMCP_CODE_NAME
    default:
      km_snprintf16(buf, KMCP_CODE_NAME_SIZE, u"MC_0x%04X", unsigned(code));
      return buf;
  }
}

std::string KmErrorText(int err) {
  char buf[256];
  // GNU strerror_r: returns the text, which may or may not be in buf.
  return strerror_r(err, buf, sizeof(buf));
}
