// The POSIX OS layer of the serial component against real pseudo-terminals.
// Modem lines come from the ptymodem library when it is preloaded (CTest
// does that); the tests that need them skip otherwise.

#include <dirent.h>
#include <linux/serial.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CommPosix.h"
#include "PosixLine.h"
#include "PosixPortLock.h"
#include "PtyPair.h"
#include "Watchdog.h"

#include "Termios2.h"

namespace {

using ksidu_test::PtyPair;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The line files live in the build tree unless the caller chose a place.
const bool kLineDirSet = [] {
  if (!std::getenv("KSIDU_PTYMODEM_DIR"))
    ::setenv("KSIDU_PTYMODEM_DIR", KSIDU_PTYMODEM_TEST_DIR, 1);
  // The library may report an output queue (set before any thread runs).
  ::setenv("KSIDU_PTYMODEM_OUTQ", "1", 1);
  return true;
}();

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

termios2 SlaveTermios(int master) {
  termios2 t{};
  EXPECT_EQ(::ioctl(master, TCGETS2, &t), 0);  // a master reports its slave's settings
  return t;
}

int CountEntries(const char* dir) {
  int n = 0;
  DIR* d = ::opendir(dir);
  while (::readdir(d)) ++n;
  ::closedir(d);
  return n;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A process that lives until the test ends it: "another program".
class OtherProcess {
 public:
  OtherProcess() {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::pause();
      ::_exit(0);
    }
  }
  ~OtherProcess() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_;
};

// The id of a process that has ended.
pid_t DeadPid() {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

int OpenDescriptors() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (::readdir(d)) ++n;
  ::closedir(d);
  return n;
}

double ThreadCpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

class PosixLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ksidu-lock-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    lockDir = pattern;
    os.SetLockDirectory(lockDir.string());
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(lockDir, ignored);
  }
  fs::path LockFile() const {
    return lockDir / ("LCK.." + fs::path(pty.SlavePath()).filename().string());
  }
  HANDLE Open() {
    HANDLE h = os.CreateFileA(pty.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << os.GetLastError();
    return h;
  }
  void Timeouts(HANDLE h, DWORD readMs, DWORD writeMs) {
    COMMTIMEOUTS t{MAXDWORD, 0, readMs, 0, writeMs};
    ASSERT_TRUE(os.SetCommTimeouts(h, &t));
  }
  bool ShimActive() {
    if (!pty.CreateLines(TIOCM_CTS)) return false;
    int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    int bits = 0;
    bool ok = fd >= 0 && ::ioctl(fd, TIOCMGET, &bits) == 0 && bits == TIOCM_CTS;
    if (fd >= 0) ::close(fd);
    return ok;
  }

  testsupport::Watchdog watchdog{std::chrono::seconds(90)};
  fs::path lockDir;
  comm::PosixCommOs os;
  PtyPair pty;
};

