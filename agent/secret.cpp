// Shared-secret buffers: conversion and wiping.
#include "secret.h"

#include <openssl/crypto.h>

#include <cstring>

#include "kmbase/text.h"

namespace kmsrv_agent {

void WideSecretToAnsi(const char16_t *secret, char (&out)[AGENT_SECRET_SIZE]) {
  out[0] = 0;
  if (secret != nullptr) KmWideToAnsi(secret, -1, out, AGENT_SECRET_SIZE);
  out[AGENT_SECRET_SIZE - 1] = 0;
}

void CopyAnsiSecret(const char *secret, char (&out)[AGENT_SECRET_SIZE]) {
  if (secret == nullptr) {
    out[0] = 0;
    return;
  }
  strncpy(out, secret, AGENT_SECRET_SIZE);
  out[AGENT_SECRET_SIZE - 1] = 0;
}

void WipeSecret(void *buffer, size_t size) { OPENSSL_cleanse(buffer, size); }

}  // namespace kmsrv_agent
