#include "Fleet.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

#include "ConsoleForm.h"
#include "ConsoleProgram.h"
#include "Ports.h"
#include "RunEvents.h"
#include "Sequencer.h"

namespace console::fleet {

namespace {

// The table is not worth redrawing more often than this; its clock (the
// time left) moves once a second.
constexpr auto kRedrawGap = std::chrono::milliseconds(100);
constexpr auto kClockTick = std::chrono::seconds(1);
// As the single run: no estimate before the bar has moved for a second.
constexpr auto kEstimateAfter = std::chrono::seconds(1);
constexpr std::size_t kErrorLineLimit = 200;

std::string Plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// A port's name as a part of a file name: its name below /dev
// ("pts_3", "ttyUSB0") or its last part, or all of it.
std::string FilePart(const std::string& port, bool whole) {
  std::string part = whole                         ? port
                     : port.rfind("/dev/", 0) == 0 ? port.substr(5)
                                                   : port.substr(port.find_last_of("/\\") + 1);
  for (char& c : part) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    if (!plain) c = '_';
  }
  part.erase(0, part.find_first_not_of('_'));
  return part.empty() ? "port" : part;
}

int Percent(const PortRun& r) {
  const long long span = static_cast<long long>(r.max) - r.min;
  if (span <= 0) return 100;
  return static_cast<int>(
      std::clamp((static_cast<long long>(r.position) - r.min) * 100 / span, 0LL, 100LL));
}

std::string Pad(const std::string& text, std::size_t width, bool right = false) {
  if (text.size() >= width) return text;
  const std::string fill(width - text.size(), ' ');
  return right ? fill + text : text + fill;
}

std::string Duration(Clock::duration d) {
  return ConsoleScreen::FormatDuration(
      std::chrono::duration_cast<std::chrono::seconds>(d + std::chrono::milliseconds(500)));
}

// Columns, each as wide as its widest cell, two spaces apart.
std::vector<std::string> Columns(const std::vector<std::vector<std::string>>& rows,
                                 const std::vector<bool>& right) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::vector<std::string> lines;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i > 0) line += "  ";
      const bool last = i + 1 == row.size();
      const bool alignRight = i < right.size() && right[i];
      line += last && !alignRight ? row[i] : Pad(row[i], widths[i], alignRight);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace

// ---- One run ----------------------------------------------------------------------------

int PortRun::Code() const {
  if (!startError.empty()) return kExitNoRun;
  if (exitStatus == kExitNotRecorded && !records.empty() && recordsWritten) return kExitDone;
  if (exitStatus >= 0) return exitStatus;
  if (signal != 0) return stopAsked ? kExitInterrupted : kExitException;
  return endCode;
}

bool PortRun::StationFound() const {
  const int code = Code();
  return code == kExitDone || code == kExitNotRecorded || code == kExitRefused ||
         code == kExitUpgradeError || reachedErase || caption == upgrade::kCaptionInitialize;
}

std::string PortRun::Outcome() const {
  if (!startError.empty()) return "not started";
  const int code = Code();
  switch (code) {
    case kExitDone:
    case kExitNotRecorded:
      return std::string(upgrade::kStatusDone);
    case kExitNotFound:
    case kExitRefused:
    case kExitUpgradeError:
      if (!caption.empty()) return caption;
      break;
    case kExitSerialPortError:
      return "Serial Port Error.";
    case kExitInterrupted:
      return "stopped";
    default:
      break;
  }
  return "exit status " + std::to_string(code);
}

std::string PortRun::Message() const {
  if (!startError.empty()) return startError;
  const int code = Code();
  if (code == kExitDone) return "";
  if (code == kExitNotRecorded && !records.empty()) return "record not written: " + recordWhy;
  if (code >= kExitNotFound && code <= kExitSerialPortError && !message.empty()) return message;
  if (code == kExitInterrupted) return status.empty() ? "" : "during " + status;
  if (signal != 0) {
    return "ended by signal " + std::to_string(signal) +
           (lastError.empty() ? "" : ": " + lastError);
  }
  return lastError;
}

const std::vector<int>& SeverityOrder() {
  // A station upgraded without its record comes after every station that
  // needs attention, and before "no station at all".
  static const std::vector<int> order = {kExitInterrupted, kExitException,       kExitUsage,
                                         kExitNoRun,       kExitSerialPortError, kExitUpgradeError,
                                         kExitRefused,     kExitNotRecorded,     kExitNotFound};
  return order;
}

