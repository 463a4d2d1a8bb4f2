// ServerCore: the listener thread, the registry of sessions and their
// threads, broadcasting and the log.
//
// stop() joins the listener first (so no session starts after it), then asks
// every session to stop and joins the rest.
#include "server_core.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <new>
#include <span>

#include "kmbase/message.h"
#include "kmbase/text.h"
#include "peer_session.h"

namespace kmpeer {

namespace {

// How often the listener looks at the stop flag and for ended sessions when
// no connection arrives; bounds how long stop() waits for the listener.
constexpr uint32_t kAcceptPollMs = 200;
constexpr int kListenBacklog = 64;
// Stack of a session thread: the session keeps its buffers on the heap, so a
// small stack lets a peer hold thousands of sessions without reserving 8 MiB
// of address space for each.
constexpr size_t kSessionStackBytes = 512 * 1024;

}  // namespace

struct ServerCore::Registry {
  explicit Registry(ServerCore &c) : core(c) {}

  // One session and its thread. Entries live in a std::list so that the
  // address handed to the thread stays valid until the entry is erased,
  // which happens only after the thread has been joined.
  struct Entry {
    Registry *registry;
    std::shared_ptr<PeerSession> session;
    THREAD_RECORD *thread = nullptr;
  };

  static void ListenerThread(void *arg) { static_cast<Registry *>(arg)->listen(); }
  static void SessionThread(void *arg) {
    auto *entry = static_cast<Entry *>(arg);
    entry->session->run();
    KmLockGuard guard(entry->registry->lock);
    entry->registry->changed.notify_all();
  }

  void listen();
  void accept(SOCKET sock);
  void reapEnded();
  size_t activeCount() const KM_REQUIRES(lock) {
    size_t n = 0;
    for (const Entry &e : sessions) n += e.session->ended() ? 0 : 1;
    return n;
  }

  ServerCore &core;
  SessionFactory factory;  // set by start() before the listener runs
  uint32_t maxSessions = 1;

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

void ServerCore::Registry::listen() {
  while (!core.stopping_.isSet()) {
    const SOCKET sock = KmSocketAccept(listener, kAcceptPollMs);
    reapEnded();
    if (sock != INVALID_SOCKET) {
      accept(sock);
    } else if (KmGetLastSocketError() != ETIMEDOUT && !core.stopping_.isSet()) {
      // Out of descriptors or memory: do not spin while it lasts.
      core.logf(LogLevel::Error, "accept failed (error %d)", KmGetLastSocketError());
      core.stopping_.wait(kAcceptPollMs);
    }
  }
}

void ServerCore::Registry::accept(SOCKET sock) {
  sockaddr_in peer{};
  socklen_t len = sizeof(peer);
  if (::getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &len) != 0) peer = {};
  KmLockGuard guard(lock);
  if (activeCount() >= maxSessions) {
    core.logf(LogLevel::Info, "connection refused: %u sessions open", maxSessions);
    KmSocketClose(sock);
    return;
  }
  std::shared_ptr<PeerSession> session;
  try {
    session = factory(sock, nextNumber++, ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port));
    if (session == nullptr) return;  // the factory closed the socket
    sessions.push_back(Entry{this, session, nullptr});
  } catch (const std::bad_alloc &) {
    if (session == nullptr) KmSocketClose(sock);
    return;
  }
  Entry &entry = sessions.back();
  entry.thread = ThreadCreateEx(&SessionThread, &entry, kSessionStackBytes);
  if (entry.thread == nullptr) {
    core.logf(LogLevel::Error, "cannot start a session thread");
    sessions.pop_back();  // the session's destructor closes the socket
    return;
  }
  changed.notify_all();
}

