// SNMP vocabulary of libkmsnmp: protocol versions, PDU commands, the BER tags
// of variable types, PDU error statuses, parse flags, and the named limits
// that bound what a peer can make the codec do.
//
// Constants only: usable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Protocol versions as they stand in the message's version field.
inline constexpr uint32_t SNMP_VERSION_1 = 0;
inline constexpr uint32_t SNMP_VERSION_2C = 1;
// SNMPv3 with the user-based security model (a USM security context).
inline constexpr uint32_t SNMP_VERSION_3 = 3;

// PDU commands. The value is the PDU's BER tag minus 0xA0.
enum SNMP_Command : uint32_t {
  SNMP_GET_REQUEST = 0,
  SNMP_GET_NEXT_REQUEST = 1,
  SNMP_RESPONSE = 2,
  SNMP_SET_REQUEST = 3,
  SNMP_TRAP = 4,  // SNMPv1 Trap-PDU: its layout differs; not encoded or decoded
  SNMP_GET_BULK_REQUEST = 5,
  SNMP_INFORM_REQUEST = 6,
  SNMP_TRAP_V2 = 7,
  SNMP_REPORT = 8,
};
inline constexpr uint32_t SNMP_INVALID_COMMAND = 0xFFFFFFFF;

// BER tags (single identifier octet; SNMP uses no high tag numbers).
inline constexpr uint32_t ASN_INTEGER = 0x02;
inline constexpr uint32_t ASN_BIT_STRING = 0x03;
inline constexpr uint32_t ASN_OCTET_STRING = 0x04;
inline constexpr uint32_t ASN_NULL = 0x05;
inline constexpr uint32_t ASN_OBJECT_ID = 0x06;
inline constexpr uint32_t ASN_SEQUENCE = 0x30;
inline constexpr uint32_t ASN_IP_ADDR = 0x40;
inline constexpr uint32_t ASN_COUNTER32 = 0x41;
inline constexpr uint32_t ASN_GAUGE32 = 0x42;
inline constexpr uint32_t ASN_TIMETICKS = 0x43;
inline constexpr uint32_t ASN_OPAQUE = 0x44;
inline constexpr uint32_t ASN_NSAP_ADDR = 0x45;
inline constexpr uint32_t ASN_COUNTER64 = 0x46;
inline constexpr uint32_t ASN_UINTEGER32 = 0x47;
inline constexpr uint32_t ASN_NO_SUCH_OBJECT = 0x80;
inline constexpr uint32_t ASN_NO_SUCH_INSTANCE = 0x81;
inline constexpr uint32_t ASN_END_OF_MIBVIEW = 0x82;
inline constexpr uint32_t ASN_PDU_BASE = 0xA0;  // + SNMP_Command

// Error status of a response PDU.
inline constexpr uint32_t SNMP_PDU_ERR_SUCCESS = 0;
inline constexpr uint32_t SNMP_PDU_ERR_TOO_BIG = 1;
inline constexpr uint32_t SNMP_PDU_ERR_NO_SUCH_NAME = 2;
inline constexpr uint32_t SNMP_PDU_ERR_BAD_VALUE = 3;
inline constexpr uint32_t SNMP_PDU_ERR_READ_ONLY = 4;
inline constexpr uint32_t SNMP_PDU_ERR_GENERIC = 5;
inline constexpr uint32_t SNMP_PDU_ERR_NO_ACCESS = 6;
inline constexpr uint32_t SNMP_PDU_ERR_WRONG_TYPE = 7;
inline constexpr uint32_t SNMP_PDU_ERR_WRONG_LENGTH = 8;
inline constexpr uint32_t SNMP_PDU_ERR_WRONG_ENCODING = 9;
inline constexpr uint32_t SNMP_PDU_ERR_WRONG_VALUE = 10;
inline constexpr uint32_t SNMP_PDU_ERR_NO_CREATION = 11;
inline constexpr uint32_t SNMP_PDU_ERR_INCONSISTENT_VALUE = 12;
inline constexpr uint32_t SNMP_PDU_ERR_RESOURCE_UNAVAILABLE = 13;
inline constexpr uint32_t SNMP_PDU_ERR_COMMIT_FAILED = 14;
inline constexpr uint32_t SNMP_PDU_ERR_UNDO_FAILED = 15;
inline constexpr uint32_t SNMP_PDU_ERR_AUTHORIZATION = 16;
inline constexpr uint32_t SNMP_PDU_ERR_NOT_WRITABLE = 17;
inline constexpr uint32_t SNMP_PDU_ERR_INCONSISTENT_NAME = 18;

