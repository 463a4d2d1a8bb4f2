#include "alloc_faults.h"

#include <cstddef>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
}

namespace {

bool g_armed = false;
int g_skip = 0;
int g_fail = 0;
int g_failed = 0;

// True when this call is to fail.
bool takeFault() {
  if (!g_armed) return false;
  if (g_skip > 0) {
    --g_skip;
    return false;
  }
  if (g_fail > 0) {
    --g_fail;
    ++g_failed;
    return true;
  }
  return false;
}

}  // namespace

// Default visibility: the linker refuses a hidden wrapper when a shared
// object in the link (the sanitizer runtime) references the wrapped function.
#define KM_WRAPPER extern "C" __attribute__((visibility("default")))

KM_WRAPPER void *__wrap_malloc(size_t size) { return takeFault() ? nullptr : __real_malloc(size); }
KM_WRAPPER void *__wrap_calloc(size_t count, size_t size) {
  return takeFault() ? nullptr : __real_calloc(count, size);
}
// A failing realloc leaves the block alone, as the real one does.
KM_WRAPPER void *__wrap_realloc(void *block, size_t size) {
  return takeFault() ? nullptr : __real_realloc(block, size);
}

namespace alloc_faults {

Scope::Scope(int skip, int fail) {
  g_skip = skip;
  g_fail = fail;
  g_failed = 0;
  g_armed = true;
}

Scope::~Scope() { g_armed = false; }

int Scope::failed() const { return g_failed; }

}  // namespace alloc_faults
