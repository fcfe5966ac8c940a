#include "PortSource.h"

#include "Ports.h"

namespace app {

namespace {
class SystemPorts : public TPortSource {
 public:
  void EnumerateSerialPorts(std::vector<std::string>& portList) override {
    ports::EnumerateSerialPorts(portList);
  }
};
}  // namespace

TPortSource& SystemPortSource() {
  static SystemPorts source;
  return source;
}

}  // namespace app