int CombinedStatus(const std::vector<PortRun>& runs) {
  if (runs.empty()) return kExitNotFound;
  bool stations = false;
  bool allDone = true;
  for (const PortRun& r : runs) {
    const int code = r.Code();
    // A run that was stopped, crashed or never ran may have had a station.
    if (code == kExitInterrupted || code == kExitException || code == kExitUsage ||
        code == kExitNoRun) {
      allDone = false;
    }
    if (r.StationFound()) {
      stations = true;
      if (code != kExitDone) allDone = false;
    }
  }
  if (stations && allDone) return kExitDone;
  const auto& order = SeverityOrder();
  // A code of no run of this program (a crash): as an exception.
  auto known = [&](int code) {
    return std::find(order.begin(), order.end(), code) != order.end() ? code : kExitException;
  };
  auto rank = [&](int code) { return std::find(order.begin(), order.end(), code) - order.begin(); };
  int worst = kExitNotFound;
  for (const PortRun& r : runs) {
    if (r.Code() == kExitDone) continue;
    const int code = known(r.Code());
    if (rank(code) < rank(worst)) worst = code;
  }
  return worst;
}

std::string FleetHelp() {
  return "\nWith --all or --watch every port has a run of its own, which ends with one of\n"
         "the codes above. The program exits with 0 when at least one station was found\n"
         "and every station found ended with \"Done.\" (and no run was stopped, crashed or\n"
         "could not start); otherwise with the most severe code of the runs, in this\n"
         "order: 130, 7 (also a run that crashed), 2, 1, 6, 5, 4, 8, 3 (3 also when\n"
         "there was no port). --watch ends with Ctrl+C: 130 when a run was going,\n"
         "otherwise as above for every run of the session.\n";
}

std::string Elapsed(Clock::duration since) {
  // As a single run stamps its lines to a pipe or a file.
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%8.3f]",
                std::max(0.0, std::chrono::duration<double>(since).count()));
  return stamp;
}

// ---- The coordinator ------------------------------------------------------------------------

Fleet::Fleet(Settings settings, std::ostream& out, Clock::time_point start, std::ostream* err)
    : settings_(std::move(settings)),
      out_(out),
      err_(err ? *err : out),
      start_(start),
      lastDraw_(start) {}

Fleet::Slot* Fleet::SlotOf(std::size_t run) {
  for (Slot& s : slots_) {
    if (s.run == static_cast<long>(run)) return &s;
  }
  return nullptr;
}

void Fleet::Line(const std::string& port, const std::string& text, Clock::time_point now) {
  if (settings_.terminal) return;
  // One write per line: nothing else writes to this output meanwhile.
  out_ << (Elapsed(now - start_) + " " + port + ": " + text + "\n") << std::flush;
}

void Fleet::Listed(const std::vector<std::string>& names,
                   const std::vector<std::string>& identities, Clock::time_point now) {
  std::set<std::string> seen;
  for (std::size_t i = 0; i < names.size() && i < identities.size(); ++i) {
    // Two names of one device: the first one keeps it.
    if (!seen.insert(identities[i]).second) continue;
    auto slot = std::find_if(slots_.begin(), slots_.end(),
                             [&](const Slot& s) { return s.identity == identities[i]; });
    if (slot == slots_.end()) {
      slots_.push_back(Slot{names[i], identities[i], true, !listed_, now, false, -1, 0});
      if (listed_) Line(names[i], "port appeared", now);
    } else if (!slot->present) {
      slot->present = true;
      slot->initial = false;
      slot->appeared = now;
      slot->name = names[i];
      Line(names[i], "port appeared", now);
    }
  }
  for (Slot& s : slots_) {
    if (!s.present || seen.count(s.identity)) continue;
    s.present = false;
    Line(s.name, "port gone", now);
    const bool running = s.run >= 0 && runs_[static_cast<std::size_t>(s.run)].running;
    if (running) {
      s.vanished = true;
    } else {
      s.served = false;
    }
  }
  listed_ = true;
  Changed(now);
}

std::vector<std::size_t> Fleet::TakeDueStarts(Clock::time_point now) {
  std::vector<std::size_t> due;
  if (interrupted_) return due;
  for (Slot& s : slots_) {
    const bool running = s.run >= 0 && runs_[static_cast<std::size_t>(s.run)].running;
    if (!s.present || running || s.served) continue;
    if (!s.initial && now - s.appeared < settings_.settle) continue;
    PortRun run;
    run.port = s.name;
    run.number = ++s.runs;
    run.started = now;
    run.running = true;
    s.run = static_cast<long>(runs_.size());
    s.served = true;
    s.vanished = false;
    due.push_back(runs_.size());
    runs_.push_back(std::move(run));
  }
  if (!due.empty()) Changed(now);
  return due;
}

