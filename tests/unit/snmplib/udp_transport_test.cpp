// SNMP_UDPTransport against an in-process agent on a loopback UDP socket.
#include "kmsnmp/udp_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Datagram = std::vector<uint8_t>;
using Responder = std::function<std::vector<Datagram>(const SNMP_PDU &request)>;

const uint32_t kSysName[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};

// A UDP socket on 127.0.0.1 that, once started, answers each request with
// whatever the responder returns. Serves at most a few requests for at most
// a few seconds, so a broken test cannot hang.
class LoopbackAgent {
 public:
  LoopbackAgent() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~LoopbackAgent() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }

  uint16_t port() const { return port_; }
  void closeSocket() {
    close(fd_);
    fd_ = -1;
  }

  void start(Responder responder) {
    thread_ = std::thread([this, responder] {
      for (int polls = 0; polls < 50 && !stop_; polls++) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        uint8_t buf[2048];
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n <= 0) continue;
        requests_++;
        SNMP_PDU request;
        if (!request.parse(buf, static_cast<size_t>(n), nullptr, 0)) continue;
        for (const Datagram &d : responder(request)) {
          sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
        }
      }
    });
  }

  // Datagrams waiting on the socket (for a peer that never answers).
  int drain() {
    int count = 0;
    uint8_t buf[2048];
    while (recv(fd_, buf, sizeof(buf), MSG_DONTWAIT) >= 0 && count < 100) count++;
    return count;
  }

  std::atomic<int> requests_{0};

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

Datagram Answer(const SNMP_PDU &request, uint32_t requestId, const char *text) {
  SNMP_PDU response(SNMP_RESPONSE, requestId, request.getVersion());
  auto *v = new SNMP_Variable(kSysName, 9);
  v->setOctets(ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>(text), strlen(text));
  response.bindVariable(v);
  SNMP_SecurityContext ctx("public");
  std::vector<uint8_t> wire;
  size_t n = response.encode(wire, &ctx);
  wire.resize(n);
  return wire;
}

std::unique_ptr<SNMP_UDPTransport> Transport(uint16_t port) {
  auto t = std::make_unique<SNMP_UDPTransport>(htonl(INADDR_LOOPBACK), port);
  t->setSecurityContext(new SNMP_SecurityContext("public"));
  return t;
}

std::u16string Value(SNMP_PDU *pdu) {
  char16_t buf[64];
  return pdu->getVariable(0)->GetValueAsString(buf, 64);
}

}  // namespace

TEST(UdpTransport, SkipsAStaleAnswerAndReturnsTheMatchingOne) {
  LoopbackAgent agent;
  agent.start([](const SNMP_PDU &req) {
    return std::vector<Datagram>{Answer(req, req.getRequestId() - 1, "stale"),
                                 Answer(req, req.getRequestId(), "host1")};
  });
  auto t = Transport(agent.port());
  ASSERT_TRUE(t->isConnected());
  SNMP_PDU request(SNMP_GET_REQUEST, 500, SNMP_VERSION_2C);
  request.bindVariable(new SNMP_Variable(kSysName, 9));
  SNMP_PDU *response = nullptr;
  ASSERT_EQ(t->doRequest(&request, &response, 2000, 3), SNMP_ERR_SUCCESS);
  std::unique_ptr<SNMP_PDU> owned(response);
  EXPECT_EQ(response->getRequestId(), 500u);
  EXPECT_EQ(Value(response), u"host1");
  EXPECT_EQ(agent.requests_.load(), 1);
}

