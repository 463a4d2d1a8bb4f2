// A 256 MiB upload and download through AgentConnection, clear and encrypted,
// against a scripted peer: what arrives hashes (SHA-256) the same as what was
// sent. The data is generated on the fly and hashed as it streams, so neither
// side holds the file in memory and nothing large is kept in the tree.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_test_support.h"
#include "kmbase/net.h"
#include "kmsrv/protocol.h"
#include "scripted_peer.h"

namespace kmtest {
namespace {

constexpr uint64_t kFileSize = uint64_t{256} << 20;

class Sha256 {
 public:
  Sha256() : ctx_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
    EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr);
  }
  void add(const uint8_t *data, size_t size) { EVP_DigestUpdate(ctx_.get(), data, size); }
  std::string hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx_.get(), digest, &length);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; i++) {
      text += digits[digest[i] >> 4];
      text += digits[digest[i] & 15];
    }
    return text;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx_;
};

// A reproducible byte stream (xorshift), produced in pieces of any size.
class Stream {
 public:
  explicit Stream(uint64_t seed) : x_(seed | 1) {}
  void fill(uint8_t *out, size_t size) {
    for (size_t i = 0; i < size; i++) {
      if (left_ == 0) {
        x_ ^= x_ << 13;
        x_ ^= x_ >> 7;
        x_ ^= x_ << 17;
        word_ = x_;
        left_ = 8;
      }
      out[i] = static_cast<uint8_t>(word_);
      word_ >>= 8;
      left_--;
    }
  }

 private:
  uint64_t x_;
  uint64_t word_ = 0;
  int left_ = 0;
};

std::string HashOfFile(const std::string &path, uint64_t *size) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> buffer(1 << 20);
  Sha256 hash;
  *size = 0;
  while (in) {
    in.read(reinterpret_cast<char *>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<size_t>(in.gcount());
    hash.add(buffer.data(), got);
    *size += got;
  }
  return hash.hex();
}

// Writes `size` bytes of the stream to path; returns their hash.
std::string WriteStream(const std::string &path, uint64_t seed, uint64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint8_t> buffer(1 << 20);
  Stream stream(seed);
  Sha256 hash;
  for (uint64_t done = 0; done < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - done));
    stream.fill(buffer.data(), n);
    out.write(reinterpret_cast<const char *>(buffer.data()), static_cast<std::streamsize>(n));
    hash.add(buffer.data(), n);
    done += n;
  }
  return out ? hash.hex() : "write failed";
}

class AgentTransferLarge : public ::testing::TestWithParam<bool> {};

TEST_P(AgentTransferLarge, QuarterGigabyteArrivesWithTheSameHashBothWays) {
  const bool encrypted = GetParam();
  ScriptedPeer peer;
  TestConnection conn(kLoopbackNet, peer.port());
  conn.setCommandTimeout(120000);
  ASSERT_TRUE(ConnectScripted(conn, peer, encrypted));
  TempDir dir;

  // Upload: the peer hashes the payload of every chunk as it comes.
  const std::string source = dir.path + "/source.bin";
  const std::string sentHash = WriteStream(source, 0x5EED0001, kFileSize);
  std::string receivedHash;
  uint64_t received = 0;
  bool sawEnd = false;
  std::thread script([&] {
    auto announce = peer.receive(60000);
    if (announce == nullptr || announce->GetCode() != MC_TRANSFER_FILE) return;
    const uint32_t id = announce->GetId();
    peer.reply(id, RCC_SUCCESS);
    Sha256 hash;
    for (uint64_t i = 0; i <= kFileSize / KMCP_FILE_CHUNK_SIZE + 1 && !sawEnd; i++) {
      const std::vector<uint8_t> bytes = peer.receiveBytes(60000);
      if (bytes.size() < KMCP_HEADER_SIZE) return;
      const auto *header = reinterpret_cast<const KMCP_MESSAGE *>(bytes.data());
      const uint32_t count = ntohl(header->numFields);
      if (ntohs(header->code) != MC_FILE_DATA || ntohl(header->id) != id ||
          count > bytes.size() - KMCP_HEADER_SIZE)
        return;
      hash.add(bytes.data() + KMCP_HEADER_SIZE, count);
      received += count;
      sawEnd = (ntohs(header->flags) & FLAG_END_OF_FILE) != 0;
    }
    receivedHash = hash.hex();
    peer.reply(id, RCC_SUCCESS);
  });
  EXPECT_EQ(conn.uploadFile(KmUtf8ToWide(source).c_str()), RCC_SUCCESS);
  script.join();
  EXPECT_TRUE(sawEnd);
  EXPECT_EQ(received, kFileSize);
  EXPECT_EQ(receivedHash, sentHash);
  ::unlink(source.c_str());

  // Download: the peer streams another generated file in full chunks, the
  // last one marked as the end; the client's file must hash the same.
  Sha256 streamedHash;
  script = std::thread([&] {
    auto request = peer.receive(60000);
    if (request == nullptr) return;
    const uint32_t id = request->GetId();
    Stream stream(0x5EED0002);
    std::vector<uint8_t> chunk(KMCP_HEADER_SIZE + KMCP_FILE_CHUNK_SIZE + KMCP_ALIGNMENT);
    for (uint64_t done = 0;;) {
      const auto n = static_cast<uint32_t>(std::min<uint64_t>(KMCP_FILE_CHUNK_SIZE, kFileSize - done));
      const bool last = done + n == kFileSize;
      const uint32_t size =
          (KMCP_HEADER_SIZE + n + KMCP_ALIGNMENT - 1) / KMCP_ALIGNMENT * KMCP_ALIGNMENT;
      std::memset(chunk.data(), 0, size);
      auto *header = reinterpret_cast<KMCP_MESSAGE *>(chunk.data());
      header->code = htons(MC_FILE_DATA);
      header->flags = htons(static_cast<uint16_t>(FLAG_RAW | (last ? FLAG_END_OF_FILE : 0)));
      header->size = htonl(size);
      header->id = htonl(id);
      header->numFields = htonl(n);
      stream.fill(chunk.data() + KMCP_HEADER_SIZE, n);
      streamedHash.add(chunk.data() + KMCP_HEADER_SIZE, n);
      const bool sent = encrypted ? peer.sendEncryptedBytes(chunk.data(), size)
                                  : peer.sendBytes(chunk.data(), size);
      if (!sent) return;
      done += n;
      if (last) break;
    }
    peer.reply(id, RCC_SUCCESS);
  });
  CSCPMessage request;
  request.SetCode(0x7101);
  const std::string target = dir.path + "/target.bin";
  std::unique_ptr<CSCPMessage> reply(conn.customRequest(&request, KmUtf8ToWide(target).c_str()));
  script.join();
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->GetVariableLong(VAR_RCC), RCC_SUCCESS);
  uint64_t size = 0;
  EXPECT_EQ(HashOfFile(target, &size), streamedHash.hex());
  EXPECT_EQ(size, kFileSize);
}

INSTANTIATE_TEST_SUITE_P(ClearAndEncrypted, AgentTransferLarge, ::testing::Bool());

}  // namespace
}  // namespace kmtest
