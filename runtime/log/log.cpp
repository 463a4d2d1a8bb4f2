// kmlog: line building from the catalogue and the sinks.
#include "kmbase/log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "kmbase/fd_io.h"
#include "kmbase/sync.h"
#include "kmbase/text.h"
#include "kmbase/thread_annotations.h"

namespace {

enum class SinkKind { Stderr, File, Syslog, Callback, None };

// syslog(3) keeps the ident pointer it is given; the copy lives here.
constexpr size_t kMaxIdent = 63;

struct Sink {
  SinkKind kind = SinkKind::Stderr;
  int fd = -1;  // File
  KmLogSinkCallback callback = nullptr;
  void *context = nullptr;
  char ident[kMaxIdent + 1] = {};
};

std::atomic<KmLogCatalogue> g_catalogue{nullptr};
KmPlainMutex g_sinkMutex;
// The installed sink; any thread, under g_sinkMutex (held for each line).
Sink g_sink KM_GUARDED_BY(g_sinkMutex);
// Set while this thread is inside a sink, so a nested log call goes to
// stderr instead of deadlocking on g_sinkMutex.
thread_local bool t_inSink = false;

struct Insert {
  enum Kind { Missing, String, Decimal, Hex } kind = Missing;
  const char16_t *text = nullptr;
  uint32_t value = 0;
};

void ReadInserts(const char *letters, va_list args, Insert (&inserts)[KMLOG_MAX_INSERTS]) {
  if (letters == nullptr) return;
  for (int i = 0; i < KMLOG_MAX_INSERTS && letters[i] != 0; ++i) {
    switch (letters[i]) {
      case 's':
        inserts[i].kind = Insert::String;
        inserts[i].text = va_arg(args, const char16_t *);
        break;
      case 'd':
        inserts[i].kind = Insert::Decimal;
        inserts[i].value = uint32_t(va_arg(args, int32_t));
        break;
      case 'x':
        inserts[i].kind = Insert::Hex;
        inserts[i].value = va_arg(args, uint32_t);
        break;
      default:
        return;  // the types of the remaining arguments are unknown
    }
  }
}

// Writes while there is room (keeping one unit for the terminator), always
// counts.
class LineWriter {
 public:
  LineWriter(char16_t *buf, size_t size) : buf_(buf), size_(size) {}
  void Put(char16_t c) {
    if (len_ + 1 < size_) buf_[len_] = c;
    ++len_;
  }
  void Put(const char16_t *s) {
    for (; *s != 0; ++s) Put(*s);
  }
  void PutInsert(const Insert &insert) {
    char16_t number[16];
    switch (insert.kind) {
      case Insert::String:
        Put(insert.text != nullptr ? insert.text : u"(null)");
        break;
      case Insert::Decimal:
        km_snprintf16(number, 16, u"%d", int32_t(insert.value));
        Put(number);
        break;
      case Insert::Hex:
        km_snprintf16(number, 16, u"%x", insert.value);
        Put(number);
        break;
      case Insert::Missing:
        break;
    }
  }
  size_t Finish() {
    if (size_ > 0) buf_[len_ < size_ ? len_ : size_ - 1] = 0;
    return len_;
  }

 private:
  char16_t *buf_;
  size_t size_;
  size_t len_ = 0;
};

size_t BuildLine(char16_t *buf, size_t size, uint32_t id,
                 const Insert (&inserts)[KMLOG_MAX_INSERTS]) {
  LineWriter out(buf, size);
  const KmLogCatalogue catalogue = g_catalogue.load(std::memory_order_acquire);
  const char16_t *text = catalogue != nullptr ? catalogue(id) : nullptr;
  if (text == nullptr) {
    char16_t head[64];
    km_snprintf16(head, 64, u"Message %u is not in the log catalogue", unsigned(id));
    out.Put(head);
    bool first = true;
    for (const Insert &insert : inserts) {
      if (insert.kind == Insert::Missing) break;
      out.Put(first ? u"; inserts: " : u", ");
      out.PutInsert(insert);
      first = false;
    }
    out.Put(u"\r\n");
    return out.Finish();
  }
  for (const char16_t *p = text; *p != 0; ++p) {
    if (*p == u'%' && p[1] >= u'1' && p[1] <= u'9' &&
        inserts[p[1] - u'1'].kind != Insert::Missing) {
      out.PutInsert(inserts[p[1] - u'1']);
      ++p;
    } else {
      out.Put(*p);
    }
  }
  return out.Finish();
}

// The line in UTF-8 with the final line end removed and other control
// characters made spaces, so an insert cannot forge a line of its own.
std::string TextBody(const char16_t *line) {
  size_t len = km_strlen16(line);
  while (len > 0 && (line[len - 1] == u'\r' || line[len - 1] == u'\n')) --len;
  std::u16string clean(line, len);
  for (char16_t &c : clean) {
    if (c < 0x20 && c != u'\t') c = u' ';
  }
  return KmWideToUtf8(clean);
}

// "2026-12-09 14:03:07.123 ERROR   text\n" (local time).
std::string TextLine(uint16_t type, const char16_t *line) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char head[64];
  snprintf(head, sizeof(head), "%04d-%02d-%02d %02d:%02d:%02d.%03ld %-7s ", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
           long(now.tv_nsec / 1000000), kmlog_severity_name(type));
  std::string result(head);
  result += TextBody(line);
  result += '\n';
  return result;
}

// Nowhere is left to report a failing log write.
void WriteAll(int fd, const std::string &text) { KmWriteAll(fd, text.data(), text.size()); }

