// Result codes of libkmsnmp and of the SNMP helpers built on it
// (SNMP_Transport::doRequest, SnmpGet, SnmpEnumerate), with their texts.
// 0, 4, 6, 8, 9 and 10 are fixed by the helpers' callers; keep them.
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
};

// Text of a code; "Unknown error" for codes outside the enum. Never null.
KMSRV_EXPORT const char16_t *SNMPGetErrorText(uint32_t code);
