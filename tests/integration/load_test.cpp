// Load and soak runs against the reference agent in the same process, over
// loopback: many sessions at once each doing requests, many threads sharing
// one session, and connect/disconnect cycles. Every run checks that no
// request failed and that the process has as many open descriptors and
// threads afterwards as before; it prints its figures (requests/s, memory
// per connected session) on lines that start with "[load]".
//
// Sizes come from the environment so that the default run stays small
// (`./dev test`, also under the sanitizers) and `./dev soak` runs the full
// sizes:
//   KM_LOAD_SESSIONS  concurrent sessions            (default 48)
//   KM_LOAD_SECONDS   time each request phase runs   (default 2)
//   KM_LOAD_THREADS   threads sharing one session    (default 32)
//   KM_LOAD_CYCLES    connect/disconnect cycles      (default 100)
// Counts and times are bounds of the loops, never expectations on speed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "agent_test_support.h"
#include "resource_check.h"

namespace kmtest {
namespace {

using Clock = std::chrono::steady_clock;

long EnvOr(const char *name, long fallback) {
  const char *text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char *end = nullptr;
  long value = std::strtol(text, &end, 10);
  return (end != nullptr && *end == '\0' && value > 0) ? value : fallback;
}

long ResidentBytes() {
  FILE *f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  long pages = 0, resident = 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * sysconf(_SC_PAGESIZE);
}

// A connection that prints nothing (a thousand of them would flood the log).
class QuietConnection : public AgentConnection {
 public:
  using AgentConnection::AgentConnection;
  ~QuietConnection() override { disconnectAndWait(); }
  using AgentConnection::replyQueue;

