// The trace of a run: the serial layer's decorator (bytes both ways in
// order, also reads and writes that complete later, opens and closes), the
// status texts and boxes, and the file a program's --trace writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "Classes.h"
#include "Comm.h"
#include "FakeCommOs.h"
#include "FakeForm.h"
#include "FrontEnd.h"
#include "Main.h"
#include "Trace.h"
#include "Watchdog.h"

namespace {

using comm::test::FakeCommOs;

// The entries without their time stamps; every line must carry one.
std::vector<std::string> Entries(const std::string& text) {
  static const std::regex stamped(R"(^ *[0-9]+\.[0-9]{3}s (.*)$)");
  std::vector<std::string> entries;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, stamped)) << line;
    entries.push_back(m.size() > 1 ? m[1].str() : line);
  }
  return entries;
}

// A serial layer whose reads go pending: the bytes land in the caller's
// buffer only when GetOverlappedResult reports the read complete, after it
// has said "incomplete" once to a caller that does not wait.
class PendingReadOs : public FakeCommOs {
 public:
  BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read,
                OVERLAPPED* overlapped) override {
    if (GetFileType(file) != FILE_TYPE_CHAR) return FALSE;
    buffer_ = static_cast<std::uint8_t*>(buffer);
    count_ = count;
    pending_ = overlapped;
    if (read != nullptr) *read = 0;
    pendingError_ = true;
    return FALSE;
  }
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                           BOOL wait) override {
    if (overlapped != pending_)
      return FakeCommOs::GetOverlappedResult(file, overlapped, transferred, wait);
    if (!wait) {
      incompleteError_ = true;
      return FALSE;
    }
    const DWORD n = std::min<DWORD>(count_, static_cast<DWORD>(arriving.size()));
    std::copy_n(arriving.begin(), n, buffer_);
    arriving.erase(arriving.begin(), arriving.begin() + n);
    if (transferred != nullptr) *transferred = n;
    pending_ = nullptr;
    return TRUE;
  }
  DWORD GetLastError() override {
    if (pendingError_) {
      pendingError_ = false;
      return ERROR_IO_PENDING;
    }
    if (incompleteError_) {
      incompleteError_ = false;
      return ERROR_IO_INCOMPLETE;
    }
    return FakeCommOs::GetLastError();
  }
  std::vector<std::uint8_t> arriving;

 private:
  std::uint8_t* buffer_ = nullptr;
  DWORD count_ = 0;
  OVERLAPPED* pending_ = nullptr;
  // The last error is the calling thread's, as the real one is.
  static thread_local bool pendingError_;
  static thread_local bool incompleteError_;
};

thread_local bool PendingReadOs::pendingError_ = false;
thread_local bool PendingReadOs::incompleteError_ = false;

TEST(TraceCommOs, RecordsOpensWritesReadsAndClosesInOrder) {
  testsupport::Watchdog watchdog(std::chrono::seconds(30));
  FakeCommOs fake;
  fake.AddPort("COM3");
  fake.WithPort("COM3", [](FakeCommOs::Port& p) {
    p.peer = [](const std::vector<std::uint8_t>&, std::vector<std::uint8_t>& reply) {
      reply = {'.', '\r', '\n'};
    };
    return 0;
  });
  std::ostringstream out;
  app::TTrace trace(out);
  app::TTraceCommOs os(fake, trace);
  {
    comm::TThreadComm port(nullptr, os);
    port.SetPort("COM9");
    port.Open();  // no such port
    port.SetPort("COM3");
    port.Open();
    ASSERT_TRUE(port.IsOpen());
    EXPECT_TRUE(port.GetModemLine(4));
    const std::uint8_t frame[] = {0x5A, 0x0A, 0x00, 0xF1, '0', '0', '0', '0', 0xFD, 0xEB};
    EXPECT_EQ(port.Write(frame, sizeof frame), 10);
    std::uint8_t reply[8] = {};
    EXPECT_EQ(port.Read(reply, sizeof reply), 3);
    EXPECT_EQ(port.Read(reply, sizeof reply), 0);
    // A write that the driver finishes later is recorded once, as handed over.
    fake.SetWritePending(2);
    EXPECT_EQ(port.Write(":00000008F8", 11), 11);
    port.Close();
  }
  EXPECT_EQ(Entries(out.str()), (std::vector<std::string>{
                                    "open COM9 failed (error 2)",
                                    "open COM3",
                                    "lines COM3 CTS on DSR on RING off DCD on",
                                    "tx COM3 [10] 5A 0A 00 F1 30 30 30 30 FD EB | Z...0000.. |",
                                    "rx COM3 [3] 2E 0D 0A | ... |",
                                    "rx COM3 [0] nothing within the time-out",
                                    "tx COM3 [11] 3A 30 30 30 30 30 30 30 38 46 38 | :00000008F8 |",
                                    "close COM3",
                                }));
}

