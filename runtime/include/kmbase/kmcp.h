// KMCP wire vocabulary known to the base runtime: the 16-byte message header,
// its flags, the limits every decoder enforces, and the list of message codes
// (with their names, for KMCPMessageCodeName and the protocol constants).
//
// Plain data and constants; safe to use from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Our own protocol version; version detection reports it to peers.
inline constexpr int KMCP_VERSION = 2;

// Header flags (host order after decoding; big-endian on the wire).
inline constexpr uint16_t FLAG_RAW = 0x0001;          // payload is opaque bytes
inline constexpr uint16_t FLAG_END_OF_FILE = 0x0002;  // last chunk of a file

// The 16-byte header every KMCP message starts with. All members are
// big-endian on the wire. For a message with fields, numFields is the field
// count; for a raw message it is the number of payload bytes.
struct KMCP_MESSAGE {
  uint16_t code;
  uint16_t flags;
  uint32_t size;  // total size in bytes, header included
  uint32_t id;
  uint32_t numFields;  // field count, or raw payload byte count
};
static_assert(sizeof(KMCP_MESSAGE) == 16);
inline constexpr size_t KMCP_HEADER_SIZE = 16;

// Encrypted envelope: a header of its own whose second 32-bit word is the
// envelope's total size (big-endian); the rest belongs to the cipher.
struct KMCP_ENCRYPTED_MESSAGE {
  uint16_t code;  // MC_ENCRYPTED_MESSAGE
  uint16_t reserved;
  uint32_t size;  // total size of the envelope in bytes, big-endian
};
static_assert(sizeof(KMCP_ENCRYPTED_MESSAGE) == 8);

// Limits that bound what a peer can make us do.
// Largest message the codec will build or decode: big enough for a 256 MiB
// download's chunks, a large config file or a 10,000-line list; small enough
// that a hostile size field cannot make us allocate without end.
inline constexpr uint32_t KMCP_MAX_MESSAGE_SIZE = 16u * 1024 * 1024;
// The one message limit of a session, the same at both ends: a message (its
// header's size, without any envelope) of up to this many bytes is taken;
// encrypted, its envelope may be up to KMCPEncryptedSize of it. Anything an
// end sends within it, the other end takes.
inline constexpr uint32_t KMCP_SESSION_MESSAGE_LIMIT = 262144;
// Every encoded message and field is padded to this alignment.
inline constexpr uint32_t KMCP_ALIGNMENT = 8;

// Message codes: X(name, value). The single list of codes; both the MC_*
// constants and KMCPMessageCodeName come from it.
// MC_AGENT_DOWNLOAD_FILE is the reference agent's own request: it streams
// a file of its file area as raw MC_FILE_DATA chunks, then answers.
#define KMCP_MESSAGE_CODES(X)              \
  X(MC_KEEPALIVE, 3)                       \
  X(MC_TRAP, 19)                           \
  X(MC_REQUEST_COMPLETED, 29)              \
  X(MC_UNINSTALL_POLICY, 60)               \
  X(MC_LOGIN, 64)                          \
  X(MC_GET_PARAMETER, 65)                  \
  X(MC_GET_LIST, 66)                       \
  X(MC_EXEC_ACTION, 67)                    \
  X(MC_GET_POLICY_INVENTORY, 77)           \
  X(MC_FILE_DATA, 105)                     \
  X(MC_TRANSFER_FILE, 106)                 \
  X(MC_UPGRADE_AGENT, 107)                 \
  X(MC_CHECK_SERVICE, 115)                 \
  X(MC_GET_AGENT_CONFIG, 116)              \
  X(MC_UPDATE_AGENT_CONFIG, 117)           \
  X(MC_GET_PARAMETER_LIST, 118)            \
  X(MC_REQUEST_SESSION_KEY, 131)           \
  X(MC_SESSION_KEY, 132)                   \
  X(MC_SETUP_PROXY_CONNECTION, 149)        \
  X(MC_ENABLE_TRAPS, 186)                  \
  X(MC_DATA_PUSH, 187)                     \
  X(MC_SNMP_REQUEST, 195)                  \
  X(MC_ISC_CONNECT_TO_SERVICE, 232)        \
  X(MC_GET_TABLE, 245)                     \
  X(MC_AGENT_DOWNLOAD_FILE, 0x7E10)        \
  X(MC_GET_KMCP_CAPS, 0x7000)              \
  X(MC_ENCRYPTED_MESSAGE, 0x7FFF)

enum : uint16_t {
#define KMCP_DECLARE_CODE(name, value) name = value,
  KMCP_MESSAGE_CODES(KMCP_DECLARE_CODE)
#undef KMCP_DECLARE_CODE
};
