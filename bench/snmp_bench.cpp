// Sequential SNMP GETs against a real snmpd on loopback, beside two
// baselines measured in the same run:
//   - a raw UDP ping-pong of a 60-byte datagram with an in-process echo
//     thread (the machine's floor for one round trip);
//   - net-snmp's own client library doing the same GET (when the benchmark
//     is built with it: Debian's libsnmp-dev).
// Placement is explicit: argument 0 puts both ends on CPU 0, argument 1 the
// client on CPU 0 and the server (snmpd or the echo thread) on CPU 1. A
// cross-CPU wake-up costs tens of microseconds here and dominates the figure,
// so compare ratios within one placement only.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "kmsnmp/snmp.h"
#include "kmsrv/snmp.h"
#include "snmpd_fixture.h"

#include "netsnmp_client.h"

namespace {

constexpr const char16_t *kOidText = u".1.3.6.1.2.1.1.3.0";  // sysUpTime.0
constexpr int kOtherCpu = 1;

void PinThread(pid_t tid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu % static_cast<int>(std::thread::hardware_concurrency()), &set);
  sched_setaffinity(tid, sizeof(set), &set);
}

// Pins the calling thread to CPU 0 and returns the CPU the server side
// should use for this placement.
int Place(const benchmark::State &state) {
  PinThread(0, 0);
  return state.range(0) == 0 ? 0 : kOtherCpu;
}

// One snmpd for the whole run.
SnmpdInstance *Snmpd(std::string *why) {
  static SnmpdInstance *instance = nullptr;
  static std::string error;
  if (instance == nullptr && error.empty()) {
    setenv("MIBS", "", 1);
    instance = new SnmpdInstance();
    error = instance->start();
    if (!error.empty()) {
      delete instance;
      instance = nullptr;
    }
  }
  *why = error;
  return instance;
}

void BM_SnmpGet(benchmark::State &state) {
  std::string why;
  SnmpdInstance *snmpd = Snmpd(&why);
  if (snmpd == nullptr) {
    state.SkipWithError(why.c_str());
    return;
  }
  PinThread(snmpd->pid(), Place(state));
  SNMP_UDPTransport transport(htonl(INADDR_LOOPBACK), snmpd->port());
  transport.setSnmpVersion(SNMP_VERSION_2C);
  transport.setSecurityContext(new SNMP_SecurityContext("public"));
  uint32_t value = 0;
  for (auto _ : state) {
    uint32_t rc = SnmpGet(SNMP_VERSION_2C, &transport, kOidText, nullptr, 0, &value,
                          sizeof(value), 0);
    if (rc != SNMP_ERR_SUCCESS) {
      state.SkipWithError("SnmpGet failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SnmpGet)->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);

// A UDP echo thread on the placement CPU; the client sends 60-byte
// datagrams and waits for each to come back.
void BM_RawUdpPingPong(benchmark::State &state) {
  int server = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(server, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  getsockname(server, reinterpret_cast<sockaddr *>(&addr), &len);
  timeval tv{0, 200000};
  setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  std::atomic<bool> stop{false};
  const int serverCpu = Place(state);
  std::thread echo([&] {
    PinThread(0, serverCpu);
    char buf[128];
    while (!stop.load()) {
      sockaddr_in from{};
      socklen_t fromLen = sizeof(from);
      ssize_t n = recvfrom(server, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from),
                           &fromLen);
      if (n > 0) sendto(server, buf, n, 0, reinterpret_cast<sockaddr *>(&from), fromLen);
    }
  });
  int client = socket(AF_INET, SOCK_DGRAM, 0);
  connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  char msg[60] = {0};
  for (auto _ : state) {
    if (send(client, msg, sizeof(msg), 0) != sizeof(msg) || recv(client, msg, sizeof(msg), 0) <= 0) {
      state.SkipWithError("raw UDP round trip failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  stop.store(true);
  echo.join();
  close(client);
  close(server);
}
BENCHMARK(BM_RawUdpPingPong)->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);

#ifdef KM_BENCH_HAVE_NETSNMP
// The same GET with net-snmp's single-session client API.
void BM_NetSnmpLibraryGet(benchmark::State &state) {
  std::string why;
  SnmpdInstance *snmpd = Snmpd(&why);
  if (snmpd == nullptr) {
    state.SkipWithError(why.c_str());
    return;
  }
  PinThread(snmpd->pid(), Place(state));
  void *session = NetSnmpOpenV2c(snmpd->endpoint().c_str(), "public");
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
BENCHMARK(BM_NetSnmpLibraryGet)->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);
#endif

}  // namespace

BENCHMARK_MAIN();