void ServerCore::Registry::reapEnded() {
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

ServerCore::ServerCore(const SessionSettings &settings, LogSink log)
    : settings_(settings),
      log_(std::move(log)),
      requests_(settings.keepRecords),
      registry_(std::make_unique<Registry>(*this)) {}

ServerCore::~ServerCore() { stop(); }

bool ServerCore::start(const std::string &listenAddress, uint16_t listenPort, uint32_t maxSessions,
                       SessionFactory factory, std::string *error) {
  std::string reason;
  std::string *err = error != nullptr ? error : &reason;
  Registry &r = *registry_;
  KmLockGuard guard(r.lock);
  if (r.started) {
    *err = "the server was started before";
    return false;
  }
  in_addr address{};
  if (::inet_pton(AF_INET, listenAddress.c_str(), &address) != 1) {
    *err = "invalid listen address \"" + listenAddress + "\" (dotted IPv4 expected)";
    return false;
  }
  if (maxSessions == 0) {
    *err = "maxSessions must be at least 1";
    return false;
  }
  uint16_t bound = 0;
  const SOCKET listener = KmSocketListenTcp(address.s_addr, listenPort, kListenBacklog, &bound);
  if (listener == INVALID_SOCKET) {
    *err = "cannot listen on " + listenAddress + ":" + std::to_string(listenPort) + ": " +
           KmErrorText(KmGetLastSocketError());
    return false;
  }
  r.factory = std::move(factory);
  r.maxSessions = maxSessions;
  r.listener = listener;
  r.port.store(bound);
  r.listenerThread = ThreadCreateEx(&Registry::ListenerThread, &r);
  if (r.listenerThread == nullptr) {
    KmSocketClose(listener);
    r.listener = INVALID_SOCKET;
    r.port.store(0);
    *err = "cannot start the listener thread";
    return false;
  }
  r.started = true;
  logf(LogLevel::Info, "listening on %s:%u", listenAddress.c_str(), bound);
  return true;
}

uint16_t ServerCore::port() const { return registry_->port.load(); }

void ServerCore::stop() {
  Registry &r = *registry_;
  {
    KmLockGuard guard(r.lock);
    const bool running = r.started && !r.stopped;
    r.stopped = true;
    if (!running) return;
  }
  stopping_.set();
  // Wakes the listener's wait at once; its poll interval bounds it otherwise.
  KmSocketShutdown(r.listener, SHUT_RDWR);
  ThreadJoin(r.listenerThread);
  r.listenerThread = nullptr;
  KmSocketClose(r.listener);
  r.listener = INVALID_SOCKET;

  std::list<Registry::Entry> all;
  {
    KmLockGuard guard(r.lock);
    for (Registry::Entry &e : r.sessions) e.session->requestStop();
    all.splice(all.end(), r.sessions);
  }
  for (Registry::Entry &e : all) ThreadJoin(e.thread);
  all.clear();
  KmLockGuard guard(r.lock);
  r.changed.notify_all();
}

size_t ServerCore::sessionCount() const {
  KmLockGuard guard(registry_->lock);
  return registry_->activeCount();
}

bool ServerCore::waitForSessionCount(size_t count, uint32_t timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  Registry &r = *registry_;
  KmLockGuard guard(r.lock);
  while (r.activeCount() != count) {
    if (r.changed.wait_until(r.lock, deadline) == std::cv_status::timeout)
      return r.activeCount() == count;
  }
  return true;
}

std::vector<std::shared_ptr<PeerSession>> ServerCore::sessions() const {
  KmLockGuard guard(registry_->lock);
  std::vector<std::shared_ptr<PeerSession>> out;
  out.reserve(registry_->sessions.size());
  for (const Registry::Entry &e : registry_->sessions)
    if (!e.session->ended()) out.push_back(e.session);
  return out;
}

size_t ServerCore::broadcast(const CSCPMessage &msg, const uint16_t *code, bool isTrap) {
  KMCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) return 0;
  if (code != nullptr) wire->code = htons(*code);
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t *>(wire), ntohl(wire->size));
  size_t sent = 0;
  for (const std::shared_ptr<PeerSession> &s : sessions())
    sent += s->sendUnsolicited(bytes, isTrap) ? 1 : 0;
  std::free(wire);
  return sent;
}

void ServerCore::logf(LogLevel level, const char *format, ...) const {
  if (!log_) return;
  char line[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  if (length >= 0) log_(level, line);
}

}  // namespace kmpeer
