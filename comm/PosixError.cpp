// The POSIX layer's last error, per thread: the Windows-style code the
// component works with, the errno it came from, and for a port in use the
// program that holds it.

#ifndef _WIN32

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "PosixPort.h"

namespace comm::posix {

namespace {

thread_local OsError t_error;

std::string ProcessName(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// The process that holds a flock() on the device, from /proc/locks: its
// lines name the locked file as "MAJOR:MINOR:INODE" (the file system's
// device numbers in hex), the holder's pid just before.
long FlockHolder(const struct stat& device) {
  std::ifstream in("/proc/locks");
  char want[64];
  std::snprintf(want, sizeof want, "%02x:%02x:%llu", major(device.st_dev), minor(device.st_dev),
                static_cast<unsigned long long>(device.st_ino));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word, previous;
    bool waiting = false;  // "->": a process waiting for the lock, not holding it
    while (words >> word) {
      if (word == "->") waiting = true;
      if (word == want) {
        const long pid = std::strtol(previous.c_str(), nullptr, 10);
        if (!waiting && pid > 0) return pid;
        break;
      }
      previous = word;
    }
  }
  return 0;
}

// A process with the device open, from /proc/*/fd (only those this process
// may look into).
long OpenerOf(const struct stat& device) {
  DIR* procs = ::opendir("/proc");
  if (!procs) return 0;
  long found = 0;
  while (dirent* p = ::readdir(procs)) {
    char* end = nullptr;
    const long pid = std::strtol(p->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == ::getpid()) continue;
    const std::string dir = std::string("/proc/") + p->d_name + "/fd";
    DIR* fds = ::opendir(dir.c_str());
    if (!fds) continue;
    while (dirent* f = ::readdir(fds)) {
      struct stat st {};
      if (f->d_name[0] != '.' && ::stat((dir + "/" + f->d_name).c_str(), &st) == 0 &&
          S_ISCHR(st.st_mode) && st.st_rdev == device.st_rdev) {
        found = pid;
        break;
      }
    }
    ::closedir(fds);
    if (found) break;
  }
  ::closedir(procs);
  return found;
}

}  // namespace

void NoteError(DWORD code, int native) {
  t_error.code = code;
  t_error.native = native;
  t_error.holderPid = 0;
  if (!t_error.holderName.empty()) t_error.holderName.clear();
}

BOOL Fail(DWORD code, int native) {
  NoteError(code, native);
  return FALSE;
}

BOOL FailErrno(int e) {
  return Fail(FromErrno(e), e);
}

BOOL Succeed() {
  NoteError(ERROR_SUCCESS, 0);
  return TRUE;
}

DWORD LastError() {
  return t_error.code;
}

const OsError& LastOsError() {
  return t_error;
}

void FailInUse(DWORD code, int native, const char* path, long lockOwner) {
  NoteError(code, native);
  long pid = lockOwner;
  struct stat device {};
  if (pid <= 0 && ::stat(path, &device) == 0 && S_ISCHR(device.st_mode)) {
    pid = FlockHolder(device);
    if (pid <= 0) pid = OpenerOf(device);
  }
  if (pid > 0) {
    t_error.holderPid = pid;
    t_error.holderName = ProcessName(pid);
  }
}

DWORD FromErrno(int e) {
  switch (e) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
      return ERROR_SHARING_VIOLATION;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EIO:
    case ENXIO:
    case ENODEV:
      return ERROR_DEVICE_REMOVED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

bool NoModemControl(int e) {
  return e == ENOTTY || e == EINVAL;
}
bool DeviceGone(int e) {
  return e == EIO || e == ENXIO || e == ENODEV;
}

}  // namespace comm::posix

#endif
