// SendFileOverKMCP: chunking, end marker, progress, offset and encryption,
// checked by reassembling what a receiver gets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "kmbase/crypto.h"
#include "kmbase/text.h"
#include "net_test_util.h"
#include "support/temp_dir.h"

using nettest::SocketPair;

namespace {

// A temporary file with `size` pattern bytes; removed at the end.
class PatternFile {
 public:
  explicit PatternFile(size_t size)
      : content_(Pattern(size)),
        file_(std::string_view(reinterpret_cast<const char *>(content_.data()), content_.size())) {}
  std::u16string widePath() const { return KmUtf8ToWide(file_.path()); }
  const std::vector<uint8_t> &content() const { return content_; }

 private:
  static std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    return bytes;
  }
  std::vector<uint8_t> content_;
  kmtest::TempFile file_;
};

struct Chunk {
  uint16_t flags;
  uint32_t id;
  uint32_t count;
};

// Receives chunks until the end marker (or a failure) and reassembles them.
struct Reassembly {
  std::vector<uint8_t> data;
  std::vector<Chunk> chunks;
  bool sawEnd = false;
  bool badChunk = false;
};

Reassembly receiveFile(int fd, KMCPEncryptionContext *ctx) {
  Reassembly out;
  auto st = std::make_unique<CSCP_BUFFER>();
  RecvKMCPMessage(INVALID_SOCKET, nullptr, st.get(), 0, nullptr, nullptr, 0);
  constexpr uint32_t kMax = 262144;
  std::vector<uint64_t> buf(kMax / 8);
  std::vector<uint8_t> decrypt(kMax);
  for (int i = 0; i < 1000 && !out.sawEnd; ++i) {
    KMCPEncryptionContext *c = ctx;
    int n = RecvKMCPMessage(fd, reinterpret_cast<KMCP_MESSAGE *>(buf.data()), st.get(), kMax, &c,
                            decrypt.data(), 10000);
    if (n <= 3) break;
    const uint8_t *m = reinterpret_cast<const uint8_t *>(buf.data());
    Chunk c1{nettest::headerFlags(m), nettest::headerWord(m, 2), nettest::headerWord(m, 3)};
    if (nettest::headerCode(m) != MC_FILE_DATA || !(c1.flags & FLAG_RAW) ||
        nettest::headerWord(m, 1) != static_cast<uint32_t>(n) || n % 8 != 0 ||
        KMCP_HEADER_SIZE + c1.count > static_cast<uint32_t>(n)) {
      out.badChunk = true;
      break;
    }
    out.chunks.push_back(c1);
    out.data.insert(out.data.end(), m + KMCP_HEADER_SIZE, m + KMCP_HEADER_SIZE + c1.count);
    out.sawEnd = (c1.flags & FLAG_END_OF_FILE) != 0;
  }
  return out;
}

struct ProgressLog {
  std::vector<int64_t> positions;
};
void onProgress(int64_t pos, void *arg) { static_cast<ProgressLog *>(arg)->positions.push_back(pos); }

}  // namespace

TEST(FileStreamTest, FilesAroundTheChunkSizeArriveWholeWithOneEndMarker) {
  struct Case {
    size_t size;
    size_t chunks;
  };
  for (Case c : {Case{0, 1}, Case{1, 1}, Case{65536, 2}, Case{65537, 2}, Case{3 * 65536 + 5, 4}}) {
    PatternFile file(c.size);
    SocketPair sp;
    Reassembly got;
    std::thread receiver([&] { got = receiveFile(sp.b, nullptr); });
    ProgressLog progress;
    KmMutex lock;
    EXPECT_TRUE(SendFileOverKMCP(sp.a, 99, file.widePath().c_str(), nullptr, 0, onProgress,
                                 &progress, &lock));
    receiver.join();
    SCOPED_TRACE(c.size);
    EXPECT_FALSE(got.badChunk);
    EXPECT_TRUE(got.sawEnd);
    EXPECT_TRUE(got.data == file.content());
    ASSERT_EQ(got.chunks.size(), c.chunks);
    for (size_t i = 0; i < got.chunks.size(); ++i) {
      const bool last = i + 1 == got.chunks.size();
      EXPECT_EQ(got.chunks[i].id, 99u);
      EXPECT_EQ((got.chunks[i].flags & FLAG_END_OF_FILE) != 0, last);
      if (!last) {
        EXPECT_EQ(got.chunks[i].count, KMCP_FILE_CHUNK_SIZE);
      }
    }
    ASSERT_EQ(progress.positions.size(), c.chunks);
    EXPECT_EQ(progress.positions.back(), static_cast<int64_t>(c.size));
  }
}

TEST(FileStreamTest, OffsetSkipsTheStartAndProgressCountsFromIt) {
  PatternFile file(100);
  SocketPair sp;
  Reassembly got;
  std::thread receiver([&] { got = receiveFile(sp.b, nullptr); });
  ProgressLog progress;
  EXPECT_TRUE(SendFileOverKMCP(sp.a, 1, file.widePath().c_str(), nullptr, 10, onProgress,
                               &progress, nullptr));
  receiver.join();
  EXPECT_TRUE(got.data == std::vector<uint8_t>(file.content().begin() + 10, file.content().end()));
  ASSERT_EQ(progress.positions.size(), 1u);
  EXPECT_EQ(progress.positions[0], 100);
}

TEST(FileStreamTest, EncryptedChunksDecryptToTheSameFile) {
  uint8_t key[KMCP_SESSION_KEY_SIZE] = {1, 2, 3, 4, 5};
  KMCPEncryptionContext *server =
      KMCPEncryptionContext::create(KMCP_CIPHER_AES_256_GCM, key, sizeof(key), KmcpCryptoSide::Server);
  KMCPEncryptionContext *peer =
      KMCPEncryptionContext::create(KMCP_CIPHER_AES_256_GCM, key, sizeof(key), KmcpCryptoSide::Peer);
  ASSERT_NE(server, nullptr);
  ASSERT_NE(peer, nullptr);
  PatternFile file(65536 + 300);
  SocketPair sp;
  Reassembly got;
  std::thread receiver([&] { got = receiveFile(sp.b, peer); });
  EXPECT_TRUE(SendFileOverKMCP(sp.a, 5, file.widePath().c_str(), server, 0, nullptr, nullptr,
                               nullptr));
  receiver.join();
  EXPECT_FALSE(got.badChunk);
  EXPECT_TRUE(got.sawEnd);
  EXPECT_TRUE(got.data == file.content());
  EXPECT_EQ(server->getRefCount(), 1u);  // borrowed, not taken over
  server->decRefCount();
  peer->decRefCount();
}

TEST(FileStreamTest, MissingFileOrBrokenConnectionFails) {
  SocketPair sp;
  EXPECT_FALSE(SendFileOverKMCP(sp.a, 1, u"/nonexistent/kmnet/file", nullptr, 0, nullptr, nullptr,
                                nullptr));
  EXPECT_FALSE(SendFileOverKMCP(sp.a, 1, nullptr, nullptr, 0, nullptr, nullptr, nullptr));
  PatternFile file(10);
  EXPECT_FALSE(SendFileOverKMCP(sp.a, 1, file.widePath().c_str(), nullptr, -1, nullptr, nullptr,
                                nullptr));
  sp.closeB();
  ProgressLog progress;
  EXPECT_FALSE(SendFileOverKMCP(sp.a, 1, file.widePath().c_str(), nullptr, 0, onProgress,
                                &progress, nullptr));
  EXPECT_TRUE(progress.positions.empty());
}
