// A small JSON reader for what `ip -j` prints (objects, arrays, strings,
// numbers, true/false/null), and a runner for `ip` itself. For tests only:
// input is bounded (nesting depth, total size) and malformed text gives a
// null value, never a read past the text.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace iptest {

struct Json {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;                                 // String
  std::vector<Json> items;                          // Array
  // Object members in input order: keys[i] names values[i]. (Two vectors, as
  // a pair of an incomplete Json does not compile everywhere.)
  std::vector<std::string> keys;
  std::vector<Json> values;

  // The member `key` of an object, or a null value.
  const Json &operator[](std::string_view key) const {
    static const Json kNull;
    if (kind != Kind::Object) return kNull;
    for (size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == key) return values[i];
    return kNull;
  }
  bool isNull() const { return kind == Kind::Null; }
  const std::string &str() const { return text; }
  uint32_t u32() const { return kind == Kind::Number ? static_cast<uint32_t>(number) : 0; }
  // True when an array holds the string s (ip's "state" and "flags").
  bool contains(std::string_view s) const {
    for (const Json &i : items)
      if (i.kind == Kind::String && i.text == s) return true;
    return false;
  }
};

class JsonReader {
 public:
  // Nesting deeper than this is refused: ip's output nests four levels.
  static constexpr int kMaxDepth = 32;

  // The parsed value; on malformed text *ok is false and the value null.
  static Json parse(std::string_view text, bool *ok) {
    JsonReader r(text);
    Json v;
    *ok = r.value(&v, 0);
    r.skipSpace();
    if (r.pos_ != text.size()) *ok = false;
    return *ok ? v : Json{};
  }

 private:
  explicit JsonReader(std::string_view text) : in_(text) {}

  void skipSpace() {
    while (pos_ < in_.size() &&
           (in_[pos_] == ' ' || in_[pos_] == '\n' || in_[pos_] == '\r' || in_[pos_] == '\t'))
      pos_++;
  }
  bool take(char c) {
    skipSpace();
    if (pos_ < in_.size() && in_[pos_] == c) {
      pos_++;
      return true;
    }
    return false;
  }
  bool word(std::string_view w) {
    if (in_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }

  bool string(std::string *out) {
    if (!take('"')) return false;
    while (pos_ < in_.size()) {
      char c = in_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (pos_ >= in_.size()) return false;
      char e = in_[pos_++];
      switch (e) {
        case 'n': out->push_back('\n'); break;
        case 't': out->push_back('\t'); break;
        case 'r': out->push_back('\r'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'u': {
          // ip prints only ASCII; keep other code units as '?'.
          if (pos_ + 4 > in_.size()) return false;
          unsigned v = 0;
          for (int i = 0; i < 4; i++) {
            char h = in_[pos_++];
            v <<= 4;
            if (h >= '0' && h <= '9') v |= h - '0';
            else if (h >= 'a' && h <= 'f') v |= h - 'a' + 10;
            else if (h >= 'A' && h <= 'F') v |= h - 'A' + 10;
            else return false;
          }
          out->push_back(v < 0x80 ? static_cast<char>(v) : '?');
          break;
        }
        default: out->push_back(e); break;  // \" \\ \/
      }
    }
    return false;
  }

  bool value(Json *v, int depth) {
    if (depth > kMaxDepth) return false;
    skipSpace();
    if (pos_ >= in_.size()) return false;
    const char c = in_[pos_];
    if (c == '{') {
      pos_++;
      v->kind = Json::Kind::Object;
      if (take('}')) return true;
      do {
        std::string key;
        Json member;
        skipSpace();
        if (!string(&key) || !take(':') || !value(&member, depth + 1)) return false;
        v->keys.push_back(std::move(key));
        v->values.push_back(std::move(member));
      } while (take(','));
      return take('}');
    }
    if (c == '[') {
      pos_++;
      v->kind = Json::Kind::Array;
      if (take(']')) return true;
      do {
        Json item;
        if (!value(&item, depth + 1)) return false;
        v->items.push_back(std::move(item));
      } while (take(','));
      return take(']');
    }
    if (c == '"') {
      v->kind = Json::Kind::String;
      return string(&v->text);
    }
    if (word("true")) {
      v->kind = Json::Kind::Bool;
      v->boolean = true;
      return true;
    }
    if (word("false")) {
      v->kind = Json::Kind::Bool;
      return true;
    }
    if (word("null")) return true;
    const size_t start = pos_;
    while (pos_ < in_.size() && std::string_view("+-0123456789.eE").find(in_[pos_]) !=
                                    std::string_view::npos)
      pos_++;
    if (pos_ == start) return false;
    const std::string digits(in_.substr(start, pos_ - start));
    char *end = nullptr;
    v->kind = Json::Kind::Number;
    v->number = strtod(digits.c_str(), &end);
    return end == digits.c_str() + digits.size();
  }

  std::string_view in_;
  size_t pos_ = 0;
};

// Path of the ip program, or "" when iproute2 is not installed.
inline std::string FindIp() {
  for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
    if (access(p, X_OK) == 0) return p;
  return "";
}

// Runs `ip -j <args>` and parses what it prints. *ok is false when it could
// not be run or printed no JSON. Output beyond 16 MiB is refused.
inline Json IpJson(const std::string &ip, const std::string &args, bool *ok) {
  *ok = false;
  std::string out;
  FILE *f = popen((ip + " -j " + args + " 2>/dev/null").c_str(), "r");
  if (f == nullptr) return {};
  char buf[8192];
  size_t n;
  bool tooLarge = false;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
    if (out.size() + n > (16u << 20)) {
      tooLarge = true;
      break;
    }
    out.append(buf, n);
  }
  const int status = pclose(f);
  if (tooLarge || status != 0) return {};
  // An empty table prints nothing at all on some versions.
  if (out.find_first_not_of(" \n") == std::string::npos) out = "[]";
  Json v = JsonReader::parse(out, ok);
  if (*ok && v.kind != Json::Kind::Array) *ok = false;
  return v;
}

}  // namespace iptest
