// Following the ports over time, for a program that upgrades each station as
// its port appears: which ports are there now, and a handle that is signalled
// when that may have changed, so that nobody has to poll quickly. On Linux the
// handle is an inotify descriptor on the device folders (a USB adapter's node
// appears in /dev); on Windows a registry change notification on the device
// map. What neither reports is caught by a slow listing (PollInterval).
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace ports {

// What tells two names of one device apart from two devices: on Linux the
// path with every symbolic link resolved (the name itself while it resolves
// to nothing), on Windows the name in capitals without a "\\.\" prefix.
std::string PortIdentity(const std::string& name);

// Whether the named port exists now; a link to nothing does not.
bool PortPresent(const std::string& name);

class PortWatch {
 public:
  // names: the names to follow, whether or not they exist yet; empty: the
  // machine's own ports.
  explicit PortWatch(std::vector<std::string> names);
  ~PortWatch();
  PortWatch(const PortWatch&) = delete;
  PortWatch& operator=(const PortWatch&) = delete;

  // The ports present now: the machine's, in its order, or those of the
  // names that exist, in the order given.
  std::vector<std::string> List() const;

#ifdef _WIN32
  // Signalled when a change may have happened; null when none can be
  // reported.
  void* Handle() const {
    return event_;
  }
#else
  // Readable when a change may have happened; -1 when none can be reported.
  int Descriptor() const {
    return fd_;
  }
#endif
  // Takes what the handle reported and arms it again; then List.
  void Drain();
  // The longest time to go without a List all the same.
  std::chrono::milliseconds PollInterval() const;

 private:
  void Arm();

  std::vector<std::string> names_;
#ifdef _WIN32
  void* event_ = nullptr;
  void* key_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace ports
