#include "support/test_key.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <map>
#include <mutex>

namespace kmtest {
namespace {

struct Made {
  EVP_PKEY *pkey = nullptr;
  RSA *rsa = nullptr;
};

// Generating is the slow part, so each size is made once. The cache is
// never destroyed: the keys stay reachable until the program ends, and a
// leak check at exit does not count them.
const Made &Key(unsigned bits) {
  static std::mutex mutex;
  static auto *made = new std::map<unsigned, Made>;
  std::lock_guard<std::mutex> guard(mutex);
  Made &key = (*made)[bits];
  if (key.pkey == nullptr) {
    key.pkey = EVP_RSA_gen(bits);
    // The session API takes the legacy RSA type, whose accessors OpenSSL 3
    // marks deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    key.rsa = key.pkey != nullptr ? EVP_PKEY_get1_RSA(key.pkey) : nullptr;
#pragma GCC diagnostic pop
  }
  return key;
}

}  // namespace

RSA *TestKey(unsigned bits) { return Key(bits).rsa; }

std::string TestKeyPem(unsigned bits) {
  EVP_PKEY *pkey = Key(bits).pkey;
  BIO *bio = BIO_new(BIO_s_mem());
  std::string pem;
  if (pkey != nullptr && bio != nullptr &&
      PEM_write_bio_PrivateKey(bio, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
    char *data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    if (len > 0) pem.assign(data, static_cast<size_t>(len));
  }
  BIO_free(bio);
  return pem;
}

}  // namespace kmtest
