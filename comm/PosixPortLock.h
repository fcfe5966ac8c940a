// The lock file that Linux serial programs (minicom, picocom, cu, pppd...)
// take before they open a port: LCK..<device name> in the lock directory,
// holding the owner's process id as ten digits and a newline. A port whose
// lock file names a live process is in use; a lock left by a process that
// is gone is taken over.
#pragma once

#ifndef _WIN32

#include <sys/types.h>

#include <string>

namespace comm::posix {

class PortLockFile {
 public:
  enum class Result {
    Taken,        // this process holds the lock now
    Busy,         // another live program (or this one) holds it
    Unavailable,  // no lock could be taken (directory missing or read-only); nobody holds one
  };

  PortLockFile() = default;
  ~PortLockFile() { Release(); }
  PortLockFile(PortLockFile&& other) noexcept;
  PortLockFile& operator=(PortLockFile&& other) noexcept;
  PortLockFile(const PortLockFile&) = delete;
  PortLockFile& operator=(const PortLockFile&) = delete;

  // Takes the lock of the device at devicePath (symbolic links followed, so
  // /dev/serial/by-id/... and /dev/ttyUSB0 share one lock) in lockDir.
  Result Acquire(const std::string& devicePath, const std::string& lockDir);
  // Removes the lock file if this process still holds it.
  void Release();
  bool Held() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }

  // "LCK..ttyUSB0" for /dev/ttyUSB0; empty when the path names no file.
  static std::string LockName(const std::string& devicePath);
  // The process id a lock file holds: 0 when it holds none that can be read.
  static pid_t ReadOwner(const std::string& lockPath);

 private:
  std::string path_;
};

}  // namespace comm::posix

#endif
