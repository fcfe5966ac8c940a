// The serial component over the real POSIX layer, against pseudo-terminals:
// what the station's side of the line (the pty master) sees and sends.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Comm.h"
#include "CommPosix.h"
#include "PtyPair.h"
#include "Watchdog.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace comm {
namespace {

namespace fs = std::filesystem;

// The line files live in the build tree unless the caller chose a place.
const bool kLineDirSet = [] {
  if (!std::getenv("KSIDU_PTYMODEM_DIR"))
    ::setenv("KSIDU_PTYMODEM_DIR", KSIDU_PTYMODEM_TEST_DIR, 1);
  return true;
}();

// A pty whose slave stays open between the component's opens, so that bytes
// written by the master are not lost with the component's last close.
class Pty {
 public:
  Pty() {
    keeper_ = open(pair_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    tcgetattr(keeper_, &t);
    cfmakeraw(&t);
    tcsetattr(keeper_, TCSANOW, &t);
  }
  ~Pty() { close(keeper_); }
  const std::string& Slave() const { return pair_.SlavePath(); }
  ksidu_test::PtyPair& Pair() { return pair_; }
  void Send(const std::string& s) { pair_.WriteMaster(s); }
  // What the component wrote, collected for up to two seconds.
  std::string Receive(std::size_t want) { return pair_.ReadMaster(want, 2000); }
  int Keeper() const { return keeper_; }

 private:
  ksidu_test::PtyPair pair_;
  int keeper_ = -1;
};

std::size_t CountEntries(const char* dir) {
  std::size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

class CommPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ksidu-lock-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    lockDir = pattern;
    System().SetLockDirectory(lockDir.string());
    SetMessageBoxService([this](const std::string& t, const std::string& c, unsigned) {
      boxes.push_back(c + ": " + t);
      return 1;
    });
  }
  void TearDown() override {
    for (int i = 0; i < 500 && TCommEventThread::LiveCount() != 0; ++i) {
      TMainThreadQueue::Instance().RunPending();
      std::this_thread::sleep_for(2ms);
    }
    SetMessageBoxService(nullptr);
    System().SetLockDirectory("/var/lock");
    std::error_code ignored;
    fs::remove_all(lockDir, ignored);
  }
  static PosixCommOs& System() { return static_cast<PosixCommOs&>(SystemCommOs()); }
  template <class P>
  bool PumpUntil(P pred, std::chrono::milliseconds limit = 3000ms) {
    auto end = Clock::now() + limit;
    while (!pred()) {
      if (Clock::now() > end) return false;
      TMainThreadQueue::Instance().WaitAndRunPending(5ms);
    }
    return true;
  }
  // The main window's line settings.
  static void Configure(TThreadComm& c, const std::string& port) {
    c.SetPort(port);
    c.SetBaudRate(8);
    c.SetByteSize(4);
    c.SetStopBits(0);
    c.SetParity(0);
  }

