// The command line both programs take: the ports to try instead of the
// discovered ones, a trace file, help and version; the console program also
// lists the discovered ports.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Version.h"

namespace app {

enum class TProgramKind { Window, Console };

struct TCommandLine {
  // --port NAME, in the order given, duplicates kept; empty: discover.
  std::vector<std::string> ports;
  // --trace FILE; empty: no trace.
  std::string traceFile;
  // --report FILE; empty: no record of the runs.
  std::string reportFile;
  bool help = false;
  bool version = false;
  // --list-ports, console only.
  bool listPorts = false;
  // --all: every station found is upgraded at once, each port by a run of
  // its own; --watch: that, and ports that appear later too. Console only.
  bool all = false;
  bool watch = false;
  // --run-events FD (not in --help): this run is one port of an --all, and
  // tells its coordinator what happens on the descriptor (a handle's value
  // on Windows). Empty: not.
  std::string runEvents;
};

struct TParsedCommandLine {
  TCommandLine options;
  // Why the line is not usable; empty when it is.
  std::string error;
};

// arguments: what follows the program's name.
TParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments, TProgramKind kind);

// The options section of --help for the program.
std::string OptionsHelp(TProgramKind kind);

}  // namespace app
