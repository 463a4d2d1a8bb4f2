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

// The longest argument a request may carry (in bytes of the process code
// page): enough for any real action, and it bounds what a peer makes the
// agent copy into a child's argv.
inline constexpr size_t kMaxActionArgumentSize = 4096;

// Placeholders of a configured action: "$1" to "$9" anywhere in its words
// (after the program) stand for the request's arguments; any other '$' is
// itself. The number of arguments an action takes: its highest placeholder,
// 0 without one.
uint32_t DeclaredArguments(const std::vector<std::string> &configured);
// The argv of a configured action with its placeholders filled from args
// (a placeholder beyond args is empty). Arguments are never appended: the
// caller refuses more of them than DeclaredArguments.
std::vector<std::string> FillPlaceholders(const std::vector<std::string> &configured,
                                          const std::vector<std::string> &args);

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
