// The serial component over the scriptable OS double: settings, transfers,
// modem lines, messages, and the event thread's deliveries and shutdown.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Comm.h"
#include "FakeCommOs.h"
#include "Watchdog.h"

using namespace std::chrono_literals;

namespace comm {
namespace {

using test::FakeCommOs;

struct Box {
  std::string text, caption;
  unsigned flags;
};

class CommTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os.AddPort("COM3");
    SetMessageBoxService([this](const std::string& t, const std::string& c, unsigned f) {
      boxes.push_back({t, c, f});
      return 1;
    });
  }
  void TearDown() override {
    comm.reset();
    // Threads that were left to finish on their own must be gone before the
    // double goes.
    WaitForThreads();
    SetMessageBoxService(nullptr);
  }
  static bool WaitForThreads() {
    for (int i = 0; i < 500 && TCommEventThread::LiveCount() != 0; ++i) {
      TMainThreadQueue::Instance().RunPending();
      std::this_thread::sleep_for(2ms);
    }
    return TCommEventThread::LiveCount() == 0;
  }
  // Runs hand-offs on this (the main) thread until pred holds.
  template <class P>
  bool PumpUntil(P pred, std::chrono::milliseconds limit = 3000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      TMainThreadQueue::Instance().WaitAndRunPending(5ms);
    }
    return true;
  }
  TThreadComm& OpenComm(const std::string& port = "COM3") {
    comm = std::make_unique<TThreadComm>(nullptr, os);
    comm->SetPort(port);
    comm->Open();
    return *comm;
  }

  testsupport::Watchdog watchdog{60s};
  FakeCommOs os;
  std::unique_ptr<TThreadComm> comm;
  std::vector<Box> boxes;
};

TEST_F(CommTest, ConstructionStoresDefaultsAndTouchesNoPort) {
  comm = std::make_unique<TThreadComm>(nullptr, os);
  EXPECT_FALSE(comm->IsOpen());
  EXPECT_EQ(comm->Port(), "COM1");
  EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(comm->BaudRateIndex(), 6);
  EXPECT_EQ(comm->ParityIndex(), 0);
  EXPECT_EQ(comm->StopBitsIndex(), 0);
  EXPECT_EQ(comm->ByteSizeIndex(), 4);
  EXPECT_EQ(comm->FlowControlMode(), fcKeep);
  EXPECT_EQ(comm->ReadTimeout, 1000u);
  EXPECT_EQ(comm->WriteTimeout, 1000u);
  EXPECT_EQ(comm->InQueueSize, 4096);
  EXPECT_EQ(comm->OutQueueSize, 4096);
  EXPECT_EQ(CommEventMask(comm->Events), 0x01FFu);
  EXPECT_TRUE(comm->Options.Empty());
  EXPECT_EQ(comm->Chars().XOnChar(), 17);
  EXPECT_EQ(comm->Chars().XOffChar(), 19);
  EXPECT_EQ(comm->Chars().EvtChar(), 0);
  // Only the two events of the transfer records.
  EXPECT_EQ(os.Calls(), (std::vector<std::string>{"CreateEventA", "CreateEventA"}));

  // Settings while closed are only stored.
  comm->SetBaudRate(8);
  comm->SetFlowControl(fcCtsDsr);
  comm->Chars().SetXOnChar(17);
  EXPECT_EQ(os.Calls().size(), 2u);
  EXPECT_EQ(comm->BaudRateIndex(), 8);

  comm.reset();
  EXPECT_EQ(os.OpenHandles(), 0u);
}