TEST(UdpTransport, GarbageDatagramEndsTheAttemptAndTheAnswerStillCounts) {
  LoopbackAgent agent;
  agent.start([](const SNMP_PDU &req) {
    return std::vector<Datagram>{Datagram{0x30, 0x03, 0x02, 0x01},
                                 Answer(req, req.getRequestId(), "host2")};
  });
  auto t = Transport(agent.port());
  SNMP_PDU request(SNMP_GET_REQUEST, 501, SNMP_VERSION_1);
  request.bindVariable(new SNMP_Variable(kSysName, 9));
  SNMP_PDU *response = nullptr;
  ASSERT_EQ(t->doRequest(&request, &response, 2000, 3), SNMP_ERR_SUCCESS);
  std::unique_ptr<SNMP_PDU> owned(response);
  EXPECT_EQ(Value(response), u"host2");
  EXPECT_EQ(response->getVersion(), SNMP_VERSION_1);
}

TEST(UdpTransport, SilentPeerGivesTimeOutAfterEveryAttempt) {
  LoopbackAgent silent;
  auto t = Transport(silent.port());
  SNMP_PDU request(SNMP_GET_REQUEST, 502, SNMP_VERSION_2C);
  request.bindVariable(new SNMP_Variable(kSysName, 9));
  SNMP_PDU *response = reinterpret_cast<SNMP_PDU *>(1);
  EXPECT_EQ(t->doRequest(&request, &response, 20, 2), SNMP_ERR_TIMEOUT);
  EXPECT_EQ(response, nullptr);
  EXPECT_EQ(silent.drain(), 2);
}

// readMessage waits inside its receive, with the socket's time-out set to
// the time left: each call's own time-out must hold, and 0 only looks (on
// the socket, 0 would mean "forever").
TEST(UdpTransport, ReadMessageHonoursEachCallsTimeOut) {
  LoopbackAgent peer;
  auto t = Transport(peer.port());
  using Clock = std::chrono::steady_clock;
  SNMP_PDU *pdu = reinterpret_cast<SNMP_PDU *>(1);
  EXPECT_EQ(t->readMessage(&pdu, 0, nullptr, nullptr, nullptr), 0);
  const auto start = Clock::now();
  EXPECT_EQ(t->readMessage(&pdu, 40, nullptr, nullptr, nullptr), 0);
  EXPECT_GE(Clock::now() - start,
            std::chrono::milliseconds(20));  // it waited (the kernel counts in ticks)
  EXPECT_EQ(t->readMessage(&pdu, 0, nullptr, nullptr, nullptr), 0);

  // A longer time-out after a shorter one: an answer sent meanwhile arrives.
  peer.start([](const SNMP_PDU &request) {
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    return std::vector<Datagram>{Answer(request, request.getRequestId(), "late")};
  });
  SNMP_PDU request(SNMP_GET_REQUEST, 504, SNMP_VERSION_2C);
  request.bindVariable(new SNMP_Variable(kSysName, 9));
  ASSERT_GT(t->sendMessage(&request), 0);
  pdu = nullptr;
  EXPECT_GT(t->readMessage(&pdu, 5000, nullptr, nullptr, nullptr), 0);
  ASSERT_NE(pdu, nullptr);
  EXPECT_EQ(pdu->getRequestId(), 504u);
  EXPECT_EQ(Value(pdu), u"late");
  delete pdu;
}

TEST(UdpTransport, ClosedPortIsACommunicationError) {
  LoopbackAgent gone;
  uint16_t port = gone.port();
  gone.closeSocket();
  auto t = Transport(port);
  SNMP_PDU request(SNMP_GET_REQUEST, 503, SNMP_VERSION_2C);
  request.bindVariable(new SNMP_Variable(kSysName, 9));
  SNMP_PDU *response = nullptr;
  EXPECT_EQ(t->doRequest(&request, &response, 1000, 2), SNMP_ERR_COMM);
  EXPECT_EQ(response, nullptr);
}

