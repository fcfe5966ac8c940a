#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "Ports.h"

namespace ports {
namespace {

namespace fs = std::filesystem;
using List = std::vector<std::string>;

// A fake sysfs tree in a fresh temporary folder, removed afterwards.
class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ksidu-sysfs-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "class" / "tty");
    fs::create_directories(root_ / "bus" / "platform" / "drivers" / "serial8250");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  fs::path Device(const std::string& relative) {
    const fs::path dir = root_ / "devices" / relative;
    fs::create_directories(dir);
    return dir;
  }

  // A tty whose class entry is a folder of its own.
  fs::path Tty(const std::string& name) {
    const fs::path dir = root_ / "class" / "tty" / name;
    fs::create_directories(dir);
    return dir;
  }

  // A tty the way sysfs shows it: the class entry links to the tty's folder
  // under its device, and that folder links back to the device.
  void LinkedTty(const std::string& name, const fs::path& device, const char* type) {
    const fs::path dir = device / "tty" / name;
    fs::create_directories(dir);
    fs::create_directory_symlink(device, dir / "device");
    if (type) Write(dir / "type", type);
    fs::create_directory_symlink(dir, root_ / "class" / "tty" / name);
  }

  // A port slot of the 8250 platform device.
  void Serial8250(const std::string& name, const char* type) {
    const fs::path device = Device("platform/serial8250");
    if (!fs::exists(device / "driver")) {
      fs::create_directory_symlink(root_ / "bus" / "platform" / "drivers" / "serial8250",
                                   device / "driver");
    }
    const fs::path tty = Tty(name);
    fs::create_directory_symlink(device, tty / "device");
    Write(tty / "type", type);
  }

  static void Write(const fs::path& file, const std::string& text) {
    std::ofstream(file) << text << "\n";
  }

  fs::path root_;
};

TEST_F(FakeSysfs, ListsRealDevicesInNaturalOrder) {
  // On-board UART found by PnP, with a 16550A.
  LinkedTty("ttyS0", Device("pnp0/00:01"), "4");
  // Spare slots of the 8250 driver without a UART, and one with a UART.
  Serial8250("ttyS1", "0");
  Serial8250("ttyS10", "0");
  Serial8250("ttyS31", "0");
  Serial8250("ttyS2", "4");
  // USB serial and ACM ports, with numbers that sort wrongly as plain text.
  LinkedTty("ttyUSB10", Device("pci0000:00/usb1/1-2/1-2:1.0"), nullptr);
  LinkedTty("ttyUSB2", Device("pci0000:00/usb1/1-3/1-3:1.0"), nullptr);
  LinkedTty("ttyUSB0", Device("pci0000:00/usb1/1-1/1-1:1.0"), nullptr);
  LinkedTty("ttyACM0", Device("pci0000:00/usb1/1-4/1-4:1.0"), nullptr);
  // A platform UART of an ARM board.
  LinkedTty("ttyAMA0", Device("platform/soc/fe201000.serial"), "32");
  // A device name in a subfolder of /dev.
  LinkedTty("dgrp!ttyQ1", Device("pci0000:00/0000:00:1c.0"), nullptr);
  // Virtual ttys: no device behind them.
  Tty("tty0");
  Tty("tty12");
  Tty("console");
  Tty("ptmx");
  // A device link that leads nowhere.
  fs::create_directory_symlink(root_ / "devices" / "gone", Tty("ttyS3") / "device");

  const List expected{"/dev/dgrp/ttyQ1", "/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyS0",
                      "/dev/ttyS2",      "/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyUSB10"};
  List first;
  EnumerateSysfsSerialPorts(first, root_);
  EXPECT_EQ(first, expected);

  // Built afresh on each call and appended to what the list holds.
  List second{"kept"};
  EnumerateSysfsSerialPorts(second, root_);
  ASSERT_EQ(second.size(), expected.size() + 1);
  EXPECT_EQ(second.front(), "kept");
  EXPECT_EQ(List(second.begin() + 1, second.end()), expected);

  // A port that appears between calls shows up in the next list.
  LinkedTty("ttyUSB1", Device("pci0000:00/usb1/1-5/1-5:1.0"), nullptr);
  List third;
  EnumerateSysfsSerialPorts(third, root_);
  EXPECT_EQ(third,
            (List{"/dev/dgrp/ttyQ1", "/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyS2",
                  "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB10"}));
}

