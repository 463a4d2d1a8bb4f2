// Debug output: DbgPrintf, DbgPrintf2, WriteLogOther and the exported globals.
#include "kmsrv/debug.h"

#include "kmbase/log.h"
#include "kmbase/text.h"
#include "kmsrv/messages.h"

std::atomic<int32_t> g_nDebugLevel{0};
uint32_t g_dwFlags = 2;

namespace {

constexpr uint16_t kDebugEventType = 0x80;

void LogFormatted(uint32_t message, uint16_t type, const char16_t *format, va_list args) {
  char16_t text[KM_DEBUG_BUFFER_SIZE];
  km_vsnprintf16(text, KM_DEBUG_BUFFER_SIZE, format, args);
  KmEnsureServerCatalogue();
  kmlog_write(message, type, "s", text);
}

}  // namespace

void DbgPrintf2(int level, const char16_t *format, va_list args) {
  if (format == nullptr) return;
  if (level >= 0 && level > g_nDebugLevel.load(std::memory_order_relaxed)) return;
  LogFormatted(MSG_DEBUG, kDebugEventType, format, args);
}

void DbgPrintf(int level, const char16_t *format, ...) {
  va_list args;
  va_start(args, format);
  DbgPrintf2(level, format, args);
  va_end(args);
}

void WriteLogOther(uint16_t type, const char16_t *format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  LogFormatted(MSG_OTHER, type, format, args);
  va_end(args);
}
