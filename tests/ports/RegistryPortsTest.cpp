#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "MemoryRegistry.h"
#include "Ports.h"

namespace ports {
namespace {

using List = std::vector<std::string>;

const std::string kConfigEnum = "Config Manager\\Enum";
const std::string kDeviceMap = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const std::string kInstances = "SYSTEM\\CurrentControlSet\\Enum";

// Runs the walk twice and checks that both runs agree and leave no key open.
List Enumerate(MemoryRegistry& registry) {
  List first;
  EnumerateSerialPorts(registry, first);
  EXPECT_TRUE(registry.OpenKeyPaths().empty());
  List second;
  EnumerateSerialPorts(registry, second);
  EXPECT_EQ(first, second);
  EXPECT_TRUE(registry.OpenKeyPaths().empty());
  EXPECT_EQ(registry.BadCloses(), 0u);
  return first;
}

// Windows 95 family: a device present under Config Manager pointing at its
// hardware key under HKLM\Enum.
void AddConfigDevice(MemoryRegistry& r, const std::string& device, const std::string& hardwareKey,
                     const char* deviceClass, const char* portName) {
  r.SetString(HKEY_DYN_DATA, kConfigEnum + "\\" + device, "HardWareKey", hardwareKey);
  r.AddKey(HKEY_LOCAL_MACHINE, "Enum\\" + hardwareKey);
  if (deviceClass) r.SetString(HKEY_LOCAL_MACHINE, "Enum\\" + hardwareKey, "Class", deviceClass);
  if (portName) r.SetString(HKEY_LOCAL_MACHINE, "Enum\\" + hardwareKey, "PORTNAME", portName);
}

// NT 5 family: a device instance with its service and port name.
void AddInstance(MemoryRegistry& r, const std::string& path, const char* service,
                 const char* portName) {
  const std::string key = kInstances + "\\" + path;
  r.AddKey(HKEY_LOCAL_MACHINE, key);
  if (service) r.SetString(HKEY_LOCAL_MACHINE, key, "Service", service);
  if (portName) r.SetString(HKEY_LOCAL_MACHINE, key + "\\Device Parameters", "PortName", portName);
}

TEST(RegistryPorts, VersionSelectsExactlyOneBranch) {
  MemoryRegistry r;
  AddConfigDevice(r, "ROOT&PORTS&0000", "ROOT\\PORTS\\0000", "Ports", "COM3");
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "SERIAL0", "COM7");
  AddInstance(r, "ACPI\\PNP0501\\1", "Serial", "COM9");

  struct Case {
    DWORD platform;
    DWORD major;
    List expected;
  };
  const Case cases[] = {
      {0, 4, {}},
      {0, 5, {}},
      {3, 5, {}},
      {1, 4, {"COM3"}},
      {1, 0, {"COM3"}},
      {1, 10, {"COM3"}},
      {2, 3, {"COM7"}},
      {2, 4, {"COM7"}},
      {2, 5, {"COM9", "COM7"}},
      {2, 6, {"COM9", "COM7"}},
      {2, 10, {"COM9", "COM7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("platform " + std::to_string(c.platform) + " major " + std::to_string(c.major));
    r.SetVersion(c.platform, c.major);
    EXPECT_EQ(Enumerate(r), c.expected);
  }

  // A version query that fails lists nothing.
  r.SetVersion(2, 5, false);
  EXPECT_EQ(Enumerate(r), List{});

  // The list is appended to, never cleared.
  r.SetVersion(2, 10);
  List list{"earlier"};
  EnumerateSerialPorts(r, list);
  EXPECT_EQ(list, (List{"earlier", "COM9", "COM7"}));
}

TEST(RegistryPorts, ConfigManagerListsPortsClassWithComLetter) {
  MemoryRegistry r;
  r.SetVersion(VER_PLATFORM_WIN32_WINDOWS, 4);
  AddConfigDevice(r, "D01", "ROOT\\PORTS\\0000", "Ports", "COM3");
  AddConfigDevice(r, "D02", "ROOT\\PORTS\\0001", "PORTS", "LPT1");
  AddConfigDevice(r, "D03", "ROOT\\PORTS\\0002", nullptr, "COM4");   // no Class
  r.AddKey(HKEY_DYN_DATA, kConfigEnum + "\\D04");                    // no HardWareKey
  AddConfigDevice(r, "D05", "ROOT\\MODEM\\0000", "ports", "MODEM");  // first letter M passes
  AddConfigDevice(r, "D06", "ROOT\\PORTS\\0003", "Ports", "com1");   // lower-case c fails
  AddConfigDevice(r, "D07", "ROOT\\PORTS\\0004", "Ports", "");
  AddConfigDevice(r, "D08", "ROOT\\PORTS\\0005", "Modem", "COM6");
  // A hardware key that is missing from HKLM\Enum.
  r.SetString(HKEY_DYN_DATA, kConfigEnum + "\\D09", "HardWareKey", "ROOT\\GONE\\0000");
  // Value names are matched without regard to case.
  r.SetString(HKEY_DYN_DATA, kConfigEnum + "\\D10", "hardwarekey", "ROOT\\PORTS\\0006");
  r.SetString(HKEY_LOCAL_MACHINE, "Enum\\ROOT\\PORTS\\0006", "class", "Ports");
  r.SetString(HKEY_LOCAL_MACHINE, "Enum\\ROOT\\PORTS\\0006", "PortName", "COM2");
  // Names are kept exactly as stored.
  AddConfigDevice(r, "D11", "ROOT\\PORTS\\0007", "Ports", "OUT 1 ");

  EXPECT_EQ(Enumerate(r), (List{"COM3", "MODEM", "COM2", "OUT 1 "}));

  // Both the device entry and its hardware key were opened and closed again.
  const auto& history = r.OpenHistory();
  EXPECT_NE(std::find(history.begin(), history.end(), "Enum\\ROOT\\PORTS\\0000"), history.end());
  EXPECT_NE(std::find(history.begin(), history.end(), kConfigEnum + "\\D01"), history.end());
}

TEST(RegistryPorts, DeviceMapTriesSerialNamesUpToValueCount) {
  MemoryRegistry r;
  r.SetVersion(VER_PLATFORM_WIN32_NT, 4);
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "SERIAL5", "COM6");
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "Serial2", "COM3");
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "SERIAL0", "COM1");
  // Three values: SERIAL0 to SERIAL2 are tried, in index order.
  EXPECT_EQ(Enumerate(r), (List{"COM1", "COM3"}));

