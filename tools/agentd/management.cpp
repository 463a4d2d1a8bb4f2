// Management requests of the agent: upgrade (recorded, never installed),
// the served configuration file, the policy store. The stores' helpers run
// on any thread; the Session handlers on the session thread.
#include "management.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <memory>

#include "agent_session.h"
#include "kmbase/fd_io.h"
#include "kmbase/message.h"
#include "kmbase/text.h"
#include "kmsrv/protocol.h"
#include "kmsrv/result_codes.h"
#include "options.h"

namespace kmagent::detail {
namespace {

// Reads at most limit + 1 bytes of an open file: more than limit tells the
// caller the file is too large without reading all of it.
bool ReadBounded(int fd, size_t limit, std::string *out) {
  out->assign(limit + 1, '\0');
  const ssize_t got = KmReadFull(fd, out->data(), out->size());
  if (got < 0) return false;
  out->resize(static_cast<size_t>(got));
  return true;
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

struct DirCloser {
  void operator()(DIR *d) const { ::closedir(d); }
};

// The policy file of one directory entry: a regular file (not followed
// through a link) whose name is a GUID text.
bool ReadPolicyFile(int dirFd, const char *name, PolicyRecord *record, std::string *error) {
  const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    *error = KmErrorText(errno);
    return false;
  }
  FdCloser closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "not a regular file";
    return false;
  }
  std::string text;
  if (!ReadBounded(fd, kMaxPolicyFileSize, &text)) {
    *error = KmErrorText(errno);
    return false;
  }
  if (text.size() > kMaxPolicyFileSize) {
    *error = "larger than " + std::to_string(kMaxPolicyFileSize) + " bytes";
    return false;
  }
  return ParsePolicyText(text, record, error);
}

}  // namespace

std::optional<PolicyGuid> ParseGuidText(std::string_view text) {
  PolicyGuid guid{};
  if (!KmGuidFromText(text, guid.data())) return std::nullopt;
  return guid;
}

bool ParsePolicyText(std::string_view text, PolicyRecord *record, std::string *error) {
  bool haveType = false;
  record->type = 0;
  record->server.reset();
  size_t lineNo = 0;
  while (!text.empty()) {
    lineNo++;
    const size_t nl = text.find('\n');
    const std::string_view line = kmpeer::Trim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.empty() || line.front() == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      *error = "line " + std::to_string(lineNo) + ": expected key = value";
      return false;
    }
    const std::string_view key = kmpeer::Trim(line.substr(0, eq));
    const std::string_view value = kmpeer::Trim(line.substr(eq + 1));
    if (key == "type") {
      unsigned number = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (haveType || value.empty() || ec != std::errc() || end != value.data() + value.size() ||
          number > 65535) {
        *error = "line " + std::to_string(lineNo) + ": type must be given once, 0 to 65535";
        return false;
      }
      record->type = static_cast<uint16_t>(number);
      haveType = true;
    } else if (key == "server") {
      if (record->server.has_value() || value.size() > kMaxPolicyServer) {
        *error = "line " + std::to_string(lineNo) + ": server must be given once, at most " +
                 std::to_string(kMaxPolicyServer) + " bytes";
        return false;
      }
      record->server = std::string(value);
    }
  }
  return true;
}

std::string PolicyText(const PolicyRecord &record) {
  std::string text = "type = " + std::to_string(record.type) + "\n";
  if (record.server.has_value()) text += "server = " + *record.server + "\n";
  return text;
}

bool ListPolicies(const std::string &dir, std::vector<PolicyRecord> *policies,
                  std::vector<std::string> *skipped, std::string *error) {
  policies->clear();
  skipped->clear();
  std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
  if (d == nullptr) {
    *error = "cannot read policy store " + dir + ": " + KmErrorText(errno);
    return false;
  }
  const int dirFd = ::dirfd(d.get());
  while (const dirent *entry = ::readdir(d.get())) {
    const std::optional<PolicyGuid> guid = ParseGuidText(entry->d_name);
    if (!guid) continue;
    PolicyRecord record;
    record.guid = *guid;
    std::string why;
    if (!ReadPolicyFile(dirFd, entry->d_name, &record, &why)) {
      skipped->push_back(std::string(entry->d_name) + ": " + why);
      continue;
    }
    if (policies->size() == kMaxPolicies) {
      *error = "policy store " + dir + " holds more than " + std::to_string(kMaxPolicies) +
               " policies";
      policies->clear();
      return false;
    }
    policies->push_back(std::move(record));
  }
  std::sort(policies->begin(), policies->end(),
            [](const PolicyRecord &a, const PolicyRecord &b) { return a.guid < b.guid; });
  return true;
}

