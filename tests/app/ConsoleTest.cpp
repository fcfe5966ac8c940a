// The console front end: its views of the window's controls, and whole runs
// through the window's logic and the real serial component against a
// simulated station, each ending with its exit status.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include "ConsoleForm.h"
#include "ConsoleProgram.h"
#include "EmbeddedImage.h"
#include "FakeCommOs.h"
#include "PortSource.h"
#include "Signals.h"
#include "SimulatedPorts.h"
#include "Trace.h"
#include "Watchdog.h"

namespace {

using comm::test::FakeCommOs;
using console::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// ---- Views --------------------------------------------------------------------------

class ConsoleViews : public ::testing::Test {
 protected:
  console::ConsoleForm MakeForm(bool terminal) {
    return console::ConsoleForm(
        loop, console::ConsoleOutput{out, err, terminal, [this] { return now; }}, {});
  }
  // Programming as the sequencer reports it: the address after each
  // acknowledged 16-byte block, up to past the maximum.
  static void Program(app::TProgressBar& bar, std::int32_t from, std::int32_t to,
                      const std::function<void()>& each = {}) {
    for (std::int32_t p = from; p <= to; p += 16) {
      bar.SetPosition(p);
      if (each) each();
    }
  }

  app::TEventLoop loop;
  std::ostringstream out;
  std::ostringstream err;
  Clock::time_point now{};
};

TEST_F(ConsoleViews, StatusTextsAreLinesAndAClearedStatusPrintsNothing) {
  auto form = MakeForm(false);
  app::TStaticText& status = form.StaticText1();
  EXPECT_EQ(status.Caption(), "");
  status.SetCaption("Initialize bootloader...");
  status.SetCaption("Initialize bootloader...");  // unchanged: not again
  status.SetCaption("");
  EXPECT_EQ(status.Caption(), "");
  status.SetCaption("Initialize bootloader...");
  status.SetCaption("Erase processor...");
  EXPECT_EQ(status.Caption(), "Erase processor...");
  // Not a terminal: each line begins with the seconds since start.
  EXPECT_EQ(out.str(),
            "[   0.000] Initialize bootloader...\n[   0.000] Initialize bootloader...\n"
            "[   0.000] Erase processor...\n");
  EXPECT_EQ(err.str(), "");
}

TEST_F(ConsoleViews, ControlsStartAsTheFormDescribesThem) {
  auto form = MakeForm(false);
  EXPECT_TRUE(form.Button1().Enabled());
  EXPECT_EQ(form.ProgressBar1().Min(), 0);
  EXPECT_EQ(form.ProgressBar1().Max(), 100);
  EXPECT_EQ(form.ProgressBar1().Position(), 0);
  EXPECT_FALSE(form.Delay().Enabled());
  EXPECT_EQ(form.Delay().Interval(), 1000u);
  EXPECT_TRUE(form.ProgSrc().Items().empty());
  console::ConsoleForm withImage(loop, console::ConsoleOutput{out, err},
                                 resources::EmbeddedImageLines());
  ASSERT_EQ(withImage.ProgSrc().Items().size(), resources::EmbeddedImageLines().size());
  EXPECT_EQ(withImage.ProgSrc().Items().front(), resources::EmbeddedImageLines().front());
  EXPECT_EQ(out.str(), "");
}

TEST_F(ConsoleViews, OnAPipeTheBarIsOneLinePerWholePercent) {
  auto form = MakeForm(false);
  app::TProgressBar& bar = form.ProgressBar1();
  bar.SetMax(30860);  // nothing shown while the bar is empty
  EXPECT_EQ(out.str(), "");
  Program(bar, 16, 30864);
  EXPECT_EQ(bar.Position(), 30860);  // held at the maximum

  std::string expected;
  for (int p = 0; p <= 100; ++p) expected += "[   0.000] " + std::to_string(p) + "%\n";
  EXPECT_EQ(out.str(), expected);

  // Set back to empty (the closing commands): nothing; a new run of the bar
  // counts from its start again, its lines with their time and the resends.
  bar.SetPosition(0);
  EXPECT_EQ(out.str(), expected);
  form.Screen().SetResends([] { return 2u; });
  now += milliseconds(12345);
  bar.SetPosition(15430);
  EXPECT_EQ(out.str(), expected + "[  12.345] 50%  2 resends\n");
}

TEST_F(ConsoleViews, OnATerminalTheBarIsRedrawnInPlaceWithTheTimeLeft) {
  auto form = MakeForm(true);
  app::TProgressBar& bar = form.ProgressBar1();
  form.StaticText1().SetCaption("Programming...");
  bar.SetMax(1600);
  out.str("");

  bar.SetPosition(16);
  const std::string first = out.str();
  EXPECT_EQ(first, "\r[..............................]   1%  --:-- left");
  EXPECT_EQ(first.find('\n'), std::string::npos);

  // A quarter more of the bar in ten seconds: three quarters left take 30 s.
  now += seconds(10);
  bar.SetPosition(16 + 400);
  // The shorter line blanks what is left of the longer one.
  EXPECT_EQ(out.str(), first + "\r[#######.......................]  26%  0:30 left ");
  // The same drawing again is not written again.
  const std::string drawn = out.str();
  bar.SetPosition(16 + 400);
  EXPECT_EQ(out.str(), drawn);

  // A status line starts below the bar, which stays as last drawn.
  form.StaticText1().SetCaption("Reset station...");
  EXPECT_EQ(out.str(), drawn + "\nReset station...\n");

  // Long waits read in hours.
  EXPECT_EQ(console::ConsoleScreen::FormatDuration(seconds(59)), "0:59");
  EXPECT_EQ(console::ConsoleScreen::FormatDuration(seconds(3725)), "1:02:05");
  EXPECT_EQ(console::ConsoleScreen::RenderProgressLine(50, "0:10"),
            "[###############...............]  50%  0:10 left");
  // Fitted to the terminal, one column to spare: a narrower bar, then none.
  EXPECT_EQ(console::ConsoleScreen::RenderProgressLine(50, "0:10", 3, 40),
            "[#####.....]  50%  0:10 left  3 resends");
  EXPECT_EQ(console::ConsoleScreen::RenderProgressLine(50, "0:10", 1, 30),
            " 50%  0:10 left  1 resend");
  EXPECT_EQ(console::ConsoleScreen::RenderProgressLine(50, "0:10", 0, 8), " 50%  0");
}

TEST_F(ConsoleViews, BoxesGoToStandardErrorAndAreAnsweredAtOnce) {
  auto form = MakeForm(true);
  std::vector<std::string> told;
  form.OnBox = [&](const std::string& text, const std::string& caption) {
    told.push_back(caption + "|" + text);
  };
  form.ProgressBar1().SetPosition(40);
  ASSERT_NE(out.str(), "");
  const std::string drawn = out.str();

  EXPECT_EQ(form.MessageBox("Command timeout.", "Upgrade error.", 0), 1);
  // The bar's line is ended first, so the box does not run into it.
  EXPECT_EQ(out.str(), drawn + "\n");
  EXPECT_EQ(err.str(), "Upgrade error.: Command timeout.\n");
  EXPECT_EQ(told, (std::vector<std::string>{"Upgrade error.|Command timeout."}));
  // Set back to empty afterwards ends nothing more.
  form.ProgressBar1().SetPosition(0);
  EXPECT_EQ(out.str(), drawn + "\n");
}

TEST_F(ConsoleViews, AStartThatBeginsNoRunEndsTheProgramWithStatusOne) {
  testsupport::Watchdog watchdog(seconds(30));
  auto form = MakeForm(false);
  console::ConsoleSession session(loop, form);
  // No window logic behind the button: pressing it does nothing.
  EXPECT_EQ(session.Run(), console::kExitNoRun);
  EXPECT_EQ(err.str(), "ks-idu-cli: pressing Start began no run\n");
}

// ---- Whole runs -------------------------------------------------------------------------

const std::string kErase = ":0100000307F5";

class ConsoleRun : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> names = {"COM3"}, bool terminal = false) {
    app::TNamedPortSource source(std::move(names));
    return console::RunConsole(console::ConsoleOutput{out, err, terminal}, os, source,
                               resources::EmbeddedImageLines());
  }
  bool PortOpen(const std::string& name) {
    return os.WithPort(name, [](FakeCommOs::Port& p) { return p.open; });
  }
  static std::string Percents() {
    std::string lines;
    for (int p = 0; p <= 100; ++p) lines += std::to_string(p) + "%\n";
    return lines;
  }
  // Standard output without the time each line begins with (every line must
  // have one) and without the summary line, which is kept in summary.
  std::string Printed() {
    static const std::regex stamped(R"(^\[ *[0-9]+\.[0-9]{3}\] (.*)$)");
    std::istringstream lines(out.str());
    std::string text;
    summary.clear();
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      EXPECT_TRUE(std::regex_match(line, m, stamped)) << line;
      if (m[1].str().starts_with("Summary: ")) {
        EXPECT_TRUE(summary.empty()) << "a second summary";
        summary = m[1];
      } else {
        text += m[1].str() + "\n";
      }
    }
    return text;
  }
  std::string summary;

  testsupport::Watchdog watchdog{seconds(60)};
  FakeCommOs os;
  apptest::SimulatedPorts ports{os};
  std::ostringstream out;
  std::ostringstream err;
};

