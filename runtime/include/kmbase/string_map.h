// StringMap: text keys to text values (char16_t), e.g. the attributes a
// device driver is given. Keys compare by code unit, case-sensitively;
// iteration is in key order. fillMessage/loadMessage carry a map in a run of
// message fields chosen by the caller (layout in docs/protocol.md).
//
// Thread safety: a plain value owned by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "kmbase/export.h"

class CSCPMessage;

class KMSRV_EXPORT StringMap {
 public:
  using Map = std::map<std::u16string, std::u16string, std::less<>>;

  StringMap();
  ~StringMap();
  StringMap(StringMap &&) noexcept;
  StringMap &operator=(StringMap &&) noexcept;
  StringMap(const StringMap &) = delete;
  StringMap &operator=(const StringMap &) = delete;

  // Adds or replaces an entry. A null key is ignored; a null value stores "".
  void set(const char16_t *key, const char16_t *value);
  // The value, or null when the key is missing. The pointer stays valid until
  // that entry is replaced or removed.
  const char16_t *get(const char16_t *key) const;
  // True when the key was there.
  bool remove(const char16_t *key);
  uint32_t size() const { return static_cast<uint32_t>(map_.size()); }
  void clear() { map_.clear(); }

  Map::const_iterator begin() const { return map_.begin(); }
  Map::const_iterator end() const { return map_.end(); }

  // Writes the entry count to countId (32-bit) and entry i as two strings:
  // key at baseId + 2i, value at baseId + 2i + 1.
  void fillMessage(CSCPMessage &msg, uint32_t countId, uint32_t baseId) const;
  // Replaces this map with the one fillMessage wrote. False, with the map
  // unchanged, when the count is missing or not 32-bit, names more entries
  // than the message holds fields for, runs past the last field id, or an
  // entry's key or value is missing or not a string.
  bool loadMessage(const CSCPMessage &msg, uint32_t countId, uint32_t baseId);

 private:
  Map map_;
};