uint32_t RemovePolicy(const std::string &dir, const PolicyGuid &guid) {
  std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
  if (d == nullptr) return RCC_IO_FAILURE;
  const int dirFd = ::dirfd(d.get());
  while (const dirent *entry = ::readdir(d.get())) {
    const std::optional<PolicyGuid> named = ParseGuidText(entry->d_name);
    if (!named || *named != guid) continue;
    struct stat st;
    if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    if (::unlinkat(dirFd, entry->d_name, 0) == 0) return RCC_SUCCESS;
    // Another session removed it first.
    return errno == ENOENT ? RCC_UNKNOWN_PARAMETER : RCC_FILE_DELETE_FAILED;
  }
  return RCC_UNKNOWN_PARAMETER;
}

uint32_t ReadServedConfig(const std::string &path, std::string *bytes) {
  bytes->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return RCC_FILE_OPEN_ERROR;
  FdCloser closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return RCC_FILE_OPEN_ERROR;
  if (!ReadBounded(fd, kMaxServedConfigSize, bytes)) return RCC_IO_FAILURE;
  if (bytes->size() > kMaxServedConfigSize) {
    bytes->clear();
    return RCC_OUT_OF_RESOURCES;
  }
  return RCC_SUCCESS;
}

bool ReplaceFileAtomically(const std::string &path, std::string_view bytes, std::string *error) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = dir + "/." + base + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot create a temporary file in " + dir + ": " + KmErrorText(errno);
    return false;
  }
  struct stat old;
  const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0600;
  bool ok =
      ::fchmod(fd, mode) == 0 && KmWriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
  const int err = errno;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot replace " + path + ": " + KmErrorText(ok ? errno : err);
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself reaches the disk with the directory.
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Session handlers
// ---------------------------------------------------------------------------

uint32_t Session::onUpgradeAgent(const CSCPMessage &request, CSCPMessage *) {
  const std::string &dir = shared_.config.filesDir;
  if (dir.empty()) return RCC_ACCESS_DENIED;
  if (!request.IsVariableExist(VAR_FILE_NAME)) return RCC_MALFORMED_COMMAND;
  const std::string name = AreaName(request, VAR_FILE_NAME);
  if (name.empty()) return RCC_BAD_ARGUMENTS;
  struct stat st;
  const int package = OpenAreaFile(dir + "/" + name, &st);
  if (package < 0) {
    logf(LogLevel::Info, "upgrade refused: no package %s in the file area",
         kmpeer::LogText(name).c_str());
    return RCC_FILE_OPEN_ERROR;
  }
  ::close(package);
  char stamp[32];
  const time_t now = ::time(nullptr);
  tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%SZ", &utc);
  const std::string line = std::string(stamp) + " session " + std::to_string(number()) +
                           " package " + name + " " + std::to_string(st.st_size) + " bytes\n";
  const std::string record = dir + "/" + kUpgradeRecordName;
  const int fd = ::open(record.c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat recordSt;
  // One write per line: lines of concurrent sessions do not interleave.
  const bool written = fd >= 0 && ::fstat(fd, &recordSt) == 0 && S_ISREG(recordSt.st_mode) &&
                       KmWriteAll(fd, line.data(), line.size()) && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!written) {
    logf(LogLevel::Error, "cannot record upgrade in %s", record.c_str());
    return RCC_IO_FAILURE;
  }
  logf(LogLevel::Info,
       "upgrade requested with package %s (%lld bytes); recorded in %s, nothing installed",
       kmpeer::LogText(name).c_str(), static_cast<long long>(st.st_size), kUpgradeRecordName);
  return RCC_SUCCESS;
}

