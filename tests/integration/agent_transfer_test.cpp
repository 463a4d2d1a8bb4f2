// File transfer of AgentConnection against a scripted peer: uploads as the
// peer receives them, downloads from chunks the peer crafts, every way a
// download ends, and byte-identical transfers clear and encrypted.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "agent_test_support.h"
#include "kmsrv/protocol.h"
#include "scripted_peer.h"
#include "support/wire.h"

namespace kmtest {
namespace {

class TransferConnection : public TestConnection {
 public:
  using TestConnection::TestConnection;
  using AgentConnection::deleteFileOnDownloadFailure;
};

std::u16string Wide(const std::string &s) { return KmUtf8ToWide(s); }

bool Exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  uint32_t x = 0x12345678u + static_cast<uint32_t>(size);
  for (auto &b : data) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return data;
}

// A raw MC_FILE_DATA message; count is what the header claims (normally the
// payload's size).
std::vector<uint8_t> Chunk(uint32_t id, const uint8_t *data, uint32_t length, bool last,
                           uint32_t count) {
  const uint32_t size = (KMCP_HEADER_SIZE + length + KMCP_ALIGNMENT - 1) / KMCP_ALIGNMENT *
                        KMCP_ALIGNMENT;
  std::vector<uint8_t> bytes =
      WireHeader(MC_FILE_DATA, size, id, size - KMCP_HEADER_SIZE,
                 static_cast<uint16_t>(FLAG_RAW | (last ? FLAG_END_OF_FILE : 0)), count);
  if (length > 0) std::memcpy(bytes.data() + KMCP_HEADER_SIZE, data, length);
  return bytes;
}

std::vector<uint8_t> Chunk(uint32_t id, const std::string &text, bool last) {
  return Chunk(id, reinterpret_cast<const uint8_t *>(text.data()),
               static_cast<uint32_t>(text.size()), last, static_cast<uint32_t>(text.size()));
}

bool SendChunk(ScriptedPeer &peer, const std::vector<uint8_t> &chunk, bool encrypted) {
  return encrypted ? peer.sendEncryptedBytes(chunk.data(), chunk.size())
                   : peer.sendBytes(chunk.data(), chunk.size());
}

// Sends data the way an agent streams a file: full chunks, then a shorter
// (possibly empty) last one.
bool SendFile(ScriptedPeer &peer, uint32_t id, const std::vector<uint8_t> &data, bool encrypted) {
  size_t offset = 0;
  for (;;) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(KMCP_FILE_CHUNK_SIZE, data.size() - offset));
    const bool last = n < KMCP_FILE_CHUNK_SIZE;
    if (!SendChunk(peer, Chunk(id, data.data() + offset, n, last, n), encrypted)) return false;
    offset += n;
    if (last) return true;
  }
}

uint32_t Rcc(CSCPMessage *reply) { return reply == nullptr ? 0xFFFFFFFFu : reply->GetVariableLong(VAR_RCC); }

// Receives the request customRequest sends, then runs body with its id.
template <typename F>
std::thread Serve(ScriptedPeer &peer, uint16_t code, F body) {
  return std::thread([&peer, code, body] {
    auto request = peer.receive();
    if (request == nullptr || request->GetCode() != code) return;
    body(request->GetId());
  });
}

struct Progress {
  std::vector<uint32_t> positions;
  static void record(uint32_t position, void *arg) {
    static_cast<Progress *>(arg)->positions.push_back(position);
  }
};

class AgentTransfer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ConnectScripted(conn, peer, false)); }
  ScriptedPeer peer;
  TransferConnection conn{kLoopbackNet, peer.port()};
  TempDir dir;
  CSCPMessage request{};
  static constexpr uint16_t kCode = 0x7100;
  void SetUpRequest() { request.SetCode(kCode); }
};

TEST_F(AgentTransfer, RefusedUploadStreamsNothing) {
  const std::string local = dir.file("up.bin");
  WriteFile(local, Pattern(100));
  std::thread script([&] {
    auto announce = peer.receive();
    if (announce == nullptr || announce->GetCode() != MC_TRANSFER_FILE) return;
    EXPECT_FALSE(announce->IsVariableExist(VAR_DESTINATION_FILE_NAME));
    char16_t name[64];
    announce->GetVariableStr(VAR_FILE_NAME, name, 64);
    EXPECT_EQ(std::u16string(name), u"up.bin");
    peer.reply(announce->GetId(), RCC_ACCESS_DENIED);
    // The next message after the refusal is the liveness test, not a chunk.
    auto next = peer.receive();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->GetCode(), MC_KEEPALIVE);
    peer.reply(next->GetId(), RCC_SUCCESS);
  });
  EXPECT_EQ(conn.uploadFile(Wide(local).c_str()), RCC_ACCESS_DENIED);
  EXPECT_FALSE(conn.uploadInProgress.load());
  EXPECT_EQ(conn.nop(), RCC_SUCCESS);
  script.join();
}

