// MD5 and SHA-1 digests through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include <cstring>

#include "kmbase/text.h"

namespace {

void Digest(const EVP_MD *md, const uint8_t *data, size_t len, uint8_t *out, size_t outLen) {
  static const uint8_t kEmpty = 0;
  unsigned int written = 0;
  if (EVP_Digest(data != nullptr ? data : &kEmpty, data != nullptr ? len : 0, out, &written, md,
                 nullptr) != 1 ||
      written != outLen) {
    // Only a broken OpenSSL installation gets here; never hand back stale bytes.
    memset(out, 0, outLen);
  }
}

}  // namespace

void CalculateMD5Hash(const uint8_t *data, size_t len, uint8_t out[16]) {
  Digest(EVP_md5(), data, len, out, 16);
}

void CalculateSHA1Hash(const uint8_t *data, size_t len, uint8_t out[20]) {
  Digest(EVP_sha1(), data, len, out, 20);
}