TEST_F(CommTest, OpenSetsUpThePortInOrder) {
  comm = std::make_unique<TThreadComm>(nullptr, os);
  comm->SetBaudRate(8);
  comm->SetFlowControl(fcCtsDsr);
  comm->SetPort("COM3");
  os.ClearCalls();
  comm->Open();
  ASSERT_TRUE(comm->IsOpen());
  auto calls = os.Calls();
  // The event thread's own calls come after these.
  std::vector<std::string> expected = {
      "CreateFileA COM3 0xC0000000 0 3 0x40000080",
      "GetFileType",
      "SetCommMask 0x1FF",
      "SetupComm 4096 4096",
      "GetCommState",
      "SetCommState",
      "SetCommTimeouts",
      "SetupComm 4096 4096",
      "SetCommMask 0x1FF",
  };
  ASSERT_GE(calls.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + expected.size()), expected);

  os.WithPort("COM3", [](FakeCommOs::Port& p) {
    EXPECT_EQ(p.dcb.BaudRate, 19200u);
    EXPECT_EQ(p.dcb.ByteSize, 8);
    EXPECT_EQ(p.dcb.Parity, 0);
    EXPECT_EQ(p.dcb.StopBits, 0);
    EXPECT_EQ(p.dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(p.dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(p.dcb.XonLim, 1024);
    EXPECT_EQ(p.dcb.XoffLim, 1024);
    EXPECT_EQ(p.dcb.XonChar, 17);
    EXPECT_EQ(p.dcb.XoffChar, 19);
    EXPECT_EQ(p.dcb.fBinary, 1u);  // never set by the component: kept
    EXPECT_EQ(p.timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(p.timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(p.timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(p.timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(p.timeouts.WriteTotalTimeoutConstant, 1000u);
  });
  EXPECT_EQ(TCommEventThread::LiveCount(), 1);
  EXPECT_TRUE(boxes.empty());

  comm->Close();
  EXPECT_FALSE(comm->IsOpen());
  EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(WaitForThreads());
}

TEST_F(CommTest, PortsThatDoNotOpenLeaveItClosedWithoutMessage) {
  os.AddPort("COM4").busy = true;
  os.AddPort("DISK").fileType = FILE_TYPE_DISK;
  os.AddPort("HELD").openError = OsError{ERROR_ACCESS_DENIED, 16, 4242, "minicom"};
  comm = std::make_unique<TThreadComm>(nullptr, os);
  // The failure each leaves to be told; a handle that is no comm device is
  // refused in the comm calls' own terms (ERROR_INVALID_FUNCTION).
  const struct {
    const char* name;
    DWORD code;
  } ports[] = {{"", ERROR_PATH_NOT_FOUND},
               {"COM9", ERROR_FILE_NOT_FOUND},
               {"COM4", ERROR_ACCESS_DENIED},
               {"DISK", 1},
               {"HELD", ERROR_ACCESS_DENIED}};
  for (const auto& port : ports) {
    comm->SetPort(port.name);
    comm->Open();
    EXPECT_FALSE(comm->IsOpen()) << port.name;
    EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE) << port.name;
    EXPECT_EQ(comm->LastOpenError().code, port.code) << port.name;
  }
  EXPECT_EQ(comm->LastOpenError().native, 16);
  EXPECT_EQ(comm->LastOpenError().holderPid, 4242);
  EXPECT_EQ(comm->LastOpenError().holderName, "minicom");
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(TCommEventThread::LiveCount(), 0);
  // The non-character handle was released again.
  EXPECT_EQ(os.OpenHandles(), 2u);
  EXPECT_EQ(os.CountCalls("CloseHandle"), 1u);
  // An open that goes through leaves nothing to tell.
  comm->SetPort("COM3");
  comm->Open();
  ASSERT_TRUE(comm->IsOpen());
  EXPECT_EQ(comm->LastOpenError().code, 0u);
  EXPECT_EQ(comm->LastOpenError().holderPid, 0);
  comm->Close();
  // A port held by the component itself cannot be opened twice either.
  TThreadComm& first = OpenComm();
  TThreadComm second(nullptr, os);
  second.SetPort("COM3");
  second.Open();
  EXPECT_TRUE(first.IsOpen());
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.LastOpenError().code, ERROR_ACCESS_DENIED);
}

TEST(Win32DevicePath, BareNamesGetTheDevicePathOthersStayAsGiven) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"COM1", "\\\\.\\COM1"},
      {"COM12", "\\\\.\\COM12"},
      {"com256", "\\\\.\\com256"},
      {"CNCA0", "\\\\.\\CNCA0"},
      {"", ""},
      {"\\\\.\\COM12", "\\\\.\\COM12"},
      {"\\\\?\\GLOBALROOT\\Device\\VCP0", "\\\\?\\GLOBALROOT\\Device\\VCP0"},
      {"C:\\ports\\x", "C:\\ports\\x"},
      {"COM3:", "COM3:"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"a\\b", "a\\b"},
  };
  for (const auto& c : cases) EXPECT_EQ(Win32DevicePath(c.name), c.path) << c.name;
}

TEST_F(CommTest, SecondOpenReportsAndKeepsThePort) {
  TThreadComm& c = OpenComm();
  HANDLE before = c.Handle();
  c.Open();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Port already assigned (open).(Error: -1)");
  EXPECT_EQ(boxes[0].caption, "Serial Port Error.");
  EXPECT_EQ(boxes[0].flags, 0u);
  EXPECT_TRUE(c.IsOpen());
  EXPECT_EQ(c.Handle(), before);
  EXPECT_EQ(TCommEventThread::LiveCount(), 1);
}

TEST_F(CommTest, SetPortOnlyWhileClosed) {
  TThreadComm& c = OpenComm();
  c.SetPort("COM7");
  EXPECT_EQ(c.Port(), "COM3");
  c.Close();
  EXPECT_EQ(c.Port(), "COM3");
  c.SetPort("com3");  // case matters
  EXPECT_EQ(c.Port(), "com3");
  EXPECT_TRUE(boxes.empty());
}

