// Interface discovery on a 1,001-interface device (net-snmp's snmpd in a
// private network namespace with 1,000 ifb links and lo, an IPv4 address on
// every 20th link), beside net-snmp's own snmpwalk of the same columns in the
// same run.
//
//   BM_SnmpwalkSameColumns   snmpwalk -v2c of ifIndex, ifDescr, ifType,
//                            ifPhysAddress, ifName, ifAlias and the three
//                            ipAddrTable columns (one process per column:
//                            one GETNEXT per row, as the driver's walks)
//   BM_GetInterfaces         NetworkDeviceDriver::getInterfaces(useAliases 1,
//                            useIfXTable true): the ifIndex walk, five GETs per
//                            interface, the address walk with two GETs per row
//
// us_per_interface is wall time per discovered interface; vs_snmpwalk (on
// BM_GetInterfaces) is that time over snmpwalk's time per interface from the
// row before. The driver sends about five GETs per interface where snmpwalk
// sends one GETNEXT per row of each column, and both wait on snmpd (whose
// ipAddrTable and interface cache reloads are slow with 1,000 links), so the
// ratio shows what the driver's request pattern costs on a real agent
// rather than the cost of the client code.
//
// Placement: this process, snmpd and snmpwalk all run pinned to CPU 0 (the
// stable case on small machines: a cross-CPU wake-up costs more than a
// round trip here). Needs root for the namespace; without it both rows are
// skipped with the reason.

#include <benchmark/benchmark.h>
#include <sched.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "kmsrv/driver.h"
#include "kmsrv/snmp.h"
#include "netns_fixture.h"
#include "snmpd_fixture.h"

namespace {

constexpr int kLinks = 1000;
constexpr int kInterfaces = kLinks + 1;  // and lo

// The device, built on first use and torn down at exit (snmpd stopped by its
// PID before the namespace is deleted).
struct LargeDevice {
  NetworkNamespace ns;
  std::unique_ptr<SnmpdInstance> snmpd;
  std::unique_ptr<SNMP_UDPTransport> transport;
  std::string error;  // why the device could not be built; "" when it is up

  LargeDevice() { error = build(); }
  ~LargeDevice() {
    transport.reset();
    snmpd.reset();
    ns.remove();
  }

  std::string build() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(0, &cpus);
    sched_setaffinity(0, sizeof(cpus), &cpus);  // inherited by snmpd and snmpwalk
    std::string why = ns.create("drv-bench");
    if (!why.empty()) return why;
    why = ns.enter();
    if (!why.empty()) return why;
    snmpd = std::make_unique<SnmpdInstance>();
    why = snmpd->start();
    if (!why.empty()) return why;
    std::vector<std::string> commands;
    for (int i = 0; i < kLinks; i++)
      commands.push_back("link add ifb" + std::to_string(i) + " type ifb");
    for (int i = 0; i < kLinks; i++) commands.push_back("link set ifb" + std::to_string(i) + " up");
    for (int i = 0; i < kLinks; i += 20) {
      commands.push_back("addr add 198.18." + std::to_string(i / 20) + ".1/24 dev ifb" +
                         std::to_string(i));
    }
    why = ns.batch(commands);
    if (!why.empty()) return why;
    transport = snmpd->transport(SNMP_VERSION_2C);
    // snmpd finds the links at its next cache reload.
    for (int i = 0; i < 300; i++) {
      int32_t ifNumber = 0;
      if (SnmpGet(SNMP_VERSION_2C, transport.get(), u".1.3.6.1.2.1.2.1.0", nullptr, 0, &ifNumber, 2,
                  0) == SNMP_ERR_SUCCESS &&
          ifNumber == kInterfaces) {
        return "";
      }
      usleep(200 * 1000);
    }
    return "snmpd did not list the 1,000 links within a minute";
  }
};

LargeDevice &Device() {
  static LargeDevice device;
  return device;
}

double g_snmpwalkSecondsPerInterface = 0;

void ReportPerInterface(benchmark::State &state, double seconds) {
  double perInterface = seconds / static_cast<double>(state.iterations()) / kInterfaces;
  state.counters["us_per_interface"] = perInterface * 1e6;
  state.counters["interfaces"] = kInterfaces;
  state.SetItemsProcessed(state.iterations() * kInterfaces);
}

void BM_SnmpwalkSameColumns(benchmark::State &state) {
  LargeDevice &d = Device();
  if (!d.error.empty()) {
    state.SkipWithError(d.error.c_str());
    return;
  }
  static const char *const kColumns[] = {
      ".1.3.6.1.2.1.2.2.1.1",  ".1.3.6.1.2.1.2.2.1.2",    ".1.3.6.1.2.1.2.2.1.3",
      ".1.3.6.1.2.1.2.2.1.6",  ".1.3.6.1.2.1.31.1.1.1.1", ".1.3.6.1.2.1.31.1.1.1.18",
      ".1.3.6.1.2.1.4.20.1.1", ".1.3.6.1.2.1.4.20.1.2",   ".1.3.6.1.2.1.4.20.1.3"};
  double seconds = 0;
  size_t lines = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (const char *column : kColumns) {
      std::string out = d.snmpd->runTool("snmpwalk", "2c", column);
      for (char c : out) lines += c == '\n';
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  benchmark::DoNotOptimize(lines);
  ReportPerInterface(state, seconds);
  g_snmpwalkSecondsPerInterface = seconds / static_cast<double>(state.iterations()) / kInterfaces;
}

void BM_GetInterfaces(benchmark::State &state) {
  LargeDevice &d = Device();
  if (!d.error.empty()) {
    state.SkipWithError(d.error.c_str());
    return;
  }
  NetworkDeviceDriver driver;
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    std::unique_ptr<InterfaceList> list(driver.getInterfaces(d.transport.get(), nullptr, 1, true));
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!list || list->getSize() < kInterfaces) {
      state.SkipWithError("discovery failed or found too few interfaces");
      return;
    }
  }
  ReportPerInterface(state, seconds);
  if (g_snmpwalkSecondsPerInterface > 0) {
    state.counters["vs_snmpwalk"] = seconds / static_cast<double>(state.iterations()) /
                                    kInterfaces / g_snmpwalkSecondsPerInterface;
  }
}

// A few whole discoveries are enough: each is thousands of round trips.
BENCHMARK(BM_SnmpwalkSameColumns)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GetInterfaces)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