TEST_F(PosixLayer, OpenIsExclusiveRawAndRefusesWhatIsNoPort) {
  HANDLE h = Open();
  EXPECT_EQ(os.GetFileType(h), FILE_TYPE_CHAR);

  // Raw 8-bit, no hang-up on carrier loss; DTR and RTS drop when the
  // program goes without closing.
  termios2 t = SlaveTermios(pty.Master());
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_TRUE(t.c_cflag & HUPCL);
  // The conventional lock file, with this process's id.
  char owner[16];
  std::snprintf(owner, sizeof owner, "%10d\n", static_cast<int>(::getpid()));
  EXPECT_EQ(ReadFile(LockFile()), owner);

  HANDLE second =
      os.CreateFileA(pty.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  DWORD err = os.GetLastError();
  EXPECT_TRUE(err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED) << err;
  // In use, and by whom: this very process (root passes TIOCEXCL and meets
  // the flock; others meet TIOCEXCL).
  comm::OsError inUse = os.GetLastOsError();
  EXPECT_EQ(inUse.code, err);
  EXPECT_TRUE(inUse.native == EWOULDBLOCK || inUse.native == EBUSY) << inUse.native;
  if (inUse.native == EWOULDBLOCK) {
    EXPECT_EQ(inUse.holderPid, ::getpid());
    EXPECT_FALSE(inUse.holderName.empty());
  }
  // Another layer instance (as another program would) is kept out too.
  comm::PosixCommOs other;
  EXPECT_EQ(other.CreateFileA(pty.SlavePath().c_str(), 0, 0, OPEN_EXISTING, 0),
            INVALID_HANDLE_VALUE);

  ASSERT_TRUE(os.CloseHandle(h));
  EXPECT_EQ(os.GetLastError(), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(LockFile()));
  HANDLE again = Open();  // free once closed
  EXPECT_TRUE(os.CloseHandle(again));

  // Stale and foreign handles fail cleanly.
  DWORD status = 0;
  EXPECT_FALSE(os.GetCommModemStatus(h, &status));
  EXPECT_EQ(os.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(os.CloseHandle(h));
  EXPECT_EQ(os.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(os.PurgeComm(INVALID_HANDLE_VALUE, PURGE_RXCLEAR));
  EXPECT_EQ(os.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(os.WaitForSingleObject(nullptr, 0), WAIT_FAILED);

  EXPECT_EQ(os.CreateFileA("", 0, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  err = os.GetLastError();
  EXPECT_TRUE(err == ERROR_PATH_NOT_FOUND || err == ERROR_FILE_NOT_FOUND) << err;
  EXPECT_EQ(os.GetLastOsError().native, ENOENT);
  EXPECT_EQ(os.CreateFileA("/dev/ksidu-no-such-port", 0, 0, OPEN_EXISTING, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(os.GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(os.GetLastOsError().native, ENOENT);
  EXPECT_EQ(comm::DescribeOsError(ENOENT), "ENOENT (No such file or directory)");
  // A directory does not even open.
  EXPECT_EQ(os.CreateFileA(lockDir.c_str(), 0, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(os.GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(os.GetLastOsError().native, EISDIR);

  // A regular file and /dev/null open but are no comm device; the file type
  // call says why beside its success.
  char path[] = "/tmp/ksidu-posix-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  for (const char* name : {static_cast<const char*>(path), "/dev/null"}) {
    HANDLE file = os.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(os.GetFileType(file), name == path ? FILE_TYPE_DISK : FILE_TYPE_UNKNOWN) << name;
    EXPECT_EQ(os.GetLastError(), ERROR_SUCCESS) << name;
    EXPECT_EQ(os.GetLastOsError().native, ENOTTY) << name;
    DCB dcb{};
    EXPECT_FALSE(os.GetCommState(file, &dcb));
    EXPECT_FALSE(os.SetCommMask(file, EV_RXCHAR));
    EXPECT_TRUE(os.CloseHandle(file));
  }
  ::unlink(path);
}

TEST_F(PosixLayer, LockFilesOfOtherProgramsAreHonouredAndStaleOnesTakenOver) {
  auto writeLock = [&](const std::string& text) { std::ofstream(LockFile()) << text; };
  auto opensRefused = [&](const char* what, pid_t holder = 0) {
    const termios2 before = SlaveTermios(pty.Master());
    EXPECT_EQ(
        os.CreateFileA(pty.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0),
        INVALID_HANDLE_VALUE)
        << what;
    EXPECT_EQ(os.GetLastError(), ERROR_ACCESS_DENIED) << what;
    // In use, by the lock's owner where it names one.
    const comm::OsError e = os.GetLastOsError();
    EXPECT_EQ(e.native, EBUSY) << what;
    EXPECT_EQ(e.holderPid, holder) << what;
    EXPECT_EQ(e.holderName.empty(), holder == 0) << what;
    // The device was not even opened: its settings are untouched.
    EXPECT_EQ(SlaveTermios(pty.Master()).c_lflag, before.c_lflag) << what;
    EXPECT_TRUE(fs::exists(LockFile())) << what;  // and the lock stays
  };
  auto opensAndOwns = [&](const char* what) {
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << what;
    EXPECT_EQ(comm::posix::PortLockFile::ReadOwner(LockFile().string()), ::getpid()) << what;
    EXPECT_TRUE(os.CloseHandle(h));
    EXPECT_FALSE(fs::exists(LockFile())) << what;
  };

  {
    OtherProcess other;
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(other.Pid()));
    writeLock(text);
    opensRefused("HDB lock of a live process", other.Pid());
    // Through another name of the same device, too.
    const fs::path link = lockDir / "station";
    fs::create_symlink(pty.SlavePath(), link);
    EXPECT_EQ(os.CreateFileA(link.c_str(), 0, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(os.GetLastError(), ERROR_ACCESS_DENIED);
    fs::remove(link);
    writeLock(std::to_string(other.Pid()));  // written without padding or newline
    opensRefused("plain lock of a live process", other.Pid());
  }

  writeLock(std::to_string(DeadPid()) + "\n");
  opensAndOwns("lock of a process that has ended");

  // A lock without a readable id may be one being written right now; an old
  // one was left behind.
  writeLock("");
  opensRefused("fresh empty lock");
  const timespec old[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, LockFile().c_str(), old, 0), 0);
  opensAndOwns("empty lock an hour old");

  // Without a usable lock directory the port still opens.
  os.SetLockDirectory((lockDir / "missing").string());
  HANDLE h = Open();
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(os.CloseHandle(h));
}

TEST_F(PosixLayer, ThousandOpenCloseCyclesLeaveNoDescriptor) {
  int before = OpenDescriptors();
  for (int i = 0; i < 1000; ++i) {
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // A refused second open must not leak either.
    ASSERT_EQ(os.CreateFileA(pty.SlavePath().c_str(), 0, 0, OPEN_EXISTING, 0),
              INVALID_HANDLE_VALUE);
    ASSERT_TRUE(os.SetCommMask(h, 0x01FF));
    HANDLE ev = os.CreateEventA(TRUE, FALSE);
    DWORD mask = 0;
    OVERLAPPED ov{};
    ov.hEvent = ev;
    ASSERT_FALSE(os.WaitCommEvent(h, &mask, &ov));
    ASSERT_EQ(os.GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(os.CloseHandle(h));
    ASSERT_EQ(os.WaitForSingleObject(ev, 0), WAIT_FAILED);  // the wait died with the port
    ASSERT_TRUE(os.CloseHandle(ev));
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(PosixLayer, SettingsReachTermiosAndReadBack) {
  HANDLE h = Open();
  DCB dcb{};
  ASSERT_TRUE(os.GetCommState(h, &dcb));
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(dcb.ByteSize, 8);

  // Every rate of the component's table, the non-standard ones through BOTHER.
  for (DWORD baud : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u,
                     57600u, 115200u, 128000u, 256000u}) {
    dcb.BaudRate = baud;
    ASSERT_TRUE(os.SetCommState(h, &dcb)) << baud << " error " << os.GetLastError();
    EXPECT_EQ(SlaveTermios(pty.Master()).c_ospeed, baud);
    DCB back{};
    ASSERT_TRUE(os.GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, baud);
  }

  // The station's line: 19200 8N1 with CTS and DSR output handshake.
  dcb.BaudRate = 19200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 1;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.fParity = 1;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = 1024;
  dcb.XoffLim = 1024;
  dcb.EvtChar = '\n';
  ASSERT_TRUE(os.SetCommState(h, &dcb));
  termios2 t = SlaveTermios(pty.Master());
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_iflag & IXON);
  EXPECT_TRUE(t.c_iflag & IXOFF);
  EXPECT_TRUE(t.c_iflag & INPCK);
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  DCB back{};
  ASSERT_TRUE(os.GetCommState(h, &back));
  EXPECT_EQ(back.fOutxCtsFlow, 1u);
  EXPECT_EQ(back.fOutxDsrFlow, 1u);
  EXPECT_EQ(back.fOutX, 1u);
  EXPECT_EQ(back.fInX, 1u);
  EXPECT_EQ(back.fParity, 1u);
  EXPECT_EQ(back.XonLim, 1024);
  EXPECT_EQ(back.XoffLim, 1024);
  EXPECT_EQ(back.EvtChar, '\n');

  dcb.fOutxCtsFlow = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fParity = 0;
  ASSERT_TRUE(os.SetCommState(h, &dcb));
  t = SlaveTermios(pty.Master());
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | INPCK));

  // What no device takes fails like SetCommState and leaves the line alone.
  const termios2 before = SlaveTermios(pty.Master());
  auto refused = [&](DCB bad, const char* what) {
    EXPECT_FALSE(os.SetCommState(h, &bad)) << what;
    EXPECT_EQ(os.GetLastError(), ERROR_INVALID_PARAMETER) << what;
    termios2 now = SlaveTermios(pty.Master());
    EXPECT_EQ(now.c_cflag, before.c_cflag) << what;
    EXPECT_EQ(now.c_iflag, before.c_iflag) << what;
    EXPECT_EQ(now.c_ospeed, before.c_ospeed) << what;
  };
  DCB bad = dcb;
  bad.ByteSize = 4;
  refused(bad, "4 data bits");
  bad = dcb;
  bad.Parity = 5;
  refused(bad, "parity 5");
  bad = dcb;
  bad.StopBits = ONE5STOPBITS;
  refused(bad, "1.5 stop bits with 8 data bits");
  bad = dcb;
  bad.BaudRate = 0;
  refused(bad, "0 baud");
  bad = dcb;
  bad.fOutX = 1;
  bad.XonChar = bad.XoffChar = 0x11;
  refused(bad, "same XON and XOFF");
  EXPECT_TRUE(os.CloseHandle(h));
}

// What the kernel takes of the line formats reaches the device; a pty keeps
// 8 bits without parity on recent kernels, and the formats it refuses are
// reported as skipped (the mapping itself is checked without the kernel in
// LineMappingWithoutTheKernel).
TEST_F(PosixLayer, LineFormatsReachTheDeviceWhereTheKernelTakesThem) {
  HANDLE h = Open();
  DCB dcb{};
  ASSERT_TRUE(os.GetCommState(h, &dcb));
  struct Line {
    BYTE size, parity, stop;
    tcflag_t cflag;
    const char* name;
  };
  const Line lines[] = {
      {8, NOPARITY, ONESTOPBIT, CS8, "8N1"},
      {7, EVENPARITY, TWOSTOPBITS, CS7 | PARENB | CSTOPB, "7E2"},
      {6, ODDPARITY, ONESTOPBIT, CS6 | PARENB | PARODD, "6O1"},
      {8, EVENPARITY, ONESTOPBIT, CS8 | PARENB, "8E1"},
      {8, ODDPARITY, ONESTOPBIT, CS8 | PARENB | PARODD, "8O1"},
      {8, MARKPARITY, ONESTOPBIT, CS8 | PARENB | PARODD | CMSPAR, "8M1"},
      {8, SPACEPARITY, TWOSTOPBITS, CS8 | PARENB | CMSPAR | CSTOPB, "8S2"},
      {8, NOPARITY, TWOSTOPBITS, CS8 | CSTOPB, "8N2"},
      {5, NOPARITY, ONE5STOPBITS, CS5 | CSTOPB, "5N1.5"},
  };
  // Whatever the kernel refuses, SetCommState must refuse as well and leave
  // the line as it was.
  constexpr tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  auto kernelTakes = [&](tcflag_t cflag) {
    termios2 saved = SlaveTermios(pty.Master());
    termios2 t = saved;
    t.c_cflag = (t.c_cflag & ~kLineBits) | cflag;
    ::ioctl(pty.Master(), TCSETS2, &t);
    bool takes = (SlaveTermios(pty.Master()).c_cflag & kLineBits) == cflag;
    ::ioctl(pty.Master(), TCSETS2, &saved);
    return takes;
  };
  std::string notTaken;
  for (const Line& l : lines) {
    DCB next = dcb;
    next.ByteSize = l.size;
    next.Parity = l.parity;
    next.StopBits = l.stop;
    const bool takes = kernelTakes(l.cflag);
    const termios2 before = SlaveTermios(pty.Master());
    ASSERT_EQ(os.SetCommState(h, &next), takes ? TRUE : FALSE)
        << l.name << " error " << os.GetLastError();
    const DWORD error = os.GetLastError();
    DCB back{};
    ASSERT_TRUE(os.GetCommState(h, &back));
    if (takes) {
      dcb = next;
      EXPECT_EQ(SlaveTermios(pty.Master()).c_cflag & kLineBits, l.cflag) << l.name;
      EXPECT_EQ(back.ByteSize, l.size) << l.name;
      EXPECT_EQ(back.Parity, l.parity) << l.name;
      EXPECT_EQ(back.StopBits, l.stop) << l.name;
    } else {
      notTaken += std::string(" ") + l.name;
      EXPECT_EQ(error, ERROR_INVALID_PARAMETER) << l.name;
      EXPECT_EQ(SlaveTermios(pty.Master()).c_cflag, before.c_cflag) << l.name;
      EXPECT_EQ(back.ByteSize, dcb.ByteSize) << l.name;
      EXPECT_EQ(back.Parity, dcb.Parity) << l.name;
      EXPECT_EQ(back.StopBits, dcb.StopBits) << l.name;
    }
  }
  EXPECT_TRUE(os.CloseHandle(h));
  if (!notTaken.empty()) {
    GTEST_SKIP() << "this kernel keeps the pty from these formats, not checked on a device:"
                 << notTaken;
  }
}

// The DCB's line fields in termios terms and back, with no device involved.
TEST(PosixLine, LineMappingWithoutTheKernel) {
  using comm::posix::DcbFromLine;
  using comm::posix::LineFromDcb;
  DCB d{};
  d.BaudRate = 19200;
  d.ByteSize = 8;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  struct Case {
    BYTE size, parity, stop;
    tcflag_t cflag;
  };
  const Case cases[] = {
      {8, NOPARITY, ONESTOPBIT, CS8},
      {8, ODDPARITY, ONESTOPBIT, CS8 | PARENB | PARODD},
      {8, EVENPARITY, ONESTOPBIT, CS8 | PARENB},
      {7, MARKPARITY, ONESTOPBIT, CS7 | PARENB | PARODD | CMSPAR},
      {6, SPACEPARITY, TWOSTOPBITS, CS6 | PARENB | CMSPAR | CSTOPB},
      {5, NOPARITY, ONE5STOPBITS, CS5 | CSTOPB},
  };
  constexpr tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  for (const Case& c : cases) {
    DCB in = d;
    in.ByteSize = c.size;
    in.Parity = c.parity;
    in.StopBits = c.stop;
    termios2 t{};
    t.c_cflag = CREAD | CLOCAL | HUPCL | CRTSCTS | PARODD;  // stale bits must go
    t.c_iflag = IXANY;
    ASSERT_TRUE(LineFromDcb(in, t)) << int(c.size) << int(c.parity) << int(c.stop);
    EXPECT_EQ(t.c_cflag & kLineBits, c.cflag) << int(c.size) << int(c.parity) << int(c.stop);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | HUPCL), tcflag_t{CREAD | CLOCAL | HUPCL});
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag, tcflag_t{IXANY});
    DCB out{};
    DcbFromLine(t, out);
    EXPECT_EQ(out.ByteSize, c.size);
    EXPECT_EQ(out.Parity, c.parity);
    EXPECT_EQ(out.StopBits, c.stop);
  }

  // Rates: the kernel's codes where it has one, BOTHER otherwise.
  termios2 t{};
  ASSERT_TRUE(LineFromDcb(d, t));
  EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t{B19200});
  EXPECT_EQ(t.c_ospeed, 19200u);
  EXPECT_EQ(t.c_ispeed, 19200u);
  DCB odd = d;
  odd.BaudRate = 14400;
  ASSERT_TRUE(LineFromDcb(odd, t));
  EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t{0010000});
  EXPECT_EQ(t.c_ospeed, 14400u);

  // Handshake, XON/XOFF and parity checking, and their characters.
  DCB flags = d;
  flags.fOutxCtsFlow = 1;
  flags.fOutX = 1;
  flags.fParity = 1;
  ASSERT_TRUE(LineFromDcb(flags, t));
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), tcflag_t{IXON | INPCK});
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  flags.fOutxCtsFlow = 0;
  flags.fOutX = 0;
  flags.fInX = 1;
  flags.fParity = 0;
  ASSERT_TRUE(LineFromDcb(flags, t));
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), tcflag_t{IXOFF});

  // Refused, and nothing changed.
  const termios2 before = t;
  for (auto bad : {+[](DCB& x) { x.ByteSize = 4; }, +[](DCB& x) { x.Parity = 5; },
                   +[](DCB& x) { x.StopBits = ONE5STOPBITS; }, +[](DCB& x) { x.BaudRate = 0; },
                   +[](DCB& x) { x.fInX = 1, x.XonChar = x.XoffChar; }}) {
    DCB x = d;
    bad(x);
    EXPECT_FALSE(LineFromDcb(x, t));
    EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0);
  }

  // Modem status, one line at a time.
  using comm::posix::ModemStatusFromBits;
  EXPECT_EQ(ModemStatusFromBits(TIOCM_CTS), MS_CTS_ON);
  EXPECT_EQ(ModemStatusFromBits(TIOCM_DSR), MS_DSR_ON);
  EXPECT_EQ(ModemStatusFromBits(TIOCM_RNG), MS_RING_ON);
  EXPECT_EQ(ModemStatusFromBits(TIOCM_CAR), MS_RLSD_ON);
  EXPECT_EQ(ModemStatusFromBits(TIOCM_DTR | TIOCM_RTS), 0u);
}