TEST_F(AgentTransfer, AppendToMissingFileGives915AndCreatesNothingAndSendsNothing) {
  SetUpRequest();
  const std::string path = dir.file("missing");
  CSCPMessage *reply = conn.customRequest(&request, Wide(path).c_str(), true);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->GetCode(), MC_REQUEST_COMPLETED);
  EXPECT_EQ(reply->GetId(), request.GetId());
  EXPECT_EQ(Rcc(reply), RCC_FILE_OPEN_ERROR);
  delete reply;
  EXPECT_FALSE(Exists(path));

  // Too long a path is refused the same way before anything is created.
  const std::string longPath = dir.path + "/" + std::string(260 - dir.path.size(), 'x');
  reply = conn.customRequest(&request, Wide(longPath).c_str());
  EXPECT_EQ(Rcc(reply), RCC_FILE_OPEN_ERROR);
  delete reply;
  EXPECT_FALSE(Exists(longPath));

  std::thread script([&] {
    auto next = peer.receive();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->GetCode(), MC_KEEPALIVE);
    peer.reply(next->GetId(), RCC_SUCCESS);
  });
  EXPECT_EQ(conn.nop(), RCC_SUCCESS);
  script.join();
}

TEST_F(AgentTransfer, AppendProgressStartsAtOldLengthAndEndChunkReportsNone) {
  SetUpRequest();
  const std::string path = dir.file("log");
  WriteFile(path, Pattern(10));
  Progress progress;
  std::thread script = Serve(peer, kCode, [&](uint32_t id) {
    SendChunk(peer, Chunk(id, "hello", false), false);
    SendChunk(peer, Chunk(id, "abc", false), false);
    SendChunk(peer, Chunk(id, "", true), false);  // empty last chunk
    peer.reply(id, RCC_SUCCESS);
  });
  CSCPMessage *reply = conn.customRequest(&request, Wide(path).c_str(), true, &Progress::record, &progress);
  script.join();
  EXPECT_EQ(Rcc(reply), RCC_SUCCESS);
  delete reply;
  EXPECT_EQ(progress.positions, (std::vector<uint32_t>{15, 18}));
  std::vector<uint8_t> expected = Pattern(10);
  for (char c : std::string("helloabc")) expected.push_back(static_cast<uint8_t>(c));
  EXPECT_EQ(ReadFileBytes(path), expected);

  // A file in one chunk reports no progress at all.
  progress.positions.clear();
  script = Serve(peer, kCode, [&](uint32_t id) {
    SendChunk(peer, Chunk(id, "whole", true), false);
    peer.reply(id, RCC_SUCCESS);
  });
  reply = conn.customRequest(&request, Wide(path).c_str(), false, &Progress::record, &progress);
  script.join();
  EXPECT_EQ(Rcc(reply), RCC_SUCCESS);
  delete reply;
  EXPECT_TRUE(progress.positions.empty());
  EXPECT_EQ(ReadFileBytes(path), (std::vector<uint8_t>{'w', 'h', 'o', 'l', 'e'}));
}

TEST_F(AgentTransfer, ChunksOfOtherRequestsAreIgnored) {
  SetUpRequest();
  const std::string path = dir.file("f");
  std::thread script = Serve(peer, kCode, [&](uint32_t id) {
    SendChunk(peer, Chunk(id + 1, "XX", false), false);
    SendChunk(peer, Chunk(id + 1, "YY", true), false);
    SendChunk(peer, Chunk(id, "ok", true), false);
    peer.reply(id, RCC_SUCCESS);
  });
  CSCPMessage *reply = conn.customRequest(&request, Wide(path).c_str());
  script.join();
  EXPECT_EQ(Rcc(reply), RCC_SUCCESS);
  delete reply;
  EXPECT_EQ(ReadFileBytes(path), (std::vector<uint8_t>{'o', 'k'}));
}

