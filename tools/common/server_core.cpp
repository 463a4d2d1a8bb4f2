// ServerCore: the listener thread, the registry of sessions and their
// threads, broadcasting and the log.
//
// stop() joins the listener first (so no session starts after it), then asks
// every session to stop and joins the rest.
#include "server_core.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <new>
#include <span>
#include <utility>

#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
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
// A refused connection is kept (write side shut, the refusal sent) for this
// long or until its peer closes, reading what it sends meanwhile: closed at
// once with unread bytes, it would be reset, and a reset can overtake the
// refusal. At most kMaxRefused wait at a time; the oldest goes first.
constexpr auto kRefusedLinger = std::chrono::milliseconds(1000);
constexpr size_t kMaxRefused = 64;
// While refused connections linger the listener looks at them this often.
constexpr uint32_t kRefusedPollMs = 50;
// At most one log line about refused connections this often.
constexpr auto kRefusalLogInterval = std::chrono::milliseconds(1000);

using Clock = std::chrono::steady_clock;

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
  // Why a connection from address cannot be taken now; null when it can.
  const char *refusalReason(uint32_t address) const KM_REQUIRES(lock);
  // Sends the refusal and keeps the socket lingering (listener thread).
  void refuse(SOCKET sock, uint32_t address, const char *reason);
  // Reads what refused peers sent; closes those that closed or waited
  // long enough (all with `all`). Listener thread, and stop() after it.
  void drainRefused(bool all);
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

  // The refusal in wire form; set by start() before the listener runs, read
  // by the listener only.
  std::vector<uint8_t> refusal;
  // Listener thread only (stop() after joining it): refused connections
  // that linger, and the refusals not logged yet.
  struct Refused {
    SOCKET sock;
    Clock::time_point until;
  };
  std::list<Refused> refused;
  RateLimit refusalLog{kRefusalLogInterval};
};

void ServerCore::Registry::listen() {
  while (!core.stopping_.isSet()) {
    const SOCKET sock = KmSocketAccept(listener, refused.empty() ? kAcceptPollMs : kRefusedPollMs);
    reapEnded();
    drainRefused(false);
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
  const uint32_t address = ntohl(peer.sin_addr.s_addr);
  KmLockGuard guard(lock);
  if (const char *reason = refusalReason(address); reason != nullptr) {
    refuse(sock, address, reason);
    return;
  }
  std::shared_ptr<PeerSession> session;
  try {
    session = factory(sock, nextNumber++, address, ntohs(peer.sin_port));
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

const char *ServerCore::Registry::refusalReason(uint32_t address) const {
  const SessionSettings &s = core.settings_;
  size_t open = 0, pending = 0, pendingHere = 0;
  for (const Entry &e : sessions) {
    if (e.session->ended()) continue;
    ++open;
    if (e.session->admitted()) continue;
    ++pending;
    pendingHere += e.session->peerAddress() == address ? 1 : 0;
  }
  if (open >= maxSessions) return "sessions open";
  if (pending >= s.maxPendingSessions) return "sessions waiting for a login";
  if (pendingHere >= s.maxPendingPerAddress) return "sessions of the address waiting for a login";
  return nullptr;
}

void ServerCore::Registry::refuse(SOCKET sock, uint32_t address, const char *reason) {
  // A fresh socket has room for the few bytes: the write does not wait.
  SendExWithin(sock, refusal.data(), refusal.size(), 0, nullptr, 0);
  KmSocketShutdown(sock, SHUT_WR);
  if (refused.size() >= kMaxRefused) {
    KmSocketClose(refused.front().sock);
    refused.pop_front();
  }
  const Clock::time_point now = Clock::now();
  refused.push_back({sock, now + kRefusedLinger});
  uint64_t held = 0;
  if (refusalLog.pass(&held))
    core.logf(LogLevel::Info, "connection from %s refused: too many %s (%llu more refused before)",
              KmIpToText(address).c_str(), reason, static_cast<unsigned long long>(held));
}

void ServerCore::Registry::drainRefused(bool all) {
  const Clock::time_point now = Clock::now();
  for (auto it = refused.begin(); it != refused.end();) {
    bool done = all || now >= it->until;
    uint8_t scratch[512];
    // Bounded: a peer that keeps sending is closed when its time is up.
    for (int reads = 0; !done && reads < 16; ++reads) {
      const ssize_t n = ::recv(it->sock, scratch, sizeof(scratch), MSG_DONTWAIT);
      if (n > 0) continue;
      done = n == 0 || KmClassifySocketError(errno) != KmNetOutcome::WouldBlock;
      break;
    }
    if (done) {
      KmSocketClose(it->sock);
      it = refused.erase(it);
    } else {
      ++it;
    }
  }
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

bool RateLimit::pass(uint64_t *suppressed) {
  const auto now = std::chrono::steady_clock::now();
  KmLockGuard guard(lock_);
  if (last_ != std::chrono::steady_clock::time_point{} && now - last_ < interval_) {
    ++held_;
    return false;
  }
  *suppressed = held_;
  held_ = 0;
  last_ = now;
  return true;
}

std::string LogText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7F && b != '\\') {
      out += c;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof(escaped), "\\x%02X", b);
    out += escaped;
  }
  return out;
}

ServerCore::ServerCore(const SessionSettings &settings, LogSink log)
    : settings_(settings),
      log_(std::move(log)),
      requests_(settings.keepRecords),
      registry_(std::make_unique<Registry>(*this)),
      tls_(settings.tls) {}

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
  CSCPMessage refusal(KMCP_VERSION);
  refusal.SetCode(MC_REQUEST_COMPLETED);
  refusal.SetId(KMCP_VERSION_REQUEST_ID);
  refusal.SetVariable(VAR_RCC, settings_.refusedRcc);
  refusal.SetVariable(VAR_KMCP_REFUSED, uint32_t{1});
  KMCP_MESSAGE *wire = refusal.CreateMessage();
  if (wire == nullptr) {
    KmSocketClose(listener);
    *err = "out of memory";
    return false;
  }
  const auto *bytes = reinterpret_cast<const uint8_t *>(wire);
  r.refusal.assign(bytes, bytes + ntohl(wire->size));
  std::free(wire);
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

KmTlsContextRef ServerCore::tlsContext() const {
  KmLockGuard guard(tlsLock_);
  return tls_;
}

void ServerCore::setTlsContext(KmTlsContextRef context) {
  KmTlsContextRef old;
  {
    KmLockGuard guard(tlsLock_);
    old = std::exchange(tls_, std::move(context));
  }
  // The old context goes here, outside the lock, unless a session holds it.
}

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
  r.drainRefused(true);

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
