// libkmsrv's debug and log output and the exported switches it obeys.
//
// DbgPrintf formats a trace line (printf-style char16_t format, %s takes a
// char16_t string; see kmbase/text.h) and logs it as catalogue message 65
// with event type 0x80 when its level is at most g_nDebugLevel; a negative
// level is always logged. WriteLogOther logs catalogue message 113 with the
// caller's event type and no level test. Text longer than 4095 characters is
// cut to 4095. Lines go to the kmlog sink (kmbase/log.h); the server
// catalogue is installed on first use unless the host installed its own.
//
// Threads: all functions may be called from any thread. g_nDebugLevel may be
// changed by the host at any time, also while other threads trace.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "kmbase/export.h"

// Highest debug level DbgPrintf lets through (initially 0). Atomic because
// the host sets it while session threads read it; it is used like a plain
// int32_t: `g_nDebugLevel = 6;`, `if (g_nDebugLevel >= 4)`.
KMSRV_EXPORT extern std::atomic<int32_t> g_nDebugLevel;
// Flag word owned by the host (initially 2); the library never reads or
// writes it, so the host synchronises its own use.
KMSRV_EXPORT extern uint32_t g_dwFlags;

// Size of the formatting buffer in characters, terminator included.
inline constexpr size_t KM_DEBUG_BUFFER_SIZE = 4096;

KMSRV_EXPORT void DbgPrintf(int level, const char16_t *format, ...);
KMSRV_EXPORT void DbgPrintf2(int level, const char16_t *format, va_list args);
KMSRV_EXPORT void WriteLogOther(uint16_t type, const char16_t *format, ...);
