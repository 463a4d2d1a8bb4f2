#include "json_writer.h"

#include <cstdio>
#include <stdexcept>

#include "kmbase/text.h"

namespace kmquery {

std::string JsonWriter::quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t n = KmUtf8SequenceLength(text, i);
      if (n == 0) {
        out += "\\ufffd";
        i++;
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof(buf), "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
    i++;
  }
  out += '"';
  return out;
}

void JsonWriter::beforeValue() {
  if (stack_.empty()) {
    if (!out_.empty()) throw std::logic_error("JsonWriter: a second top-level value");
    return;
  }
  Level &level = stack_.back();
  if (level.isObject) {
    if (!level.keyPending) throw std::logic_error("JsonWriter: object member without a key");
    level.keyPending = false;
    return;
  }
  if (!level.empty) out_ += ',';
  level.empty = false;
}

JsonWriter &JsonWriter::beginObject() {
  beforeValue();
  out_ += '{';
  stack_.push_back({true});
  return *this;
}

JsonWriter &JsonWriter::endObject() {
  if (stack_.empty() || !stack_.back().isObject || stack_.back().keyPending)
    throw std::logic_error("JsonWriter: endObject out of place");
  stack_.pop_back();
  out_ += '}';
  return *this;
}

JsonWriter &JsonWriter::beginArray() {
  beforeValue();
  out_ += '[';
  stack_.push_back({false});
  return *this;
}

JsonWriter &JsonWriter::endArray() {
  if (stack_.empty() || stack_.back().isObject)
    throw std::logic_error("JsonWriter: endArray out of place");
  stack_.pop_back();
  out_ += ']';
  return *this;
}

JsonWriter &JsonWriter::key(std::string_view name) {
  if (stack_.empty() || !stack_.back().isObject || stack_.back().keyPending)
    throw std::logic_error("JsonWriter: key out of place");
  Level &level = stack_.back();
  if (!level.empty) out_ += ',';
  level.empty = false;
  level.keyPending = true;
  out_ += quote(name);
  out_ += ':';
  return *this;
}

JsonWriter &JsonWriter::value(std::string_view text) {
  beforeValue();
  out_ += quote(text);
  return *this;
}

JsonWriter &JsonWriter::value(const std::u16string &text) { return value(KmWideToUtf8(text)); }

JsonWriter &JsonWriter::value(int64_t number) {
  beforeValue();
  out_ += std::to_string(number);
  return *this;
}

JsonWriter &JsonWriter::value(uint64_t number) {
  beforeValue();
  out_ += std::to_string(number);
  return *this;
}

JsonWriter &JsonWriter::value(bool flag) {
  beforeValue();
  out_ += flag ? "true" : "false";
  return *this;
}

JsonWriter &JsonWriter::null() {
  beforeValue();
  out_ += "null";
  return *this;
}

}  // namespace kmquery
