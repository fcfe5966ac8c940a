// Linux has no registry: the serial ports are the ttys in sysfs that have a
// device behind them. Only sysfs attributes are read; no port is opened.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "Ports.h"

namespace ports {
namespace {

namespace fs = std::filesystem;

// The serial core reports type 0 (PORT_UNKNOWN) for a port slot without a
// UART, such as the spare ttyS entries the 8250 driver registers. A type that
// cannot be read keeps the port: better one port too many than one missing.
bool HasNoUart(const fs::path& tty) {
  std::ifstream in(tty / "type");
  long type = -1;
  return in && (in >> type) && type == 0;
}

// Digit runs compare by value, so ttyS2 comes before ttyS10; otherwise the
// names compare character by character, which groups them by prefix.
bool NaturalLess(const std::string& a, const std::string& b) {
  auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ie = i;
      std::size_t je = j;
      while (ie < a.size() && digit(a[ie])) ++ie;
      while (je < b.size() && digit(b[je])) ++je;
      // Compare the runs without their leading zeros: longer is larger.
      std::size_t is = i;
      std::size_t js = j;
      while (is + 1 < ie && a[is] == '0') ++is;
      while (js + 1 < je && b[js] == '0') ++js;
      if (ie - is != je - js) return ie - is < je - js;
      const int order = a.compare(is, ie - is, b, js, je - js);
      if (order != 0) return order < 0;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  if (i < a.size() || j < b.size()) return j < b.size();
  return a < b;  // equal by value (leading zeros): keep a fixed order
}

// The ttys the kernel writes its console to (a login prompt usually runs
// there too): the station must not get kernel messages, nor the console the
// scan's frames.
std::set<std::string> ActiveConsoles(const fs::path& sysRoot) {
  std::set<std::string> names;
  std::ifstream in(sysRoot / "class" / "tty" / "console" / "active");
  std::string name;
  while (in >> name) names.insert(name);
  return names;
}

}  // namespace

void EnumerateSysfsSerialPorts(std::vector<std::string>& portList, const fs::path& sysRoot,
                               std::vector<std::string>* leftOut) {
  std::vector<std::string> names;
  const std::set<std::string> consoles = ActiveConsoles(sysRoot);
  std::error_code error;
  fs::directory_iterator it(sysRoot / "class" / "tty", error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    const fs::path tty = it->path();
    std::error_code ignored;
    // Virtual consoles, pty masters and the like have no device link.
    if (!fs::exists(tty / "device", ignored)) continue;
    if (HasNoUart(tty)) continue;
    if (consoles.count(tty.filename().string())) {
      if (leftOut) leftOut->push_back("/dev/" + tty.filename().string());
      continue;
    }
    names.push_back(tty.filename().string());
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  if (leftOut) std::sort(leftOut->begin(), leftOut->end(), NaturalLess);
  for (std::string& name : names) {
    // sysfs writes the '/' of a device name in a subfolder of /dev as '!'.
    std::replace(name.begin(), name.end(), '!', '/');
    portList.push_back("/dev/" + name);
  }
}

void EnumerateSerialPorts(std::vector<std::string>& portList) {
  EnumerateSysfsSerialPorts(portList);
}

void EnumerateSerialPorts(std::vector<std::string>& portList, std::vector<std::string>& leftOut) {
  EnumerateSysfsSerialPorts(portList, "/sys", &leftOut);
}

std::optional<std::uint32_t> SysfsLatencyTimerMs(const std::string& port,
                                                 const std::filesystem::path& sysRoot) {
  std::error_code error;
  const std::filesystem::path device = std::filesystem::canonical(port, error);
  const std::string name = (error ? std::filesystem::path(port) : device).filename().string();
  if (name.empty()) return std::nullopt;
  std::ifstream in(sysRoot / "class" / "tty" / name / "device" / "latency_timer");
  unsigned long value = 0;
  if (!(in >> value) || value > 255) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> AdapterLatencyTimerMs(const std::string& port) {
  return SysfsLatencyTimerMs(port);
}

}  // namespace ports
