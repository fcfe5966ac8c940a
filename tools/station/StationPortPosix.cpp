// The station's serial line on POSIX: a pseudo-terminal it creates, or a
// serial device, with termios, poll and a self-pipe for SIGINT / SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "StationPort.h"

namespace station {

namespace {

int g_stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(g_stopPipe[1], &byte, 1);
  errno = saved;
}

std::string ErrnoText(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

speed_t SpeedConstant(std::uint32_t baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return 0;
  }
}

void MakeRaw(termios& t) {
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

class PosixPort : public StationPort {
 public:
  ~PosixPort() override {
    Close();
    RemoveFiles();
  }

  bool OpenPty(const PortOptions& options, std::string& error) {
    fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return Fail(error, ErrnoText("posix_openpt", errno));
    if (::grantpt(fd_) != 0 || ::unlockpt(fd_) != 0)
      return Fail(error, ErrnoText("unlockpt", errno));
    char name[PATH_MAX];
    if (::ptsname_r(fd_, name, sizeof name) != 0) return Fail(error, ErrnoText("ptsname", errno));
    name_ = name;
    // Holding the slave open ourselves keeps the master from reporting a
    // hang-up every time the tool closes the port between its runs.
    slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd_ < 0) return Fail(error, ErrnoText("open " + name_, errno));
    termios t{};
    if (::tcgetattr(slaveFd_, &t) != 0) return Fail(error, ErrnoText("tcgetattr", errno));
    MakeRaw(t);
    ::cfsetispeed(&t, B19200);
    ::cfsetospeed(&t, B19200);
    if (::tcsetattr(slaveFd_, TCSANOW, &t) != 0) return Fail(error, ErrnoText("tcsetattr", errno));
    if (!SetNonBlocking(fd_)) return Fail(error, ErrnoText("fcntl", errno));

    if (!options.modemDir.empty()) {
      int index = 0;
      if (::ioctl(fd_, TIOCGPTN, &index) != 0) return Fail(error, ErrnoText("TIOCGPTN", errno));
      modemFile_ = options.modemDir + "/" + std::to_string(index);
      if (!WriteLines(TIOCM_CAR | TIOCM_CTS | TIOCM_DSR, true))
        return Fail(error, ErrnoText("line file " + modemFile_, errno));
    }
    if (!options.link.empty()) {
      struct stat st {};
      if (::lstat(options.link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) return Fail(error, options.link + " exists and is not a symlink");
        ::unlink(options.link.c_str());
      }
      if (::symlink(name, options.link.c_str()) != 0)
        return Fail(error, ErrnoText("symlink " + options.link, errno));
      link_ = options.link;
    }
    return true;
  }

  bool OpenDevice(const PortOptions& options, std::string& error) {
    name_ = options.device;
    const speed_t speed = SpeedConstant(options.lineSpeed);
    if (speed == 0)
      return Fail(error, "unsupported line speed " + std::to_string(options.lineSpeed));
    do {
      fd_ = ::open(name_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return Fail(error, ErrnoText("open " + name_, errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) return Fail(error, name_ + " is in use");
    termios t{};
    if (::tcgetattr(fd_, &t) != 0)
      return Fail(error, ErrnoText(name_ + " is not a serial port", errno));
    MakeRaw(t);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) return Fail(error, ErrnoText("tcsetattr", errno));
    ::tcflush(fd_, TCIOFLUSH);
    // Through a null-modem cable DTR gives the tool DSR and carrier detect, RTS its CTS.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd_, TIOCMBIS, &lines);
    return true;
  }

  std::string Name() const override { return name_; }
  std::string Error() const override { return error_; }

  WaitResult Wait(std::int64_t timeoutUs, bool wantWrite, std::vector<std::uint8_t>& in) override {
    if (fd_ < 0) {
      error_ = "port closed";
      return WaitResult::Failed;
    }
    pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
                     {g_stopPipe[0], POLLIN, 0}};
    const nfds_t count = g_stopPipe[0] >= 0 ? 2 : 1;
    timespec limit{};
    if (timeoutUs >= 0) {
      limit.tv_sec = static_cast<time_t>(timeoutUs / 1000000);
      limit.tv_nsec = static_cast<long>(timeoutUs % 1000000) * 1000;
    }
    const int n = ::ppoll(fds, count, timeoutUs >= 0 ? &limit : nullptr, nullptr);
    if (n < 0) {
      if (errno == EINTR) return WaitResult::Ready;
      error_ = ErrnoText("poll", errno);
      return WaitResult::Failed;
    }
    if (count == 2 && (fds[1].revents & POLLIN)) return WaitResult::Stop;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      std::uint8_t buffer[4096];
      for (;;) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got > 0) {
          in.insert(in.end(), buffer, buffer + got);
          continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        // End of file or an error: the device has gone (an unplugged adapter).
        if (!in.empty()) break;  // hand over what came first; the next wait reports it
        error_ = got == 0 ? name_ + ": hung up" : ErrnoText("read " + name_, errno);
        return WaitResult::Failed;
      }
    }
    if (fds[0].revents & POLLNVAL) {
      error_ = "port closed";
      return WaitResult::Failed;
    }
    return WaitResult::Ready;
  }

