// Whole upgrades in one process through the window's logic, the serial
// component and the real POSIX layer, over a pseudo-terminal to a station
// played by a thread of the test: a hundred in a row with descriptors,
// threads and memory flat; and a driver that refuses the line settings.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Comm.h"
#include "CommPosix.h"
#include "EmbeddedImage.h"
#include "FakeForm.h"
#include "Main.h"
#include "PtyPair.h"
#include "Station.h"
#include "Watchdog.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

namespace fs = std::filesystem;

const bool kLineDirSet = [] {
  if (!std::getenv("KSIDU_PTYMODEM_DIR"))
    ::setenv("KSIDU_PTYMODEM_DIR", KSIDU_PTYMODEM_TEST_DIR, 1);
  return true;
}();

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kRuns = 20;  // each run is many times slower under a sanitizer
constexpr bool kSanitized = true;
#else
constexpr int kRuns = 100;
constexpr bool kSanitized = false;
#endif

std::size_t CountEntries(const char* dir) {
  std::size_t n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

long ResidentKiB() {
  long pages = 0;
  long resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// The Delay timer against the clock: enabling it starts a fresh countdown.
class ClockTimer : public app::TTimer {
 public:
  std::uint32_t Interval() const override { return interval_; }
  void SetInterval(std::uint32_t ms) override {
    interval_ = ms;
    if (enabled_) deadline_ = Clock::now() + std::chrono::milliseconds(ms);
  }
  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool on) override {
    enabled_ = on;
    if (on) deadline_ = Clock::now() + std::chrono::milliseconds(interval_);
  }
  bool Due() const { return enabled_ && Clock::now() >= deadline_; }
  void Fire() {
    enabled_ = false;
    if (OnTimer) OnTimer(this);
  }

 private:
  std::uint32_t interval_ = 1000;
  bool enabled_ = false;
  Clock::time_point deadline_{};
};

class RunForm : public apptest::FakeForm {
 public:
  app::TTimer& Delay() override { return timer; }
  ClockTimer timer;
};

class OnePort : public app::TPortSource {
 public:
  explicit OnePort(std::string name) : name_(std::move(name)) {}
  void EnumerateSerialPorts(std::vector<std::string>& list) override { list.push_back(name_); }

 private:
  std::string name_;
};

// The station on the pty's far end, in a thread of its own, answering at
// once (its processing times are not waited for).
class StationThread {
 public:
  StationThread(int master, station::Config config)
      : station_(std::move(config)), master_(master), thread_([this] { Loop(); }) {}
  ~StationThread() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Only after Stop.
  const station::Station& Model() const { return station_; }

 private:
  void Loop() {
    const auto start = Clock::now();
    std::vector<std::uint8_t> buffer(4096);
    while (!stop_.load()) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::read(master_, buffer.data(), buffer.size());
      if (n <= 0) continue;
      const double now = std::chrono::duration<double>(Clock::now() - start).count();
      for (station::Chunk& chunk :
           station_.Receive(std::span(buffer.data(), static_cast<std::size_t>(n)), now)) {
        Send(chunk.bytes);
      }
    }
  }
  void Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && !stop_.load()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 20);
      }
    }
  }

  station::Station station_;
  int master_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class InProcessRuns : public ::testing::Test {
 protected:
  InProcessRuns() {
    keeper_ = ::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    ::tcgetattr(keeper_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(keeper_, TCSANOW, &t);
    pty_.CreateLines(TIOCM_CAR | TIOCM_CTS | TIOCM_DSR);
    ::fcntl(pty_.Master(), F_SETFL, ::fcntl(pty_.Master(), F_GETFL) | O_NONBLOCK);
    for (std::string_view line : resources::EmbeddedImageLines())
      form_.progSrc.items.emplace_back(line);
  }
  ~InProcessRuns() override { ::close(keeper_); }

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ksidu-runs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    lockDir_ = pattern;
    System().SetLockDirectory(lockDir_.string());
    comm::SetMessageBoxService([this](const std::string& t, const std::string& c, unsigned f) {
      componentBoxes.push_back(c + ": " + t + (f ? " (flags)" : ""));
      return 1;
    });
  }
  void TearDown() override {
    comm::SetMessageBoxService(nullptr);
    System().SetLockDirectory("/var/lock");
    std::error_code ignored;
    fs::remove_all(lockDir_, ignored);
  }

  static comm::PosixCommOs& System() {
    return static_cast<comm::PosixCommOs&>(comm::SystemCommOs());
  }

  // Presses Start and runs the main thread until Start is enabled again.
  // The start delay is not waited for; reply time-outs are, on the clock.
  static void RunOnce(app::TMainPanel& panel, RunForm& form) {
    auto& queue = comm::TMainThreadQueue::Instance();
    form.button.OnClick(&form.button);
    const auto limit = Clock::now() + 60s;
    while (!form.button.enabled) {
      queue.WaitAndRunPending(1ms);
      if (form.timer.Enabled() && (panel.SendPending || form.timer.Due())) form.timer.Fire();
      if (Clock::now() > limit) {
        ADD_FAILURE() << "the run did not end";
        return;
      }
    }
  }

  // One whole upgrade against a fresh station; true when it ended as it must.
  bool Upgrade(app::TMainPanel& panel, int run, station::Config config = {}) {
    // The form's doubles keep every value they were given; only this run's count.
    form_.boxes.clear();
    form_.progress.requests = {};
    form_.progress.positions = {};
    form_.status.history = {};
    StationThread st(pty_.Master(), std::move(config));
    RunOnce(panel, form_);
    st.Stop();
    const station::Station& model = st.Model();
    EXPECT_EQ(form_.status.caption, "Done.") << "run " << run;
    EXPECT_TRUE(form_.boxes.empty()) << "run " << run << ": " << form_.boxes.front().text;
    EXPECT_FALSE(panel.Comm->IsOpen()) << "run " << run;
    EXPECT_EQ(model.EraseCount(), 1) << "run " << run;
    EXPECT_TRUE(model.LastCommandSeen()) << "run " << run;
    EXPECT_TRUE(std::equal(model.Memory().begin(), model.Memory().end(), panel.ImageBuffer.begin()))
        << "run " << run << ": the station's memory differs from the image";
    return form_.status.caption == "Done." && form_.boxes.empty() && model.LastCommandSeen();
  }

  static void SettleThreads(std::size_t threads) {
    auto& queue = comm::TMainThreadQueue::Instance();
    for (int i = 0; i < 2000; ++i) {
      queue.RunPending();
      if (comm::TCommEventThread::LiveCount() == 0 &&
          (threads == 0 || CountEntries("/proc/self/task") <= threads))
        return;
      std::this_thread::sleep_for(5ms);
    }
  }

  testsupport::Watchdog watchdog{115s, "in-process upgrades"};
  ksidu_test::PtyPair pty_;
  RunForm form_;
  std::vector<std::string> componentBoxes;

 private:
  int keeper_ = -1;
  fs::path lockDir_;
};

