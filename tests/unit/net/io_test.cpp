// Socket helpers: error mapping, ConnectEx, SendEx.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <cerrno>

#include "net_test_util.h"

using nettest::SocketPair;

namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

bool isNonBlocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

struct Socket {
  SOCKET fd;
  explicit Socket(SOCKET s) : fd(s) {}
  ~Socket() { KmSocketClose(fd); }
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
};

}  // namespace

TEST(SocketErrorTest, ErrnoValuesMapToOutcomes) {
  EXPECT_EQ(KmClassifySocketError(EINTR), KmNetOutcome::Retry);
  EXPECT_EQ(KmClassifySocketError(EAGAIN), KmNetOutcome::WouldBlock);
  EXPECT_EQ(KmClassifySocketError(EINPROGRESS), KmNetOutcome::WouldBlock);
  EXPECT_EQ(KmClassifySocketError(ETIMEDOUT), KmNetOutcome::TimedOut);
  EXPECT_EQ(KmClassifySocketError(ECONNRESET), KmNetOutcome::Closed);
  EXPECT_EQ(KmClassifySocketError(EPIPE), KmNetOutcome::Closed);
  EXPECT_EQ(KmClassifySocketError(ECONNREFUSED), KmNetOutcome::Failed);
  EXPECT_EQ(KmClassifySocketError(EBADF), KmNetOutcome::Failed);
}

TEST(ConnectExTest, ConnectsAndRestoresTheSocketMode) {
  uint16_t port = 0;
  Socket listener(KmSocketListenTcp(htonl(INADDR_LOOPBACK), 0, 4, &port));
  ASSERT_NE(listener.fd, INVALID_SOCKET);
  ASSERT_NE(port, 0);
  sockaddr_in sa = loopback(port);

  Socket blocking(KmSocketOpenTcp());
  ASSERT_EQ(ConnectEx(blocking.fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa), 5000), 0);
  EXPECT_FALSE(isNonBlocking(blocking.fd));
  Socket accepted(KmSocketAccept(listener.fd, 5000));
  EXPECT_NE(accepted.fd, INVALID_SOCKET);
  EXPECT_FALSE(isNonBlocking(accepted.fd));

  Socket nonBlocking(KmSocketOpenTcp());
  ::fcntl(nonBlocking.fd, F_SETFL, ::fcntl(nonBlocking.fd, F_GETFL) | O_NONBLOCK);
  ASSERT_EQ(ConnectEx(nonBlocking.fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa), 5000), 0);
  EXPECT_TRUE(isNonBlocking(nonBlocking.fd));
}

TEST(ConnectExTest, ClosedPortFailsWithRefusedAndRestoresMode) {
  uint16_t port = 0;
  {
    Socket probe(KmSocketListenTcp(htonl(INADDR_LOOPBACK), 0, 1, &port));
    ASSERT_NE(probe.fd, INVALID_SOCKET);
  }  // closed: nobody listens on port now
  sockaddr_in sa = loopback(port);
  Socket s(KmSocketOpenTcp());
  EXPECT_EQ(ConnectEx(s.fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa), 5000), -1);
  EXPECT_EQ(KmGetLastSocketError(), ECONNREFUSED);
  EXPECT_FALSE(isNonBlocking(s.fd));
}

TEST(ConnectExTest, UnansweredConnectTimesOut) {
  // A listener that never accepts, with a full queue, drops further SYNs, so
  // later connects get no answer at all.
  uint16_t port = 0;
  Socket listener(KmSocketListenTcp(htonl(INADDR_LOOPBACK), 0, 0, &port));
  ASSERT_NE(listener.fd, INVALID_SOCKET);
  sockaddr_in sa = loopback(port);
  std::vector<std::unique_ptr<Socket>> clients;
  bool timedOut = false;
  for (int i = 0; i < 8 && !timedOut; ++i) {
    clients.push_back(std::make_unique<Socket>(KmSocketOpenTcp()));
    if (ConnectEx(clients.back()->fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa), 100) != 0) {
      EXPECT_EQ(KmGetLastSocketError(), ETIMEDOUT);
      EXPECT_FALSE(isNonBlocking(clients.back()->fd));
      timedOut = true;
    }
  }
  EXPECT_TRUE(timedOut);
}