TEST_F(ConsoleRun, AWholeUpgradePrintsItsPhasesAndProgressAndExitsZero) {
  station::Station& s = ports.AddStation("COM3");
  EXPECT_EQ(Run(), console::kExitDone);
  EXPECT_EQ(Printed(),
            "Initialize bootloader...\nThe station answered on COM3.\n"
            "Erase processor...\nProgramming...\n" +
                Percents() + "Reset station...\nDone.\n");
  EXPECT_TRUE(std::regex_match(
      summary,
      std::regex(
          R"(Summary: COM3, 1,933 lines sent, 0 resends, [0-9.]+ s, replies after [0-9.]+ ms \(median\), done)")))
      << summary;
  EXPECT_EQ(err.str(), "");
  EXPECT_TRUE(s.LastCommandSeen());
  EXPECT_EQ(s.EraseCount(), 1);
  EXPECT_FALSE(PortOpen("COM3"));
}

TEST_F(ConsoleRun, EveryFailedEndingHasItsOwnStatusAndItsBoxOnStandardError) {
  // No station on the one port.
  ports.AddPort("COM3");
  EXPECT_EQ(Run(), console::kExitNotFound);
  EXPECT_EQ(Printed(), "Initialize bootloader...\n");
  EXPECT_TRUE(summary.starts_with("Summary: no station, 0 lines sent, 0 resends, ")) << summary;
  EXPECT_TRUE(summary.ends_with(", not found")) << summary;
  // Why the port was passed over, then the box.
  EXPECT_EQ(err.str(),
            "ks-idu-cli: COM3: no valid answer to 4 identify frames\n"
            "Hardware error.: Station KESTRO not found.\n");
  EXPECT_FALSE(PortOpen("COM3"));

  // No port at all.
  out.str("");
  err.str("");
  EXPECT_EQ(Run({}), console::kExitNotFound);
  EXPECT_EQ(err.str(),
            "ks-idu-cli: no serial ports found\nHardware error.: Station KESTRO not found.\n");

  // The station refuses.
  out.str("");
  err.str("");
  ports.AddStation("COM4", {.identify = station::IdentifyAnswer::Refuse});
  EXPECT_EQ(Run({"COM4"}), console::kExitRefused);
  EXPECT_EQ(Printed(), "Initialize bootloader...\n");
  EXPECT_EQ(err.str(),
            "ks-idu-cli: The station: not changed: nothing was written to it\n"
            "Initialize error.: Station upgrade not supported.\n");
  EXPECT_FALSE(PortOpen("COM4"));

  // The erase is answered negatively: the upgrade fails at once.
  out.str("");
  err.str("");
  station::Station& s = ports.AddStation(
      "COM5", {.faults = {{.line = 1, .attempt = 0, .fault = station::Fault::Negative}}});
  EXPECT_EQ(Run({"COM5"}), console::kExitUpgradeError);
  EXPECT_EQ(Printed(),
            "Initialize bootloader...\nThe station answered on COM5.\nErase processor...\n");
  EXPECT_EQ(err.str(),
            "ks-idu-cli: The station: not changed, unless it erased without acknowledging: the "
            "erase line went out but was never acknowledged\n"
            "Upgrade error.: Communication error.\n");
  EXPECT_FALSE(PortOpen("COM5"));
  EXPECT_FALSE(s.LastCommandSeen());
}

