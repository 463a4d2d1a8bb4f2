// KMCP vocabulary of libkmsrv: the message codes (MC_*, from kmbase/kmcp.h)
// and the field ids (VAR_*) the library sends, awaits or dispatches on. The
// numbers are fixed: agents and ISC peers rely on them.
//
// Constants only; usable from any thread.
#pragma once

#include <cstdint>

#include "kmbase/kmcp.h"

// Field ids, with the type each field has on the wire.
inline constexpr uint32_t VAR_IP_ADDRESS = 8;          // 32-bit, host-order IPv4 address
inline constexpr uint32_t VAR_AGENT_PORT = 15;         // 16-bit
inline constexpr uint32_t VAR_AUTH_METHOD = 16;        // 16-bit
inline constexpr uint32_t VAR_SHARED_SECRET = 17;      // string (method 1) or binary 16/20 bytes
inline constexpr uint32_t VAR_VALUE = 21;              // string
inline constexpr uint32_t VAR_RCC = 28;                // 32-bit, 0 is success
inline constexpr uint32_t VAR_PARAMETER = 85;          // string
inline constexpr uint32_t VAR_NUM_STRINGS = 86;        // 32-bit
inline constexpr uint32_t VAR_ACTION_NAME = 87;        // string
inline constexpr uint32_t VAR_NUM_ARGS = 88;           // 32-bit
inline constexpr uint32_t VAR_FILE_NAME = 125;         // string
inline constexpr uint32_t VAR_SERVICE_TYPE = 130;      // 16-bit
inline constexpr uint32_t VAR_IP_PROTOCOL = 131;       // 16-bit
inline constexpr uint32_t VAR_IP_PORT = 132;           // 16-bit
inline constexpr uint32_t VAR_SERVICE_REQUEST = 133;   // string
inline constexpr uint32_t VAR_SERVICE_RESPONSE = 134;  // string
inline constexpr uint32_t VAR_SERVICE_STATUS = 136;    // 32-bit
inline constexpr uint32_t VAR_NUM_PARAMETERS = 137;    // 32-bit
inline constexpr uint32_t VAR_CONFIG_FILE = 159;       // binary: ANSI text, no terminator
inline constexpr uint32_t VAR_POLICY_GUID = 222;       // binary, 16 bytes
inline constexpr uint32_t VAR_SNMP_PORT = 268;         // 16-bit
inline constexpr uint32_t VAR_PDU = 269;               // binary
inline constexpr uint32_t VAR_PDU_SIZE = 270;          // 32-bit
inline constexpr uint32_t VAR_SERVICE_ID = 315;        // 32-bit
inline constexpr uint32_t VAR_NUM_POLICIES = 361;      // 32-bit
inline constexpr uint32_t VAR_DESTINATION_FILE_NAME = 377;  // string, optional
inline constexpr uint32_t VAR_NUM_TABLES = 378;             // 32-bit
inline constexpr uint32_t VAR_NUM_VLANS = 382;              // 32-bit

// Bases of element runs: element i of a run uses the field id base + i (or
// base + i * stride for records of several fields).
// List lines, action arguments, parameter descriptions (3 ids per record),
// policy records (stride 10), VLAN records (stride 10).
inline constexpr uint32_t VAR_LIST_BASE = 0x10000000;
// Table descriptions of a parameter list reply (3 ids per record).
inline constexpr uint32_t VAR_TABLE_LIST_BASE = 0x40000000;
