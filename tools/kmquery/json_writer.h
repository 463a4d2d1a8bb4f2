// JsonWriter: builds one JSON text for kmquery's --json output.
//
// Values are appended in document order; the writer puts the commas and
// checks that keys appear only inside objects. Strings are escaped so that
// any input, including bytes that are not valid UTF-8 (they become U+FFFD)
// and control characters from a peer, yields valid JSON.
//
// A writer is a plain value used by one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kmquery {

class JsonWriter {
 public:
  JsonWriter &beginObject();
  JsonWriter &endObject();
  JsonWriter &beginArray();
  JsonWriter &endArray();
  // The key of the next member; only inside an object.
  JsonWriter &key(std::string_view name);
  JsonWriter &value(std::string_view text);
  JsonWriter &value(const char *text) { return value(std::string_view(text)); }
  JsonWriter &value(const std::u16string &text);
  JsonWriter &value(int64_t number);
  JsonWriter &value(uint64_t number);
  JsonWriter &value(int32_t number) { return value(static_cast<int64_t>(number)); }
  JsonWriter &value(uint32_t number) { return value(static_cast<uint64_t>(number)); }
  JsonWriter &value(bool flag);
  JsonWriter &null();

  // The text so far. Complete once every object and array has been closed.
  const std::string &text() const { return out_; }
  bool complete() const { return stack_.empty() && !out_.empty(); }

  // `text` as a JSON string literal, quotes included.
  static std::string quote(std::string_view text);

 private:
  // Writes the separator that goes before a value or a key.
  void beforeValue();

  struct Level {
    bool isObject;
    bool empty = true;
    bool keyPending = false;
  };
  std::string out_;
  std::vector<Level> stack_;
};

}  // namespace kmquery
