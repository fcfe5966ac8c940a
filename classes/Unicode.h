// Text is UTF-8 inside the programs; at the Windows boundary (command line,
// file names, the module path, child processes, the system's error texts, the
// console) it is UTF-16. The conversions and the UTF-8 reading live here, for
// every layer that meets the system, and for the JSON writer.
#pragma once

#include <cstddef>
#include <filesystem>
#include <streambuf>
#include <string>
#include <string_view>

namespace unicode {

// What an ill-formed sequence reads as.
inline constexpr char32_t kReplacement = 0xFFFD;

// The code point that begins at text[at]; at moves past it. An ill-formed
// sequence reads as kReplacement, one for each maximal part of a sequence
// that could have begun well (as every Unicode decoder does, Windows' own
// among them), so that at always moves on. at must be below text.size().
char32_t NextCodePoint(std::string_view text, std::size_t& at);

// code as UTF-8; a surrogate or a value above U+10FFFF as kReplacement.
void AppendUtf8(std::string& out, char32_t code);

// UTF-8 to UTF-16 and back; what is ill-formed comes out as U+FFFD.
std::u16string ToUtf16(std::string_view utf8);
std::string FromUtf16(std::u16string_view utf16);

// A file's name as the system takes it: on Windows the UTF-8 name widened,
// so that a stream opens the file of that name whatever the ANSI code page.
std::filesystem::path FilePath(const std::string& utf8);

#ifdef _WIN32
// The same, for the system's wide characters.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// Writes text to a standard handle: on a console as characters
// (WriteConsoleW, right in whatever code page the console has), to a file or
// a pipe as its UTF-8 bytes. False when the handle took less than all.
bool WriteText(void* handle, std::string_view text);

// The system's own text for an error code in the user's language, without
// its line end; empty when the system has none.
std::string SystemErrorText(unsigned long code);

// A standard handle as a stream's buffer, through WriteText: a program's
// UTF-8 output reaches a console right and a file or a pipe as UTF-8. Written
// out on every flush; a character split between two writes waits for its
// end.
class HandleStreamBuf : public std::streambuf {
 public:
  explicit HandleStreamBuf(void* handle) : handle_(handle) {}
  ~HandleStreamBuf() override;
  HandleStreamBuf(const HandleStreamBuf&) = delete;
  HandleStreamBuf& operator=(const HandleStreamBuf&) = delete;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  bool Emit(bool all);
  void* handle_;
  std::string pending_;
};
#endif

}  // namespace unicode
