// A small strict JSON parser for the CLI tests: reads kmquery's --json
// output back so that tests check real values, and fails on anything that is
// not valid JSON (control characters in strings, bad escapes, trailing
// text, invalid UTF-8 is not checked beyond what the escapes produce).
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kmtest {

struct Json {
  enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<Json> array;
  std::map<std::string, Json> object;

  // The member `key` of an object, or a null value when there is none.
  const Json &operator[](const std::string &key) const {
    static const Json none;
    auto it = object.find(key);
    return it == object.end() ? none : it->second;
  }
  const Json &operator[](size_t index) const {
    static const Json none;
    return index < array.size() ? array[index] : none;
  }
  bool isNull() const { return type == Type::Null; }
};

class JsonParser {
 public:
  // The value of `text`, or nullopt with *error set when it is not exactly
  // one JSON value (surrounding white space allowed).
  static std::optional<Json> parse(std::string_view text, std::string *error) {
    JsonParser p(text);
    Json value;
    if (!p.parseValue(&value, 0) || (p.skipSpace(), p.pos_ != text.size())) {
      *error = p.error_.empty() ? "trailing text at " + std::to_string(p.pos_) : p.error_;
      return std::nullopt;
    }
    return value;
  }

 private:
  // Deeper nesting than kmquery ever writes means a broken document.
  static constexpr int kMaxDepth = 32;

  explicit JsonParser(std::string_view text) : text_(text) {}

  bool fail(const std::string &why) {
    if (error_.empty()) error_ = why + " at " + std::to_string(pos_);
    return false;
  }
  void skipSpace() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\n' || text_[pos_] == '\r' || text_[pos_] == '\t'))
      pos_++;
  }
  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return fail("bad literal");
    pos_ += word.size();
    return true;
  }

  bool parseValue(Json *v, int depth) {
    if (depth > kMaxDepth) return fail("too deep");
    skipSpace();
    if (pos_ >= text_.size()) return fail("unexpected end");
    const char c = text_[pos_];
    if (c == '{') return parseObject(v, depth);
    if (c == '[') return parseArray(v, depth);
    if (c == '"') {
      v->type = Json::Type::String;
      return parseString(&v->string);
    }
    if (c == 't') {
      v->type = Json::Type::Bool;
      v->boolean = true;
      return literal("true");
    }
    if (c == 'f') {
      v->type = Json::Type::Bool;
      return literal("false");
    }
    if (c == 'n') return literal("null");
    return parseNumber(v);
  }

  bool parseNumber(Json *v) {
    const size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') pos_++;
    if (pos_ >= text_.size() || !isdigit(static_cast<unsigned char>(text_[pos_])))
      return fail("bad number");
    if (text_[pos_] == '0' && pos_ + 1 < text_.size() &&
        isdigit(static_cast<unsigned char>(text_[pos_ + 1])))
      return fail("leading zero");
    while (pos_ < text_.size() &&
           (isdigit(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '.' ||
            text_[pos_] == 'e' || text_[pos_] == 'E' || text_[pos_] == '+' || text_[pos_] == '-'))
      pos_++;
    v->type = Json::Type::Number;
    v->number = std::strtod(std::string(text_.substr(start, pos_ - start)).c_str(), nullptr);
    return true;
  }

  static void appendUtf8(std::string *out, uint32_t cp) {
    if (cp < 0x80) {
      *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out += static_cast<char>(0xC0 | (cp >> 6));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out += static_cast<char>(0xE0 | (cp >> 12));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (cp >> 18));
      *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool hex4(uint32_t *out) {
    if (pos_ + 4 > text_.size()) return fail("short \\u escape");
    *out = 0;
    for (int i = 0; i < 4; i++) {
      const char c = text_[pos_++];
      *out <<= 4;
      if (c >= '0' && c <= '9')
        *out |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        *out |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        *out |= static_cast<uint32_t>(c - 'A' + 10);
      else
        return fail("bad \\u escape");
    }
    return true;
  }

  bool parseString(std::string *out) {
    pos_++;  // opening quote
    while (true) {
      if (pos_ >= text_.size()) return fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return fail("control character in string");
      if (c != '\\') {
        *out += static_cast<char>(c);
        continue;
      }
      if (pos_ >= text_.size()) return fail("unterminated escape");
      const char e = text_[pos_++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          uint32_t cp = 0;
          if (!hex4(&cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low = 0;
            if (text_.substr(pos_, 2) != "\\u") return fail("lone high surrogate");
            pos_ += 2;
            if (!hex4(&low) || low < 0xDC00 || low > 0xDFFF) return fail("bad low surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return fail("lone low surrogate");
          }
          appendUtf8(out, cp);
          break;
        }
        default:
          return fail("bad escape");
      }
    }
  }

  bool parseArray(Json *v, int depth) {
    v->type = Json::Type::Array;
    pos_++;
    skipSpace();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      pos_++;
      return true;
    }
    while (true) {
      Json item;
      if (!parseValue(&item, depth + 1)) return false;
      v->array.push_back(std::move(item));
      skipSpace();
      if (pos_ >= text_.size()) return fail("unterminated array");
      if (text_[pos_] == ']') {
        pos_++;
        return true;
      }
      if (text_[pos_++] != ',') return fail("expected , or ]");
    }
  }

  bool parseObject(Json *v, int depth) {
    v->type = Json::Type::Object;
    pos_++;
    skipSpace();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      pos_++;
      return true;
    }
    while (true) {
      skipSpace();
      if (pos_ >= text_.size() || text_[pos_] != '"') return fail("expected a key");
      std::string key;
      if (!parseString(&key)) return false;
      skipSpace();
      if (pos_ >= text_.size() || text_[pos_++] != ':') return fail("expected :");
      Json item;
      if (!parseValue(&item, depth + 1)) return false;
      if (v->object.count(key) != 0) return fail("duplicate key " + key);
      v->object.emplace(std::move(key), std::move(item));
      skipSpace();
      if (pos_ >= text_.size()) return fail("unterminated object");
      if (text_[pos_] == '}') {
        pos_++;
        return true;
      }
      if (text_[pos_++] != ',') return fail("expected , or }");
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace kmtest
