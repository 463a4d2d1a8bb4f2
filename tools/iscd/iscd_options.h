// The command line of kmiscd, the reference ISC peer. The options are
// described in docs/protocol.md, "Inter-server channel", and by --help.
//
// Pure parsing; any thread.
#pragma once

#include <string>

#include "isc_server.h"

namespace kmisc {

struct IscdOptions {
  IscdOptions();
  IscConfig server;     // listens on 127.0.0.1:4702 unless told otherwise; records off
  std::string pidFile;  // empty: none
  bool foreground = false;
  bool help = false;  // --help: print the usage and exit
};

// Parses argv[1..argc-1]. Options take their value as the next argument or
// after '='; switches take none. False with a reason in *error for an
// unknown option, a missing value or a value that does not parse.
bool ParseIscdCommandLine(int argc, const char *const *argv, IscdOptions *options,
                          std::string *error);

// The --help text.
std::string IscdUsage();

}  // namespace kmisc
