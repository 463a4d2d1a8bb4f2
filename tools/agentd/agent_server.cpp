// AgentServer: the listener thread, the registry of sessions and their
// threads, broadcasting, and the records.
//
// Threads: one listener thread accepts connections and starts one thread per
// session; it also joins the threads of sessions that have ended. stop()
// joins the listener first (so no session starts after it), then shuts every
// session down and joins the rest.
#include "agent_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <new>

#include "agent_session.h"
#include "error_text.h"
#include "kmbase/message.h"
#include "kmbase/net.h"
#include "kmbase/sync.h"
#include "kmbase/thread_annotations.h"
#include "login_check.h"
#include "server_shared.h"

namespace kmagent {
namespace detail {

namespace {

template <typename T>
void Push(std::deque<T> &list, T record) {
  if (list.size() >= Records::kMaxRecords) {
    list.pop_front();
  }
  list.push_back(std::move(record));
}

void Cleanse(std::u16string &text) {
  if (!text.empty()) {
    OPENSSL_cleanse(text.data(), text.size() * sizeof(char16_t));
  }
}

void Cleanse(std::vector<uint8_t> &bytes) {
  if (!bytes.empty()) {
    OPENSSL_cleanse(bytes.data(), bytes.size());
  }
}

}  // namespace

void Records::addLogin(LoginRecord record) {
  if (!enabled_) {
    Cleanse(record.secretText);
    Cleanse(record.secretBytes);
    return;
  }
  KmLockGuard guard(lock_);
  if (logins_.size() >= kMaxRecords) {
    Cleanse(logins_.front().secretText);
    Cleanse(logins_.front().secretBytes);
  }
  Push(logins_, std::move(record));
}

void Records::addProxyHop(const ProxyHopRecord &record) {
  if (!enabled_) {
    return;
  }
  KmLockGuard guard(lock_);
  Push(proxyHops_, record);
}

void Records::addRequest(const RequestRecord &record) {
  if (!enabled_) {
    return;
  }
  KmLockGuard guard(lock_);
  Push(requests_, record);
}

std::vector<LoginRecord> Records::logins() const {
  KmLockGuard guard(lock_);
  return {logins_.begin(), logins_.end()};
}

std::vector<ProxyHopRecord> Records::proxyHops() const {
  KmLockGuard guard(lock_);
  return {proxyHops_.begin(), proxyHops_.end()};
}

std::vector<RequestRecord> Records::requests() const {
  KmLockGuard guard(lock_);
  return {requests_.begin(), requests_.end()};
}

void Records::clear() {
  KmLockGuard guard(lock_);
  for (LoginRecord &r : logins_) {
    Cleanse(r.secretText);
    Cleanse(r.secretBytes);
  }
  logins_.clear();
  proxyHops_.clear();
  requests_.clear();
}

void ServerShared::logf(LogLevel level, const char *format, ...) const {
  if (!config.log) {
    return;
  }
  char line[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  if (length >= 0) {
    config.log(level, line);
  }
}

}  // namespace detail

using detail::Session;

namespace {

// How often the listener looks at the stop flag and for ended sessions when
// no connection arrives; bounds how long stop() waits for the listener.
constexpr uint32_t kAcceptPollMs = 200;
constexpr int kListenBacklog = 64;

bool ValidateConfig(const AgentConfig &c, uint32_t *listenAddress, std::string *error) {
  in_addr a{};
  if (::inet_pton(AF_INET, c.listenAddress.c_str(), &a) != 1) {
    *error = "invalid listen address \"" + c.listenAddress + "\" (dotted IPv4 expected)";
    return false;
  }
  *listenAddress = a.s_addr;
  if (c.secret.size() > detail::kMaxSecretBytes) {
    *error = "shared secret longer than 63 bytes: no client could send it";
    return false;
  }
  if (c.maxSessions == 0) {
    *error = "maxSessions must be at least 1";
    return false;
  }
  if (c.oversizedMessageSize < KMCP_HEADER_SIZE || c.oversizedMessageSize > KMCP_MAX_MESSAGE_SIZE) {
    *error = "oversizedMessageSize must lie between 16 and " +
             std::to_string(KMCP_MAX_MESSAGE_SIZE) + " bytes";
    return false;
  }
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

  // One session and its thread. Entries live in a std::list so that the
  // address handed to the thread stays valid until the entry is erased,
  // which happens only after the thread has been joined.
  struct Entry {
    Impl *impl;
    std::shared_ptr<Session> session;
    THREAD_RECORD *thread = nullptr;
  };

  static void ListenerThread(void *arg) { static_cast<Impl *>(arg)->listen(); }
  static void SessionThread(void *arg) {
    auto *entry = static_cast<Entry *>(arg);
    entry->session->run();
    entry->impl->sessionEnded();
  }

  void listen();
  void accept(SOCKET sock);
  void reapEnded();
  void sessionEnded() {
    KmLockGuard guard(lock);
    changed.notify_all();
  }
  size_t activeCount() const KM_REQUIRES(lock) {
    size_t n = 0;
    for (const Entry &e : sessions) {
      n += e.session->ended() ? 0 : 1;
    }
    return n;
  }
  std::vector<std::shared_ptr<Session>> snapshot() const {
    KmLockGuard guard(lock);
    std::vector<std::shared_ptr<Session>> out;
    out.reserve(sessions.size());
    for (const Entry &e : sessions) {
      if (!e.session->ended()) {
        out.push_back(e.session);
      }
    }
    return out;
  }
  size_t broadcast(const CSCPMessage &msg, const uint16_t *code);

  AgentConfig config;  // read-only after start() (shared.config refers to it)
  detail::ServerShared shared;

  mutable KmMutex lock;
  mutable std::condition_variable_any changed;  // a session started or ended
  // Guarded by lock; written by start() and stop() (caller threads).
  bool started KM_GUARDED_BY(lock) = false;
  bool stopped KM_GUARDED_BY(lock) = false;
  // Set by start() before the listener runs; read by the listener thread and
  // by stop() after joining it.
  SOCKET listener = INVALID_SOCKET;
  THREAD_RECORD *listenerThread = nullptr;
  std::atomic<uint16_t> port{0};
  // Guarded by lock; the listener adds and reaps, stop() empties it.
  std::list<Entry> sessions KM_GUARDED_BY(lock);
  uint64_t nextNumber KM_GUARDED_BY(lock) = 1;
};

void AgentServer::Impl::listen() {
  while (!shared.stopping.isSet()) {
    SOCKET sock = KmSocketAccept(listener, kAcceptPollMs);
    reapEnded();
    if (sock != INVALID_SOCKET) {
      accept(sock);
    } else if (KmGetLastSocketError() != ETIMEDOUT && !shared.stopping.isSet()) {
      // Out of descriptors or memory: do not spin while it lasts.
      shared.logf(LogLevel::Error, "accept failed (error %d)", KmGetLastSocketError());
      shared.stopping.wait(kAcceptPollMs);
    }
  }
}

void AgentServer::Impl::accept(SOCKET sock) {
  sockaddr_in peer{};
  socklen_t len = sizeof(peer);
  if (::getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &len) != 0) {
    peer = {};
  }
  KmLockGuard guard(lock);
  if (activeCount() >= config.maxSessions) {
    shared.logf(LogLevel::Info, "connection refused: %u sessions open", config.maxSessions);
    KmSocketClose(sock);
    return;
  }
  std::shared_ptr<Session> session;
  try {
    session = std::make_shared<Session>(shared, sock, nextNumber++, ntohl(peer.sin_addr.s_addr),
                                        ntohs(peer.sin_port));
    sessions.push_back(Entry{this, session, nullptr});
  } catch (const std::bad_alloc &) {
    if (session == nullptr) {
      KmSocketClose(sock);
    }
    return;
  }
  Entry &entry = sessions.back();
  entry.thread = ThreadCreateEx(&SessionThread, &entry);
  if (entry.thread == nullptr) {
    shared.logf(LogLevel::Error, "cannot start a session thread");
    sessions.pop_back();  // the session's destructor closes the socket
    return;
  }
  changed.notify_all();
}

void AgentServer::Impl::reapEnded() {
  std::list<Entry> ended;
  {
    KmLockGuard guard(lock);
    for (auto it = sessions.begin(); it != sessions.end();) {
      auto next = std::next(it);
      if (it->session->ended()) {
        ended.splice(ended.end(), sessions, it);
      }
      it = next;
    }
  }
  for (Entry &e : ended) {
    ThreadJoin(e.thread);
  }
}

size_t AgentServer::Impl::broadcast(const CSCPMessage &msg, const uint16_t *code) {
  KMCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) {
    return 0;
  }
  if (code != nullptr) {
    wire->code = htons(*code);
  }
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t *>(wire), ntohl(wire->size));
  size_t sent = 0;
  for (const std::shared_ptr<Session> &s : snapshot()) {
    sent += s->sendUnsolicited(bytes, code != nullptr && *code == MC_TRAP) ? 1 : 0;
  }
  std::free(wire);
  return sent;
}

