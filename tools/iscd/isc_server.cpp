// IscServer: the ISC peer's configuration around the shared server core
// (tools/common), which runs the listener and the sessions.
#include "isc_server.h"

#include "isc_peer_session.h"
#include "kmsrv/isc.h"

namespace kmisc {

namespace detail {

kmpeer::SessionSettings SettingsOf(const IscConfig &c) {
  return kmpeer::SettingsOf(c, ISC_RESULT_ENCRYPTION_REQUIRED, ISC_RESULT_PEER_BUSY,
                            c.closeAfterAnswers);
}

}  // namespace detail

IscServer::IscServer(IscConfig config)
    : config_(std::move(config)), core_(detail::SettingsOf(config_), config_.log) {}

IscServer::~IscServer() { stop(); }

bool IscServer::start(std::string *error) {
  std::string reason;
  std::string *err = error != nullptr ? error : &reason;
  if (!kmpeer::CheckTlsFiles(config_.tls, err)) return false;
  if (config_.tls.configured()) {
    KmTlsContextRef context = kmpeer::MakeServerTlsContext(config_.tls, err);
    if (context == nullptr) return false;
    core_.setTlsContext(std::move(context));
  }
  return core_.start(
      config_.listenAddress, config_.listenPort, config_.maxSessions,
      [this](SOCKET sock, uint64_t number, uint32_t address, uint16_t port) {
        return std::make_shared<detail::PeerSession>(core_, config_, sock, number, address, port);
      },
      err);
}

uint16_t IscServer::port() const { return core_.port(); }
bool IscServer::reloadTls(std::string *error) {
  return kmpeer::ReloadTls(core_, config_.tls, error);
}
void IscServer::stop() { core_.stop(); }
size_t IscServer::sessionCount() const { return core_.sessionCount(); }
bool IscServer::waitForSessionCount(size_t count, uint32_t timeoutMs) const {
  return core_.waitForSessionCount(count, timeoutMs);
}
std::vector<IscRequestRecord> IscServer::requests() const { return core_.requests().list(); }
void IscServer::clearRecords() { core_.requests().clear(); }
size_t IscServer::sendMessage(const CSCPMessage &msg) {
  return core_.broadcast(msg, nullptr, false);
}

}  // namespace kmisc