int SyslogPriority(uint16_t type) {
  if (type & KMLOG_ERROR) return LOG_ERR;
  if (type & KMLOG_WARNING) return LOG_WARNING;
  if (type & KMLOG_AUDIT_FAILURE) return LOG_NOTICE;
  if (type & KMLOG_AUDIT_SUCCESS) return LOG_INFO;
  if (type & KMLOG_DEBUG) return LOG_DEBUG;
  return LOG_INFO;
}

// Leaves the current sink (closing what it holds) before another is set.
void CloseSink() KM_REQUIRES(g_sinkMutex) {
  if (g_sink.kind == SinkKind::File && g_sink.fd >= 0) ::close(g_sink.fd);
  if (g_sink.kind == SinkKind::Syslog) closelog();
  g_sink = Sink{};
}

void Deliver(uint32_t id, uint16_t type, const char16_t *line) {
  if (t_inSink) {
    WriteAll(STDERR_FILENO, TextLine(type, line));
    return;
  }
  KmPlainLockGuard lock(g_sinkMutex);
  t_inSink = true;
  switch (g_sink.kind) {
    case SinkKind::Stderr:
      WriteAll(STDERR_FILENO, TextLine(type, line));
      break;
    case SinkKind::File:
      WriteAll(g_sink.fd, TextLine(type, line));
      break;
    case SinkKind::Syslog:  // syslog adds its own time stamp and priority
      syslog(SyslogPriority(type), "%s", TextBody(line).c_str());
      break;
    case SinkKind::Callback:
      g_sink.callback(id, type, line, g_sink.context);
      break;
    case SinkKind::None:
      break;
  }
  t_inSink = false;
}

}  // namespace

void kmlog_vwrite(uint32_t id, uint16_t type, const char *letters, va_list args) {
  Insert inserts[KMLOG_MAX_INSERTS];
  ReadInserts(letters, args, inserts);
  char16_t line[KMLOG_MAX_LINE];
  const size_t len = BuildLine(line, KMLOG_MAX_LINE, id, inserts);
  if (len >= KMLOG_MAX_LINE) {
    // Cut: keep the line end (and never a lone high surrogate before it).
    size_t end = KMLOG_MAX_LINE - 3;
    if (line[end - 1] >= 0xD800 && line[end - 1] <= 0xDBFF) --end;
    line[end] = u'\r';
    line[end + 1] = u'\n';
    line[end + 2] = 0;
  }
  Deliver(id, type, line);
}

void kmlog_write(uint32_t id, uint16_t type, const char *letters, ...) {
  va_list args;
  va_start(args, letters);
  kmlog_vwrite(id, type, letters, args);
  va_end(args);
}

size_t kmlog_vbuild_line(char16_t *buf, size_t size, uint32_t id, const char *letters,
                         va_list args) {
  Insert inserts[KMLOG_MAX_INSERTS];
  ReadInserts(letters, args, inserts);
  return BuildLine(buf, size, id, inserts);
}

size_t kmlog_build_line(char16_t *buf, size_t size, uint32_t id, const char *letters, ...) {
  va_list args;
  va_start(args, letters);
  const size_t len = kmlog_vbuild_line(buf, size, id, letters, args);
  va_end(args);
  return len;
}

void kmlog_set_catalogue(KmLogCatalogue lookup) {
  g_catalogue.store(lookup, std::memory_order_release);
}

bool kmlog_set_catalogue_if_none(KmLogCatalogue lookup) {
  KmLogCatalogue expected = nullptr;
  return g_catalogue.compare_exchange_strong(expected, lookup, std::memory_order_acq_rel) ||
         expected == lookup;
}

KmLogCatalogue kmlog_get_catalogue() { return g_catalogue.load(std::memory_order_acquire); }

void kmlog_set_sink_stderr() {
  KmPlainLockGuard lock(g_sinkMutex);
  CloseSink();
}

bool kmlog_set_sink_file(const char *path) {
  if (path == nullptr) return false;
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  KmPlainLockGuard lock(g_sinkMutex);
  CloseSink();
  g_sink.kind = SinkKind::File;
  g_sink.fd = fd;
  return true;
}

void kmlog_set_sink_syslog(const char *ident, int facility) {
  KmPlainLockGuard lock(g_sinkMutex);
  CloseSink();
  g_sink.kind = SinkKind::Syslog;
  snprintf(g_sink.ident, sizeof(g_sink.ident), "%s", ident != nullptr ? ident : "kmsrv");
  openlog(g_sink.ident, LOG_PID, facility);
}

void kmlog_set_sink_callback(KmLogSinkCallback callback, void *context) {
  KmPlainLockGuard lock(g_sinkMutex);
  CloseSink();
  if (callback == nullptr) return;  // back to stderr
  g_sink.kind = SinkKind::Callback;
  g_sink.callback = callback;
  g_sink.context = context;
}

void kmlog_set_sink_none() {
  KmPlainLockGuard lock(g_sinkMutex);
  CloseSink();
  g_sink.kind = SinkKind::None;
}

const char *kmlog_severity_name(uint16_t type) {
  if (type & KMLOG_ERROR) return "ERROR";
  if (type & KMLOG_WARNING) return "WARNING";
  if (type & KMLOG_AUDIT_FAILURE) return "AUDIT-FAIL";
  if (type & KMLOG_AUDIT_SUCCESS) return "AUDIT-OK";
  if (type & KMLOG_DEBUG) return "DEBUG";
  return "INFO";
}
