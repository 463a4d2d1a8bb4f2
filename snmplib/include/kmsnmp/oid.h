// Object identifiers as text and as arrays of 32-bit elements: parsing
// dotted text, printing it, and ordering names.
//
// Pure functions over the caller's buffers: safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kmbase/export.h"

// Parses dotted decimal text (".1.3.6.1.2.1.1.1.0" or "1.3.6.1.2.1.1.1.0")
// into at most `max` elements. Returns the element count, or 0 when the text
// is null, empty, not an OID (anything but digits and single dots, a trailing
// dot, an element above 4294967295) or has more than `max` elements. The
// elements are written only on success.
KMSRV_EXPORT uint32_t SNMPParseOID(const char16_t *text, uint32_t *elements, uint32_t max);
KMSRV_EXPORT uint32_t SNMPParseOID(const char *text, uint32_t *elements, uint32_t max);

// Writes ".e0.e1..." into buf (size in characters) and returns buf. The text
// is always terminated when size > 0; when it does not fit it ends after the
// last whole element that does, never inside a number. No elements give "".
KMSRV_EXPORT char16_t *SNMPConvertOIDToText(uint32_t count, const uint32_t *elements, char16_t *buf,
                                            size_t size);
KMSRV_EXPORT char *SNMPConvertOIDToText(uint32_t count, const uint32_t *elements, char *buf,
                                        size_t size);

// Lexicographic order of two names: <0, 0 or >0, a prefix sorting first (the
// order GETNEXT walks in).
KMSRV_EXPORT int SNMPCompareOID(const uint32_t *a, uint32_t aLength, const uint32_t *b,
                                uint32_t bLength);
