// The real registry, under Windows or Wine: keys written by the test under a
// device enumerator of its own are found by the platform's port list.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Ports.h"
#include "RegistryWin32.h"

namespace ports {
namespace {

using List = std::vector<std::string>;

class Win32RegistryKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string id = std::to_string(GetCurrentProcessId());
    enumeratorPath_ = "SYSTEM\\CurrentControlSet\\Enum\\KSIDUTEST" + id;
    portPrefix_ = "KSIDU" + id + "_";
  }
  void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, enumeratorPath_.c_str()); }

  void SetString(const std::string& path, const char* name, const std::string& text) {
    HKEY key{};
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (enumeratorPath_ + "\\" + path).c_str(), 0,
                              nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  void Instance(const std::string& path, const char* service, const char* port) {
    SetString(path, "Service", service);
    if (port) SetString(path + "\\Device Parameters", "PortName", port);
  }

  std::string Port(const char* suffix) const { return portPrefix_ + suffix; }

  std::string enumeratorPath_;
  std::string portPrefix_;
};

TEST_F(Win32RegistryKeys, VersionIsNtFamily) {
  Win32Registry registry;
  DWORD platform = 0;
  DWORD major = 0;
  ASSERT_TRUE(registry.GetVersion(platform, major));
  EXPECT_EQ(platform, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_GE(major, 5u);
}

TEST_F(Win32RegistryKeys, DeviceInstancesListedInEnumerationOrder) {
  Instance("DevA\\0000", "Serial", Port("A").c_str());
  Instance("DevA\\0001", "serial", Port("B").c_str());
  Instance("DevA\\0002", "kbdclass", Port("X").c_str());
  Instance("DevB\\0000", "SER2PL", nullptr);
  Instance("DevB\\0001", "Serial", Port("A").c_str());
  Instance("DevB\\0002", "Serial", (Port("L") + std::string(600, 'L')).c_str());  // too long
  Instance("DevC\\0000", "Ser2pl", Port("C").c_str());

  List list;
  EnumerateSerialPorts(list);

  const List expected{Port("A"), Port("B"), "", Port("A"), "", Port("C")};
  const auto first = std::find(list.begin(), list.end(), Port("A"));
  ASSERT_NE(first, list.end());
  ASSERT_GE(list.end() - first, static_cast<std::ptrdiff_t>(expected.size()));
  EXPECT_EQ(List(first, first + static_cast<std::ptrdiff_t>(expected.size())), expected);
  EXPECT_EQ(std::count(list.begin(), list.end(), Port("X")), 0);

  List again;
  EnumerateSerialPorts(again);
  EXPECT_EQ(again, list);
}

}  // namespace
}  // namespace ports