  testsupport::Watchdog watchdog{90s};
  fs::path lockDir;
  Pty pty;
  std::vector<std::string> boxes;
};

TEST_F(CommPtyTest, OpensExclusivelyAndAppliesTheLineSettings) {
  TThreadComm a(nullptr);
  Configure(a, pty.Slave());
  a.SetStopBits(2);
  a.SetFlowControl(fcCtsDsr);
  a.Open();
  ASSERT_TRUE(a.IsOpen());
  EXPECT_TRUE(boxes.empty()) << boxes.front();

  TThreadComm b(nullptr);
  Configure(b, pty.Slave());
  b.Open();
  EXPECT_FALSE(b.IsOpen());
  EXPECT_TRUE(boxes.empty());

  // Pseudo-terminals keep 8 data bits without parity; the rest reads back.
  termios t{};
  ASSERT_EQ(tcgetattr(pty.Keeper(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B19200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_FALSE(t.c_lflag & ICANON);
  EXPECT_FALSE(t.c_lflag & ECHO);
  // Settings follow while open.
  a.SetBaudRate(11);
  a.SetStopBits(0);
  a.SetFlowControl(fcNone);
  ASSERT_EQ(tcgetattr(pty.Keeper(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B57600);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(boxes.empty());
  // A setting the device cannot take shows the driver's refusal.
  a.SetParity(1);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "Serial Port Error.: Error updating DataControlBlock.(Error: 87)");
  boxes.clear();

  a.Close();
  b.Open();
  EXPECT_TRUE(b.IsOpen());
  EXPECT_TRUE(boxes.empty());
  b.Close();

  // A terminal program that holds the port by its lock file: the port does
  // not open, and nothing is shown (the scan goes on with the next one).
  pid_t other = ::fork();
  if (other == 0) {
    ::pause();
    ::_exit(0);
  }
  char owner[16];
  std::snprintf(owner, sizeof owner, "%10d\n", static_cast<int>(other));
  const fs::path lock = lockDir / ("LCK.." + fs::path(pty.Slave()).filename().string());
  std::ofstream(lock) << owner;
  b.Open();
  EXPECT_FALSE(b.IsOpen());
  EXPECT_TRUE(boxes.empty());
  // Told as in use, by that program.
  EXPECT_EQ(b.LastOpenError().native, EBUSY);
  EXPECT_EQ(b.LastOpenError().holderPid, other);
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
  // Once that program is gone, its lock is stale.
  b.Open();
  EXPECT_TRUE(b.IsOpen());
  EXPECT_TRUE(boxes.empty());
}

// The reason each port was passed over, in the OS's own terms, so that it
// can be told: no such port, not a port at all, in use and by whom, no
// permission. An open that goes through clears it.
TEST_F(CommPtyTest, AFailedOpenKeepsTheOsErrorOfItsFailingStep) {
  TThreadComm c(nullptr);
  auto failure = [&](const std::string& port) {
    c.SetPort(port);
    c.Open();
    EXPECT_FALSE(c.IsOpen()) << port;
    return c.LastOpenError();
  };
  EXPECT_EQ(failure("/dev/ksidu-no-such-port").native, ENOENT);
  EXPECT_EQ(failure(lockDir.string()).native, EISDIR);
  const OsError null = failure("/dev/null");
  EXPECT_EQ(null.native, ENOTTY);
  EXPECT_EQ(null.code, 1u);

  // Another program holding the port by flock() alone.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    const int fd = ::open(pty.Slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    char ready = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
    [[maybe_unused]] ssize_t w = ::write(fds[1], &ready, 1);
    ::pause();
    ::_exit(0);
  }
  char ready = 0;
  ASSERT_EQ(::read(fds[0], &ready, 1), 1);
  ASSERT_EQ(ready, 'y');
  const OsError held = failure(pty.Slave());
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_EQ(held.code, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(held.native, EWOULDBLOCK);
  EXPECT_EQ(held.holderPid, holder);
  EXPECT_FALSE(held.holderName.empty());

  // No permission: the device is closed to everyone but root, and the open
  // is made by a process that is not root (the tests may run as root).
  struct stat before {};
  ASSERT_EQ(::stat(pty.Slave().c_str(), &before), 0);
  ASSERT_EQ(::chmod(pty.Slave().c_str(), 0600), 0);
  OsError denied;
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(pty.Slave().c_str(), 0), 0);
    denied = failure(pty.Slave());
  } else {
    const pid_t child = ::fork();
    if (child == 0) {
      int result[2] = {-1, -1};
      if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
        PosixCommOs os;
        os.SetLockDirectory("/nonexistent");
        os.CreateFileA(pty.Slave().c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
        result[0] = static_cast<int>(os.GetLastOsError().code);
        result[1] = os.GetLastOsError().native;
      }
      [[maybe_unused]] ssize_t w = ::write(fds[1], result, sizeof result);
      ::_exit(0);
    }
    int result[2] = {0, 0};
    ASSERT_EQ(::read(fds[0], result, sizeof result), static_cast<ssize_t>(sizeof result));
    ::waitpid(child, nullptr, 0);
    if (result[0] < 0) {
      ::chmod(pty.Slave().c_str(), before.st_mode & 07777);
      ::close(fds[0]);
      ::close(fds[1]);
      GTEST_SKIP() << "cannot drop root's privileges here: EACCES not checked";
    }
    denied.code = static_cast<DWORD>(result[0]);
    denied.native = result[1];
  }
  ::chmod(pty.Slave().c_str(), before.st_mode & 07777);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(denied.code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(denied.native, EACCES);

  c.SetPort(pty.Slave());
  c.Open();
  ASSERT_TRUE(c.IsOpen());
  EXPECT_EQ(c.LastOpenError().code, 0u);
  EXPECT_EQ(c.LastOpenError().native, 0);
  EXPECT_TRUE(boxes.empty());
}

// What the scan leaves on every port it tries: the settings found before
// Open, and DTR and RTS down again.
TEST_F(CommPtyTest, CloseLeavesSettingsAndLinesAsTheyWereBeforeOpen) {
  ksidu_test::PtyPair& pair = pty.Pair();
  const bool lines = pair.CreateLines(0);
  termios before{};
  ASSERT_EQ(tcgetattr(pty.Keeper(), &before), 0);
  before.c_lflag |= ICANON | ECHO;
  before.c_iflag |= ICRNL;
  before.c_cflag &= ~HUPCL;
  cfsetspeed(&before, B9600);
  ASSERT_EQ(tcsetattr(pty.Keeper(), TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(pty.Keeper(), &before), 0);

  TThreadComm c(nullptr);
  Configure(c, pty.Slave());
  c.SetFlowControl(fcCtsDsr);
  c.Open();
  ASSERT_TRUE(c.IsOpen());
  c.SetDTR(true);
  c.SetRTS(true);
  if (lines) {
    EXPECT_EQ(pair.Lines() & (TIOCM_DTR | TIOCM_RTS), std::uint32_t{TIOCM_DTR | TIOCM_RTS});
  }
  termios open{};
  ASSERT_EQ(tcgetattr(pty.Keeper(), &open), 0);
  EXPECT_EQ(cfgetospeed(&open), B19200);
  EXPECT_FALSE(open.c_lflag & ICANON);
  c.Close();

  termios after{};
  ASSERT_EQ(tcgetattr(pty.Keeper(), &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetospeed(&after), B9600);
  EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc), 0);
  EXPECT_TRUE(boxes.empty());
  if (!lines) GTEST_SKIP() << "ptymodem library not preloaded: DTR and RTS not checked";
  EXPECT_EQ(pair.Lines() & (TIOCM_DTR | TIOCM_RTS), 0u);
}

TEST_F(CommPtyTest, ReadsAndWritesWithTheirTimeouts) {
  TThreadComm c(nullptr);
  Configure(c, pty.Slave());
  c.ReadTimeout = 400;
  c.Open();
  ASSERT_TRUE(c.IsOpen());

  char buf[16];
  auto start = Clock::now();
  EXPECT_EQ(c.Read(buf, 10), 0);
  auto silent = Clock::now() - start;
  EXPECT_GE(silent, 350ms);
  EXPECT_LT(silent, 3000ms);

  pty.Send("12345");
  std::this_thread::sleep_for(100ms);
  start = Clock::now();
  EXPECT_EQ(c.Read(buf, 5), 5);
  EXPECT_LT(Clock::now() - start, 200ms);
  EXPECT_EQ(std::string(buf, 5), "12345");

  EXPECT_EQ(c.Write("\x5A\x0A\x00\xF1"
                    "0000\xFD\xEB",
                    10),
            10);
  EXPECT_EQ(pty.Receive(10), std::string("\x5A\x0A\x00\xF1"
                                         "0000\xFD\xEB",
                                         10));

  // Purge empties what came in and leaves what goes out alone.
  pty.Send("stale");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(c.Write(":0100000307F5", 13), 13);
  c.PurgeBuffers();
  start = Clock::now();
  EXPECT_EQ(c.Read(buf, 5), 0);
  EXPECT_GE(Clock::now() - start, 350ms);
  EXPECT_EQ(pty.Receive(13), ":0100000307F5");
  EXPECT_TRUE(boxes.empty());
}

TEST_F(CommPtyTest, AnnouncesReceivedBytesAndClosesFromTheHandler) {
  TThreadComm c(nullptr);
  Configure(c, pty.Slave());
  std::string data;
  std::vector<std::uint32_t> counts;
  c.OnRxChar = [&](TObject*, std::uint32_t n) {
    counts.push_back(n);
    char buf[256];
    int got = c.Read(buf, static_cast<std::int32_t>(std::min<std::uint32_t>(n, sizeof buf)));
    if (got > 0) data.append(buf, static_cast<std::size_t>(got));
  };
  c.Open();
  ASSERT_TRUE(c.IsOpen());
  pty.Send("OK.\r\n");
  ASSERT_TRUE(PumpUntil([&] { return data.size() == 5; }));
  EXPECT_EQ(data, "OK.\r\n");
  ASSERT_FALSE(counts.empty());
  EXPECT_GE(counts.front(), 1u);

  // Bytes that sit unread are announced once, not again and again.
  counts.clear();
  c.OnRxChar = [&](TObject*, std::uint32_t n) { counts.push_back(n); };
  pty.Send("abc");
  ASSERT_TRUE(PumpUntil([&] { return !counts.empty() && counts.back() == 3; }));
  std::size_t seen = counts.size();
  auto end = Clock::now() + 300ms;
  while (Clock::now() < end) TMainThreadQueue::Instance().WaitAndRunPending(10ms);
  EXPECT_EQ(counts.size(), seen);

  // Close from inside OnRxChar: no more deliveries, the thread goes away.
  int closes = 0;
  c.OnRxChar = [&](TObject*, std::uint32_t) {
    ++closes;
    c.Close();
  };
  pty.Send("d");
  ASSERT_TRUE(PumpUntil([&] { return closes == 1; }));
  EXPECT_FALSE(c.IsOpen());
  pty.Send("e");
  end = Clock::now() + 200ms;
  while (Clock::now() < end) TMainThreadQueue::Instance().WaitAndRunPending(10ms);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(PumpUntil([] { return TCommEventThread::LiveCount() == 0; }));
}

// After Close the old thread must never touch the old descriptor: the next
// Open may get the same number, and a late purge would eat the new input.
TEST_F(CommPtyTest, ReopenedPortKeepsItsInputAfterCloseFromHandler) {
  TThreadComm c(nullptr);
  Configure(c, pty.Slave());
  c.ReadTimeout = 100;
  for (int round = 0; round < 40; ++round) {
    bool closed = false;
    c.OnRxChar = [&](TObject*, std::uint32_t) {
      c.Close();
      closed = true;
      // Reopen at once, inside the same delivery, and let input arrive.
      c.Open();
      pty.Send("keep");
      std::this_thread::sleep_for(5ms);
    };
    c.Open();
    ASSERT_TRUE(c.IsOpen());
    pty.Send("x");
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    ASSERT_TRUE(c.IsOpen());
    c.OnRxChar = nullptr;
    // Give an old thread every chance to do harm, then read.
    std::this_thread::sleep_for(20ms);
    TMainThreadQueue::Instance().RunPending();
    char buf[16];
    std::string got;
    // One byte at a time: each returns as soon as its byte is there.
    while (got.size() < 5 && c.Read(buf, 1) == 1) got.push_back(buf[0]);
    // "x" may or may not have been read by the first port; "keep" must be whole.
    ASSERT_TRUE(got == "keep" || got == "xkeep") << "round " << round << ": '" << got << "'";
    c.Close();
  }
}

// A USB adapter's driver asks the device for every read of the modem lines
// (TIOCMGET, about a millisecond each). Where the driver reports line
// changes, the lines are read at the open and once per change, never per
// exchange; counted by the modem-line library.
TEST_F(CommPtyTest, ExchangesReadTheModemLinesOnlyAtTheOpenAndOncePerChange) {
  ksidu_test::PtyPair& pair = pty.Pair();
  if (!pair.CreateLines(ksidu_test::PtyPair::kMiwait | TIOCM_CAR | TIOCM_CTS | TIOCM_DSR))
    GTEST_SKIP() << "ptymodem library not preloaded";
  TThreadComm c(nullptr);
  Configure(c, pty.Slave());
  c.SetFlowControl(fcCtsDsr);  // the window's setting: every write looks at CTS and DSR
  int replies = 0;
  int ctsChanges = 0;
  c.OnRxChar = [&](TObject*, std::uint32_t n) {
    char buf[256];
    const int got = c.Read(buf, static_cast<std::int32_t>(std::min<std::uint32_t>(n, sizeof buf)));
    for (int i = 0; i < got; ++i) {
      if (buf[i] == '\n') {
        ++replies;
        c.Write("LINE\r\n", 6);
      }
    }
  };
  c.OnCts = [&](TObject*) { ++ctsChanges; };
  c.Open();
  ASSERT_TRUE(c.IsOpen());
  if (pair.LineReads() == 0) GTEST_SKIP() << "ptymodem library not preloaded";
  c.SetDTR(true);
  c.SetRTS(true);
  EXPECT_TRUE(c.GetModemLine(4));
  // The far end answers every line.
  std::atomic<bool> stop{false};
  std::thread station([&] {
    while (!stop) {
      pollfd p{pair.Master(), POLLIN, 0};
      char buf[256];
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t got = ::read(pair.Master(), buf, sizeof buf);
      for (ssize_t i = 0; i < got; ++i) {
        if (buf[i] == '\n') pair.WriteMaster(".\r\n");
      }
    }
  });
  // Past the open: once the driver's wait for changes is known to work, the
  // status is read no more.
  for (int i = 0; i < 250; ++i) {
    const std::uint32_t before = pair.LineReads();
    EXPECT_TRUE(c.GetModemLine(4));
    if (pair.LineReads() == before) break;
    PumpUntil([] { return false; }, 20ms);
  }
  const std::uint32_t atOpen = pair.LineReads();
  ASSERT_EQ(c.Write("LINE\r\n", 6), 6);
  EXPECT_TRUE(PumpUntil([&] { return replies >= 300; }, 30000ms)) << replies << " replies";
  const std::uint32_t afterExchanges = pair.LineReads();
  pair.ChangeLines(0, TIOCM_CTS);
  EXPECT_TRUE(PumpUntil([&] { return ctsChanges == 1; }));
  PumpUntil([] { return false; }, 100ms);
  const std::uint32_t afterChange = pair.LineReads();
  stop = true;
  station.join();
  c.Close();
  EXPECT_EQ(afterExchanges, atOpen) << "modem-line reads during " << replies << " exchanges";
  EXPECT_EQ(afterChange, afterExchanges + 1) << "modem-line reads for one change";
  EXPECT_LE(pair.LineReads(), 10u) << "modem-line reads from the open to the close";
  EXPECT_TRUE(boxes.empty());
}

TEST_F(CommPtyTest, AThousandOpenCloseCyclesLeaveNoDescriptorOrThread) {
  TThreadComm c(nullptr);
  Configure(c, pty.Slave());
  // Warm up once so lazily created process-wide resources are counted.
  c.Open();
  c.Close();
  ASSERT_TRUE(PumpUntil([] { return TCommEventThread::LiveCount() == 0; }));
  std::this_thread::sleep_for(50ms);
  const std::size_t fds = CountEntries("/proc/self/fd");
  const std::size_t threads = CountEntries("/proc/self/task");
  for (int i = 0; i < 1000; ++i) {
    c.Open();
    ASSERT_TRUE(c.IsOpen()) << i;
    c.Close();
  }
  ASSERT_TRUE(PumpUntil([] { return TCommEventThread::LiveCount() == 0; }));
  // Threads that freed themselves may need a moment to leave the task list.
  for (int i = 0; i < 200 && CountEntries("/proc/self/task") > threads; ++i) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  EXPECT_TRUE(boxes.empty());
}

}  // namespace
}  // namespace comm
