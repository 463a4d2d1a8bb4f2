// RefCountObject: an object shared by counted references. The creator holds
// the first reference; whoever drops the last one deletes the object.
// incRefCount/decRefCount may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "kmbase/export.h"

class KMSRV_EXPORT RefCountObject {
 public:
  RefCountObject() = default;
  RefCountObject(const RefCountObject &) = delete;
  RefCountObject &operator=(const RefCountObject &) = delete;

  void incRefCount() { refCount_.fetch_add(1, std::memory_order_relaxed); }
  // Drops one reference; deletes the object when it was the last.
  void decRefCount() {
    if (refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete this;
    }
  }
  uint32_t getRefCount() const { return refCount_.load(std::memory_order_relaxed); }

 protected:
  virtual ~RefCountObject() = default;

 private:
  std::atomic<uint32_t> refCount_{1};
};
