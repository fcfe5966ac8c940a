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
  char target[1024];
  if (QueryDosDeviceA(DeviceName(name).c_str(), target, sizeof target) != 0) return true;
  // Not a device name: a file or a pipe path, there when it can be found.
  return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
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
