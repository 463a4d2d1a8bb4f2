// Text helpers of the base runtime: char16_t strings, the one printf-style
// formatter for char16_t formats, the process-wide narrow ("ANSI") code page
// and conversions through it, UTF-8 conversions, IPv4 address text, hex text,
// MD5/SHA-1 digests and KMCP message code names.
//
// Thread safety: every function may be called from any thread. The code page
// is one process-wide setting; a conversion running while another thread
// changes it uses either the old or the new code page, never a mix.
//
// Wide strings are UTF-16 (char16_t). Functions that write into a caller's
// buffer take its size in elements, always terminate it when the size is not
// zero, and never write past it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kmbase/export.h"

// ---------------------------------------------------------------------------
// char16_t strings
// ---------------------------------------------------------------------------

// Length in code units; a null string has length 0.
KMSRV_EXPORT size_t km_strlen16(const char16_t *s);
// Copies at most size-1 units of src (null counts as "") and terminates when
// size > 0. Never leaves a lone high surrogate at the cut. Returns the length
// of src, so a result >= size means the copy was cut.
KMSRV_EXPORT size_t km_strlcpy16(char16_t *dst, const char16_t *src, size_t size);
// Appends src to the terminated string in dst (size = capacity of dst), same
// cutting rules as km_strlcpy16. Returns the length the joined string would
// have had.
KMSRV_EXPORT size_t km_strlcat16(char16_t *dst, const char16_t *src, size_t size);
// Ordinal comparison by code unit (<0, 0, >0); null sorts before "".
KMSRV_EXPORT int km_strcmp16(const char16_t *a, const char16_t *b);
KMSRV_EXPORT int km_strncmp16(const char16_t *a, const char16_t *b, size_t n);
// Like km_strcmp16 but folds ASCII A-Z to a-z.
KMSRV_EXPORT int km_stricmp16(const char16_t *a, const char16_t *b);
// First occurrence of c, or null.
KMSRV_EXPORT const char16_t *km_strchr16(const char16_t *s, char16_t c);
// A malloc'd terminated copy (release with free()); null when s is null or
// memory is short.
KMSRV_EXPORT char16_t *km_strdup16(const char16_t *s);
// The same, of the first n units at most.
KMSRV_EXPORT char16_t *km_strndup16(const char16_t *s, size_t n);

// ---------------------------------------------------------------------------
// The formatter
// ---------------------------------------------------------------------------
//
// Conversions: %s %d %i %u %x %X %o %c %p %%; flags - + space 0 #; width and
// precision as numbers or *; length modifiers hh, h, l, ll, z (sizes as in C
// on this platform: %ld takes a long, which is 64-bit here; pass int32_t with
// %d). %s takes a const char16_t* (null prints "(null)"); %ls is the same;
// %hs takes a narrow UTF-8 const char* (invalid bytes print as U+FFFD); %c
// takes a char16_t (promoted to int); %hc a narrow char. Precision of %s
// counts code units and never splits a surrogate pair. %p prints 0x followed
// by lowercase hex digits. An unknown conversion is copied to the output as
// written; %n is not supported (copied as written).

// Writes at most size-1 units and a terminator (nothing when size is 0; buf
// may then be null). Returns the length the full output has, or -1 when that
// exceeds INT_MAX. A cut never leaves a lone high surrogate at the end. Never
// allocates; a huge width or precision costs no more than the buffer.
KMSRV_EXPORT int km_vsnprintf16(char16_t *buf, size_t size, const char16_t *fmt, va_list args);
KMSRV_EXPORT int km_snprintf16(char16_t *buf, size_t size, const char16_t *fmt, ...);
// Whole output as a string / as UTF-8.
KMSRV_EXPORT std::u16string km_vformat16(const char16_t *fmt, va_list args);
KMSRV_EXPORT std::u16string km_format16(const char16_t *fmt, ...);
KMSRV_EXPORT std::string km_vformat_utf8(const char16_t *fmt, va_list args);
KMSRV_EXPORT std::string km_format_utf8(const char16_t *fmt, ...);

// ---------------------------------------------------------------------------
// UTF-8 <-> UTF-16
// ---------------------------------------------------------------------------
//
// Invalid input (bad UTF-8 bytes, lone surrogates) becomes U+FFFD. Writers
// into fixed buffers stop before a character that does not fit whole and
// return the number of units written (terminator not counted).

KMSRV_EXPORT std::string KmWideToUtf8(std::u16string_view text);
KMSRV_EXPORT std::u16string KmUtf8ToWide(std::string_view text);
KMSRV_EXPORT size_t KmWideToUtf8(const char16_t *src, char *dst, size_t dstSize);
KMSRV_EXPORT size_t KmUtf8ToWide(const char *src, char16_t *dst, size_t dstSize);
// The one UTF-8 validator: the length (1 to 4) of the well-formed sequence
// that starts at text[i], or 0 when the bytes there are not one (a stray
// continuation byte, an overlong form, a surrogate, a value above U+10FFFF,
// or a sequence cut by the end of text). *codePoint, when given, receives
// the value of a well-formed sequence. i must be below text.size().
KMSRV_EXPORT size_t KmUtf8SequenceLength(std::string_view text, size_t i,
                                         char32_t *codePoint = nullptr);