// Flags for SNMP_PDU::parse (and SNMP_Transport's parse flags).
// The message's community must equal the security context's; a response
// carrying another community is rejected as unparsable.
inline constexpr uint32_t SNMP_PARSE_CHECK_COMMUNITY = 0x0001;

// ---------------------------------------------------------------------------
// Limits. Each bounds the work or memory one peer message can cause.
// ---------------------------------------------------------------------------

// Largest encoded message built or accepted: one UDP datagram (an agent that
// relays a device's answer carries no more than that either).
inline constexpr size_t SNMP_MAX_MESSAGE_SIZE = 65535;
// Most sub-identifiers in an object identifier, names and OID values alike:
// the SMI allows 128, and callers keep names in 128-element buffers.
inline constexpr uint32_t SNMP_MAX_OID_LENGTH = 128;
// Most variable bindings in one PDU. The smallest binding takes 7 bytes, so a
// full datagram could otherwise make us build more than 9,000 variables.
inline constexpr uint32_t SNMP_MAX_VARIABLES = 1024;
// Longest community string. Real communities are far shorter; a fixed bound
// keeps the security context a fixed-size object that can be wiped.
inline constexpr size_t SNMP_MAX_COMMUNITY_LENGTH = 255;
// SNMPv3 engine IDs are 5 to 32 octets (SnmpEngineID); a longer one is
// malformed. Shorter ones are taken (some agents use them), empty ones are not.
inline constexpr size_t SNMP_MAX_ENGINE_ID_LENGTH = 32;
// USM user names and context names are SnmpAdminStrings of at most 32 octets.
inline constexpr size_t SNMP_MAX_USER_NAME_LENGTH = 32;
inline constexpr size_t SNMP_MAX_CONTEXT_NAME_LENGTH = 32;
// Pass phrases: common agents refuse ones shorter than 8 characters (RFC
// 3414 recommends so); the upper bound only keeps them in fixed buffers.
inline constexpr size_t SNMP_MIN_PASSPHRASE_LENGTH = 8;
inline constexpr size_t SNMP_MAX_PASSPHRASE_LENGTH = 1024;
// The largest message we say we take (msgMaxSize of our SNMPv3 requests):
// the largest UDP payload over IPv4.
inline constexpr uint32_t SNMP_V3_MAX_MESSAGE_SIZE = 65507;

// Deepest nesting of constructed BER elements a reader enters. An SNMPv1/v2c
// message nests 4 deep down to a binding (message, PDU, binding list,
// binding); SNMPv3 needs 6. The bound keeps any walk over peer data shallow.
inline constexpr uint32_t BER_MAX_DEPTH = 8;
// Most octets after 0x80 in a long-form length. Three would cover
// SNMP_MAX_MESSAGE_SIZE; four accepts encoders that always write 0x84.
inline constexpr size_t BER_MAX_LENGTH_OCTETS = 4;
// Content octets of the integer types. INTEGER is Integer32 (4 octets);
// unsigned 32-bit types need a fifth for values with the top bit set, and
// Counter64 a ninth.
inline constexpr size_t BER_MAX_INT32_OCTETS = 4;
inline constexpr size_t BER_MAX_UINT32_OCTETS = 5;
inline constexpr size_t BER_MAX_UINT64_OCTETS = 9;
// Octets of one sub-identifier: 5 x 7 bits hold a 32-bit value.
inline constexpr size_t BER_MAX_SUBID_OCTETS = 5;
