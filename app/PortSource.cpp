#include "PortSource.h"

#include "Ports.h"

namespace app {

namespace {
class SystemPorts : public TPortSource {
 public:
  void EnumerateSerialPorts(std::vector<std::string>& portList) override {
    leftOut_.clear();
    ports::EnumerateSerialPorts(portList, leftOut_);
  }
  std::vector<std::string> LeftOut() const override { return leftOut_; }
  std::optional<std::uint32_t> LatencyTimerMs(const std::string& port) override {
    return ports::AdapterLatencyTimerMs(port);
  }

 private:
  std::vector<std::string> leftOut_;
};
}  // namespace

TPortSource& SystemPortSource() {
  static SystemPorts source;
  return source;
}

}  // namespace app
