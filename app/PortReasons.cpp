#include "PortReasons.h"

#include "Main.h"
#include "Ports.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#endif

namespace app {

namespace {

// What Windows calls a handle that is no comm device.
constexpr DWORD kInvalidFunction = 1;

std::string InUse(const comm::OsError& e) {
  std::string reason = "in use by another program";
  if (e.holderPid > 0) {
    reason += " (process " + std::to_string(e.holderPid);
    if (!e.holderName.empty()) reason += ", " + e.holderName;
    reason += ")";
  }
  return reason;
}

#ifndef _WIN32
// Permission denied: the usual first run on Linux, before the user joins the
// group the serial devices belong to. Name that group and how to join it.
std::string PermissionDenied(const std::string& path) {
  struct stat device {};
  if (::stat(path.c_str(), &device) == 0 && (device.st_mode & S_IRWXG) != 0 && device.st_gid != 0) {
    std::string name = std::to_string(device.st_gid);
    if (const struct group* g = ::getgrgid(device.st_gid); g != nullptr && g->gr_name != nullptr)
      name = g->gr_name;
    return "permission denied (the device belongs to group " + name +
           "; join it with: sudo usermod -aG " + name + " $USER, then log in again)";
  }
  return "permission denied";
}
#endif

}  // namespace

std::string OpenFailureReason(const comm::TThreadComm& comm) {
  const comm::OsError& e = comm.LastOpenError();
  if (e.holderPid > 0 || e.code == ERROR_SHARING_VIOLATION) return InUse(e);
#ifdef _WIN32
  switch (e.native) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return "does not exist";
    case ERROR_ACCESS_DENIED:
      // What Windows answers for a COM port another program holds open.
      return "in use by another program, or access denied";
    case kInvalidFunction:
    case ERROR_NOT_SUPPORTED:
      return "not a serial port";
    default:
      break;
  }
#else
  switch (e.native) {
    case ENOENT:
    case ENOTDIR:
      return "does not exist";
    case ENXIO:
    case ENODEV:
      return "no device behind it (unplugged?)";
    case EACCES:
    case EPERM:
      return PermissionDenied(comm.Port());
    case EBUSY:
    case EWOULDBLOCK:
      return InUse(e);
    case EISDIR:
    case ENOTTY:
    case EINVAL:
      return "not a serial port";
    default:
      break;
  }
#endif
  if (e.code == kInvalidFunction) return "not a serial port";
  if (e.native != 0) return "cannot be opened: " + comm::DescribeOsError(e.native);
  return "cannot be opened (error " + std::to_string(e.code) + ")";
}

std::string PortFailureReason(const comm::OsError& e) {
  if (e.code == ERROR_SUCCESS) return {};
  bool gone = false;
  switch (e.code) {
    // What the drivers answer once their device has been removed: usbser
    // and most adapters' own drivers, and the POSIX layer for a hung-up tty.
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      gone = true;
      break;
    default:
      break;
  }
  std::string said;
#ifdef _WIN32
  said = comm::DescribeOsError(e.native != 0 ? e.native : static_cast<int>(e.code));
#else
  if (e.native != 0) {
    said = comm::DescribeOsError(e.native);
  } else if (e.code == ERROR_DEVICE_REMOVED) {
    said = "it hung up";
  } else {
    said = "error " + std::to_string(e.code);
  }
#endif
  return (gone ? "the device is gone (unplugged?): " : "the port failed: ") + said;
}

std::string NoAnswerReason(std::uint32_t frames) {
  return "no valid answer to " + std::to_string(frames) + " identify frame" +
         (frames == 1 ? "" : "s");
}

std::string NoPortsReason(const std::vector<std::string>& leftOut) {
  std::string reason = "no serial ports found";
  if (leftOut.empty()) return reason;
  reason += " (";
  for (std::size_t i = 0; i < leftOut.size(); ++i) {
    if (i > 0) reason += i + 1 == leftOut.size() ? " and " : ", ";
    reason += leftOut[i];
  }
  reason += leftOut.size() == 1 ? " is" : " are";
  reason += " left out: ";
  reason += ports::kLeftOutReason;
  reason += ")";
  return reason;
}

std::vector<std::string> ScanReasonLines(const TRunRecord& run) {
  std::vector<std::string> lines;
  for (const TRunRecord::PassedOver& p : run.passedOver) lines.push_back(p.port + ": " + p.reason);
  if (lines.empty() && run.port.empty()) lines.push_back(NoPortsReason(run.leftOut));
  return lines;
}

}  // namespace app
