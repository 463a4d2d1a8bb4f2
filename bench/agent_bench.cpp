// AgentConnection against the reference agent, beside the raw loopback
// baselines of raw_baseline.h, every row in both placements (same_cpu:
// client and agent on CPU 0; cross_cpu: client on CPU 0, agent on CPU 1).
//
// Rows (name/mode/placement; mode is clear, encrypted (session encryption)
// or tls (TLS 1.3, the agent's certificate checked against a CA)):
//   raw/tcp_pingpong64            one requester, 64-byte request and reply
//   raw/tcp_routed64              8 requesters on one connection, replies
//                                 routed by id (threads:8)
//   raw/tcp_pingpong_list10k      one requester, the sizes of a 10,000-line
//                                 list request and reply
//   raw/tcp_stream256m            256 MiB one way, acknowledged at the end
//   raw/file_transfer256m         the work of a 256 MiB transfer without the
//                                 session: file read, 64 KiB chunks over TCP
//                                 (sealed with AES-256-GCM when encrypted),
//                                 file write
//   nop                           nop(), one caller thread
//   get_parameter                 getParameter(), one caller thread
//   get_parameter_t8              getParameter(), 8 caller threads, one session
//   get_list10k                   getList() of 10,000 lines
//   download256m                  customRequest(MC_AGENT_DOWNLOAD_FILE) of a
//                                 256 MiB file into a local file
//   upload256m                    uploadFile() of a 256 MiB file
//   connect                       connect() and disconnectAndWait() of one
//                                 session (TCP, TLS handshake when tls,
//                                 version detection, liveness test)
//   sessions1000/encrypted        connect() of 1,000 sessions in this process
//                                 (encrypted, SHA-1 login) to an agent in a
//                                 child process; counters sessions_per_s,
//                                 kib_per_session (resident memory of an idle
//                                 connected session), failed
//   sessions1000/tls              the same over TLS (no session encryption)
//
// Placement of the agent: AgentServer's listener thread and the session
// threads it starts inherit the CPU set of the thread that calls start(), and
// a session's receiver thread that of the thread that calls connect(); each
// agent and session is made from a thread pinned accordingly.
//
// Files of the transfers live in /dev/shm (when it is writable) so that the
// rows measure the session and not the disk.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "kmbase/crypto.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmbase/tls.h"
#include "kmsrv/agent.h"
#include "kmsrv/protocol.h"
#include "raw_baseline.h"
#include "support/test_pki.h"

extern char **environ;

namespace {

using kmbench::Placement;
using Clock = std::chrono::steady_clock;

enum Mode { kClear = 0, kEncrypted = 1, kTls = 2 };
const char *const kModeName[] = {"clear", "encrypted", "tls"};

constexpr uint32_t kListLines = 10000;
constexpr uint64_t kTransferBytes = 256ull << 20;
constexpr int kSessions = 1000;
constexpr const char *kSecret = "bench-secret";
constexpr const char16_t *kParameter = u"Bench.Value";
constexpr const char16_t *kList = u"Bench.Lines";

RSA *ServerKey() {
  static RSA *key = [] {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    EVP_PKEY *pkey = EVP_RSA_gen(2048);
    RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
#pragma GCC diagnostic pop
    EVP_PKEY_free(pkey);
    return rsa;
  }();
  return key;
}

// The CA and the agent's certificate of the TLS rows, made at first use in a
// folder of their own; the client context is made once and shared, as a
// server with many agents would.
struct TlsSetup {
  std::string dir;
  std::unique_ptr<kmtest::TestPki> pki;
  KmTlsContextRef client;
  std::string error;

  TlsSetup() {
    std::string tmpl = "/tmp/km-bench-tls-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      error = "cannot create a folder for the certificates";
      return;
    }
    dir = tmpl;
    pki = std::make_unique<kmtest::TestPki>(dir);
    if (!pki->ok()) {
      error = pki->error();
      return;
    }
    client = KmTlsMakeClientContext({pki->caCert, "", "", ""}, &error);
  }
  ~TlsSetup() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

TlsSetup &Tls() {
  static TlsSetup setup;
  return setup;
}

// Serve TLS with the bench certificate (the agent's side of a tls row).
void ServeTls(kmagent::AgentConfig &config) {
  config.tls.certFile = Tls().pki->server.cert;
  config.tls.keyFile = Tls().pki->server.key;
}

// Six characters each: 10,000 of them fit a 256 KiB reply.
std::string ListLine(uint32_t i) {
  char line[16];
  std::snprintf(line, sizeof line, "L%05u", i);
  return line;
}

kmagent::AgentConfig BaseConfig() {
  kmagent::AgentConfig config;
  config.keepRecords = false;
  config.parameters.push_back({"Bench.Value", "eth0 Intel Corporation 82574L Gigabit"});
  kmagent::ConfiguredList list{"Bench.Lines", {}};
  for (uint32_t i = 0; i < kListLines; i++) list.lines.push_back(ListLine(i));
  config.lists.push_back(std::move(list));
  return config;
}

// Where the transfers' files go.
struct FileArea {
  std::string agentDir;  // the agent's filesDir; holds the download source
  std::string localDir;  // the client's side: upload source, download target
  std::string error;

