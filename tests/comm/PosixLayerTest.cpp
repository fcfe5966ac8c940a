// The POSIX OS layer of the serial component against real pseudo-terminals.
// Modem lines come from the ptymodem library when it is preloaded (CTest
// does that); the tests that need them skip otherwise.

#include <dirent.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CommPosix.h"
#include "PtyPair.h"

#include "Termios2.h"

namespace {

using ksidu_test::PtyPair;
using Clock = std::chrono::steady_clock;

// The line files live in the build tree unless the caller chose a place.
const bool kLineDirSet = [] {
  if (!std::getenv("KSIDU_PTYMODEM_DIR")) ::setenv("KSIDU_PTYMODEM_DIR", KSIDU_PTYMODEM_TEST_DIR, 1);
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

  comm::PosixCommOs os;
  PtyPair pty;
};

TEST_F(PosixLayer, OpenIsExclusiveRawAndRefusesWhatIsNoPort) {
  HANDLE h = Open();
  EXPECT_EQ(os.GetFileType(h), FILE_TYPE_CHAR);

  // Raw 8-bit, no hang-up on carrier loss or close.
  termios2 t = SlaveTermios(pty.Master());
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_FALSE(t.c_cflag & HUPCL);

  HANDLE second = os.CreateFileA(pty.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 OPEN_EXISTING, 0);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  DWORD err = os.GetLastError();
  EXPECT_TRUE(err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED) << err;
  // Another layer instance (as another program would) is kept out too.
  comm::PosixCommOs other;
  EXPECT_EQ(other.CreateFileA(pty.SlavePath().c_str(), 0, 0, OPEN_EXISTING, 0),
            INVALID_HANDLE_VALUE);

  ASSERT_TRUE(os.CloseHandle(h));
  EXPECT_EQ(os.GetLastError(), ERROR_SUCCESS);
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
  EXPECT_EQ(os.CreateFileA("/dev/ksidu-no-such-port", 0, 0, OPEN_EXISTING, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(os.GetLastError(), ERROR_FILE_NOT_FOUND);

  // A regular file opens but is no character device, and is no comm device.
  char path[] = "/tmp/ksidu-posix-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  HANDLE file = os.CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(os.GetFileType(file), FILE_TYPE_DISK);
  DCB dcb{};
  EXPECT_FALSE(os.GetCommState(file, &dcb));
  EXPECT_FALSE(os.SetCommMask(file, EV_RXCHAR));
  EXPECT_TRUE(os.CloseHandle(file));
  ::unlink(path);
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
  for (DWORD baud : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u,
                     56000u, 57600u, 115200u, 128000u, 256000u}) {
    dcb.BaudRate = baud;
    ASSERT_TRUE(os.SetCommState(h, &dcb)) << baud << " error " << os.GetLastError();
    EXPECT_EQ(SlaveTermios(pty.Master()).c_ospeed, baud);
    DCB back{};
    ASSERT_TRUE(os.GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, baud);
  }

  struct Line {
    BYTE size, parity, stop;
    tcflag_t cflag;
  };
  const Line lines[] = {
      {8, NOPARITY, ONESTOPBIT, CS8},
      {7, EVENPARITY, TWOSTOPBITS, CS7 | PARENB | CSTOPB},
      {6, ODDPARITY, ONESTOPBIT, CS6 | PARENB | PARODD},
      {8, MARKPARITY, ONESTOPBIT, CS8 | PARENB | PARODD | CMSPAR},
      {8, SPACEPARITY, TWOSTOPBITS, CS8 | PARENB | CMSPAR | CSTOPB},
      {8, NOPARITY, TWOSTOPBITS, CS8 | CSTOPB},
      {5, NOPARITY, ONE5STOPBITS, CS5 | CSTOPB},
  };
  // Recent kernels keep a pty at 8 bits without parity; whatever the kernel
  // refuses, SetCommState must refuse as well and leave the line as it was.
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
  int taken = 0;
  for (const Line& l : lines) {
    DCB next = dcb;
    next.ByteSize = l.size;
    next.Parity = l.parity;
    next.StopBits = l.stop;
    const bool takes = kernelTakes(l.cflag);
    const termios2 before = SlaveTermios(pty.Master());
    ASSERT_EQ(os.SetCommState(h, &next), takes ? TRUE : FALSE)
        << int(l.size) << int(l.parity) << int(l.stop) << " error " << os.GetLastError();
    const DWORD error = os.GetLastError();
    DCB back{};
    ASSERT_TRUE(os.GetCommState(h, &back));
    if (takes) {
      ++taken;
      dcb = next;
      EXPECT_EQ(SlaveTermios(pty.Master()).c_cflag & kLineBits, l.cflag);
      EXPECT_EQ(back.ByteSize, l.size);
      EXPECT_EQ(back.Parity, l.parity);
      EXPECT_EQ(back.StopBits, l.stop);
    } else {
      EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
      EXPECT_EQ(SlaveTermios(pty.Master()).c_cflag, before.c_cflag);
      EXPECT_EQ(back.ByteSize, dcb.ByteSize);
      EXPECT_EQ(back.Parity, dcb.Parity);
      EXPECT_EQ(back.StopBits, dcb.StopBits);
    }
  }
  EXPECT_GE(taken, 2);  // 8N1 and 8N2 at least

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
  ASSERT_TRUE(os.WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &written,
                           nullptr));
  reader.join();
  EXPECT_EQ(written, block.size());
  EXPECT_EQ(echoed, block);

  EXPECT_FALSE(os.PurgeComm(h, 0x10));
  EXPECT_EQ(os.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(os.CloseHandle(h));
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
  char buf[4];
  DWORD got = 0;
  ASSERT_TRUE(os.ReadFile(port, buf, 3, &got, nullptr));
  EXPECT_EQ(std::string(buf, got), std::string("ab\0", 3));

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
    EXPECT_FALSE(os.EscapeCommFunction(port, SETDTR));  // a bare pty has no DTR
  }
  sender.join();
  stop = true;
  ASSERT_TRUE(os.SetCommMask(port, 0x01FF));  // ends the pending wait
  eventThread.join();
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kBytes));
  for (int i = 0; i < kBytes; ++i) ASSERT_EQ(static_cast<unsigned char>(got[i]), i % 251) << i;
  EXPECT_GT(rxEvents.load(), 0);
}