uint32_t Session::onGetAgentConfig(const CSCPMessage &, CSCPMessage *reply) {
  const std::string &path = shared_.config.servedConfig;
  if (path.empty()) return RCC_ACCESS_DENIED;
  std::string bytes;
  const uint32_t rcc = ReadServedConfig(path, &bytes);
  if (rcc != RCC_SUCCESS) return rcc;
  reply->SetVariable(VAR_CONFIG_FILE, reinterpret_cast<const uint8_t *>(bytes.data()),
                     static_cast<uint32_t>(bytes.size()));
  return RCC_SUCCESS;
}

uint32_t Session::onUpdateAgentConfig(const CSCPMessage &request, CSCPMessage *) {
  const std::string &path = shared_.config.servedConfig;
  if (path.empty()) return RCC_ACCESS_DENIED;
  KmcpFieldType type;
  if (!request.GetVariableType(VAR_CONFIG_FILE, &type) || type != KmcpFieldType::Binary)
    return RCC_MALFORMED_COMMAND;
  const std::span<const uint8_t> bytes = request.GetVariableBinaryView(VAR_CONFIG_FILE);
  if (bytes.size() > kMaxServedConfigSize) return RCC_OUT_OF_RESOURCES;
  std::string error;
  if (!ReplaceFileAtomically(
          path, std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()),
          &error)) {
    logf(LogLevel::Error, "%s", error.c_str());
    return RCC_IO_FAILURE;
  }
  logf(LogLevel::Info, "configuration %s replaced (%zu bytes)", path.c_str(), bytes.size());
  return RCC_SUCCESS;
}

uint32_t Session::onGetPolicyInventory(const CSCPMessage &, CSCPMessage *reply) {
  const std::string &dir = shared_.config.policiesDir;
  if (dir.empty()) return RCC_ACCESS_DENIED;
  std::vector<PolicyRecord> policies;
  std::vector<std::string> skipped;
  std::string error;
  if (!ListPolicies(dir, &policies, &skipped, &error)) {
    logf(LogLevel::Error, "%s", error.c_str());
    return RCC_OUT_OF_RESOURCES;
  }
  for (const std::string &s : skipped)
    logf(LogLevel::Info, "broken policy file skipped: %s", s.c_str());
  reply->SetVariable(VAR_NUM_POLICIES, static_cast<uint32_t>(policies.size()));
  for (size_t i = 0; i < policies.size(); i++) {
    const uint32_t base = VAR_LIST_BASE + 10 * static_cast<uint32_t>(i);
    reply->SetVariable(base, policies[i].guid.data(), static_cast<uint32_t>(policies[i].guid.size()));
    reply->SetVariable(base + 1, policies[i].type);
    if (policies[i].server.has_value())
      reply->SetVariable(base + 2, KmAnsiToWide(*policies[i].server).c_str());
  }
  return RCC_SUCCESS;
}

uint32_t Session::onUninstallPolicy(const CSCPMessage &request, CSCPMessage *) {
  const std::string &dir = shared_.config.policiesDir;
  if (dir.empty()) return RCC_ACCESS_DENIED;
  KmcpFieldType type;
  if (!request.GetVariableType(VAR_POLICY_GUID, &type)) return RCC_MALFORMED_COMMAND;
  PolicyGuid guid{};
  if (type != KmcpFieldType::Binary ||
      request.GetVariableBinary(VAR_POLICY_GUID, nullptr, 0) != guid.size())
    return RCC_BAD_ARGUMENTS;
  request.GetVariableBinary(VAR_POLICY_GUID, guid.data(), static_cast<uint32_t>(guid.size()));
  const uint32_t rcc = RemovePolicy(dir, guid);
  logf(LogLevel::Info, "uninstall of policy %s: %s", KmGuidToText(guid.data()).c_str(),
       rcc == RCC_SUCCESS             ? "removed"
       : rcc == RCC_UNKNOWN_PARAMETER ? "no such policy"
                                      : "failed");
  return rcc;
}

}  // namespace kmagent::detail
