#include "ConsoleProgram.h"

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "EmbeddedImage.h"
#include "Fleet.h"
#include "FrontEnd.h"
#include "Main.h"
#include "MainForm.h"
#include "RunEvents.h"
#include "Signals.h"
#include "Trace.h"

namespace console {

namespace {
constexpr std::string_view kProgram = "ks-idu-cli";
}  // namespace

std::string ExitCodesHelp() {
  return "Exit status:\n"
         "  0    the upgrade ended with \"Done.\"\n"
         "  1    Start began no run, or the run ended in no known way\n"
         "  2    bad command line, or the trace file cannot be written\n"
         "  3    \"Hardware error.\": no station answered on any port\n"
         "  4    \"Initialize error.\": the station refused the upgrade\n"
         "  5    \"Upgrade error.\": the upgrade failed\n"
         "  6    \"Serial Port Error.\" during a run that did not end with \"Done.\"\n"
         "       (it comes before 3, 4 and 5)\n"
         "  7    an unexpected exception in the program\n"
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
               std::span<const std::string_view> imageLines, bool catchSignals) {
  app::TEventLoop loop;
  ConsoleForm form(loop, std::move(output), imageLines);
  ConsoleSession session(loop, form);

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
    code = session.Run();
    app::MainPanel = nullptr;
  }
  app::WaitForSerialThreads(std::chrono::seconds(2));
  return code;
}

int ConsoleMain(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                bool outIsTerminal) {
  const app::TParsedCommandLine parsed =
      app::ParseCommandLine(arguments, app::TProgramKind::Console);
  if (!parsed.error.empty()) {
    err << kProgram << ": " << parsed.error << "\nTry '" << kProgram
        << " --help' for more information.\n";
    return kExitUsage;
  }
  const app::TCommandLine& options = parsed.options;
  if (options.help) {
    out << "Usage: " << kProgram << " [--port NAME]... [--trace FILE]\n"
        << "       " << kProgram << " --all | --watch [--port NAME]... [--trace FILE]\n"
        << "       " << kProgram << " --list-ports\n\n"
        << "Upgrades the firmware of a radio station's indoor unit (IDU) over a serial port:\n"
        << "presses Start once, as in the window, and ends when the run ends. Prints the\n"
        << "status lines and the progress of the run on standard output and its message\n"
        << "boxes as \"caption: text\" on standard error.\n\n"
        << app::OptionsHelp(app::TProgramKind::Console) << '\n'
        << ExitCodesHelp() << fleet::FleetHelp();
    return kExitDone;
  }
  if (options.version) {
    out << kProgram << ' ' << app::ProgramVersion() << '\n';
    return kExitDone;
  }
  if (options.listPorts) {
    std::vector<std::string> names;
    app::SystemPortSource().EnumerateSerialPorts(names);
    for (const std::string& name : names) out << name << '\n';
    out << std::flush;
    return kExitDone;
  }

  if (!options.reportFile.empty()) {
    // The run's own report writer is not in this build: refused rather than
    // a run that seems to write one.
    err << kProgram << ": option '--report' is not available in this build\n";
    return kExitUsage;
  }
  if (options.all || options.watch) return fleet::RunFleet(options, out, err, outIsTerminal);

  app::TProgramTrace trace(comm::SystemCommOs());
  std::string error;
  RunEventLink events;
  if (!events.Open(options.runEvents, error)) {
    err << kProgram << ": " << error << '\n';
    return kExitUsage;
  }
  if (!options.traceFile.empty() && !trace.Open(options.traceFile, kProgram, error)) {
    err << kProgram << ": " << error << '\n';
    return kExitUsage;
  }
  app::TNamedPortSource named(options.ports);
  app::TPortSource& ports = options.ports.empty() ? app::SystemPortSource() : named;
  ConsoleOutput output{out, err, outIsTerminal};
  output.observer = events.Observer();
  const int code =
      RunConsole(output, events.Os(trace.Os()), ports, resources::EmbeddedImageLines(), true);
  events.End(code);
  return code;
}

}  // namespace console
