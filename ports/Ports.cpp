// Registry walk behind the port list. Three places are read depending on the
// operating-system family and version; a key or value that is missing only
// means that no names come from below it.
#include "Ports.h"

#include <algorithm>
#include <cstring>

namespace ports {
namespace {

std::string ToUpper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  });
  return text;
}

// The buffer read as a zero-terminated text.
std::string BufferText(const ValueBuffer& buffer) {
  const char* text = reinterpret_cast<const char*>(buffer);
  return std::string(text, strnlen(text, kValueBufferSize));
}

// A fresh buffer for every lookup, so a missing value reads as an empty text.
std::string LookUpText(RegistryReader& reader, HKEY key, DWORD valueCount,
                       const std::string& name) {
  ValueBuffer buffer{};
  FindRegistryValue(reader, key, valueCount, name, buffer);
  return BufferText(buffer);
}

// An open key that closes itself when the walk leaves its scope.
class ScopedKey {
 public:
  ScopedKey(RegistryReader& reader, HKEY root, const std::string& path) : reader_(reader) {
    opened_ = OpenRegistryKey(reader, root, path, key_, subKeys_, values_) == ERROR_SUCCESS;
  }
  ~ScopedKey() {
    if (opened_) reader_.CloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;

  bool IsOpen() const { return opened_; }
  DWORD SubKeyCount() const { return subKeys_; }

  std::string Value(const std::string& name) const {
    return opened_ ? LookUpText(reader_, key_, values_, name) : std::string();
  }

  // The data of the value named name (letter case ignored); false without it.
  bool Data(const std::string& name, ValueBuffer& buffer) const {
    return opened_ && FindRegistryValue(reader_, key_, values_, name, buffer);
  }

  // The name of the sub-key at index; false when it cannot be read.
  bool SubKeyName(DWORD index, std::string& name) const {
    char buffer[kKeyNameBufferSize] = {};
    DWORD length = kKeyNameBufferSize;
    if (reader_.EnumKey(key_, index, buffer, length) != ERROR_SUCCESS) return false;
    name.assign(buffer, std::min<DWORD>(length, kKeyNameBufferSize - 1));
    return true;
  }

 private:
  RegistryReader& reader_;
  HKEY key_{};
  DWORD subKeys_ = 0;
  DWORD values_ = 0;
  bool opened_ = false;
};

// Windows 95 family: the devices present, each pointing at its hardware key.
void EnumerateConfigManager(RegistryReader& reader, std::vector<std::string>& portList) {
  const std::string enumPath = "Config Manager\\Enum";
  ScopedKey devices(reader, HKEY_DYN_DATA, enumPath);
  if (!devices.IsOpen()) return;
  for (DWORD i = 0; i < devices.SubKeyCount(); ++i) {
    std::string device;
    if (!devices.SubKeyName(i, device)) continue;
    std::string hardwareKey;
    {
      ScopedKey entry(reader, HKEY_DYN_DATA, enumPath + "\\" + device);
      hardwareKey = entry.Value("HardWareKey");
    }
    if (hardwareKey.empty()) continue;
    ScopedKey hardware(reader, HKEY_LOCAL_MACHINE, "Enum\\" + hardwareKey);
    const std::string deviceClass = hardware.Value("Class");
    const std::string portName = hardware.Value("PORTNAME");
    // Only the first letter is checked, against the letters of "COM".
    const char first = portName.empty() ? '\0' : portName[0];
    if (ToUpper(deviceClass) == "PORTS" && (first == 'C' || first == 'O' || first == 'M')) {
      portList.push_back(portName);
    }
  }
}

// Where every serial driver lists the ports present now.
constexpr const char* kSerialDeviceMap = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// NT 4 and older: the serial device map, looked up as SERIAL0 .. SERIAL(n-1).
void EnumerateSerialDeviceMap(RegistryReader& reader, std::vector<std::string>& portList) {
  HKEY key{};
  DWORD subKeys = 0;
  DWORD values = 0;
  if (OpenRegistryKey(reader, HKEY_LOCAL_MACHINE, kSerialDeviceMap, key, subKeys, values) !=
      ERROR_SUCCESS) {
    return;
  }
  for (DWORD i = 0; i < values; ++i) {
    ValueBuffer buffer{};
    if (FindRegistryValue(reader, key, values, "SERIAL" + std::to_string(i), buffer)) {
      portList.push_back(BufferText(buffer));
    }
  }
  reader.CloseKey(key);
}

// NT 5 and newer: every device instance, enumerator by enumerator, whose
// service is a serial port driver.
// Calls visit with the path of every device instance under an enumerator's
// key (enumerator\device\instance) in the registry's order, until visit
// returns true; true then.
template <class Visit>
bool VisitInstances(RegistryReader& reader, const std::string& enumeratorPath, Visit visit) {
  ScopedKey devices(reader, HKEY_LOCAL_MACHINE, enumeratorPath);
  for (DWORD d = 0; d < devices.SubKeyCount(); ++d) {
    std::string deviceName;
    if (!devices.SubKeyName(d, deviceName)) continue;
    const std::string devicePath = enumeratorPath + "\\" + deviceName;
    ScopedKey instances(reader, HKEY_LOCAL_MACHINE, devicePath);
    for (DWORD i = 0; i < instances.SubKeyCount(); ++i) {
      std::string instanceName;
      if (!instances.SubKeyName(i, instanceName)) continue;
      if (visit(devicePath + "\\" + instanceName)) return true;
    }
  }
  return false;
}

const std::string kEnumRoot = "SYSTEM\\CurrentControlSet\\Enum";

void EnumerateDeviceInstances(RegistryReader& reader, std::vector<std::string>& portList) {
  ScopedKey enumerators(reader, HKEY_LOCAL_MACHINE, kEnumRoot);
  for (DWORD e = 0; e < enumerators.SubKeyCount(); ++e) {
    std::string enumeratorName;
    if (!enumerators.SubKeyName(e, enumeratorName)) continue;
    VisitInstances(reader, kEnumRoot + "\\" + enumeratorName, [&](const std::string& instancePath) {
      ScopedKey instance(reader, HKEY_LOCAL_MACHINE, instancePath);
      const std::string service = ToUpper(instance.Value("Service"));
      if (service == "SERIAL" || service == "SER2PL") {
        ScopedKey parameters(reader, HKEY_LOCAL_MACHINE, instancePath + "\\Device Parameters");
        portList.push_back(parameters.Value("PortName"));
      }
      return false;
    });
  }
}

// The name and data of the value at index, within the lookup limits; false
// for a value that cannot be read or does not fit.
bool ReadValueAt(RegistryReader& reader, HKEY key, DWORD index, std::string& name,
                 ValueBuffer& data) {
  char text[kValueNameLimit] = {};
  DWORD nameChars = kValueNameLimit;
  DWORD dataBytes = kValueDataLimit;
  if (reader.EnumValue(key, index, text, nameChars, data, dataBytes) != ERROR_SUCCESS) return false;
  name.assign(text, std::min<DWORD>(nameChars, kValueNameLimit - 1));
  return true;
}

// NT 5 and newer, after the instance walk: the ports present now, as every
// serial driver writes them into the device map. The walk's service filter
// knows only the built-in drivers and misses every USB adapter's (FTSER2K,
// silabser, CH341SER, Ser2pl64, usbser...), so the names it has not listed
// are appended in value order. Bluetooth links stay out: opening one makes
// Windows spend seconds reaching the paired device.
void AppendDeviceMapPorts(RegistryReader& reader, std::vector<std::string>& portList,
                          std::size_t walkStart, std::vector<std::string>* leftOut) {
  HKEY key{};
  DWORD subKeys = 0;
  DWORD values = 0;
  if (OpenRegistryKey(reader, HKEY_LOCAL_MACHINE, kSerialDeviceMap, key, subKeys, values) !=
      ERROR_SUCCESS) {
    return;
  }
  const std::string bluetooth = ToUpper("\\Device\\BthModem");
  for (DWORD index = 0; index < values; ++index) {
    // The same buffer and limits as a lookup by name.
    ValueBuffer data{};
    std::string device;
    if (!ReadValueAt(reader, key, index, device, data)) continue;
    const std::string port = BufferText(data);
    if (port.empty()) continue;
    if (ToUpper(device).rfind(bluetooth, 0) == 0) {
      if (leftOut) leftOut->push_back(port);
      continue;
    }
    const std::string upper = ToUpper(port);
    const bool listed =
        std::any_of(portList.begin() + static_cast<std::ptrdiff_t>(walkStart), portList.end(),
                    [&](const std::string& n) { return ToUpper(n) == upper; });
    if (!listed) portList.push_back(port);
  }
  reader.CloseKey(key);
}

}  // namespace

