// TLS streams bound to sockets: what the framing, SendEx and file streaming
// carry through them, the end of a stream from another thread, a writer the
// peer does not read from, the first byte that tells TLS from legacy, and a
// closed socket's number coming back plain. The checks of the peer's
// certificate are exercised end to end in the kmquery tests.
#include "kmbase/tls.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kmbase/text.h"
#include "net_test_util.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace nettest {
namespace {

using Clock = std::chrono::steady_clock;

// A socket pair with TLS on both ends: a answers (the reference peer's
// side), b calls with the CA and the name agent.test.
class TlsPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pki.ok()) << pki.error();
    std::string error;
    server = KmTlsMakeServerContext({pki.server.cert, pki.server.key, ""}, &error);
    ASSERT_NE(server, nullptr) << error;
    client = KmTlsMakeClientContext({pki.caCert, "", "", ""}, &error);
    ASSERT_NE(client, nullptr) << error;
  }
  void TearDown() override {
    // The TLS ends are closed with KmSocketClose, which ends TLS first.
    KmSocketClose(pair.a);
    KmSocketClose(pair.b);
    pair.a = pair.b = -1;
  }

  // Runs both handshakes; true when both ends have TLS.
  bool handshake() {
    KmTlsFailure accepted = KmTlsFailure::Failed;
    std::thread answer(
        [&] { accepted = KmTlsAccept(pair.a, server, Clock::now() + std::chrono::seconds(10)); });
    const KmTlsFailure connected = KmTlsConnect(pair.b, client, "agent.test", 10000);
    answer.join();
    return connected == KmTlsFailure::None && accepted == KmTlsFailure::None &&
           KmTlsActive(pair.a) && KmTlsActive(pair.b);
  }

  kmtest::TempDir dir;
  kmtest::TestPki pki{dir.path};
  KmTlsContextRef server;
  KmTlsContextRef client;
  SocketPair pair;
};

// Reads messages from sock until `count` arrived or one read fails; their
// sizes, or the failing result.
std::vector<int> ReceiveSizes(SOCKET sock, size_t count, uint32_t maxSize) {
  auto state = std::make_unique<CSCP_BUFFER>();
  RecvKMCPMessage(INVALID_SOCKET, nullptr, state.get(), 0, nullptr, nullptr, 0);
  std::vector<uint8_t> buffer(maxSize);
  std::vector<int> sizes;
  while (sizes.size() < count) {
    const int r = RecvKMCPMessage(sock, reinterpret_cast<KMCP_MESSAGE *>(buffer.data()),
                                  state.get(), maxSize, nullptr, nullptr, 10000);
    sizes.push_back(r);
    if (r <= KMCP_RECV_TIMEOUT && r != KMCP_RECV_TOO_LARGE) break;
  }
  return sizes;
}

TEST_F(TlsPair, MessagesOfEverySizeAndAStreamedFileArriveWhole) {
  ASSERT_TRUE(handshake());
  EXPECT_NE(KmTlsDescription(pair.b).find("TLSv1.3"), std::string::npos);
  // Below a TLS record, across records, one larger than the receiver takes
  // (skipped: the stream stays in step), beyond the read buffer (assembled
  // in place).
  const std::vector<uint32_t> sizes = {16, 20000, 3u << 20, KMCP_RECV_BUFFER_SIZE + 40, 1u << 20};
  const uint32_t maxSize = 2u << 20;
  std::thread writer([&] {
    for (const uint32_t size : sizes) {
      const std::vector<uint8_t> m = wireMessage(0x1100, size, size, 3);
      EXPECT_EQ(SendEx(pair.b, m.data(), m.size(), 0, nullptr), static_cast<int>(m.size()));
    }
  });
  const std::vector<int> got = ReceiveSizes(pair.a, sizes.size(), maxSize);
  writer.join();
  ASSERT_EQ(got.size(), sizes.size());
  for (size_t i = 0; i < sizes.size(); i++)
    EXPECT_EQ(got[i], sizes[i] > maxSize ? KMCP_RECV_TOO_LARGE : static_cast<int>(sizes[i])) << i;

  // A file streamed in chunks: its bytes arrive in order, then the end marker.
  std::string content(300000, '\0');
  for (size_t i = 0; i < content.size(); i++) content[i] = static_cast<char>(i * 31 + 7);
  const std::string path = dir.write("streamed", content);
  std::thread sender([&] {
    EXPECT_TRUE(SendFileOverKMCP(pair.b, 9, KmUtf8ToWide(path).c_str(), nullptr, 0, nullptr,
                                 nullptr, nullptr, 5000));
  });
  auto state = std::make_unique<CSCP_BUFFER>();
  RecvKMCPMessage(INVALID_SOCKET, nullptr, state.get(), 0, nullptr, nullptr, 0);
  std::vector<uint8_t> buffer(maxSize);
  std::string received;
  for (int chunks = 0; chunks < 16; chunks++) {
    const int r = RecvKMCPMessage(pair.a, reinterpret_cast<KMCP_MESSAGE *>(buffer.data()),
                                  state.get(), maxSize, nullptr, nullptr, 10000);
    ASSERT_GT(r, KMCP_RECV_TIMEOUT);
    const uint32_t payload = KmLoadBe32(buffer.data() + 12);
    received.append(reinterpret_cast<const char *>(buffer.data()) + KMCP_HEADER_SIZE, payload);
    if ((KmLoadBe16(buffer.data() + 2) & FLAG_END_OF_FILE) != 0) break;
  }
  sender.join();
  EXPECT_TRUE(received == content);
}

