// Serial port discovery: the list of port names that a press of Start tries
// one after the other. On Windows the names come from the registry; the
// branch logic is written over RegistryReader so that it runs against the
// real registry or an in-memory one. Linux reads sysfs instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "RegistryDefs.h"

namespace ports {

// Sizes used by the registry walk.
inline constexpr std::size_t kKeyNameBufferSize = 1024;  // characters
inline constexpr std::size_t kValueBufferSize = 1024;    // bytes
inline constexpr DWORD kValueNameLimit = 512;            // characters, terminator included
inline constexpr DWORD kValueDataLimit = 512;            // bytes
inline constexpr DWORD kClassNameBufferSize = 260;       // characters

// The operating-system calls the walk makes, each with its Windows meaning.
class RegistryReader {
 public:
  virtual ~RegistryReader() = default;

  // GetVersionExA with the 148-byte version record: platform identifier and
  // major version. False when the call fails.
  virtual bool GetVersion(DWORD& platformId, DWORD& majorVersion) = 0;
  // RegOpenKeyExA(root, path, 0, KEY_READ, &key).
  virtual LONG OpenKey(HKEY root, const char* path, HKEY& key) = 0;
  // RegQueryInfoKeyA: the counts of sub-keys and values of an open key.
  virtual LONG QueryKeyCounts(HKEY key, DWORD& subKeys, DWORD& values) = 0;
  // RegEnumKeyExA: nameChars holds the buffer size in characters on entry and
  // the length of the name without terminator on success.
  virtual LONG EnumKey(HKEY key, DWORD index, char* name, DWORD& nameChars) = 0;
  // RegEnumValueA: nameChars as for EnumKey; dataBytes holds the buffer size
  // on entry and the data size on success. ERROR_MORE_DATA when either does
  // not fit.
  virtual LONG EnumValue(HKEY key, DWORD index, char* name, DWORD& nameChars, BYTE* data,
                         DWORD& dataBytes) = 0;
  // RegCloseKey.
  virtual LONG CloseKey(HKEY key) = 0;
};

using ValueBuffer = BYTE[kValueBufferSize];

// Opens path under root for reading and gives its sub-key and value counts
// (both 0 unless the status is ERROR_SUCCESS). On success the caller owns key
// and closes it; on failure nothing is left open.
LONG OpenRegistryKey(RegistryReader& reader, HKEY root, const std::string& path, HKEY& key,
                     DWORD& subKeys, DWORD& values);

// Looks up a value by name, ignoring letter case, among the first valueCount
// values of key. On a match its data is copied into buffer and the result is
// true; otherwise buffer is left untouched. Values whose name or data exceed
// the limits above are skipped.
bool FindRegistryValue(RegistryReader& reader, HKEY key, DWORD valueCount,
                       const std::string& wanted, ValueBuffer& buffer);

// Appends the serial port names found in the registry seen through reader, in
// the order found; duplicates are kept and nothing is sorted.
void EnumerateSerialPorts(RegistryReader& reader, std::vector<std::string>& portList);
// The same; leftOut, when given, gets the ports left out on purpose (the
// Bluetooth links of the device map).
void EnumerateSerialPorts(RegistryReader& reader, std::vector<std::string>& portList,
                          std::vector<std::string>* leftOut);

// Why the platform's own listing leaves ports out (the Bluetooth links of the
// device map on Windows, the kernel console on Linux).
#ifdef _WIN32
inline constexpr const char* kLeftOutReason =
    "opening a Bluetooth link makes Windows spend seconds calling the paired device";
#else
inline constexpr const char* kLeftOutReason = "the kernel writes its console there";
#endif

#ifndef _WIN32
// Appends the names of the serial ports that have a device behind them under
// sysRoot/class/tty, as /dev/... paths in natural order. Never opens a port.
// leftOut, when given, gets the ports left out because the kernel writes its
// console there.
void EnumerateSysfsSerialPorts(std::vector<std::string>& portList,
                               const std::filesystem::path& sysRoot = "/sys",
                               std::vector<std::string>* leftOut = nullptr);
#endif

// The latency timer of the FTDI adapter (enumerator FTDIBUS) whose device
// instance names portName (letter case ignored), in ms, as its driver keeps
// it under Device Parameters\LatencyTimer; nothing for any other port or
// when the value cannot be read. The registry is only read.
std::optional<std::uint32_t> FtdiLatencyTimerMs(RegistryReader& reader,
                                                const std::string& portName);

#ifndef _WIN32
// The latency timer of the USB adapter behind the port (a /dev path, links
// followed), in ms, from its usb-serial device's latency_timer under
// sysRoot/class/tty; nothing when the driver keeps none (not an FTDI chip)
// or it cannot be read.
std::optional<std::uint32_t> SysfsLatencyTimerMs(const std::string& port,
                                                 const std::filesystem::path& sysRoot = "/sys");
#endif

// The platform's adapter latency timer of the port, where it is known.
std::optional<std::uint32_t> AdapterLatencyTimerMs(const std::string& port);

// The platform's own port list: the real registry on Windows, sysfs elsewhere.
void EnumerateSerialPorts(std::vector<std::string>& portList);
// The same, and the ports it left out on purpose (see kLeftOutReason).
void EnumerateSerialPorts(std::vector<std::string>& portList, std::vector<std::string>& leftOut);

}  // namespace ports
