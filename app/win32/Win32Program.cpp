#include "Win32Program.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cctype>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "CommandLine.h"
#include "EmbeddedImage.h"
#include "Main.h"
#include "MainForm.h"
#include "PortSource.h"
#include "RunReport.h"
#include "Trace.h"
#include "Win32MainWindow.h"
#include "Win32Services.h"

namespace win32front {

namespace {

constexpr const char* kProgram = "ks-idu";

// A window program has no console of its own: the text goes to the standard
// handle it was given (a redirection, or Wine's terminal), else to the console
// of the command prompt it was started from, else into a box.
void Report(const std::string& text, bool error) {
  HANDLE out = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  bool own = false;
  if ((out == nullptr || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS)) {
    out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    own = out != INVALID_HANDLE_VALUE;
  }
  const bool written = unicode::WriteText(out, text);
  if (own) CloseHandle(out);
  if (written) return;
  MessageBoxW(nullptr, Widen(text).c_str(), Widen(resources::kApplicationTitle).c_str(),
              MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

std::string HelpText() {
  return std::string("Usage: ") + kProgram +
         " [--port NAME]... [--trace FILE] [--report FILE]\n\n"
         "Opens the window that upgrades the firmware of a radio station's indoor unit\n"
         "(IDU) over a serial port: press Start.\n\n" +
         app::OptionsHelp(app::TProgramKind::Window);
}

}  // namespace

std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(Narrow(words[i]));
  LocalFree(words);
  return arguments;
}

int RunProgram(HINSTANCE instance, int showCommand, const std::vector<std::string>& arguments) {
  const app::TParsedCommandLine parsed =
      app::ParseCommandLine(arguments, app::TProgramKind::Window);
  if (!parsed.error.empty()) {
    Report(std::string(kProgram) + ": " + parsed.error + "\nTry '" + kProgram +
               " --help' for more information.\n",
           true);
    return 2;
  }
  const app::TCommandLine& options = parsed.options;
  if (options.help) {
    Report(HelpText(), false);
    return 0;
  }
  if (options.version) {
    Report(app::VersionText(kProgram), false);
    return 0;
  }
  app::TProgramTrace trace(comm::SystemCommOs());
  std::string error;
  if (!options.traceFile.empty() && !trace.Open(options.traceFile, kProgram, error)) {
    Report(std::string(kProgram) + ": " + error + "\n", true);
    return 2;
  }
  std::unique_ptr<app::TRunReport> report;
  if (!options.reportFile.empty()) {
    report = app::TRunReport::Open(options.reportFile, error);
    if (!report) {
      Report(std::string(kProgram) + ": " + error + "\n", true);
      return 2;
    }
  }
  app::TNamedPortSource named(options.ports);
  app::TPortSource& ports = options.ports.empty() ? app::SystemPortSource() : named;

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  try {
    FrontEndServices services(instance);
    try {
      Win32MainWindow window(
          instance, resources::EmbeddedImageLines(),
          [&](app::TMainForm& form) {
            return std::make_unique<app::TMainPanel>(nullptr, form, trace.Os(), ports);
          },
          showCommand);
      app::MainPanel = &window.Panel();
      std::optional<app::TRunReporter> reporter;
      if (report) {
        reporter.emplace(*report, app::ImageReportSource(kProgram));
        app::TMainForm& form = window.Panel().Form();
        // A box of its own after the run's: the run's box stays as it is.
        app::RecordRuns(window.Panel(), *reporter, [&form](const std::string& text) {
          form.MessageBox(text, std::string(resources::kApplicationTitle), app::kMessageBoxOk);
        });
      }
      RunMessageLoop(window.Handle());
      app::MainPanel = nullptr;
    } catch (const std::exception& e) {
      app::MainPanel = nullptr;
      ShowException(e.what());
    } catch (...) {
      app::MainPanel = nullptr;
      ShowException("Unknown exception.");
    }
  } catch (const std::exception& e) {
    // Without the services the box is shown directly.
    StandardExceptionBox(e.what(), std::string(resources::kApplicationTitle));
  } catch (...) {
    StandardExceptionBox("Unknown exception.", std::string(resources::kApplicationTitle));
  }
  // Records kept since a run could not write them get a last try.
  if (report && !report->Flush()) {
    std::string text = app::LostRecordsText(*report) + ".";
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    StandardMessageBox(text, std::string(resources::kApplicationTitle), MB_OK);
  }
  // The trace's serial layer goes with this function: no event thread may
  // still use it.
  app::WaitForSerialThreads(std::chrono::seconds(2));
  return 0;
}

}  // namespace win32front