// The kernel's active consoles are left out: kernel messages and a login
// prompt would reach the station, and the scan's frames the console.
TEST_F(FakeSysfs, LeavesOutTheActiveConsoles) {
  LinkedTty("ttyS0", Device("pnp0/00:01"), "4");
  Serial8250("ttyS1", "4");
  LinkedTty("ttyUSB0", Device("pci0000:00/usb1/1-1/1-1:1.0"), nullptr);
  LinkedTty("ttyAMA0", Device("platform/soc/fe201000.serial"), "32");
  Tty("tty0");
  // Several consoles, the last one primary: all of them are left out.
  Write(Tty("console") / "active", "tty0 ttyAMA0 ttyS0");
  List list;
  List leftOut;
  EnumerateSysfsSerialPorts(list, root_, &leftOut);
  EXPECT_EQ(list, (List{"/dev/ttyS1", "/dev/ttyUSB0"}));
  EXPECT_EQ(leftOut, (List{"/dev/ttyAMA0", "/dev/ttyS0"}));  // named when nothing else is there

  // A console on a virtual terminal only leaves every serial port listed.
  Write(root_ / "class" / "tty" / "console" / "active", "tty0");
  list.clear();
  EnumerateSysfsSerialPorts(list, root_);
  EXPECT_EQ(list, (List{"/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"}));
}

TEST_F(FakeSysfs, TheLatencyTimerIsReadWhereTheAdapterKeepsOne) {
  const fs::path ftdi = Device("pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0");
  Write(ftdi / "latency_timer", "16");
  LinkedTty("ttyUSB0", ftdi, nullptr);
  const fs::path spoilt = Device("pci0000:00/usb1/1-2/1-2:1.0/ttyUSB1");
  Write(spoilt / "latency_timer", "sixteen");
  LinkedTty("ttyUSB1", spoilt, nullptr);
  LinkedTty("ttyACM0", Device("pci0000:00/usb1/1-4/1-4:1.0"), nullptr);
  EXPECT_EQ(SysfsLatencyTimerMs("/dev/ttyUSB0", root_), 16u);
  EXPECT_EQ(SysfsLatencyTimerMs("/dev/ttyUSB1", root_), std::nullopt);
  EXPECT_EQ(SysfsLatencyTimerMs("/dev/ttyACM0", root_), std::nullopt);  // not an FTDI chip
  EXPECT_EQ(SysfsLatencyTimerMs("/dev/ttyS9", root_), std::nullopt);
}

TEST_F(FakeSysfs, MissingOrEmptyTreeListsNothing) {
  List list;
  EnumerateSysfsSerialPorts(list, root_);
  EXPECT_TRUE(list.empty());
  EnumerateSysfsSerialPorts(list, root_ / "no-such-folder");
  EXPECT_TRUE(list.empty());
}

// This machine's own ports; there may be none. Only sysfs is read.
TEST(SysfsPorts, ListsThisMachineWithoutOpeningPorts) {
  List list;
  EnumerateSerialPorts(list);
  List again;
  EnumerateSerialPorts(again);
  EXPECT_EQ(list, again);
  std::set<std::string> consoles;
  std::ifstream active("/sys/class/tty/console/active");
  for (std::string name; active >> name;) consoles.insert("/dev/" + name);
  std::set<std::string> seen;
  for (const std::string& name : list) {
    EXPECT_EQ(consoles.count(name), 0u) << "the console is listed: " << name;
    ASSERT_EQ(name.rfind("/dev/", 0), 0u) << name;
    std::string sysName = name.substr(5);
    std::replace(sysName.begin(), sysName.end(), '/', '!');
    EXPECT_TRUE(fs::exists(fs::path("/sys/class/tty") / sysName / "device")) << name;
    EXPECT_TRUE(seen.insert(name).second) << "listed twice: " << name;
  }
}

}  // namespace
}  // namespace ports
