#include "json_writer.h"

#include <cstdio>
#include <stdexcept>

#include "kmbase/text.h"

namespace kmquery {

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when the bytes there
// are not one (overlong forms, surrogates and values above U+10FFFF count
// as invalid).
size_t Utf8SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  size_t n;
  uint32_t cp;
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; k++) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return n;
}

}  // namespace

std::string JsonWriter::quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t n = Utf8SequenceLength(text, i);
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