std::optional<std::uint32_t> FtdiLatencyTimerMs(RegistryReader& reader,
                                                const std::string& portName) {
  const std::string wanted = ToUpper(portName);
  std::optional<std::uint32_t> timerMs;
  VisitInstances(reader, kEnumRoot + "\\FTDIBUS", [&](const std::string& instancePath) {
    ScopedKey parameters(reader, HKEY_LOCAL_MACHINE, instancePath + "\\Device Parameters");
    ValueBuffer timer{};
    if (ToUpper(parameters.Value("PortName")) != wanted || !parameters.Data("LatencyTimer", timer))
      return false;
    // A REG_DWORD, little-endian.
    timerMs = static_cast<std::uint32_t>(timer[0] | timer[1] << 8 | timer[2] << 16 |
                                         static_cast<std::uint32_t>(timer[3]) << 24);
    return true;
  });
  return timerMs;
}

LONG OpenRegistryKey(RegistryReader& reader, HKEY root, const std::string& path, HKEY& key,
                     DWORD& subKeys, DWORD& values) {
  subKeys = 0;
  values = 0;
  HKEY opened{};
  LONG status = reader.OpenKey(root, path.c_str(), opened);
  if (status != ERROR_SUCCESS) return status;
  DWORD subKeyCount = 0;
  DWORD valueCount = 0;
  status = reader.QueryKeyCounts(opened, subKeyCount, valueCount);
  if (status != ERROR_SUCCESS) {
    // The caller only closes keys reported as open; do not leak this one.
    reader.CloseKey(opened);
    return status;
  }
  key = opened;
  subKeys = subKeyCount;
  values = valueCount;
  return ERROR_SUCCESS;
}