  FileArea() {
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/km-agent-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      error = "cannot create a folder for the transfers";
      return;
    }
    agentDir = tmpl + "/agent";
    localDir = tmpl + "/local";
    std::filesystem::create_directory(agentDir);
    std::filesystem::create_directory(localDir);
  }

  // The 256 MiB files, written on the first transfer row. "" or why not.
  const std::string &content() {
    if (!made_ && error.empty()) {
      made_ = true;
      if (!makeFile(agentDir + "/source.bin") || !makeFile(localDir + "/upload.bin"))
        error = "cannot write the 256 MiB transfer files";
    }
    return error;
  }
  ~FileArea() {
    std::error_code ec;
    if (!agentDir.empty()) std::filesystem::remove_all(std::filesystem::path(agentDir).parent_path(), ec);
  }

  static bool makeFile(const std::string &path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::vector<uint8_t> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); i++) chunk[i] = static_cast<uint8_t>(i * 131 + 7);
    bool ok = true;
    for (uint64_t done = 0; ok && done < kTransferBytes; done += chunk.size())
      ok = ::write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
    ::close(fd);
    return ok;
  }

 private:
  bool made_ = false;
};

FileArea &Files() {
  static FileArea area;
  return area;
}

// One agent and one connected session per mode and placement, shared by the
// rows and threads of that mode and placement.
struct SessionSetup {
  std::unique_ptr<kmagent::AgentServer> agent;
  std::unique_ptr<AgentConnection> conn;
  std::string error;
};
std::map<std::pair<int, int>, SessionSetup> g_sessions;
std::mutex g_sessionsLock;

SessionSetup &Session(Mode mode, Placement p) {
  std::lock_guard<std::mutex> guard(g_sessionsLock);
  SessionSetup &s = g_sessions[{mode, p}];
  if (s.agent || !s.error.empty()) return s;
  if (mode == kTls && !Tls().error.empty()) {
    s.error = "TLS: " + Tls().error;
    return s;
  }
  kmagent::AgentConfig config = BaseConfig();
  if (mode == kTls) ServeTls(config);
  config.requireEncryption = mode == kEncrypted;
  config.filesDir = Files().agentDir;
  config.maxUploadSize = kTransferBytes * 2;
  kmbench::PinThisThread(kmbench::ServerCpu(p));
  s.agent = std::make_unique<kmagent::AgentServer>(config);
  std::string error;
  if (!s.agent->start(&error)) {
    s.error = "agent: " + error;
    return s;
  }
  kmbench::PinThisThread(kmbench::ClientCpu(p));
  s.conn = std::make_unique<AgentConnection>(htonl(INADDR_LOOPBACK), s.agent->port());
  s.conn->setEncryptionPolicy(mode == kEncrypted ? ENCRYPTION_MANDATORY : ENCRYPTION_OFF);
  if (mode == kTls) s.conn->setTlsContext(Tls().client, "agent.test");
  s.conn->setCommandTimeout(120000);
  uint32_t rcc = 0;
  if (!s.conn->connect(mode == kEncrypted ? ServerKey() : nullptr, false, &rcc))
    s.error = "connect failed: " + std::to_string(rcc);
  return s;
}

// Wire sizes of one getList request and its reply, for the raw row.
std::pair<uint32_t, uint32_t> ListWireSizes() {
  CSCPMessage request;
  request.SetCode(MC_GET_LIST);
  request.SetVariable(VAR_PARAMETER, kList);
  CSCPMessage reply;
  reply.SetCode(MC_REQUEST_COMPLETED);
  reply.SetVariable(VAR_RCC, 0u);
  reply.SetVariable(VAR_NUM_STRINGS, kListLines);
  for (uint32_t i = 0; i < kListLines; i++) {
    const std::string line = ListLine(i);
    const std::u16string wide(line.begin(), line.end());
    reply.SetVariable(VAR_LIST_BASE + i, wide.c_str());
  }
  return {static_cast<uint32_t>(request.EncodedSize()), static_cast<uint32_t>(reply.EncodedSize())};
}