  MemoryRegistry paths;
  paths.SetVersion(VER_PLATFORM_WIN32_NT, 4);
  paths.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\Serial0", "COM1");
  paths.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\Serial1", "COM2");
  EXPECT_EQ(Enumerate(paths), List{});

  MemoryRegistry missing;
  missing.SetVersion(VER_PLATFORM_WIN32_NT, 3);
  EXPECT_EQ(Enumerate(missing), List{});
}

TEST(RegistryPorts, DeviceInstancesWithSerialServiceInWalkOrder) {
  MemoryRegistry r;
  r.SetVersion(VER_PLATFORM_WIN32_NT, 5);
  AddInstance(r, "ACPI\\PNP0501\\1", "Serial", "COM1");
  AddInstance(r, "ACPI\\PNP0501\\2", "serial", "COM2");
  AddInstance(r, "ACPI\\PNP0400\\1", "Parport", "LPT1");
  AddInstance(r, "MF\\PCI#1\\0", "SER2PL", "COM5");
  AddInstance(r, "MF\\PCI#1\\1", "sEr2Pl", nullptr);  // no Device Parameters
  AddInstance(r, "MF\\PCI#1\\2", "Serial", nullptr);
  r.SetString(HKEY_LOCAL_MACHINE, kInstances + "\\MF\\PCI#1\\2\\Device Parameters", "Other", "x");
  AddInstance(r, "USB\\VID_1\\A", "usbser", "COM7");
  AddInstance(r, "USB\\VID_1\\B", nullptr, "COM8");  // no Service
  AddInstance(r, "USB\\VID_1\\C", "SerialX", "COM10");
  AddInstance(r, "ROOT\\PORTS\\0000", "Serial", "COM1");  // same port, second instance
  r.AddKey(HKEY_LOCAL_MACHINE, kInstances + "\\EMPTY\\NODEVICES");

  EXPECT_EQ(Enumerate(r), (List{"COM1", "COM2", "COM5", "", "", "COM1"}));
}

