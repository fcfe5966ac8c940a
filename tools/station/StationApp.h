// The ks-station program's logic, apart from its OS layer: options, the run
// loop over a StationPort (timing, wire pacing, idle exit, hang-up) and the
// JSON summary.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "Station.h"
#include "StationPort.h"

namespace station {

struct Options {
  PortOptions port;
  Config config;
  std::uint32_t baud = 0;            // wire pacing; 0 = unpaced
  std::uint32_t latencyTimerMs = 0;  // an adapter's latency timer; 0 = none
  std::string summaryPath;           // empty: standard error
  double idleExitSeconds = 0;        // 0 = never
  std::string dumpPath;
  bool verbose = false;
};

enum class ParseResult { Run, Help, Version, Error };

ParseResult ParseOptions(const std::vector<std::string>& args, Options& options,
                         std::string& error);
std::string HelpText();

enum class RunEnd {
  Stopped,   // SIGINT / SIGTERM
  IdleExit,  // --idle-exit ran out
  HungUp,    // --hang-up-after played a removed adapter
  PortFailed,
};

// Plays the station on the port until one of the endings above. Logs to
// `verbose` when it is not null.
RunEnd RunStation(Station& station, StationPort& port, const Options& options,
                  std::ostream* verbose);

// The summary as one JSON object (key names are listed in HelpText).
std::string SummaryJson(const Station& station);

}  // namespace station