// ---- Raw rows --------------------------------------------------------------

void RawPingPong64(benchmark::State &state, Placement p) {
  kmbench::RunTcpPingPong(state, p, 64, 64);
}
void RawRouted64(benchmark::State &state, Placement p) {
  kmbench::RunTcpRoutedPingPong(state, p, 64, 64);
}
void RawPingPongList(benchmark::State &state, Placement p) {
  static const auto sizes = ListWireSizes();
  kmbench::RunTcpPingPong(state, p, sizes.first, sizes.second);
}
void RawStream(benchmark::State &state, Placement p) {
  kmbench::RunTcpStream(state, p, kTransferBytes);
}

void RawFileTransfer(benchmark::State &state, Mode mode, Placement p) {
  if (const std::string &why = Files().content(); !why.empty()) {
    state.SkipWithError(why.c_str());
    return;
  }
  kmbench::RunRawFileTransfer(state, p, Files().localDir + "/upload.bin",
                              Files().agentDir + "/raw_copy.bin", mode == kEncrypted);
}

// ---- Session rows ------------------------------------------------------------

// The session for a row, or null after skipping the row with the reason.
AgentConnection *RowSession(benchmark::State &state, Mode mode, Placement p) {
  SessionSetup &s = Session(mode, p);
  kmbench::PinThisThread(kmbench::ClientCpu(p));
  if (!s.error.empty()) {
    state.SkipWithError(s.error.c_str());
    return nullptr;
  }
  return s.conn.get();
}