// The instance walk keeps only the built-in drivers' services; the device map
// adds the adapters present now, once each, and keeps Bluetooth links out.
TEST(RegistryPorts, DeviceMapAddsAdaptersAfterInstanceWalk) {
  MemoryRegistry r;
  r.SetVersion(VER_PLATFORM_WIN32_NT, 10);
  AddInstance(r, "ACPI\\PNP0501\\1", "Serial", "COM1");
  AddInstance(r, "FTDIBUS\\VID_0403+PID_6001+A1\\0000", "FTSER2K", "COM12");
  AddInstance(r, "FTDIBUS\\VID_0403+PID_6001+B7\\0000", "FTSER2K", "COM5");  // unplugged
  AddInstance(r, "USB\\VID_2341&PID_0043\\9", "usbser", "COM23");
  AddInstance(r, "BTHENUM\\{00001101}\\8", "BTHMODEM", "COM30");
  AddInstance(r, "MF\\PCI#1\\0", "Ser2pl", nullptr);      // empty entry kept
  AddInstance(r, "ROOT\\PORTS\\0000", "Serial", "COM1");  // duplicate kept
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\Serial0", "COM1");
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\VCP0", "COM12");
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\BthModem0", "COM30");
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\USBSER000", "COM23");
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\Serial1", "com1");  // same port
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\Empty", "");
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\VCP1", std::string(600, 'C'));
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\VCP2", "COM12");  // once only
  r.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\device\\bthmodem1", "COM31");

  // The walk keeps COM1, the empty entry and the duplicate, but none of the
  // adapters: COM5 is in Enum only and so stays out.
  const List expected{"COM1", "", "COM1", "COM12", "COM23"};
  EXPECT_EQ(Enumerate(r), expected);
  List list;
  List leftOut;
  EnumerateSerialPorts(r, list, &leftOut);
  EXPECT_EQ(list, expected);
  EXPECT_EQ(leftOut, (List{"COM30", "COM31"}));
  EXPECT_TRUE(r.OpenKeyPaths().empty());

  // The FTDI adapters' latency timers, a REG_DWORD beside each PortName.
  const std::string ftdi = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\";
  r.SetData(HKEY_LOCAL_MACHINE, ftdi + "VID_0403+PID_6001+A1\\0000\\Device Parameters",
            "LatencyTimer", std::string("\x10\0\0\0", 4));
  r.SetData(HKEY_LOCAL_MACHINE, ftdi + "VID_0403+PID_6001+B7\\0000\\Device Parameters",
            "LatencyTimer", std::string("\x02\0\0\0", 4));
  EXPECT_EQ(FtdiLatencyTimerMs(r, "com12"), 16u);
  EXPECT_EQ(FtdiLatencyTimerMs(r, "COM5"), 2u);
  EXPECT_EQ(FtdiLatencyTimerMs(r, "COM1"), std::nullopt);  // not an FTDI adapter
  EXPECT_EQ(FtdiLatencyTimerMs(r, "COM23"), std::nullopt);
  EXPECT_TRUE(r.OpenKeyPaths().empty());

  // An adapter on a machine whose walk finds nothing: the device map alone.
  MemoryRegistry bare;
  bare.SetVersion(VER_PLATFORM_WIN32_NT, 6);
  bare.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\VCP0", "COM12");
  bare.SetString(HKEY_LOCAL_MACHINE, kDeviceMap, "\\Device\\Silabser0", "COM40");
  EXPECT_EQ(Enumerate(bare), (List{"COM12", "COM40"}));
  // A device map that does not open leaves the walk's list as it is.
  bare.FailOpen(HKEY_LOCAL_MACHINE, kDeviceMap, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Enumerate(bare), List{});
}

TEST(RegistryPorts, KeysThatDoNotOpenYieldNothingAndWalkGoesOn) {
  MemoryRegistry r;
  r.SetVersion(VER_PLATFORM_WIN32_NT, 6);
  AddInstance(r, "ACPI\\PNP0501\\1", "Serial", "COM1");
  AddInstance(r, "BAD\\DEV\\0", "Serial", "COM2");
  AddInstance(r, "GOOD\\DEV\\0", "Serial", "COM3");
  AddInstance(r, "GOOD\\DEV\\1", "Serial", "COM4");
  AddInstance(r, "GOOD\\DEV\\2", "Serial", "COM5");
  AddInstance(r, "QUERY\\DEV\\0", "Serial", "COM6");
  r.FailOpen(HKEY_LOCAL_MACHINE, kInstances + "\\BAD", ERROR_ACCESS_DENIED);
  r.FailOpen(HKEY_LOCAL_MACHINE, kInstances + "\\GOOD\\DEV\\1", ERROR_ACCESS_DENIED);
  r.FailOpen(HKEY_LOCAL_MACHINE, kInstances + "\\GOOD\\DEV\\2\\Device Parameters",
             ERROR_ACCESS_DENIED);
  // Opens but cannot be queried: counts as not opened, and must not stay open.
  r.FailQuery(HKEY_LOCAL_MACHINE, kInstances + "\\QUERY\\DEV", ERROR_ACCESS_DENIED);

  EXPECT_EQ(Enumerate(r), (List{"COM1", "COM3", ""}));

  r.FailOpen(HKEY_LOCAL_MACHINE, kInstances, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Enumerate(r), List{});
}

