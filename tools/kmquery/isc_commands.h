// `kmquery isc HOST [options] COMMAND ...`: opens an inter-server (ISC)
// session with the library's ISC class and reports how it went.
//
// Main thread only (the session's receiver thread calls PrintMsg).
#pragma once

#include <cstdint>
#include <string>

#include "cli_support.h"
#include "tls_options.h"

namespace CLI {
class App;
}

namespace kmquery {

class IscCommand {
 public:
  explicit IscCommand(CLI::App &root);
  IscCommand(const IscCommand &) = delete;
  IscCommand &operator=(const IscCommand &) = delete;

  bool selected() const;
  int run(const Output &out, int32_t debugLevel);

 private:
  CLI::App *command_ = nullptr;
  CLI::App *nop_ = nullptr;
  std::string host_;
  uint16_t port_ = 4702;
  int32_t encryption_ = -1;  // -1: not given (on demand)
  std::string keyFile_;
  bool generateKey_ = false;
  uint32_t timeoutMs_ = 10000;
  uint32_t service_ = 0;
  TlsOptions tls_;
};

}  // namespace kmquery