void Nop(benchmark::State &state, Mode mode, Placement p) {
  AgentConnection *conn = RowSession(state, mode, p);
  if (conn == nullptr) return;
  for (auto _ : state) {
    const uint32_t rcc = conn->nop();
    if (rcc != RCC_SUCCESS) {
      state.SkipWithError(("nop failed: " + std::to_string(rcc)).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void GetParameter(benchmark::State &state, Mode mode, Placement p) {
  AgentConnection *conn = RowSession(state, mode, p);
  if (conn == nullptr) return;
  char16_t value[256];
  for (auto _ : state) {
    const uint32_t rcc = conn->getParameter(kParameter, 256, value);
    if (rcc != RCC_SUCCESS || value[0] != u'e') {
      state.SkipWithError(("getParameter failed: " + std::to_string(rcc)).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void GetList(benchmark::State &state, Mode mode, Placement p) {
  AgentConnection *conn = RowSession(state, mode, p);
  if (conn == nullptr) return;
  for (auto _ : state) {
    const uint32_t rcc = conn->getList(kList);
    if (rcc != RCC_SUCCESS || conn->getNumDataLines() != kListLines) {
      state.SkipWithError(("getList failed: " + std::to_string(rcc)).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["lines"] = kListLines;
}

bool FileHasSize(const std::string &path, uint64_t size) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == size;
}

// The session for a transfer row with its files in place, or null after
// skipping the row.
AgentConnection *TransferSession(benchmark::State &state, Mode mode, Placement p) {
  if (const std::string &why = Files().content(); !why.empty()) {
    state.SkipWithError(why.c_str());
    return nullptr;
  }
  return RowSession(state, mode, p);
}

void Download(benchmark::State &state, Mode mode, Placement p) {
  AgentConnection *conn = TransferSession(state, mode, p);
  if (conn == nullptr) return;
  const std::string target = Files().localDir + "/downloaded.bin";
  const std::u16string targetWide = KmUtf8ToWide(target);
  for (auto _ : state) {
    CSCPMessage request(conn->getProtocolVersion());
    request.SetCode(MC_AGENT_DOWNLOAD_FILE);
    request.SetVariable(VAR_FILE_NAME, u"source.bin");
    std::unique_ptr<CSCPMessage> reply(conn->customRequest(&request, targetWide.c_str()));
    const uint32_t rcc = reply ? reply->GetVariableLong(VAR_RCC) : RCC_REQUEST_TIMEOUT;
    if (rcc != RCC_SUCCESS || !FileHasSize(target, kTransferBytes)) {
      state.SkipWithError(("download failed: " + std::to_string(rcc)).c_str());
      break;
    }
    state.PauseTiming();
    ::unlink(target.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTransferBytes));
}

void Upload(benchmark::State &state, Mode mode, Placement p) {
  AgentConnection *conn = TransferSession(state, mode, p);
  if (conn == nullptr) return;
  const std::u16string source = KmUtf8ToWide(Files().localDir + "/upload.bin");
  const std::string stored = Files().agentDir + "/uploaded.bin";
  for (auto _ : state) {
    const uint32_t rcc = conn->uploadFile(source.c_str(), u"uploaded.bin");
    if (rcc != RCC_SUCCESS || !FileHasSize(stored, kTransferBytes)) {
      state.SkipWithError(("upload failed: " + std::to_string(rcc)).c_str());
      break;
    }
    state.PauseTiming();
    ::unlink(stored.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTransferBytes));
}

// One session opened and closed per iteration, against the row's agent.
void Connect(benchmark::State &state, Mode mode, Placement p) {
  SessionSetup &s = Session(mode, p);
  if (!s.error.empty()) {
    state.SkipWithError(s.error.c_str());
    return;
  }
  kmbench::PinThisThread(kmbench::ClientCpu(p));
  for (auto _ : state) {
    AgentConnection conn(htonl(INADDR_LOOPBACK), s.agent->port());
    conn.setEncryptionPolicy(ENCRYPTION_OFF);
    if (mode == kTls) conn.setTlsContext(Tls().client, "agent.test");
    uint32_t rcc = 0;
    if (!conn.connect(nullptr, false, &rcc)) {
      state.SkipWithError(("connect failed: " + std::to_string(rcc)).c_str());
      break;
    }
    conn.disconnectAndWait();
  }
  state.SetItemsProcessed(state.iterations());
}

// ---- 1,000 sessions ------------------------------------------------------------

// Resident set of this process in bytes.
uint64_t ResidentBytes() {
  FILE *f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long size = 0, resident = 0;
  const int n = std::fscanf(f, "%lu %lu", &size, &resident);
  std::fclose(f);
  return n == 2 ? static_cast<uint64_t>(resident) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// The agent of the sessions row runs in a child process (this program with
// --agent-child), so that its session threads and buffers do not count in
// this process's memory. It writes its port on stdout and runs until its
// stdin closes.
// tlsCert and tlsKey (null: no TLS) are the parent's files, signed by the CA
// its sessions trust.
int RunAgentChild(const char *tlsCert, const char *tlsKey) {
  kmagent::AgentConfig config;
  config.keepRecords = false;
  config.secret = kSecret;
  config.requireEncryption = true;
  config.maxSessions = kSessions + 16;
  if (tlsCert != nullptr && tlsKey != nullptr) {
    config.tls.certFile = tlsCert;
    config.tls.keyFile = tlsKey;
  }
  kmagent::AgentServer agent(config);
  std::string error;
  if (!agent.start(&error)) {
    std::fprintf(stderr, "agent child: %s\n", error.c_str());
    return 1;
  }
  std::printf("%u\n", agent.port());
  std::fflush(stdout);
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  agent.stop();
  return 0;
}

struct AgentChild {
  pid_t pid = -1;
  int toChild = -1;
  uint16_t port = 0;

  std::string start(bool tls) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return "pipe failed";
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return "pipe failed";
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    char self[] = "/proc/self/exe";
    char flag[] = "--agent-child";
    std::string cert = tls ? Tls().pki->server.cert : "";
    std::string key = tls ? Tls().pki->server.key : "";
    char *argv[] = {self, flag, tls ? cert.data() : nullptr, tls ? key.data() : nullptr, nullptr};
    const int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toChild = in[1];
    if (rc != 0) {
      pid = -1;
      ::close(out[0]);
      return "cannot start the agent child";
    }
    char line[32] = {0};
    size_t have = 0;
    while (have < sizeof(line) - 1) {
      const ssize_t n = ::read(out[0], line + have, 1);
      if (n <= 0 || line[have] == '\n') break;
      have++;
    }
    ::close(out[0]);
    port = static_cast<uint16_t>(std::atoi(line));
    return port != 0 ? "" : "the agent child did not start";
  }
  ~AgentChild() {
    if (toChild >= 0) ::close(toChild);
    if (pid > 0) {
      int status = 0;
      ::waitpid(pid, &status, 0);
    }
  }
};

void Sessions(benchmark::State &state, Mode mode) {
  if (mode == kTls && !Tls().error.empty()) {
    state.SkipWithError(Tls().error.c_str());
    return;
  }
  AgentChild child;
  const std::string why = child.start(mode == kTls);
  if (!why.empty()) {
    state.SkipWithError(why.c_str());
    return;
  }
  RSA *key = ServerKey();
  const std::u16string secret = KmUtf8ToWide(kSecret);
  double seconds = 0;
  double bytesPerSession = 0;
  int failed = 0;
  for (auto _ : state) {
    std::vector<std::unique_ptr<AgentConnection>> sessions;
    sessions.reserve(kSessions);
    const uint64_t before = ResidentBytes();
    const auto start = Clock::now();
    for (int i = 0; i < kSessions; i++) {
      auto conn = std::make_unique<AgentConnection>(htonl(INADDR_LOOPBACK), child.port,
                                                    AUTH_METHOD_SHA1, secret.c_str());
      if (mode == kTls)
        conn->setTlsContext(Tls().client, "agent.test");
      else
        conn->setEncryptionPolicy(ENCRYPTION_MANDATORY);
      if (!conn->connect(mode == kTls ? nullptr : key)) failed++;
      sessions.push_back(std::move(conn));
    }
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Idle: whatever the negotiation left in flight has settled.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const uint64_t after = ResidentBytes();
    bytesPerSession = after > before ? static_cast<double>(after - before) / kSessions : 0;
    state.PauseTiming();
    sessions.clear();
    state.ResumeTiming();
  }
  if (failed != 0) state.SkipWithError((std::to_string(failed) + " sessions failed").c_str());
  state.counters["sessions_per_s"] = seconds > 0 ? kSessions / seconds : 0;
  state.counters["kib_per_session"] = bytesPerSession / 1024;
  state.counters["failed"] = failed;
  state.counters["sessions"] = kSessions;
}

// ---- Registration -------------------------------------------------------------

std::string RowName(const char *row, const char *mode, Placement p) {
  std::string name = row;
  if (mode != nullptr) name += std::string("/") + mode;
  return name + "/" + kmbench::PlacementName(p);
}

void RegisterAll() {
  using Fn = void (*)(benchmark::State &, Mode, Placement);
  const Placement placements[] = {kmbench::SameCpu, kmbench::CrossCpu};
  for (Placement p : placements) {
    benchmark::RegisterBenchmark(RowName("raw/tcp_pingpong64", nullptr, p).c_str(), RawPingPong64, p)
        ->UseRealTime()->MinTime(0.5);
    benchmark::RegisterBenchmark(RowName("raw/tcp_routed64", nullptr, p).c_str(), RawRouted64, p)
        ->Threads(8)->UseRealTime()->MinTime(0.5);
    benchmark::RegisterBenchmark(RowName("raw/tcp_pingpong_list10k", nullptr, p).c_str(),
                                 RawPingPongList, p)
        ->UseRealTime()->MinTime(0.5);
    benchmark::RegisterBenchmark(RowName("raw/tcp_stream256m", nullptr, p).c_str(), RawStream, p)
        ->UseRealTime()->Iterations(4)->Unit(benchmark::kMillisecond);
    for (Mode mode : {kClear, kEncrypted}) {
      benchmark::RegisterBenchmark(RowName("raw/file_transfer256m", kModeName[mode], p).c_str(),
                                   RawFileTransfer, mode, p)
          ->UseRealTime()->Iterations(2)->Unit(benchmark::kMillisecond);
    }
  }
  struct SessionRow {
    const char *name;
    Fn fn;
    int threads;
    int iterations;  // 0: by time
    bool tls;        // a tls row too
  };
  const SessionRow rows[] = {
      {"nop", Nop, 1, 0, true},
      {"get_parameter", GetParameter, 1, 0, false},
      {"get_parameter_t8", GetParameter, 8, 0, true},
      {"get_list10k", GetList, 1, 0, false},
      {"download256m", Download, 1, 2, true},
      {"upload256m", Upload, 1, 2, false},
      {"connect", Connect, 1, 0, true},
  };
  for (const SessionRow &row : rows) {
    for (Mode mode : {kClear, kEncrypted, kTls}) {
      if (mode == kTls && !row.tls) continue;
      for (Placement p : placements) {
        auto *b = benchmark::RegisterBenchmark(RowName(row.name, kModeName[mode], p).c_str(), row.fn,
                                               mode, p);
        b->UseRealTime();
        if (row.threads > 1) b->Threads(row.threads);
        if (row.iterations > 0) {
          b->Iterations(row.iterations)->Unit(benchmark::kMillisecond);
        } else {
          b->MinTime(0.5);
        }
      }
    }
  }
  for (Mode mode : {kEncrypted, kTls}) {
    benchmark::RegisterBenchmark((std::string("sessions1000/") + kModeName[mode]).c_str(), Sessions,
                                 mode)
        ->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1 && std::strcmp(argv[1], "--agent-child") == 0)
    return RunAgentChild(argc > 3 ? argv[2] : nullptr, argc > 3 ? argv[3] : nullptr);
  // A thousand sessions need more descriptors than the usual soft limit.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (auto &entry : g_sessions) {
    entry.second.conn.reset();
    entry.second.agent.reset();
  }
  return 0;
}
