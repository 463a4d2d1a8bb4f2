// StringMap: entries in a std::map and their layout in a message.

#include "kmbase/string_map.h"

#include "kmbase/message.h"

StringMap::StringMap() = default;
StringMap::~StringMap() = default;
StringMap::StringMap(StringMap &&) noexcept = default;
StringMap &StringMap::operator=(StringMap &&) noexcept = default;

void StringMap::set(const char16_t *key, const char16_t *value) {
  if (key == nullptr) return;
  const char16_t *v = value != nullptr ? value : u"";
  auto it = map_.find(key);
  if (it != map_.end()) {
    it->second = v;
  } else {
    map_.emplace(key, v);
  }
}

const char16_t *StringMap::get(const char16_t *key) const {
  if (key == nullptr) return nullptr;
  auto it = map_.find(key);
  return it != map_.end() ? it->second.c_str() : nullptr;
}

bool StringMap::remove(const char16_t *key) {
  if (key == nullptr) return false;
  auto it = map_.find(key);
  if (it == map_.end()) return false;
  map_.erase(it);
  return true;
}

void StringMap::fillMessage(CSCPMessage &msg, uint32_t countId, uint32_t baseId) const {
  msg.SetVariable(countId, static_cast<uint32_t>(map_.size()));
  uint32_t id = baseId;
  for (const auto &[key, value] : map_) {
    msg.SetVariable(id++, key.data(), key.size());
    msg.SetVariable(id++, value.data(), value.size());
  }
}

namespace {

bool ReadString(const CSCPMessage &msg, uint32_t id, std::u16string *out) {
  KmcpFieldType type;
  if (!msg.GetVariableType(id, &type) || type != KmcpFieldType::String) return false;
  out->resize(msg.GetVariableStrLength(id));
  msg.GetVariableStr(id, out->data(), static_cast<uint32_t>(out->size() + 1));
  return true;
}

}  // namespace

bool StringMap::loadMessage(const CSCPMessage &msg, uint32_t countId, uint32_t baseId) {
  KmcpFieldType type;
  if (!msg.GetVariableType(countId, &type) || type != KmcpFieldType::Int32) return false;
  uint64_t count = msg.GetVariableLong(countId);
  // Two fields per entry must really be there, and their ids must not wrap.
  if (2 * count > msg.GetNumFields() || baseId + 2 * count > uint64_t{1} << 32) return false;
  Map loaded;
  std::u16string key;
  std::u16string value;
  for (uint64_t i = 0; i < count; ++i) {
    uint32_t id = static_cast<uint32_t>(baseId + 2 * i);
    if (!ReadString(msg, id, &key) || !ReadString(msg, id + 1, &value)) return false;
    loaded.insert_or_assign(key, value);
  }
  map_.swap(loaded);
  return true;
}
