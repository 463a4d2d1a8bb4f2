#include "bad_messages.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "kmbase/byte_order.h"
#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmsrv/protocol.h"

namespace kmagent::detail {
namespace {

// Room a wrong-size message claims beyond what it has: one alignment unit,
// so the claim is plausible to a framing that expects aligned sizes.
constexpr uint32_t kSizeSkew = KMCP_ALIGNMENT;

void StoreHeader(uint8_t *p, uint16_t code, uint16_t flags, uint32_t size, uint32_t id,
                 uint32_t count) {
  KmStoreBe16(p, code);
  KmStoreBe16(p + 2, flags);
  KmStoreBe32(p + 4, size);
  KmStoreBe32(p + 8, id);
  KmStoreBe32(p + 12, count);
}

// A reply nobody waits for (request id 0 is never a request of the
// session), so a receiver that wrongly accepted it would hold it unclaimed.
std::vector<uint8_t> Harmless() {
  CSCPMessage msg;
  msg.SetCode(MC_REQUEST_COMPLETED);
  msg.SetId(0);
  msg.SetVariable(VAR_RCC, static_cast<uint32_t>(0));
  std::vector<uint8_t> bytes(msg.EncodedSize());
  bytes.resize(msg.EncodeTo(bytes.data()));
  return bytes;
}

std::vector<uint8_t> Encrypt(KMCPEncryptionContext *ctx, const uint8_t *plain, size_t length) {
  KMCP_ENCRYPTED_MESSAGE *env = ctx->encrypt(plain, length);
  if (env == nullptr) {
    return {};
  }
  const uint32_t size = ntohl(env->size);
  std::vector<uint8_t> out(reinterpret_cast<uint8_t *>(env),
                           reinterpret_cast<uint8_t *>(env) + size);
  std::free(env);
  return out;
}

std::vector<uint8_t> Oversized(KMCPEncryptionContext *ctx, uint32_t size) {
  std::vector<uint8_t> plain(size, 0);
  StoreHeader(plain.data(), MC_FILE_DATA, FLAG_RAW, size, 0, size - KMCP_HEADER_SIZE);
  return ctx != nullptr ? Encrypt(ctx, plain.data(), plain.size()) : plain;
}

std::vector<uint8_t> WrongSize(KMCPEncryptionContext *ctx) {
  std::vector<uint8_t> msg = Harmless();
  if (msg.empty()) {
    return {};
  }
  KmStoreBe32(msg.data() + 4, static_cast<uint32_t>(msg.size()) + kSizeSkew);
  if (ctx != nullptr) {
    return Encrypt(ctx, msg.data(), msg.size());
  }
  msg.resize(msg.size() + kSizeSkew, 0);
  return msg;
}

std::vector<uint8_t> Undecryptable(KMCPEncryptionContext *ctx) {
  if (ctx != nullptr) {
    std::vector<uint8_t> msg = Harmless();
    if (msg.empty()) {
      return {};
    }
    std::vector<uint8_t> env = Encrypt(ctx, msg.data(), msg.size());
    if (env.size() > KMCP_ENVELOPE_HEADER_SIZE) {
      env[KMCP_ENVELOPE_HEADER_SIZE] ^= 0x5A;
    }
    return env;
  }
  // An envelope of header, counter, one block of filler and a tag.
  constexpr uint32_t kSize = KMCP_ENVELOPE_OVERHEAD + 16;
  std::vector<uint8_t> env(kSize);
  for (size_t i = 0; i < env.size(); ++i) {
    env[i] = static_cast<uint8_t>(0xA5 ^ (i * 29));
  }
  KmStoreBe16(env.data(), MC_ENCRYPTED_MESSAGE);
  KmStoreBe32(env.data() + 4, kSize);
  return env;
}

}  // namespace

std::vector<uint8_t> BuildBadMessage(BadMessage kind, KMCPEncryptionContext *ctx,
                                     uint32_t oversizedSize) {
  try {
    switch (kind) {
      case BadMessage::Oversized:
        if (oversizedSize < KMCP_HEADER_SIZE || oversizedSize > KMCP_MAX_MESSAGE_SIZE) {
          return {};
        }
        return Oversized(ctx, oversizedSize);
      case BadMessage::WrongSize:
        return WrongSize(ctx);
      case BadMessage::Undecryptable:
        return Undecryptable(ctx);
    }
  } catch (const std::bad_alloc &) {
  }
  return {};
}

}  // namespace kmagent::detail
