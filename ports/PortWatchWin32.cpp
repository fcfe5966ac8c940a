#include "PortWatch.h"

#include <algorithm>

#include "Ports.h"

namespace ports {

namespace {
// Where Windows lists the serial ports it has now; it changes when an
// adapter comes or goes.
constexpr const char* kDeviceMap = "HARDWARE\\DEVICEMAP";

std::string DeviceName(const std::string& name) {
  std::string device = name;
  if (device.rfind("\\\\.\\", 0) == 0) device.erase(0, 4);
  return device;
}
}  // namespace

std::string PortIdentity(const std::string& name) {
  std::string identity = DeviceName(name);
  std::transform(identity.begin(), identity.end(), identity.begin(), [](char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  });
  return identity;
}

bool PortPresent(const std::string& name) {
  const std::string device = DeviceName(name);
  char target[1024];
  if (QueryDosDeviceA(device.c_str(), target, sizeof target) != 0) return true;
  // A bare device name ("COM7") is there only while the system defines it:
  // a file system lookup of one may still find it after its adapter has gone
  // (Wine finds its old link).
  if (device.find_first_of("\\/") == std::string::npos) return false;
  // A file or a pipe path (UTF-8), there when it can be found.
  const int length = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
  if (length <= 0) return false;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide.data(), length);
  return GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

PortWatch::PortWatch(std::vector<std::string> names) : names_(std::move(names)) {
  event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HKEY key = nullptr;
  if (event_ != nullptr &&
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDeviceMap, 0, KEY_NOTIFY, &key) == ERROR_SUCCESS) {
    key_ = key;
    Arm();
  }
}

PortWatch::~PortWatch() {
  if (key_ != nullptr) RegCloseKey(static_cast<HKEY>(key_));
  if (event_ != nullptr) CloseHandle(event_);
}

void PortWatch::Arm() {
  if (key_ == nullptr) return;
  ResetEvent(event_);
  if (RegNotifyChangeKeyValue(static_cast<HKEY>(key_), TRUE,
                              REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, event_,
                              TRUE) != ERROR_SUCCESS) {
    RegCloseKey(static_cast<HKEY>(key_));
    key_ = nullptr;
  }
}

std::vector<std::string> PortWatch::List() const {
  std::vector<std::string> present;
  if (names_.empty()) {
    EnumerateSerialPorts(present);
  } else {
    for (const std::string& name : names_) {
      if (PortPresent(name)) present.push_back(name);
    }
  }
  return present;
}

void PortWatch::Drain() {
  Arm();
}

std::chrono::milliseconds PortWatch::PollInterval() const {
  // The machine's list walks the device instances in the registry: not more
  // often than that, the device map's notification says when to look.
  return names_.empty() ? std::chrono::milliseconds(10000) : std::chrono::milliseconds(1000);
}

}  // namespace ports
