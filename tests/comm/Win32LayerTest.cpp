// The Win32 layer and the component over a real COM port of Wine's, mapped
// to a pseudo-terminal whose far end (wine_com_peer.py) logs and echoes what
// it receives. tools/wine-tests.sh sets the rig up and names it in the
// environment; without it these tests skip.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "Comm.h"
#include "CommWin32.h"

namespace comm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// "modem": the pty has modem lines through the preload library; "bare": it
// has none, so every modem call and every wait fails at once.
std::string Rig() { return Env("KSIDU_WINE_RIG"); }
std::string PortName() { return Env("KSIDU_WINE_COM"); }

#define REQUIRE_RIG(kind)                                                  \
  do {                                                                     \
    if (Rig() != (kind) || PortName().empty())                             \
      GTEST_SKIP() << "needs the Wine COM rig \"" << (kind)                \
                   << "\" of tools/wine-tests.sh";                         \
  } while (0)

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// The peer's log of received bytes, read through Wine's Z: drive.
std::string PeerLog() {
  std::string path = Env("KSIDU_WINE_PEER_LOG");
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WaitForPeerLog(std::size_t size) {
  const auto deadline = Clock::now() + 5s;
  while (PeerLog().size() < size && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  return PeerLog().size() >= size;
}

// Runs the main thread's hand-offs until done() or the deadline.
template <class Done>
bool Pump(Done done, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = Clock::now() + limit;
  auto& queue = TMainThreadQueue::Instance();
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    queue.WaitAndRunPending(20ms);
  }
  return true;
}

void PumpFor(std::chrono::milliseconds span) {
  Pump([] { return false; }, span);
}

bool WaitNoEventThread() {
  return Pump([] { return TCommEventThread::LiveCount() == 0; });
}

class Win32LayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageBoxService([this](const std::string& text, const std::string& caption, unsigned) {
      messages.push_back(caption + " " + text);
      return 1;
    });
  }
  void TearDown() override {
    SetMessageBoxService(nullptr);
    TMainThreadQueue::Instance().RunPending();
  }

  // The main window's line settings.
  static void Configure(TThreadComm& comm) {
    comm.SetPort(PortName());
    comm.SetBaudRate(8);
    comm.SetByteSize(4);
    comm.SetStopBits(0);
    comm.SetParity(0);
    comm.SetFlowControl(fcCtsDsr);
  }

  std::vector<std::string> messages;
  Win32CommOs os;
};

