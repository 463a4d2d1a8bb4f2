// The TLS settings both reference peers take: certificate, key and CA files
// and whether legacy (non-TLS) sessions are refused; their option-table
// entries, their checks, and making (and remaking, on SIGHUP) the server
// context the sessions handshake with.
//
// Pure parsing and file reading; any thread. ReloadTls swaps the core's
// context (ServerCore::setTlsContext), which any thread may do.
#pragma once

#include <string>
#include <string_view>

#include "kmbase/tls.h"
#include "options.h"

namespace kmpeer {

class ServerCore;

struct TlsFiles {
  std::string certFile;  // our certificate (PEM); empty: no TLS
  std::string keyFile;   // its private key (PEM)
  std::string caFile;    // when set, callers must present a certificate signed by it
  bool require = false;  // refuse sessions that do not start with a TLS handshake

  bool configured() const { return !certFile.empty(); }
};

// Whether the files fit together: a certificate needs its key (and the
// reverse), and a CA or require needs a certificate. False with a reason
// that names the options ("--tls-cert without --tls-key").
bool CheckTlsFiles(const TlsFiles &files, std::string *error);

// The server context of the files (CheckTlsFiles first); null with a reason
// naming the file that cannot be read or used.
KmTlsContextRef MakeServerTlsContext(const TlsFiles &files, std::string *error);

// Reads the files again into a new context that the sessions accepted from
// now on use; established sessions keep theirs. A reload that fails keeps the
// context in force. Logs one line either way; false with the reason in *error
// (when given) on failure. Nothing to do (true) when no certificate is set.
bool ReloadTls(ServerCore &core, const TlsFiles &files, std::string *error);

// Makes the file paths absolute (a detached daemon works in "/").
void MakeTlsPathsAbsolute(TlsFiles *files);

// The option-table entries of the TLS settings for a program whose options
// hold its TlsFiles where Files points: one entry per setting.
template <typename Options, TlsFiles *(*Files)(Options *)>
struct TlsOptions {
  static bool SetPath(std::string_view v, std::string *out, std::string *error) {
    if (v.empty()) {
      *error = "needs a file name";
      return false;
    }
    *out = std::string(v);
    return true;
  }
  static constexpr Option<Options> cert{"tls_cert", "FILE",
                                        "serve TLS with this certificate (PEM; with --tls-key)",
                                        [](std::string_view v, Options *o, std::string *e) {
                                          return SetPath(v, &Files(o)->certFile, e);
                                        }};
  static constexpr Option<Options> key{"tls_key", "FILE",
                                       "private key of the TLS certificate (PEM)",
                                       [](std::string_view v, Options *o, std::string *e) {
                                         return SetPath(v, &Files(o)->keyFile, e);
                                       }};
  static constexpr Option<Options> ca{
      "tls_ca", "FILE", "TLS callers must present a certificate signed by this CA (PEM)",
      [](std::string_view v, Options *o, std::string *e) {
        return SetPath(v, &Files(o)->caFile, e);
      }};
  static constexpr Option<Options> require{"tls_require", nullptr,
                                           "refuse sessions that do not start with TLS",
                                           [](std::string_view v, Options *o, std::string *e) {
                                             return ParseBool(v, &Files(o)->require, e);
                                           }};
};

}  // namespace kmpeer
