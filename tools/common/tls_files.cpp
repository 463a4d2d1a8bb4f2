#include "tls_files.h"

#include "daemon.h"
#include "server_core.h"

namespace kmpeer {

bool CheckTlsFiles(const TlsFiles &files, std::string *error) {
  if (!files.certFile.empty() && files.keyFile.empty()) {
    *error = "--tls-cert without --tls-key";
    return false;
  }
  if (files.certFile.empty() && !files.keyFile.empty()) {
    *error = "--tls-key without --tls-cert";
    return false;
  }
  if (files.certFile.empty() && !files.caFile.empty()) {
    *error = "--tls-ca without --tls-cert";
    return false;
  }
  if (files.certFile.empty() && files.require) {
    *error = "--tls-require without --tls-cert";
    return false;
  }
  return true;
}

KmTlsContextRef MakeServerTlsContext(const TlsFiles &files, std::string *error) {
  if (!CheckTlsFiles(files, error)) return nullptr;
  KmTlsServerSettings settings;
  settings.certFile = files.certFile;
  settings.keyFile = files.keyFile;
  settings.caFile = files.caFile;
  return KmTlsMakeServerContext(settings, error);
}

bool ReloadTls(ServerCore &core, const TlsFiles &files, std::string *error) {
  if (!files.configured()) return true;
  std::string reason;
  KmTlsContextRef context = MakeServerTlsContext(files, &reason);
  if (context == nullptr) {
    core.logf(LogLevel::Error, "TLS reload failed, new sessions keep the certificate in force: %s",
              LogText(reason).c_str());
    if (error != nullptr) *error = reason;
    return false;
  }
  core.setTlsContext(std::move(context));
  core.logf(LogLevel::Info, "TLS certificate reloaded from %s: new sessions use it",
            LogText(files.certFile).c_str());
  return true;
}

void MakeTlsPathsAbsolute(TlsFiles *files) {
  files->certFile = AbsolutePath(files->certFile);
  files->keyFile = AbsolutePath(files->keyFile);
  files->caFile = AbsolutePath(files->caFile);
}

}  // namespace kmpeer
