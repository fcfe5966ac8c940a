// A port without modem-control lines: a bare pseudo-terminal, as a station
// simulator or socat's link to a remote port gives. Nothing is preloaded
// here, so the pty has no modem ioctls at all.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Comm.h"
#include "CommPosix.h"
#include "PtyPair.h"
#include "Watchdog.h"

using namespace std::chrono_literals;

namespace comm {
namespace {

using ksidu_test::PtyPair;
namespace fs = std::filesystem;

class BarePty : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    ASSERT_TRUE(preload == nullptr || std::string(preload).find("ptymodem") == std::string::npos)
        << "this binary must run without the modem-line library";
    // The pty really has no modem lines.
    int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int bits = 0;
    errno = 0;
    EXPECT_EQ(::ioctl(fd, TIOCMGET, &bits), -1);
    EXPECT_EQ(errno, ENOTTY);
    ::close(fd);

    std::string pattern = (fs::temp_directory_path() / "ksidu-lock-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    lockDir = pattern;
    os.SetLockDirectory(lockDir);
    system().SetLockDirectory(lockDir);
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
    system().SetLockDirectory("/var/lock");
    std::error_code ignored;
    fs::remove_all(lockDir, ignored);
  }
  static PosixCommOs& system() { return static_cast<PosixCommOs&>(SystemCommOs()); }
  HANDLE Open() {
    HANDLE h = os.CreateFileA(pty.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << os.GetLastError();
    return h;
  }

  testsupport::Watchdog watchdog{60s};
  PtyPair pty;
  PosixCommOs os;
  std::string lockDir;
  std::vector<std::string> boxes;
};

TEST_F(BarePty, ReadsAsCarrierCtsAndDsrUpAndNeverHoldsOutput) {
  HANDLE h = Open();
  DWORD status = 0;
  ASSERT_TRUE(os.GetCommModemStatus(h, &status)) << os.GetLastError();
  EXPECT_EQ(status, DWORD{MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON});

  // No lines to drive: raising and lowering them is not a failure.
  for (DWORD f : {SETDTR, SETRTS, CLRDTR, CLRRTS}) EXPECT_TRUE(os.EscapeCommFunction(h, f)) << f;
  EXPECT_FALSE(os.EscapeCommFunction(h, 77));
  EXPECT_EQ(os.GetLastError(), ERROR_INVALID_PARAMETER);

  // The station's handshake on CTS and DSR lets everything through.
  DCB dcb{};
  ASSERT_TRUE(os.GetCommState(h, &dcb));
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 1;
  ASSERT_TRUE(os.SetCommState(h, &dcb));
  COMMTIMEOUTS t{MAXDWORD, 0, 300, 0, 300};
  ASSERT_TRUE(os.SetCommTimeouts(h, &t));
  COMSTAT stat{};
  ASSERT_TRUE(os.ClearCommError(h, nullptr, &stat));
  EXPECT_EQ(stat.fCtsHold, 0u);
  EXPECT_EQ(stat.fDsrHold, 0u);
  DWORD written = 0;
  ASSERT_TRUE(os.WriteFile(h, "go", 2, &written, nullptr));
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(pty.ReadMaster(2, 1000), "go");

  // Output stopped as if XOFF had come: the write times out, and what was
  // held back does not go out later.
  ASSERT_TRUE(os.EscapeCommFunction(h, SETXOFF));
  ASSERT_TRUE(os.WriteFile(h, "late", 4, &written, nullptr));
  EXPECT_EQ(written, 0u);
  ASSERT_TRUE(os.EscapeCommFunction(h, SETXON));
  EXPECT_EQ(pty.ReadMaster(4, 300), "");
  EXPECT_TRUE(os.CloseHandle(h));
}

// The port scan's steps, on a station simulator behind a bare pty: no box,
// carrier detect seen, the frame goes out through the CTS/DSR handshake and
// the reply comes back.
TEST_F(BarePty, TheScanFindsAStationBehindIt) {
  TThreadComm c(nullptr);
  c.SetPort(pty.SlavePath());
  c.SetBaudRate(8);
  c.SetByteSize(4);
  c.SetStopBits(0);
  c.SetParity(0);
  c.SetFlowControl(fcCtsDsr);
  c.Open();
  ASSERT_TRUE(c.IsOpen());
  c.SetDTR(true);
  c.SetRTS(true);
  EXPECT_TRUE(c.GetModemLine(4));
  EXPECT_TRUE(c.GetModemLine(1));
  EXPECT_TRUE(c.GetModemLine(2));
  EXPECT_FALSE(c.GetModemLine(3));
  c.PurgeBuffers();
  const std::string frame(
      "\x5A\x0A\x00\xF1"
      "0000\xFD\xEB",
      10);
  EXPECT_EQ(c.Write(frame.data(), 10), 10);
  EXPECT_EQ(pty.ReadMaster(10, 2000), frame);
  const std::string reply("\x5A\x07\x00\x00\xA2\xFE\xFD", 7);
  pty.WriteMaster(reply);
  char buf[10] = {};
  EXPECT_EQ(c.Read(buf, 10), 7);
  EXPECT_EQ(std::string(buf, 7), reply);
  c.Close();
  EXPECT_TRUE(boxes.empty()) << boxes.front();
}

}  // namespace
}  // namespace comm
