// AgentConnection core: construction and settings, connect and teardown, the
// receiver thread and its dispatch, the send and wait primitives, the request
// cycle, data lines and the default hooks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "agent_link.h"
#include "kmbase/crypto.h"
#include "kmbase/fd_io.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/agent.h"
#include "kmsrv/debug.h"
#include "kmsrv/protocol.h"
#include "secret.h"

using kmsrv_session::OpenResult;

namespace {

// The library-wide default encryption policy, copied by every new session.
std::atomic<int32_t> g_defaultEncryptionPolicy{ENCRYPTION_ON_DEMAND};

}  // namespace

void SetAgentDEP(int32_t policy) { g_defaultEncryptionPolicy = policy; }

AgentConnection::AgentConnection(uint32_t addr, uint16_t agentPort, int32_t method,
                                 const char16_t *agentSecret)
    : address(addr),
      protocolVersion(2),
      authMethod(method),
      socket(INVALID_SOCKET),
      numDataLines(0),
      dataLines(nullptr),
      nextRequestId(1),
      commandTimeout(10000),
      connectTimeout(30000),
      receiveTimeout(420000),
      connected(false),
      stateLock(KmMutex::kDefaultSpinCount),
      sendLock(KmMutex::kDefaultSpinCount),
      receiverThread(nullptr),
      encryptionContext(nullptr),
      encryptionPolicy(g_defaultEncryptionPolicy.load()),
      useProxy(false),
      proxyAddress(0),
      port(agentPort),
      proxyPort(0),
      proxyAuthMethod(AUTH_METHOD_NONE),
      downloadFile(-1),
      downloadRequestId(0),
      downloadDone(false),
      downloadSucceeded(false),
      downloadProgress(nullptr),
      downloadProgressArg(nullptr),
      deleteFileOnDownloadFailure(true),
      downloadLimit(kDefaultDownloadLimit),
      downloadWritten(0),
      downloadKeepLength(-1),
      uploadInProgress(false),
      sessionClosing(true),
      keyExchangeId(0),
      keyExchangeDone(false) {
  // No session yet: nothing will arrive, so no wait may block.
  replyQueue.shutdown();
  kmsrv_agent::WideSecretToAnsi(agentSecret, secret);
  proxySecret[0] = 0;
  downloadFileName[0] = 0;
}

AgentConnection::~AgentConnection() {
  disconnectAndWait();
  {
    KmLockGuard guard(stateLock);
    destroyResultData();
  }
  kmsrv_agent::WipeSecret(secret);
  kmsrv_agent::WipeSecret(proxySecret);
}

// ---------------------------------------------------------------------------
// Settings and state
// ---------------------------------------------------------------------------

void AgentConnection::setConnectionTimeout(uint32_t ms) {
  connectTimeout = std::max(ms, kMinConnectTimeout);
}

void AgentConnection::setCommandTimeout(uint32_t ms) {
  commandTimeout = std::max(ms, kMinCommandTimeout);
}

void AgentConnection::setRecvTimeout(uint32_t ms) {
  receiveTimeout = std::max(ms, kMinReceiveTimeout);
}

void AgentConnection::setAuthData(int32_t method, const char *newSecret) {
  authMethod = method;
  kmsrv_agent::CopyAnsiSecret(newSecret, secret);
}

SOCKET AgentConnection::getSocket() const {
  KmLockGuard guard(stateLock);
  return socket;
}

uint32_t AgentConnection::getIpAddr() const { return ntohl(address); }

const char16_t *AgentConnection::getDataLine(uint32_t index) const {
  return index < numDataLines ? dataLines[index] : u"(error)";
}

void AgentConnection::destroyResultData() {
  if (dataLines != nullptr) {
    for (uint32_t i = 0; i < numDataLines; i++) free(dataLines[i]);
    free(dataLines);
    dataLines = nullptr;
  }
  numDataLines = 0;
}

KMCPEncryptionContext *AgentConnection::acquireEncryptionContext() {
  return Link(*this).context().release();
}

// ---------------------------------------------------------------------------
// Connect and teardown
// ---------------------------------------------------------------------------