TEST(TraceCommOs, AReadThatCompletesLaterIsRecordedWithItsBytesWhenItCompletes) {
  testsupport::Watchdog watchdog(std::chrono::seconds(30));
  PendingReadOs fake;
  fake.AddPort("COM3");
  std::ostringstream out;
  app::TTrace trace(out);
  app::TTraceCommOs os(fake, trace);

  HANDLE h =
      os.CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OVERLAPPED readRecord{};
  OVERLAPPED writeRecord{};
  std::uint8_t buffer[16] = {};
  DWORD n = 0;
  ASSERT_FALSE(os.ReadFile(h, buffer, sizeof buffer, &n, &readRecord));
  EXPECT_EQ(os.GetLastError(), ERROR_IO_PENDING);
  // Not there yet: nothing recorded.
  ASSERT_FALSE(os.GetOverlappedResult(h, &readRecord, &n, FALSE));
  EXPECT_EQ(os.GetLastError(), ERROR_IO_INCOMPLETE);
  // Meanwhile the program writes.
  ASSERT_TRUE(os.WriteFile(h, "0", 1, &n, &writeRecord));
  fake.arriving = {'E', '\r', '\n'};
  ASSERT_TRUE(os.GetOverlappedResult(h, &readRecord, &n, TRUE));
  EXPECT_EQ(n, 3u);
  // Asked again about a record already reported: nothing more.
  os.GetOverlappedResult(h, &readRecord, &n, TRUE);

  // The same through the serial component, which waits for the result.
  {
    comm::TThreadComm port(nullptr, os);
    port.SetPort("COM3");
    os.CloseHandle(h);
    port.Open();
    ASSERT_TRUE(port.IsOpen());
    fake.arriving = {'.', '\r', '\n'};
    std::uint8_t reply[4] = {};
    EXPECT_EQ(port.Read(reply, 3), 3);
    port.Close();
  }
  EXPECT_EQ(Entries(out.str()), (std::vector<std::string>{
                                    "open COM3",
                                    "tx COM3 [1] 30 | 0 |",
                                    "rx COM3 [3] 45 0D 0A | E.. |",
                                    "close COM3",
                                    "open COM3",
                                    "rx COM3 [3] 2E 0D 0A | ... |",
                                    "close COM3",
                                }));
}

// A trace whose writing disturbs the thread's last error, as a file write
// may do on Windows.
class Disturbing : public std::stringbuf {
 public:
  explicit Disturbing(FakeCommOs& os) : os_(os) {}

 protected:
  int sync() override {
    os_.GetFileType(nullptr);  // fails: sets the thread's last error
    return std::stringbuf::sync();
  }

 private:
  FakeCommOs& os_;
};

