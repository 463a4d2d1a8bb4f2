// RefCountObject: an object shared by counted references. The creator holds
// the first reference; whoever drops the last one deletes the object.
// incRefCount/decRefCount may be called from any thread. KmRef holds one
// reference and drops it when it goes, so no code counts by hand.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

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

// One counted reference to a T (a RefCountObject), dropped when the holder is
// destroyed, reset or assigned. Move-only: a second reference is taken
// explicitly with Share. A holder belongs to one thread at a time; the object
// may be shared by holders on many threads.
template <typename T>
class KmRef {
 public:
  KmRef() = default;
  // Takes over a reference the caller already holds (as a creator does).
  explicit KmRef(T *adopted) : p_(adopted) {}
  // A new reference to p (null gives an empty holder).
  static KmRef Share(T *p) {
    if (p != nullptr) p->incRefCount();
    return KmRef(p);
  }
  KmRef(KmRef &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  KmRef &operator=(KmRef &&other) noexcept {
    if (this != &other) reset(std::exchange(other.p_, nullptr));
    return *this;
  }
  KmRef(const KmRef &) = delete;
  KmRef &operator=(const KmRef &) = delete;
  ~KmRef() { reset(); }

  // Drops the reference held (if any) and takes over `adopted`.
  void reset(T *adopted = nullptr) {
    T *old = std::exchange(p_, adopted);
    if (old != nullptr) old->decRefCount();
  }
  // Gives the reference up to the caller, who must drop it.
  T *release() { return std::exchange(p_, nullptr); }

  T *get() const { return p_; }
  T *operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  bool operator==(const T *p) const { return p_ == p; }

 private:
  T *p_ = nullptr;
};
