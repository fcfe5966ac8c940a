// ks-station: plays the station for the firmware upgrade tool on a serial
// line or a pseudo-terminal. See HelpText() for the options.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "Station.h"
#include "StationApp.h"
#include "StationPort.h"
#include "Unicode.h"
#include "Version.h"

namespace {

bool SaveFile(const std::string& path, const void* data, std::size_t size) {
  std::ofstream file(unicode::FilePath(path), std::ios::binary | std::ios::trunc);
  file.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  file.close();
  if (!file) {
    std::cerr << "ks-station: cannot write " << path << "\n";
    return false;
  }
  return true;
}

}  // namespace

namespace {

int StationMain(const std::vector<std::string>& args) {
  station::Options options;
  std::string error;
  switch (station::ParseOptions(args, options, error)) {
    case station::ParseResult::Help:
      std::cout << station::HelpText();
      return 0;
    case station::ParseResult::Version:
      std::cout << app::VersionText("ks-station");
      return 0;
    case station::ParseResult::Error:
      std::cerr << "ks-station: " << error << "\n(ks-station --help lists the options)\n";
      return 2;
    case station::ParseResult::Run:
      break;
  }

  station::InstallStopHandlers();
  auto port = station::OpenStationPort(options.port, error);
  if (!port) {
    std::cerr << "ks-station: " << error << "\n";
    return 1;
  }
  // The first line is all a caller needs to find the port.
  std::cout << port->Name() << std::endl;

  station::Station model(options.config);
  const station::RunEnd end =
      station::RunStation(model, *port, options, options.verbose ? &std::cout : nullptr);
  int status = 0;
  if (end == station::RunEnd::PortFailed) {
    std::cerr << "ks-station: " << port->Error() << "\n";
    status = 1;
  }
  port.reset();  // closes the port and removes the link before the results appear

  const std::string summary = station::SummaryJson(model);
  if (options.summaryPath.empty()) {
    std::cerr << summary;
    std::cerr.flush();
  } else if (!SaveFile(options.summaryPath, summary.data(), summary.size())) {
    status = 1;
  }
  if (!options.dumpPath.empty() &&
      !SaveFile(options.dumpPath, model.Memory().data(), model.Memory().size()))
    status = 1;
  return status;
}

}  // namespace

#ifdef _WIN32
// Wide: the file names reach the program as they were typed, not through the
// ANSI code page; the output is UTF-8 to a file or pipe, characters on a
// console.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(unicode::Narrow(argv[i]));
  unicode::HandleStreamBuf out(GetStdHandle(STD_OUTPUT_HANDLE));
  unicode::HandleStreamBuf err(GetStdHandle(STD_ERROR_HANDLE));
  std::streambuf* const coutWas = std::cout.rdbuf(&out);
  std::streambuf* const cerrWas = std::cerr.rdbuf(&err);
  const int status = StationMain(args);
  std::cout.flush();
  std::cerr.flush();
  std::cout.rdbuf(coutWas);
  std::cerr.rdbuf(cerrWas);
  return status;
}
#else
int main(int argc, char** argv) {
  return StationMain(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
