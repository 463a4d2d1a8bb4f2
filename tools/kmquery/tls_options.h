// kmquery's TLS options, the same for every command that opens a session
// (agent, isc, snmp --via-agent): --tls-ca, --tls-cert, --tls-key,
// --tls-fingerprint and --tls-name. Any of them turns TLS on. Main thread
// only.
#pragma once

#include <string>

#include "kmbase/tls.h"

namespace CLI {
class App;
}

namespace kmquery {

struct TlsOptions {
  KmTlsClientSettings settings;
  // What the peer's certificate must carry; empty: the host as given on the
  // command line.
  std::string name;
  // Whether any --tls-* option was given.
  bool requested = false;
};

// Registers the --tls-* options on `command` in `group`, writing into
// `options`.
void AddTlsOptions(CLI::App *command, TlsOptions *options, const char *group);

// Checks that the settings can be used (the files can be read, the key
// belongs to the certificate, the fingerprint is well formed) before
// anything is sent. False with the library's reason otherwise.
bool CheckTlsSettings(const TlsOptions &options, std::string *error);

// The name the peer's certificate must carry: --tls-name, else host.
std::string TlsExpectedName(const TlsOptions &options, const std::string &host);

// What a session says about its protection in kmquery's result lines:
// "protected by TLS (TLSv1.3 TLS_AES_256_GCM_SHA384)", "encrypted" or
// "not encrypted". tlsDescription is KmTlsDescription of the session's
// socket, empty when it does not run over TLS; encrypted is whether the
// session has its own encryption (isEncrypted). Through a proxy, TLS covers
// only the way to the proxy, and the text says so and what lies beyond.
std::string ProtectionText(const std::string &tlsDescription, bool encrypted,
                           bool throughProxy = false);

}  // namespace kmquery
