#include "CommOs.h"

#include <cstring>

#include "Unicode.h"

namespace comm {

std::string Win32DevicePath(const std::string& name) {
  if (name.empty() || name.find_first_of("\\/:") != std::string::npos) return name;
  return "\\\\.\\" + name;
}

#ifdef _WIN32

std::string DescribeOsError(int native) {
  const auto code = static_cast<DWORD>(native);
  std::string text = "error " + std::to_string(code);
  // Wide: the system's texts are in the user's language, which the ANSI
  // code page may not hold.
  const std::string said = unicode::SystemErrorText(code);
  if (!said.empty()) text += " (" + said + ")";
  return text;
}

#else

std::string DescribeOsError(int native) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  const char* name = ::strerrorname_np(native);
  const char* text = ::strerrordesc_np(native);
  if (name != nullptr && text != nullptr) return std::string(name) + " (" + text + ")";
#endif
  // Without the name table: the number, and the text where there is one.
  char buffer[256] = "";
  std::string text2 = "errno " + std::to_string(native);
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* said = ::strerror_r(native, buffer, sizeof buffer);
#else
  const char* said = ::strerror_r(native, buffer, sizeof buffer) == 0 ? buffer : nullptr;
#endif
  if (said != nullptr && *said != '\0') text2 += std::string(" (") + said + ")";
  return text2;
}

#endif

}  // namespace comm
