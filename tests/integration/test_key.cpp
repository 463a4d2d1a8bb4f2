// The test server key: generated at run time, never stored.
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "agent_test_support.h"

namespace kmtest {

RSA *TestServerKey() {
  static RSA *key = [] {
  // The session API takes the legacy RSA type; OpenSSL 3 marks its
  // accessors deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    EVP_PKEY *pkey = EVP_RSA_gen(2048);
    RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
#pragma GCC diagnostic pop
    EVP_PKEY_free(pkey);
    return rsa;
  }();
  return key;
}

}  // namespace kmtest
