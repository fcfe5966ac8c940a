// A small strict JSON reader for checking ks-station's summary and the run
// record: it refuses anything that is not valid JSON, so a test that reads a
// value also proves the whole document well formed.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace minijson {

struct Value {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> members;

  const Value& operator[](const std::string& key) const {
    auto it = members.find(key);
    if (kind != Kind::Object || it == members.end()) throw std::runtime_error("no key " + key);
    return it->second;
  }
  const Value& operator[](std::size_t i) const {
    if (kind != Kind::Array || i >= items.size()) throw std::runtime_error("no item");
    return items[i];
  }
};

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  Value Document() {
    Value v = Parse();
    Space();
    if (i_ != s_.size()) Fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void Fail(const std::string& why) {
    throw std::runtime_error("JSON: " + why + " at " + std::to_string(i_));
  }
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
      ++i_;
  }
  bool Take(const std::string& word) {
    if (s_.compare(i_, word.size(), word) != 0) return false;
    i_ += word.size();
    return true;
  }
  void Expect(char c) {
    Space();
    if (i_ >= s_.size() || s_[i_] != c) Fail(std::string("expected ") + c);
    ++i_;
  }

  Value Parse() {
    Space();
    if (i_ >= s_.size()) Fail("unexpected end");
    Value v;
    const char c = s_[i_];
    if (c == '{') {
      v.kind = Value::Kind::Object;
      ++i_;
      Space();
      if (i_ < s_.size() && s_[i_] == '}') {
        ++i_;
        return v;
      }
      for (;;) {
        Space();
        if (i_ >= s_.size() || s_[i_] != '"') Fail("expected a key");
        std::string key = String();
        if (v.members.count(key)) Fail("duplicate key " + key);
        Expect(':');
        v.members[key] = Parse();
        Space();
        if (i_ < s_.size() && s_[i_] == ',') {
          ++i_;
          continue;
        }
        Expect('}');
        return v;
      }
    }
    if (c == '[') {
      v.kind = Value::Kind::Array;
      ++i_;
      Space();
      if (i_ < s_.size() && s_[i_] == ']') {
        ++i_;
        return v;
      }
      for (;;) {
        v.items.push_back(Parse());
        Space();
        if (i_ < s_.size() && s_[i_] == ',') {
          ++i_;
          continue;
        }
        Expect(']');
        return v;
      }
    }
    if (c == '"') {
      v.kind = Value::Kind::String;
      v.text = String();
      return v;
    }
    if (Take("true")) {
      v.kind = Value::Kind::Bool;
      v.boolean = true;
      return v;
    }
    if (Take("false")) {
      v.kind = Value::Kind::Bool;
      return v;
    }
    if (Take("null")) return v;
    return Number();
  }

  long Hex4() {
    if (i_ + 4 > s_.size()) Fail("short \\u");
    for (int k = 0; k < 4; ++k)
      if (!std::isxdigit(static_cast<unsigned char>(s_[i_ + k]))) Fail("bad \\u");
    const long code = std::strtol(s_.substr(i_, 4).c_str(), nullptr, 16);
    i_ += 4;
    return code;
  }

  std::string String() {
    ++i_;  // opening quote
    std::string out;
    while (i_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return out;
      if (c < 0x20) Fail("control character in a string");
      if (c >= 0x80) Fail("non-ASCII byte (the writer escapes them)");
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        continue;
      }
      if (i_ >= s_.size()) break;
      const char e = s_[i_++];
      switch (e) {
        case '"':
          out.push_back('"');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '/':
          out.push_back('/');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          // A code point, or a pair of surrogates for one above U+FFFF; read
          // back as UTF-8.
          long code = Hex4();
          if (code >= 0xDC00 && code <= 0xDFFF) Fail("lone low surrogate");
          if (code >= 0xD800 && code <= 0xDBFF) {
            if (i_ + 2 > s_.size() || s_[i_] != '\\' || s_[i_ + 1] != 'u') Fail("lone surrogate");
            i_ += 2;
            const long low = Hex4();
            if (low < 0xDC00 || low > 0xDFFF) Fail("high surrogate without its low one");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          if (code < 0x80) {
            out.push_back(static_cast<char>(code));
          } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | code >> 6));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
          } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | code >> 12));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
          } else {
            out.push_back(static_cast<char>(0xF0 | code >> 18));
            out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
          }
          break;
        }
        default:
          Fail("bad escape");
      }
    }
    Fail("unterminated string");
  }

  Value Number() {
    const std::size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    auto digits = [&] {
      const std::size_t from = i_;
      while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
      return i_ > from;
    };
    if (!digits()) Fail("bad value");
    if (s_[start] == '0' && i_ - start > 1) Fail("leading zero");
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      if (!digits()) Fail("bad fraction");
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (!digits()) Fail("bad exponent");
    }
    Value v;
    v.kind = Value::Kind::Number;
    v.number = std::strtod(s_.substr(start, i_ - start).c_str(), nullptr);
    return v;
  }

  const std::string& s_;
  std::size_t i_ = 0;
};

inline Value Parse(const std::string& text) {
  return Parser(text).Document();
}

}  // namespace minijson