bool FindRegistryValue(RegistryReader& reader, HKEY key, DWORD valueCount,
                       const std::string& wanted, ValueBuffer& buffer) {
  const std::string wantedUpper = ToUpper(wanted);
  for (DWORD index = 0; index < valueCount; ++index) {
    // A value that does not fit may leave partial data behind; read into a
    // scratch buffer so the caller's stays clear unless a value matches.
    ValueBuffer data{};
    std::string valueName;
    if (!ReadValueAt(reader, key, index, valueName, data)) continue;
    if (ToUpper(valueName) == wantedUpper) {
      std::memcpy(buffer, data, kValueBufferSize);
      return true;
    }
  }
  return false;
}

void EnumerateSerialPorts(RegistryReader& reader, std::vector<std::string>& portList) {
  EnumerateSerialPorts(reader, portList, nullptr);
}

void EnumerateSerialPorts(RegistryReader& reader, std::vector<std::string>& portList,
                          std::vector<std::string>* leftOut) {
  DWORD platformId = 0;
  DWORD majorVersion = 0;
  if (!reader.GetVersion(platformId, majorVersion)) return;
  if (platformId == VER_PLATFORM_WIN32_WINDOWS) {
    EnumerateConfigManager(reader, portList);
  } else if (platformId == VER_PLATFORM_WIN32_NT) {
    if (majorVersion <= 4) {
      EnumerateSerialDeviceMap(reader, portList);
    } else {
      const std::size_t walkStart = portList.size();
      EnumerateDeviceInstances(reader, portList);
      AppendDeviceMapPorts(reader, portList, walkStart, leftOut);
    }
  }
}

}  // namespace ports