std::vector<std::string> Fleet::Arguments(std::size_t run,
                                          const std::string& eventsDescriptor) const {
  const PortRun& r = runs_.at(run);
  std::vector<std::string> arguments = {"--port", r.port, "--run-events", eventsDescriptor};
  if (!settings_.traceFile.empty()) {
    // A file of its own per port (and per run of it): one trace is one run.
    std::string part = FilePart(r.port, false);
    // Another port of the same last name: the whole name tells them apart.
    const bool shared = std::any_of(slots_.begin(), slots_.end(), [&](const Slot& s) {
      return s.name != r.port && FilePart(s.name, false) == part;
    });
    if (shared) part = FilePart(r.port, true);
    std::string file = settings_.traceFile + "." + part;
    if (r.number > 1) file += "." + std::to_string(r.number);
    arguments.insert(arguments.end(), {"--trace", file});
  }
  if (!settings_.reportFile.empty()) {
    arguments.insert(arguments.end(), {"--report", settings_.reportFile});
  }
  return arguments;
}

void Fleet::StartFailed(std::size_t run, const std::string& why, Clock::time_point now) {
  PortRun& r = runs_.at(run);
  r.running = false;
  r.ended = now;
  r.startError = why;
  Line(r.port, "cannot start its run: " + why, now);
  if (Slot* s = SlotOf(run)) s->served = s->present;
  Changed(now);
}

void Fleet::Event(std::size_t run, std::string_view line, Clock::time_point now) {
  PortRun& r = runs_.at(run);
  const RunEvent event = ParseRunEvent(line);
  switch (event.kind) {
    case RunEvent::Kind::Status:
      if (event.text == r.status) return;
      r.status = event.text;
      if (event.text == upgrade::kStatusErase) r.reachedErase = true;
      Line(r.port, event.text, now);
      break;
    case RunEvent::Kind::Box:
      r.caption = event.caption;
      r.message = event.text;
      Line(r.port, event.caption + ": " + event.text, now);
      break;
    case RunEvent::Kind::Progress:
      r.min = event.min;
      r.max = event.max;
      r.position = event.position;
      if (event.position <= event.min) {
        r.bar = false;
      } else if (!r.bar) {
        r.bar = true;
        r.barStarted = now;
        r.barStartPosition = event.position;
      }
      break;
    case RunEvent::Kind::Resend:
      ++r.resends;
      break;
    case RunEvent::Kind::Record:
      r.records.push_back(event.text);
      r.recordWhy = event.caption;
      return;
    case RunEvent::Kind::End:
      r.endCode = event.code;
      break;
    case RunEvent::Kind::Unknown:
      return;
  }
  Changed(now);
}

void Fleet::ErrorLine(std::size_t run, std::string_view line) {
  PortRun& r = runs_.at(run);
  r.lastError = line.substr(0, kErrorLineLimit);
}

void Fleet::Exited(std::size_t run, int status, int signal, Clock::time_point now) {
  PortRun& r = runs_.at(run);
  r.running = false;
  r.ended = now;
  r.exitStatus = status;
  r.signal = status < 0 ? signal : 0;
  r.bar = false;
  // Its records go with the next write of the coordinator's: a run that
  // ends later frees the file as often as not.
  const bool kept = !r.records.empty() && !settings_.reportFile.empty();
  if (kept) {
    if (!report_) report_ = app::TRunReport::Unchecked(settings_.reportFile);
    for (const std::string& record : r.records) report_->Keep(record);
    keptRuns_.push_back(run);
  }
  const int code = r.Code();
  if (code == kExitInterrupted) {
    Line(r.port, "stopped", now);
  } else if (r.signal != 0) {
    Line(r.port, r.Message(), now);
  } else if (kept && code == kExitNotRecorded) {
    // Said below.
  } else if (r.endCode < 0 ||
             (code != kExitDone && r.caption.empty() && code != kExitSerialPortError)) {
    // Nothing it showed tells how it ended.
    Line(r.port,
         "exit status " + std::to_string(code) +
             (r.lastError.empty() ? std::string() : ": " + r.lastError),
         now);
  }
  if (kept) {
    Line(r.port, "record not written: " + r.recordWhy + "; kept, to be written after the next run",
         now);
  }
  if (Slot* s = SlotOf(run)) s->served = s->present && !s->vanished;
  WriteKept(now, std::chrono::milliseconds(0));
  Changed(now);
}

