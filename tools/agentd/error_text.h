// The system's text for an errno value, safe to call from any thread
// (strerror() is not).
#pragma once

#include <cstring>
#include <string>

namespace kmagent {

inline std::string ErrorText(int err) {
  char buf[256];
  // GNU strerror_r: returns the text, which may or may not be in buf.
  return strerror_r(err, buf, sizeof(buf));
}

}  // namespace kmagent