TEST_F(ConsoleRun, ASerialPortErrorDecidesAFailedRunButNotADoneOne) {
  // The line settings cannot be applied on any port.
  os.SetFailure("SetCommState", 31);
  ports.AddPort("COM3");
  EXPECT_EQ(Run(), console::kExitSerialPortError);
  EXPECT_NE(err.str().find("Serial Port Error.: Error updating DataControlBlock.(Error: 31)\n"),
            std::string::npos)
      << err.str();
  EXPECT_NE(err.str().find("Hardware error.: Station KESTRO not found.\n"), std::string::npos);

  // The station acknowledged every line all the same: the upgrade is done.
  out.str("");
  err.str("");
  station::Station& s = ports.AddStation("COM4");
  EXPECT_EQ(Run({"COM4"}), console::kExitDone);
  EXPECT_TRUE(s.LastCommandSeen());
  EXPECT_NE(err.str().find("Serial Port Error.: "), std::string::npos);
  EXPECT_EQ(err.str().find("Hardware error."), std::string::npos);
}

// A serial layer that fails unexpectedly on the n-th write.
class ThrowingOs : public FakeCommOs {
 public:
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
                 OVERLAPPED* overlapped) override {
    if (++writes == throwOnWrite) throw std::runtime_error("Access violation at address 00000000.");
    return FakeCommOs::WriteFile(file, buffer, count, written, overlapped);
  }
  int writes = 0;
  int throwOnWrite = 0;
};

