// SendFileOverKMCP: a file as a run of raw MC_FILE_DATA messages.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kmbase/crypto.h"
#include "kmbase/text.h"
#include "net_internal.h"

namespace {

constexpr uint32_t alignUp(uint32_t n) { return (n + KMCP_ALIGNMENT - 1) / KMCP_ALIGNMENT * KMCP_ALIGNMENT; }

// Header, the largest payload and its padding.
constexpr size_t kChunkBufferSize = alignUp(KMCP_HEADER_SIZE + KMCP_FILE_CHUNK_SIZE);

void fillChunkHeader(uint8_t *chunk, uint32_t id, uint32_t payload, bool last) {
  auto *header = reinterpret_cast<KMCP_MESSAGE *>(chunk);
  header->code = htons(MC_FILE_DATA);
  header->flags = htons(static_cast<uint16_t>(FLAG_RAW | (last ? FLAG_END_OF_FILE : 0)));
  header->size = htonl(alignUp(KMCP_HEADER_SIZE + payload));
  header->id = htonl(id);
  header->numFields = htonl(payload);
}

// Chunks are built in one buffer per stream (KMCP_MESSAGE alignment for the
// header view); the send path seals each in its own envelope buffer.
struct AlignedFree {
  void operator()(uint8_t *p) const { std::free(p); }
};

}  // namespace

bool SendFileOverKMCP(SOCKET sock, uint32_t id, const char16_t *path, KMCPEncryptionContext *ctx,
                      int64_t offset, void (*progress)(int64_t, void *), void *arg,
                      KmMutex *sendLock, uint32_t chunkTimeoutMs) {
  if (path == nullptr || offset < 0) {
    kmnet::setLastError(EINVAL);
    return false;
  }
  const std::string localPath = KmWideToUtf8(std::u16string_view(path));
  const int fd = kmnet::openForRead(localPath.c_str());
  if (fd < 0) return false;
  if (offset > 0 && !kmnet::seekTo(fd, offset)) {
    kmnet::closeFile(fd);
    return false;
  }
  const std::unique_ptr<uint8_t, AlignedFree> chunk(
      static_cast<uint8_t *>(std::aligned_alloc(alignof(KMCP_MESSAGE), kChunkBufferSize)));
  if (chunk == nullptr) {
    kmnet::closeFile(fd);
    kmnet::setLastError(ENOMEM);
    return false;
  }
  bool ok = true;
  int64_t position = offset;
  for (;;) {
    const ssize_t n = kmnet::readFull(fd, chunk.get() + KMCP_HEADER_SIZE, KMCP_FILE_CHUNK_SIZE);
    if (n < 0) {
      ok = false;
      break;
    }
    const auto payload = static_cast<uint32_t>(n);
    // Only a full chunk can have a successor; a short one (even empty) ends
    // the file.
    const bool last = payload < KMCP_FILE_CHUNK_SIZE;
    const uint32_t size = alignUp(KMCP_HEADER_SIZE + payload);
    std::memset(chunk.get() + KMCP_HEADER_SIZE + payload, 0, size - KMCP_HEADER_SIZE - payload);
    fillChunkHeader(chunk.get(), id, payload, last);
    if (!SendKMCPWire(sock, chunk.get(), size, ctx, sendLock, chunkTimeoutMs)) {
      ok = false;
      break;
    }
    position += payload;
    if (progress != nullptr) progress(position, arg);
    if (last) break;
  }
  kmnet::closeFile(fd);
  return ok;
}
