// What the agent management requests of AgentConnection hand to callers: the
// policy inventory of one agent (AgentPolicyInfo, from getPolicyInventory)
// and the decoding of the configuration text getConfigFile returns.
//
// Both decode a reply the caller already holds; they touch nothing else and
// take no lock, so any thread may call them. An AgentPolicyInfo does not
// change after its constructor returns: several threads may read one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kmbase/export.h"

class CSCPMessage;

// Bytes of one policy GUID.
inline constexpr size_t AGENT_POLICY_GUID_SIZE = 16;
// Field ids one policy record takes in a policy inventory reply: record i
// starts at VAR_LIST_BASE + AGENT_POLICY_RECORD_STRIDE * i with its GUID
// (binary), then its type (16-bit), then its server (string).
inline constexpr uint32_t AGENT_POLICY_RECORD_STRIDE = 10;

// The policy inventory of one agent, decoded from an MC_GET_POLICY_INVENTORY
// reply. The object owns its arrays and strings (malloc'd, freed by the
// destructor).
class KMSRV_EXPORT AgentPolicyInfo {
 public:
  // Decodes msg, which stays the caller's. VAR_NUM_POLICIES is read as a
  // signed count: 0 or less gives no records (getSize still returns it).
  // A positive count that the message cannot hold (every record takes at
  // least one field, so a count above the message's field count) or whose
  // arrays cannot be allocated gives no records and size 0, and isValid()
  // is false. A record whose GUID field is missing or shorter than 16 bytes
  // has zeros in the rest; one without its server string has a null server.
  explicit AgentPolicyInfo(const CSCPMessage *msg);
  ~AgentPolicyInfo();
  // Owns heap arrays: a copy would free them twice.
  AgentPolicyInfo(const AgentPolicyInfo &) = delete;
  AgentPolicyInfo &operator=(const AgentPolicyInfo &) = delete;

  // The count as the agent sent it (0 when the count was refused).
  int32_t getSize() const { return size; }
  // The record's type (its 16-bit field, zero-extended), or -1 when index is
  // not a valid record index.
  int32_t getType(int32_t index) const;
  // The record's server name (null when the record had none), owned by the
  // object; null for an invalid index.
  const char16_t *getServer(int32_t index) const;
  // Copies the record's GUID into guid (AGENT_POLICY_GUID_SIZE bytes) and
  // returns true; false for an invalid index, guid untouched.
  bool getGuid(int32_t index, uint8_t *guid) const;

  // False when the message's count was refused or memory ran out (above).
  bool isValid() const { return valid; }

  // Whether a positive count could be that of msg: every record takes at
  // least one field, so a count above the message's field count is a lie,
  // and believing it would let a small message drive a large allocation.
  static bool countFits(const CSCPMessage &msg, int32_t count);

 private:
  int32_t size;
  uint8_t (*guids)[AGENT_POLICY_GUID_SIZE];  // size records, or null
  int32_t *types;                            // size entries, or null
  char16_t **servers;                        // size entries (each may be null), or null
  bool valid;
};

// The configuration text of an agent from the bytes of its VAR_CONFIG_FILE
// field (text in the process code page, no terminator): a malloc'd string of
// room for length + 1 characters that the caller frees with free(), or null
// when memory runs out. Every character below 32 other than tab, line feed
// and carriage return becomes a space, so an embedded NUL does not cut the
// text. In a single-byte code page the text has exactly `length`
// characters; in a multi-byte one (UTF-8) fewer, and the positions after the
// converted text up to index `length` are zeros. Empty input gives an empty
// string, not null.
KMSRV_EXPORT char16_t *DecodeAgentConfigText(const uint8_t *bytes, uint32_t length);