  long Write(std::span<const std::uint8_t> bytes) override {
    if (fd_ < 0) return -1;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      error_ = ErrnoText("write " + name_, errno);
      return -1;
    }
    return static_cast<long>(done);
  }

  void HangUp() override {
    if (slaveFd_ >= 0) {
      // Closing the master throws away what the tool has not read yet, so the
      // last reply is given a moment to be taken first (a second at most).
      ::usleep(20000);
      for (int i = 0; i < 100; ++i) {
        int waiting = 0;
        if (::ioctl(slaveFd_, FIONREAD, &waiting) != 0 || waiting == 0) break;
        ::usleep(10000);
      }
    } else if (fd_ >= 0) {
      ::tcdrain(fd_);
      int lines = TIOCM_DTR | TIOCM_RTS;
      ::ioctl(fd_, TIOCMBIC, &lines);
    }
    if (!modemFile_.empty()) WriteLines(0, false);
    Close();
  }

 private:
  static bool SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
  }

  bool Fail(std::string& error, const std::string& text) {
    error = text;
    return false;
  }

  // The line file holds the TIOCM bits as one native int, changed under flock.
  bool WriteLines(int bits, bool create) {
    const int fd =
        ::open(modemFile_.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT | O_TRUNC : 0), 0666);
    if (fd < 0) return false;
    ::flock(fd, LOCK_EX);
    const std::int32_t value = bits;
    const bool ok = ::pwrite(fd, &value, sizeof value, 0) == sizeof value;
    ::flock(fd, LOCK_UN);
    ::close(fd);
    if (create && ok) createdModemFile_ = true;
    return ok;
  }

  void Close() {
    if (slaveFd_ >= 0) ::close(slaveFd_);
    if (fd_ >= 0) ::close(fd_);
    slaveFd_ = fd_ = -1;
  }

  void RemoveFiles() {
    if (!link_.empty()) {
      char target[PATH_MAX];
      const ssize_t n = ::readlink(link_.c_str(), target, sizeof target - 1);
      if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == name_)
        ::unlink(link_.c_str());
    }
    // A later pty with the same number must not inherit our lines.
    if (createdModemFile_) ::unlink(modemFile_.c_str());
  }

  int fd_ = -1;
  int slaveFd_ = -1;
  std::string name_;
  std::string link_;
  std::string modemFile_;
  bool createdModemFile_ = false;
  std::string error_;
};

}  // namespace

std::unique_ptr<StationPort> OpenStationPort(const PortOptions& options, std::string& error) {
  auto port = std::make_unique<PosixPort>();
  const bool ok =
      options.device.empty() ? port->OpenPty(options, error) : port->OpenDevice(options, error);
  if (!ok) return nullptr;
  return port;
}

void InstallStopHandlers() {
  if (g_stopPipe[0] >= 0) return;
  if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_stopPipe[0] = g_stopPipe[1] = -1;
    return;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // A reader that stops listening to the log must not cost the summary.
  ::signal(SIGPIPE, SIG_IGN);
}

bool PtyAvailable() {
  return true;
}

}  // namespace station
