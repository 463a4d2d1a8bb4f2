// IscServer: the listener thread, the registry of sessions and their
// threads, unsolicited messages and the records.
//
// Threads: one listener thread accepts connections and starts one thread per
// session; it also joins the threads of sessions that have ended. stop()
// joins the listener first (so no session starts after it), then shuts every
// session down and joins the rest.
#include "isc_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <list>
#include <new>

#include "isc_peer_session.h"
#include "kmbase/message.h"
#include "kmbase/net.h"

namespace kmisc {

using detail::PeerSession;

namespace {

// How often the listener looks at the stop flag and for ended sessions when
// no connection arrives; bounds how long stop() waits for the listener.
constexpr uint32_t kAcceptPollMs = 200;
constexpr int kListenBacklog = 64;

bool ValidateConfig(const IscConfig &c, uint32_t *listenAddress, std::string *error) {
  in_addr a{};
  if (::inet_pton(AF_INET, c.listenAddress.c_str(), &a) != 1) {
    *error = "invalid listen address \"" + c.listenAddress + "\" (dotted IPv4 expected)";
    return false;
  }
  *listenAddress = a.s_addr;
  if (c.maxSessions == 0) {
    *error = "maxSessions must be at least 1";
    return false;
  }
  return true;
}

}  // namespace

struct IscServer::Impl {
  explicit Impl(IscConfig cfg) : config(std::move(cfg)), server(config) {}

  // One session and its thread. Entries live in a std::list so that the
  // address handed to the thread stays valid until the entry is erased,
  // which happens only after the thread has been joined.
  struct Entry {
    Impl *impl;
    std::shared_ptr<PeerSession> session;
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
    for (const Entry &e : sessions) n += e.session->ended() ? 0 : 1;
    return n;
  }

  IscConfig config;  // read-only after start() (server.config refers to it)
  detail::ServerContext server;

  mutable KmMutex lock{0};
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

void IscServer::Impl::listen() {
  while (!server.stopping.isSet()) {
    const SOCKET sock = KmSocketAccept(listener, kAcceptPollMs);
    reapEnded();
    if (sock != INVALID_SOCKET) {
      accept(sock);
    } else if (KmGetLastSocketError() != ETIMEDOUT && !server.stopping.isSet()) {
      // Out of descriptors or memory: do not spin while it lasts.
      server.logf(LogLevel::Error, "accept failed (error %d)", KmGetLastSocketError());
      server.stopping.wait(kAcceptPollMs);
    }
  }
}

void IscServer::Impl::accept(SOCKET sock) {
  KmLockGuard guard(lock);
  if (activeCount() >= config.maxSessions) {
    server.logf(LogLevel::Info, "connection refused: %u sessions open", config.maxSessions);
    KmSocketClose(sock);
    return;
  }
  std::shared_ptr<PeerSession> session;
  try {
    session = std::make_shared<PeerSession>(server, sock, nextNumber++);
    sessions.push_back(Entry{this, session, nullptr});
  } catch (const std::bad_alloc &) {
    if (session == nullptr) KmSocketClose(sock);
    return;
  }
  Entry &entry = sessions.back();
  entry.thread = ThreadCreateEx(&SessionThread, &entry);
  if (entry.thread == nullptr) {
    server.logf(LogLevel::Error, "cannot start a session thread");
    sessions.pop_back();  // the session's destructor closes the socket
    return;
  }
  changed.notify_all();
}

void IscServer::Impl::reapEnded() {
  std::list<Entry> ended;
  {
    KmLockGuard guard(lock);
    for (auto it = sessions.begin(); it != sessions.end();) {
      auto next = std::next(it);
      if (it->session->ended()) ended.splice(ended.end(), sessions, it);
      it = next;
    }
  }
  for (Entry &e : ended) ThreadJoin(e.thread);
}

IscServer::IscServer(IscConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

IscServer::~IscServer() { stop(); }

bool IscServer::start(std::string *error) {
  std::string reason;
  std::string *err = error != nullptr ? error : &reason;
  KmLockGuard guard(impl_->lock);
  if (impl_->started) {
    *err = "the server was started before";
    return false;
  }
  uint32_t address = 0;
  if (!ValidateConfig(impl_->config, &address, err)) return false;
  uint16_t bound = 0;
  const SOCKET listener =
      KmSocketListenTcp(address, impl_->config.listenPort, kListenBacklog, &bound);
  if (listener == INVALID_SOCKET) {
    *err = "cannot listen on " + impl_->config.listenAddress + ":" +
           std::to_string(impl_->config.listenPort) + ": " +
           std::strerror(KmGetLastSocketError());
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
  impl_->server.logf(LogLevel::Info, "listening on %s:%u", impl_->config.listenAddress.c_str(),
                     bound);
  return true;
}

uint16_t IscServer::port() const { return impl_->port.load(); }

void IscServer::stop() {
  {
    KmLockGuard guard(impl_->lock);
    const bool running = impl_->started && !impl_->stopped;
    impl_->stopped = true;
    if (!running) return;
  }
  impl_->server.stopping.set();
  // Wakes the listener's wait at once; its poll interval bounds it otherwise.
  KmSocketShutdown(impl_->listener, SHUT_RDWR);
  ThreadJoin(impl_->listenerThread);
  impl_->listenerThread = nullptr;
  KmSocketClose(impl_->listener);
  impl_->listener = INVALID_SOCKET;

  std::list<Impl::Entry> all;
  {
    KmLockGuard guard(impl_->lock);
    for (Impl::Entry &e : impl_->sessions) e.session->requestStop();
    all.splice(all.end(), impl_->sessions);
  }
  for (Impl::Entry &e : all) ThreadJoin(e.thread);
  all.clear();
  KmLockGuard guard(impl_->lock);
  impl_->changed.notify_all();
}

size_t IscServer::sessionCount() const {
  KmLockGuard guard(impl_->lock);
  return impl_->activeCount();
}

bool IscServer::waitForSessionCount(size_t count, uint32_t timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  KmLockGuard guard(impl_->lock);
  while (impl_->activeCount() != count) {
    if (impl_->changed.wait_until(impl_->lock, deadline) == std::cv_status::timeout)
      return impl_->activeCount() == count;
  }
  return true;
}

std::vector<IscRequestRecord> IscServer::requests() const { return impl_->server.records.list(); }

void IscServer::clearRecords() { impl_->server.records.clear(); }

size_t IscServer::sendMessage(const CSCPMessage &msg) {
  KMCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) return 0;
  std::vector<std::shared_ptr<PeerSession>> targets;
  {
    KmLockGuard guard(impl_->lock);
    for (const Impl::Entry &e : impl_->sessions)
      if (!e.session->ended()) targets.push_back(e.session);
  }
  size_t sent = 0;
  for (const std::shared_ptr<PeerSession> &s : targets)
    sent += s->sendUnsolicited(reinterpret_cast<const uint8_t *>(wire), ntohl(wire->size)) ? 1 : 0;
  std::free(wire);
  return sent;
}

}  // namespace kmisc
