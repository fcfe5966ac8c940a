// The application entry: the command line, the Qt application, the one
// window, the message loop.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QtGlobal>

#include "CommandLine.h"
#include "EmbeddedImage.h"
#include "FrontEnd.h"
#include "Main.h"
#include "MainForm.h"
#include "PortSource.h"
#include "QtMainWindow.h"
#include "QtServices.h"
#include "RunReport.h"
#include "Trace.h"

namespace {

constexpr const char* kProgram = "ks-idu";

// The tool reports to its user in its window only: Qt's diagnostics (a
// missing runtime directory, font warnings) stay off the console.
void DropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

void PrintHelp() {
  std::printf(
      "Usage: %s [--port NAME]... [--trace FILE] [--report FILE]\n\n"
      "Opens the window that upgrades the firmware of a radio station's indoor unit\n"
      "(IDU) over a serial port: press Start.\n\n"
      "%s",
      kProgram, app::OptionsHelp(app::TProgramKind::Window).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  qInstallMessageHandler(DropMessage);
  const app::TParsedCommandLine parsed = app::ParseCommandLine(
      std::vector<std::string>(argv + std::min(argc, 1), argv + argc), app::TProgramKind::Window);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram,
                 parsed.error.c_str(), kProgram);
    return 2;
  }
  const app::TCommandLine& options = parsed.options;
  if (options.help) {
    PrintHelp();
    return 0;
  }
  if (options.version) {
    std::fputs(app::VersionText(kProgram).c_str(), stdout);
    return 0;
  }
  app::TProgramTrace trace(comm::SystemCommOs());
  std::string error;
  if (!options.traceFile.empty() && !trace.Open(options.traceFile, kProgram, error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return 2;
  }
  std::unique_ptr<app::TRunReport> report;
  if (!options.reportFile.empty()) {
    report = app::TRunReport::Open(options.reportFile, error);
    if (!report) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return 2;
    }
  }
  app::TNamedPortSource named(options.ports);
  app::TPortSource& ports = options.ports.empty() ? app::SystemPortSource() : named;

  // Qt sees the program's name only: the options are the tool's own.
  static char name[] = "ks-idu";
  static char* arguments[] = {name, nullptr};
  static int count = 1;
  try {
    qtfront::Application application(count, arguments);
    qtfront::FrontEndServices services(&application);
    try {
      qtfront::QtMainWindow window(resources::EmbeddedImageLines(), [&](app::TMainForm& form) {
        return std::make_unique<app::TMainPanel>(nullptr, form, trace.Os(), ports);
      });
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
      window.show();
      QApplication::exec();
      app::MainPanel = nullptr;
    } catch (const std::exception& e) {
      app::MainPanel = nullptr;
      qtfront::ShowException(e.what());
    } catch (...) {
      app::MainPanel = nullptr;
      qtfront::ShowException("Unknown exception.");
    }
    // Records kept since a run could not write them get a last try.
    if (report && !report->Flush()) {
      std::string text = app::LostRecordsText(*report) + ".";
      text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
      qtfront::StandardMessageBox(text, std::string(resources::kApplicationTitle),
                                  app::kMessageBoxOk);
    }
  } catch (...) {
    // Without an application object there is nothing to show a box with.
  }
  // The trace's serial layer goes with main: no event thread may still use it.
  app::WaitForSerialThreads(std::chrono::seconds(2));
  return 0;
}
