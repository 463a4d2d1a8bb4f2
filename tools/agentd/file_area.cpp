// The agent's file area (AgentConfig::filesDir): MC_TRANSFER_FILE receives a
// file as raw MC_FILE_DATA chunks into a temporary file of the area and
// renames it into place at its last chunk; MC_AGENT_DOWNLOAD_FILE streams a
// file of the area as raw chunks with the request's id before its answer.
// Session thread only.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "agent_session.h"
#include "kmbase/byte_order.h"
#include "kmbase/crypto.h"
#include "kmbase/fd_io.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"

namespace kmagent::detail {

std::string AreaName(const CSCPMessage &request, uint32_t field) {
  char16_t *text = request.GetVariableStr(field);
  if (text == nullptr) return {};
  std::u16string name(text);
  free(text);
  const size_t cut = name.find_last_of(u"/\\");
  if (cut != std::u16string::npos) name.erase(0, cut + 1);
  // Dot names are the area's own files (temporary uploads, the upgrade
  // record); control characters would forge lines wherever a name is
  // written.
  if (name.empty() || name.front() == u'.') return {};
  for (const char16_t c : name)
    if (c < 0x20 || c == 0x7F) return {};
  return KmWideToUtf8(name);
}

int OpenAreaFile(const std::string &path, struct stat *st) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool AreaUsage(const std::string &dir, uint64_t *bytes, uint64_t *files) {
  *bytes = *files = 0;
  DIR *d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  const int dirFd = ::dirfd(d);
  // Bounded by what the quota lets in, plus what the operator put there.
  while (const dirent *e = ::readdir(d)) {
    struct stat st;
    if (::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    *bytes += static_cast<uint64_t>(st.st_size);
    *files += 1;
  }
  ::closedir(d);
  return true;
}

void Session::abortUpload() {
  if (uploadFd_ == -1) return;
  ::close(uploadFd_);
  uploadFd_ = -1;
  ::unlink(uploadTemp_.c_str());
}

uint32_t Session::onTransferFile(const CSCPMessage &request, CSCPMessage *) {
  const std::string &dir = shared_.config.filesDir;
  if (dir.empty()) return RCC_ACCESS_DENIED;
  // A destination name, when given, replaces the local file's name.
  const std::string name = AreaName(request, request.IsVariableExist(VAR_DESTINATION_FILE_NAME)
                                                 ? VAR_DESTINATION_FILE_NAME
                                                 : VAR_FILE_NAME);
  if (name.empty()) return RCC_BAD_ARGUMENTS;
  // A new announcement replaces an upload whose chunks never ended.
  abortUpload();
  // The quota: what the area holds now, less the file this one replaces.
  const AgentConfig &config = shared_.config;
  uint64_t bytes = 0, files = 0;
  if (!AreaUsage(dir, &bytes, &files)) return RCC_FILE_OPEN_ERROR;
  struct stat old;
  if (::fstatat(AT_FDCWD, (dir + "/" + name).c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(old.st_mode)) {
    bytes -= std::min<uint64_t>(bytes, static_cast<uint64_t>(old.st_size));
    files -= std::min<uint64_t>(files, 1);
  }
  if (files >= config.maxAreaFiles || bytes >= config.maxAreaBytes) {
    logf(LogLevel::Info, "upload of %s refused: the file area is full (%llu files, %llu bytes)",
         kmpeer::LogText(name).c_str(), static_cast<unsigned long long>(files),
         static_cast<unsigned long long>(bytes));
    return RCC_OUT_OF_RESOURCES;
  }
  std::string temp = dir + "/.upload-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return RCC_FILE_OPEN_ERROR;
  uploadFd_ = fd;
  uploadId_ = request.GetId();
  uploadSize_ = 0;
  uploadTemp_ = temp;
  uploadTarget_ = dir + "/" + name;
  uploadLimit_ = std::min(config.maxUploadSize, config.maxAreaBytes - bytes);
  return RCC_SUCCESS;
}

Session::Next Session::handleFileData(const uint8_t *bytes, uint32_t length) {
  const uint32_t id = KmLoadBe32(bytes + 8);
  // (A clear chunk in an encrypted session never gets here: PeerSession
  // drops it.)
  if (uploadFd_ == -1 || id != uploadId_) return Next::Continue;
  const uint16_t flags = KmLoadBe16(bytes + 2);
  const uint32_t count = KmLoadBe32(bytes + 12);
  bool ok = count <= length - KMCP_HEADER_SIZE && count <= uploadLimit_ - uploadSize_ &&
            KmWriteAll(uploadFd_, bytes + KMCP_HEADER_SIZE, count);
  uploadSize_ += count;
  if (ok && (flags & FLAG_END_OF_FILE) == 0) return Next::Continue;
  if (ok) {
    ok = ::fsync(uploadFd_) == 0 && ::close(uploadFd_) == 0;
    uploadFd_ = -1;
    ok = ok && ::rename(uploadTemp_.c_str(), uploadTarget_.c_str()) == 0;
    if (!ok) ::unlink(uploadTemp_.c_str());
  } else {
    abortUpload();
  }
  logf(LogLevel::Info, "upload of %s %s (%llu bytes)", kmpeer::LogText(uploadTarget_).c_str(),
       ok ? "stored" : "failed", static_cast<unsigned long long>(uploadSize_));
  return reply(uploadId_, ok ? RCC_SUCCESS : RCC_IO_FAILURE);
}

uint32_t Session::onDownloadFile(const CSCPMessage &request, CSCPMessage *) {
  const std::string &dir = shared_.config.filesDir;
  if (dir.empty()) return RCC_ACCESS_DENIED;
  const std::string name = AreaName(request, VAR_FILE_NAME);
  if (name.empty()) return RCC_BAD_ARGUMENTS;
  struct stat st;
  const int fd = OpenAreaFile(dir + "/" + name, &st);
  if (fd < 0) return RCC_FILE_OPEN_ERROR;
  // The file streamed is the one checked: its descriptor's own name, which
  // no link planted meanwhile can redirect.
  const std::string opened = "/proc/self/fd/" + std::to_string(fd);
  bool sent;
  {
    KmLockGuard send(sendLock_);
    const kmpeer::ContextRef ctx = sendContext();
    sent = SendFileOverKMCP(sessionSocket(), request.GetId(), KmUtf8ToWide(opened).c_str(),
                            ctx.get(), 0, nullptr, nullptr, &sendLock_, sendTimeout());
  }
  ::close(fd);
  return sent ? RCC_SUCCESS : RCC_IO_FAILURE;
}

}  // namespace kmagent::detail
