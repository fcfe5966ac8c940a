#include "Unicode.h"

#include <algorithm>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace unicode {

char32_t NextCodePoint(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at++);
  if (lead < 0x80) return lead;
  std::size_t length = 0;
  char32_t code = 0;
  // The range the first continuation byte may take: narrower after E0, ED,
  // F0 and F4, so that no overlong form, surrogate or value above U+10FFFF
  // is well formed.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return kReplacement;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (at >= text.size()) return kReplacement;
    const unsigned char next = byte(at);
    if (next < low || next > high) return kReplacement;
    low = 0x80;
    high = 0xBF;
    code = code << 6 | (next & 0x3F);
    ++at;
  }
  return code;
}

void AppendUtf8(std::string& out, char32_t code) {
  if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) code = kReplacement;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::u16string ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t at = 0; at < utf8.size();) {
    const char32_t code = NextCodePoint(utf8, at);
    if (code >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
  }
  return out;
}

std::string FromUtf16(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t code = utf16[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    }
    // A lone surrogate comes out as U+FFFD.
    AppendUtf8(out, code);
  }
  return out;
}

std::filesystem::path FilePath(const std::string& utf8) {
#ifdef _WIN32
  return std::filesystem::path(Widen(utf8));
#else
  return std::filesystem::path(utf8);
#endif
}

#ifdef _WIN32

static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::wstring Widen(std::string_view utf8) {
  const std::u16string wide = ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

std::string Narrow(std::wstring_view utf16) {
  return FromUtf16(std::u16string(utf16.begin(), utf16.end()));
}

bool WriteText(void* handle, std::string_view text) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    const std::wstring wide = Widen(text);
    std::size_t done = 0;
    while (done < wide.size()) {
      // The console takes a bounded amount per call on older systems.
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
      DWORD written = 0;
      if (!WriteConsoleW(handle, wide.data() + done, chunk, &written, nullptr) || written == 0)
        return false;
      done += written;
    }
    return true;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 20));
    if (!WriteFile(handle, text.data() + done, chunk, &written, nullptr) || written == 0)
      return false;
    done += written;
  }
  return true;
}

std::string SystemErrorText(unsigned long code) {
  wchar_t buffer[1024];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buffer, sizeof buffer / sizeof buffer[0], nullptr);
  // The system's text ends in CR LF (sometimes after a space).
  while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n' || buffer[n - 1] == L' ')) --n;
  return Narrow(std::wstring_view(buffer, n));
}

HandleStreamBuf::~HandleStreamBuf() {
  Emit(true);
}

HandleStreamBuf::int_type HandleStreamBuf::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  pending_ += traits_type::to_char_type(c);
  if (pending_.size() >= 4096 && !Emit(false)) return traits_type::eof();
  return c;
}

std::streamsize HandleStreamBuf::xsputn(const char* text, std::streamsize count) {
  pending_.append(text, static_cast<std::size_t>(count));
  if (pending_.size() >= 4096 && !Emit(false)) return 0;
  return count;
}

int HandleStreamBuf::sync() {
  return Emit(false) ? 0 : -1;
}

bool HandleStreamBuf::Emit(bool all) {
  std::size_t end = pending_.size();
  if (!all) {
    // Hold back the start of a sequence whose continuation bytes are still
    // to come.
    std::size_t lead = end;
    while (lead > 0 && end - lead < 4 &&
           (static_cast<unsigned char>(pending_[lead - 1]) & 0xC0) == 0x80)
      --lead;
    if (lead > 0) {
      const auto first = static_cast<unsigned char>(pending_[lead - 1]);
      const std::size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
      if (length > end - lead + 1) end = lead - 1;
    }
  }
  if (end == 0) return true;
  const bool written = WriteText(handle_, std::string_view(pending_).substr(0, end));
  pending_.erase(0, end);
  return written;
}

#endif

}  // namespace unicode