TEST_F(Win32LayerTest, OpensExclusivelyAndWritesSettingsThrough) {
  REQUIRE_RIG("modem");
  HANDLE h = os.CreateFileA(PortName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << os.GetLastError();
  EXPECT_EQ(os.GetFileType(h), FILE_TYPE_CHAR);
  HANDLE second = os.CreateFileA(PortName().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
  if (UnderWine()) {
    // Wine keeps no sharing state for character devices: the second open
    // succeeds there, so exclusivity can only be checked on Windows.
    if (second != INVALID_HANDLE_VALUE) os.CloseHandle(second);
  } else {
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(os.GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_TRUE(os.CloseHandle(h));

  // A name no device has. (Not a COM number: the rig marks COM1 to COM255
  // taken, and Wine opens those by their device path all the same.)
  EXPECT_EQ(os.CreateFileA("KSIDUNOPORT", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(os.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  {
    TThreadComm comm(nullptr, os);
    Configure(comm);
    // A pty keeps 8 data bits without parity whatever it is told, so only
    // the baud rate, the stop bits and the handshake can come back from it.
    comm.SetStopBits(2);
    comm.Open();
    ASSERT_TRUE(comm.IsOpen());
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(os.GetCommState(comm.Handle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);

    // A change while open reaches the driver at once.
    comm.SetBaudRate(12);
    comm.SetStopBits(0);
    ASSERT_TRUE(os.GetCommState(comm.Handle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    comm.SetFlowControl(fcNone);
    ASSERT_TRUE(os.GetCommState(comm.Handle(), &dcb));
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);

    // The modem lines of the rig: CTS, DSR and carrier detect are on.
    comm.SetDTR(true);
    comm.SetRTS(true);
    EXPECT_TRUE(comm.GetModemLine(1));
    EXPECT_TRUE(comm.GetModemLine(2));
    EXPECT_FALSE(comm.GetModemLine(3));
    EXPECT_TRUE(comm.GetModemLine(4));
    comm.Close();
    EXPECT_FALSE(comm.IsOpen());
  }
  EXPECT_TRUE(messages.empty()) << messages.front();
  EXPECT_TRUE(WaitNoEventThread());
}

TEST_F(Win32LayerTest, SilentReadReturnsNothingAfterTheTimeout) {
  REQUIRE_RIG("modem");
  TThreadComm comm(nullptr, os);
  Configure(comm);
  comm.ReadTimeout = 400;
  comm.Open();
  ASSERT_TRUE(comm.IsOpen());
  comm.PurgeBuffers();
  char buffer[10];
  const auto start = Clock::now();
  // Wine ends this read with error 1460 instead of success with 0 bytes.
  EXPECT_EQ(comm.Read(buffer, sizeof buffer), 0);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 300ms);  // it did wait for the peer
  EXPECT_LT(waited, 5s);
  EXPECT_EQ(comm.Read(buffer, 0), 0);
  comm.Close();
  EXPECT_EQ(comm.Read(buffer, sizeof buffer), -1);
  EXPECT_TRUE(messages.empty()) << messages.front();
}

TEST_F(Win32LayerTest, WrittenBytesReachThePeerAndItsBytesAreAnnounced) {
  REQUIRE_RIG("modem");
  TThreadComm comm(nullptr, os);
  Configure(comm);
  std::string received;
  std::vector<std::uint32_t> counts;
  comm.OnRxChar = [&](TObject* sender, std::uint32_t count) {
    EXPECT_EQ(sender, &comm);
    counts.push_back(count);
    std::string chunk(count, '\0');
    const std::int32_t got = comm.Read(chunk.data(), static_cast<std::int32_t>(count));
    EXPECT_EQ(got, static_cast<std::int32_t>(count));
    if (got > 0) received.append(chunk, 0, static_cast<std::size_t>(got));
  };
  comm.Open();
  ASSERT_TRUE(comm.IsOpen());
  comm.SetDTR(true);
  comm.SetRTS(true);

  const std::size_t logged = PeerLog().size();
  const std::string frame("\x01\x7e\x00\xff:0010\r\n", 11);
  ASSERT_EQ(comm.Write(frame.data(), static_cast<std::int32_t>(frame.size())),
            static_cast<std::int32_t>(frame.size()));
  ASSERT_TRUE(WaitForPeerLog(logged + frame.size()));
  EXPECT_EQ(PeerLog().substr(logged), frame);

  // The echo comes back through OnRxChar with the count waiting.
  EXPECT_TRUE(Pump([&] { return received.size() >= frame.size(); })) << received.size();
  EXPECT_EQ(received, frame);
  for (std::uint32_t count : counts) EXPECT_GT(count, 0u);

  // A larger block, well above one read's worth, arrives whole and in order.
  std::string block;
  for (int i = 0; i < 2000; ++i) block.push_back(static_cast<char>('A' + i % 26));
  received.clear();
  ASSERT_EQ(comm.Write(block.data(), static_cast<std::int32_t>(block.size())),
            static_cast<std::int32_t>(block.size()));
  EXPECT_TRUE(Pump([&] { return received.size() >= block.size(); })) << received.size();
  EXPECT_EQ(received, block);
  comm.Close();
  EXPECT_TRUE(messages.empty()) << messages.front();
  EXPECT_TRUE(WaitNoEventThread());
}

TEST_F(Win32LayerTest, CloseFromInsideOnRxCharAndReopen) {
  REQUIRE_RIG("modem");
  TThreadComm comm(nullptr, os);
  Configure(comm);
  int calls = 0;
  comm.OnRxChar = [&](TObject*, std::uint32_t) {
    ++calls;
    comm.Close();
  };
  comm.Open();
  ASSERT_TRUE(comm.IsOpen());
  ASSERT_EQ(comm.Write("ping", 4), 4);
  EXPECT_TRUE(Pump([&] { return calls > 0; }));
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_TRUE(WaitNoEventThread());
  PumpFor(300ms);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(comm.Write("x", 1), -1);

  // A fresh Open gets a fresh thread and data flows again.
  std::string received;
  comm.OnRxChar = [&](TObject*, std::uint32_t count) {
    std::string chunk(count, '\0');
    const std::int32_t got = comm.Read(chunk.data(), static_cast<std::int32_t>(count));
    if (got > 0) received.append(chunk, 0, static_cast<std::size_t>(got));
  };
  comm.Open();
  ASSERT_TRUE(comm.IsOpen());
  comm.PurgeBuffers();
  ASSERT_EQ(comm.Write("pong", 4), 4);
  EXPECT_TRUE(Pump([&] { return received.size() >= 4; }));
  EXPECT_EQ(received.substr(received.size() - 4), "pong");
  comm.Close();
  EXPECT_TRUE(messages.empty()) << messages.front();
}

TEST_F(Win32LayerTest, CloseEndsAPendingWaitWithoutData) {
  REQUIRE_RIG("modem");
  TThreadComm comm(nullptr, os);
  Configure(comm);
  int calls = 0;
  comm.OnCommEvent = [&](TObject*, std::uint32_t, const COMSTAT&) { ++calls; };
  comm.Open();
  ASSERT_TRUE(comm.IsOpen());
  comm.PurgeBuffers();
  PumpFor(300ms);  // the thread now sits in its wait; the peer stays silent
  ASSERT_EQ(TCommEventThread::LiveCount(), 1);
  const int before = calls;
  const auto start = Clock::now();
  comm.Close();
  // Not a speed check: a Close that waited for data would never return.
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_TRUE(WaitNoEventThread());
  PumpFor(200ms);
  EXPECT_EQ(calls, before);  // the wait ended by Close was not delivered
  EXPECT_TRUE(messages.empty()) << messages.front();
}

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  auto seconds = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                               t.dwLowDateTime) /
           1e7;
  };
  return seconds(kernel) + seconds(user);
}

TEST_F(Win32LayerTest, WaitsFailingAtOnceCostNoCore) {
  REQUIRE_RIG("bare");
  // Without modem lines every wait on the pty fails at once.
  HANDLE h = os.CreateFileA(PortName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD status = 0;
  EXPECT_FALSE(os.GetCommModemStatus(h, &status));
  os.SetCommMask(h, 0x01FF);
  OVERLAPPED overlapped{};
  overlapped.hEvent = os.CreateEventA(TRUE, FALSE);
  DWORD mask = 0;
  const BOOL waited = os.WaitCommEvent(h, &mask, &overlapped);
  const DWORD error = os.GetLastError();
  EXPECT_FALSE(waited);
  EXPECT_NE(error, static_cast<DWORD>(ERROR_IO_PENDING));
  os.CloseHandle(overlapped.hEvent);
  os.CloseHandle(h);

  // The clock sees a spinning thread, so a busy event loop would show. On a
  // loaded machine the spinner gets less of a core: spin until the clock has
  // seen 0.15 s of it, giving up (and failing) only after 10 s.
  const double spinStart = ProcessCpuSeconds();
  const auto giveUp = Clock::now() + 10s;
  std::thread([&] {
    while (ProcessCpuSeconds() - spinStart <= 0.15 && Clock::now() < giveUp) {
    }
  }).join();
  ASSERT_GT(ProcessCpuSeconds() - spinStart, 0.15);

  TThreadComm comm(nullptr, os);
  Configure(comm);
  comm.Open();
  ASSERT_TRUE(comm.IsOpen());
  EXPECT_FALSE(comm.GetModemLine(4));
  const double cpuStart = ProcessCpuSeconds();
  PumpFor(1000ms);
  const double used = ProcessCpuSeconds() - cpuStart;
  RecordProperty("cpu_ms_per_second", static_cast<int>(used * 1000));
  EXPECT_LT(used, 0.25) << "CPU seconds over one second of failing waits";
  comm.Close();
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_TRUE(WaitNoEventThread());
}

}  // namespace
}  // namespace comm
