// AgentConnection request round trips: nop() per second against the
// reference agent in this process, in clear and encrypted, on one thread and
// with 8 threads sharing one session. Each is measured beside a raw TCP
// ping-pong over loopback that moves the same number of bytes per round trip
// (the nop request and its reply as they go on the wire), so the rows show
// what the session adds to the bare network round trip.
//
// Rows:
//   BM_RawPingPong/<mode>/threads:N  raw baseline; with N threads each has its
//                                    own connection (the most the network
//                                    can give N threads)
//   BM_Nop/<mode>/threads:N          nop() on one shared session
// Counter vs_raw on the BM_Nop rows: nop rate / raw rate of the same mode and
// thread count, per thread.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmsrv/agent.h"
#include "kmsrv/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

enum Mode { kClear = 0, kEncrypted = 1 };
const char *const kModeName[] = {"clear", "encrypted"};

// Bytes of one nop round trip on the wire: request and reply.
struct WireSizes {
  uint32_t request;
  uint32_t reply;
};

WireSizes SizesFor(Mode mode) {
  CSCPMessage request;
  request.SetCode(MC_KEEPALIVE);
  CSCPMessage reply;
  reply.SetCode(MC_REQUEST_COMPLETED);
  reply.SetVariable(VAR_RCC, 0u);
  auto req = static_cast<uint32_t>(request.EncodedSize());
  auto rep = static_cast<uint32_t>(reply.EncodedSize());
  if (mode == kEncrypted) {
    req = static_cast<uint32_t>(KMCPEncryptedSize(req));
    rep = static_cast<uint32_t>(KMCPEncryptedSize(rep));
  }
  return {req, rep};
}

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

