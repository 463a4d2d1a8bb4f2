// Field codec throughput: encoding and decoding a 10-field and a 1000-field
// message, per field, beside a raw memcpy of the same number of bytes.
//
// items_per_second counts fields (for the baseline: the fields the same bytes
// would hold), so the codec rows and the memcpy rows compare directly.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kmbase/message.h"

namespace {

// A realistic mix: a third 32-bit values, a third short strings, the rest
// 16-bit, 64-bit and small binary values.
void Fill(CSCPMessage &msg, int fields) {
  static const char16_t kText[] = u"ifDescr.1 eth0 Intel Corporation 82574L";
  static const uint8_t kBytes[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  msg.SetCode(MC_REQUEST_COMPLETED);
  msg.SetId(42);
  for (int i = 0; i < fields; ++i) {
    uint32_t id = 0x10000000u + static_cast<uint32_t>(i);
    switch (i % 6) {
      case 0:
      case 3:
        msg.SetVariable(id, static_cast<uint32_t>(i * 7));
        break;
      case 1:
      case 4:
        msg.SetVariable(id, kText, 10 + i % 20);
        break;
      case 2:
        msg.SetVariable(id, static_cast<uint16_t>(i));
        break;
      default:
        if (i % 12 == 5) {
          msg.SetVariable(id, static_cast<uint64_t>(i) << 33);
        } else {
          msg.SetVariable(id, kBytes, sizeof kBytes);
        }
        break;
    }
  }
}

std::vector<uint8_t> Encoded(int fields) {
  CSCPMessage msg;
  Fill(msg, fields);
  std::vector<uint8_t> out(msg.EncodedSize());
  msg.EncodeTo(out.data());
  return out;
}

void Report(benchmark::State &state, int fields, size_t bytes) {
  state.SetItemsProcessed(state.iterations() * fields);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
  state.counters["fields"] = fields;
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_Encode(benchmark::State &state) {
  int fields = static_cast<int>(state.range(0));
  CSCPMessage msg;
  Fill(msg, fields);
  std::vector<uint8_t> out(msg.EncodedSize());
  for (auto _ : state) {
    benchmark::DoNotOptimize(msg.EncodeTo(out.data()));
    benchmark::ClobberMemory();
  }
  Report(state, fields, out.size());
}

void BM_Decode(benchmark::State &state) {
  int fields = static_cast<int>(state.range(0));
  std::vector<uint8_t> wire = Encoded(fields);
  for (auto _ : state) {
    auto msg = CSCPMessage::decode(wire, KMCP_VERSION);
    benchmark::DoNotOptimize(msg.get());
  }
  Report(state, fields, wire.size());
}

// Decode, then read every field back through the getters (what a receiver
// does with a list reply).
void BM_DecodeAndRead(benchmark::State &state) {
  int fields = static_cast<int>(state.range(0));
  std::vector<uint8_t> wire = Encoded(fields);
  char16_t text[64];
  for (auto _ : state) {
    auto msg = CSCPMessage::decode(wire, KMCP_VERSION);
    uint64_t sum = 0;
    for (int i = 0; i < fields; ++i) {
      uint32_t id = 0x10000000u + static_cast<uint32_t>(i);
      if (i % 3 == 1) {
        msg->GetVariableStr(id, text, 64);
        sum += text[0];
      } else {
        sum += msg->GetVariableInt64(id);
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  Report(state, fields, wire.size());
}

// Builds the message from nothing and encodes it (what a sender does).
void BM_BuildAndEncode(benchmark::State &state) {
  int fields = static_cast<int>(state.range(0));
  std::vector<uint8_t> out(Encoded(fields).size());
  for (auto _ : state) {
    CSCPMessage msg;
    Fill(msg, fields);
    benchmark::DoNotOptimize(msg.EncodeTo(out.data()));
    benchmark::ClobberMemory();
  }
  Report(state, fields, out.size());
}

// The baseline: copying the encoded bytes into a fresh buffer, the least any
// codec must do.
void BM_RawMemcpy(benchmark::State &state) {
  int fields = static_cast<int>(state.range(0));
  std::vector<uint8_t> wire = Encoded(fields);
  std::vector<uint8_t> out(wire.size());
  for (auto _ : state) {
    std::memcpy(out.data(), wire.data(), wire.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  Report(state, fields, wire.size());
}

// The baseline for decoding, which must own its copy: allocate, copy, free.
void BM_RawMallocCopy(benchmark::State &state) {
  int fields = static_cast<int>(state.range(0));
  std::vector<uint8_t> wire = Encoded(fields);
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[wire.size()]);
    std::memcpy(copy.get(), wire.data(), wire.size());
    benchmark::DoNotOptimize(copy.get());
    benchmark::ClobberMemory();
  }
  Report(state, fields, wire.size());
}

}  // namespace

BENCHMARK(BM_RawMemcpy)->Arg(10)->Arg(1000);
BENCHMARK(BM_RawMallocCopy)->Arg(10)->Arg(1000);
BENCHMARK(BM_Encode)->Arg(10)->Arg(1000);
BENCHMARK(BM_Decode)->Arg(10)->Arg(1000);
BENCHMARK(BM_DecodeAndRead)->Arg(10)->Arg(1000);
BENCHMARK(BM_BuildAndEncode)->Arg(10)->Arg(1000);

BENCHMARK_MAIN();
