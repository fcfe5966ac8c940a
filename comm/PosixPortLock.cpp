#ifndef _WIN32

#include "PosixPortLock.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace comm::posix {

namespace {

// A lock file without a readable process id may be one that its owner is
// still writing; only an old one is taken for abandoned.
constexpr std::time_t kUnreadableLockAge = 10;

enum class Owner { Vanished, Live, Stale };

pid_t ParseOwner(const char* text, ssize_t n) {
  ssize_t i = 0;
  while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
  long long pid = 0;
  bool digits = false;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    digits = true;
    pid = pid * 10 + (text[i] - '0');
    if (pid > INT_MAX) return 0;
  }
  if (digits) return static_cast<pid_t>(pid);
  // Some old programs write the id as a binary int.
  if (n == static_cast<ssize_t>(sizeof(int))) {
    int binary = 0;
    std::copy(text, text + sizeof(int), reinterpret_cast<char*>(&binary));
    return binary > 0 ? binary : 0;
  }
  return 0;
}

Owner Judge(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? Owner::Vanished : Owner::Live;  // unreadable: held
  char text[64];
  ssize_t n;
  do {
    n = ::read(fd, text, sizeof text);
  } while (n < 0 && errno == EINTR);
  struct stat st {};
  const bool haveStat = ::fstat(fd, &st) == 0;
  ::close(fd);
  const pid_t pid = n > 0 ? ParseOwner(text, n) : 0;
  if (pid <= 0) {
    const bool young = !haveStat || std::time(nullptr) - st.st_mtime < kUnreadableLockAge;
    return young ? Owner::Live : Owner::Stale;
  }
  if (::kill(pid, 0) == 0 || errno == EPERM) return Owner::Live;
  return Owner::Stale;
}

}  // namespace

PortLockFile::PortLockFile(PortLockFile&& other) noexcept : path_(std::exchange(other.path_, {})) {}

PortLockFile& PortLockFile::operator=(PortLockFile&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

std::string PortLockFile::LockName(const std::string& devicePath) {
  std::string device = devicePath;
  if (char* real = ::realpath(devicePath.c_str(), nullptr)) {
    device = real;
    std::free(real);
  }
  const std::size_t slash = device.find_last_of('/');
  std::string base = slash == std::string::npos ? device : device.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") return {};
  return "LCK.." + base;
}

pid_t PortLockFile::ReadOwner(const std::string& lockPath) {
  int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return 0;
  char text[64];
  ssize_t n;
  do {
    n = ::read(fd, text, sizeof text);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n > 0 ? ParseOwner(text, n) : 0;
}

PortLockFile::Result PortLockFile::Acquire(const std::string& devicePath,
                                           const std::string& lockDir) {
  Release();
  const std::string name = LockName(devicePath);
  if (name.empty() || lockDir.empty()) return Result::Unavailable;
  const std::string path = lockDir + "/" + name;
  // A few rounds: a stale lock removed here may be taken by someone else
  // before this process creates its own.
  for (int round = 0; round < 4; ++round) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
      ::fchmod(fd, 0644);  // readable by every program that honours it, whatever the umask
      char text[16];
      const int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
      ssize_t done = 0;
      while (done < len) {
        ssize_t w = ::write(fd, text + done, static_cast<std::size_t>(len - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += w;
      }
      ::close(fd);
      if (done != len) {
        ::unlink(path.c_str());  // a lock without an owner would block others for a while
        return Result::Unavailable;
      }
      path_ = path;
      return Result::Taken;
    }
    const int createError = errno;
    const Owner owner = Judge(path);
    if (owner == Owner::Live) return Result::Busy;
    if (createError != EEXIST) return Result::Unavailable;  // lock directory not usable
    if (owner == Owner::Stale && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return Result::Unavailable;  // its owner is gone, so nobody holds the port
    }
  }
  return Result::Busy;
}

void PortLockFile::Release() {
  if (path_.empty()) return;
  if (ReadOwner(path_) == ::getpid()) ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace comm::posix

#endif
