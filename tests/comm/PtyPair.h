// A pseudo-terminal pair for serial tests, and access to the modem-line
// file that the ptymodem LD_PRELOAD library keeps for a pty slave.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace ksidu_test {

class PtyPair {
 public:
  // A bit of the line file that makes the library answer TIOCMIWAIT too.
  static constexpr std::uint32_t kMiwait = 0x40000000;
  // One that makes it answer TIOCGSERIAL/TIOCSSERIAL as a USB adapter's
  // driver does, with the flags kept in the file (SerialFlags).
  static constexpr std::uint32_t kSerial = 0x20000000;

  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
      throw std::runtime_error("no pseudo-terminal");
    char name[64];
    if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname");
    slave_ = name;
    int index = 0;
    if (::ioctl(master_, TIOCGPTN, &index) != 0) throw std::runtime_error("TIOCGPTN");
    if (const char* dir = std::getenv("KSIDU_PTYMODEM_DIR"); dir && *dir) {
      ::mkdir(dir, 0777);
      lineFile_ = std::string(dir) + "/" + std::to_string(index);
      ::unlink(lineFile_.c_str());  // a left-over of an earlier run would fake modem lines
    }
  }
  ~PtyPair() {
    if (!lineFile_.empty()) ::unlink(lineFile_.c_str());
    if (master_ >= 0) ::close(master_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int Master() const { return master_; }
  const std::string& SlavePath() const { return slave_; }
  void CloseMaster() {
    ::close(master_);
    master_ = -1;
  }

  // Gives the slave modem lines (when the ptymodem library is preloaded),
  // starting with these TIOCM_* bits.
  bool CreateLines(std::uint32_t bits) {
    if (lineFile_.empty()) return false;
    int fd = ::open(lineFile_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = ::pwrite(fd, &bits, sizeof bits, 0) == sizeof bits;
    ::close(fd);
    return ok;
  }
  // Raises `set` and lowers `clear` under the library's lock.
  void ChangeLines(std::uint32_t set, std::uint32_t clear) {
    int fd = ::open(lineFile_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("no line file");
    ::flock(fd, LOCK_EX);
    std::uint32_t bits = 0;
    if (::pread(fd, &bits, sizeof bits, 0) != sizeof bits) bits = 0;
    bits = (bits | set) & ~clear;
    bool ok = ::pwrite(fd, &bits, sizeof bits, 0) == sizeof bits;
    ::flock(fd, LOCK_UN);
    ::close(fd);
    if (!ok) throw std::runtime_error("line file write");
  }
  std::uint32_t Lines() const {
    int fd = ::open(lineFile_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("no line file");
    ::flock(fd, LOCK_SH);
    std::uint32_t bits = 0;
    if (::pread(fd, &bits, sizeof bits, 0) != sizeof bits) bits = 0;
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return bits & ~(kMiwait | kSerial);
  }
  // How many TIOCMGET calls the library has answered for this pty.
  std::uint32_t LineReads() const { return Word(1); }
  // The output queue the library reports (with KSIDU_PTYMODEM_OUTQ set), as
  // bytes a UART still holds; 0 for the pty's own.
  void SetOutputQueue(std::uint32_t bytes) {
    int fd = ::open(lineFile_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("no line file");
    ::flock(fd, LOCK_EX);
    bool ok = ::pwrite(fd, &bytes, sizeof bytes, 2 * sizeof bytes) == sizeof bytes;
    ::flock(fd, LOCK_UN);
    ::close(fd);
    if (!ok) throw std::runtime_error("line file write");
  }

  // The driver's serial_struct flags (with kSerial), and how many
  // TIOCSSERIAL calls the library has answered.
  std::uint32_t SerialFlags() const { return Word(4); }
  std::uint32_t SerialSets() const { return Word(5); }
  void SetSerialFlags(std::uint32_t flags) {
    int fd = ::open(lineFile_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("no line file");
    ::flock(fd, LOCK_EX);
    bool ok = ::pwrite(fd, &flags, sizeof flags, 4 * sizeof flags) == sizeof flags;
    ::flock(fd, LOCK_UN);
    ::close(fd);
    if (!ok) throw std::runtime_error("line file write");
  }

  void WriteMaster(const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::write(master_, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("master write");
      done += static_cast<std::size_t>(n);
    }
  }
  // Whatever the slave sent within `ms`, up to `max` bytes; returns early
  // once `max` bytes are there.
  std::string ReadMaster(std::size_t max, int ms) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < max) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      end - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buf[256];
      ssize_t n = ::read(master_, buf, std::min(sizeof buf, max - out.size()));
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  std::uint32_t Word(int index) const {
    int fd = ::open(lineFile_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("no line file");
    ::flock(fd, LOCK_SH);
    std::uint32_t value = 0;
    if (::pread(fd, &value, sizeof value, index * sizeof value) != sizeof value) value = 0;
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return value;
  }

  int master_ = -1;
  std::string slave_;
  std::string lineFile_;
};

}  // namespace ksidu_test
