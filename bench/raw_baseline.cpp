// The raw loopback baselines (see raw_baseline.h).
#include "raw_baseline.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/evp.h>
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

// Both ends of a fresh loopback TCP connection (pair[0] connected, pair[1]
// accepted), on their own listener rather than RawServer's.
bool ConnectedLoopbackPair(int pair[2]) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sa);
  bool ok = listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr *>(&sa), len) == 0 &&
            ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len) == 0;
  pair[0] = ok ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  ok = ok && pair[0] >= 0 && ::connect(pair[0], reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0;
  pair[1] = ok ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  ok = ok && pair[1] >= 0;
  if (listener >= 0) ::close(listener);
  if (!ok) {
    if (pair[0] >= 0) ::close(pair[0]);
    if (pair[1] >= 0) ::close(pair[1]);
    pair[0] = pair[1] = -1;
  }
  return ok;
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

namespace {

constexpr size_t kFileChunk = 65536;
constexpr size_t kChunkHeader = 16;  // payload length, end flag, counter
constexpr size_t kTag = 16;

// One direction's AES-256-GCM state, keyed once; the nonce is the chunk
// counter.
class RawSealer {
 public:
  explicit RawSealer(bool seal) : seal_(seal), ctx_(EVP_CIPHER_CTX_new()) {
    uint8_t key[32];
    for (size_t i = 0; i < sizeof(key); i++) key[i] = static_cast<uint8_t>(i * 7 + 1);
    ok_ = ctx_ != nullptr &&
          (seal ? EVP_EncryptInit_ex(ctx_, EVP_aes_256_gcm(), nullptr, key, nullptr)
                : EVP_DecryptInit_ex(ctx_, EVP_aes_256_gcm(), nullptr, key, nullptr)) == 1;
  }
  ~RawSealer() { EVP_CIPHER_CTX_free(ctx_); }
  RawSealer(const RawSealer &) = delete;
  RawSealer &operator=(const RawSealer &) = delete;

  // Seals or opens n bytes of in into out (and the tag after them); the
  // header is authenticated too. False when opening fails the tag.
  bool run(const uint8_t *header, const uint8_t *in, uint8_t *out, size_t n, uint64_t counter) {
    uint8_t nonce[12] = {};
    std::memcpy(nonce + 4, &counter, sizeof(counter));
    int len = 0;
    uint8_t *tag = out + n;
    if (seal_) {
      return ok_ && EVP_EncryptInit_ex(ctx_, nullptr, nullptr, nullptr, nonce) == 1 &&
             EVP_EncryptUpdate(ctx_, nullptr, &len, header, kChunkHeader) == 1 &&
             EVP_EncryptUpdate(ctx_, out, &len, in, static_cast<int>(n)) == 1 &&
             EVP_EncryptFinal_ex(ctx_, out + n, &len) == 1 &&
             EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_GET_TAG, kTag, tag) == 1;
    }
    std::memcpy(tag_, in + n, kTag);
    return ok_ && EVP_DecryptInit_ex(ctx_, nullptr, nullptr, nullptr, nonce) == 1 &&
           EVP_DecryptUpdate(ctx_, nullptr, &len, header, kChunkHeader) == 1 &&
           EVP_DecryptUpdate(ctx_, out, &len, in, static_cast<int>(n)) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_TAG, kTag, tag_) == 1 &&
           EVP_DecryptFinal_ex(ctx_, out + n, &len) == 1;
  }

 private:
  bool seal_;
  bool ok_ = false;
  EVP_CIPHER_CTX *ctx_;
  uint8_t tag_[kTag];
};

struct ChunkHeader {
  uint32_t payload;
  uint32_t last;
  uint64_t counter;
};
static_assert(sizeof(ChunkHeader) == kChunkHeader);

// The receiving end: one file per run of chunks, until the connection ends.
void ReceiveFiles(int fd, const std::string &target, bool encrypted, int cpu) {
  PinThisThread(cpu);
  RawSealer opener(false);
  std::vector<uint8_t> in(kFileChunk + kTag), plain(kFileChunk + kTag);
  for (;;) {
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return;
    bool ok = true, last = false;
    while (ok && !last) {
      ChunkHeader h{};
      ok = ReadAll(fd, &h, sizeof(h)) && h.payload <= kFileChunk &&
           ReadAll(fd, in.data(), h.payload + (encrypted ? kTag : 0));
      const uint8_t *data = in.data();
      if (ok && encrypted) {
        ok = opener.run(reinterpret_cast<const uint8_t *>(&h), in.data(), plain.data(), h.payload,
                        h.counter);
        data = plain.data();
      }
      ok = ok && ::write(out, data, h.payload) == static_cast<ssize_t>(h.payload);
      last = h.last != 0;
    }
    ::close(out);
    const uint8_t ack = ok ? 1 : 0;
    if (!ok || !WriteAll(fd, &ack, 1)) return;
  }
}

}  // namespace

void RunRawFileTransfer(benchmark::State &state, Placement p, const std::string &source,
                        const std::string &target, bool encrypted) {
  PinThisThread(ClientCpu(p));
  int pair[2] = {-1, -1};
  if (!ConnectedLoopbackPair(pair)) {
    state.SkipWithError("raw loopback connection failed");
    return;
  }
  std::thread receiver(ReceiveFiles, pair[1], target, encrypted, ServerCpu(p));
  RawSealer sealer(true);
  std::vector<uint8_t> chunk(kChunkHeader + kFileChunk), sealed(kChunkHeader + kFileChunk + kTag);
  uint64_t counter = 0, bytes = 0;
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  for (auto _ : state) {
    bool ok = in >= 0 && ::lseek(in, 0, SEEK_SET) == 0;
    bool last = false;
    while (ok && !last) {
      const ssize_t n = ::read(in, chunk.data() + kChunkHeader, kFileChunk);
      ok = n >= 0;
      if (!ok) break;
      last = static_cast<size_t>(n) < kFileChunk;
      ChunkHeader h{static_cast<uint32_t>(n), last ? 1u : 0u, counter++};
      std::memcpy(chunk.data(), &h, sizeof(h));
      if (encrypted) {
        std::memcpy(sealed.data(), &h, sizeof(h));
        ok = sealer.run(chunk.data(), chunk.data() + kChunkHeader, sealed.data() + kChunkHeader,
                        static_cast<size_t>(n), h.counter) &&
             WriteAll(pair[0], sealed.data(), kChunkHeader + static_cast<size_t>(n) + kTag);
      } else {
        ok = WriteAll(pair[0], chunk.data(), kChunkHeader + static_cast<size_t>(n));
      }
      bytes += static_cast<uint64_t>(n);
    }
    uint8_t ack = 0;
    if (!ok || !ReadAll(pair[0], &ack, 1) || ack != 1) {
      state.SkipWithError("raw file transfer failed");
      break;
    }
    state.PauseTiming();
    ::unlink(target.c_str());
    state.ResumeTiming();
  }
  if (in >= 0) ::close(in);
  ::shutdown(pair[0], SHUT_RDWR);
  receiver.join();
  ::close(pair[0]);
  ::close(pair[1]);
  ::unlink(target.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
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