TEST(ConsoleException, AnExceptionEndsTheProgramWithThePortClosed) {
  testsupport::Watchdog watchdog(seconds(60));
  // In the click handler (the identify frame), and in a tick (the erase line).
  for (int write : {1, 2}) {
    ThrowingOs os;
    os.throwOnWrite = write;
    apptest::SimulatedPorts ports(os);
    ports.AddStation("COM3");
    std::ostringstream out;
    std::ostringstream err;
    app::TNamedPortSource source({"COM3"});
    EXPECT_EQ(console::RunConsole(console::ConsoleOutput{out, err}, os, source,
                                  resources::EmbeddedImageLines()),
              console::kExitException)
        << write;
    EXPECT_EQ(err.str(), "KS_E -> IDU: Access violation at address 00000000.\n");
    EXPECT_FALSE(ports.IsOpen("COM3")) << write;
  }
}

// A USB adapter pulled out on the n-th write: that write and every later one
// fail, and so do reads; or only the event thread's waits end with an error.
class PulledOs : public FakeCommOs {
 public:
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
                 OVERLAPPED* overlapped) override {
    if (++writes == pullOnWrite) {
      WithPort("COM3", [](FakeCommOs::Port& p) { p.waitError = ERROR_DEVICE_NOT_CONNECTED; });
      if (!waitsOnly) {
        SetFailure("WriteFile", ERROR_BAD_COMMAND);
        SetFailure("ReadFile", ERROR_BAD_COMMAND);
      }
    }
    return FakeCommOs::WriteFile(file, buffer, count, written, overlapped);
  }
  int writes = 0;
  int pullOnWrite = 0;
  bool waitsOnly = false;
};

TEST(ConsolePulledAdapter, TheRunEndsAsUsualAndItsDetailsAndTraceSayTheDeviceIsGone) {
  testsupport::Watchdog watchdog(seconds(60));
  // The identify frame and the erase line go through; the first programming
  // line is the first that cannot.
  for (const bool waitsOnly : {false, true}) {
    SCOPED_TRACE(waitsOnly ? "waits fail" : "writes, reads and waits fail");
    PulledOs os;
    os.pullOnWrite = 3;
    os.waitsOnly = waitsOnly;
    apptest::SimulatedPorts ports(os);
    ports.AddStation("COM3");
    std::ostringstream out;
    std::ostringstream err;
    std::ostringstream traced;
    app::TTrace trace(traced);
    app::SetTrace(&trace);
    app::TNamedPortSource source({"COM3"});
    const int status = console::RunConsole(console::ConsoleOutput{out, err}, os, source,
                                           resources::EmbeddedImageLines());
    app::SetTrace(nullptr);
    EXPECT_EQ(status, console::kExitUpgradeError);
    // The box and its caption as ever, the reason beside it.
    const std::string gone =
        std::string("ks-idu-cli: COM3: the device is gone (unplugged?): error ") +
        (waitsOnly ? "1167" : "22");
    EXPECT_EQ(err.str().find(gone), 0u) << err.str();
    EXPECT_NE(err.str().find("\nks-idu-cli: The station: erased; 0 of "), std::string::npos);
    EXPECT_TRUE(err.str().ends_with("\nUpgrade error.: Command timeout.\n")) << err.str();
    EXPECT_NE(traced.str().find("beside the box: COM3: the device is gone (unplugged?): error "),
              std::string::npos)
        << traced.str();
    EXPECT_FALSE(ports.IsOpen("COM3"));
  }
}

