#include "JsonText.h"

#include "Unicode.h"

namespace app {

namespace {

void AppendEscape(std::string& out, unsigned unit) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[unit >> shift & 0xF];
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const char32_t code = unicode::NextCodePoint(text, at);
    switch (code) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (code >= 0x20 && code < 0x7F) {
          out += static_cast<char>(code);
        } else if (code < 0x10000) {
          AppendEscape(out, static_cast<unsigned>(code));
        } else {
          AppendEscape(out, 0xD800 + ((static_cast<unsigned>(code) - 0x10000) >> 10));
          AppendEscape(out, 0xDC00 + ((static_cast<unsigned>(code) - 0x10000) & 0x3FF));
        }
    }
  }
  return out + "\"";
}

}  // namespace app
