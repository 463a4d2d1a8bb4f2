// Protocol version detection, both ends, and that it reads no byte beyond
// the answer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "kmbase/message.h"
#include "net_test_util.h"

using kmtest::Wire;
using nettest::SocketPair;

namespace {

// Reads the version request on the peer side (exactly its bytes) and
// returns it decoded, or null.
std::unique_ptr<CSCPMessage> readRequest(int fd) {
  CSCP_BUFFER *st = new CSCP_BUFFER;
  RecvKMCPMessage(INVALID_SOCKET, nullptr, st, 0, nullptr, nullptr, 0);
  std::vector<uint64_t> buf(512);
  int n = RecvKMCPMessage(fd, reinterpret_cast<KMCP_MESSAGE *>(buf.data()), st, 4096, nullptr,
                          nullptr, 10000);
  delete st;
  if (n <= 3) return nullptr;
  return CSCPMessage::decode(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(buf.data()), n), KMCP_VERSION);
}

}  // namespace

TEST(VersionDetectionTest, PeerReportsAnyVersionAndRequestCarriesOurs) {
  for (int reported : {1, 2, 7}) {
    SocketPair sp;
    uint32_t requestedVersion = 0;
    std::thread peer([&] {
      auto req = readRequest(sp.b);
      if (req == nullptr || req->GetCode() != MC_GET_KMCP_CAPS) return;
      requestedVersion = req->GetVariableLong(VAR_KMCP_VERSION);
      KmMutex lock;
      KMCPAnswerProtocolVersion(sp.b, req->GetId(), reported, &lock);
    });
    KmMutex sendLock;
    int version = -1;
    EXPECT_NE(KMCPGetPeerProtocolVersion(sp.a, &version, &sendLock, 10000), 0);
    peer.join();
    EXPECT_EQ(version, reported);
    EXPECT_EQ(requestedVersion, static_cast<uint32_t>(KMCP_VERSION));
  }
}

TEST(VersionDetectionTest, BytesAfterTheAnswerAreLeftForTheReceiver) {
  SocketPair sp;
  CSCPMessage answer;
  answer.SetCode(MC_GET_KMCP_CAPS);
  answer.SetId(KMCP_VERSION_REQUEST_ID);
  answer.SetVariable(VAR_KMCP_VERSION, uint32_t{3});
  auto stream = Wire(answer);
  auto trap = nettest::wireMessage(MC_TRAP, 40, 77, 5);
  nettest::append(stream, trap);
  // Answer and the next message in one write, before the request is even
  // read: the detector must stop exactly at the answer's end.
  ASSERT_TRUE(nettest::writeAll(sp.b, stream));

  int version = 0;
  ASSERT_NE(KMCPGetPeerProtocolVersion(sp.a, &version, nullptr, 10000), 0);
  EXPECT_EQ(version, 3);

  CSCP_BUFFER *st = new CSCP_BUFFER;
  RecvKMCPMessage(INVALID_SOCKET, nullptr, st, 0, nullptr, nullptr, 0);
  std::vector<uint64_t> buf(64);
  int n = RecvKMCPMessage(sp.a, reinterpret_cast<KMCP_MESSAGE *>(buf.data()), st, 512, nullptr,
                          nullptr, 10000);
  delete st;
  ASSERT_EQ(n, 40);
  EXPECT_EQ(0, std::memcmp(buf.data(), trap.data(), trap.size()));
}

TEST(VersionDetectionTest, CompletionWithoutVersionMeansVersionOne) {
  SocketPair sp;
  CSCPMessage reply;
  reply.SetCode(MC_REQUEST_COMPLETED);
  reply.SetId(KMCP_VERSION_REQUEST_ID);
  reply.SetVariable(28u, uint32_t{4});  // "unknown command" from an old peer
  ASSERT_TRUE(nettest::writeAll(sp.b, Wire(reply)));
  int version = 0;
  EXPECT_NE(KMCPGetPeerProtocolVersion(sp.a, &version, nullptr, 10000), 0);
  EXPECT_EQ(version, 1);
}

TEST(VersionDetectionTest, SilenceCloseAndBadAnswersFail) {
  {
    SocketPair sp;  // the peer never answers
    int version = 42;
    EXPECT_EQ(KMCPGetPeerProtocolVersion(sp.a, &version, nullptr, 30), 0);
    EXPECT_EQ(KmGetLastSocketError(), ETIMEDOUT);
    EXPECT_EQ(version, 42);
  }
  {
    SocketPair sp;  // the peer closes after half a header
    auto half = nettest::wireMessage(MC_GET_KMCP_CAPS, 32, 0);
    ASSERT_TRUE(nettest::writeAll(sp.b, half.data(), 8));
    sp.closeB();
    int version = 42;
    EXPECT_EQ(KMCPGetPeerProtocolVersion(sp.a, &version, nullptr, 10000), 0);
    EXPECT_EQ(version, 42);
  }
  auto failsWith = [](const std::vector<uint8_t> &answer) {
    SocketPair sp;
    if (!nettest::writeAll(sp.b, answer)) return false;
    int version = 42;
    return KMCPGetPeerProtocolVersion(sp.a, &version, nullptr, 200) == 0 && version == 42;
  };
  // One past the answer limit (the header alone says so; nothing more is read).
  EXPECT_TRUE(failsWith(nettest::wireMessage(MC_GET_KMCP_CAPS, KMCP_VERSION_ANSWER_MAX_SIZE + 8, 0)));
  // Header-sized garbage: no fields, so no version.
  EXPECT_TRUE(failsWith(nettest::wireMessage(MC_GET_KMCP_CAPS, 16, 0)));
  // Size below a header.
  EXPECT_TRUE(failsWith(nettest::wireMessage(MC_GET_KMCP_CAPS, 8, 0)));
  auto answerWith = [](uint16_t code, uint32_t id, uint32_t version) {
    CSCPMessage m;
    m.SetCode(code);
    m.SetId(id);
    m.SetVariable(VAR_KMCP_VERSION, version);
    return Wire(m);
  };
  EXPECT_TRUE(failsWith(answerWith(MC_GET_KMCP_CAPS, KMCP_VERSION_REQUEST_ID, 0)));
  EXPECT_TRUE(failsWith(answerWith(MC_GET_KMCP_CAPS, 5, 2)));       // wrong id
  EXPECT_TRUE(failsWith(answerWith(MC_TRAP, KMCP_VERSION_REQUEST_ID, 2)));  // wrong code
  EXPECT_TRUE(failsWith(answerWith(MC_GET_KMCP_CAPS, KMCP_VERSION_REQUEST_ID, 0x80000000u)));
  // The same answer is accepted when well formed, so the cases above fail
  // for their defect alone.
  EXPECT_FALSE(failsWith(answerWith(MC_GET_KMCP_CAPS, KMCP_VERSION_REQUEST_ID, 2)));
}
