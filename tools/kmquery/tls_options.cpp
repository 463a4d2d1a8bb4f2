#include "tls_options.h"

#include <CLI/CLI.hpp>
#include <functional>

namespace kmquery {

void AddTlsOptions(CLI::App *command, TlsOptions *o, const char *group) {
  // Files are not checked here: CheckTlsSettings reports them with the
  // library's own words, once all the options are known.
  auto add = [&](const char *name, std::function<void(const std::string &)> store, const char *help,
                 const char *text) {
    command
        ->add_option_function<std::string>(
            name,
            [o, store](const std::string &value) {
              store(value);
              o->requested = true;
            },
            help)
        ->option_text(text)
        ->group(group);
  };
  add(
      "--tls-ca", [o](const std::string &v) { o->settings.caFile = v; },
      "Run the session over TLS and trust the CAs of this PEM file", "FILE");
  add(
      "--tls-cert", [o](const std::string &v) { o->settings.certFile = v; },
      "Our client certificate (PEM), for peers that require one; needs --tls-key", "FILE");
  add(
      "--tls-key", [o](const std::string &v) { o->settings.keyFile = v; },
      "The private key of --tls-cert (PEM)", "FILE");
  add(
      "--tls-fingerprint", [o](const std::string &v) { o->settings.fingerprint = v; },
      "Trust only the peer certificate with this SHA-256 fingerprint (hex, colons allowed)", "HEX");
  add(
      "--tls-name", [o](const std::string &v) { o->name = v; },
      "Name the peer's certificate must carry (default: HOST as given); alone: TLS with the "
      "system's CAs",
      "NAME");
}

bool CheckTlsSettings(const TlsOptions &options, std::string *error) {
  if (!options.requested) return true;
  return KmTlsMakeClientContext(options.settings, error) != nullptr;
}

std::string TlsExpectedName(const TlsOptions &options, const std::string &host) {
  return options.name.empty() ? host : options.name;
}

std::string ProtectionText(const std::string &tlsDescription, bool encrypted, bool throughProxy) {
  if (tlsDescription.empty()) return encrypted ? "encrypted" : "not encrypted";
  if (!throughProxy) return "protected by TLS (" + tlsDescription + ")";
  return "protected by TLS to the proxy (" + tlsDescription + "), " +
         (encrypted ? "encrypted to the agent" : "not encrypted beyond the proxy");
}

}  // namespace kmquery
