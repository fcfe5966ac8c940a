// ks-idu-cli --all and --watch: the coordinator's logic (which port gets a
// run when, what it shows, the combined exit status) fed with the events its
// runs send, and one port's run telling its events through the real channel.
#include <gtest/gtest.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "ConsoleProgram.h"
#include "EmbeddedImage.h"
#include "FakeCommOs.h"
#include "Fleet.h"
#include "RunEvents.h"
#include "SimulatedPorts.h"
#include "Watchdog.h"

namespace {

using console::fleet::Clock;
using console::fleet::Fleet;
using console::fleet::PortRun;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kNotFound = "box Hardware error.\tStation KESTRO not found.";
const std::string kTimeout = "box Upgrade error.\tCommand timeout.";

class FleetLogic : public ::testing::Test {
 protected:
  Fleet& Make(bool watch, bool terminal = false, int width = 80) {
    console::fleet::Settings settings;
    settings.watch = watch;
    settings.terminal = terminal;
    settings.width = width;
    settings.traceFile = "run.trace";
    fleet.emplace(settings, out, t0);
    return *fleet;
  }
  // Lists the names, each its own device unless given as "name=identity".
  void List(std::vector<std::string> names, Clock::time_point at) {
    std::vector<std::string> ids;
    for (std::string& n : names) {
      const auto eq = n.find('=');
      ids.push_back(eq == std::string::npos ? n : n.substr(eq + 1));
      if (eq != std::string::npos) n.resize(eq);
    }
    fleet->Listed(names, ids, at);
  }
  std::vector<std::string> Started(Clock::time_point at) {
    std::vector<std::string> ports;
    for (std::size_t run : fleet->TakeDueStarts(at)) ports.push_back(fleet->Runs()[run].port);
    return ports;
  }
  // A run's whole story: its events, then its exit.
  void Play(std::size_t run, const std::vector<std::string>& events, int exit,
            Clock::time_point at) {
    for (const std::string& e : events) fleet->Event(run, e, at);
    fleet->Exited(run, exit, 0, at);
  }
  static std::vector<std::string> DoneStory() {
    return {"status Initialize bootloader...",
            "status Erase processor...",
            "status Programming...",
            "progress 0 30860 16",
            "resend",
            "progress 0 30860 30860",
            "progress 0 30860 0",
            "status Reset station...",
            "status Done.",
            "end 0"};
  }

