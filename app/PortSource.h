// Where a press of Start gets the names of the ports to try: the machine's
// own list, or a list the user named. Tests give one of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace app {

class TPortSource {
 public:
  virtual ~TPortSource() = default;
  // Appends the names to try, in the order to try them.
  virtual void EnumerateSerialPorts(std::vector<std::string>& portList) = 0;
  // The ports the last listing left out on purpose (the kernel console, Bluetooth links), so
  // that an empty list can say why.
  virtual std::vector<std::string> LeftOut() const { return {}; }
  // The latency timer (ms) of the USB adapter behind an open port, where its
  // driver keeps one; read only.
  virtual std::optional<std::uint32_t> LatencyTimerMs(const std::string& /*port*/) {
    return std::nullopt;
  }
};

// The machine's serial ports, listed afresh on every call.
TPortSource& SystemPortSource();

// Exactly the names given, in their order, duplicates kept.
class TNamedPortSource : public TPortSource {
 public:
  explicit TNamedPortSource(std::vector<std::string> names) : names_(std::move(names)) {}
  void EnumerateSerialPorts(std::vector<std::string>& portList) override {
    portList.insert(portList.end(), names_.begin(), names_.end());
  }

 private:
  std::vector<std::string> names_;
};

}  // namespace app