// What a failed download leaves: a new file goes (a refusal removes it even
// when told to keep failed files); a file that was appended to is cut back to
// what it held before, whatever failed, and never removed.
TEST_F(AgentTransfer, FailedDownloadRemovesANewFileAndCutsAnAppendedOneBack) {
  SetUpRequest();
  struct Case {
    bool append;
    bool chunkThenBadChunk;  // fail after a chunk was written, not by refusal
  };
  for (const Case c : {Case{false, false}, Case{true, false}, Case{true, true}}) {
    SCOPED_TRACE(std::string(c.append ? "append" : "new") +
                 (c.chunkThenBadChunk ? ", bad chunk" : ", refused"));
    conn.setDeleteFileOnDownloadFailure(c.chunkThenBadChunk);
    const std::string path = dir.file(c.append ? "old" : "new");
    if (c.append) WriteFile(path, Pattern(5));
    std::thread script = Serve(peer, kCode, [&](uint32_t id) {
      if (!c.chunkThenBadChunk) {
        peer.reply(id, RCC_UNKNOWN_PARAMETER);
        return;
      }
      SendChunk(peer, Chunk(id, "more", false), false);
      const std::string data = "bad";
      SendChunk(peer, Chunk(id, reinterpret_cast<const uint8_t *>(data.data()), 3, false, 4000),
                false);
      peer.reply(id, RCC_SUCCESS);
    });
    CSCPMessage *reply = conn.customRequest(&request, Wide(path).c_str(), c.append);
    script.join();
    EXPECT_EQ(Rcc(reply), c.chunkThenBadChunk ? RCC_IO_FAILURE : RCC_UNKNOWN_PARAMETER);
    delete reply;
    EXPECT_EQ(Exists(path), c.append);
    if (c.append) {
      EXPECT_EQ(ReadFileBytes(path), Pattern(5));
    }
  }
}

TEST_F(AgentTransfer, ChunkClaimingMoreThanItCarriesFailsTheDownload) {
  SetUpRequest();
  const std::string path = dir.file("partial");
  for (bool keep : {true, false}) {
    conn.setDeleteFileOnDownloadFailure(!keep);
    std::thread script = Serve(peer, kCode, [&](uint32_t id) {
      SendChunk(peer, Chunk(id, "first", false), false);
      const std::string data = "bad";
      SendChunk(peer, Chunk(id, reinterpret_cast<const uint8_t *>(data.data()), 3, false, 4000), false);
      SendChunk(peer, Chunk(id, "late", true), false);
      peer.reply(id, RCC_SUCCESS);
    });
    CSCPMessage *reply = conn.customRequest(&request, Wide(path).c_str());
    script.join();
    EXPECT_EQ(Rcc(reply), RCC_IO_FAILURE);
    delete reply;
    EXPECT_EQ(Exists(path), keep);
    if (keep) {
      EXPECT_EQ(ReadFileBytes(path), (std::vector<uint8_t>{'f', 'i', 'r', 's', 't'}));
    }
  }
}

TEST_F(AgentTransfer, BrokenConnectionEndsWaitingDownloadWith903) {
  SetUpRequest();
  const std::string path = dir.file("cut");
  std::thread script = Serve(peer, kCode, [&](uint32_t id) {
    SendChunk(peer, Chunk(id, "part", false), false);
    peer.reply(id, RCC_SUCCESS);
    peer.close();
  });
  CSCPMessage *reply = conn.customRequest(&request, Wide(path).c_str());
  script.join();
  EXPECT_EQ(Rcc(reply), RCC_IO_FAILURE);
  delete reply;
  EXPECT_FALSE(Exists(path));
}

// One download at a time: while one waits, a second gets 904 and sends
// nothing. Every failure, no answer included, ends the open one, so the next
// download goes out.
TEST_F(AgentTransfer, OpenDownloadRefusesASecondAndNoAnswerDisarmsIt) {
  SetUpRequest();
  // Long enough that the second request comes while the first still waits.
  conn.setCommandTimeout(3000);
  const std::string path = dir.file("open");
  std::atomic<bool> refused{false};
  std::thread script = Serve(peer, kCode, [&](uint32_t) {
    // No answer, until after the second request was refused.
    WaitUntil([&] { return refused.load(); });
  });
  std::thread first([&] { EXPECT_EQ(conn.customRequest(&request, Wide(path).c_str()), nullptr); });
  ASSERT_TRUE(WaitUntil([&] { return Exists(path); }));
  CSCPMessage second;
  second.SetCode(kCode);
  CSCPMessage *reply = conn.customRequest(&second, Wide(dir.file("other")).c_str());
  EXPECT_EQ(Rcc(reply), RCC_RESOURCE_BUSY);
  delete reply;
  refused = true;
  first.join();
  script.join();
  EXPECT_FALSE(Exists(dir.file("other")));
  EXPECT_FALSE(Exists(path));  // the failed download's new file is gone

  script = Serve(peer, kCode, [&](uint32_t id) {
    SendChunk(peer, Chunk(id, "ok", true), false);
    peer.reply(id, RCC_SUCCESS);
  });
  reply = conn.customRequest(&request, Wide(path).c_str());
  script.join();
  EXPECT_EQ(Rcc(reply), RCC_SUCCESS);
  delete reply;
}

