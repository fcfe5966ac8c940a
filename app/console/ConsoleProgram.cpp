#include "ConsoleProgram.h"

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "EmbeddedImage.h"
#include "FrontEnd.h"
#include "Main.h"
#include "MainForm.h"
#include "RunEvents.h"
#include "Sequencer.h"
#include "Signals.h"
#include "Trace.h"

namespace console {

namespace {
constexpr std::string_view kProgram = "ks-idu-cli";

// Never mistaken for a release: an upgrade with this image leaves the station
// without working firmware.
void WarnOfStandIn(std::ostream& err) {
  if (!resources::EmbeddedImageIsStandIn()) return;
  err << kProgram
      << ": warning: this build carries the stand-in firmware image, not the station's firmware\n";
}
}  // namespace

std::string ExitCodesHelp() {
  return "Exit status:\n"
         "  0    the upgrade ended with \"Done.\"\n"
         "  1    Start began no run, or the run ended in no known way\n"
         "  2    bad command line, or the trace or report file cannot be written\n"
         "  3    \"Hardware error.\": no station answered on any port\n"
         "  4    \"Initialize error.\": the station refused the upgrade\n"
         "  5    \"Upgrade error.\": the upgrade failed\n"
         "  6    \"Serial Port Error.\" during a run that did not end with \"Done.\"\n"
         "       (it comes before 3, 4 and 5)\n"
         "  7    an unexpected exception in the program\n"
         "  8    \"Done.\", but the run's record could not be written to the --report\n"
         "       file (a failed run keeps its own code)\n"
         "  130  stopped by Ctrl+C or a termination signal\n"
         "Whatever the ending, the port is closed before the program ends; after 7 and\n"
         "130 the station is left in whatever phase its upgrade had reached.\n";
}

// ---- ConsoleSession -----------------------------------------------------------------

ConsoleSession::ConsoleSession(app::TEventLoop& loop, ConsoleForm& form)
    : loop_(loop), form_(form) {
  form_.Start().OnEnabledChanged = [this](bool enabled) { StartChanged(enabled); };
  form_.OnBox = [this](const std::string& /*text*/, const std::string& caption) {
    if (started_ && !endSeen_) lastCaption_ = caption;
  };
}

void ConsoleSession::Attach(app::TMainPanel& panel) {
  panel_ = &panel;
  form_.Screen().SetResends([this] { return panel_ ? panel_->Run.resends : 0u; });
  // The window knows how its run ended; the code is this program's to give.
  panel.OnRunEnded = [this](const app::TRunEnding& ending) { runEnding_ = ending; };
  form_.OnStatus = [this](const std::string& text) {
    // The scan is over and the upgrade begins: say where.
    if (text == upgrade::kStatusErase && panel_ && !panel_->Run.port.empty())
      form_.Screen().Line("The station answered on " + panel_->Run.port + ".");
  };
}

void ConsoleSession::ReportTo(app::TRunReport* report, app::TReportSource source) {
  reporter_.reset();
  if (report) reporter_.emplace(*report, std::move(source));
}

app::TRunEnding ConsoleSession::Ending(int code) const {
  if (runEnding_) {
    app::TRunEnding ending = *runEnding_;
    ending.exitStatus = code;
    return ending;
  }
  // Stopped, or ended by an exception, before the run had an ending.
  return {code == kExitInterrupted ? "interrupted"
          : code == kExitException ? "exception"
                                   : "no run",
          "", code};
}

void ConsoleSession::Summary(int code) {
  if (!panel_ || !started_) return;
  const app::TRunRecord& run = panel_->Run;
  const app::TRunEnding ending = Ending(code);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s",
                std::chrono::duration<double>(Clock::now() - startedAt_).count());
  std::string replies;
  if (const std::optional<app::TReplyTimes> times = app::ReplyTimes(run.replyMs)) {
    char median[48];
    std::snprintf(median, sizeof median, "replies after %.1f ms (median), ", times->medianMs);
    replies = median;
  }
  // A failure box already gave the advice beside it.
  if (!run.latencyAdvice.empty() && ending.outcome == "done")
    form_.Screen().Line(run.latencyAdvice);
  form_.Screen().Line(
      "Summary: " + (run.port.empty() ? std::string("no station") : run.port) + ", " +
      app::GroupedNumber(run.linesSent) + " lines sent, " + app::GroupedNumber(run.resends) +
      (run.resends == 1 ? " resend, " : " resends, ") + seconds + ", " + replies + ending.outcome);
}

