// The raw loopback baselines (see raw_baseline.h).
#include "raw_baseline.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kmbench {

namespace {

// What a connection wants, sent first by the client.
enum Kind : uint32_t { kEcho = 1, kSink = 2 };
struct Hello {
  uint32_t kind;
  int32_t cpu;       // the server thread's CPU
  uint32_t request;  // echo: bytes of a request
  uint32_t reply;    // echo: bytes of a reply (its first 4 carry the request's first 4)
  uint64_t bytes;    // sink: bytes of one stream, acknowledged with one byte
};

constexpr size_t kStreamChunk = 256 * 1024;

bool WriteAll(int fd, const void *data, size_t len) {
  auto *p = static_cast<const uint8_t *>(data);
  while (len > 0) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void *data, size_t len) {
  auto *p = static_cast<uint8_t *>(data);
  while (len > 0) {
    ssize_t n = ::recv(fd, p, len, 0);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void ServeConnection(int fd) {
  Hello hello{};
  if (!ReadAll(fd, &hello, sizeof(hello))) return;
  PinThisThread(hello.cpu);
  if (hello.kind == kEcho) {
    if (hello.request < 4 || hello.reply < 4 || hello.request > (64u << 20) ||
        hello.reply > (64u << 20))
      return;
    std::vector<uint8_t> request(hello.request), reply(hello.reply, 0);
    while (ReadAll(fd, request.data(), request.size())) {
      std::memcpy(reply.data(), request.data(), 4);
      if (!WriteAll(fd, reply.data(), reply.size())) return;
    }
  } else if (hello.kind == kSink) {
    std::vector<uint8_t> buffer(kStreamChunk);
    for (;;) {
      uint64_t left = hello.bytes;
      while (left > 0) {
        ssize_t n = ::recv(fd, buffer.data(), std::min<uint64_t>(left, buffer.size()), 0);
        if (n <= 0) return;
        left -= static_cast<uint64_t>(n);
      }
      const uint8_t ack = 1;
      if (!WriteAll(fd, &ack, 1)) return;
    }
  }
}

int Connect(const Hello &hello) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(RawServer::instance().port());
  if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
      !WriteAll(fd, &hello, sizeof(hello))) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One connection shared by the requesters of a routed row.
class RoutedConnection {
 public:
  RoutedConnection(int fd, int requesters, uint32_t requestSize, uint32_t replySize, int cpu)
      : fd_(fd), replySize_(replySize), slots_(static_cast<size_t>(requesters)) {
    (void)requestSize;
    reader_ = std::thread([this, cpu] {
      PinThisThread(cpu);
      readLoop();
    });
  }
  ~RoutedConnection() {
    ::shutdown(fd_, SHUT_RDWR);
    reader_.join();
    ::close(fd_);
  }

  bool roundTrip(uint32_t requester, std::vector<uint8_t> &request) {
    std::memcpy(request.data(), &requester, 4);
    {
      std::lock_guard<std::mutex> guard(writeLock_);
      if (!WriteAll(fd_, request.data(), request.size())) return false;
    }
    Slot &slot = slots_[requester];
    std::unique_lock<std::mutex> lock(slot.mutex);
    slot.cond.wait(lock, [&] { return slot.arrived || failed_.load(); });
    const bool ok = slot.arrived;
    slot.arrived = false;
    return ok;
  }

 private:
  struct Slot {
    std::mutex mutex;
    std::condition_variable cond;
    bool arrived = false;
  };

  void readLoop() {
    std::vector<uint8_t> reply(replySize_);
    while (ReadAll(fd_, reply.data(), reply.size())) {
      uint32_t id;
      std::memcpy(&id, reply.data(), 4);
      if (id >= slots_.size()) break;
      Slot &slot = slots_[id];
      std::lock_guard<std::mutex> guard(slot.mutex);
      slot.arrived = true;
      slot.cond.notify_one();
    }
    failed_.store(true);
    for (Slot &slot : slots_) {
      std::lock_guard<std::mutex> guard(slot.mutex);
      slot.cond.notify_one();
    }
  }

  int fd_;
  uint32_t replySize_;
  std::mutex writeLock_;
  std::vector<Slot> slots_;
  std::atomic<bool> failed_{false};
  std::thread reader_;
};

RoutedConnection *g_routed = nullptr;

}  // namespace

const char *PlacementName(Placement p) { return p == SameCpu ? "same_cpu" : "cross_cpu"; }

int ClientCpu(Placement) { return 0; }

int ServerCpu(Placement p) {
  if (p == SameCpu) return 0;
  return std::thread::hardware_concurrency() > 1 ? 1 : 0;
}

void PinTask(pid_t tid, int cpu) {
  if (cpu < 0 || cpu >= CPU_SETSIZE) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(tid, sizeof(set), &set);
}

void PinThisThread(int cpu) { PinTask(0, cpu); }


RawServer::RawServer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sa);
  if (::bind(listener_, reinterpret_cast<sockaddr *>(&sa), len) != 0 ||
      ::listen(listener_, 64) != 0) {
    std::perror("raw baseline server");
    std::exit(1);
  }
  ::getsockname(listener_, reinterpret_cast<sockaddr *>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

RawServer::~RawServer() {
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  std::lock_guard<std::mutex> guard(mutex_);
  for (int fd : conns_) ::shutdown(fd, SHUT_RDWR);
  for (std::thread &t : workers_) t.join();
  for (int fd : conns_) ::close(fd);
  ::close(listener_);
}

RawServer &RawServer::instance() {
  static RawServer server;
  return server;
}

void RawServer::acceptLoop() {
  for (;;) {
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::lock_guard<std::mutex> guard(mutex_);
    conns_.push_back(fd);
    workers_.emplace_back([fd] { ServeConnection(fd); });
  }
}

void RunTcpPingPong(benchmark::State &state, Placement p, uint32_t requestSize, uint32_t replySize) {
  PinThisThread(ClientCpu(p));
  const int fd = Connect(Hello{kEcho, ServerCpu(p), requestSize, replySize, 0});
  if (fd < 0) {
    state.SkipWithError("raw connect failed");
    return;
  }
  std::vector<uint8_t> request(requestSize, 0), reply(replySize);
  for (auto _ : state) {
    if (!WriteAll(fd, request.data(), request.size()) || !ReadAll(fd, reply.data(), reply.size())) {
      state.SkipWithError("raw round trip failed");
      break;
    }
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * (requestSize + replySize));
}

void RunTcpRoutedPingPong(benchmark::State &state, Placement p, uint32_t requestSize, uint32_t replySize) {
  PinThisThread(ClientCpu(p));
  if (state.thread_index() == 0) {
    const int fd = Connect(Hello{kEcho, ServerCpu(p), requestSize, replySize, 0});
    g_routed = fd < 0 ? nullptr
                      : new RoutedConnection(fd, state.threads(), requestSize, replySize,
                                             ClientCpu(p));
  }
  std::vector<uint8_t> request(requestSize, 0);
  const auto self = static_cast<uint32_t>(state.thread_index());
  for (auto _ : state) {
    if (g_routed == nullptr || !g_routed->roundTrip(self, request)) {
      state.SkipWithError("raw routed round trip failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    // Every thread has left its loop (Google Benchmark waits for all at the
    // loop's end), so nobody uses the connection any more.
    delete g_routed;
    g_routed = nullptr;
  }
}

void RunTcpStream(benchmark::State &state, Placement p, uint64_t bytes) {
  PinThisThread(ClientCpu(p));
  const int fd = Connect(Hello{kSink, ServerCpu(p), 0, 0, bytes});
  if (fd < 0) {
    state.SkipWithError("raw connect failed");
    return;
  }
  std::vector<uint8_t> chunk(kStreamChunk, 0x5A);
  for (auto _ : state) {
    uint64_t left = bytes;
    bool ok = true;
    while (ok && left > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
      ok = WriteAll(fd, chunk.data(), n);
      left -= n;
    }
    uint8_t ack = 0;
    if (!ok || !ReadAll(fd, &ack, 1)) {
      state.SkipWithError("raw stream failed");
      break;
    }
  }
  ::close(fd);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

void RunUdpPingPong(benchmark::State &state, Placement p, uint32_t size) {
  PinThisThread(ClientCpu(p));
  int server = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (::bind(server, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
    ::close(server);
    state.SkipWithError("raw UDP bind failed");
    return;
  }
  ::getsockname(server, reinterpret_cast<sockaddr *>(&addr), &len);
  timeval tv{0, 200000};
  ::setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  std::atomic<bool> stop{false};
  const int serverCpu = ServerCpu(p);
  std::thread echo([&] {
    PinThisThread(serverCpu);
    std::vector<uint8_t> buf(65536);
    while (!stop.load()) {
      sockaddr_in from{};
      socklen_t fromLen = sizeof(from);
      ssize_t n = ::recvfrom(server, buf.data(), buf.size(), 0,
                             reinterpret_cast<sockaddr *>(&from), &fromLen);
      if (n > 0)
        ::sendto(server, buf.data(), static_cast<size_t>(n), 0,
                 reinterpret_cast<sockaddr *>(&from), fromLen);
    }
  });
  int client = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ::connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  std::vector<uint8_t> msg(size, 0);
  for (auto _ : state) {
    if (::send(client, msg.data(), msg.size(), 0) != static_cast<ssize_t>(msg.size()) ||
        ::recv(client, msg.data(), msg.size(), 0) <= 0) {
      state.SkipWithError("raw UDP round trip failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  stop.store(true);
  echo.join();
  ::close(client);
  ::close(server);
}

}  // namespace kmbench
