// Settings of the kmagentd program: its command line and its configuration
// file (lines of `key = value`), both mapped onto one set of keys. The keys
// and options are documented in docs/agentd.md.
//
// Pure parsing (the file is read, nothing else happens); any thread.
#pragma once

#include <string>
#include <string_view>

#include "agent_server.h"

namespace kmagent {

struct AgentdOptions {
  AgentdOptions();
  AgentConfig agent;  // listen defaults to 127.0.0.1:4700, records off, traps only
                      // to sessions that enabled them
  std::string pidFile;   // empty: none
  std::string logFile;   // empty: standard error in the foreground, none detached
  uint64_t logMaxBytes = uint64_t{10} << 20;  // then moved to logFile.1 (0: no limit)
  std::string codePage;  // empty: the runtime's default (UTF-8)
  bool foreground = false;
  // Send a trap to the sessions that take traps every this many ms (0: never).
  uint32_t trapIntervalMs = 0;
  bool help = false;  // --help: print the usage and exit
  // The configuration file read (--config), and whether the secret came
  // from it (kmagentd warns when such a file is readable by everyone).
  std::string configFile;
  bool configHoldsSecret = false;
};

// The default port of the agent.
inline constexpr uint16_t kDefaultAgentPort = 4700;
// A configuration file larger than this is refused (a real one is a few
// hundred bytes), as is a line longer than kMaxConfigLine.
inline constexpr size_t kMaxConfigFileSize = 1 << 20;
inline constexpr size_t kMaxConfigLine = 4096;

// Applies one setting given by its configuration file key. False with a
// reason for an unknown key or a value that does not parse.
bool ApplyAgentdSetting(std::string_view key, std::string_view value, AgentdOptions *options,
                        std::string *error);

// Applies every setting of a configuration file's text: `key = value` lines,
// blank lines and lines starting with '#'; a value may be put in double
// quotes to keep leading or trailing spaces. `origin` names the file in
// errors ("FILE:LINE: ...").
bool ParseAgentdConfigText(std::string_view text, std::string_view origin, AgentdOptions *options,
                           std::string *error);
// Reads and applies a configuration file; the text read is wiped from
// memory once parsed.
bool LoadAgentdConfigFile(const std::string &path, AgentdOptions *options, std::string *error);

// Parses argv[1..argc-1]. --config FILE is applied first, whatever its place,
// so that every other option overrides the file. Options take their value as
// the next argument or after '='; switches take none.
bool ParseAgentdCommandLine(int argc, const char *const *argv, AgentdOptions *options,
                            std::string *error);

// The --help text.
std::string AgentdUsage();

}  // namespace kmagent
