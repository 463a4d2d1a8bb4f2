// Result codes of libkmsnmp and of the SNMP helpers built on it
// (SNMP_Transport::doRequest, SnmpGet, SnmpEnumerate), with their texts.
// 0, 4, 6, 8, 9 and 10 are fixed by the helpers' callers; keep them. The
// SNMPv3 codes tell a wrong pass phrase (13, 14) from an unknown user (12),
// a wrong security level (15) and a time-out (1).
//
// Constants and a lookup over constant data: safe from any thread.
#pragma once

#include <cstdint>

#include "kmbase/export.h"

enum SNMP_ResultCode : uint32_t {
  SNMP_ERR_SUCCESS = 0,
  SNMP_ERR_TIMEOUT = 1,          // no matching answer in time, after every retry
  SNMP_ERR_PARAM = 2,            // a required argument is missing or invalid
  SNMP_ERR_NO_CONTEXT = 3,       // the transport has no security context
  SNMP_ERR_COMM = 4,             // no transport, or it could not send or receive
  SNMP_ERR_PARSE = 5,            // the answer was not a valid SNMP message
  SNMP_ERR_NO_OBJECT = 6,        // noSuchName, noSuchObject or noSuchInstance
  SNMP_ERR_ENCODE = 7,           // the request cannot be encoded (bad name or value)
  SNMP_ERR_BAD_OID = 8,          // an OID text did not parse
  SNMP_ERR_AGENT = 9,            // the agent answered with an error or no variables
  SNMP_ERR_BAD_TYPE = 10,        // the value's type has no conversion
  SNMP_ERR_NOT_INCREASING = 11,  // a walk's answer went backwards
  // SNMPv3: what the agent reported about our request.
  SNMP_ERR_UNKNOWN_USER = 12,        // the agent knows no such user
  SNMP_ERR_WRONG_DIGEST = 13,        // wrong authentication pass phrase or protocol
  SNMP_ERR_DECRYPTION = 14,          // wrong privacy pass phrase or protocol
  SNMP_ERR_UNSUPPORTED_LEVEL = 15,   // the user is not set up for this security level
  SNMP_ERR_NOT_IN_TIME_WINDOW = 16,  // boots and time could not be synchronised
  SNMP_ERR_ENGINE_DISCOVERY = 17,    // no usable engine ID (empty, too long, or none)
  SNMP_ERR_UNKNOWN_CONTEXT = 18,     // the context name is unknown or unavailable
  SNMP_ERR_REPORT = 19,              // another error report from the agent
  // SNMPv3: what we found wrong with an answer.
  SNMP_ERR_BAD_RESPONSE_DIGEST = 20,  // the answer failed authentication
  SNMP_ERR_RESPONSE_DECRYPT = 21,     // the answer's scoped PDU did not decrypt
  SNMP_ERR_SECURITY_SETUP = 22,       // the USM settings make no usable user
  SNMP_ERR_BAD_ADDRESS = 23,          // a transport address text is not valid
};

// Text of a code; "Unknown error" for codes outside the enum. Never null.
KMSRV_EXPORT const char16_t *SNMPGetErrorText(uint32_t code);