// ---------------------------------------------------------------------------
// The ANSI code page
// ---------------------------------------------------------------------------
//
// The narrow code page every "ANSI" conversion uses: UTF-8 unless set. Any
// iconv codeset name that is ASCII-compatible and stateless is accepted
// (CP1252, ISO-8859-1, GBK, CP932, ...). Characters the code page cannot
// hold become '?'; bytes it cannot decode become U+FFFD.

// Returns false (and keeps the current setting) when the name is null, empty,
// unknown to iconv, or not ASCII-compatible.
KMSRV_EXPORT bool KmSetCodePage(const char *codeset);
// The name as given to the last successful KmSetCodePage ("UTF-8" at start).
// The pointer stays valid for the life of the process.
KMSRV_EXPORT const char *KmGetCodePage();

// Wide -> ANSI into a fixed buffer. srcLen < 0: src is terminated. Never cuts
// a multibyte character; always terminates when dstSize > 0. Returns the
// bytes written, terminator not counted.
KMSRV_EXPORT size_t KmWideToAnsi(const char16_t *src, ptrdiff_t srcLen, char *dst, size_t dstSize);
// ANSI -> wide into a fixed buffer, same rules (a surrogate pair is never
// cut). Returns the units written, terminator not counted.
KMSRV_EXPORT size_t KmAnsiToWide(const char *src, ptrdiff_t srcLen, char16_t *dst, size_t dstSize);
// Whole-string forms.
KMSRV_EXPORT std::string KmWideToAnsi(std::u16string_view text);
KMSRV_EXPORT std::u16string KmAnsiToWide(std::string_view text);

// ---------------------------------------------------------------------------
// Addresses, hex, digests, names
// ---------------------------------------------------------------------------

// "a.b.c.d" of a host-order address into buf (16 units); returns buf.
KMSRV_EXPORT char16_t *IpToStr(uint32_t addrHostOrder, char16_t *buf);
// The same as UTF-8 text.
KMSRV_EXPORT std::string KmIpToText(uint32_t addrHostOrder);
// Parses an IPv4 address as inet_addr does (1 to 4 parts, each decimal, 0x
// hex or 0 octal; the last part fills the remaining bytes) with nothing but
// the address in the text. Returns it in network byte order, or INADDR_NONE
// (0xFFFFFFFF) for null or malformed text.
KMSRV_EXPORT uint32_t inet_addr_w(const char16_t *text);
// Hex text (either case) to bytes: converts pairs of hex digits until the
// first character that is not a hex digit, an unpaired last digit, or max
// bytes. Returns the bytes written.
KMSRV_EXPORT size_t StrToBin(const char16_t *hex, uint8_t *out, size_t max);
// Bytes to uppercase hex; out must hold 2*len+1 units. Returns out.
KMSRV_EXPORT char16_t *BinToStr(const uint8_t *data, size_t len, char16_t *out);
// Removes spaces and tabs at both ends, in place. Returns text.
KMSRV_EXPORT char16_t *StrStrip(char16_t *text);

// The one text form of a 16-byte GUID: its bytes in order as lowercase hex
// digits with dashes after bytes 4, 6, 8 and 10
// ("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9").
inline constexpr size_t KM_GUID_SIZE = 16;
KMSRV_EXPORT std::string KmGuidToText(const uint8_t *guid);
// Reads that form, hex digits of either case. Lenient also takes it in
// braces and the 32 digits without dashes (as people write GUIDs). False,
// guid untouched, for anything else.
KMSRV_EXPORT bool KmGuidFromText(std::string_view text, uint8_t *guid, bool lenient = false);

// Digests through OpenSSL. data may be null when len is 0.
KMSRV_EXPORT void CalculateMD5Hash(const uint8_t *data, size_t len, uint8_t out[16]);
KMSRV_EXPORT void CalculateSHA1Hash(const uint8_t *data, size_t len, uint8_t out[20]);

// The system's text for an errno value (UTF-8), safe from any thread
// (strerror() is not).
KMSRV_EXPORT std::string KmErrorText(int err);

// Name of a KMCP message code ("MC_LOGIN"), "MC_0x%04X" for unknown codes,
// into buf of KMCP_CODE_NAME_SIZE units. Returns buf.
inline constexpr size_t KMCP_CODE_NAME_SIZE = 64;
KMSRV_EXPORT char16_t *KMCPMessageCodeName(uint16_t code, char16_t *buf);