namespace {
SNMP_SecurityContext *FindPrivate(struct sockaddr *sender, int size) {
  EXPECT_EQ(size, static_cast<int>(sizeof(sockaddr_in)));
  EXPECT_EQ(reinterpret_cast<sockaddr_in *>(sender)->sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  return new SNMP_SecurityContext("private");
}
}  // namespace

TEST(UdpTransport, ReadMessageReportsTheSenderAndInstallsTheFoundContext) {
  LoopbackAgent agent;
  agent.start([](const SNMP_PDU &req) {
    return std::vector<Datagram>{Answer(req, req.getRequestId(), "x")};
  });
  auto t = Transport(agent.port());
  SNMP_PDU request(SNMP_GET_REQUEST, 504, SNMP_VERSION_2C);
  request.bindVariable(new SNMP_Variable(kSysName, 9));
  ASSERT_GT(t->sendMessage(&request), 0);
  SNMP_PDU *pdu = nullptr;
  sockaddr_in sender{};
  int size = sizeof(sender);
  int n = t->readMessage(&pdu, 2000, reinterpret_cast<sockaddr *>(&sender), &size, FindPrivate);
  std::unique_ptr<SNMP_PDU> owned(pdu);
  ASSERT_GT(n, 0);
  ASSERT_NE(pdu, nullptr);
  EXPECT_EQ(pdu->getRequestId(), 504u);
  EXPECT_STREQ(t->getSecurityContext()->getCommunity(), "private");
  EXPECT_EQ(t->readMessage(&pdu, 0, nullptr, nullptr, nullptr), 0);
}

TEST(UdpTransport, AddressTextsGiveFamilyAndPortOrAClearError) {
  int probe = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 loop6{};
  loop6.sin6_family = AF_INET6;
  loop6.sin6_addr = in6addr_loopback;
  const bool haveIpv6 =
      probe >= 0 && bind(probe, reinterpret_cast<sockaddr *>(&loop6), sizeof(loop6)) == 0;
  if (probe >= 0) close(probe);
  struct Case {
    const char *text;
    int family;  // 0: refused as SNMP_ERR_BAD_ADDRESS
    uint16_t port;
  };
  const Case cases[] = {
      {"udp:127.0.0.1:1161", AF_INET, 1161},
      {"udp:127.0.0.1", AF_INET, 161},
      {"127.0.0.1", AF_INET, 161},
      {"127.0.0.1:65535", AF_INET, 65535},
      {"udp6:[::1]:1162", AF_INET6, 1162},
      {"udp6:[::1]", AF_INET6, 161},
      {"udp6:::1", AF_INET6, 161},
      {"[::1]:1163", AF_INET6, 1163},
      {"::1", AF_INET6, 161},
      {"", 0, 0},
      {"udp:", 0, 0},
      {"udp:127.0.0.1:0", 0, 0},
      {"udp:127.0.0.1:65536", 0, 0},
      {"udp:127.0.0.1:16x", 0, 0},
      {"udp:127.0.0.1:", 0, 0},
      {"[::1", 0, 0},
      {"[::1]x", 0, 0},
      {"[::1]:", 0, 0},
      {"udp:[::1]:161", 0, 0},   // an IPv6 address where IPv4 was asked for
      {"udp6:127.0.0.1", 0, 0},  // and the other way round
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    if (c.family == AF_INET6 && !haveIpv6) continue;
    uint32_t rc = 12345;
    std::unique_ptr<SNMP_UDPTransport> t(SNMP_UDPTransport::create(c.text, 161, &rc));
    if (c.family == 0) {
      EXPECT_EQ(t, nullptr);
      EXPECT_EQ(rc, SNMP_ERR_BAD_ADDRESS);
      continue;
    }
    ASSERT_NE(t, nullptr) << rc;
    EXPECT_EQ(rc, SNMP_ERR_SUCCESS);
    EXPECT_TRUE(t->isConnected());
    socklen_t length;
    const sockaddr *peer = t->getPeerAddress(&length);
    ASSERT_EQ(peer->sa_family, c.family);
    uint16_t port = c.family == AF_INET ? reinterpret_cast<const sockaddr_in *>(peer)->sin_port
                                        : reinterpret_cast<const sockaddr_in6 *>(peer)->sin6_port;
    EXPECT_EQ(ntohs(port), c.port);
  }
  EXPECT_EQ(SNMP_UDPTransport::create(nullptr, 161, nullptr), nullptr);
}