bool Fleet::WriteKept(Clock::time_point now, std::chrono::milliseconds retry) {
  if (keptRuns_.empty()) return true;
  report_->SetRetryFor(retry);
  if (!report_->Flush()) {
    for (const std::size_t run : keptRuns_) runs_[run].recordWhy = report_->Error();
    return false;
  }
  for (const std::size_t run : keptRuns_) {
    runs_[run].recordsWritten = true;
    Line(runs_[run].port, "record written", now);
  }
  keptRuns_.clear();
  Changed(now);
  return true;
}

void Fleet::Key(char key, Clock::time_point now) {
  if (key != 'r' && key != 'R') return;
  for (Slot& s : slots_) {
    const bool running = s.run >= 0 && runs_[static_cast<std::size_t>(s.run)].running;
    if (s.present && !running) s.served = false;
  }
  Changed(now);
}

void Fleet::Notice(const std::string& text, Clock::time_point now) {
  if (!settings_.terminal) {
    out_ << (Elapsed(now - start_) + " " + text + "\n") << std::flush;
    return;
  }
  // Written over the table's first line, uncut (it may wrap), and the table
  // drawn afresh below it: at least as many lines as before, so none of the
  // old one is left.
  std::string frame;
  if (drawnLines_ > 0) frame += "\x1b[" + std::to_string(drawnLines_) + "A";
  frame += '\r';
  frame += text;
  frame += "\x1b[K\n";
  out_ << frame << std::flush;
  drawnLines_ = 0;
  Draw(now);
}

void Fleet::Interrupt(Clock::time_point now) {
  interrupted_ = true;
  for (PortRun& r : runs_) {
    if (r.running) r.stopAsked = true;
  }
  Changed(now);
}

bool Fleet::Over() const {
  const bool running =
      std::any_of(runs_.begin(), runs_.end(), [](const PortRun& r) { return r.running; });
  if (running) return false;
  return interrupted_ || (!settings_.watch && listed_);
}

Clock::time_point Fleet::NextWake(Clock::time_point now) const {
  Clock::time_point wake = Clock::time_point::max();
  if (!interrupted_) {
    for (const Slot& s : slots_) {
      const bool running = s.run >= 0 && runs_[static_cast<std::size_t>(s.run)].running;
      if (s.present && !s.served && !running && !s.initial) {
        wake = std::min(wake, s.appeared + settings_.settle);
      }
    }
  }
  if (settings_.terminal) {
    if (dirty_) wake = std::min(wake, std::max(now, lastDraw_ + kRedrawGap));
    const bool clock = std::any_of(runs_.begin(), runs_.end(),
                                   [](const PortRun& r) { return r.running && r.bar; });
    if (clock) wake = std::min(wake, lastDraw_ + kClockTick);
  }
  return wake;
}

void Fleet::Changed(Clock::time_point now) {
  dirty_ = true;
  Tick(now);
}

void Fleet::Tick(Clock::time_point now) {
  if (!settings_.terminal) return;
  const bool clock =
      std::any_of(runs_.begin(), runs_.end(), [](const PortRun& r) { return r.running && r.bar; });
  if ((dirty_ && now - lastDraw_ >= kRedrawGap) || (clock && now - lastDraw_ >= kClockTick)) {
    Draw(now);
  }
}

std::string Fleet::RowPhase(const Slot& s) const {
  if (s.run < 0) {
    if (!s.present) return "port gone";
    return interrupted_ ? "" : "port appeared";
  }
  const PortRun& r = runs_[static_cast<std::size_t>(s.run)];
  std::string phase;
  if (r.running) {
    phase = r.stopAsked ? "stopping..." : r.status.empty() ? "starting..." : r.status;
  } else {
    const int code = r.Code();
    const std::string message = r.Message();
    phase = code == kExitDone ? std::string(upgrade::kStatusDone)
                              : r.Outcome() + (message.empty() ? "" : ": " + message);
  }
  if (!s.present) phase += " (port gone)";
  return phase;
}

