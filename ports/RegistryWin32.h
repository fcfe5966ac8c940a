// The real registry and version query behind port discovery on Windows.
#pragma once

#ifdef _WIN32
#include "Ports.h"

namespace ports {

class Win32Registry : public RegistryReader {
 public:
  bool GetVersion(DWORD& platformId, DWORD& majorVersion) override;
  LONG OpenKey(HKEY root, const char* path, HKEY& key) override;
  LONG QueryKeyCounts(HKEY key, DWORD& subKeys, DWORD& values) override;
  LONG EnumKey(HKEY key, DWORD index, char* name, DWORD& nameChars) override;
  LONG EnumValue(HKEY key, DWORD index, char* name, DWORD& nameChars, BYTE* data,
                 DWORD& dataBytes) override;
  LONG CloseKey(HKEY key) override;
};

}  // namespace ports
#endif
