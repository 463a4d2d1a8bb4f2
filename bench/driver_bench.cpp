// Interface discovery and a column walk on a 1,001-interface device
// (net-snmp's snmpd in a private network namespace with 1,000 ifb links and
// lo, an IPv4 address on every 20th link), beside net-snmp's own client
// library doing the same requests in the same run. Rows, each in both
// placements (same_cpu: this process and snmpd on CPU 0; cross_cpu: snmpd on
// CPU 1):
//
//   netsnmp/walk1000               one-varbind GETNEXT walk of ifDescr
//   snmp_enumerate1000             SnmpEnumerate of ifDescr, copying each value
//   netsnmp/interface_sequence1000 the request sequence of getInterfaces
//                                  (GET ifNumber, ifIndex walk, five GETs per
//                                  interface, ipAdEntAddr walk with two GETs
//                                  per row) with net-snmp's library
//   get_interfaces1000             NetworkDeviceDriver::getInterfaces(useAliases
//                                  1, useIfXTable true)
//   netsnmp/bulkwalk1000           GETBULK walk of ifDescr (max-repetitions 50)
//   snmp_walk_bulk1000             SnmpWalkBulk of ifDescr (max-repetitions 50),
//                                  copying each value
//   get_interfaces_bulk1000        getInterfaces as above with bulk walks on
//                                  (setBulkWalks(50))
//
// Needs root for the namespace; without it (or without net-snmp's library
// for the baselines) the rows are skipped with the reason.

#include <benchmark/benchmark.h>
#include <sched.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "kmsrv/driver.h"
#include "kmsrv/snmp.h"
#include "netns_fixture.h"
#include "raw_baseline.h"
#include "snmpd_fixture.h"

#ifdef KM_BENCH_HAVE_NETSNMP
#include "netsnmp_client.h"
#endif

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

using kmbench::Placement;

// The device for a row in placement p, or null after skipping the row.
LargeDevice *RowDevice(benchmark::State &state, Placement p) {
  LargeDevice &d = Device();
  if (!d.error.empty()) {
    state.SkipWithError(d.error.c_str());
    return nullptr;
  }
  kmbench::PinTask(d.snmpd->pid(), kmbench::ServerCpu(p));
  kmbench::PinThisThread(kmbench::ClientCpu(p));
  return &d;
}

const uint32_t kIfDescrColumn[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 2};

uint32_t CopyValue(uint32_t, SNMP_Variable *var, SNMP_Transport *, void *arg) {
  char16_t text[256];
  var->GetValueAsString(text, 256);
  (*static_cast<size_t *>(arg))++;
  return 0;
}

constexpr uint32_t kRepetitions = 50;

void SnmpEnumerateRow(benchmark::State &state, Placement p, bool bulk) {
  LargeDevice *d = RowDevice(state, p);
  if (d == nullptr) return;
  for (auto _ : state) {
    size_t rows = 0;
    const uint32_t rc =
        bulk ? SnmpWalkBulk(SNMP_VERSION_2C, d->transport.get(), u".1.3.6.1.2.1.2.2.1.2",
                            CopyValue, &rows, 0, kRepetitions)
             : SnmpEnumerate(SNMP_VERSION_2C, d->transport.get(), u".1.3.6.1.2.1.2.2.1.2",
                             CopyValue, &rows, 0);
    if (rc != SNMP_ERR_SUCCESS || rows < static_cast<size_t>(kInterfaces)) {
      state.SkipWithError("walk failed or found too few rows");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * kInterfaces);
}

void GetInterfacesRow(benchmark::State &state, Placement p, bool bulk) {
  LargeDevice *d = RowDevice(state, p);
  if (d == nullptr) return;
  NetworkDeviceDriver driver;
  if (bulk) driver.setBulkWalks(kRepetitions);
  for (auto _ : state) {
    std::unique_ptr<InterfaceList> list(driver.getInterfaces(d->transport.get(), nullptr, 1, true));
    if (!list || list->getSize() < kInterfaces) {
      state.SkipWithError("discovery failed or found too few interfaces");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * kInterfaces);
}

#ifdef KM_BENCH_HAVE_NETSNMP
void NetSnmpWalkRow(benchmark::State &state, Placement p, bool bulk) {
  LargeDevice *d = RowDevice(state, p);
  if (d == nullptr) return;
  void *session = NetSnmpOpenV2c(d->snmpd->endpoint().c_str(), "public");
  if (session == nullptr) {
    state.SkipWithError("net-snmp session could not be opened");
    return;
  }
  for (auto _ : state) {
    long rows = bulk ? NetSnmpBulkWalk(session, kIfDescrColumn, 10, kRepetitions)
                     : NetSnmpWalk(session, kIfDescrColumn, 10);
    if (rows < kInterfaces) {
      state.SkipWithError("net-snmp walk failed or found too few rows");
      break;
    }
  }
  NetSnmpClose(session);
  state.SetItemsProcessed(state.iterations() * kInterfaces);
}

void NetSnmpInterfacesRow(benchmark::State &state, Placement p) {
  LargeDevice *d = RowDevice(state, p);
  if (d == nullptr) return;
  void *session = NetSnmpOpenV2c(d->snmpd->endpoint().c_str(), "public");
  if (session == nullptr) {
    state.SkipWithError("net-snmp session could not be opened");
    return;
  }
  for (auto _ : state) {
    if (NetSnmpInterfaceSequence(session) < kInterfaces) {
      state.SkipWithError("net-snmp sequence failed or found too few interfaces");
      break;
    }
  }
  NetSnmpClose(session);
  state.SetItemsProcessed(state.iterations() * kInterfaces);
}
#endif

}  // namespace

// snmpd reloads its interface caches now and then, and a reload with 1,000
// links costs a whole discovery's time: three runs of each spread that over
// both sides.
int main(int argc, char **argv) {
  for (Placement p : {kmbench::SameCpu, kmbench::CrossCpu}) {
    const std::string suffix = std::string("/") + kmbench::PlacementName(p);
#ifdef KM_BENCH_HAVE_NETSNMP
    benchmark::RegisterBenchmark(("netsnmp/walk1000" + suffix).c_str(), NetSnmpWalkRow, p, false)
        ->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("netsnmp/bulkwalk1000" + suffix).c_str(), NetSnmpWalkRow, p,
                                 true)
        ->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);
#endif
    benchmark::RegisterBenchmark(("snmp_enumerate1000" + suffix).c_str(), SnmpEnumerateRow, p,
                                 false)
        ->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("snmp_walk_bulk1000" + suffix).c_str(), SnmpEnumerateRow, p,
                                 true)
        ->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);
#ifdef KM_BENCH_HAVE_NETSNMP
    benchmark::RegisterBenchmark(("netsnmp/interface_sequence1000" + suffix).c_str(),
                                 NetSnmpInterfacesRow, p)
        ->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
#endif
    benchmark::RegisterBenchmark(("get_interfaces1000" + suffix).c_str(), GetInterfacesRow, p,
                                 false)
        ->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("get_interfaces_bulk1000" + suffix).c_str(), GetInterfacesRow,
                                 p, true)
        ->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
