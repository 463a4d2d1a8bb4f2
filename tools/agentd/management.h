// The agent's management stores: the configuration file it serves
// (AgentConfig::servedConfig), its policy store (AgentConfig::policiesDir)
// and the record of upgrade requests in its file area. The session handlers
// (management.cpp) use these helpers; tests use the GUID and policy-file
// forms to build stores of their own.
//
// Pure functions over the file system; any thread. Sessions may run them at
// the same time: a replaced file appears whole or not at all (rename), and
// each record line is one append.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kmagent::detail {

// A served configuration file larger than this is not read (its reply would
// not fit the 256 KiB a client reads) and a larger replacement is refused.
inline constexpr size_t kMaxServedConfigSize = 200 * 1024;
// A policy file is a few short lines; a larger one is skipped as broken, so
// that listing a store reads a bounded amount per policy.
inline constexpr size_t kMaxPolicyFileSize = 4096;
// A server name longer than this makes its policy file broken.
inline constexpr size_t kMaxPolicyServer = 1023;
// Policies one inventory reply carries at most: with long server names the
// reply then still fits what a client reads. A larger store is answered
// RCC_OUT_OF_RESOURCES.
inline constexpr size_t kMaxPolicies = 1024;
// Name of the upgrade record in the file area (a dot name: no upload or
// upgrade can name it).
inline constexpr const char *kUpgradeRecordName = ".upgrades";

using PolicyGuid = std::array<uint8_t, 16>;

// Policy files are named by the GUID's text (KmGuidToText); nothing for a
// name that is not one.
std::optional<PolicyGuid> ParseGuidText(std::string_view text);

struct PolicyRecord {
  PolicyGuid guid;
  uint16_t type = 0;
  std::optional<std::string> server;  // in the process code page
};

// Reads a policy file's text: `key = value` lines, `type` (0 to 65535) and
// `server` (optional); blank lines, `#` comments and other keys are ignored.
// False (with a reason) for a bad type, a server name that is too long, or
// a repeated key.
bool ParsePolicyText(std::string_view text, PolicyRecord *record, std::string *error);
// The text ParsePolicyText reads back as record.
std::string PolicyText(const PolicyRecord &record);

// Lists the store's policies, sorted by GUID: the regular files (symbolic
// links are not followed) whose names are GUID texts. Broken policy files
// are skipped and named in *skipped. False with a reason when the directory
// cannot be read or holds more than kMaxPolicies policies.
bool ListPolicies(const std::string &dir, std::vector<PolicyRecord> *policies,
                  std::vector<std::string> *skipped, std::string *error);
// Removes the policy file of guid (whatever the case of its name). 0 when
// removed, RCC_UNKNOWN_PARAMETER when the store has no such policy,
// RCC_FILE_DELETE_FAILED (or RCC_IO_FAILURE for an unreadable store)
// otherwise.
uint32_t RemovePolicy(const std::string &dir, const PolicyGuid &guid);

// Reads the whole served configuration file. 0 with its bytes;
// RCC_FILE_OPEN_ERROR when it is missing or not a regular file;
// RCC_OUT_OF_RESOURCES when larger than kMaxServedConfigSize; RCC_IO_FAILURE
// when reading fails.
uint32_t ReadServedConfig(const std::string &path, std::string *bytes);
// Replaces the file at path with bytes: a temporary file in the same
// directory is written, flushed to disk (fsync), given the old file's
// permissions (0600 for a new file), and renamed over path; the directory
// is then flushed too. A reader sees the old or the new contents, never a
// mix. False with a reason on failure (the temporary file is removed, path
// is untouched).
bool ReplaceFileAtomically(const std::string &path, std::string_view bytes, std::string *error);

}  // namespace kmagent::detail