TEST_F(PosixLayer, BarePtyHasNoModemControl) {
  HANDLE h = Open();
  DWORD status = 0;
  EXPECT_FALSE(os.GetCommModemStatus(h, &status));
  EXPECT_EQ(os.GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(os.EscapeCommFunction(h, SETDTR));
  EXPECT_EQ(os.GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(os.EscapeCommFunction(h, CLRRTS));
  EXPECT_EQ(os.GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(os.EscapeCommFunction(h, 77));
  EXPECT_EQ(os.GetLastError(), ERROR_INVALID_PARAMETER);

  // DSR handshake without a readable DSR does not hold output.
  DCB dcb{};
  ASSERT_TRUE(os.GetCommState(h, &dcb));
  dcb.fOutxDsrFlow = 1;
  ASSERT_TRUE(os.SetCommState(h, &dcb));
  Timeouts(h, 300, 300);
  DWORD written = 0;
  ASSERT_TRUE(os.WriteFile(h, "go", 2, &written, nullptr));
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(pty.ReadMaster(2, 1000), "go");

  // Output stopped as if XOFF had come: the write times out, and what was
  // held back does not go out later.
  ASSERT_TRUE(os.EscapeCommFunction(h, SETXOFF));
  auto start = Clock::now();
  ASSERT_TRUE(os.WriteFile(h, "late", 4, &written, nullptr));
  EXPECT_GE(MsSince(start), 240);
  EXPECT_EQ(written, 0u);
  ASSERT_TRUE(os.EscapeCommFunction(h, SETXON));
  EXPECT_EQ(pty.ReadMaster(4, 300), "");
  EXPECT_TRUE(os.CloseHandle(h));
}

TEST_F(PosixLayer, ModemLinesThroughTheShim) {
  if (!ShimActive()) GTEST_SKIP() << "ptymodem library not preloaded";
  pty.CreateLines(TIOCM_CTS | TIOCM_DSR);
  HANDLE h = Open();
  DWORD status = 0;
  ASSERT_TRUE(os.GetCommModemStatus(h, &status));
  EXPECT_EQ(status, DWORD{MS_CTS_ON | MS_DSR_ON});
  pty.ChangeLines(TIOCM_CAR | TIOCM_RNG, TIOCM_CTS | TIOCM_DSR);
  ASSERT_TRUE(os.GetCommModemStatus(h, &status));
  EXPECT_EQ(status, DWORD{MS_RLSD_ON | MS_RING_ON});

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

  // Line changes raise their events; ring on its trailing edge.
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
  EXPECT_TRUE(os.CloseHandle(ev));
  EXPECT_TRUE(os.CloseHandle(h));
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