bool AgentConnection::connect(RSA *serverKey, bool printFailure, uint32_t *errorCode,
                              uint32_t *socketError) {
  if (errorCode != nullptr) *errorCode = RCC_INTERNAL_ERROR;
  if (socketError != nullptr) *socketError = 0;
  if (connected) return false;
  Link link(*this);
  // A hook cannot start a new session on the thread of the one it serves:
  // that thread would have to wait for its own end first.
  if (link.onReceiverThread()) return false;
  link.finish();  // what is left of an earlier session

  uint32_t rcc = RCC_SUCCESS;
  SOCKET sock = KmSocketOpenTcp();
  if (sock == INVALID_SOCKET) {
    PrintMsg(u"Call to socket() failed");
    rcc = RCC_INTERNAL_ERROR;
  } else {
    const uint32_t target = useProxy ? proxyAddress : address;
    int version = protocolVersion;
    const kmsrv_session::TlsTarget tls{tlsContext, tlsName};
    kmsrv_session::TlsOutcome tlsOutcome;
    const OpenResult opened = link.open(sock, target, useProxy ? proxyPort : port, connectTimeout,
                                        commandTimeout, &version, &tls, &tlsOutcome);
    tlsFailure = tlsOutcome.failure;
    tlsFailureDetail = tlsOutcome.detail;
    if (opened == OpenResult::TlsFailed) {
      if (printFailure) {
        char16_t ip[16];
        PrintMsg(u"Cannot set up TLS with agent %s: %s", IpToStr(ntohl(target), ip),
                 kmsrv_session::DescribeTlsFailure(tlsOutcome).c_str());
      }
      rcc = RCC_TLS_FAILED;
    } else if (opened == OpenResult::ConnectFailed) {
      if (printFailure) {
        char16_t ip[16];
        PrintMsg(u"Cannot establish connection with agent %s", IpToStr(ntohl(target), ip));
      }
      rcc = RCC_CONNECT_FAILED;
    } else if (opened == OpenResult::VersionUnknown) {
      rcc = RCC_INTERNAL_ERROR;
    } else if (opened == OpenResult::Refused) {
      rcc = RCC_AGENT_BUSY;
    } else {
      protocolVersion = version;
      if (!link.startReceiver(ReceiverThreadStarter, this)) {
        // Nothing could read the answers: fail now rather than wait for them.
        char16_t ip[16];
        PrintMsg(u"Cannot start receiver thread for agent %s", IpToStr(ntohl(address), ip));
        rcc = RCC_INTERNAL_ERROR;
      } else {
        rcc = negotiate(serverKey);
      }
      if (rcc == RCC_SUCCESS) {
        // The session may have ended between the last reply and here (peer
        // close, disconnect from another thread): then it never opened.
        KmLockGuard guard(stateLock);
        if (sessionClosing)
          rcc = RCC_CONNECTION_BROKEN;
        else
          connected = true;
      }
    }
  }

  if (rcc == RCC_SUCCESS) {
    if (errorCode != nullptr) *errorCode = RCC_SUCCESS;
    return true;
  }
  if (socketError != nullptr) *socketError = static_cast<uint32_t>(KmGetLastSocketError());
  link.abandon(link);
  if (errorCode != nullptr) *errorCode = rcc;
  return false;
}

void AgentConnection::disconnect() {
  Link link(*this);
  KmLockGuard guard(stateLock);
  link.beginClose(link);
  destroyResultData();
}

void AgentConnection::disconnectAndWait() {
  disconnect();
  Link(*this).finish();
}

bool AgentConnection::isEncrypted() { return Link(*this).isEncrypted(); }

bool AgentConnection::setTls(const KmTlsClientSettings &settings, const std::string &expectedName,
                             std::string *error) {
  KmTlsContextRef context = KmTlsMakeClientContext(settings, error);
  if (context == nullptr) return false;
  setTlsContext(std::move(context), expectedName);
  return true;
}

void AgentConnection::setTlsContext(KmTlsContextRef context, const std::string &expectedName) {
  tlsContext = std::move(context);
  tlsName = expectedName;
}

void AgentConnection::clearTls() {
  tlsContext.reset();
  tlsName.clear();
}

bool AgentConnection::isTls() { return Link(*this).isTls(); }

// ---------------------------------------------------------------------------
// The receiver thread
// ---------------------------------------------------------------------------

void AgentConnection::ReceiverThreadStarter(void *arg) {
  static_cast<AgentConnection *>(arg)->ReceiverThread();
}

void AgentConnection::ReceiverThread() {
  Link link(*this);
  link.runReceiver(link, commandTimeout);
}

void AgentConnection::dispatchMessage(KMCP_MESSAGE *raw, uint32_t size) {
  if (ntohs(raw->flags) & FLAG_RAW) {
    processRawMessage(raw, size);
    return;
  }
  KmcpDecodeStatus status = KmcpDecodeStatus::Ok;
  std::unique_ptr<CSCPMessage> msg =
      CSCPMessage::decode(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(raw), size),
                          protocolVersion, &status);
  if (msg == nullptr) {
    char16_t name[KMCP_CODE_NAME_SIZE];
    DbgPrintf(6, u"AgentConnection::ReceiverThread(): malformed message %s skipped (%hs)",
              KMCPMessageCodeName(ntohs(raw->code), name), KmcpDecodeStatusText(status));
    return;
  }
  switch (msg->GetCode()) {
    case MC_TRAP:
      onTrap(msg.get());
      break;
    case MC_REQUEST_COMPLETED:
      replyQueue.put(msg.release());
      break;
    case MC_DATA_PUSH:
      onDataPush(msg.get());
      break;
    default:
      // Kept for a waiter only when it can be a reply: the key answer, or a
      // code some caller is waiting for. Anything else would only hold
      // memory a peer chose.
      if (!processCustomMessage(msg.get())) {
        const bool reply = msg->GetCode() == MC_SESSION_KEY;
        replyQueue.put(msg.release(), reply);
      }
      break;
  }
}

