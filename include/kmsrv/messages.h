// The server's log message catalogue: 142 numbered texts (ids 1 to 142) with
// numbered inserts %1..%5, each ending in CR LF, for kmlog_write.
//
// libkmsrv's own logging (DbgPrintf, WriteLogOther, the SNMP helpers) needs
// the catalogue installed in kmlog; KmEnsureServerCatalogue does that once and
// is what the library calls before it logs. A host that logs catalogue
// messages itself may call KmInstallServerCatalogue at start-up.
//
// Constant data and atomic installation: safe from any thread.
#pragma once

#include <cstdint>

#include "kmbase/export.h"

inline constexpr uint32_t KM_SERVER_MESSAGE_FIRST = 1;
inline constexpr uint32_t KM_SERVER_MESSAGE_LAST = 142;

// Messages libkmsrv logs itself.
inline constexpr uint32_t MSG_SNMP_UNKNOWN_TYPE = 24;  // "x": the BER type
inline constexpr uint32_t MSG_SNMP_GET_ERROR = 25;     // "d": the SNMP result code
inline constexpr uint32_t MSG_OID_PARSE_ERROR = 27;    // "s": the OID text
inline constexpr uint32_t MSG_DEBUG = 65;              // "s": DbgPrintf's text
inline constexpr uint32_t MSG_OTHER = 113;             // "s": WriteLogOther's text

// The text of message id (constant, ends in CR LF), or null for 0 and for ids
// above KM_SERVER_MESSAGE_LAST. Constant time.
KMSRV_EXPORT const char16_t *KmServerMessageText(uint32_t id);

// Installs this catalogue in kmlog, replacing any other.
KMSRV_EXPORT void KmInstallServerCatalogue();
// Installs it unless a catalogue is already installed (a host's own one is
// kept). One atomic load when a catalogue is in place.
KMSRV_EXPORT void KmEnsureServerCatalogue();
