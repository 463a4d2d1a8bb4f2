// Agent result codes (RCC): the 32-bit result of every agent request. 0 is
// success; other values are either the code the agent put into VAR_RCC of its
// MC_REQUEST_COMPLETED reply or one the session produces itself when a
// request could not be carried out. Both share this numbering; any other value
// an agent sends is passed through unchanged.
//
// Constants and a lookup over constant data: safe from any thread.
#pragma once

#include <cstdint>

#include "kmbase/export.h"

inline constexpr uint32_t RCC_SUCCESS = 0;
inline constexpr uint32_t RCC_UNKNOWN_COMMAND = 400;
inline constexpr uint32_t RCC_AUTH_REQUIRED = 401;
inline constexpr uint32_t RCC_ACCESS_DENIED = 403;
inline constexpr uint32_t RCC_UNKNOWN_PARAMETER = 404;
inline constexpr uint32_t RCC_REQUEST_TIMEOUT = 408;
inline constexpr uint32_t RCC_AUTH_FAILED = 440;
inline constexpr uint32_t RCC_ALREADY_AUTHENTICATED = 441;
inline constexpr uint32_t RCC_AUTH_NOT_REQUIRED = 442;
inline constexpr uint32_t RCC_INTERNAL_ERROR = 500;
inline constexpr uint32_t RCC_NOT_IMPLEMENTED = 501;
inline constexpr uint32_t RCC_OUT_OF_RESOURCES = 503;
inline constexpr uint32_t RCC_NOT_CONNECTED = 900;
inline constexpr uint32_t RCC_CONNECTION_BROKEN = 901;
inline constexpr uint32_t RCC_BAD_RESPONSE = 902;
inline constexpr uint32_t RCC_IO_FAILURE = 903;
inline constexpr uint32_t RCC_RESOURCE_BUSY = 904;
inline constexpr uint32_t RCC_EXEC_FAILED = 905;
inline constexpr uint32_t RCC_ENCRYPTION_REQUIRED = 906;
inline constexpr uint32_t RCC_NO_CIPHERS = 907;
inline constexpr uint32_t RCC_INVALID_PUBLIC_KEY = 908;
inline constexpr uint32_t RCC_INVALID_SESSION_KEY = 909;
inline constexpr uint32_t RCC_CONNECT_FAILED = 910;
inline constexpr uint32_t RCC_MALFORMED_COMMAND = 911;
inline constexpr uint32_t RCC_SOCKET_ERROR = 912;
inline constexpr uint32_t RCC_BAD_ARGUMENTS = 913;
inline constexpr uint32_t RCC_SUBAGENT_LOAD_FAILED = 914;
inline constexpr uint32_t RCC_FILE_OPEN_ERROR = 915;
inline constexpr uint32_t RCC_FILE_STAT_FAILED = 916;
inline constexpr uint32_t RCC_OUT_OF_MEMORY = 917;
inline constexpr uint32_t RCC_FILE_DELETE_FAILED = 918;
// The agent turned the connection away before it began: too many sessions
// (or too many not yet logged in) are open. Try again later.
inline constexpr uint32_t RCC_AGENT_BUSY = 919;
// The TLS session could not be set up: the agent's certificate did not pass
// the checks, or the agent refused ours (AgentConnection::getTlsFailure says
// which).
inline constexpr uint32_t RCC_TLS_FAILED = 920;

// One entry of the code table. The table ends with an entry whose code is -1
// and whose text is null.
struct AgentResultCodeText {
  int32_t code;
  const char16_t *text;
};

// The code table in its fixed order, terminating entry included.
KMSRV_EXPORT extern const AgentResultCodeText g_agentResultCodes[];

// The text of a result code ("Unknown error code" for a code not in the
// table). Never null; the text is constant and must not be freed.
KMSRV_EXPORT const char16_t *AgentErrorCodeToText(int32_t code);