std::vector<std::string> Fleet::TableLines(Clock::time_point now) const {
  std::vector<std::vector<std::string>> rows = {{"Port", "Phase", "Done", "Left", "Resends"}};
  for (const Slot& s : slots_) {
    std::vector<std::string> row = {s.name, RowPhase(s), "", "", ""};
    if (s.run >= 0) {
      const PortRun& r = runs_[static_cast<std::size_t>(s.run)];
      if (r.running && r.bar) {
        row[2] = std::to_string(Percent(r)) + "%";
        row[3] = "--:--";
        const auto elapsed = now - r.barStarted;
        const long long done = static_cast<long long>(r.position) - r.barStartPosition;
        if (elapsed >= kEstimateAfter && done > 0) {
          const double seconds = std::chrono::duration<double>(elapsed).count() *
                                 static_cast<double>(std::max<long long>(0, r.max - r.position)) /
                                 static_cast<double>(done);
          row[3] = ConsoleScreen::FormatDuration(
              std::chrono::seconds(static_cast<long long>(seconds + 0.5)));
        }
      } else if (!r.running && r.Code() == kExitDone) {
        row[2] = "100%";
      }
      row[4] = std::to_string(r.resends);
    }
    rows.push_back(std::move(row));
  }
  std::vector<std::string> lines = Columns(rows, {false, false, true, true, true});
  if (slots_.empty()) lines.push_back(settings_.watch ? "(no port yet)" : "(no port)");
  if (finished_) return lines;
  lines.push_back(interrupted_      ? "Stopping: every port is being closed."
                  : settings_.watch ? "Watching the ports. r: upgrade the stations present again;"
                                      " Ctrl+C: stop."
                                    : "Ctrl+C: stop.");
  return lines;
}

std::string Fleet::Fit(std::string line) const {
  // A line as wide as the terminal would wrap, and the redraw go astray.
  const auto limit = static_cast<std::size_t>(std::max(settings_.width - 1, 10));
  if (line.size() > limit) line.resize(limit);
  return line;
}

void Fleet::Draw(Clock::time_point now) {
  const std::vector<std::string> lines = TableLines(now);
  std::string frame;
  if (drawnLines_ > 0) frame += "\x1b[" + std::to_string(drawnLines_) + "A";
  // Appended piece by piece: GCC misreads a concatenation here at -O2.
  for (const std::string& line : lines) {
    frame += '\r';
    frame += Fit(line);
    frame += "\x1b[K\n";
  }
  for (std::size_t i = lines.size(); i < drawnLines_; ++i) frame += "\r\x1b[K\n";
  drawnLines_ = std::max(drawnLines_, lines.size());
  out_ << frame << std::flush;
  dirty_ = false;
  lastDraw_ = now;
}

int Fleet::Finish(Clock::time_point now) {
  // As long as a single run tries: nothing comes after this to write them with.
  const bool written = WriteKept(now, std::chrono::milliseconds(3000));
  finished_ = true;
  if (settings_.terminal) Draw(now);
  std::vector<std::vector<std::string>> rows = {{"Port", "Outcome", "Message", "Time", "Resends"}};
  std::size_t stations = 0;
  std::size_t done = 0;
  std::size_t stopped = 0;
  std::set<std::string> ports;
  for (const PortRun& r : runs_) {
    ports.insert(r.port);
    const Clock::time_point end = r.running ? now : r.ended;
    rows.push_back(
        {r.port, r.Outcome(), r.Message(), Duration(end - r.started), std::to_string(r.resends)});
    if (r.Code() == kExitInterrupted) ++stopped;
    if (!r.StationFound()) continue;
    ++stations;
    if (r.Code() == kExitDone) ++done;
  }
  std::string text = "\nSummary\n";
  if (!runs_.empty()) {
    for (const std::string& line : Columns(rows, {false, false, false, true, true})) {
      text += line + "\n";
    }
  }
  const std::string on = Plural(ports.size(), "port");
  if (stations == 0) {
    text += runs_.empty() ? std::string("No port to try.") : "No station answered on " + on + ".";
  } else {
    text += Plural(stations, "station") + " found on " + on + ": " + std::to_string(done) +
            " done, " + std::to_string(stations - done) + " not.";
  }
  if (stopped > 0) text += " " + Plural(stopped, "run") + " stopped.";
  out_ << text << "\n" << std::flush;
  if (!written) {
    std::string lost;
    for (const std::size_t run : keptRuns_) {
      for (const std::string& record : runs_[run].records)
        lost += "ks-idu-cli: the record of " + runs_[run].port + "'s run: " + record + "\n";
    }
    err_ << lost << "ks-idu-cli: " << app::LostRecordsText(*report_) << "\n" << std::flush;
  }
  return CombinedStatus(runs_);
}

void ListPorts(Fleet& fleet, ports::PortWatch* watch, const std::vector<std::string>& named,
               Clock::time_point now) {
  std::vector<std::string> names;
  if (watch) {
    names = watch->List();
  } else if (!named.empty()) {
    names = named;
  } else {
    ports::EnumerateSerialPorts(names);
  }
  std::vector<std::string> identities;
  for (const std::string& name : names) identities.push_back(ports::PortIdentity(name));
  fleet.Listed(names, identities, now);
}

}  // namespace console::fleet