TEST_F(PosixLayer, ReadsWaitAtMostTheTimeout) {
  HANDLE h = Open();
  Timeouts(h, 300, 300);
  char buf[16];
  DWORD got = 99;
  OVERLAPPED ov{};
  ov.hEvent = os.CreateEventA(TRUE, FALSE);

  // Silence: nothing after about the time-out.
  auto start = Clock::now();
  ASSERT_TRUE(os.ReadFile(h, buf, 10, &got, &ov));
  long ms = MsSince(start);
  EXPECT_EQ(got, 0u);
  EXPECT_GE(ms, 240);
  EXPECT_LT(ms, 3000);
  DWORD transferred = 99;
  EXPECT_TRUE(os.GetOverlappedResult(h, &ov, &transferred, TRUE));
  EXPECT_EQ(transferred, 0u);

  // What is already there comes at once.
  pty.WriteMaster("hello");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(os.ResetEvent(ov.hEvent));
  start = Clock::now();
  ASSERT_TRUE(os.ReadFile(h, buf, 5, &got, &ov));
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_LT(MsSince(start), 250);
  EXPECT_EQ(os.WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);  // completed at once
  EXPECT_TRUE(os.GetOverlappedResult(h, &ov, &transferred, FALSE));
  EXPECT_EQ(transferred, 5u);

  // A short reply, and one that comes in pieces, are collected up to the
  // time-out.
  std::thread sender([&] {
    pty.WriteMaster("abc");
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    pty.WriteMaster("de");
  });
  start = Clock::now();
  ASSERT_TRUE(os.ReadFile(h, buf, 10, &got, nullptr));
  ms = MsSince(start);
  sender.join();
  EXPECT_EQ(std::string(buf, got), "abcde");
  EXPECT_GE(ms, 240);
  EXPECT_LT(ms, 3000);

  // MAXDWORD/0/0 returns at once with what is there.
  COMMTIMEOUTS now{MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(os.SetCommTimeouts(h, &now));
  pty.WriteMaster("xy");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(os.ReadFile(h, buf, 10, &got, nullptr));
  EXPECT_EQ(std::string(buf, got), "xy");
  start = Clock::now();
  ASSERT_TRUE(os.ReadFile(h, buf, 10, &got, nullptr));
  EXPECT_EQ(got, 0u);
  EXPECT_LT(MsSince(start), 250);

  // Reading from a port whose other end went away fails instead of waiting.
  Timeouts(h, 5000, 300);
  pty.CloseMaster();
  start = Clock::now();
  EXPECT_FALSE(os.ReadFile(h, buf, 10, &got, nullptr));
  EXPECT_LT(MsSince(start), 2500);
  EXPECT_TRUE(os.CloseHandle(h));
  EXPECT_TRUE(os.CloseHandle(ov.hEvent));
}

TEST_F(PosixLayer, WriteSendsAllAndRxPurgeKeepsOutput) {
  HANDLE h = Open();
  Timeouts(h, 300, 1000);
  DWORD written = 0;
  ASSERT_TRUE(os.WriteFile(h, "abc", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);

  pty.WriteMaster("input");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  DWORD errors = 99;
  COMSTAT stat{};
  ASSERT_TRUE(os.ClearCommError(h, &errors, &stat));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(stat.cbInQue, 5u);
  EXPECT_EQ(stat.cbOutQue, 0u);
  EXPECT_EQ(stat.fCtsHold, 0u);

  // The component's PurgeBuffers: input gone, output unaffected.
  ASSERT_TRUE(os.PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
  ASSERT_TRUE(os.ClearCommError(h, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 0u);
  EXPECT_EQ(pty.ReadMaster(3, 1000), "abc");
  char buf[8];
  DWORD got = 0;
  ASSERT_TRUE(os.ReadFile(h, buf, 5, &got, nullptr));
  EXPECT_EQ(got, 0u);

  // A larger block than one chunk arrives whole and in order.
  std::string block;
  for (int i = 0; i < 2000; ++i) block += static_cast<char>('A' + i % 26);
  std::string echoed;
  std::thread reader([&] { echoed = pty.ReadMaster(block.size(), 3000); });
  ASSERT_TRUE(os.WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &written, nullptr));
  reader.join();
  EXPECT_EQ(written, block.size());
  EXPECT_EQ(echoed, block);

  EXPECT_FALSE(os.PurgeComm(h, 0x10));
  EXPECT_EQ(os.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(os.CloseHandle(h));
}

// A far end that stops reading: the write times out, and what it had not
// taken in by then must not reach it later as a stray half-line.
TEST_F(PosixLayer, TimedOutWriteLeavesNothingToGoOutLater) {
  const bool shim = ShimActive();
  HANDLE h = Open();
  Timeouts(h, 300, 300);
  // Earlier output fills what the far end takes in by itself (its line
  // discipline's buffer); the rest of it waits in the pty, as unsent output
  // waits in a UART's queue.
  DWORD written = 0;
  const std::string earlier(8 * 1024, 'p');
  ASSERT_TRUE(
      os.WriteFile(h, earlier.data(), static_cast<DWORD>(earlier.size()), &written, nullptr));
  ASSERT_EQ(written, earlier.size());
  const std::string block(256 * 1024, 'w');
  auto start = Clock::now();
  ASSERT_TRUE(os.WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &written, nullptr));
  EXPECT_GE(MsSince(start), 240);
  EXPECT_LT(written, block.size());
  const std::string arrived = pty.ReadMaster(earlier.size() + block.size(), 500);
  EXPECT_FALSE(arrived.empty());  // what the far end had taken in stays
  EXPECT_EQ(arrived.find('w'), std::string::npos) << arrived.size() << " bytes arrived";
  // The port goes on working.
  ASSERT_TRUE(os.WriteFile(h, "next", 4, &written, nullptr));
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(pty.ReadMaster(4, 1000), "next");

  // A UART still holding bytes when the time-out comes: those never left,
  // and the count says so. (A pty holds none; the library reports a queue.)
  if (shim) {
    pty.SetOutputQueue(4);
    COMSTAT stat{};
    ASSERT_TRUE(os.ClearCommError(h, nullptr, &stat));
    EXPECT_EQ(stat.cbOutQue, 4u);
    start = Clock::now();
    ASSERT_TRUE(os.WriteFile(h, "0123456789", 10, &written, nullptr));
    EXPECT_GE(MsSince(start), 240);
    EXPECT_EQ(written, 6u);
    pty.SetOutputQueue(0);
  }
  EXPECT_TRUE(os.CloseHandle(h));
  if (!shim) GTEST_SKIP() << "ptymodem library not preloaded: the driver's queue not checked";
}

class EventWait : public PosixLayer {
 protected:
  void SetUp() override {
    port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Timeouts(port, 300, 300);
    event = os.CreateEventA(TRUE, FALSE);
    ov.hEvent = event;
  }
  void TearDown() override {
    if (port) os.CloseHandle(port);
    os.CloseHandle(event);
  }
  // Starts a wait that must go pending.
  void Pend() {
    mask = 0xDEAD;
    ASSERT_TRUE(os.ResetEvent(event));
    ASSERT_FALSE(os.WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(os.GetLastError(), ERROR_IO_PENDING);
  }

  HANDLE port = nullptr;
  HANDLE event = nullptr;
  OVERLAPPED ov{};
  DWORD mask = 0;
};

TEST_F(EventWait, ReceivedBytesAndEventCharFireOnce) {
  ASSERT_TRUE(os.SetCommMask(port, EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY));
  Pend();
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty.WriteMaster("ab");
  });
  EXPECT_EQ(os.WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  sender.join();
  EXPECT_EQ(mask, DWORD{EV_RXCHAR});

  // The same unread bytes do not fire again.
  Pend();
  EXPECT_EQ(os.WaitForSingleObject(event, 300), WAIT_TIMEOUT);
  DWORD transferred = 0;
  EXPECT_FALSE(os.GetOverlappedResult(port, &ov, &transferred, FALSE));
  EXPECT_EQ(os.GetLastError(), ERROR_IO_INCOMPLETE);

  // A new byte does; the event character (default 0x00) adds EV_RXFLAG.
  pty.WriteMaster(std::string(1, '\0'));
  EXPECT_EQ(os.WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(mask, DWORD{EV_RXCHAR | EV_RXFLAG});

  COMSTAT stat{};
  ASSERT_TRUE(os.ClearCommError(port, nullptr, &stat));
  EXPECT_EQ(stat.cbInQue, 3u);  // reporting consumed nothing
  char buf[8];
  DWORD got = 0;
  ASSERT_TRUE(os.ReadFile(port, buf, 3, &got, nullptr));
  EXPECT_EQ(std::string(buf, got), std::string("ab\0", 3));

  // The event character anywhere in what arrives, not only at its end; and
  // only the one the DCB names.
  auto arrive = [&](const std::string& bytes) {
    Pend();
    pty.WriteMaster(bytes);
    EXPECT_EQ(os.WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    DWORD n = 0;
    EXPECT_TRUE(os.ReadFile(port, buf, static_cast<DWORD>(bytes.size()), &n, nullptr));
    EXPECT_EQ(n, bytes.size());
    return mask;
  };
  EXPECT_EQ(arrive(std::string("a\0b", 3)), DWORD{EV_RXCHAR | EV_RXFLAG});
  DCB dcb{};
  ASSERT_TRUE(os.GetCommState(port, &dcb));
  dcb.EvtChar = '\n';
  ASSERT_TRUE(os.SetCommState(port, &dcb));
  EXPECT_EQ(arrive("x\nyz"), DWORD{EV_RXCHAR | EV_RXFLAG});
  EXPECT_EQ(arrive(std::string("x\0y", 3)), DWORD{EV_RXCHAR});

  // Bytes that came while no wait was pending are reported by the next
  // wait at once, as on Windows.
  pty.WriteMaster("z");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  mask = 0;
  ASSERT_TRUE(os.ResetEvent(event));
  ASSERT_TRUE(os.WaitCommEvent(port, &mask, &ov));
  EXPECT_EQ(mask, DWORD{EV_RXCHAR});
  EXPECT_EQ(os.WaitForSingleObject(event, 0), WAIT_OBJECT_0);

  // The output queue running empty after a write.
  Pend();
  DWORD written = 0;
  ASSERT_TRUE(os.WriteFile(port, "out", 3, &written, nullptr));
  EXPECT_EQ(os.WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(mask, DWORD{EV_TXEMPTY});
}

// As on Windows, a pending wait completes when its event happens, whether
// or not a thread is waiting on the OVERLAPPED's event at that moment.
TEST_F(EventWait, APendingWaitCompletesWithNobodyWaitingOnIt) {
  ASSERT_TRUE(os.SetCommMask(port, EV_RXCHAR));
  Pend();
  pty.WriteMaster("q");
  auto completed = [&] { return std::atomic_ref<ULONG_PTR>(ov.Internal).load() != 0x103; };
  for (int i = 0; i < 500 && !completed(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(completed());
  EXPECT_EQ(mask, DWORD{EV_RXCHAR});
  DWORD transferred = 0;
  EXPECT_TRUE(os.GetOverlappedResult(port, &ov, &transferred, FALSE));
  EXPECT_EQ(os.WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

TEST_F(EventWait, SetCommMaskFromAnotherThreadEndsTheWaitWithMaskZero) {
  ASSERT_TRUE(os.SetCommMask(port, 0x01FF));
  Pend();
  std::atomic<DWORD> result{12345};
  std::atomic<long> waited{0};
  std::thread waiter([&] {
    auto start = Clock::now();
    result = os.WaitForSingleObject(event, INFINITE);
    waited = MsSince(start);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = Clock::now();
  ASSERT_TRUE(os.SetCommMask(port, 0x01FF));
  waiter.join();
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_GE(waited.load(), 150);
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  EXPECT_EQ(mask, 0u);
  DWORD transferred = 0;
  EXPECT_TRUE(os.GetOverlappedResult(port, &ov, &transferred, FALSE));
}

TEST_F(EventWait, ClosingThePortOrLosingTheDeviceEndsTheWait) {
  ASSERT_TRUE(os.SetCommMask(port, 0x01FF));
  Pend();
  std::atomic<DWORD> result{12345};
  std::thread waiter([&] { result = os.WaitForSingleObject(event, INFINITE); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(os.CloseHandle(port));
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_FAILED);
  EXPECT_FALSE(os.WaitCommEvent(port, &mask, &ov));
  EXPECT_EQ(os.GetLastError(), ERROR_INVALID_HANDLE);

  // The far end going away (a removed adapter) fails the wait, no hang.
  port = Open();
  ASSERT_TRUE(os.SetCommMask(port, 0x01FF));
  Pend();
  std::thread waiter2([&] { result = os.WaitForSingleObject(event, 10000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  pty.CloseMaster();
  waiter2.join();
  EXPECT_EQ(result.load(), WAIT_FAILED);
  EXPECT_FALSE(os.WaitCommEvent(port, &mask, &ov));
  EXPECT_NE(os.GetLastError(), ERROR_IO_PENDING);
}

TEST_F(EventWait, IdleWaitCostsNoCpu) {
  ASSERT_TRUE(os.SetCommMask(port, 0x01FF));
  for (bool lines : {false, true}) {
    if (lines && !ShimActive()) break;
    if (lines) {
      // With modem lines the layer samples them; still far from a busy loop.
      ASSERT_TRUE(os.CloseHandle(port));
      port = Open();
      ASSERT_TRUE(os.SetCommMask(port, 0x01FF));
    }
    Pend();
    double cpu = -1;
    DWORD result = 0;
    std::thread waiter([&] {
      double before = ThreadCpuMs();
      result = os.WaitForSingleObject(event, 1000);
      cpu = ThreadCpuMs() - before;
    });
    waiter.join();
    EXPECT_EQ(result, WAIT_TIMEOUT);
    EXPECT_GE(cpu, 0.0);
    EXPECT_LT(cpu, 100.0) << (lines ? "with modem lines" : "bare pty");
    RecordProperty(lines ? "cpu_ms_modem_lines" : "cpu_ms_bare_pty", std::to_string(cpu));
    ASSERT_TRUE(os.SetCommMask(port, 0x01FF));  // ends the wait
  }
}

TEST_F(EventWait, MainAndEventThreadShareThePort) {
  ASSERT_TRUE(os.SetCommMask(port, 0x01FF));
  constexpr int kBytes = 3000;
  std::atomic<bool> stop{false};
  std::atomic<int> rxEvents{0};
  // The component's event thread.
  std::thread eventThread([&] {
    HANDLE ev = os.CreateEventA(TRUE, FALSE);
    OVERLAPPED o{};
    o.hEvent = ev;
    while (!stop) {
      DWORD m = 0;
      BOOL ok = os.WaitCommEvent(port, &m, &o);
      if (!ok && os.GetLastError() == ERROR_IO_PENDING)
        ok = os.WaitForSingleObject(ev, INFINITE) == WAIT_OBJECT_0;
      if (ok && (m & EV_RXCHAR)) ++rxEvents;
      os.ResetEvent(ev);
    }
    os.CloseHandle(ev);
  });
  std::thread sender([&] {
    std::string data;
    for (int i = 0; i < kBytes; ++i) data += static_cast<char>(i % 251);
    for (int i = 0; i < kBytes; i += 100) {
      pty.WriteMaster(data.substr(static_cast<std::size_t>(i), 100));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::string got;
  std::string echoedToMaster;
  auto start = Clock::now();
  while (got.size() < kBytes && MsSince(start) < 20000) {
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(os.ClearCommError(port, &errors, &stat));
    char buf[512];
    DWORD n = 0;
    DWORD want = std::min<DWORD>(sizeof buf, stat.cbInQue ? stat.cbInQue : 1);
    ASSERT_TRUE(os.ReadFile(port, buf, want, &n, nullptr));
    got.append(buf, n);
    DWORD written = 0;
    ASSERT_TRUE(os.WriteFile(port, "k", 1, &written, nullptr));
    EXPECT_TRUE(os.EscapeCommFunction(port, SETDTR));  // nothing to drive on a bare pty
  }
  sender.join();
  stop = true;
  ASSERT_TRUE(os.SetCommMask(port, 0x01FF));  // ends the pending wait
  eventThread.join();
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kBytes));
  for (int i = 0; i < kBytes; ++i) ASSERT_EQ(static_cast<unsigned char>(got[i]), i % 251) << i;
  EXPECT_GT(rxEvents.load(), 0);
}

// Modem lines through the preload library, sampled where the driver cannot
// wait for a change (the library without its TIOCMIWAIT) and waited for
// where it can.
class ModemLines : public PosixLayer, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    PosixLayer::SetUp();
    if (!ShimActive()) GTEST_SKIP() << "ptymodem library not preloaded";
  }
  std::uint32_t Mode() const { return GetParam() ? PtyPair::kMiwait : 0u; }
};

TEST_P(ModemLines, EachLineReadsAndSignalsOnItsOwn) {
  pty.CreateLines(Mode());
  HANDLE h = Open();
  DWORD status = 99;
  // Lines that exist and are all low read as low.
  ASSERT_TRUE(os.GetCommModemStatus(h, &status));
  EXPECT_EQ(status, 0u);
  // Where the driver reports changes, the status follows its report (a
  // moment after the change); elsewhere the driver is asked each time.
  auto statusBecomes = [&](DWORD want) {
    for (int i = 0; i < 1000 && os.GetCommModemStatus(h, &status) && status != want; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
  };
  const std::pair<std::uint32_t, DWORD> lines[] = {{TIOCM_CTS, MS_CTS_ON},
                                                   {TIOCM_DSR, MS_DSR_ON},
                                                   {TIOCM_RNG, MS_RING_ON},
                                                   {TIOCM_CAR, MS_RLSD_ON}};
  for (auto [bit, ms] : lines) {
    pty.ChangeLines(bit, 0);
    if (!GetParam()) {
      ASSERT_TRUE(os.GetCommModemStatus(h, &status));
      EXPECT_EQ(status, ms) << "line " << bit;
    }
    EXPECT_EQ(statusBecomes(ms), ms) << "line " << bit;
    pty.ChangeLines(0, bit);
    EXPECT_EQ(statusBecomes(0), 0u) << "line " << bit;
  }
  pty.ChangeLines(TIOCM_CAR | TIOCM_RNG, 0);

  // DTR and RTS go to the line file; the input lines stay.
  ASSERT_TRUE(os.EscapeCommFunction(h, CLRDTR));
  ASSERT_TRUE(os.EscapeCommFunction(h, CLRRTS));
  EXPECT_EQ(pty.Lines() & (TIOCM_DTR | TIOCM_RTS), 0u);
  ASSERT_TRUE(os.EscapeCommFunction(h, SETDTR));
  EXPECT_EQ(pty.Lines() & (TIOCM_DTR | TIOCM_RTS), std::uint32_t{TIOCM_DTR});
  ASSERT_TRUE(os.EscapeCommFunction(h, SETRTS));
  EXPECT_EQ(pty.Lines(), std::uint32_t{TIOCM_DTR | TIOCM_RTS | TIOCM_CAR | TIOCM_RNG});
  ASSERT_TRUE(os.EscapeCommFunction(h, CLRDTR));
  EXPECT_EQ(pty.Lines() & (TIOCM_DTR | TIOCM_RTS), std::uint32_t{TIOCM_RTS});

  // Line changes raise their events, each its own; ring on its trailing edge.
  HANDLE ev = os.CreateEventA(TRUE, FALSE);
  OVERLAPPED ov{};
  ov.hEvent = ev;
  ASSERT_TRUE(os.SetCommMask(h, 0x01FF));
  auto expectEvent = [&](std::uint32_t set, std::uint32_t clear, DWORD expected) {
    DWORD mask = 0;
    ASSERT_TRUE(os.ResetEvent(ev));
    ASSERT_FALSE(os.WaitCommEvent(h, &mask, &ov));
    ASSERT_EQ(os.GetLastError(), ERROR_IO_PENDING);
    std::thread changer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      pty.ChangeLines(set, clear);
    });
    EXPECT_EQ(os.WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
    changer.join();
    EXPECT_EQ(mask, expected) << set << "/" << clear;
  };
  expectEvent(TIOCM_CTS, 0, EV_CTS);
  expectEvent(TIOCM_DSR, 0, EV_DSR);
  expectEvent(0, TIOCM_CAR, EV_RLSD);
  expectEvent(0, TIOCM_RNG, EV_RING);
  expectEvent(TIOCM_CAR, 0, EV_RLSD);
  expectEvent(0, TIOCM_CTS | TIOCM_DSR, EV_CTS | EV_DSR);
  // The ring indicator rising alone is no event yet.
  {
    DWORD mask = 0;
    ASSERT_TRUE(os.ResetEvent(ev));
    ASSERT_FALSE(os.WaitCommEvent(h, &mask, &ov));
    pty.ChangeLines(TIOCM_RNG, 0);
    EXPECT_EQ(os.WaitForSingleObject(ev, 200), WAIT_TIMEOUT);
    ASSERT_TRUE(os.SetCommMask(h, 0x01FF));
    EXPECT_EQ(os.WaitForSingleObject(ev, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, 0u);
  }
  // A change while no wait is pending is reported by the next one at once
  // (once the layer has seen it: where the driver reports changes, a moment
  // after it).
  pty.ChangeLines(0, TIOCM_RNG);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(statusBecomes(MS_RLSD_ON), MS_RLSD_ON);
  DWORD mask = 0;
  ASSERT_TRUE(os.ResetEvent(ev));
  EXPECT_TRUE(os.WaitCommEvent(h, &mask, &ov));
  EXPECT_EQ(mask, DWORD{EV_RING});
  EXPECT_TRUE(os.CloseHandle(ev));
  EXPECT_TRUE(os.CloseHandle(h));
}

// Closing a port whose lines are being waited for ends that wait at once
// and leaves no thread behind.
TEST_P(ModemLines, CloseEndsTheLineWait) {
  pty.CreateLines(Mode() | TIOCM_CTS);
  const int threads = CountEntries("/proc/self/task");
  for (int round = 0; round < 20; ++round) {
    HANDLE h = Open();
    HANDLE ev = os.CreateEventA(TRUE, FALSE);
    OVERLAPPED ov{};
    ov.hEvent = ev;
    ASSERT_TRUE(os.SetCommMask(h, 0x01FF));
    DWORD mask = 0;
    ASSERT_FALSE(os.WaitCommEvent(h, &mask, &ov));
    ASSERT_EQ(os.GetLastError(), ERROR_IO_PENDING);
    if (round % 2) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(os.CloseHandle(h));
    EXPECT_EQ(os.WaitForSingleObject(ev, 0), WAIT_FAILED);
    ASSERT_TRUE(os.CloseHandle(ev));
  }
  for (int i = 0; i < 200 && CountEntries("/proc/self/task") > threads; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
}

// An idle wait costs no CPU, and where the driver can wait for line changes
// the lines are not sampled at all.
TEST_P(ModemLines, IdleWaitDoesNotSampleWhereTheDriverWaits) {
  pty.CreateLines(Mode() | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR);
  HANDLE h = Open();
  HANDLE ev = os.CreateEventA(TRUE, FALSE);
  OVERLAPPED ov{};
  ov.hEvent = ev;
  ASSERT_TRUE(os.SetCommMask(h, 0x01FF));
  DWORD mask = 0;
  ASSERT_FALSE(os.WaitCommEvent(h, &mask, &ov));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::uint32_t reads = pty.LineReads();
  const double before = ThreadCpuMs();
  EXPECT_EQ(os.WaitForSingleObject(ev, 1000), WAIT_TIMEOUT);
  EXPECT_LT(ThreadCpuMs() - before, 100.0);
  const std::uint32_t during = pty.LineReads() - reads;
  RecordProperty(GetParam() ? "line_reads_waiting" : "line_reads_sampling", std::to_string(during));
  if (GetParam()) {
    EXPECT_LE(during, 2u);
  } else {
    EXPECT_GE(during, 5u);  // the fallback does sample
  }
  EXPECT_TRUE(os.CloseHandle(h));
  EXPECT_TRUE(os.CloseHandle(ev));
}

INSTANTIATE_TEST_SUITE_P(Posix, ModemLines, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Waited" : "Sampled"; });

// The port as it was found: settings, and DTR and RTS down again (the
// Windows driver lowers them on close).
TEST_F(PosixLayer, CloseLeavesThePortAsItWasFound) {
  const bool lines = ShimActive();
  // The library plays a USB adapter's driver for the serial flags too: low
  // latency is asked for at the open and the driver's flags put back at
  // close; one the user had set already stays set.
  if (lines) pty.CreateLines(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | PtyPair::kSerial);
  const std::uint32_t serialFlags[] = {ASYNC_SKIP_TEST, ASYNC_SKIP_TEST | ASYNC_SPD_HI,
                                       ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY};
  termios2 found = SlaveTermios(pty.Master());
  found.c_cflag &= ~HUPCL;
  found.c_iflag |= IXON | ICRNL;
  found.c_lflag |= ICANON | ECHO;
  found.c_cc[VMIN] = 3;
  ASSERT_EQ(::ioctl(pty.Master(), TCSETS2, &found), 0);
  found = SlaveTermios(pty.Master());

  for (int round = 0; round < 3; ++round) {
    if (lines) pty.SetSerialFlags(serialFlags[round]);
    HANDLE h = Open();
    DCB dcb{};
    ASSERT_TRUE(os.GetCommState(h, &dcb));
    dcb.BaudRate = 19200;
    dcb.fOutxCtsFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(os.SetCommState(h, &dcb));
    const termios2 open = SlaveTermios(pty.Master());
    EXPECT_FALSE(open.c_lflag & (ICANON | ECHO));
    EXPECT_EQ(open.c_ospeed, 19200u);
    if (lines) {
      EXPECT_EQ(pty.Lines() & (TIOCM_DTR | TIOCM_RTS), std::uint32_t{TIOCM_DTR | TIOCM_RTS});
      EXPECT_EQ(pty.SerialFlags(), serialFlags[round] | ASYNC_LOW_LATENCY) << "round " << round;
    }
    if (round == 1) {
      // An event wait in progress at close changes nothing of that.
      HANDLE ev = os.CreateEventA(TRUE, FALSE);
      OVERLAPPED ov{};
      ov.hEvent = ev;
      DWORD mask = 0;
      ASSERT_TRUE(os.SetCommMask(h, 0x01FF));
      ASSERT_FALSE(os.WaitCommEvent(h, &mask, &ov));
      ASSERT_TRUE(os.CloseHandle(h));
      ASSERT_TRUE(os.CloseHandle(ev));
    } else {
      ASSERT_TRUE(os.CloseHandle(h));
    }
    const termios2 after = SlaveTermios(pty.Master());
    EXPECT_EQ(after.c_iflag, found.c_iflag);
    EXPECT_EQ(after.c_oflag, found.c_oflag);
    EXPECT_EQ(after.c_cflag, found.c_cflag);
    EXPECT_EQ(after.c_lflag, found.c_lflag);
    EXPECT_EQ(after.c_ospeed, found.c_ospeed);
    EXPECT_EQ(std::memcmp(after.c_cc, found.c_cc, sizeof found.c_cc), 0);
    if (lines) {
      EXPECT_EQ(pty.Lines() & (TIOCM_DTR | TIOCM_RTS), 0u);
      EXPECT_EQ(pty.SerialFlags(), serialFlags[round]) << "round " << round;
    }
  }
  if (lines) {
    // The driver was asked: at each open that found low latency off, and at
    // each close after it.
    EXPECT_EQ(pty.SerialSets(), 4u);
  }
  if (!lines) GTEST_SKIP() << "ptymodem library not preloaded: DTR, RTS and flags not checked";
}

TEST_F(PosixLayer, DsrLowHoldsOutputUntilTheTimeout) {
  if (!ShimActive()) GTEST_SKIP() << "ptymodem library not preloaded";
  pty.CreateLines(TIOCM_CTS);  // DSR low
  HANDLE h = Open();
  Timeouts(h, 300, 300);
  DCB dcb{};
  ASSERT_TRUE(os.GetCommState(h, &dcb));
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 1;
  ASSERT_TRUE(os.SetCommState(h, &dcb));
  // Raising DTR and RTS by the DCB's control modes.
  EXPECT_EQ(pty.Lines() & (TIOCM_DTR | TIOCM_RTS), std::uint32_t{TIOCM_DTR | TIOCM_RTS});

  COMSTAT stat{};
  ASSERT_TRUE(os.ClearCommError(h, nullptr, &stat));
  EXPECT_EQ(stat.fDsrHold, 1u);
  EXPECT_EQ(stat.fCtsHold, 0u);

  DWORD written = 99;
  auto start = Clock::now();
  ASSERT_TRUE(os.WriteFile(h, "held", 4, &written, nullptr));
  long ms = MsSince(start);
  EXPECT_EQ(written, 0u);
  EXPECT_GE(ms, 240);
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(pty.ReadMaster(4, 200), "");

  // DSR coming up during the write lets it through.
  std::thread raiser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty.ChangeLines(TIOCM_DSR, 0);
  });
  ASSERT_TRUE(os.WriteFile(h, "free", 4, &written, nullptr));
  raiser.join();
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(pty.ReadMaster(4, 1000), "free");
  ASSERT_TRUE(os.ClearCommError(h, nullptr, &stat));
  EXPECT_EQ(stat.fDsrHold, 0u);
  EXPECT_TRUE(os.CloseHandle(h));
}

}  // namespace
