// Fuzz target: the parameter and table records of a getSupportedParameters
// reply, as a connected AgentConnection reads them.
//
// One session lives across inputs (a new one only when the last ended): a
// peer thread answers version detection and keepalives and answers every
// MC_GET_PARAMETER_LIST with a reply built from the current input: an RCC,
// the two counts (small, or any 32-bit number), then records at ids in and
// around the parameter and table runs with any field type. Whatever the
// reply says, the records handed back must match the counts, every string
// must end inside its record, and a refused reply must hand back nothing.
#include <arpa/inet.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kmbase/message.h"
#include "kmbase/net.h"
#include "kmbase/struct_array.h"
#include "kmsrv/agent.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"

namespace {

constexpr uint32_t kWaitMs = 3000;

SOCKET g_listener = INVALID_SOCKET;
uint16_t g_port = 0;
std::mutex g_inputLock;
std::vector<uint8_t> g_input;  // guarded by g_inputLock

class QuietConnection : public AgentConnection {
 public:
  using AgentConnection::AgentConnection;
  ~QuietConnection() override { disconnectAndWait(); }

 protected:
  void PrintMsg(const char16_t *, ...) override {}
};

class Reader {
 public:
  explicit Reader(const std::vector<uint8_t> &v) : p_(v.data()), end_(v.data() + v.size()) {}
  bool empty() const { return p_ >= end_; }
  uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v = (v << 8) | byte();
    return v;
  }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
};

CSCPMessage BuildReply(uint32_t id) {
  std::vector<uint8_t> input;
  {
    std::lock_guard<std::mutex> hold(g_inputLock);
    input = g_input;
  }
  Reader in(input);
  CSCPMessage reply;
  reply.SetCode(MC_REQUEST_COMPLETED);
  reply.SetId(id);
  const uint8_t flags = in.byte();
  reply.SetVariable(VAR_RCC, (flags & 0x0F) == 0x0F ? in.u32() : uint32_t{RCC_SUCCESS});
  if (flags & 0x10) reply.SetVariable(VAR_NUM_PARAMETERS, (flags & 0x40) ? in.u32() : in.byte() % 12u);
  if (flags & 0x20) reply.SetVariable(VAR_NUM_TABLES, (flags & 0x80) ? in.u32() : in.byte() % 12u);
  for (int records = 0; records < 256 && !in.empty(); records++) {
    const uint8_t where = in.byte();
    const uint8_t type = in.byte();
    const uint32_t base = (where & 0x80) ? VAR_TABLE_LIST_BASE : VAR_LIST_BASE;
    const uint32_t fid = base + (where & 0x7F) - 2;  // also just below the run
    switch (type % 5) {
      case 0:
      case 1: {
        // Up to 300 units: longer than a record's name, description or aux
        // info can hold.
        size_t n = (size_t{in.byte()} << 1 | (type >> 7)) % 300;
        std::u16string s(n, u'A');
        for (size_t i = 0; i < n && !in.empty(); i++) s[i] = static_cast<char16_t>(in.byte() * 0x101);
        reply.SetVariable(fid, s.c_str(), s.size());
        break;
      }
      case 2:
        reply.SetVariable(fid, static_cast<uint16_t>(in.u32()));
        break;
      case 3:
        reply.SetVariable(fid, in.u32());
        break;
      default: {
        uint8_t bytes[16];
        uint32_t n = in.byte() % 17;
        for (uint32_t i = 0; i < n; i++) bytes[i] = in.byte();
        reply.SetVariable(fid, bytes, n);
        break;
      }
    }
  }
  return reply;
}

bool SendMessage(SOCKET s, const CSCPMessage &msg, KmMutex *lock) {
  KMCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) return false;
  bool ok = SendEx(s, wire, ntohl(wire->size), 0, lock) == static_cast<int>(ntohl(wire->size));
  free(wire);
  return ok;
}

// Serves one session after another until the process ends.
void Peer() {
  std::vector<uint8_t> buf(65536);
  auto recv = std::make_unique<CSCP_BUFFER>();
  KmMutex lock;
  for (;;) {
    SOCKET s = KmSocketAccept(g_listener, KM_INFINITE);
    if (s == INVALID_SOCKET) continue;
    RecvKMCPMessage(INVALID_SOCKET, nullptr, recv.get(), 0, nullptr, nullptr, 0);
    for (;;) {
      int rc = RecvKMCPMessage(s, reinterpret_cast<KMCP_MESSAGE *>(buf.data()), recv.get(),
                               buf.size(), nullptr, nullptr, KM_INFINITE);
      if (rc <= KMCP_RECV_TIMEOUT) break;
      auto request = CSCPMessage::decode({buf.data(), static_cast<size_t>(rc)}, KMCP_VERSION);
      if (!request) break;
      bool sent;
      if (request->GetCode() == MC_GET_KMCP_CAPS) {
        sent = KMCPAnswerProtocolVersion(s, request->GetId(), KMCP_VERSION, &lock);
      } else if (request->GetCode() == MC_GET_PARAMETER_LIST) {
        sent = SendMessage(s, BuildReply(request->GetId()), &lock);
      } else {
        CSCPMessage reply;
        reply.SetCode(MC_REQUEST_COMPLETED);
        reply.SetId(request->GetId());
        reply.SetVariable(VAR_RCC, RCC_SUCCESS);
        sent = SendMessage(s, reply, &lock);
      }
      if (!sent) break;
    }
    KmSocketShutdown(s, SHUT_RDWR);
    KmSocketClose(s);
  }
}

void Check(bool ok) {
  if (!ok) std::abort();
}

template <size_t N>
void CheckTerminated(const char16_t (&text)[N]) {
  Check(std::char_traits<char16_t>::length(text) < N);
}

std::unique_ptr<QuietConnection> g_conn;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_listener = KmSocketListenTcp(htonl(INADDR_LOOPBACK), 0, 16, &g_port);
  if (g_listener == INVALID_SOCKET) abort();
  std::thread(Peer).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  {
    std::lock_guard<std::mutex> hold(g_inputLock);
    g_input.assign(data, data + size);
  }
  if (g_conn == nullptr || !g_conn->isConnected()) {
    g_conn.reset();
    g_conn = std::make_unique<QuietConnection>(htonl(INADDR_LOOPBACK), g_port);
    g_conn->setEncryptionPolicy(ENCRYPTION_OFF);
    g_conn->setCommandTimeout(kWaitMs);
    g_conn->setConnectionTimeout(kWaitMs);
    if (!g_conn->connect(nullptr)) {
      g_conn.reset();
      return 0;
    }
  }
  StructArray<KMC_AGENT_PARAM> *params = nullptr;
  StructArray<KMC_AGENT_TABLE> *tables = nullptr;
  uint32_t rcc = g_conn->getSupportedParameters(&params, &tables);
  if (rcc != RCC_SUCCESS) {
    Check(params == nullptr && tables == nullptr);
    return 0;
  }
  Check(params != nullptr && tables != nullptr);
  for (uint32_t i = 0; i < params->size(); i++) {
    CheckTerminated((*params)[i].name);
    CheckTerminated((*params)[i].description);
    Check(((*params)[i].dataType & ~0xFFFF) == 0);
  }
  for (uint32_t i = 0; i < tables->size(); i++) {
    CheckTerminated((*tables)[i].name);
    CheckTerminated((*tables)[i].auxInfo);
    CheckTerminated((*tables)[i].description);
  }
  delete params;
  delete tables;
  return 0;
}
