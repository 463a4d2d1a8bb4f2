// Formatter cost: a typical trace line formatted by km_snprintf16 beside the
// C library's snprintf (narrow) and swprintf (32-bit wchar_t) on the same
// format and arguments, all into caller buffers.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cwchar>

#include "kmbase/text.h"

namespace {

void BM_KmSnprintf16(benchmark::State &state) {
  char16_t buf[256];
  for (auto _ : state) {
    const int n =
        km_snprintf16(buf, 256, u"AgentConnection::getParameter(%s): rcc=%d size=%u [%08X]",
                      u"System.Uptime", 404, 1234u, 0xDEADBEEFu);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KmSnprintf16);

void BM_BaselineSnprintf(benchmark::State &state) {
  char buf[256];
  for (auto _ : state) {
    const int n = snprintf(buf, 256, "AgentConnection::getParameter(%s): rcc=%d size=%u [%08X]",
                           "System.Uptime", 404, 1234u, 0xDEADBEEFu);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselineSnprintf);

void BM_BaselineSwprintf(benchmark::State &state) {
  wchar_t buf[256];
  for (auto _ : state) {
    const int n = swprintf(buf, 256, L"AgentConnection::getParameter(%ls): rcc=%d size=%u [%08X]",
                           L"System.Uptime", 404, 1234u, 0xDEADBEEFu);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselineSwprintf);

}  // namespace

BENCHMARK_MAIN();
