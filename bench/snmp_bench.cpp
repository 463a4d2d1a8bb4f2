// Sequential SNMP GETs (sysUpTime.0, v2c) against a real snmpd on loopback,
// beside two baselines measured in the same run:
//   raw/udp_pingpong60   a raw UDP ping-pong of a 60-byte datagram with an
//                        echo thread (the machine's floor for one round trip)
//   netsnmp/get          net-snmp's own client library doing the same GET
//                        (when built with Debian's libsnmp-dev)
//   snmp_get             SnmpGet over SNMP_UDPTransport
//   netsnmp/get_v3       net-snmp's library, SNMPv3 authPriv (HMAC-SHA-256,
//                        AES-128), the same GET
//   snmp_get_v3          SnmpGet with the same SNMPv3 user
// Every row runs in both placements (same_cpu: client and server on CPU 0;
// cross_cpu: client on CPU 0, snmpd or the echo thread on CPU 1). cpu_time of
// a row is the client thread's CPU per GET (snmpd is another process).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "kmsnmp/snmp.h"
#include "kmsrv/snmp.h"
#include "raw_baseline.h"
#include "snmpd_fixture.h"

#ifdef KM_BENCH_HAVE_NETSNMP
#include "netsnmp_client.h"
#endif

namespace {

using kmbench::Placement;

constexpr const char16_t *kOidText = u".1.3.6.1.2.1.1.3.0";  // sysUpTime.0

UsmUser V3User() { return FindUsmUser("u_SHA-256_AES"); }

// One snmpd for the whole run, pinned per row; main() stops it.
std::unique_ptr<SnmpdInstance> g_snmpd;
std::string g_snmpdError;

SnmpdInstance *Snmpd(benchmark::State &state, Placement p) {
  if (g_snmpd == nullptr && g_snmpdError.empty()) {
    setenv("MIBS", "", 1);
    auto instance = std::make_unique<SnmpdInstance>(UsmUserLines({V3User()}));
    g_snmpdError = instance->start();
    if (g_snmpdError.empty()) g_snmpd = std::move(instance);
  }
  if (g_snmpd == nullptr) {
    state.SkipWithError(g_snmpdError.c_str());
    return nullptr;
  }
  kmbench::PinTask(g_snmpd->pid(), kmbench::ServerCpu(p));
  kmbench::PinThisThread(kmbench::ClientCpu(p));
  return g_snmpd.get();
}

void SnmpGetRow(benchmark::State &state, Placement p, uint32_t version) {
  SnmpdInstance *snmpd = Snmpd(state, p);
  if (snmpd == nullptr) return;
  std::unique_ptr<SNMP_UDPTransport> transport = version == SNMP_VERSION_3
                                                     ? snmpd->v3Transport(V3User())
                                                     : snmpd->transport(SNMP_VERSION_2C);
  uint32_t value = 0;
  for (auto _ : state) {
    const uint32_t rc =
        SnmpGet(version, transport.get(), kOidText, nullptr, 0, &value, sizeof(value), 0);
    if (rc != SNMP_ERR_SUCCESS) {
      state.SkipWithError("SnmpGet failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void RawUdpRow(benchmark::State &state, Placement p) { kmbench::RunUdpPingPong(state, p, 60); }

#ifdef KM_BENCH_HAVE_NETSNMP
void NetSnmpGetRow(benchmark::State &state, Placement p, uint32_t version) {
  SnmpdInstance *snmpd = Snmpd(state, p);
  if (snmpd == nullptr) return;
  void *session = version == SNMP_VERSION_3
                      ? NetSnmpOpenV3Sha256Aes(snmpd->endpoint().c_str(), V3User().name.c_str(),
                                               kUsmAuthPass, kUsmPrivPass)
                      : NetSnmpOpenV2c(snmpd->endpoint().c_str(), "public");
  if (session == nullptr) {
    state.SkipWithError("net-snmp session could not be opened");
    return;
  }
  for (auto _ : state) {
    if (!NetSnmpGetSysUpTime(session)) {
      state.SkipWithError("net-snmp GET failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  NetSnmpClose(session);
}
#endif

}  // namespace

int main(int argc, char **argv) {
  for (Placement p : {kmbench::SameCpu, kmbench::CrossCpu}) {
    const std::string suffix = std::string("/") + kmbench::PlacementName(p);
    benchmark::RegisterBenchmark(("raw/udp_pingpong60" + suffix).c_str(), RawUdpRow, p)
        ->UseRealTime()->MinTime(1.0);
    for (uint32_t version : {SNMP_VERSION_2C, SNMP_VERSION_3}) {
      const std::string v = version == SNMP_VERSION_3 ? "_v3" : "";
#ifdef KM_BENCH_HAVE_NETSNMP
      benchmark::RegisterBenchmark(("netsnmp/get" + v + suffix).c_str(), NetSnmpGetRow, p, version)
          ->UseRealTime()->MinTime(1.0);
#endif
      benchmark::RegisterBenchmark(("snmp_get" + v + suffix).c_str(), SnmpGetRow, p, version)
          ->UseRealTime()->MinTime(1.0);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_snmpd.reset();  // stops snmpd
  return 0;
}
