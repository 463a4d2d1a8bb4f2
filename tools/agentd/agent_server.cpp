// AgentServer: the agent's configuration checks and records around the
// shared server core (tools/common), which runs the listener and the
// sessions.
#include "agent_server.h"

#include <openssl/crypto.h>
#include <sys/stat.h>

#include <memory>

#include "agent_session.h"
#include "kmbase/message.h"
#include "kmsrv/result_codes.h"
#include "login_check.h"
#include "server_shared.h"

namespace kmagent {

void ForgetRecord(LoginRecord &record) {
  if (!record.secretText.empty())
    OPENSSL_cleanse(record.secretText.data(), record.secretText.size() * sizeof(char16_t));
  if (!record.secretBytes.empty())
    OPENSSL_cleanse(record.secretBytes.data(), record.secretBytes.size());
}

namespace detail {

ServerShared::ServerShared(const AgentConfig &cfg)
    : config(cfg),
      core(kmpeer::SettingsOf(cfg, RCC_ENCRYPTION_REQUIRED, RCC_AGENT_BUSY, cfg.closeAfterRequests,
                              cfg.replyDelayMs),
           cfg.log),
      logins(cfg.keepRecords),
      proxyHops(cfg.keepRecords),
      throttle(cfg.loginFailureDelayMs) {}

}  // namespace detail

namespace {

// What the core does not check itself.
bool ValidateConfig(const AgentConfig &c, std::string *error) {
  if (c.secret.size() > detail::kMaxSecretBytes) {
    *error = "shared secret longer than 63 bytes: no client could send it";
    return false;
  }
  if (c.oversizedMessageSize < KMCP_HEADER_SIZE || c.oversizedMessageSize > KMCP_MAX_MESSAGE_SIZE) {
    *error = "oversizedMessageSize must lie between 16 and " +
             std::to_string(KMCP_MAX_MESSAGE_SIZE) + " bytes";
    return false;
  }
  if (!kmpeer::CheckTlsFiles(c.tls, error)) return false;
  struct stat st;
  if (!c.policiesDir.empty() &&
      (::stat(c.policiesDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    *error = "policy store " + c.policiesDir + " is not a directory";
    return false;
  }
  if (!c.servedConfig.empty()) {
    // The file itself may be missing until the first replacement; its
    // directory, which receives the temporary file, must be there.
    const size_t slash = c.servedConfig.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : c.servedConfig.substr(0, slash);
    if (c.servedConfig.back() == '/' || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      *error = "served configuration " + c.servedConfig + " is not a file in a directory";
      return false;
    }
  }
  return true;
}

}  // namespace

struct AgentServer::Impl {
  explicit Impl(AgentConfig cfg) : config(std::move(cfg)), shared(config) {}

  AgentConfig config;  // read-only after start() (shared.config refers to it)
  detail::ServerShared shared;
};

AgentServer::AgentServer(AgentConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

AgentServer::~AgentServer() {
  stop();
  std::string &secret = impl_->config.secret;
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
  clearRecords();
}

bool AgentServer::start(std::string *error) {
  std::string reason;
  std::string *err = error != nullptr ? error : &reason;
  if (!ValidateConfig(impl_->config, err)) return false;
  detail::ServerShared &shared = impl_->shared;
  if (impl_->config.tls.configured()) {
    KmTlsContextRef context = kmpeer::MakeServerTlsContext(impl_->config.tls, err);
    if (context == nullptr) return false;
    shared.core.setTlsContext(std::move(context));
  }
  return shared.core.start(
      impl_->config.listenAddress, impl_->config.listenPort, impl_->config.maxSessions,
      [&shared](SOCKET sock, uint64_t number, uint32_t address, uint16_t port) {
        return std::make_shared<detail::Session>(shared, sock, number, address, port);
      },
      err);
}

uint16_t AgentServer::port() const { return impl_->shared.core.port(); }
bool AgentServer::reloadTls(std::string *error) {
  return kmpeer::ReloadTls(impl_->shared.core, impl_->config.tls, error);
}
void AgentServer::stop() { impl_->shared.core.stop(); }
size_t AgentServer::sessionCount() const { return impl_->shared.core.sessionCount(); }
bool AgentServer::waitForSessionCount(size_t count, uint32_t timeoutMs) const {
  return impl_->shared.core.waitForSessionCount(count, timeoutMs);
}

std::vector<LoginRecord> AgentServer::logins() const { return impl_->shared.logins.list(); }
std::vector<ProxyHopRecord> AgentServer::proxyHops() const {
  return impl_->shared.proxyHops.list();
}
std::vector<RequestRecord> AgentServer::requests() const {
  return impl_->shared.core.requests().list();
}
void AgentServer::clearRecords() {
  impl_->shared.logins.clear();
  impl_->shared.proxyHops.clear();
  impl_->shared.core.requests().clear();
}

size_t AgentServer::sendTrap(const CSCPMessage &trap) {
  const uint16_t code = MC_TRAP;
  return impl_->shared.core.broadcast(trap, &code, true);
}

size_t AgentServer::pushData(const CSCPMessage &data) {
  const uint16_t code = MC_DATA_PUSH;
  return impl_->shared.core.broadcast(data, &code, false);
}

size_t AgentServer::sendMessage(const CSCPMessage &msg) {
  return impl_->shared.core.broadcast(msg, nullptr, false);
}

size_t AgentServer::sendBadMessage(BadMessage kind) {
  size_t sent = 0;
  for (const std::shared_ptr<kmpeer::PeerSession> &s : impl_->shared.core.sessions())
    sent += static_cast<detail::Session &>(*s).sendBad(kind) ? 1 : 0;
  return sent;
}

}  // namespace kmagent