void AgentConnection::processRawMessage(KMCP_MESSAGE *raw, uint32_t size) {
  raw->code = ntohs(raw->code);
  raw->id = ntohl(raw->id);
  raw->numFields = ntohl(raw->numFields);
  uint16_t flags = ntohs(raw->flags);

  char16_t name[KMCP_CODE_NAME_SIZE];
  char16_t ip[16];
  DbgPrintf(6, u"Received raw message %s from agent at %s", KMCPMessageCodeName(raw->code, name),
            IpToStr(ntohl(address), ip));
  if (raw->code != MC_FILE_DATA) return;

  AgentDownloadProgress progress = nullptr;
  void *progressArg = nullptr;
  uint32_t position = 0;
  {
    KmLockGuard guard(stateLock);
    if (downloadFile == -1 || raw->id != downloadRequestId) return;
    uint32_t count = raw->numFields;
    if (count > size - KMCP_HEADER_SIZE) {
      // The chunk claims more data than it carries: the file cannot be
      // completed correctly.
      endDownload(false);
      return;
    }
    const uint8_t *data = reinterpret_cast<const uint8_t *>(raw) + KMCP_HEADER_SIZE;
    if (count > downloadLimit - downloadWritten || !KmWriteAll(downloadFile, data, count)) {
      endDownload(false);
      return;
    }
    downloadWritten += count;
    if (flags & FLAG_END_OF_FILE) {
      endDownload(true);
      return;
    }
    if (downloadProgress == nullptr) return;
    progress = downloadProgress;
    progressArg = downloadProgressArg;
    position = static_cast<uint32_t>(::lseek(downloadFile, 0, SEEK_CUR));
  }
  progress(position, progressArg);
}

void AgentConnection::endDownload(bool success) {
  if (downloadFile == -1) return;
  ::close(downloadFile);
  downloadFile = -1;
  onFileDownload(success);
}

void AgentConnection::endDownload(uint32_t id, bool success) {
  KmLockGuard guard(stateLock);
  if (downloadRequestId == id) endDownload(success);
}

void AgentConnection::discardDownloadFile() {
  const std::string path = KmWideToUtf8(std::u16string_view(downloadFileName));
  if (downloadKeepLength < 0) {
    ::remove(path.c_str());
  } else if (::truncate(path.c_str(), static_cast<off_t>(downloadKeepLength)) != 0) {
    DbgPrintf(4, u"AgentConnection: cannot cut %s back to %lld bytes", downloadFileName,
              static_cast<long long>(downloadKeepLength));
  }
}

// ---------------------------------------------------------------------------
// Send and wait
// ---------------------------------------------------------------------------

bool AgentConnection::sendMessage(CSCPMessage *msg) { return Link(*this).send(*msg); }

CSCPMessage *AgentConnection::waitForMessage(uint16_t code, uint32_t id, uint32_t timeout_ms) {
  bool ended;
  return Link(*this).wait(code, id, timeout_ms, &ended);
}

uint32_t AgentConnection::waitForRCC(uint32_t id, uint32_t timeout_ms) {
  return Link(*this).waitForRcc(id, timeout_ms, Link::kCodes);
}

uint32_t AgentConnection::exchange(CSCPMessage *msg, uint16_t replyCode, uint32_t timeout_ms,
                                   CSCPMessage **reply) {
  return Link(*this).request(*msg, replyCode, timeout_ms, Link::kCodes, reply);
}

uint32_t AgentConnection::executeRequest(CSCPMessage *msg, bool needsConnection,
                                         uint32_t timeout_ms, AgentReplyReader readReply) {
  if (needsConnection && !connected) return RCC_NOT_CONNECTED;
  msg->SetId(generateRequestId());
  CSCPMessage *reply;
  uint32_t rcc = exchange(msg, MC_REQUEST_COMPLETED, timeout_ms, &reply);
  if (reply == nullptr) return rcc;
  rcc = kmsrv_session::ReplyResult(*reply, Link::kCodes);
  if (readReply) rcc = readReply(*reply, rcc);
  delete reply;
  return rcc;
}

// ---------------------------------------------------------------------------
// Default hooks
// ---------------------------------------------------------------------------

void AgentConnection::PrintMsg(const char16_t *format, ...) {
  va_list args;
  va_start(args, format);
  kmsrv_session::WriteSessionLine(format, args);
  va_end(args);
}

void AgentConnection::onTrap(CSCPMessage *) {}

void AgentConnection::onDataPush(CSCPMessage *) {}

bool AgentConnection::processCustomMessage(CSCPMessage *) { return false; }

void AgentConnection::onFileDownload(bool success) KM_NO_THREAD_SAFETY_ANALYSIS {
  // Called with stateLock held (endDownload).
  if (!success && deleteFileOnDownloadFailure) discardDownloadFile();
  downloadSucceeded = success;
  downloadDone.set();
}