  Clock::time_point t0 = Clock::now();
  std::ostringstream out;
  std::optional<Fleet> fleet;
};

TEST_F(FleetLogic, AllRunsEveryPortAtOnceOnceEachAndSumsUp) {
  Make(false);
  // Two names of one device (a link and its target) make one run.
  List({"/dev/ttyUSB0", "/dev/serial/by-id/usb-x=/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyS4"}, t0);
  EXPECT_EQ(Started(t0), (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyS4"}));
  EXPECT_TRUE(Started(t0).empty());
  EXPECT_FALSE(fleet->Over());

  Play(2, {"status Initialize bootloader...", kNotFound, "end 3"}, 3, t0 + milliseconds(4000));
  Play(0, DoneStory(), 0, t0 + milliseconds(47200));
  fleet->Event(1, "status Initialize bootloader...", t0);
  fleet->Event(1, "status Erase processor...", t0);
  fleet->Event(1, "not an event", t0);
  fleet->Event(1, "progress 0 x 1", t0);
  fleet->Notice("A word of the host's.", t0 + milliseconds(5000));
  Play(1, {"resend", "resend", "resend", kTimeout, "end 5"}, 5, t0 + milliseconds(12000));
  EXPECT_TRUE(fleet->Over());
  EXPECT_EQ(fleet->Finish(t0 + seconds(48)), 5);

  const std::string text = out.str();
  // A line per phase change, with the port and the time since the start.
  EXPECT_NE(text.find("[  47.200] /dev/ttyUSB0: Done.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[   4.000] /dev/ttyS4: Hardware error.: Station KESTRO not found.\n"),
            std::string::npos);
  EXPECT_NE(text.find("[  12.000] /dev/ttyUSB1: Upgrade error.: Command timeout.\n"),
            std::string::npos);
  EXPECT_EQ(text.find("not an event"), std::string::npos);
  EXPECT_NE(text.find("\n[   5.000] A word of the host's.\n"), std::string::npos);
  EXPECT_NE(text.find("Summary\n"
                      "Port          Outcome          Message                    Time  Resends\n"
                      "/dev/ttyUSB0  Done.                                       0:47        1\n"
                      "/dev/ttyUSB1  Upgrade error.   Command timeout.           0:12        3\n"
                      "/dev/ttyS4    Hardware error.  Station KESTRO not found.  0:04        0\n"
                      "2 stations found on 3 ports: 1 done, 1 not.\n"),
            std::string::npos)
      << text;
}

TEST_F(FleetLogic, TheExitStatusIsZeroOnlyWhenEveryStationFoundIsDone) {
  struct Case {
    std::vector<std::pair<int, bool>> runs;  // exit status, reached the erase
    int expected;
    const char* what;
  };
  const std::vector<Case> cases = {
      {{}, 3, "no port"},
      {{{3, false}, {3, false}}, 3, "no station"},
      {{{0, true}, {3, false}}, 0, "one station done, one port empty"},
      {{{0, true}, {6, false}}, 0, "a port failed in the scan, the station done"},
      {{{0, true}, {5, true}, {3, false}}, 5, "a station failed"},
      {{{4, false}, {0, true}}, 4, "a station refused"},
      {{{5, true}, {6, true}}, 6, "a serial port error is worse than an upgrade error"},
      {{{0, true}, {130, false}}, 130, "stopped while scanning"},
      {{{0, true}, {1, false}}, 1, "a run that began nothing"},
      {{{5, true}, {7, true}, {130, true}}, 130, "stopped is the most severe"},
      {{{3, false}, {42, false}}, 7, "a code no run has counts as an exception"},
  };
  for (const Case& c : cases) {
    std::vector<PortRun> runs;
    for (const auto& [code, erase] : c.runs) {
      PortRun r;
      r.exitStatus = code;
      r.reachedErase = erase;
      runs.push_back(r);
    }
    EXPECT_EQ(console::fleet::CombinedStatus(runs), c.expected) << c.what;
  }
  // A run that crashed, and one that was stopped and ended by the signal.
  PortRun crashed;
  crashed.signal = 11;
  PortRun stopped;
  stopped.signal = 15;
  stopped.stopAsked = true;
  EXPECT_EQ(crashed.Code(), 7);
  EXPECT_EQ(stopped.Code(), 130);
  // Every code in the order is one the single run documents.
  for (int code : console::fleet::SeverityOrder()) {
    EXPECT_NE(console::ExitCodesHelp().find("  " + std::to_string(code) + " "), std::string::npos)
        << code;
  }
  // The order is the one --help prints, and each code wins over the next,
  // whichever of the two ports ends first.
  std::string help = console::fleet::FleetHelp();
  std::replace(help.begin(), help.end(), '\n', ' ');
  const auto at = help.find("order: ");
  ASSERT_NE(at, std::string::npos) << help;
  // "130, 7 (also a run that crashed), 2, ...": the codes without the asides.
  std::string list;
  int depth = 0;
  for (char ch : help.substr(at + 7)) {
    if (ch == '(') ++depth;
    if (depth == 0 && ch != ',') list += ch;
    if (ch == ')') --depth;
    if (ch == '.' && depth == 0) break;
  }
  std::vector<int> printed;
  std::istringstream words(list);
  for (int code = 0; words >> code;) printed.push_back(code);
  const auto& order = console::fleet::SeverityOrder();
  EXPECT_EQ(printed, order) << help;
  for (std::size_t i = 0; i + 1 < order.size(); ++i) {
    for (bool swap : {false, true}) {
      std::vector<PortRun> runs(2);
      runs[swap ? 1 : 0].exitStatus = order[i];
      runs[swap ? 0 : 1].exitStatus = order[i + 1];
      for (PortRun& r : runs) r.reachedErase = true;
      EXPECT_EQ(console::fleet::CombinedStatus(runs), order[i])
          << order[i] << " over " << order[i + 1];
    }
  }
}

TEST_F(FleetLogic, WatchUpgradesEachStationOncePerConnection) {
  Make(true);
  List({"/dev/ttyS0"}, t0);
  EXPECT_EQ(Started(t0), std::vector<std::string>{"/dev/ttyS0"});
  Play(0, DoneStory(), 0, t0 + seconds(1));

  // A port that appears is left to settle first.
  List({"/dev/ttyS0", "/dev/ttyUSB0"}, t0 + seconds(2));
  EXPECT_TRUE(Started(t0 + seconds(2)).empty());
  EXPECT_EQ(fleet->NextWake(t0 + seconds(2)), t0 + seconds(3));
  EXPECT_EQ(Started(t0 + seconds(3)), std::vector<std::string>{"/dev/ttyUSB0"});
  // While its run goes, the port is never started again, whatever is listed.
  List({"/dev/ttyS0", "/dev/ttyUSB0"}, t0 + seconds(5));
  EXPECT_TRUE(Started(t0 + seconds(9)).empty());
  Play(1, DoneStory(), 0, t0 + seconds(10));

  // The stations answer again after their upgrade: still present, not again.
  List({"/dev/ttyS0", "/dev/ttyUSB0"}, t0 + seconds(20));
  EXPECT_TRUE(Started(t0 + seconds(30)).empty());
  EXPECT_FALSE(fleet->Over());

  // Unplugged and plugged in again: a new connection, a new upgrade.
  List({"/dev/ttyS0"}, t0 + seconds(31));
  List({"/dev/ttyS0", "/dev/ttyUSB0"}, t0 + seconds(32));
  EXPECT_EQ(Started(t0 + seconds(33)), std::vector<std::string>{"/dev/ttyUSB0"});
  // Unplugged during its run: once it ends, coming back is a new connection.
  List({"/dev/ttyS0"}, t0 + seconds(34));
  Play(2, {kTimeout, "end 5"}, 5, t0 + seconds(40));
  List({"/dev/ttyS0", "/dev/ttyUSB0"}, t0 + seconds(41));
  EXPECT_EQ(Started(t0 + seconds(42)), std::vector<std::string>{"/dev/ttyUSB0"});
  Play(3, DoneStory(), 0, t0 + seconds(50));

  // The key asks for every station present again.
  fleet->Key('x', t0 + seconds(51));
  EXPECT_TRUE(Started(t0 + seconds(51)).empty());
  fleet->Key('r', t0 + seconds(51));
  EXPECT_EQ(Started(t0 + seconds(51)), (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyUSB0"}));
  EXPECT_EQ(fleet->Runs()[4].number, 2);
  EXPECT_EQ(fleet->Runs()[5].number, 4);

  // Ctrl+C: nothing starts any more; over once the runs going have ended.
  fleet->Interrupt(t0 + seconds(52));
  List({"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB1"}, t0 + seconds(52));
  EXPECT_TRUE(Started(t0 + seconds(60)).empty());
  EXPECT_FALSE(fleet->Over());
  fleet->Exited(4, 130, 0, t0 + seconds(53));
  fleet->Exited(5, -1, 15, t0 + seconds(53));
  EXPECT_TRUE(fleet->Over());
  EXPECT_EQ(fleet->Finish(t0 + seconds(54)), 130);
  const std::string text = out.str();
  EXPECT_NE(text.find("[   2.000] /dev/ttyUSB0: port appeared\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[  31.000] /dev/ttyUSB0: port gone\n"), std::string::npos);
  EXPECT_NE(text.find("[  53.000] /dev/ttyUSB0: stopped\n"), std::string::npos);
  EXPECT_NE(text.find("4 stations found on 2 ports: 3 done, 1 not. 2 runs stopped.\n"),
            std::string::npos)
      << text;
}

TEST_F(FleetLogic, EachRunGetsItsPortItsChannelItsOwnTraceAndTheReport) {
  console::fleet::Settings settings;
  settings.watch = true;
  settings.traceFile = "/tmp/run.trace";
  settings.reportFile = "/tmp/runs.jsonl";
  fleet.emplace(settings, out, t0);
  List({"/dev/ttyUSB0", "/dev/pts/3", "/tmp/a/link", "/tmp/b/link"}, t0);
  ASSERT_EQ(Started(t0).size(), 4u);
  using Args = std::vector<std::string>;
  EXPECT_EQ(fleet->Arguments(0, "3"),
            (Args{"--port", "/dev/ttyUSB0", "--run-events", "3", "--trace",
                  "/tmp/run.trace.ttyUSB0", "--report", "/tmp/runs.jsonl"}));
  EXPECT_EQ(fleet->Arguments(1, "3")[5], "/tmp/run.trace.pts_3");
  // Two ports of one last name: the whole name tells their traces apart.
  EXPECT_EQ(fleet->Arguments(2, "3")[5], "/tmp/run.trace.tmp_a_link");
  EXPECT_EQ(fleet->Arguments(3, "3")[5], "/tmp/run.trace.tmp_b_link");
  // The port's second run has a trace of its own.
  Play(0, DoneStory(), 0, t0);
  fleet->Key('r', t0);
  ASSERT_EQ(Started(t0), Args{"/dev/ttyUSB0"});
  EXPECT_EQ(fleet->Arguments(4, "3")[5], "/tmp/run.trace.ttyUSB0.2");
}

TEST_F(FleetLogic, ARecordARunCouldNotWriteIsKeptAndWrittenAfterALaterRunOrPrintedAtTheEnd) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() /
                       ("ksidu-fleet-kept-" + std::to_string(t0.time_since_epoch().count()));
  const fs::path report = dir / "runs.jsonl";
  // A folder where the file should be: no write gets in.
  fs::create_directories(report);
  console::fleet::Settings settings;
  settings.reportFile = report.string();
  std::ostringstream err;
  fleet.emplace(settings, out, t0, &err);
  List({"A", "B", "C"}, t0);
  ASSERT_EQ(Started(t0).size(), 3u);
  std::vector<std::string> story = DoneStory();
  story.insert(story.end() - 1, "record the report file is held\t{\"port\":\"A\"}");
  story.back() = "end 8";
  Play(0, story, 8, t0 + seconds(40));
  EXPECT_EQ(fleet->Runs()[0].Code(), 8);
  EXPECT_NE(fleet->Runs()[0].Message().find("record not written: cannot append to the report file"),
            std::string::npos)
      << fleet->Runs()[0].Message();
  // The next run to end brings the kept record in once the file can be written.
  fs::remove(report);
  Play(1, DoneStory(), 0, t0 + seconds(41));
  const std::string text = out.str();
  EXPECT_NE(text.find("[  40.000] A: record not written: the report file is held; kept, to be "
                      "written after the next run\n[  41.000] B: Initialize"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[  41.000] B: Done.\n[  41.000] A: record written\n"), std::string::npos)
      << text;
  {
    // Closed again before the file is removed: Windows refuses to remove an open file.
    std::ifstream in(report);
    const std::string written((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    EXPECT_EQ(written, "{\"port\":\"A\"}\n");
  }
  EXPECT_EQ(fleet->Runs()[0].Code(), 0);

  // Kept to the end and still not written: printed whole, with the reason,
  // and the station counts as done but unrecorded.
  fs::remove(report);
  fs::create_directories(report);
  story[story.size() - 2] = "record the report file is held\t{\"port\":\"C\"}";
  Play(2, story, 8, t0 + seconds(42));
  EXPECT_EQ(fleet->Finish(t0 + seconds(43)), 8);
  EXPECT_NE(
      err.str().find("ks-idu-cli: the record of C's run: {\"port\":\"C\"}\n"
                     "ks-idu-cli: the record of a run could not be written: cannot append to the "
                     "report file"),
      std::string::npos)
      << err.str();
  fs::remove_all(dir);
}

TEST_F(FleetLogic, OnATerminalOneRowPerPortIsRedrawnInPlaceWithinItsWidth) {
  Make(false, true, 45);
  List({"/dev/ttyUSB0", "/dev/ttyUSB1"}, t0);
  Started(t0);
  fleet->Event(0, "status Programming...", t0 + seconds(2));
  fleet->Event(0, "progress 0 1000 100", t0 + seconds(2));
  fleet->Event(0, "progress 0 1000 500", t0 + seconds(4));
  out.str("");
  fleet->Tick(t0 + seconds(6));
  const std::string frame = out.str();
  // Back up over the table drawn before, then every line cleared to its end.
  EXPECT_TRUE(frame.starts_with("\x1b[4A\r")) << frame;
  // The row, cut short of the terminal's last column.
  EXPECT_NE(frame.find("\r/dev/ttyUSB0  Programming...   50%  0:05    \x1b[K\n"), std::string::npos)
      << frame;
  std::istringstream lines(frame);
  for (std::string line; std::getline(lines, line);) {
    const auto start = line.rfind('\r');
    const std::string shown = line.substr(start + 1, line.find("\x1b[K") - start - 1);
    EXPECT_LT(shown.size(), 45u) << shown;
  }
  // Nothing changed, and the clock has not moved a second: nothing drawn.
  out.str("");
  fleet->Tick(t0 + seconds(6) + milliseconds(500));
  EXPECT_EQ(out.str(), "");
  // A notice, longer than a line, goes over the table's top whole; the table
  // follows below it, drawn from there.
  const std::string notice(60, 'n');
  out.str("");
  fleet->Notice(notice, t0 + seconds(7));
  const std::string moved = out.str();
  EXPECT_TRUE(moved.starts_with("\x1b[4A\r" + notice + "\x1b[K\n\rPort")) << moved;
  EXPECT_EQ(std::count(moved.begin(), moved.end(), '\n'), 5) << moved;
  out.str("");
  fleet->Tick(t0 + seconds(8));
  EXPECT_TRUE(out.str().starts_with("\x1b[4A\rPort")) << out.str();
}

// ---- One port's run, telling its coordinator ------------------------------------------------

class RunChannel : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 1 << 20));
    readEnd = read;
    descriptor = std::to_string(reinterpret_cast<std::uintptr_t>(write));
#else
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    readEnd = ends[0];
    descriptor = std::to_string(ends[1]);
#endif
  }
  void TearDown() override {
#ifdef _WIN32
    CloseHandle(static_cast<HANDLE>(readEnd));
#else
    close(readEnd);
#endif
  }
  // Everything written so far; the writer must be gone.
  std::vector<console::RunEvent> Events() {
    std::string text;
    char chunk[4096];
    for (;;) {
#ifdef _WIN32
      DWORD n = 0;
      if (!ReadFile(static_cast<HANDLE>(readEnd), chunk, sizeof chunk, &n, nullptr) || n == 0)
        break;
#else
      const auto n = read(readEnd, chunk, sizeof chunk);
      if (n <= 0) break;
#endif
      text.append(chunk, static_cast<std::size_t>(n));
    }
    std::vector<console::RunEvent> events;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
      events.push_back(console::ParseRunEvent(line));
    return events;
  }

#ifdef _WIN32
  void* readEnd = nullptr;
#else
  int readEnd = -1;
#endif
  std::string descriptor;
};

TEST_F(RunChannel, ARunTellsItsPhasesWholePercentsResendsBoxesAndItsEnd) {
  testsupport::Watchdog watchdog(seconds(60));
  comm::test::FakeCommOs os;
  apptest::SimulatedPorts ports(os);
  // The third line is refused twice, then taken: two resends.
  station::Station& s = ports.AddStation(
      "COM3", {.faults = {{.line = 3, .attempt = 1, .fault = station::Fault::Negative},
                          {.line = 3, .attempt = 2, .fault = station::Fault::Negative}}});
  std::ostringstream out;
  std::ostringstream err;
  int code = -1;
  {
    console::RunEventLink link;
    std::string error;
    ASSERT_TRUE(link.Open(descriptor, error, false)) << error;
    console::ConsoleOutput output{out, err};
    output.observer = link.Observer();
    app::TNamedPortSource source({"COM3"});
    code = console::RunConsole(output, link.Os(os), source, resources::EmbeddedImageLines());
    link.End(code);
  }
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(s.LastCommandSeen());
  using Kind = console::RunEvent::Kind;
  std::vector<std::string> statuses;
  std::vector<int> percents;
  int resends = 0;
  int ends = 0;
  for (const auto& e : Events()) {
    EXPECT_NE(e.kind, Kind::Unknown);
    if (e.kind == Kind::Status) statuses.push_back(e.text);
    if (e.kind == Kind::Resend) ++resends;
    if (e.kind == Kind::End) {
      ++ends;
      EXPECT_EQ(e.code, 0);
    }
    if (e.kind == Kind::Progress && e.position > e.min) {
      percents.push_back(static_cast<int>((e.position - e.min) * 100LL / (e.max - e.min)));
    }
  }
  EXPECT_EQ(statuses, (std::vector<std::string>{"Initialize bootloader...", "Erase processor...",
                                                "Programming...", "Reset station...", "Done."}));
  std::vector<int> every;
  for (int p = 0; p <= 100; ++p) every.push_back(p);
  EXPECT_EQ(percents, every);  // each whole percent once, not every line
  EXPECT_EQ(resends, 2);
  EXPECT_EQ(ends, 1);

  // Malformed lines are no events; a box's text is all after its first tab.
  EXPECT_EQ(console::ParseRunEvent("box A\tB\tC").text, "B\tC");
  EXPECT_EQ(console::ParseRunEvent("end 300").kind, Kind::Unknown);
  EXPECT_EQ(console::ParseRunEvent("progress 1 2").kind, Kind::Unknown);
  const console::RunEvent record = console::ParseRunEvent("record held by X\t{\"a\":\"\\t\"}");
  EXPECT_EQ(record.kind, Kind::Record);
  EXPECT_EQ(record.caption, "held by X");
  EXPECT_EQ(record.text, "{\"a\":\"\\t\"}");
  EXPECT_EQ(console::ParseRunEvent("record no tab").kind, Kind::Unknown);
  std::string error;
  EXPECT_FALSE(console::RunEventLink().Open("x", error, false));
  EXPECT_NE(error.find("--run-events"), std::string::npos);
}

}  // namespace