TEST_F(ConsoleRun, TheVerdictIsTakenAfterTheHandlerHasClearedTheStatus) {
  // Ending 1 enables Start before it clears the status line: the trace shows
  // the program ending only after that.
  std::ostringstream traced;
  app::TTrace trace(traced);
  app::SetTrace(&trace);
  ports.AddPort("COM3");
  const int status = Run();
  app::SetTrace(nullptr);
  EXPECT_EQ(status, console::kExitNotFound);
  const std::string t = traced.str();
  const auto box = t.find("box \"Hardware error.\" \"Station KESTRO not found.\"");
  const auto cleared = t.find("status \"\"", box);
  const auto end = t.find("end, exit status 3");
  ASSERT_NE(box, std::string::npos) << t;
  ASSERT_NE(cleared, std::string::npos) << t;
  ASSERT_NE(end, std::string::npos) << t;
  EXPECT_LT(cleared, end);
}

#ifndef _WIN32
TEST(ConsoleSignals, CtrlCDuringARunClosesThePortAndExitsWith130) {
  // Signals are taken by the program's watcher only: every thread of this
  // test, the watchdog's included, is made with them blocked.
  sigset_t signals;
  sigset_t previous;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  int status = -1;
  std::ostringstream out;
  std::ostringstream err;
  bool portOpen = true;
  {
    testsupport::Watchdog watchdog(seconds(60));
    FakeCommOs os;
    apptest::SimulatedPorts ports(os);
    // A station that never answers the erase line: the run would wait 10 s.
    ports.AddStation("COM3",
                     {.faults = {{.line = 1, .attempt = 0, .fault = station::Fault::Silent}}});
    std::thread user([&] {
      // Once the erase line has gone out.
      while (ports.Written("COM3").find(kErase) == std::string::npos) {
        std::this_thread::sleep_for(milliseconds(5));
      }
      kill(getpid(), SIGINT);
    });
    app::TNamedPortSource source({"COM3"});
    status = console::RunConsole(console::ConsoleOutput{out, err}, os, source,
                                 resources::EmbeddedImageLines(), true);
    user.join();
    portOpen = ports.IsOpen("COM3");
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  EXPECT_EQ(status, console::kExitInterrupted);
  EXPECT_FALSE(portOpen);
  EXPECT_NE(out.str().find("Erase processor...\n"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("] Summary: COM3, 1 lines sent, 0 resends, "), std::string::npos);
  EXPECT_EQ(err.str(),
            "ks-idu-cli: The station: not changed, unless it erased without acknowledging: the "
            "erase line went out but was never acknowledged\n");
}
#else
TEST(ConsoleSignals, AClosedConsoleStopsTheRunAndWaitsUntilThePortIsClosed) {
  testsupport::Watchdog watchdog(seconds(60));
  FakeCommOs os;
  apptest::SimulatedPorts ports(os);
  // A station that never answers the erase line: the run would wait 10 s.
  ports.AddStation("COM3",
                   {.faults = {{.line = 1, .attempt = 0, .fault = station::Fault::Silent}}});
  std::ostringstream out;
  std::ostringstream err;
  bool stopped = false;
  bool openWhenStopped = true;
  std::thread windows([&] {
    while (ports.Written("COM3").find(kErase) == std::string::npos) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    // As the console's close event: back only once the run is over.
    stopped = console::StopBeforeSessionEnds(seconds(30));
    openWhenStopped = ports.IsOpen("COM3");
  });
  app::TNamedPortSource source({"COM3"});
  const int status = console::RunConsole(console::ConsoleOutput{out, err}, os, source,
                                         resources::EmbeddedImageLines(), true);
  windows.join();
  EXPECT_EQ(status, console::kExitInterrupted);
  EXPECT_TRUE(stopped);
  EXPECT_FALSE(openWhenStopped);
  EXPECT_NE(out.str().find("] Summary: COM3, 1 lines sent, 0 resends, "), std::string::npos);
  EXPECT_NE(err.str().find("ks-idu-cli: The station: not changed"), std::string::npos);

  // A run that does not stop in time: the wait ends at its bound all the
  // same, and the run was asked to stop once. With no run, nothing to wait for.
  int asked = 0;
  {
    console::SignalWatcher watcher([&] { ++asked; });
    EXPECT_FALSE(console::StopBeforeSessionEnds(milliseconds(100)));
    EXPECT_FALSE(console::StopBeforeSessionEnds(milliseconds(10)));
  }
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(console::StopBeforeSessionEnds(seconds(30)));
}
#endif

}  // namespace
