// RSA keys for tests, made at run time (the tree holds no key material) once
// per size and test program and kept until it ends. Any thread.
#pragma once

#include <string>

// OpenSSL's legacy key type, which the session API takes.
typedef struct rsa_st RSA;

namespace kmtest {

// A key pair of `bits` bits; 2048 is the size a server uses. Owned here:
// never free it. Null only when OpenSSL cannot make one.
RSA *TestKey(unsigned bits = 2048);

// The private half of TestKey(bits) as PEM text, for a program that reads
// its key from a file.
std::string TestKeyPem(unsigned bits = 2048);

}  // namespace kmtest