ExitCode ConsoleSession::Verdict(const std::string& lastCaption, const std::string& status,
                                 bool serialPortError) {
  if (lastCaption.empty() && status == "Done.") return kExitDone;
  if (serialPortError) return kExitSerialPortError;
  if (lastCaption == "Hardware error.") return kExitNotFound;
  if (lastCaption == "Initialize error.") return kExitRefused;
  if (lastCaption == "Upgrade error.") return kExitUpgradeError;
  return kExitNoRun;
}

int ConsoleSession::Run() {
  loop_.Post([this] { Press(); });
  return loop_.Run();
}

void ConsoleSession::Press() {
  form_.Start().Click();
  if (!started_ && !finished_) {
    form_.Screen().Error(std::string(kProgram) + ": pressing Start began no run");
    Finish(kExitNoRun);
  }
}

void ConsoleSession::StartChanged(bool enabled) {
  if (!enabled) {
    started_ = true;
    startedAt_ = Clock::now();
    if (reporter_) reporter_->Started();
  } else if (started_ && !endSeen_) {
    endSeen_ = true;
    // The handler that enabled Start may still have a step to do.
    loop_.Post([this] { Ended(); });
  }
}

void ConsoleSession::Ended() {
  Finish(Verdict(lastCaption_, form_.StaticText1().Caption(), serialPortError_));
}

void ConsoleSession::Finish(int code) {
  if (finished_) return;
  finished_ = true;
  form_.Screen().EndProgressLine();
  // Stopped during an upgrade: the station may be left half way.
  if (panel_ && started_ && !endSeen_ && panel_->Run.eraseSent) {
    form_.Screen().Error(std::string(kProgram) +
                         ": The station: " + app::StationStateText(panel_->Run));
  }
  Summary(code);
  if (reporter_ && panel_ && started_ && !reporter_->Ended(panel_->Run, Ending(code))) {
    // Nothing comes after this run to write it with: the record goes where
    // the user looks, whole, with the reason.
    const app::TRunReport& report = reporter_->Report();
    for (const std::string& record : report.Kept()) {
      form_.Screen().Error(std::string(kProgram) + ": the record of this run: " + record);
      // A coordinator that outlives this run keeps it for a later write.
      form_.Screen().UnwrittenRecord(report.Error(), record);
    }
    form_.Screen().Error(std::string(kProgram) + ": " + app::LostRecordsText(report));
    if (code == kExitDone) code = kExitNotRecorded;
  }
  app::TraceNote("end, exit status " + std::to_string(code));
  // As when a window is closed: the window logic closes an open port.
  if (form_.OnClose) {
    app::TCloseAction action = app::TCloseAction::Free;
    app::Guarded([&] { form_.OnClose(&form_, action); });
  }
  loop_.Quit(code);
}

// ---- The program ---------------------------------------------------------------------

int RunConsole(ConsoleOutput output, comm::CommOs& os, app::TPortSource& ports,
               std::span<const std::string_view> imageLines, bool catchSignals,
               app::TRunReport* report, app::TReportSource source) {
  app::TEventLoop loop;
  ConsoleForm form(loop, std::move(output), imageLines);
  ConsoleSession session(loop, form);
  session.ReportTo(report, std::move(source));

  std::optional<SignalWatcher> signals;
  if (catchSignals) signals.emplace([&] { loop.Post([&] { session.Interrupt(); }); });

  app::FrontEnd frontEnd({
      .messageBox =
          [&](const std::string& text, const std::string& caption, unsigned /*flags*/) {
            form.Screen().Box(caption, text);
            session.SerialPortError();
            return 1;
          },
      .exceptionBox =
          [&](const std::string& text, const std::string& caption) {
            form.Screen().Box(caption, text);
            session.Exception();
          },
      .wakeup = [&] { loop.Wake(); },
  });

  int code = kExitNoRun;
  {
    app::TMainPanel panel(nullptr, form, os, ports);
    app::MainPanel = &panel;
    session.Attach(panel);
    code = session.Run();
    app::MainPanel = nullptr;
  }
  app::WaitForSerialThreads(std::chrono::seconds(2));
  return code;
}

