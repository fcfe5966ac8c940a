// Closing the serial component under stress, over the real POSIX layer and
// pseudo-terminals: from inside OnRxChar while bytes keep arriving, while the
// event thread is blocked handing an event over, while a wait is pending on
// a silent line; and ten thousand opens and closes. Every test ends with the
// process's descriptors and threads back where they were.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
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

const bool kLineDirSet = [] {
  if (!std::getenv("KSIDU_PTYMODEM_DIR"))
    ::setenv("KSIDU_PTYMODEM_DIR", KSIDU_PTYMODEM_TEST_DIR, 1);
  return true;
}();

std::size_t CountEntries(const char* dir) {
  std::size_t n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

std::size_t Descriptors() {
  return CountEntries("/proc/self/fd");
}
std::size_t Threads() {
  return CountEntries("/proc/self/task");
}

// A pty whose slave stays open between the component's opens, as a station
// program keeps its side, with carrier detect, CTS and DSR given.
class Line {
 public:
  explicit Line(std::uint32_t extraBits = 0) {
    keeper_ = ::open(pair_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    ::tcgetattr(keeper_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(keeper_, TCSANOW, &t);
    pair_.CreateLines(TIOCM_CAR | TIOCM_CTS | TIOCM_DSR | extraBits);
    // The far end never blocks: bytes the tty cannot take are dropped.
    ::fcntl(pair_.Master(), F_SETFL, ::fcntl(pair_.Master(), F_GETFL) | O_NONBLOCK);
  }
  ~Line() { ::close(keeper_); }
  // Empties the slave's input through the keeper, as a port that nobody has
  // open keeps no input (the Windows driver starts every open empty).
  void DropWaitingInput() {
    ::fcntl(keeper_, F_SETFL, ::fcntl(keeper_, F_GETFL) | O_NONBLOCK);
    char buf[4096];
    while (::read(keeper_, buf, sizeof buf) > 0) {
    }
  }
  const std::string& Slave() const { return pair_.SlavePath(); }
  ksidu_test::PtyPair& Pair() { return pair_; }
  bool Send(const char* text, std::size_t n) { return ::write(pair_.Master(), text, n) > 0; }
  // Throws away what the component wrote, so that its writes never block.
  void DrainMaster() {
    char buf[4096];
    while (::read(pair_.Master(), buf, sizeof buf) > 0) {
    }
  }

 private:
  ksidu_test::PtyPair pair_;
  int keeper_ = -1;
};

// Bytes arriving on the line all the time, from a thread of their own: a
// short reply every tenth of a millisecond, a hundred times what a line at
// 19,200 baud carries. (Faster than the layer can take them in, they would
// fill its queue during the open, which then never announces them; see the
// disabled test at the end.)
class Sender {
 public:
  explicit Sender(Line& line)
      : thread_([this, &line] {
          static const char kText[] = "EE.\r\n:10000000FF\r\n.\r\n";
          while (!stop_.load()) {
            if (line.Send(kText, sizeof kText - 1)) sent_.fetch_add(1);
            line.DrainMaster();
            std::this_thread::sleep_for(100us);
          }
        }) {}
  ~Sender() {
    stop_ = true;
    thread_.join();
  }
  long Sent() const { return sent_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<long> sent_{0};
  std::thread thread_;
};

class CommStress : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ksidu-stress-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    lockDir_ = pattern;
    System().SetLockDirectory(lockDir_.string());
    SetMessageBoxService([this](const std::string& t, const std::string& c, unsigned) {
      boxes.push_back(c + ": " + t);
      return 1;
    });
  }
  void TearDown() override {
    SettleThreads();
    SetMessageBoxService(nullptr);
    System().SetLockDirectory("/var/lock");
    std::error_code ignored;
    fs::remove_all(lockDir_, ignored);
  }

  static PosixCommOs& System() { return static_cast<PosixCommOs&>(SystemCommOs()); }
  static void Configure(TThreadComm& c, const std::string& port) {
    c.SetPort(port);
    c.SetBaudRate(8);
    c.SetByteSize(4);
    c.SetStopBits(0);
    c.SetParity(0);
    c.SetFlowControl(fcCtsDsr);
  }
  template <class P>
  static bool PumpUntil(P pred, std::chrono::milliseconds limit = 5000ms) {
    const auto end = Clock::now() + limit;
    while (!pred()) {
      if (Clock::now() > end) return false;
      TMainThreadQueue::Instance().WaitAndRunPending(2ms);
    }
    return true;
  }
  static void Pump(std::chrono::milliseconds span) {
    const auto end = Clock::now() + span;
    while (Clock::now() < end) TMainThreadQueue::Instance().WaitAndRunPending(1ms);
  }
  // Event threads free themselves a moment after Close; their task entries
  // go a moment after that.
  static void SettleThreads(std::size_t threads = 0) {
    PumpUntil([] { return TCommEventThread::LiveCount() == 0; }, 10000ms);
    for (int i = 0; i < 2000 && threads != 0 && Threads() > threads; ++i) {
      std::this_thread::sleep_for(5ms);
    }
  }
  // Descriptors and threads of the process before the rounds: one open and
  // close first, so that lazily made process-wide things are counted.
  void Baseline(TThreadComm& c) {
    c.Open();
    c.Close();
    SettleThreads();
    std::this_thread::sleep_for(50ms);
    fds_ = Descriptors();
    threads_ = Threads();
  }
  void ExpectBackToBaseline() {
    SettleThreads(threads_);
    EXPECT_EQ(TCommEventThread::LiveCount(), 0);
    EXPECT_EQ(Descriptors(), fds_) << "descriptors leaked";
    EXPECT_EQ(Threads(), threads_) << "threads left behind";
    EXPECT_TRUE(fs::is_empty(lockDir_)) << "a lock file was left behind";
  }
  static void Report(const char* what, const std::vector<double>& ms) {
    if (ms.empty()) return;
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double v : sorted) sum += v;
    std::printf("[ measure  ] %s: %zu closes, mean %.3f ms, median %.3f ms, max %.3f ms\n", what,
                sorted.size(), sum / static_cast<double>(sorted.size()), sorted[sorted.size() / 2],
                sorted.back());
  }

  testsupport::Watchdog watchdog{110s, "stress test"};
  std::vector<std::string> boxes;

 private:
  fs::path lockDir_;
  std::size_t fds_ = 0;
  std::size_t threads_ = 0;
};

TEST_F(CommStress, CloseFromInsideOnRxCharWhileBytesKeepArriving) {
  Line line;
  TThreadComm c(nullptr);
  Configure(c, line.Slave());
  Baseline(c);

  int lateCalls = 0;  // a handler called while the port is closed
  long bytesRead = 0;
  int deliveries = 0;
  int closeAfter = 1;
  c.OnRxChar = [&](TObject*, std::uint32_t count) {
    if (!c.IsOpen()) {
      ++lateCalls;
      return;
    }
    char buf[256];
    const int got =
        c.Read(buf, static_cast<std::int32_t>(std::min<std::uint32_t>(count, sizeof buf)));
    if (got > 0) bytesRead += got;
    if (++deliveries >= closeAfter) {
      c.Close();
      // The rest of this delivery runs with the port closed: nothing may fail.
      EXPECT_EQ(c.Read(buf, 1), -1);
    }
  };

  std::mt19937 random(1234);
  const int rounds = 400;
  {
    Sender sender(line);
    for (int round = 0; round < rounds; ++round) {
      deliveries = 0;
      closeAfter = 1 + static_cast<int>(random() % 3);
      line.DropWaitingInput();
      c.Open();
      ASSERT_TRUE(c.IsOpen()) << "round " << round;
      ASSERT_TRUE(PumpUntil([&] { return !c.IsOpen(); })) << "round " << round << ": never closed";
      // Deliveries that were on their way when the port closed reach nobody.
      Pump(1ms);
    }
    EXPECT_GT(sender.Sent(), rounds);
  }
  EXPECT_EQ(lateCalls, 0);
  EXPECT_GT(bytesRead, 0);
  ExpectBackToBaseline();
  EXPECT_TRUE(boxes.empty()) << boxes.front();
}

TEST_F(CommStress, CloseWhileTheEventThreadIsBlockedHandingAnEventOver) {
  Line line;
  TThreadComm c(nullptr);
  Configure(c, line.Slave());
  Baseline(c);

  int calls = 0;
  c.OnRxChar = [&](TObject*, std::uint32_t) { ++calls; };
  auto& queue = TMainThreadQueue::Instance();
  std::vector<double> closeMs;
  const int rounds = 300;
  for (int round = 0; round < rounds; ++round) {
    c.Open();
    ASSERT_TRUE(c.IsOpen());
    ASSERT_TRUE(line.Send("x.\r\n", 4));
    // The event thread now waits in its hand-off for this thread, which
    // does not run it but closes the port instead.
    const auto limit = Clock::now() + 5s;
    while (queue.PendingCount() == 0 && Clock::now() < limit) std::this_thread::sleep_for(100us);
    ASSERT_GT(queue.PendingCount(), 0u) << "round " << round << ": no event handed over";
    // More arrives while the hand-off waits (every few rounds).
    if (round % 3 == 0) line.Send("more", 4);
    const auto start = Clock::now();
    c.Close();
    closeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    EXPECT_FALSE(c.IsOpen());
    // The hand-off was withdrawn: running the queue now reaches no handler.
    queue.RunPending();
    Pump(1ms);
    ASSERT_EQ(calls, 0) << "round " << round << ": a delivery after Close";
  }
  Report("close with a hand-off waiting", closeMs);
  ExpectBackToBaseline();
  EXPECT_TRUE(boxes.empty());
}

// Closes while the event thread sits in its wait with nothing coming: once
// on a line that only samples its modem lines, once on one whose line
// changes are waited for (TIOCMIWAIT, ended by a signal on close).
TEST_F(CommStress, CloseWhileAWaitIsPendingOnASilentLine) {
  for (std::uint32_t extra : {0u, ksidu_test::PtyPair::kMiwait}) {
    SCOPED_TRACE(extra ? "modem-line waits" : "sampled modem lines");
    Line line(extra);
    TThreadComm c(nullptr);
    Configure(c, line.Slave());
    Baseline(c);
    int calls = 0;
    c.OnRxChar = [&](TObject*, std::uint32_t) { ++calls; };
    std::mt19937 random(99);
    std::vector<double> closeMs;
    const int rounds = 300;
    for (int round = 0; round < rounds; ++round) {
      c.Open();
      ASSERT_TRUE(c.IsOpen());
      // Anywhere from before the first wait to well inside it.
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
      TMainThreadQueue::Instance().RunPending();
      const auto start = Clock::now();
      c.Close();
      closeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      ASSERT_FALSE(c.IsOpen());
    }
    Pump(5ms);
    Report(extra ? "close of a silent line (line waits)" : "close of a silent line", closeMs);
    EXPECT_EQ(calls, 0);
    ExpectBackToBaseline();
  }
  EXPECT_TRUE(boxes.empty());
}

TEST_F(CommStress, TenThousandOpenCloseCyclesLeaveNoDescriptorOrThread) {
  Line line;
  TThreadComm c(nullptr);
  Configure(c, line.Slave());
  Baseline(c);
  const int cycles = 10000;
  const auto start = Clock::now();
  std::size_t peakThreads = 0;
  for (int i = 0; i < cycles; ++i) {
    c.Open();
    ASSERT_TRUE(c.IsOpen()) << "cycle " << i;
    c.Close();
    ASSERT_FALSE(c.IsOpen());
    if (i % 500 == 0) {
      // Threads ended by Close must not pile up while the cycles go on.
      peakThreads = std::max(peakThreads, Threads());
      TMainThreadQueue::Instance().RunPending();
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("[ measure  ] %d open/close cycles in %.2f s (%.0f a second), at most %zu threads\n",
              cycles, seconds, cycles / seconds, peakThreads);
  EXPECT_LT(peakThreads, static_cast<std::size_t>(100));
  ExpectBackToBaseline();
  EXPECT_TRUE(boxes.empty());

  // The port is free for the next program.
  const int other = ::open(line.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0) << "the port is still locked";
  ::close(other);
}

// Input that was waiting when the port was opened would never be announced
// (only what arrives after the open is), and if it filled the layer's queue
// the port would stay silent for good: each open starts with an empty input
// queue, as the Windows driver's does.
TEST_F(CommStress, InputWaitingAtTheOpenIsDroppedOrAnnounced) {
  Line line;
  TThreadComm c(nullptr);
  Configure(c, line.Slave());
  int calls = 0;
  c.OnRxChar = [&](TObject*, std::uint32_t) { ++calls; };
  ASSERT_TRUE(line.Send("old", 3));  // arrives while nobody has the port open
  c.Open();
  ASSERT_TRUE(c.IsOpen());
  Pump(1000ms);
  DWORD errors = 0;
  COMSTAT stat{};
  System().ClearCommError(c.Handle(), &errors, &stat);
  EXPECT_TRUE(calls > 0 || stat.cbInQue == 0)
      << stat.cbInQue << " bytes wait unannounced a second after the open";
  c.Close();
}

}  // namespace
}  // namespace comm
