// StructArray<T>: a counted block of plain records handed to a caller, such
// as the parameter and table descriptions an agent reports. The records live
// in one malloc'd block that the array owns; the array itself is created with
// new and deleted by its owner, which frees the block.
//
// Thread safety: a plain value owned by one thread at a time.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>

template <typename T>
class StructArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "StructArray holds plain records only (they are freed, not destroyed)");

 public:
  // Takes ownership of `data`, a malloc'd block of `count` records (null
  // only when count is 0).
  StructArray(uint32_t count, T *data) : count_(data != nullptr ? count : 0), data_(data) {}
  ~StructArray() { std::free(data_); }
  StructArray(const StructArray &) = delete;
  StructArray &operator=(const StructArray &) = delete;

  // A new array of `count` zero-filled records (count 0 gives an empty
  // array, not null), or null when the block cannot be allocated.
  static StructArray *create(uint32_t count) {
    void *block = std::calloc(count == 0 ? 1 : count, sizeof(T));  // calloc checks the product
    if (block == nullptr) return nullptr;
    auto *array = new (std::nothrow) StructArray(count, static_cast<T *>(block));
    if (array == nullptr) std::free(block);
    return array;
  }

  uint32_t size() const { return count_; }
  T *data() { return data_; }
  const T *data() const { return data_; }
  // Record i, or null when i is out of range.
  T *get(uint32_t i) { return i < count_ ? data_ + i : nullptr; }
  const T *get(uint32_t i) const { return i < count_ ? data_ + i : nullptr; }
  T &operator[](uint32_t i) { return data_[i]; }
  const T &operator[](uint32_t i) const { return data_[i]; }

 private:
  uint32_t count_;
  T *data_;
};
