// Running a configured action's program for MC_EXEC_ACTION: fork and execv,
// no shell, with a bounded wait.
//
// Called on session threads; each call owns the child it starts and reaps
// it before returning.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kmbase/sync.h"

namespace kmagent::detail {

// Most arguments a request may append, and the longest one (in bytes of the
// process code page): enough for any real action, and they bound what a
// peer makes the agent copy into a child's argv.
inline constexpr uint32_t kMaxActionArguments = 64;
inline constexpr size_t kMaxActionArgumentSize = 4096;

enum class ActionOutcome {
  Succeeded,    // exit status 0
  Failed,       // another exit status, or ended by a signal
  TimedOut,     // still running after the time allowed: killed
  Stopped,      // the server stops: killed
  CannotStart,  // fork or execv failed
};

// Runs argv[0] (a path) with argv as its arguments, standard input and
// output on /dev/null, in a process group of its own with no signal blocked,
// and waits up to timeoutMs for it. A child still running at the end of the
// wait is killed with its whole process group. *exitStatus (when given)
// receives the exit status of an ended program, else -1.
ActionOutcome RunProgram(const std::vector<std::string> &argv, uint32_t timeoutMs,
                         const KmEvent &stop, int *exitStatus);

// Splits a configured command line into words at spaces and tabs; double
// quotes keep spaces inside a word and are dropped. False for an unmatched
// quote.
bool SplitCommandLine(std::string_view text, std::vector<std::string> *words);

}  // namespace kmagent::detail