AgentServer::AgentServer(AgentConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

AgentServer::~AgentServer() {
  stop();
  std::string &secret = impl_->config.secret;
  if (!secret.empty()) {
    OPENSSL_cleanse(secret.data(), secret.size());
  }
  impl_->shared.records.clear();
}

bool AgentServer::start(std::string *error) {
  std::string reason;
  std::string *err = error != nullptr ? error : &reason;
  KmLockGuard guard(impl_->lock);
  if (impl_->started) {
    *err = "the server was started before";
    return false;
  }
  uint32_t address = 0;
  if (!ValidateConfig(impl_->config, &address, err)) {
    return false;
  }
  uint16_t bound = 0;
  SOCKET listener = KmSocketListenTcp(address, impl_->config.listenPort, kListenBacklog, &bound);
  if (listener == INVALID_SOCKET) {
    *err = "cannot listen on " + impl_->config.listenAddress + ":" +
           std::to_string(impl_->config.listenPort) + ": " + ErrorText(KmGetLastSocketError());
    return false;
  }
  impl_->listener = listener;
  impl_->port.store(bound);
  impl_->listenerThread = ThreadCreateEx(&Impl::ListenerThread, impl_.get());
  if (impl_->listenerThread == nullptr) {
    KmSocketClose(listener);
    impl_->listener = INVALID_SOCKET;
    impl_->port.store(0);
    *err = "cannot start the listener thread";
    return false;
  }
  impl_->started = true;
  impl_->shared.logf(LogLevel::Info, "listening on %s:%u", impl_->config.listenAddress.c_str(),
                     bound);
  return true;
}

uint16_t AgentServer::port() const { return impl_->port.load(); }

void AgentServer::stop() {
  {
    KmLockGuard guard(impl_->lock);
    if (!impl_->started || impl_->stopped) {
      impl_->stopped = true;
      return;
    }
    impl_->stopped = true;
  }
  impl_->shared.stopping.set();
  // Wakes the listener's wait at once; its poll interval bounds it otherwise.
  KmSocketShutdown(impl_->listener, SHUT_RDWR);
  ThreadJoin(impl_->listenerThread);
  impl_->listenerThread = nullptr;
  KmSocketClose(impl_->listener);
  impl_->listener = INVALID_SOCKET;

  std::list<Impl::Entry> all;
  {
    KmLockGuard guard(impl_->lock);
    for (Impl::Entry &e : impl_->sessions) {
      e.session->requestStop();
    }
    all.splice(all.end(), impl_->sessions);
  }
  for (Impl::Entry &e : all) {
    ThreadJoin(e.thread);
  }
  all.clear();
  KmLockGuard guard(impl_->lock);
  impl_->changed.notify_all();
}

size_t AgentServer::sessionCount() const {
  KmLockGuard guard(impl_->lock);
  return impl_->activeCount();
}

bool AgentServer::waitForSessionCount(size_t count, uint32_t timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  KmLockGuard guard(impl_->lock);
  while (impl_->activeCount() != count) {
    if (impl_->changed.wait_until(impl_->lock, deadline) == std::cv_status::timeout) {
      return impl_->activeCount() == count;
    }
  }
  return true;
}

std::vector<LoginRecord> AgentServer::logins() const { return impl_->shared.records.logins(); }
std::vector<ProxyHopRecord> AgentServer::proxyHops() const {
  return impl_->shared.records.proxyHops();
}
std::vector<RequestRecord> AgentServer::requests() const {
  return impl_->shared.records.requests();
}
void AgentServer::clearRecords() { impl_->shared.records.clear(); }

size_t AgentServer::sendTrap(const CSCPMessage &trap) {
  const uint16_t code = MC_TRAP;
  return impl_->broadcast(trap, &code);
}

size_t AgentServer::pushData(const CSCPMessage &data) {
  const uint16_t code = MC_DATA_PUSH;
  return impl_->broadcast(data, &code);
}

size_t AgentServer::sendMessage(const CSCPMessage &msg) { return impl_->broadcast(msg, nullptr); }

size_t AgentServer::sendBadMessage(BadMessage kind) {
  size_t sent = 0;
  for (const std::shared_ptr<Session> &s : impl_->snapshot()) {
    sent += s->sendBad(kind) ? 1 : 0;
  }
  return sent;
}

}  // namespace kmagent