TEST_F(InProcessRuns, AHundredUpgradesInARowLeaveDescriptorsThreadsAndMemoryFlat) {
  OnePort ports(pty_.SlavePath());
  app::TMainPanel panel(nullptr, form_, comm::SystemCommOs(), ports);

  // The first run makes what lives as long as the process.
  ASSERT_TRUE(Upgrade(panel, 0));
  SettleThreads(0);
  std::this_thread::sleep_for(50ms);
  const std::size_t fds = CountEntries("/proc/self/fd");
  const std::size_t threads = CountEntries("/proc/self/task");
  const long rssStart = ResidentKiB();
  std::vector<long> rss;
  std::size_t peakThreads = threads;
  const auto start = Clock::now();
  for (int run = 1; run <= kRuns; ++run) {
    ASSERT_TRUE(Upgrade(panel, run)) << "run " << run;
    peakThreads = std::max(peakThreads, CountEntries("/proc/self/task"));
    if (run % (kRuns / 10) == 0) rss.push_back(ResidentKiB());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  SettleThreads(threads);

  std::printf("[ measure  ] %d upgrades in %.1f s (%.2f s each); resident KiB:", kRuns, seconds,
              seconds / kRuns);
  std::printf(" %ld (start)", rssStart);
  for (long r : rss) std::printf(" %ld", r);
  std::printf("; threads %zu, at most %zu during a run; descriptors %zu\n", threads, peakThreads,
              fds);

  EXPECT_EQ(CountEntries("/proc/self/fd"), fds) << "descriptors leaked";
  EXPECT_EQ(CountEntries("/proc/self/task"), threads) << "threads left behind";
  EXPECT_TRUE(componentBoxes.empty()) << componentBoxes.front();
  // A generous bound: what grows per run would show as megabytes here. A
  // sanitizer's quarantine keeps freed memory on purpose, so not there.
  if (!kSanitized) {
    EXPECT_LT(rss.back() - rssStart, 4 * 1024) << "resident memory grew";
  }
}

// A driver that refuses the line settings (or the buffer sizes), in front of
// the real layer: the component shows its box once per open, with the code,
// and the run goes on to the end on the settings the port already had.
class RefusingOs : public comm::CommOs {
 public:
  RefusingOs(comm::CommOs& real, std::string refuse) : real_(real), refuse_(std::move(refuse)) {}

  static constexpr DWORD kError = 87;  // ERROR_INVALID_PARAMETER

  // Every call but the refused one goes to the real layer, which sets the
  // thread's last error itself.
#define KSIDU_PASS(call) \
  refused_ = false;      \
  return real_.call
  HANDLE CreateFileA(const char* n, DWORD a, DWORD s, DWORD c, DWORD f) override {
    KSIDU_PASS(CreateFileA(n, a, s, c, f));
  }
  DWORD GetFileType(HANDLE h) override {
    KSIDU_PASS(GetFileType(h));
  }
  BOOL SetupComm(HANDLE h, DWORD i, DWORD o) override {
    if (refuse_ == "SetupComm") return Refuse();
    KSIDU_PASS(SetupComm(h, i, o));
  }
  BOOL GetCommState(HANDLE h, DCB* d) override {
    KSIDU_PASS(GetCommState(h, d));
  }
  BOOL SetCommState(HANDLE h, DCB* d) override {
    if (refuse_ == "SetCommState") return Refuse();
    KSIDU_PASS(SetCommState(h, d));
  }
  BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) override {
    KSIDU_PASS(SetCommTimeouts(h, t));
  }
  BOOL WriteFile(HANDLE h, const void* b, DWORD n, DWORD* w, OVERLAPPED* o) override {
    KSIDU_PASS(WriteFile(h, b, n, w, o));
  }
  BOOL ReadFile(HANDLE h, void* b, DWORD n, DWORD* r, OVERLAPPED* o) override {
    KSIDU_PASS(ReadFile(h, b, n, r, o));
  }
  BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* o, DWORD* t, BOOL w) override {
    KSIDU_PASS(GetOverlappedResult(h, o, t, w));
  }
  BOOL ClearCommError(HANDLE h, DWORD* e, COMSTAT* s) override {
    KSIDU_PASS(ClearCommError(h, e, s));
  }
  BOOL PurgeComm(HANDLE h, DWORD f) override {
    KSIDU_PASS(PurgeComm(h, f));
  }
  BOOL GetCommModemStatus(HANDLE h, DWORD* s) override {
    KSIDU_PASS(GetCommModemStatus(h, s));
  }
  BOOL EscapeCommFunction(HANDLE h, DWORD f) override {
    KSIDU_PASS(EscapeCommFunction(h, f));
  }
  BOOL SetCommMask(HANDLE h, DWORD m) override {
    KSIDU_PASS(SetCommMask(h, m));
  }
  BOOL WaitCommEvent(HANDLE h, DWORD* m, OVERLAPPED* o) override {
    KSIDU_PASS(WaitCommEvent(h, m, o));
  }
  HANDLE CreateEventA(BOOL m, BOOL i) override {
    KSIDU_PASS(CreateEventA(m, i));
  }
  DWORD WaitForSingleObject(HANDLE h, DWORD ms) override {
    KSIDU_PASS(WaitForSingleObject(h, ms));
  }
  BOOL ResetEvent(HANDLE h) override {
    KSIDU_PASS(ResetEvent(h));
  }
  BOOL CloseHandle(HANDLE h) override {
    KSIDU_PASS(CloseHandle(h));
  }