// The raw baseline's peer: each connection first says how many bytes a
// request and a reply have, then every request is answered with a reply.
class RawEchoServer {
 public:
  RawEchoServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&sa), len) != 0 ||
        ::listen(listener_, 16) != 0) {
      std::perror("raw echo server");
      std::exit(1);
    }
    ::getsockname(listener_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~RawEchoServer() {
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    std::lock_guard<std::mutex> guard(mutex_);
    for (int fd : conns_) ::shutdown(fd, SHUT_RDWR);
    for (std::thread &t : workers_) t.join();
    for (int fd : conns_) ::close(fd);
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  void acceptLoop() {
    for (;;) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      std::lock_guard<std::mutex> guard(mutex_);
      conns_.push_back(fd);
      workers_.emplace_back([fd] {
        WireSizes sizes;
        if (!ReadAll(fd, &sizes, sizeof(sizes))) return;
        std::vector<uint8_t> request(sizes.request), reply(sizes.reply, 0);
        while (ReadAll(fd, request.data(), request.size()) &&
               WriteAll(fd, reply.data(), reply.size())) {
        }
      });
    }
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> conns_;
  std::vector<std::thread> workers_;
};

RSA *ServerKey() {
  static RSA *key = [] {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    EVP_PKEY *pkey = EVP_RSA_gen(2048);
    RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
#pragma GCC diagnostic pop
    EVP_PKEY_free(pkey);
    return rsa;
  }();
  return key;
}

// One agent and one connected session per mode, shared by every thread.
struct SessionSetup {
  std::unique_ptr<kmagent::AgentServer> agent;
  std::unique_ptr<AgentConnection> conn;
};

SessionSetup g_sessions[2];
std::once_flag g_sessionOnce[2];
std::unique_ptr<RawEchoServer> g_raw;
// Per-thread raw round trips per second, by mode and thread count, of the
// longest run of the raw row (Google Benchmark's final run; the shorter ones
// only size it). Every thread of one run does the same number of iterations.
struct RateAverage {
  std::mutex mutex;
  int64_t iterations = 0;
  double sum = 0;
  int count = 0;
  void add(int64_t runIterations, double rate) {
    std::lock_guard<std::mutex> guard(mutex);
    if (runIterations > iterations) {
      iterations = runIterations;
      sum = 0;
      count = 0;
    }
    if (runIterations == iterations) {
      sum += rate;
      count++;
    }
  }
  double average() {
    std::lock_guard<std::mutex> guard(mutex);
    return count > 0 ? sum / count : 0;
  }
};
RateAverage g_rawRate[2][9];

AgentConnection *Session(Mode mode) {
  std::call_once(g_sessionOnce[mode], [mode] {
    kmagent::AgentConfig config;
    config.requireEncryption = mode == kEncrypted;
    config.keepRecords = false;
    SessionSetup &s = g_sessions[mode];
    s.agent = std::make_unique<kmagent::AgentServer>(config);
    std::string error;
    if (!s.agent->start(&error)) {
      std::fprintf(stderr, "agent: %s\n", error.c_str());
      std::exit(1);
    }
    s.conn = std::make_unique<AgentConnection>(htonl(INADDR_LOOPBACK), s.agent->port());
    s.conn->setEncryptionPolicy(mode == kEncrypted ? ENCRYPTION_MANDATORY : ENCRYPTION_OFF);
    uint32_t rcc = 0;
    if (!s.conn->connect(mode == kEncrypted ? ServerKey() : nullptr, true, &rcc)) {
      std::fprintf(stderr, "connect: %u\n", rcc);
      std::exit(1);
    }
  });
  return g_sessions[mode].conn.get();
}

void BM_RawPingPong(benchmark::State &state) {
  const auto mode = static_cast<Mode>(state.range(0));
  const WireSizes sizes = SizesFor(mode);
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(g_raw->port());
  if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
      !WriteAll(fd, &sizes, sizeof(sizes))) {
    state.SkipWithError("raw connect failed");
    ::close(fd);
    return;
  }
  std::vector<uint8_t> request(sizes.request, 0), reply(sizes.reply);
  const auto start = Clock::now();
  for (auto _ : state) {
    if (!WriteAll(fd, request.data(), request.size()) || !ReadAll(fd, reply.data(), reply.size())) {
      state.SkipWithError("raw round trip failed");
      break;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(fd);
  const double rate = seconds > 0 ? static_cast<double>(state.iterations()) / seconds : 0;
  g_rawRate[mode][state.threads()].add(static_cast<int64_t>(state.iterations()), rate);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * (sizes.request + sizes.reply));
  state.counters["bytes_per_trip"] =
      benchmark::Counter(sizes.request + sizes.reply, benchmark::Counter::kAvgThreads);
}

void BM_Nop(benchmark::State &state) {
  const auto mode = static_cast<Mode>(state.range(0));
  AgentConnection *conn = Session(mode);
  const auto start = Clock::now();
  for (auto _ : state) {
    uint32_t rcc = conn->nop();
    if (rcc != RCC_SUCCESS) {
      state.SkipWithError(("nop failed: " + std::to_string(rcc)).c_str());
      break;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double rate = seconds > 0 ? static_cast<double>(state.iterations()) / seconds : 0;
  const double rawPerThread = g_rawRate[mode][state.threads()].average();
  state.SetItemsProcessed(state.iterations());
  if (rawPerThread > 0) {
    state.counters["vs_raw"] =
        benchmark::Counter(rate / rawPerThread, benchmark::Counter::kAvgThreads);
  }
}

}  // namespace

// Raw rows first: the nop rows read their rates.
BENCHMARK(BM_RawPingPong)->Name("BM_RawPingPong/clear")->Arg(kClear)->Threads(1)->UseRealTime();
BENCHMARK(BM_RawPingPong)
    ->Name("BM_RawPingPong/encrypted")
    ->Arg(kEncrypted)
    ->Threads(1)
    ->UseRealTime();
BENCHMARK(BM_RawPingPong)->Name("BM_RawPingPong/clear")->Arg(kClear)->Threads(8)->UseRealTime();
BENCHMARK(BM_RawPingPong)
    ->Name("BM_RawPingPong/encrypted")
    ->Arg(kEncrypted)
    ->Threads(8)
    ->UseRealTime();
BENCHMARK(BM_Nop)->Name("BM_Nop/clear")->Arg(kClear)->Threads(1)->UseRealTime();
BENCHMARK(BM_Nop)->Name("BM_Nop/encrypted")->Arg(kEncrypted)->Threads(1)->UseRealTime();
BENCHMARK(BM_Nop)->Name("BM_Nop/clear")->Arg(kClear)->Threads(8)->UseRealTime();
BENCHMARK(BM_Nop)->Name("BM_Nop/encrypted")->Arg(kEncrypted)->Threads(8)->UseRealTime();

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  g_raw = std::make_unique<RawEchoServer>();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (SessionSetup &s : g_sessions) {
    s.conn.reset();
    s.agent.reset();
  }
  g_raw.reset();
  return 0;
}
