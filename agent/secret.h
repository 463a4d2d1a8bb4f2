// Shared-secret buffers of a session: conversion into the fixed 64-byte ANSI
// form and wiping. Pure functions on caller buffers; any thread.
#pragma once

#include <cstddef>

#include "kmsrv/agent.h"

namespace kmsrv_agent {

// Converts a wide secret (null: empty) to the ANSI code page into out, cut
// to at most AGENT_SECRET_SIZE - 1 bytes (never inside a character) and
// terminated.
void WideSecretToAnsi(const char16_t *secret, char (&out)[AGENT_SECRET_SIZE]);
// Copies a narrow secret (null: empty) as at most AGENT_SECRET_SIZE - 1
// bytes and a terminator.
void CopyAnsiSecret(const char *secret, char (&out)[AGENT_SECRET_SIZE]);
// Overwrites a buffer that held a secret so the compiler cannot drop it.
void WipeSecret(void *buffer, size_t size);
template <size_t N>
void WipeSecret(char (&buffer)[N]) {
  WipeSecret(buffer, N);
}

}  // namespace kmsrv_agent