TEST_F(CommTest, SettersPushOnlyChangesWhileOpen) {
  TThreadComm& c = OpenComm();
  os.ClearCalls();
  c.SetBaudRate(6);  // already 6
  c.SetParity(0);
  c.SetStopBits(0);
  c.SetByteSize(4);
  c.SetFlowControl(fcKeep);
  EXPECT_EQ(os.CountCalls("SetCommState"), 0u);

  const DWORD bauds[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                         19200, 38400, 56000, 57600, 115200, 128000, 256000};
  for (int i = 0; i < 15; ++i) {
    c.SetBaudRate(static_cast<std::int8_t>(i));
    EXPECT_EQ(c.ControlBlock().BaudRate, bauds[i]) << i;
  }
  const BYTE parities[] = {0, 2, 1, 3, 4};
  for (int i = 4; i >= 0; --i) {
    c.SetParity(static_cast<std::int8_t>(i));
    EXPECT_EQ(c.ControlBlock().Parity, parities[i]) << i;
  }
  for (int i = 2; i >= 0; --i) {
    c.SetStopBits(static_cast<std::int8_t>(i));
    EXPECT_EQ(c.ControlBlock().StopBits, i);
  }
  for (int i = 0; i < 5; ++i) {
    c.SetByteSize(static_cast<std::int8_t>(i));
    EXPECT_EQ(c.ControlBlock().ByteSize, 4 + i);
  }
  // An index outside the table leaves the driver's value alone.
  c.SetBaudRate(12);
  c.SetBaudRate(15);
  EXPECT_EQ(c.ControlBlock().BaudRate, 115200u);
  c.SetBaudRate(-1);
  EXPECT_EQ(c.ControlBlock().BaudRate, 115200u);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(CommTest, FlowControlAndOptionsReachTheControlBlock) {
  os.WithPort("COM3", [](FakeCommOs::Port& p) {
    p.dcb.fOutX = 1;
    p.dcb.fInX = 0;
    p.dcb.fOutxCtsFlow = 0;
    p.dcb.fOutxDsrFlow = 1;
    p.dcb.fParity = 1;
    p.dcb.fDsrSensitivity = 1;
    p.dcb.fTXContinueOnXoff = 1;
    p.dcb.fErrorChar = 1;
    p.dcb.fNull = 1;
    p.dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  });
  TThreadComm& c = OpenComm();
  // Keep (the default): the driver's handshake flags stay; options cleared.
  const DCB& d = c.ControlBlock();
  EXPECT_EQ(d.fOutX, 1u);
  EXPECT_EQ(d.fInX, 0u);
  EXPECT_EQ(d.fOutxCtsFlow, 0u);
  EXPECT_EQ(d.fOutxDsrFlow, 1u);
  EXPECT_EQ(d.fParity + d.fDsrSensitivity + d.fTXContinueOnXoff + d.fErrorChar + d.fNull, 0u);
  EXPECT_EQ(d.fDtrControl, DTR_CONTROL_HANDSHAKE);  // never touched

  c.SetFlowControl(fcCtsDsr);
  EXPECT_EQ(d.fOutxCtsFlow, 1u);
  EXPECT_EQ(d.fOutxDsrFlow, 1u);
  EXPECT_EQ(d.fOutX, 1u);  // XON/XOFF left alone
  EXPECT_EQ(d.fInX, 0u);
  c.SetFlowControl(fcNone);
  EXPECT_EQ(d.fOutxCtsFlow + d.fOutxDsrFlow + d.fOutX + d.fInX, 0u);
  c.SetFlowControl(fcXonXoff);
  EXPECT_EQ(d.fOutX, 1u);
  EXPECT_EQ(d.fInX, 1u);
  EXPECT_EQ(d.fOutxCtsFlow + d.fOutxDsrFlow, 0u);

  c.Options.Include(coParityCheck);
  c.Options.Include(coNullStrip);
  c.SetParity(1);
  EXPECT_EQ(d.fParity, 1u);
  EXPECT_EQ(d.fNull, 1u);
  EXPECT_EQ(d.fErrorChar, 0u);
  os.WithPort("COM3", [](FakeCommOs::Port& p) { EXPECT_EQ(p.dcb.fParity, 1u); });
}

TEST_F(CommTest, EventCharsPushEveryAssignmentAndAssignCopiesQuietly) {
  TThreadComm& c = OpenComm();
  os.ClearCalls();
  c.Chars().SetXOnChar(17);  // the same value: pushed all the same
  EXPECT_EQ(os.CountCalls("SetCommState"), 1u);
  c.Chars().SetEvtChar('\n');
  c.Chars().SetEofChar(26);
  c.Chars().SetErrorChar('?');
  c.Chars().SetXOffChar(20);
  os.WithPort("COM3", [](FakeCommOs::Port& p) {
    EXPECT_EQ(p.dcb.EvtChar, '\n');
    EXPECT_EQ(p.dcb.EofChar, 26);
    EXPECT_EQ(p.dcb.ErrorChar, '?');
    EXPECT_EQ(p.dcb.XoffChar, 20);
  });

  TCommEventChars source(nullptr);
  source.SetXOnChar(1);
  source.SetEvtChar(2);
  os.ClearCalls();
  c.Chars().Assign(&source);
  EXPECT_EQ(c.Chars().XOnChar(), 1);
  EXPECT_EQ(c.Chars().EvtChar(), 2);
  EXPECT_EQ(c.Chars().XOffChar(), 19);
  EXPECT_EQ(os.CountCalls("SetCommState"), 0u);

  TThreadComm other(nullptr, os);
  EXPECT_THROW(c.Chars().Assign(&other), EConvertError);
  EXPECT_THROW(c.Chars().Assign(nullptr), EConvertError);
}

TEST_F(CommTest, DriverRefusalsShowTheirMessagesAndOpenGoesOn) {
  os.SetFailure("SetCommState", ERROR_INVALID_PARAMETER);
  os.SetFailure("SetCommTimeouts", ERROR_GEN_FAILURE);
  os.SetFailure("SetupComm", ERROR_NOT_ENOUGH_MEMORY, 12);
  TThreadComm& c = OpenComm();
  EXPECT_TRUE(c.IsOpen());
  // The open's first refused step is kept, with the OS's own code.
  EXPECT_EQ(c.LastOpenError().code, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(c.LastOpenError().native, 12);
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text, "Error updating DataControlBlock.(Error: 87)");
  EXPECT_EQ(boxes[1].text, "Error updating CommTimeouts.(Error: 31)");
  EXPECT_EQ(boxes[2].text, "Error initializing Read/Write Buffers.(Error: 8)");
  for (const auto& b : boxes) EXPECT_EQ(b.caption, "Serial Port Error.");
  // The buffer message comes after the thread was started.
  EXPECT_EQ(TCommEventThread::LiveCount(), 1);
  // The component's copy keeps the values it asked for.
  c.SetBaudRate(8);
  EXPECT_EQ(c.ControlBlock().BaudRate, 19200u);
  EXPECT_EQ(boxes.size(), 4u);
}

TEST_F(CommTest, ModemLinesAndEscapeFunctions) {
  comm = std::make_unique<TThreadComm>(nullptr, os);
  EXPECT_FALSE(comm->GetModemLine(4));
  comm->SetDTR(true);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Port not open.(Error: -1)");
  EXPECT_EQ(boxes[0].caption, "Serial Port Error.");
  boxes.clear();

  comm->SetPort("COM3");
  comm->Open();
  ASSERT_TRUE(os.WaitPending("COM3", 2s));
  os.SetModemStatus("COM3", MS_RLSD_ON | MS_DSR_ON);
  EXPECT_FALSE(comm->GetModemLine(0));
  EXPECT_FALSE(comm->GetModemLine(5));
  EXPECT_FALSE(comm->GetModemLine(1));
  EXPECT_TRUE(comm->GetModemLine(2));
  EXPECT_FALSE(comm->GetModemLine(3));
  EXPECT_TRUE(comm->GetModemLine(4));
  os.SetModemStatus("COM3", MS_CTS_ON | MS_RING_ON);
  EXPECT_TRUE(comm->GetModemLine(1));
  EXPECT_TRUE(comm->GetModemLine(3));
  EXPECT_FALSE(comm->GetModemLine(4));
  os.SetFailure("GetCommModemStatus", ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(comm->GetModemLine(1));

  os.ClearCalls();
  comm->SetDTR(true);
  comm->SetRTS(true);
  comm->SetDTR(false);
  comm->SetRTS(false);
  // The calls of this thread, in order; the event thread may record its own.
  std::vector<std::string> escapes;
  for (const std::string& call : os.Calls()) {
    if (call.rfind("EscapeCommFunction", 0) == 0) escapes.push_back(call);
  }
  EXPECT_EQ(escapes, (std::vector<std::string>{"EscapeCommFunction 5", "EscapeCommFunction 3",
                                               "EscapeCommFunction 6", "EscapeCommFunction 4"}));
  EXPECT_TRUE(boxes.empty());
  os.SetFailure("EscapeCommFunction", ERROR_NOT_SUPPORTED);
  comm->SetDTR(true);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "EscapeCommFunction failure.(Error: 50)");
}

TEST_F(CommTest, TransfersAndPurge) {
  comm = std::make_unique<TThreadComm>(nullptr, os);
  char buf[16] = {};
  EXPECT_EQ(comm->Write("abc", 3), -1);
  EXPECT_EQ(comm->Read(buf, 10), -1);
  comm->PurgeBuffers();
  EXPECT_EQ(os.CountCalls("WriteFile") + os.CountCalls("ReadFile") + os.CountCalls("PurgeComm"),
            0u);

  comm->SetPort("COM3");
  comm->Open();
  EXPECT_EQ(comm->Write("hello", 5), 5);
  os.Receive("COM3", {'o', 'k', '.', '\r', '\n'});
  os.ClearCalls();
  EXPECT_EQ(comm->Read(buf, 0), 0);
  // The error state is cleared, no read is made (the event thread, woken by
  // the bytes, may record calls of its own meanwhile).
  EXPECT_GE(os.CountCalls("ClearCommError"), 1u);
  EXPECT_EQ(os.CountCalls("ReadFile"), 0u);
  EXPECT_EQ(comm->Read(buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "ok");
  EXPECT_EQ(comm->Read(buf, 10), 3);
  EXPECT_EQ(comm->Read(buf, 10), 0);
  // Reads and writes that ran into their time-outs (Wine reports them as
  // failures with a time-out code) are no failure of the port.
  for (const DWORD timeout : {DWORD{ERROR_TIMEOUT}, DWORD{ERROR_COUNTER_TIMEOUT}, DWORD{121}}) {
    os.SetFailure("ReadFile", timeout);
    EXPECT_EQ(comm->Read(buf, 4), 0);
  }
  os.SetFailure("ReadFile", 0);
  EXPECT_EQ(comm->LastIoError().code, static_cast<DWORD>(ERROR_SUCCESS));

  // A pending write that reports incomplete a few times still ends with its
  // count, and waits on its event rather than asking without pause.
  os.SetWritePending(3);
  EXPECT_EQ(comm->Write("0123456789", 10), 10);
  EXPECT_EQ(os.CountCalls("GetOverlappedResult wait"), 4u);
  EXPECT_EQ(os.CountCalls("GetOverlappedResult nowait"), 0u);
  // A failing completion reports what the call says it moved.
  os.SetWritePending(1);
  os.SetFailure("GetOverlappedResult", ERROR_OPERATION_ABORTED);
  os.ClearCalls();
  EXPECT_EQ(comm->Write("0123456789", 10), 5);
  EXPECT_EQ(os.CountCalls("ClearCommError"), 1u);
  os.SetFailure("GetOverlappedResult", 0);
  os.SetWritePending(0);
  // A write refused outright moves nothing and clears the device's errors.
  os.SetFailure("WriteFile", ERROR_GEN_FAILURE);
  os.ClearCalls();
  EXPECT_EQ(comm->Write("x", 1), 0);
  EXPECT_EQ(os.CountCalls("ClearCommError"), 1u);
  os.SetFailure("ReadFile", ERROR_GEN_FAILURE);
  EXPECT_EQ(comm->Read(buf, 4), 0);
  EXPECT_TRUE(boxes.empty());

  // Purge: input only.
  os.SetFailure("ReadFile", 0);
  os.Receive("COM3", {'x', 'y'});
  os.WithPort("COM3", [](FakeCommOs::Port& p) { p.outQueue = 7; });
  os.ClearCalls();
  comm->PurgeBuffers();
  // One purge of the input side; the event thread, woken by the bytes, may
  // record its own next wait meanwhile.
  EXPECT_EQ(os.CountCalls("PurgeComm"), 1u);
  EXPECT_EQ(os.CountCalls("PurgeComm 0xA"), 1u);
  os.WithPort("COM3", [](FakeCommOs::Port& p) {
    EXPECT_TRUE(p.input.empty());
    EXPECT_EQ(p.outQueue, 7u);
  });
}

TEST_F(CommTest, AdoptedHandleKeepsTheDriverSettings) {
  comm = std::make_unique<TThreadComm>(nullptr, os);
  HANDLE h = os.CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  os.ClearCalls();
  comm->Open(h);
  EXPECT_TRUE(comm->IsOpen());
  EXPECT_EQ(comm->Handle(), h);
  EXPECT_EQ(os.CountCalls("GetCommState"), 0u);
  EXPECT_EQ(os.CountCalls("SetCommTimeouts"), 1u);
  EXPECT_EQ(os.CountCalls("CreateFileA"), 0u);
  comm->Close();
  EXPECT_EQ(os.OpenHandles(), 2u);  // the two transfer events
}

TEST_F(CommTest, DispatchCallsHandlersInTableOrderWithOneSnapshot) {
  TThreadComm& c = OpenComm();
  std::vector<std::string> order;
  auto note = [&](const char* n) { return [&order, n](TObject*) { order.push_back(n); }; };
  c.OnBreak = note("break");
  c.OnCts = note("cts");
  c.OnDsr = note("dsr");
  c.OnError = [&](TObject* s, std::uint32_t e) {
    EXPECT_EQ(s, &c);
    order.push_back("error " + std::to_string(e));
  };
  c.OnRing = note("ring");
  c.OnRlsd = note("rlsd");
  c.OnRxChar = [&](TObject*, std::uint32_t n) { order.push_back("rx " + std::to_string(n)); };
  c.OnRxFlag = note("rxflag");
  c.OnTxEmpty = note("txempty");
  c.OnCommEvent = [&](TObject*, std::uint32_t m, const COMSTAT& s) {
    order.push_back("comm " + std::to_string(m) + " " + std::to_string(s.cbInQue));
  };
  os.WithPort("COM3", [](FakeCommOs::Port& p) {
    p.input = {1, 2, 3};
    p.errorFlags = CE_FRAME;
  });
  c.DispatchEvents(nullptr, 0x01FF);
  EXPECT_EQ(order, (std::vector<std::string>{"break", "cts", "dsr", "error 8", "ring", "rlsd",
                                             "rx 3", "rxflag", "txempty", "comm 511 3"}));
  order.clear();
  c.DispatchEvents(nullptr, 0);
  EXPECT_EQ(order, std::vector<std::string>{"comm 0 3"});
  order.clear();
  // Characters announced but already read: no OnRxChar.
  os.WithPort("COM3", [](FakeCommOs::Port& p) { p.input.clear(); });
  c.DispatchEvents(nullptr, EV_RXCHAR | EV_ERR);
  EXPECT_EQ(order, (std::vector<std::string>{"error 0", "comm 129 0"}));
  order.clear();
  // A handler that closes the port: the rest of the delivery still runs.
  os.WithPort("COM3", [](FakeCommOs::Port& p) { p.input = {9}; });
  c.OnRxChar = [&](TObject*, std::uint32_t n) {
    order.push_back("rx " + std::to_string(n));
    c.Close();
  };
  c.DispatchEvents(nullptr, EV_RXCHAR | EV_TXEMPTY);
  EXPECT_EQ(order, (std::vector<std::string>{"rx 1", "txempty", "comm 5 1"}));
  EXPECT_FALSE(c.IsOpen());
}

TEST_F(CommTest, EventThreadDeliversOnTheMainThreadAndCloseFromHandler) {
  TThreadComm& c = OpenComm();
  std::vector<std::uint32_t> counts;
  std::thread::id handlerThread;
  std::string data;
  c.OnRxChar = [&](TObject* sender, std::uint32_t n) {
    EXPECT_EQ(sender, &c);
    handlerThread = std::this_thread::get_id();
    counts.push_back(n);
    char buf[64];
    data.append(buf, static_cast<std::size_t>(c.Read(buf, static_cast<std::int32_t>(n))));
  };
  ASSERT_TRUE(os.WaitPending("COM3", 2s));
  os.Receive("COM3", {'A', 'B', 'C'});
  ASSERT_TRUE(PumpUntil([&] { return !counts.empty(); }));
  EXPECT_EQ(counts, std::vector<std::uint32_t>{3});
  EXPECT_EQ(handlerThread, std::this_thread::get_id());
  EXPECT_EQ(data, "ABC");

  // Close from inside OnRxChar, as the sequencer does at its end.
  int after = 0;
  c.OnRxChar = [&](TObject*, std::uint32_t) {
    ++after;
    c.Close();
  };
  ASSERT_TRUE(os.WaitPending("COM3", 2s));
  os.Receive("COM3", {'.', '\r', '\n'});
  ASSERT_TRUE(PumpUntil([&] { return after == 1; }));
  EXPECT_FALSE(c.IsOpen());
  EXPECT_TRUE(WaitForThreads());
  // The abandoned thread never touched the closed port again.
  auto calls = os.Calls();
  auto closed = std::find(calls.begin(), calls.end(), "CloseHandle port COM3");
  ASSERT_NE(closed, calls.end());
  EXPECT_EQ(std::count_if(closed, calls.end(),
                          [](const std::string& s) {
                            return s.rfind("PurgeComm", 0) == 0 || s == "WaitCommEvent";
                          }),
            0);
  EXPECT_EQ(after, 1);

  // A fresh Open starts a fresh thread that delivers again.
  c.OnRxChar = [&](TObject*, std::uint32_t n) { counts.push_back(n); };
  c.Open();
  ASSERT_TRUE(c.IsOpen());
  EXPECT_EQ(TCommEventThread::LiveCount(), 1);
  ASSERT_TRUE(os.WaitPending("COM3", 2s));
  os.Receive("COM3", {'Z'});
  ASSERT_TRUE(PumpUntil([&] { return counts.size() == 2; }));
  EXPECT_EQ(counts.back(), 4u);  // the three left unread plus the new one
}

TEST_F(CommTest, CloseEndsAWaitingThreadWhichPurgesBeforeTheHandleCloses) {
  TThreadComm& c = OpenComm();
  ASSERT_TRUE(os.WaitPending("COM3", 2s));
  os.ClearCalls();
  c.Close();
  EXPECT_EQ(TCommEventThread::LiveCount() <= 1, true);
  EXPECT_TRUE(WaitForThreads());
  auto calls = os.Calls();
  auto purge = std::find(calls.begin(), calls.end(), "PurgeComm 0xF");
  auto closed = std::find(calls.begin(), calls.end(), "CloseHandle port COM3");
  ASSERT_NE(purge, calls.end());
  ASSERT_NE(closed, calls.end());
  EXPECT_LT(purge, closed);
  EXPECT_NE(std::find(calls.begin(), calls.end(), "SetCommMask 0x0"), calls.end());
  // Nothing is delivered for the wait that Close ended.
  EXPECT_EQ(TMainThreadQueue::Instance().PendingCount(), 0u);
}

// A driver that ignores the mask change: Close gives the thread up after its
// bound instead of waiting for ever, and the thread, once its wait ends with
// the closed handle, touches the port no more and delivers nothing.
TEST_F(CommTest, CloseGivesUpOnAThreadWhoseWaitDoesNotEnd) {
  os.WithPort("COM3", [](FakeCommOs::Port& p) { p.ignoresMaskChange = true; });
  TThreadComm& c = OpenComm();
  int delivered = 0;
  c.OnCommEvent = [&](TObject*, std::uint32_t, const COMSTAT&) { ++delivered; };
  ASSERT_TRUE(os.WaitPending("COM3", 2s));
  os.ClearCalls();
  const auto start = std::chrono::steady_clock::now();
  c.Close();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(c.IsOpen());
  EXPECT_GE(took, TThreadComm::kEventThreadStopBound - 50ms);
  EXPECT_LT(took, TThreadComm::kEventThreadStopBound + 5s);  // returned, not hung
  EXPECT_TRUE(WaitForThreads());
  TMainThreadQueue::Instance().RunPending();
  EXPECT_EQ(delivered, 0);
  auto calls = os.Calls();
  auto closed = std::find(calls.begin(), calls.end(), "CloseHandle port COM3");
  ASSERT_NE(closed, calls.end());
  EXPECT_EQ(std::count(closed, calls.end(), "PurgeComm 0xF"), 0);
  // The port opens again with a fresh thread.
  os.WithPort("COM3", [](FakeCommOs::Port& p) { p.ignoresMaskChange = false; });
  c.Open();
  ASSERT_TRUE(c.IsOpen());
  os.ClearCalls();
  c.Close();
  EXPECT_EQ(os.CountCalls("PurgeComm"), 1u);
}

TEST_F(CommTest, CloseWhileAHandOffIsQueuedDoesNotDeadlock) {
  TThreadComm& c = OpenComm();
  int calls = 0;
  c.OnCommEvent = [&](TObject*, std::uint32_t, const COMSTAT&) { ++calls; };
  ASSERT_TRUE(os.WaitPending("COM3", 2s));
  os.RaiseEvents("COM3", EV_CTS);
  // The thread is now blocked handing the event over; nobody pumps.
  for (int i = 0; i < 400 && TMainThreadQueue::Instance().PendingCount() == 0; ++i) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(TMainThreadQueue::Instance().PendingCount(), 1u);
  c.Close();
  EXPECT_FALSE(c.IsOpen());
  EXPECT_TRUE(WaitForThreads());
  TMainThreadQueue::Instance().RunPending();
  EXPECT_EQ(calls, 0);
  auto log = os.Calls();
  auto purge = std::find(log.begin(), log.end(), "PurgeComm 0xF");
  auto closed = std::find(log.begin(), log.end(), "CloseHandle port COM3");
  ASSERT_NE(purge, log.end());
  EXPECT_LT(purge, closed);
}

TEST_F(CommTest, DeliveriesNeverOverlapAndWaitForTheHandlers) {
  TThreadComm& c = OpenComm();
  int delivered = 0;
  c.OnCommEvent = [&](TObject*, std::uint32_t, const COMSTAT&) { ++delivered; };
  ASSERT_TRUE(os.WaitPending("COM3", 2s));
  os.RaiseEvents("COM3", EV_CTS);
  for (int i = 0; i < 400 && TMainThreadQueue::Instance().PendingCount() == 0; ++i) {
    std::this_thread::sleep_for(5ms);
  }
  // More events while the first is being handed over: no second wait yet.
  std::size_t waits = os.CountCalls("WaitCommEvent");
  os.RaiseEvents("COM3", EV_DSR);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(os.CountCalls("WaitCommEvent"), waits);
  EXPECT_EQ(TMainThreadQueue::Instance().PendingCount(), 1u);
  ASSERT_TRUE(PumpUntil([&] { return delivered == 2; }));
}

TEST_F(CommTest, HandlerExceptionEndsTheThreadButNotTheProgram) {
  TThreadComm& c = OpenComm();
  int calls = 0;
  c.OnRxChar = [&](TObject*, std::uint32_t) {
    ++calls;
    throw std::runtime_error("handler failed");
  };
  ASSERT_TRUE(os.WaitPending("COM3", 2s));
  os.Receive("COM3", {1});
  ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
  EXPECT_TRUE(WaitForThreads());
  EXPECT_TRUE(c.IsOpen());
  // No further deliveries, though the port stays open.
  os.Receive("COM3", {2});
  std::this_thread::sleep_for(30ms);
  TMainThreadQueue::Instance().RunPending();
  EXPECT_EQ(calls, 1);
  // Close must not touch the freed thread.
  c.Close();
  EXPECT_FALSE(c.IsOpen());
  c.Open();
  EXPECT_TRUE(c.IsOpen());
  os.Receive("COM3", {3});
  ASSERT_TRUE(PumpUntil([&] { return calls == 2; }));
}

TEST_F(CommTest, WaitsThatFailAtOnceDoNotSpin) {
  os.SetFailure("WaitCommEvent", ERROR_GEN_FAILURE);
  TThreadComm& c = OpenComm();
  std::this_thread::sleep_for(500ms);
  // A spinning loop would make hundreds of thousands of calls here.
  EXPECT_LT(os.CountCalls("WaitCommEvent"), 40u);
  EXPECT_GE(os.CountCalls("WaitCommEvent"), 3u);
  auto start = std::chrono::steady_clock::now();
  c.Close();
  // The back-off ends at once on Close.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(WaitForThreads());
}

TEST_F(CommTest, WaitsThatEndWithAnErrorCountAsFailedAndDeliverNothing) {
  // A pulled adapter: each wait goes pending and ends at once, with an error
  // from GetOverlappedResult and a mask of 0 nobody asked for.
  os.WithPort("COM3", [](FakeCommOs::Port& p) { p.waitError = ERROR_GEN_FAILURE; });
  int delivered = 0;
  comm = std::make_unique<TThreadComm>(nullptr, os);
  comm->SetPort("COM3");
  comm->OnCommEvent = [&](TObject*, std::uint32_t, const COMSTAT&) { ++delivered; };
  comm->Open();
  ASSERT_TRUE(comm->IsOpen());
  for (int i = 0; i < 25; ++i) PumpUntil([] { return false; }, 20ms);
  EXPECT_EQ(delivered, 0);
  EXPECT_LT(os.CountCalls("WaitCommEvent"), 40u);
  EXPECT_GE(os.CountCalls("GetOverlappedResult event"), 3u);
  // The device comes back: its events are delivered again.
  os.WithPort("COM3", [](FakeCommOs::Port& p) { p.waitError = 0; });
  os.Receive("COM3", {1});
  EXPECT_TRUE(PumpUntil([&] { return delivered > 0; }));
  comm->Close();
  EXPECT_TRUE(WaitForThreads());
}

TEST_F(CommTest, OwnerDestroysAnOpenComponentWhichClosesFirst) {
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* c = new TThreadComm(owner.get(), os);
  c->SetPort("COM3");
  c->Open();
  ASSERT_TRUE(c->IsOpen());
  EXPECT_EQ(owner->ComponentCount(), 1u);
  owner.reset();
  EXPECT_TRUE(WaitForThreads());
  EXPECT_EQ(os.OpenHandles(), 0u);
  EXPECT_TRUE(boxes.empty());
  // Closing a closed component does nothing.
  TThreadComm closed(nullptr, os);
  os.ClearCalls();
  closed.Close();
  EXPECT_TRUE(os.Calls().empty());
}

TEST_F(CommTest, ManyOpenCloseCyclesLeaveNothingBehind) {
  comm = std::make_unique<TThreadComm>(nullptr, os);
  comm->SetPort("COM3");
  int delivered = 0;
  comm->OnRxChar = [&](TObject*, std::uint32_t) {
    ++delivered;
    comm->Close();
  };
  for (int i = 0; i < 300; ++i) {
    comm->Open();
    ASSERT_TRUE(comm->IsOpen());
    if (i % 3 == 0) {
      ASSERT_TRUE(os.WaitPending("COM3", 2s));
      os.Receive("COM3", {static_cast<std::uint8_t>(i)});
      ASSERT_TRUE(PumpUntil([&] { return !comm->IsOpen(); }));
    } else {
      comm->Close();
    }
  }
  EXPECT_EQ(delivered, 100);
  EXPECT_TRUE(WaitForThreads());
  EXPECT_EQ(os.OpenHandles(), 2u);
}

}  // namespace
}  // namespace comm