TEST(RegistryPorts, OpenRegistryKeyReportsStatusAndCounts) {
  MemoryRegistry r;
  r.SetString(HKEY_LOCAL_MACHINE, "A\\B", "one", "1");
  r.SetString(HKEY_LOCAL_MACHINE, "A\\B", "two", "2");
  r.AddKey(HKEY_LOCAL_MACHINE, "A\\B\\C");
  r.FailQuery(HKEY_LOCAL_MACHINE, "A\\Q", ERROR_ACCESS_DENIED);

  HKEY key{};
  DWORD subKeys = 99;
  DWORD values = 99;
  ASSERT_EQ(OpenRegistryKey(r, HKEY_LOCAL_MACHINE, "a\\b", key, subKeys, values), ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 1u);
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(r.CloseKey(key), ERROR_SUCCESS);

  subKeys = values = 99;
  EXPECT_EQ(OpenRegistryKey(r, HKEY_LOCAL_MACHINE, "A\\missing", key, subKeys, values),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(values, 0u);

  subKeys = values = 99;
  EXPECT_EQ(OpenRegistryKey(r, HKEY_LOCAL_MACHINE, "A\\Q", key, subKeys, values),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(values, 0u);
  EXPECT_TRUE(r.OpenKeyPaths().empty());
  EXPECT_EQ(r.BadCloses(), 0u);
}

TEST(RegistryPorts, FindRegistryValueLimitsAndCase) {
  MemoryRegistry r;
  const std::string key = "K";
  r.SetString(HKEY_LOCAL_MACHINE, key, "Long", std::string(512, 'L'));  // 513 bytes
  r.SetString(HKEY_LOCAL_MACHINE, key, "Fits", std::string(511, 'F'));  // 512 bytes
  r.SetData(HKEY_LOCAL_MACHINE, key, "Raw", std::string(512, 'R'));     // no terminator
  r.SetData(HKEY_LOCAL_MACHINE, key, "Embedded", std::string("COM1\0junk", 9));
  r.SetString(HKEY_LOCAL_MACHINE, key, std::string(512, 'N'), "name too long");
  r.SetString(HKEY_LOCAL_MACHINE, key, std::string(511, 'M'), "name fits");
  r.SetString(HKEY_LOCAL_MACHINE, key, "PortName", "COM4");

  HKEY handle{};
  DWORD subKeys = 0;
  DWORD values = 0;
  ASSERT_EQ(OpenRegistryKey(r, HKEY_LOCAL_MACHINE, key, handle, subKeys, values), ERROR_SUCCESS);
  ASSERT_EQ(values, 7u);

  auto find = [&](const std::string& name, DWORD count, std::string& text) {
    ValueBuffer buffer{};
    const bool found = FindRegistryValue(r, handle, count, name, buffer);
    const char* chars = reinterpret_cast<const char*>(buffer);
    text.assign(chars, strnlen(chars, sizeof buffer));
    return found;
  };
  std::string text;
  // Too long: absent, and the buffer still reads as an empty text.
  EXPECT_FALSE(find("Long", values, text));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(find("fits", values, text));
  EXPECT_EQ(text, std::string(511, 'F'));
  EXPECT_TRUE(find("RAW", values, text));
  EXPECT_EQ(text, std::string(512, 'R'));
  EXPECT_TRUE(find("embedded", values, text));
  EXPECT_EQ(text, "COM1");
  EXPECT_FALSE(find(std::string(512, 'N'), values, text));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(find(std::string(511, 'm'), values, text));
  EXPECT_EQ(text, "name fits");
  EXPECT_TRUE(find("PORTNAME", values, text));
  EXPECT_EQ(text, "COM4");
  // Only the first count values are searched.
  EXPECT_FALSE(find("PortName", values - 1, text));
  EXPECT_EQ(text, "");
  EXPECT_EQ(r.CloseKey(handle), ERROR_SUCCESS);

  // In the walk, a port name that is too long reads as a missing one.
  MemoryRegistry walk;
  walk.SetVersion(VER_PLATFORM_WIN32_NT, 5);
  AddInstance(walk, "ACPI\\PNP0501\\1", "Serial", std::string(512, 'C').c_str());
  AddInstance(walk, "ACPI\\PNP0501\\2", "Serial", std::string(511, 'C').c_str());
  // Its text reads "Serial", but the data does not fit and so is not read.
  walk.SetData(HKEY_LOCAL_MACHINE, kInstances + "\\ACPI\\PNP0501\\3", "Service",
               std::string("Serial", 7) + std::string(600, 'x'));
  walk.SetString(HKEY_LOCAL_MACHINE, kInstances + "\\ACPI\\PNP0501\\3\\Device Parameters",
                 "PortName", "COM3");
  EXPECT_EQ(Enumerate(walk), (List{"", std::string(511, 'C')}));
}

}  // namespace
}  // namespace ports