int ConsoleMain(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                bool outIsTerminal, std::function<int()> columns, TBenchEntry bench) {
  const app::TParsedCommandLine parsed =
      app::ParseCommandLine(arguments, app::TProgramKind::Console);
  if (!parsed.error.empty()) {
    err << kProgram << ": " << parsed.error << "\nTry '" << kProgram
        << " --help' for more information.\n";
    return kExitUsage;
  }
  const app::TCommandLine& options = parsed.options;
  if (options.help) {
    out << "Usage: " << kProgram << " [--port NAME]... [--trace FILE] [--report FILE]\n"
        << "  or:  " << kProgram << " --all [--port NAME]... [--trace FILE] [--report FILE]\n"
        << "  or:  " << kProgram << " --watch [--port NAME]... [--trace FILE] [--report FILE]\n"
        << "  or:  " << kProgram << " --list-ports\n\n"
        << "Upgrades the firmware of a radio station's indoor unit (IDU) over a serial port:\n"
        << "presses Start once, as in the window, and ends when the run ends. Prints the\n"
        << "status lines and the progress of the run on standard output and its message\n"
        << "boxes as \"caption: text\" on standard error, each after a line per port it\n"
        << "passed over and why, or what a failed run left in the station. To a pipe or\n"
        << "a file every line of standard output begins with the seconds since start.\n"
        << "Every run ends with a summary line: port, lines sent, resends, duration and\n"
        << "outcome.\n\n"
        << app::OptionsHelp(app::TProgramKind::Console) << '\n'
        << ExitCodesHelp() << (bench.help ? bench.help() : std::string());
    return kExitDone;
  }
  if (options.version) {
    out << app::VersionText(kProgram);
    return kExitDone;
  }
  if (options.listPorts) {
    std::vector<std::string> names;
    app::SystemPortSource().EnumerateSerialPorts(names);
    for (const std::string& name : names) out << name << '\n';
    out << std::flush;
    return kExitDone;
  }

  std::string error;
  if ((options.all || options.watch) && bench.run == nullptr) {
    err << kProgram << ": --all and --watch are not part of this program\n";
    return kExitUsage;
  }
  if (options.all || options.watch) {
    // Each port's run appends to the report itself; one that cannot be
    // written is told once, before any port is opened.
    if (!options.reportFile.empty() && !app::TRunReport::Open(options.reportFile, error)) {
      err << kProgram << ": " << error << '\n';
      return kExitUsage;
    }
    WarnOfStandIn(err);
    return bench.run(options, out, err, outIsTerminal);
  }

  app::TProgramTrace trace(comm::SystemCommOs());
  RunEventLink events;
  if (!events.Open(options.runEvents, error)) {
    err << kProgram << ": " << error << '\n';
    return kExitUsage;
  }
  if (!options.traceFile.empty() && !trace.Open(options.traceFile, kProgram, error)) {
    err << kProgram << ": " << error << '\n';
    return kExitUsage;
  }
  std::unique_ptr<app::TRunReport> report;
  if (!options.reportFile.empty()) {
    report = app::TRunReport::Open(options.reportFile, error);
    if (!report) {
      err << kProgram << ": " << error << '\n';
      return kExitUsage;
    }
  }
  app::TNamedPortSource named(options.ports);
  app::TPortSource& ports = options.ports.empty() ? app::SystemPortSource() : named;
  ConsoleOutput output{out, err, outIsTerminal};
  output.columns = std::move(columns);
  // A run for --all tells its coordinator, which warns once for all.
  if (options.runEvents.empty()) WarnOfStandIn(err);
  output.observer = events.Observer();
  const int code =
      RunConsole(std::move(output), events.Os(trace.Os()), ports, resources::EmbeddedImageLines(),
                 true, report.get(), app::ImageReportSource(kProgram));
  events.End(code);
  return code;
}

}  // namespace console
