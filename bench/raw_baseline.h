// The raw baselines every benchmark compares against, in one place: what
// the machine's loopback gives without any of our code in the path.
//
//   - TCP ping-pong over one persistent connection (fixed request and reply
//     sizes; one requester);
//   - the same with N requesters sharing one connection: each request
//     carries its requester's id, one reader thread routes every reply to the
//     requester whose id it carries (what a session with a receiver thread and
//     a reply queue does, minus the session);
//   - a one-way TCP stream of a given number of bytes, acknowledged by the
//     receiver at its end;
//   - a UDP ping-pong with an echo thread.
//
// Placement: every row runs with both ends on one CPU (SameCpu) and with the
// client on CPU 0 and the server on CPU 1 (CrossCpu). Client threads pin
// themselves (PinThisThread); server threads are pinned by the server when
// they start, from what the client asked for.
//
// Threads: RawServer's methods may be called from any thread; a
// RawRoutedClient is shared by its requester threads (roundTrip from each).
#pragma once

#include <benchmark/benchmark.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kmbench {

enum Placement : int { SameCpu = 0, CrossCpu = 1 };

// "same_cpu" / "cross_cpu": the suffix of every row name.
const char *PlacementName(Placement p);
// The CPU of the client side (always 0) and of the server side.
int ClientCpu(Placement p);
int ServerCpu(Placement p);
// Pins the calling thread (or thread/process tid) to one CPU. Quietly does
// nothing where the CPU does not exist.
void PinThisThread(int cpu);
void PinTask(pid_t tid, int cpu);

// Loopback TCP server for the TCP baselines: one thread per connection,
// pinned to the CPU the connection's greeting names.
class RawServer {
 public:
  RawServer();
  ~RawServer();
  RawServer(const RawServer &) = delete;
  RawServer &operator=(const RawServer &) = delete;
  uint16_t port() const { return port_; }

  // The process-wide instance (started on first use).
  static RawServer &instance();

 private:
  void acceptLoop();

  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> conns_;            // guarded by mutex_
  std::vector<std::thread> workers_;  // guarded by mutex_
};

// Rows: each runs the benchmark loop of its baseline with the calling
// thread as the client (pinned to the client CPU), in placement p.
//
// One requester: request and reply of the given sizes (bytes >= 8).
void RunTcpPingPong(benchmark::State &state, Placement p, uint32_t requestSize, uint32_t replySize);
// A one-way stream of `bytes` per iteration in 256 KiB writes.
void RunTcpStream(benchmark::State &state, Placement p, uint64_t bytes);
// The work of a file transfer without the session: the client thread reads
// `source` in 64 KiB chunks and sends each with a 16-byte header (with
// `encrypted`, sealed with AES-256-GCM, a fresh nonce and a 16-byte tag per
// chunk, straight from OpenSSL); a server thread receives each, opens and
// checks it when sealed, and writes it to `target`, acknowledging the end
// with one byte. `target` is removed after each iteration, outside the
// timing. The floor for a transfer that reads and writes real files.
void RunRawFileTransfer(benchmark::State &state, Placement p, const std::string &source,
                        const std::string &target, bool encrypted);
// UDP datagrams of `size` bytes echoed back.
void RunUdpPingPong(benchmark::State &state, Placement p, uint32_t size);

// N requesters on one connection with replies routed by id. Use with
// ->Threads(N): thread 0 opens the connection and starts the reader before
// the loop (Google Benchmark holds every thread at the loop's start until
// all have arrived) and closes it after.
void RunTcpRoutedPingPong(benchmark::State &state, Placement p, uint32_t requestSize, uint32_t replySize);

}  // namespace kmbench
