// ks-idu-cli --all and --watch: every station found upgraded at the same
// time, each port by a run of its own (a ks-idu-cli limited to that port,
// telling its coordinator what happens through RunEvents). This is the
// coordinator's logic, apart from processes and descriptors: which port gets
// a run when, what the user sees (a line per phase change on a pipe, stamped
// with the seconds since the start and the port, as "[  47.200] PORT: Done.", a table
// redrawn in place on a terminal, a summary at the end) and the exit status.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "CommandLine.h"
#include "PortWatch.h"
#include "RunReport.h"

namespace console::fleet {

using Clock = std::chrono::steady_clock;

struct Settings {
  bool watch = false;
  // The output is a terminal: the table is redrawn in place.
  bool terminal = false;
  // Columns of the terminal; lines are cut to fit.
  int width = 80;
  std::string traceFile;
  std::string reportFile;
  // A port that appears after the start has this long to settle (udev sets
  // its permissions a moment after the node appears) before its run starts.
  std::chrono::milliseconds settle{1000};
};

// One run of the per-port program.
struct PortRun {
  std::string port;
  int number = 1;  // the port's how-manieth run of the session
  Clock::time_point started{};
  Clock::time_point ended{};
  bool running = false;
  bool stopAsked = false;
  std::string status;  // the last status text
  bool reachedErase = false;
  std::string caption;  // the last box
  std::string message;
  bool bar = false;  // the bar is moving: progress below is current
  std::int32_t min = 0;
  std::int32_t max = 0;
  std::int32_t position = 0;
  Clock::time_point barStarted{};
  std::int32_t barStartPosition = 0;
  int resends = 0;
  int endCode = -1;        // from the run's own "end" event
  int exitStatus = -1;     // the process's; -1 while running or when a signal ended it
  int signal = 0;          // the signal that ended it
  std::string lastError;   // the last line it wrote on standard error
  std::string startError;  // why it could not be started
  // Records the run could not write, and why: the coordinator keeps them and
  // writes them after a later run, or at its own end.
  std::vector<std::string> records;
  std::string recordWhy;
  bool recordsWritten = false;

  // The run's exit status as ks-idu-cli documents it; a run that crashed
  // counts as an unexpected exception (7), one that was asked to stop as
  // stopped (130), one whose record the coordinator wrote later as done.
  int Code() const;
  // A station answered on the port (whatever came of it afterwards).
  bool StationFound() const;
  // The ending as the summary shows it.
  std::string Outcome() const;
  std::string Message() const;
};

// The order of severity of the per-port exit codes, most severe first, as
// --help lists it.
const std::vector<int>& SeverityOrder();
// The command's exit status for these runs (see FleetHelp).
int CombinedStatus(const std::vector<PortRun>& runs);
// The exit status section of --help for --all and --watch.
std::string FleetHelp();

// "[  12.345]": the seconds since the start.
std::string Elapsed(Clock::duration since);

class Fleet {
 public:
  // err: where records that could not be written go in the end (null: out).
  Fleet(Settings settings, std::ostream& out, Clock::time_point start, std::ostream* err = nullptr);

  // The ports present now, with their identities (PortIdentity): in --all
  // the one listing, in --watch every one.
  void Listed(const std::vector<std::string>& names, const std::vector<std::string>& identities,
              Clock::time_point now);
  // The runs to start now (indexes into Runs()); each counts as running from
  // here on, until Exited or StartFailed.
  std::vector<std::size_t> TakeDueStarts(Clock::time_point now);
  // What the run's program is given after its name; eventsDescriptor is
  // where the channel will be in it.
  std::vector<std::string> Arguments(std::size_t run, const std::string& eventsDescriptor) const;
  void StartFailed(std::size_t run, const std::string& why, Clock::time_point now);
  // A line the run wrote on its channel, or on its standard error.
  void Event(std::size_t run, std::string_view line, Clock::time_point now);
  void ErrorLine(std::size_t run, std::string_view line);
  // The run's program ended: with status, or by signal (status -1).
  void Exited(std::size_t run, int status, int signal, Clock::time_point now);
  // A key typed on the terminal (--watch): 'r' lets every port present
  // without a run going have one again.
  void Key(char key, Clock::time_point now);
  // A word from the host about the whole session rather than one run: a
  // line of its own on a pipe, above the table on a terminal.
  void Notice(const std::string& text, Clock::time_point now);
  // Ctrl+C: nothing starts any more; the host stops every run going.
  void Interrupt(Clock::time_point now);
  bool Interrupted() const { return interrupted_; }
  // Nothing is running and nothing will start: the host may stop.
  bool Over() const;
  // When Tick wants to be called next (the table's clock, a settling port);
  // Clock::time_point::max() when nothing waits.
  Clock::time_point NextWake(Clock::time_point now) const;
  // Redraws the table if it changed or its clock moved.
  void Tick(Clock::time_point now);
  // The last table, then the summary. Records still kept get a last try;
  // those that cannot be written go to err, whole, with the reason. Returns
  // the exit status.
  int Finish(Clock::time_point now);

  const std::vector<PortRun>& Runs() const { return runs_; }

 private:
  struct Slot {
    std::string name;
    std::string identity;
    bool present = false;
    bool initial = false;
    Clock::time_point appeared{};
    // The station on it had its run in this connection.
    bool served = false;
    // Its latest run, or -1.
    long run = -1;
    int runs = 0;
    // It went away while its run was going.
    bool vanished = false;
  };

  Slot* SlotOf(std::size_t run);
  void Line(const std::string& port, const std::string& text, Clock::time_point now);
  void Changed(Clock::time_point now);
  std::vector<std::string> TableLines(Clock::time_point now) const;
  std::string RowPhase(const Slot& slot) const;
  void Draw(Clock::time_point now);
  std::string Fit(std::string line) const;
  // Writes the records kept from runs, trying for retry when the file is
  // held. True when none is left.
  bool WriteKept(Clock::time_point now, std::chrono::milliseconds retry);

  Settings settings_;
  std::ostream& out_;
  std::ostream& err_;
  // The records of runs that could not write them, and those runs.
  std::unique_ptr<app::TRunReport> report_;
  std::vector<std::size_t> keptRuns_;
  Clock::time_point start_;
  std::vector<Slot> slots_;
  std::vector<PortRun> runs_;
  bool listed_ = false;
  bool interrupted_ = false;
  bool finished_ = false;
  // The terminal table: lines drawn last, and whether it needs drawing.
  std::size_t drawnLines_ = 0;
  bool dirty_ = false;
  Clock::time_point lastDraw_{};
};

// The whole of --all / --watch: the host of the platform starts the runs
// and feeds the coordinator. Returns the exit status.
// Lists the ports the runs are for, as the fleet's options say (the watch's,
// the --port names, or the machine's own), and tells the fleet.
void ListPorts(Fleet& fleet, ports::PortWatch* watch, const std::vector<std::string>& named,
               Clock::time_point now);

int RunFleet(const app::TCommandLine& options, std::ostream& out, std::ostream& err,
             bool outIsTerminal);

}  // namespace console::fleet
