#include "RegistryWin32.h"

namespace ports {

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record is 148 bytes");

bool Win32Registry::GetVersion(DWORD& platformId, DWORD& majorVersion) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return false;
  platformId = info.dwPlatformId;
  majorVersion = info.dwMajorVersion;
  return true;
}

LONG Win32Registry::OpenKey(HKEY root, const char* path, HKEY& key) {
  return RegOpenKeyExA(root, path, 0, KEY_READ, &key);
}

LONG Win32Registry::QueryKeyCounts(HKEY key, DWORD& subKeys, DWORD& values) {
  char className[kClassNameBufferSize] = {};
  DWORD classChars = kClassNameBufferSize;
  return RegQueryInfoKeyA(key, className, &classChars, nullptr, &subKeys, nullptr, nullptr, &values,
                          nullptr, nullptr, nullptr, nullptr);
}

LONG Win32Registry::EnumKey(HKEY key, DWORD index, char* name, DWORD& nameChars) {
  return RegEnumKeyExA(key, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
}

LONG Win32Registry::EnumValue(HKEY key, DWORD index, char* name, DWORD& nameChars, BYTE* data,
                              DWORD& dataBytes) {
  DWORD type = 0;
  return RegEnumValueA(key, index, name, &nameChars, nullptr, &type, data, &dataBytes);
}

LONG Win32Registry::CloseKey(HKEY key) {
  return RegCloseKey(key);
}

void EnumerateSerialPorts(std::vector<std::string>& portList) {
  Win32Registry registry;
  EnumerateSerialPorts(registry, portList);
}

void EnumerateSerialPorts(std::vector<std::string>& portList, std::vector<std::string>& leftOut) {
  Win32Registry registry;
  EnumerateSerialPorts(registry, portList, &leftOut);
}

std::optional<std::uint32_t> AdapterLatencyTimerMs(const std::string& port) {
  Win32Registry registry;
  return FtdiLatencyTimerMs(registry, port);
}

}  // namespace ports