TEST(TraceCommOs, TheCallersLastErrorSurvivesTheTraceBeingWritten) {
  FakeCommOs fake;
  Disturbing buffer(fake);
  std::ostream out(&buffer);
  app::TTrace trace(out);
  app::TTraceCommOs os(fake, trace);
  EXPECT_EQ(os.CreateFileA("COM7", GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(os.GetLastError(), ERROR_FILE_NOT_FOUND);
  // An untraced call in between gives the layer's own error again.
  os.GetFileType(nullptr);
  EXPECT_EQ(os.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_NE(buffer.str().find("open COM7 failed (error 2)"), std::string::npos);

  // With the OS's own code the failed line names it in the OS's terms, and
  // the holder of a port in use; the whole error survives the trace too.
#ifdef _WIN32
  const int denied = ERROR_ACCESS_DENIED;
#else
  const int denied = EACCES;
#endif
  fake.AddPort("COM8").openError = comm::OsError{ERROR_ACCESS_DENIED, denied, 0, {}};
  fake.AddPort("COM5").openError = comm::OsError{ERROR_ACCESS_DENIED, denied, 4242, "minicom"};
  EXPECT_EQ(os.CreateFileA("COM8", GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(os.GetLastOsError().native, denied);
  EXPECT_EQ(os.CreateFileA("COM5", GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(os.GetLastOsError().holderName, "minicom");
  const std::vector<std::string> lines = Entries(buffer.str());
  ASSERT_EQ(lines.size(), 3u);
#ifdef _WIN32
  // Windows' own text (Wine's wording differs), without its line break.
  EXPECT_TRUE(lines[1].starts_with("open COM8 failed (error 5 (")) << lines[1];
  EXPECT_TRUE(lines[1].ends_with(".))")) << lines[1];
  EXPECT_TRUE(lines[2].ends_with(".), held by 4242 minicom)")) << lines[2];
#else
  EXPECT_EQ(lines[1], "open COM8 failed (EACCES (Permission denied))");
  EXPECT_EQ(lines[2], "open COM5 failed (EACCES (Permission denied), held by 4242 minicom)");
#endif
}

TEST(Trace, StatusTextsAndEveryKindOfBoxAreRecorded) {
  testsupport::Watchdog watchdog(std::chrono::seconds(30));
  std::ostringstream out;
  app::TTrace trace(out);
  app::SetTrace(&trace);
  FakeCommOs fake;
  apptest::FakeForm form;
  std::vector<std::string> exceptions;
  {
    app::FrontEnd frontEnd(
        {.messageBox = [](const std::string&, const std::string&, unsigned) { return 1; },
         .exceptionBox = [&](const std::string& t, const std::string&) { exceptions.push_back(t); },
         .wakeup = {}});
    app::TMainPanel panel(nullptr, form, fake);
    panel.ShowStatus("Programming...");
    panel.ShowStatus("");
    panel.ShowMessageBox("Command timeout.", "Upgrade error.");
    // The serial component's own box goes through the application's box.
    panel.Comm->SetPort("COM1");
    panel.Comm->SetDTR(true);  // not open: reported
    app::ShowException("Bad \"thing\"\nhappened");
  }
  app::SetTrace(nullptr);
  app::TraceStatus("not recorded: no trace");
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(exceptions.size(), 1u);
  EXPECT_EQ(Entries(out.str()), (std::vector<std::string>{
                                    "status \"Programming...\"",
                                    "status \"\"",
                                    "box \"Upgrade error.\" \"Command timeout.\"",
                                    "box \"Serial Port Error.\" \"Port not open.(Error: -1)\"",
                                    "box \"KS_E -> IDU\" \"Bad \\\"thing\\\"\\nhappened\"",
                                }));
}

TEST(Trace, AProgramsTraceFileIsHeadedAndTracesItsSerialLayer) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("ksidu-trace-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "run.trace").string();
  FakeCommOs fake;
  fake.AddPort("COM3");
  {
    app::TProgramTrace trace(fake);
    EXPECT_EQ(&trace.Os(), &fake);  // nothing traced until it is opened
    std::string error;
    EXPECT_FALSE(trace.Open((dir / "no-such-dir" / "x").string(), "ks-idu-cli", error));
    EXPECT_NE(error.find("no-such-dir"), std::string::npos) << error;
    EXPECT_EQ(app::CurrentTrace(), nullptr);

    ASSERT_TRUE(trace.Open(file, "ks-idu-cli", error)) << error;
    EXPECT_NE(&trace.Os(), &fake);
    HANDLE h = trace.Os().CreateFileA("COM3", GENERIC_READ, 0, OPEN_EXISTING, 0);
    trace.Os().CloseHandle(h);
    app::TraceStatus("Done.");
  }
  EXPECT_EQ(app::CurrentTrace(), nullptr);
  std::stringstream text;
  {
    std::ifstream in(file);
    text << in.rdbuf();
  }  // closed: Windows removes no open file
  const std::vector<std::string> entries = Entries(text.str());
  ASSERT_EQ(entries.size(), 4u) << text.str();
  EXPECT_TRUE(entries[0].starts_with("ks-idu-cli 2.3, trace started ")) << entries[0];
  EXPECT_EQ(entries[1], "open COM3");
  EXPECT_EQ(entries[2], "close COM3");
  EXPECT_EQ(entries[3], "status \"Done.\"");
  std::filesystem::remove_all(dir);
}

TEST(Trace, BytesAreShownInHexAndAsText) {
  const std::uint8_t bytes[] = {0x3A, 0x00, 0x7F, 0x20, 0xFF, 0x2E};
  EXPECT_EQ(app::RenderBytes(bytes, sizeof bytes), "3A 00 7F 20 FF 2E | :.. .. |");
  EXPECT_EQ(app::QuoteText("a\tb\\c\x01"), "\"a\\tb\\\\c\\x01\"");
}

}  // namespace
