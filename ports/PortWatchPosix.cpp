#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "PortWatch.h"
#include "Ports.h"

namespace ports {

std::string PortIdentity(const std::string& name) {
  char resolved[PATH_MAX];
  if (realpath(name.c_str(), resolved) != nullptr) return resolved;
  return name;
}

bool PortPresent(const std::string& name) {
  struct stat st {};
  return stat(name.c_str(), &st) == 0;
}

PortWatch::PortWatch(std::vector<std::string> names) : names_(std::move(names)) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;
  // A node created, removed or renamed, or its permissions set (udev gives a
  // new node its group a moment after the kernel makes it).
  const std::uint32_t events =
      IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF;
  std::set<std::string> folders;
  if (names_.empty()) {
    folders.insert("/dev");
  } else {
    for (const std::string& name : names_) {
      const auto slash = name.find_last_of('/');
      folders.insert(slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash));
    }
  }
  // A folder that does not exist yet is left to the slow listing.
  for (const std::string& folder : folders) inotify_add_watch(fd_, folder.c_str(), events);
}

PortWatch::~PortWatch() {
  if (fd_ >= 0) close(fd_);
}

std::vector<std::string> PortWatch::List() const {
  std::vector<std::string> present;
  if (names_.empty()) {
    std::vector<std::string> listed;
    EnumerateSerialPorts(listed);
    for (std::string& name : listed) {
      // sysfs has the port a moment before /dev has its node.
      if (PortPresent(name)) present.push_back(std::move(name));
    }
  } else {
    for (const std::string& name : names_) {
      if (PortPresent(name)) present.push_back(name);
    }
  }
  return present;
}

void PortWatch::Drain() {
  if (fd_ < 0) return;
  alignas(inotify_event) char buffer[4096];
  while (read(fd_, buffer, sizeof buffer) > 0) {
  }
}

std::chrono::milliseconds PortWatch::PollInterval() const {
  // Named ports may be links to nodes whose folder inotify cannot watch
  // (/dev/pts): a stat per name a second costs nothing. The machine's list
  // walks sysfs, and its nodes appear in /dev, which is watched.
  return names_.empty() ? std::chrono::milliseconds(5000) : std::chrono::milliseconds(1000);
}

}  // namespace ports
