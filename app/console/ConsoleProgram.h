// The console program: one press of Start at launch, the run driven by the
// main-thread loop, and an exit code that tells how the run ended.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "CommOs.h"
#include "CommandLine.h"
#include "ConsoleForm.h"
#include "EventLoop.h"
#include "Main.h"
#include "PortSource.h"
#include "RunReport.h"

namespace console {

// How the program ends. Each ending of a run has its own code; when the
// serial component reported a failure ("Serial Port Error.") during a run
// that did not end with "Done.", that report decides the code, since a port
// of this machine misbehaved: it comes before "Hardware error.", "Initialize
// error." and "Upgrade error.". A run that ends with "Done." exits 0 all the
// same: the station acknowledged every line. Only when its record could not
// be written in the end does such a run exit 8: a production line's script
// that tests for 0 must not take a station without its record for a
// recorded one, nor, with 2 (nothing done), upgrade it again. A failed run
// keeps its own code, which says more (the station needs attention); its
// unwritten record is told on standard error all the same.
enum ExitCode : int {
  kExitDone = 0,             // "Done."
  kExitNoRun = 1,            // Start began no run, or it ended in none of the ways below
  kExitUsage = 2,            // bad command line, or the trace file cannot be written
  kExitNotFound = 3,         // "Hardware error.": no station answered
  kExitRefused = 4,          // "Initialize error.": the station refused the upgrade
  kExitUpgradeError = 5,     // "Upgrade error.": the upgrade failed
  kExitSerialPortError = 6,  // "Serial Port Error." during a run that did not end with "Done."
  kExitException = 7,        // an unexpected exception in the program; the port was closed
  kExitNotRecorded = 8,      // "Done.", but the run's record could not be written
  kExitInterrupted = 130,    // stopped by Ctrl+C or a termination signal; the port was closed
};

// The exit codes as --help lists them.
std::string ExitCodesHelp();

// Presses Start once and watches the run to its end. The run has ended when
// Start is enabled again after it was disabled; the verdict is taken a turn
// of the loop later, so that what the handler does after enabling Start
// (clearing the status line) has happened.
class ConsoleSession {
 public:
  ConsoleSession(app::TEventLoop& loop, ConsoleForm& form);
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  // Presses Start from the loop and runs the loop until the program ends:
  // the window is closed (an open port with it) and the exit code returned.
  int Run();

  // The serial component's own failure box was shown.
  void SerialPortError() { serialPortError_ = true; }
  // An exception escaped a handler: Start may never come back, so the
  // program ends here.
  void Exception() { Finish(kExitException); }
  // The user asked the program to stop.
  void Interrupt() { Finish(kExitInterrupted); }

  // The code for a run that ended with these, as described at ExitCode.
  static ExitCode Verdict(const std::string& lastCaption, const std::string& status,
                          bool serialPortError);
  // The window whose runs this session watches: its record of the run gives
  // the lines beside the run's own (where the station answered, what it holds
  // after a failure, the summary).
  void Attach(app::TMainPanel& panel);
  // Where each run's record is appended; null: nowhere.
  void ReportTo(app::TRunReport* report, app::TReportSource source);

 private:
  void Press();
  void StartChanged(bool enabled);
  void Ended();
  void Finish(int code);

  void Summary(int code);
  // How the run ended, with this program's exit code.
  app::TRunEnding Ending(int code) const;

  app::TEventLoop& loop_;
  ConsoleForm& form_;
  app::TMainPanel* panel_ = nullptr;
  std::optional<app::TRunReporter> reporter_;
  Clock::time_point startedAt_{};
  bool started_ = false;
  bool endSeen_ = false;
  bool finished_ = false;
  bool serialPortError_ = false;
  // Caption of the last box the window showed during the run.
  std::string lastCaption_;
  // The window's own account of how its run ended, once it has.
  std::optional<app::TRunEnding> runEnding_;
};

// Runs the program over the serial layer os with the ports from ports, the
// window holding imageLines. Output goes where output says. With
// catchSignals, Ctrl+C and termination requests end the run as an
// interruption (see SignalWatcher: no other thread may exist yet that takes
// those signals).
int RunConsole(ConsoleOutput output, comm::CommOs& os, app::TPortSource& ports,
               std::span<const std::string_view> imageLines, bool catchSignals = false,
               app::TRunReport* report = nullptr, app::TReportSource source = {});

// The service bench (--all, --watch) is a front end of its own over runs of
// this one; the program hands it in, so that this front end needs none of it.
struct TBenchEntry {
  std::string (*help)() = nullptr;
  int (*run)(const app::TCommandLine& options, std::ostream& out, std::ostream& err,
             bool outIsTerminal) = nullptr;
};

// The whole program, from its command line.
// columns: the terminal's width, asked before each redraw of the progress
// line (none: 80).
int ConsoleMain(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                bool outIsTerminal, std::function<int()> columns = {}, TBenchEntry bench = {});

}  // namespace console
