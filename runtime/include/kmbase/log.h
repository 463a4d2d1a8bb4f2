// kmlog: catalogue-based logging of the base runtime.
//
// A log call names a catalogue message by id, gives an event type and the
// inserts; the logger looks up the message text, replaces %1..%9 by the
// inserts by number (a text may use them in any order), and hands the line to
// the installed sink: standard error (default), a file, syslog, or a host
// callback. The catalogue itself belongs to whoever installs it (libkmsrv
// installs the server catalogue); without one, or for an id it does not know,
// the line says so and still carries the inserts.
//
// Thread safety: every function may be called from any thread. Sinks are
// called one line at a time (a lock is held around each call, so lines never
// interleave); after kmlog_set_sink_* returns, the previous sink is never
// called again. A callback sink that logs through kmlog from inside the
// callback gets that nested line on standard error instead (no deadlock).
// Keep callbacks short: every logging thread waits for the one in the sink.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "kmbase/export.h"

// Event types (bit values as the server's event log uses them).
inline constexpr uint16_t KMLOG_SUCCESS = 0x0000;
inline constexpr uint16_t KMLOG_ERROR = 0x0001;
inline constexpr uint16_t KMLOG_WARNING = 0x0002;
inline constexpr uint16_t KMLOG_INFORMATION = 0x0004;
inline constexpr uint16_t KMLOG_AUDIT_SUCCESS = 0x0008;
inline constexpr uint16_t KMLOG_AUDIT_FAILURE = 0x0010;
inline constexpr uint16_t KMLOG_DEBUG = 0x0080;

// Inserts a text can refer to (%1..%9); letters beyond these are ignored.
inline constexpr int KMLOG_MAX_INSERTS = 9;
// Longest line kmlog_write hands to a sink, in code units with the final
// CR LF: room for a 4095-unit debug text plus the longest catalogue text,
// while staying a modest stack buffer. Longer lines are cut and keep their
// CR LF.
inline constexpr size_t KMLOG_MAX_LINE = 8192;

// Text of a message (ending in CR LF), or null when the id is unknown. Must be
// callable from any thread; the returned text must live as long as the
// catalogue is installed.
using KmLogCatalogue = const char16_t *(*)(uint32_t id);
// A host sink: gets the finished line (UTF-16, ending in CR LF as the
// catalogue text does) and the context given at installation.
using KmLogSinkCallback = void (*)(uint32_t id, uint16_t type, const char16_t *line, void *context);

// Logs catalogue message `id` with event type `type`. `letters` has one
// letter per insert, read from the arguments in order: 's' a const
// char16_t* (null prints "(null)"), 'd' an int32_t (decimal), 'x' a uint32_t
// (lowercase hex). An unknown letter ends the reading of arguments; the
// inserts from there on are missing and their %n stays in the line as is.
KMSRV_EXPORT void kmlog_write(uint32_t id, uint16_t type, const char *letters, ...);
KMSRV_EXPORT void kmlog_vwrite(uint32_t id, uint16_t type, const char *letters, va_list args);

// Builds the line kmlog_write would log, into buf (size units, always
// terminated when size > 0). Returns the full line's length like snprintf.
KMSRV_EXPORT size_t kmlog_build_line(char16_t *buf, size_t size, uint32_t id, const char *letters,
                                     ...);
KMSRV_EXPORT size_t kmlog_vbuild_line(char16_t *buf, size_t size, uint32_t id, const char *letters,
                                      va_list args);

// Installs the catalogue (null removes it).
KMSRV_EXPORT void kmlog_set_catalogue(KmLogCatalogue lookup);
// Installs it only when none is installed; true when it is now installed.
KMSRV_EXPORT bool kmlog_set_catalogue_if_none(KmLogCatalogue lookup);
KMSRV_EXPORT KmLogCatalogue kmlog_get_catalogue();

// Sinks. The stderr and file sinks write one UTF-8 line per call:
//   2026-12-09 14:03:07.123 ERROR   text
// (local time, severity from the event type); control characters inside the
// text are written as spaces so an insert cannot forge a line.
KMSRV_EXPORT void kmlog_set_sink_stderr();
// Appends to the file (created 0644 when missing). Returns false, keeping the
// current sink, when it cannot be opened.
KMSRV_EXPORT bool kmlog_set_sink_file(const char *path);
// syslog(3) with the given ident (copied) and facility (LOG_USER, LOG_DAEMON...).
KMSRV_EXPORT void kmlog_set_sink_syslog(const char *ident, int facility);
KMSRV_EXPORT void kmlog_set_sink_callback(KmLogSinkCallback callback, void *context);
// Drops every line.
KMSRV_EXPORT void kmlog_set_sink_none();

// "ERROR", "WARNING", "INFO", "AUDIT-OK", "AUDIT-FAIL" or "DEBUG".
KMSRV_EXPORT const char *kmlog_severity_name(uint16_t type);
