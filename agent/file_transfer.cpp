// File transfer of AgentConnection: upload (MC_TRANSFER_FILE followed by the
// file's raw chunks) and requests whose answer is a file (customRequest with
// a download path). The receiver thread writes the chunks of a download and
// ends it (agent_connection.cpp); this side arms it and waits for its end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "agent_link.h"
#include "kmbase/crypto.h"
#include "kmbase/fd_io.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/agent.h"
#include "kmsrv/debug.h"
#include "kmsrv/protocol.h"

const char16_t *AgentConnection::uploadFileName(const char16_t *path) {
  const char16_t *name = path;
  for (const char16_t *p = path; *p != 0; p++)
    if (*p == u'/' || *p == u'\\') name = p + 1;
  return name;
}

uint32_t AgentConnection::uploadFile(const char16_t *localPath, const char16_t *destination,
                                     UploadProgress progress, void *arg) {
  if (!connected) return RCC_NOT_CONNECTED;
  if (localPath == nullptr) return RCC_BAD_ARGUMENTS;
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_TRANSFER_FILE);
  msg.SetVariable(VAR_FILE_NAME, uploadFileName(localPath));
  if (destination != nullptr) msg.SetVariable(VAR_DESTINATION_FILE_NAME, destination);
  uint32_t rcc = executeRequest(&msg, true, commandTimeout.load());
  if (rcc != RCC_SUCCESS) return rcc;
  const uint32_t id = msg.GetId();

  uploadInProgress = true;
  bool streamed = false;
  {
    // sendLock is held for the whole file so that the socket handle read
    // here cannot be closed (and its number reused) between two chunks; a
    // disconnect shuts the socket down, which fails the next chunk at once.
    // The key is the one in force when the file starts.
    Link link(*this);
    KmLockGuard sendGuard(sendLock);
    const SOCKET sock = link.socketHandle();
    const kmsrv_session::ContextRef ctx = link.context();
    if (sock != INVALID_SOCKET)
      streamed = SendFileOverKMCP(sock, id, localPath, ctx.get(), 0, progress, arg, &sendLock,
                                  commandTimeout.load());
    // A chunk the agent did not take in time leaves the stream cut inside a
    // message: the session ends (the receiver sees the shutdown).
    if (!streamed && KmGetLastSocketError() == ETIMEDOUT) {
      KmSocketShutdown(sock, SHUT_RDWR);
      rcc = RCC_CONNECTION_BROKEN;
    }
  }
  if (rcc == RCC_SUCCESS) rcc = streamed ? waitForRCC(id, commandTimeout.load()) : RCC_IO_FAILURE;
  uploadInProgress = false;
  return rcc;
}

uint32_t AgentConnection::prepareFileDownload(const char16_t *path, uint32_t id, bool append,
                                              AgentDownloadProgress progress, void *arg) {
  KmLockGuard guard(stateLock);
  if (downloadFile != -1) return RCC_RESOURCE_BUSY;
  const size_t length = std::char_traits<char16_t>::length(path);
  const std::string localPath = KmWideToUtf8(std::u16string_view(path, length));
  // A longer path would be opened in full but removed by a cut copy.
  if (length >= AGENT_MAX_PATH) {
    DbgPrintf(4, u"AgentConnection::PrepareFileDownload(): path too long: %s", path);
    return RCC_FILE_OPEN_ERROR;
  }
  std::memcpy(downloadFileName, path, length * sizeof(char16_t));
  downloadFileName[length] = 0;
  downloadDone.reset();

  const int flags = append ? O_RDWR : (O_RDWR | O_CREAT | O_TRUNC);
  const int fd =
      KmRetryInterrupted([&] { return ::open(localPath.c_str(), flags | O_CLOEXEC, 0600); });
  downloadKeepLength = -1;
  if (fd < 0) {
    const std::u16string error = KmUtf8ToWide(KmErrorText(errno));
    DbgPrintf(4, u"AgentConnection::PrepareFileDownload(): cannot open file %s (%s); append=%d rqId=%d",
              path, error.c_str(), append ? 1 : 0, static_cast<int>(id));
  } else if (append) {
    // What was there stays: a failed download cuts the file back to this.
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) {
      ::close(fd);
      return RCC_FILE_OPEN_ERROR;
    }
    downloadKeepLength = end;
  }
  downloadFile = fd;
  downloadWritten = 0;
  downloadProgress = progress;
  downloadRequestId = id;
  downloadProgressArg = arg;
  return fd >= 0 ? RCC_SUCCESS : RCC_FILE_OPEN_ERROR;
}

namespace {

CSCPMessage *MadeUpReply(uint32_t id, uint32_t rcc) {
  auto *reply = new CSCPMessage(2);
  reply->SetCode(MC_REQUEST_COMPLETED);
  reply->SetId(id);
  reply->SetVariable(VAR_RCC, rcc);
  return reply;
}

}  // namespace

CSCPMessage *AgentConnection::customRequest(CSCPMessage *request, const char16_t *downloadPath,
                                            bool append, AgentDownloadProgress progress,
                                            void *arg) {
  const uint32_t id = generateRequestId();
  request->SetId(id);
  if (downloadPath != nullptr) {
    const uint32_t rcc = prepareFileDownload(downloadPath, id, append, progress, arg);
    if (rcc != RCC_SUCCESS) return MadeUpReply(id, rcc);
  }
  CSCPMessage *reply;
  exchange(request, MC_REQUEST_COMPLETED, commandTimeout.load(), &reply);
  if (downloadPath == nullptr) return reply;
  if (reply == nullptr) {
    // No answer: the download ends as failed, so that the next one is not
    // refused as busy.
    endDownload(id, false);
    return nullptr;
  }
  if (kmsrv_session::ReplyResult(*reply, Link::kCodes) != RCC_SUCCESS) {
    // A refusal, after which the agent sends no chunks: closed without the
    // hook; the file goes (an appended one is cut back, never removed).
    KmLockGuard guard(stateLock);
    if (downloadFile != -1 && downloadRequestId == id) {
      ::close(downloadFile);
      downloadFile = -1;
    }
    discardDownloadFile();
    return reply;
  }
  if (!downloadDone.wait(kDownloadTimeoutMs)) {
    endDownload(id, false);
    reply->SetVariable(VAR_RCC, RCC_REQUEST_TIMEOUT);
  } else if (!downloadSucceeded) {
    reply->SetVariable(VAR_RCC, RCC_IO_FAILURE);
    if (deleteFileOnDownloadFailure) {
      KmLockGuard guard(stateLock);
      discardDownloadFile();
    }
  }
  return reply;
}