TEST(SendExTest, WholeBufferArrivesThroughASlowReader) {
  for (bool nonBlocking : {false, true}) {
    SocketPair sp;
    int small = 4096;
    ::setsockopt(sp.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    ::setsockopt(sp.b, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    if (nonBlocking) ::fcntl(sp.a, F_SETFL, ::fcntl(sp.a, F_GETFL) | O_NONBLOCK);
    std::vector<uint8_t> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + (i >> 11));
    std::vector<uint8_t> received;
    std::thread reader([&] {
      uint8_t buf[1000];
      for (int reads = 0; received.size() < data.size() && reads < 100000; ++reads) {
        ssize_t n = ::recv(sp.b, buf, sizeof(buf), 0);
        if (n <= 0) return;
        received.insert(received.end(), buf, buf + n);
        if (reads % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    KmMutex lock;
    EXPECT_EQ(SendEx(sp.a, data.data(), data.size(), 0, &lock), static_cast<int>(data.size()));
    reader.join();
    EXPECT_TRUE(received == data) << (nonBlocking ? "non-blocking" : "blocking");
  }
}

TEST(SendExTest, ConcurrentSendersNeverInterleaveUnderOneLock) {
  SocketPair sp;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 20;
  constexpr size_t kBlock = 48 * 1024;  // larger than one socket write
  KmMutex lock;
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      std::vector<uint8_t> block(kBlock, static_cast<uint8_t>('A' + t));
      for (int i = 0; i < kPerThread; ++i)
        if (SendEx(sp.a, block.data(), block.size(), 0, &lock) != static_cast<int>(kBlock))
          failures.fetch_add(1);
    });
  }
  std::vector<uint8_t> all;
  const size_t total = kBlock * kThreads * kPerThread;
  uint8_t buf[65536];
  for (int reads = 0; all.size() < total && reads < 1000000; ++reads) {
    ssize_t n = ::recv(sp.b, buf, sizeof(buf), 0);
    if (n <= 0) break;
    all.insert(all.end(), buf, buf + n);
  }
  for (auto &t : senders) t.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(all.size(), total);
  for (size_t blk = 0; blk < total / kBlock; ++blk) {
    const uint8_t first = all[blk * kBlock];
    for (size_t i = 1; i < kBlock; ++i)
      ASSERT_EQ(all[blk * kBlock + i], first) << "block " << blk << " mixed at " << i;
  }
}

TEST(SendExTest, SendingToAClosedPeerFailsWithoutSignal) {
  SocketPair sp;
  sp.closeB();
  uint8_t byte = 1;
  EXPECT_EQ(SendEx(sp.a, &byte, 1, 0, nullptr), -1);  // no SIGPIPE: we are still here
  EXPECT_EQ(KmClassifySocketError(KmGetLastSocketError()), KmNetOutcome::Closed);
  EXPECT_EQ(SendEx(sp.a, nullptr, 0, 0, nullptr), 0);
  EXPECT_EQ(SendEx(sp.a, nullptr, 5, 0, nullptr), -1);
}

TEST(SocketHelpersTest, AcceptTimesOutWithoutAClient) {
  Socket listener(KmSocketListenTcp(htonl(INADDR_LOOPBACK), 0, 4, nullptr));
  ASSERT_NE(listener.fd, INVALID_SOCKET);
  EXPECT_EQ(KmSocketAccept(listener.fd, 10), INVALID_SOCKET);
  EXPECT_EQ(KmGetLastSocketError(), ETIMEDOUT);
}