TEST_F(AgentTransfer, UploadDestinationIsAnnounced) {
  const std::string local = dir.file("a.txt");
  WriteFile(local, Pattern(3));
  std::thread script([&] {
    auto announce = peer.receive();
    if (announce == nullptr) return;
    char16_t name[64];
    announce->GetVariableStr(VAR_DESTINATION_FILE_NAME, name, 64);
    EXPECT_EQ(std::u16string(name), u"dest.txt");
    peer.reply(announce->GetId(), RCC_ACCESS_DENIED);
  });
  EXPECT_EQ(conn.uploadFile(Wide(local).c_str(), u"dest.txt"), RCC_ACCESS_DENIED);
  script.join();
}

// Uploads and downloads of each size arrive byte-identical, clear and
// encrypted.
class AgentTransferSizes : public ::testing::TestWithParam<bool> {};

TEST_P(AgentTransferSizes, TransfersArriveByteIdentical) {
  const bool encrypted = GetParam();
  ScriptedPeer peer;
  TransferConnection conn(kLoopbackNet, peer.port());
  ASSERT_TRUE(ConnectScripted(conn, peer, encrypted));
  TempDir dir;
  for (size_t size : {size_t{0}, size_t{1}, size_t{65536}, size_t{65537}, size_t{8} << 20}) {
    SCOPED_TRACE(size);
    const std::vector<uint8_t> data = Pattern(size);
    const std::string local = dir.file("src");
    WriteFile(local, data);

    std::vector<uint8_t> received;
    std::atomic<bool> sawEnd{false};
    std::thread script([&] {
      auto announce = peer.receive();
      if (announce == nullptr || announce->GetCode() != MC_TRANSFER_FILE) return;
      const uint32_t id = announce->GetId();
      peer.reply(id, RCC_SUCCESS);
      for (size_t i = 0; i <= size / KMCP_FILE_CHUNK_SIZE + 1; i++) {
        std::vector<uint8_t> bytes = peer.receiveBytes();
        if (bytes.size() < KMCP_HEADER_SIZE) return;
        auto *header = reinterpret_cast<const KMCP_MESSAGE *>(bytes.data());
        if (ntohs(header->code) != MC_FILE_DATA || ntohl(header->id) != id) return;
        const uint32_t count = ntohl(header->numFields);
        if (count > bytes.size() - KMCP_HEADER_SIZE) return;
        received.insert(received.end(), bytes.begin() + KMCP_HEADER_SIZE,
                        bytes.begin() + KMCP_HEADER_SIZE + count);
        if (ntohs(header->flags) & FLAG_END_OF_FILE) {
          sawEnd = true;
          break;
        }
      }
      peer.reply(id, RCC_SUCCESS);
    });
    EXPECT_EQ(conn.uploadFile(Wide(local).c_str()), RCC_SUCCESS);
    script.join();
    EXPECT_TRUE(sawEnd.load());
    EXPECT_TRUE(received == data);

    CSCPMessage request;
    request.SetCode(0x7101);
    const std::string target = dir.file("dst");
    script = std::thread([&] {
      auto rq = peer.receive();
      if (rq == nullptr) return;
      SendFile(peer, rq->GetId(), data, encrypted);
      peer.reply(rq->GetId(), RCC_SUCCESS);
    });
    CSCPMessage *reply = conn.customRequest(&request, Wide(target).c_str());
    script.join();
    EXPECT_EQ(Rcc(reply), RCC_SUCCESS);
    delete reply;
    EXPECT_TRUE(ReadFileBytes(target) == data);
  }
}

INSTANTIATE_TEST_SUITE_P(ClearAndEncrypted, AgentTransferSizes, ::testing::Bool());

}  // namespace
}  // namespace kmtest
