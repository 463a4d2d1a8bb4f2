// SNMP request helpers of libkmsrv: SnmpGet reads one variable and converts
// its value into the caller's buffer, SnmpEnumerate walks a subtree with
// GETNEXT and hands each variable to a caller's function, SnmpNewRequestId
// hands out the request ids both use. They work over any SNMP_Transport
// (libkmsnmp's UDP transport, the agent proxy transport, a host's own) and
// return libkmsnmp result codes (kmsnmp/result.h, texts from
// SNMPGetErrorText).
//
// Threads: the functions take no lock. Calls on different transports may run
// on different threads at once; one transport serves one call at a time. The
// request-id counter is atomic and g_dwSNMPTimeout may be changed from any
// thread; a change applies from the next request on.
#pragma once

#include <atomic>
#include <cstdint>

#include "kmbase/export.h"
#include "kmsnmp/snmp.h"

// Milliseconds each request waits for its answer (per attempt); 2000 at start.
KMSRV_EXPORT extern std::atomic<uint32_t> g_dwSNMPTimeout;

// Attempts per request (passed to doRequest as its retry count).
inline constexpr uint32_t SNMP_REQUEST_RETRIES = 3;

// SnmpGet request flags.
inline constexpr uint32_t SNMPGET_LOG_FAILURE = 0x01;   // log a failed request (message 25)
inline constexpr uint32_t SNMPGET_AS_STRING = 0x02;     // wide text, GetValueAsString
inline constexpr uint32_t SNMPGET_AS_RAW = 0x04;        // raw bytes, getRawValue
inline constexpr uint32_t SNMPGET_AS_HEX = 0x08;        // raw bytes as hexadecimal wide text
inline constexpr uint32_t SNMPGET_AS_PRINTABLE = 0x10;  // getValueAsPrintableString

// Returns the counter's value and advances it (1 first, wrapping after
// 0xFFFFFFFF to 0). SnmpGet and SnmpEnumerate take one id per request here.
KMSRV_EXPORT uint32_t SnmpNewRequestId();

// Reads one variable with a GET. The name is oidText (dotted, used when not
// null) or the oidLength elements at oidBinary (at most SNMP_MAX_OID_LENGTH).
// The format flags are honoured in the order AS_RAW, AS_HEX, AS_STRING,
// AS_PRINTABLE; without one the type decides: integer types store an int32_t
// (4 bytes), OCTET STRING and OBJECT IDENTIFIER wide text, IpAddress a
// uint32_t in host byte order (10.1.2.3 is 0x0A010203). bufferSize counts
// bytes for AS_RAW and characters for text. Text results are always
// terminated; AS_HEX stores at most (bufferSize - 1) / 2 bytes as two digits
// each, and nothing at all when bufferSize is 0.
// Returns SNMP_ERR_SUCCESS; SNMP_ERR_COMM without a transport (nothing
// happens, no id is taken); SNMP_ERR_PARAM without a buffer or any name;
// SNMP_ERR_BAD_OID for unparsable text (logged as message 27) or a binary
// name above the limit; SNMP_ERR_NO_OBJECT for noSuchName and exception
// values; SNMP_ERR_AGENT for another error status or no variables;
// SNMP_ERR_BAD_TYPE for a type without conversion (logged as message 24);
// otherwise the code of doRequest (logged as message 25 with
// SNMPGET_LOG_FAILURE). On failure valueBuffer is left untouched.
KMSRV_EXPORT uint32_t SnmpGet(uint32_t snmpVersion, SNMP_Transport *snmpTransport,
                              const char16_t *oidText, const uint32_t *oidBinary,
                              uint32_t oidLength, void *valueBuffer, uint32_t bufferSize,
                              uint32_t requestFlags);

// Called once per variable of a walk. The variable belongs to the answer and
// is gone when the handler returns: copy what you keep. The handler may send
// its own requests over the same transport. Return 0 to go on; anything else
// stops the walk and becomes its result.
typedef uint32_t (*SnmpWalkHandler)(uint32_t snmpVersion, SNMP_Variable *var,
                                    SNMP_Transport *transport, void *arg);

// Walks the subtree under rootOid (dotted text) with GETNEXT, one variable
// per request, calling walkHandler for every variable inside the subtree.
// Ends with SNMP_ERR_SUCCESS when an answer lies outside the subtree, repeats
// the name just requested, or is endOfMibView, or when an SNMPv1 agent
// answers noSuchName (its way of saying that nothing follows the name in its
// view). Ends with an error on noSuchName in any other version or an
// exception value (SNMP_ERR_NO_OBJECT), another error
// status or no variables (SNMP_ERR_AGENT), an answer whose name goes back
// before the requested one (SNMP_ERR_NOT_INCREASING: the agent's order is
// broken and following it could loop forever), a failed request (its
// doRequest code; logged as message 25 when logErrors is non-zero; an answer
// carrying a name longer than SNMP_MAX_OID_LENGTH does not decode and ends
// here with SNMP_ERR_PARSE), a missing transport (SNMP_ERR_COMM) or
// unparsable root text (SNMP_ERR_BAD_OID, logged as message 27). What the
// handler did before an error stays done.
KMSRV_EXPORT uint32_t SnmpEnumerate(uint32_t snmpVersion, SNMP_Transport *snmpTransport,
                                    const char16_t *rootOid, SnmpWalkHandler walkHandler,
                                    void *handlerArg, int32_t logErrors);

// Variables asked for per GETBULK request by default: about what one
// datagram holds for a typical table column, and what agents give gladly.
inline constexpr uint32_t SNMP_DEFAULT_MAX_REPETITIONS = 50;

// Walks the subtree like SnmpEnumerate, with the same handler, results and
// logging, but with GETBULK requests (SNMPv2c and SNMPv3) that each ask for
// up to maxRepetitions variables (1 to SNMP_MAX_VARIABLES; 0 means the
// default), so a table takes a fraction of the round trips. The handler sees
// exactly the variables a GETNEXT walk would show, in the same order: what
// an answer holds past the subtree or at endOfMibView ends the walk, and
// names must keep increasing. When the agent answers tooBig, the next
// request asks for half as many; an answer whose variables suggest that a
// full one would not fit into one message lowers the number the same way.
// SNMPv1 has no GETBULK: the walk is then SnmpEnumerate's.
KMSRV_EXPORT uint32_t SnmpWalkBulk(uint32_t snmpVersion, SNMP_Transport *snmpTransport,
                                   const char16_t *rootOid, SnmpWalkHandler walkHandler,
                                   void *handlerArg, int32_t logErrors,
                                   uint32_t maxRepetitions = SNMP_DEFAULT_MAX_REPETITIONS);