#undef KSIDU_PASS
  DWORD GetLastError() override {
    return refused_ ? kError : real_.GetLastError();
  }

 private:
  BOOL Refuse() {
    refused_ = true;
    return FALSE;
  }
  comm::CommOs& real_;
  std::string refuse_;
  static thread_local bool refused_;
};
thread_local bool RefusingOs::refused_ = false;

TEST_F(InProcessRuns, ADriverThatRefusesTheSettingsShowsItsBoxAndTheRunGoesOn) {
  struct Case {
    const char* call;
    const char* box;
  };
  for (const Case& c :
       {Case{"SetCommState", "Serial Port Error.: Error updating DataControlBlock.(Error: 87)"},
        Case{"SetupComm",
             "Serial Port Error.: Error initializing Read/Write Buffers.(Error: 87)"}}) {
    SCOPED_TRACE(c.call);
    componentBoxes.clear();
    RefusingOs os(comm::SystemCommOs(), c.call);
    OnePort ports(pty_.SlavePath());
    app::TMainPanel panel(nullptr, form_, os, ports);
    EXPECT_TRUE(Upgrade(panel, 1));
    // One open, one box; the window's own boxes stay empty.
    EXPECT_EQ(componentBoxes, std::vector<std::string>{c.box});
  }
}

}  // namespace