TEST_F(TlsPair, ShutdownFromAnotherThreadEndsAWaitingReadAndAStalledWriteTimesOut) {
  ASSERT_TRUE(handshake());
  // The peer (a) reads nothing: b's writes fill the buffers, then wait.
  std::vector<uint8_t> big(8u << 20, 0x5a);
  const auto started = Clock::now();
  EXPECT_EQ(SendExWithin(pair.b, big.data(), big.size(), 0, nullptr, 300), -1);
  EXPECT_EQ(KmGetLastSocketError(), ETIMEDOUT);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(20));

  // A read that waits without a limit ends when another thread shuts the
  // socket down.
  std::atomic<int> result{99};
  std::thread reader([&] {
    auto state = std::make_unique<CSCP_BUFFER>();
    RecvKMCPMessage(INVALID_SOCKET, nullptr, state.get(), 0, nullptr, nullptr, 0);
    std::vector<uint8_t> buffer(65536);
    result = RecvKMCPMessage(pair.b, reinterpret_cast<KMCP_MESSAGE *>(buffer.data()), state.get(),
                             65536, nullptr, nullptr, KM_INFINITE);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  KmSocketShutdown(pair.b, SHUT_RDWR);
  reader.join();
  EXPECT_LE(result.load(), KMCP_RECV_CLOSED);
}

TEST_F(TlsPair, FirstByteTellsTlsFromLegacyWithoutTakingIt) {
  struct Case {
    std::vector<uint8_t> sent;  // empty: nothing, then the sender closes (close) or waits
    bool close;
    KmSessionStart expected;
  };
  const Case cases[] = {
      {{KM_TLS_HANDSHAKE_BYTE, 0x03, 0x01}, false, KmSessionStart::Tls},
      {wireMessage(0x0041, 32, 0), false, KmSessionStart::Kmcp},
      {{}, true, KmSessionStart::Closed},
      {{}, false, KmSessionStart::Timeout},
  };
  for (const Case &c : cases) {
    SocketPair p;
    if (!c.sent.empty()) {
      ASSERT_TRUE(writeAll(p.b, c.sent));
    }
    if (c.close) p.closeB();
    EXPECT_EQ(KmPeekSessionStart(p.a, Clock::now() + std::chrono::milliseconds(100)), c.expected);
    if (!c.sent.empty()) {
      uint8_t first = 0;  // still there for whoever reads next
      EXPECT_EQ(::recv(p.a, &first, 1, MSG_DONTWAIT), 1);
      EXPECT_EQ(first, c.sent[0]);
    }
  }
}

TEST_F(TlsPair, AClosedSocketsNumberComesBackPlain) {
  ASSERT_TRUE(handshake());
  const SOCKET old = pair.a;
  KmSocketClose(pair.a);
  pair.a = -1;
  SocketPair next;  // the lowest free numbers: old's comes back
  ASSERT_TRUE(next.a == old || next.b == old);
  EXPECT_FALSE(KmTlsActive(old));
  ASSERT_TRUE(writeAll(next.b, wireMessage(0x1100, 64, 1)));
  EXPECT_EQ(ReceiveSizes(next.a, 1, 4096), std::vector<int>{64});
}

TEST_F(TlsPair, UnusableSettingsAreRefusedNamingTheFile) {
  struct Case {
    KmTlsClientSettings settings;
    const char *says;
  };
  const Case cases[] = {
      {{dir.file("missing.pem"), "", "", ""}, "missing.pem"},
      {{"", "00:11", "", ""}, "fingerprint"},
      {{pki.caCert, "", pki.client.cert, ""}, "both"},
      {{pki.caCert, "", pki.client.cert, pki.server.key}, "does not belong"},
  };
  for (const Case &c : cases) {
    std::string error;
    EXPECT_EQ(KmTlsMakeClientContext(c.settings, &error), nullptr) << c.says;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  std::string error;
  EXPECT_EQ(KmTlsMakeServerContext({pki.server.cert, "", ""}, &error), nullptr);
  EXPECT_NE(KmTlsMakeClientContext({"", pki.selfSigned.fingerprint, "", ""}, &error), nullptr)
      << error;
}

}  // namespace
}  // namespace nettest