 protected:
  void PrintMsg(const char16_t *, ...) override {}
};

// The reference agent with room for `sessions` sessions and one parameter.
std::unique_ptr<kmagent::AgentServer> StartAgent(uint32_t sessions,
                                                 const std::string &secret = {}) {
  kmagent::AgentConfig config;
  config.secret = secret;
  config.maxSessions = sessions + 8;
  config.keepRecords = false;  // the records would only measure themselves
  config.parameters.push_back({"Load.Value", "forty-two"});
  auto agent = std::make_unique<kmagent::AgentServer>(std::move(config));
  std::string error;
  EXPECT_TRUE(agent->start(&error)) << error;
  return agent;
}

// One request of the mix: a liveness test or a parameter.
bool OneRequest(AgentConnection &conn, uint32_t n) {
  if (n % 2 == 0) return conn.nop() == RCC_SUCCESS;
  char16_t value[32];
  return conn.getParameter(u"Load.Value", 32, value) == RCC_SUCCESS &&
         std::u16string(value) == u"forty-two";
}

class Load : public ::testing::Test {
 protected:
  void SetUp() override {
    fds_ = OpenFdCount();
    threads_ = ThreadCount();
  }
  // Every session and server of the test is gone by now: the process must be
  // back to its descriptors and threads.
  void expectNothingLeft() {
    const bool settled = SettleTo(fds_, threads_, 10000);
    std::printf("[load] %s: fds %ld -> %ld, threads %ld -> %ld\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(), fds_,
                OpenFdCount(), threads_, ThreadCount());
    EXPECT_TRUE(settled) << "fds " << fds_ << " -> " << OpenFdCount() << ", threads " << threads_
                         << " -> " << ThreadCount();
  }
  long fds_ = 0;
  long threads_ = 0;
};

TEST_F(Load, ManyConcurrentSessionsEachDoingRequests) {
  const uint32_t sessions = static_cast<uint32_t>(EnvOr("KM_LOAD_SESSIONS", 48));
  const long seconds = EnvOr("KM_LOAD_SECONDS", 2);
  // Both ends of every session live in this process, plus some spare.
  const rlim_t needed = 2 * sessions + 64;
  if (!RaiseDescriptorLimit(needed)) {
    GTEST_SKIP() << "the descriptor limit cannot be raised to the " << needed << " that "
                 << sessions << " sessions need; raise the hard limit (ulimit -Hn) to run it";
  }
  {
    auto agent = StartAgent(sessions);
    const long rssBefore = ResidentBytes();
    std::vector<std::unique_ptr<QuietConnection>> conns;
    for (uint32_t i = 0; i < sessions; i++) {
      conns.push_back(std::make_unique<QuietConnection>(kLoopbackNet, agent->port()));
      conns.back()->setCommandTimeout(30000);
    }
    // Connect from a few threads at once.
    const uint32_t workers = std::min<uint32_t>(16, sessions);
    std::atomic<uint32_t> connectFailures{0};
    {
      std::vector<std::thread> pool;
      for (uint32_t w = 0; w < workers; w++) {
        pool.emplace_back([&, w] {
          for (uint32_t i = w; i < sessions; i += workers)
            if (!conns[i]->connect()) connectFailures++;
        });
      }
      for (auto &t : pool) t.join();
    }
    ASSERT_EQ(connectFailures.load(), 0u);
    ASSERT_TRUE(agent->waitForSessionCount(sessions, 10000));
    const long rssConnected = ResidentBytes();

    // Each worker walks its share of the sessions, one request on each in
    // turn, until the time is up.
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> failed{0};
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    const auto start = Clock::now();
    {
      std::vector<std::thread> pool;
      for (uint32_t w = 0; w < workers; w++) {
        pool.emplace_back([&, w] {
          for (uint32_t round = 0; Clock::now() < until; round++) {
            for (uint32_t i = w; i < sessions && Clock::now() < until; i += workers) {
              if (OneRequest(*conns[i], round + i)) {
                done++;
              } else {
                failed++;
              }
            }
          }
        });
      }
      for (auto &t : pool) t.join();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    uint32_t stillConnected = 0;
    for (auto &c : conns) stillConnected += c->isConnected() ? 1 : 0;
    std::printf("[load] %u concurrent sessions, %u workers, %.1f s: %llu requests, %.0f req/s, "
                "%llu failed; resident %.1f MiB before, %.1f MiB connected, %.0f KiB per "
                "session (both ends)\n",
                sessions, workers, elapsed, static_cast<unsigned long long>(done.load()),
                done.load() / elapsed, static_cast<unsigned long long>(failed.load()),
                rssBefore / 1048576.0, rssConnected / 1048576.0,
                (rssConnected - rssBefore) / 1024.0 / sessions);
    EXPECT_EQ(failed.load(), 0u);
    EXPECT_GT(done.load(), 0u);
    EXPECT_EQ(stillConnected, sessions);
    conns.clear();
    EXPECT_TRUE(agent->waitForSessionCount(0, 30000));
    agent->stop();
  }
  expectNothingLeft();
}

// Requests per second of `threads` logged-in sessions, one thread each,
// over `seconds`; *failed counts the requests that failed.
double LoggedInRate(std::vector<std::unique_ptr<QuietConnection>> &conns, long seconds,
                    std::atomic<uint64_t> *failed) {
  std::atomic<uint64_t> done{0};
  const auto start = Clock::now();
  const auto until = start + std::chrono::seconds(seconds);
  std::vector<std::thread> pool;
  for (auto &conn : conns) {
    pool.emplace_back([&, c = conn.get()] {
      for (uint32_t n = 0; Clock::now() < until; n++) (OneRequest(*c, n) ? done : *failed)++;
    });
  }
  for (auto &t : pool) t.join();
  return done.load() / std::chrono::duration<double>(Clock::now() - start).count();
}

// 8 logged-in sessions keep their request rate while 1,000 connections sit
// idle and 1,000 logins a second fail (each from an address of its own, so
// that per-address throttling does not thin them out).
TEST_F(Load, LoggedInSessionsKeepTheirRateUnderIdleSocketsAndFailingLogins) {
  const long seconds = EnvOr("KM_LOAD_SECONDS", 2);
  constexpr size_t kIdle = 1000;
  constexpr uint32_t kFailuresPerSecond = 1000;
  if (!RaiseDescriptorLimit(kIdle + 512)) GTEST_SKIP() << "cannot raise the descriptor limit";
  {
    auto agent = StartAgent(64, "load-secret");
    std::vector<std::unique_ptr<QuietConnection>> conns;
    for (int i = 0; i < 8; i++) {
      conns.push_back(std::make_unique<QuietConnection>(kLoopbackNet, agent->port(),
                                                        AUTH_METHOD_SHA1, u"load-secret"));
      conns.back()->setCommandTimeout(30000);
      ASSERT_TRUE(conns.back()->connect());
    }
    std::atomic<uint64_t> failed{0};
    const double unloaded = LoggedInRate(conns, seconds, &failed);

    IdleSockets idle;
    ASSERT_EQ(idle.open(agent->port(), 0x7F000002, kIdle), kIdle);
    std::atomic<bool> attacking{true};
    std::atomic<uint64_t> attempts{0}, refused{0};
    // Four guessers, each at a quarter of the rate, from addresses of their own.
    constexpr uint32_t kGuessers = 4;
    std::vector<std::thread> guessers;
    for (uint32_t g = 0; g < kGuessers; g++) {
      guessers.emplace_back([&, g] {
        const auto start = Clock::now();
        for (uint32_t i = 0; attacking.load(); i++) {
          std::this_thread::sleep_until(
              start + std::chrono::microseconds(1000000ull * i * kGuessers / kFailuresPerSecond));
          RawPeer guess(agent->port(), 0x7F010000 + (g << 16) + (i % 60000) + 1);
          attempts++;
          refused += guess.loginClear(u"wrong") == RCC_AUTH_FAILED ? 1 : 0;
        }
      });
    }
    const auto attackStart = Clock::now();
    const double loaded = LoggedInRate(conns, seconds, &failed);
    attacking = false;
    for (auto &t : guessers) t.join();
    const double attackSeconds = std::chrono::duration<double>(Clock::now() - attackStart).count();
    std::printf(
        "[load] 8 logged-in sessions: %.0f req/s unloaded, %.0f req/s with %zu idle "
        "sockets and %.0f failing logins/s (%llu of %llu answered 440): %.2fx\n",
        unloaded, loaded, kIdle, attempts.load() / attackSeconds,
        static_cast<unsigned long long>(refused.load()),
        static_cast<unsigned long long>(attempts.load()), loaded / unloaded);
    EXPECT_EQ(failed.load(), 0u);
    EXPECT_GT(refused.load(), 0u);
    conns.clear();
  }
  expectNothingLeft();
}

TEST_F(Load, ThirtyTwoThreadsShareOneSession) {
  const uint32_t threads = static_cast<uint32_t>(EnvOr("KM_LOAD_THREADS", 32));
  const long seconds = EnvOr("KM_LOAD_SECONDS", 2);
  {
    auto agent = StartAgent(4);
    QuietConnection conn(kLoopbackNet, agent->port());
    conn.setCommandTimeout(30000);
    // Encrypted: the envelopes of all threads must reach the agent in the
    // order of their counters, or its replay window drops the late ones and
    // their requests time out.
    conn.setEncryptionPolicy(ENCRYPTION_MANDATORY);
    ASSERT_TRUE(conn.connect(TestKey()));
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> failed{0};
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    const auto start = Clock::now();
    std::vector<std::thread> pool;
    for (uint32_t t = 0; t < threads; t++) {
      pool.emplace_back([&, t] {
        for (uint32_t n = t; Clock::now() < until; n++) {
          if (OneRequest(conn, n)) {
            done++;
          } else {
            failed++;
          }
        }
      });
    }
    for (auto &t : pool) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("[load] %u threads on one encrypted session, %.1f s: %llu requests, %.0f req/s, %llu "
                "failed\n",
                threads, elapsed, static_cast<unsigned long long>(done.load()),
                done.load() / elapsed, static_cast<unsigned long long>(failed.load()));
    EXPECT_EQ(failed.load(), 0u);
    EXPECT_GT(done.load(), 0u);
    EXPECT_TRUE(conn.isConnected());
    EXPECT_EQ(conn.replyQueue.size(), 0u);
    conn.disconnectAndWait();
    EXPECT_TRUE(agent->waitForSessionCount(0, 30000));
    agent->stop();
  }
  expectNothingLeft();
}

TEST_F(Load, ConnectDisconnectCyclesLeaveNothingBehind) {
  const long cycles = EnvOr("KM_LOAD_CYCLES", 100);
  {
    auto agent = StartAgent(4);
    long failed = 0;
    const auto start = Clock::now();
    for (long i = 0; i < cycles; i++) {
      QuietConnection conn(kLoopbackNet, agent->port());
      conn.setCommandTimeout(30000);
      // Every other cycle with a request, every fourth encrypted.
      const bool encrypt = i % 4 == 3;
      conn.setEncryptionPolicy(encrypt ? ENCRYPTION_MANDATORY : ENCRYPTION_OFF);
      if (!conn.connect(encrypt ? TestKey() : nullptr)) {
        failed++;
        continue;
      }
      if (i % 2 == 1 && conn.nop() != RCC_SUCCESS) failed++;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("[load] %ld connect/disconnect cycles in %.1f s: %.0f cycles/s, %ld failed\n",
                cycles, elapsed, cycles / elapsed, failed);
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(agent->waitForSessionCount(0, 30000));
    agent->stop();
  }
  expectNothingLeft();
}

}  // namespace
}  // namespace kmtest
