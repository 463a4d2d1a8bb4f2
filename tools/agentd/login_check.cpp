#include "login_check.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdlib>
#include <span>
#include <string>

#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"

namespace kmagent::detail {
namespace {

// Constant-time equality of two byte strings; the length is not secret.
bool SameBytes(const void *a, size_t aLen, const void *b, size_t bLen) {
  return aLen == bLen && CRYPTO_memcmp(a, b, aLen) == 0;
}

bool CheckClearText(const CSCPMessage &login, std::string_view secret) {
  KmcpFieldType type;
  if (!login.GetVariableType(VAR_SHARED_SECRET, &type) || type != KmcpFieldType::String) {
    return false;
  }
  char16_t *text = login.GetVariableStr(VAR_SHARED_SECRET);
  if (text == nullptr) {
    return false;
  }
  const size_t length = km_strlen16(text);
  std::string narrow = KmWideToAnsi(std::u16string_view(text, length));
  const bool ok = SameBytes(narrow.data(), narrow.size(), secret.data(), secret.size());
  OPENSSL_cleanse(narrow.data(), narrow.size());
  OPENSSL_cleanse(text, length * sizeof(char16_t));
  std::free(text);
  return ok;
}

bool CheckDigest(const CSCPMessage &login, std::string_view secret, uint16_t method) {
  KmcpFieldType type;
  if (!login.GetVariableType(VAR_SHARED_SECRET, &type) || type != KmcpFieldType::Binary) {
    return false;
  }
  std::span<const uint8_t> presented = login.GetVariableBinaryView(VAR_SHARED_SECRET);
  uint8_t expected[20];
  size_t expectedLength;
  const auto *bytes = reinterpret_cast<const uint8_t *>(secret.data());
  if (method == kAuthMd5) {
    CalculateMD5Hash(bytes, secret.size(), expected);
    expectedLength = 16;
  } else {
    CalculateSHA1Hash(bytes, secret.size(), expected);
    expectedLength = 20;
  }
  const bool ok = SameBytes(presented.data(), presented.size(), expected, expectedLength);
  OPENSSL_cleanse(expected, sizeof(expected));
  return ok;
}

void Record(const CSCPMessage &login, uint16_t method, LoginRecord *record) {
  record->method = method;
  record->secretText.clear();
  record->secretBytes.clear();
  KmcpFieldType type;
  if (!login.GetVariableType(VAR_SHARED_SECRET, &type)) {
    return;
  }
  if (type == KmcpFieldType::String) {
    char16_t buffer[kMaxRecordedSecret + 1];
    if (login.GetVariableStr(VAR_SHARED_SECRET, buffer, kMaxRecordedSecret + 1) != nullptr) {
      record->secretText = buffer;
    }
    OPENSSL_cleanse(buffer, sizeof(buffer));
  } else if (type == KmcpFieldType::Binary) {
    std::span<const uint8_t> bytes = login.GetVariableBinaryView(VAR_SHARED_SECRET);
    const std::span<const uint8_t> kept = bytes.first(std::min(bytes.size(), kMaxRecordedSecret));
    record->secretBytes.assign(kept.begin(), kept.end());
  }
}

}  // namespace

uint32_t CheckLogin(const CSCPMessage &login, std::string_view secret, LoginRecord *record) {
  // A method field of another width is malformed: no method at all.
  uint16_t method = kAuthNone;
  const bool methodOk = login.GetVariableExact(VAR_AUTH_METHOD, &method);
  if (record != nullptr) {
    Record(login, method, record);
  }
  if (!methodOk) {
    return RCC_AUTH_FAILED;
  }
  if (secret.empty()) {
    return RCC_SUCCESS;
  }
  bool ok = false;
  switch (method) {
    case kAuthClearText:
      ok = CheckClearText(login, secret);
      break;
    case kAuthMd5:
    case kAuthSha1:
      ok = CheckDigest(login, secret, method);
      break;
    default:
      break;
  }
  return ok ? RCC_SUCCESS : RCC_AUTH_FAILED;
}

uint32_t LoginThrottle::failed(uint32_t address, uint32_t sessionFailures) {
  const auto now = std::chrono::steady_clock::now();
  uint32_t addressFailures;
  {
    KmLockGuard guard(lock_);
    auto it = byAddress_.find(address);
    if (it == byAddress_.end() && byAddress_.size() >= kMaxAddresses) {
      // Full: forget the address whose last failure is oldest.
      auto oldest = byAddress_.begin();
      for (auto e = byAddress_.begin(); e != byAddress_.end(); ++e)
        if (e->second.last < oldest->second.last) oldest = e;
      byAddress_.erase(oldest);
    }
    Entry &entry = byAddress_[address];
    if (now - entry.last > kForgetAfter) entry.failures = 0;
    entry.failures = entry.failures < UINT32_MAX ? entry.failures + 1 : entry.failures;
    entry.last = now;
    addressFailures = entry.failures;
  }
  const uint32_t n = std::max(addressFailures, sessionFailures);
  if (n <= 1 || baseMs_ == 0) return 0;
  const uint64_t delay = uint64_t{baseMs_} << std::min<uint32_t>(n - 2, 4);
  return static_cast<uint32_t>(std::min<uint64_t>(delay, UINT32_MAX));
}

}  // namespace kmagent::detail
