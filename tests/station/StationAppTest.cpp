// ks-station's portable part: options, the JSON summary, and the run loop
// over a scripted port (reply order, hang-up, idle exit, pacing, no spinning).
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "MiniJson.h"
#include "Station.h"
#include "StationApp.h"
#include "Watchdog.h"

namespace {

using namespace std::chrono_literals;
using station::Options;
using station::ParseOptions;
using station::ParseResult;
using station::RunEnd;

const std::string kIdentify("\x5A\x0A\x00\xF1\x30\x30\x30\x30\xFD\xEB", 10);
const std::string kErase = ":0100000307F5";
const std::string kLine = ":10123000000102030405060708090A0B0C0D0E0F36";
const std::string kClose3 = ":00000008F8";

ParseResult Parse(std::vector<std::string> args, Options& options, std::string& error) {
  return ParseOptions(args, options, error);
}

TEST(StationOptions, EveryOptionReachesItsSetting) {
  Options o;
  std::string error;
  ASSERT_EQ(Parse({"--device",
                   "COM7",
                   "--identify",
                   "refuse",
                   "--answer-from",
                   "3",
                   "--erase-ms",
                   "2500",
                   "--line-ms",
                   "12",
                   "--fault",
                   "5=silent",
                   "--fault",
                   "7:2=two",
                   "--fault",
                   "1:0=garbage",
                   "--fault",
                   "4:1=late:1400",
                   "--fault",
                   "*=echocrlf",
                   "--hang-up-after",
                   "9",
                   "--baud",
                   "19200",
                   "--summary",
                   "s.json",
                   "--idle-exit",
                   "1.5",
                   "--dump",
                   "m.bin",
                   "--verbose",
                   "--identify-ms",
                   "30",
                   "--line-speed",
                   "9600"},
                  o, error),
            ParseResult::Run)
      << error;
  EXPECT_EQ(o.port.device, "COM7");
  EXPECT_EQ(o.port.lineSpeed, 9600u);
  EXPECT_EQ(o.config.identify, station::IdentifyAnswer::Refuse);
  EXPECT_EQ(o.config.answerFromFrame, 3);
  EXPECT_EQ(o.config.identifyMs, 30u);
  EXPECT_EQ(o.config.eraseMs, 2500u);
  EXPECT_EQ(o.config.lineMs, 12u);
  ASSERT_EQ(o.config.faults.size(), 5u);
  EXPECT_EQ(o.config.faults[0].line, 5);
  EXPECT_EQ(o.config.faults[0].attempt, 0);
  EXPECT_EQ(o.config.faults[0].fault, station::Fault::Silent);
  EXPECT_EQ(o.config.faults[1].line, 7);
  EXPECT_EQ(o.config.faults[1].attempt, 2);
  EXPECT_EQ(o.config.faults[1].fault, station::Fault::TwoReplies);
  EXPECT_EQ(o.config.faults[2].fault, station::Fault::Garbage);
  EXPECT_EQ(o.config.faults[3].fault, station::Fault::Late);
  EXPECT_EQ(o.config.faults[3].ms, 1400u);
  EXPECT_EQ(o.config.faults[4].line, 0);
  EXPECT_EQ(o.config.faults[4].fault, station::Fault::EchoCrLf);
  EXPECT_EQ(o.config.hangUpAfterLine, 9);
  EXPECT_EQ(o.baud, 19200u);
  EXPECT_EQ(o.summaryPath, "s.json");
  EXPECT_DOUBLE_EQ(o.idleExitSeconds, 1.5);
  EXPECT_EQ(o.dumpPath, "m.bin");
  EXPECT_TRUE(o.verbose);

  Options help;
  EXPECT_EQ(Parse({"--erase-ms", "5", "--help"}, help, error), ParseResult::Help);
  EXPECT_EQ(Parse({"--pty", "--version"}, help, error), ParseResult::Version);
  for (const char* word :
       {"--device", "--pty", "--link", "--identify", "--answer-from", "--erase-ms", "--line-ms",
        "--baud", "--fault", "--hang-up-after", "--summary", "--idle-exit", "--dump", "--verbose",
        "--version", "memory_sha256", "identify_frames", "junk_bytes", "last_command_seen"})
    EXPECT_NE(station::HelpText().find(word), std::string::npos) << word;
}

TEST(StationOptions, BadValuesAreRefusedWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {"--baud", "10"},
      {"--baud", "fast"},
      {"--erase-ms", "-1"},
      {"--line-ms", "12x"},
      {"--answer-from", "0"},
      {"--identify", "accept9"},
      {"--fault", "0=silent"},
      {"--fault", "2=bogus"},
      {"--fault", "2:x=echo"},
      {"--fault", "2=late:"},
      {"--fault", "2=late:-1"},
      {"--fault", "silent"},
      {"--idle-exit", "-1"},
      {"--idle-exit", "soon"},
      {"--hang-up-after", "-2"},
      {"--summary"},
      {"--bogus", "1"},
      {"stray"},
      {"--device", "COM1", "--pty"},
      {"--device", "COM1", "--link", "/tmp/x"},
  };
  for (const auto& args : bad) {
    Options o;
    std::string error;
    EXPECT_EQ(Parse(args, o, error), ParseResult::Error) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
  // A misspelled option is unknown, also as the last word, not short of a value.
  Options last;
  std::string error;
  EXPECT_EQ(Parse({"--erase-ms", "5", "--verbse"}, last, error), ParseResult::Error);
  EXPECT_EQ(error, "unknown option: --verbse");
  Options o;
  // Without a device the station needs a pty, which only POSIX has.
  EXPECT_EQ(Parse({}, o, error), station::PtyAvailable() ? ParseResult::Run : ParseResult::Error);
}

TEST(StationSummary, IsValidJsonWithEveryField) {
  station::Config c;
  c.faults = {{3, 1, station::Fault::Negative}};
  station::Station s(c);
  s.Receive(std::vector<std::uint8_t>(kIdentify.begin(), kIdentify.end()), 0.25);
  // A record by its count, holding a quote, a backslash, control and high bytes.
  const std::string odd = std::string(":05000000") + "\"\\\x01\x7F\xC3\xA9" + "abcdZZ";
  const std::string input = kErase + "\r\n" + odd + ":" + kLine.substr(1) + kClose3;
  s.Receive(std::vector<std::uint8_t>(input.begin(), input.end()), 1.5);

  const minijson::Value v = minijson::Parse(station::SummaryJson(s));
  EXPECT_EQ(v["identify_frames"].number, 1);
  EXPECT_EQ(v["bad_frames"].number, 0);
  EXPECT_EQ(v["erase_count"].number, 1);
  EXPECT_EQ(v["fillers"].number, 0);
  EXPECT_EQ(v["junk_bytes"].number, 2);
  EXPECT_TRUE(v["last_command_seen"].boolean);
  EXPECT_FALSE(v["hung_up"].boolean);
  EXPECT_EQ(v["memory_sha256"].text, station::Sha256Hex(s.Memory()));
  const auto& records = v["records"];
  ASSERT_EQ(records.items.size(), 4u);
  EXPECT_EQ(records[0]["text"].text, kErase);
  EXPECT_EQ(records[1]["text"].text, odd);
  EXPECT_FALSE(records[1]["checksum_ok"].boolean);
  EXPECT_EQ(records[2]["text"].text, kLine);
  EXPECT_EQ(records[2]["line"].number, 3);
  EXPECT_EQ(records[2]["attempt"].number, 1);
  EXPECT_TRUE(records[2]["checksum_ok"].boolean);
  EXPECT_FALSE(records[2]["acknowledged"].boolean);
  EXPECT_DOUBLE_EQ(records[2]["time"].number, 1.5);

  station::Station empty;
  const minijson::Value e = minijson::Parse(station::SummaryJson(empty));
  EXPECT_TRUE(e["records"].items.empty());
  EXPECT_EQ(e["memory_sha256"].text,
            "de2f256064a0af797747c2b97505dc0b9f3df0de4f489eac731c23ae9ca9cc31");
}

// A port that hands over scripted input, each piece once the station has
// written a given number of bytes, and sleeps through idle waits.
class ScriptedPort : public station::StationPort {
 public:
  struct Piece {
    std::size_t afterWritten;
    std::string bytes;
  };
  std::deque<Piece> script;
  std::string written;
  std::vector<std::string> writes;
  int waits = 0;
  bool hungUp = false;
  std::size_t writtenAtHangUp = 0;

  std::string Name() const override { return "scripted"; }
  std::string Error() const override { return "scripted failure"; }
  station::WaitResult Wait(std::int64_t timeoutUs, bool, std::vector<std::uint8_t>& in) override {
    ++waits;
    if (hungUp) return station::WaitResult::Failed;
    if (!script.empty() && written.size() >= script.front().afterWritten) {
      in.insert(in.end(), script.front().bytes.begin(), script.front().bytes.end());
      script.pop_front();
      return station::WaitResult::Ready;
    }
    // Nothing can come any more: a real port would block for ever.
    if (timeoutUs < 0) return station::WaitResult::Stop;
    // A real port's wait never ends before its time; a sleep may (Windows
    // sleeps whole milliseconds and can round down), which would count as
    // further waits of a station that does not spin.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
    while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
    return station::WaitResult::Ready;
  }
  long Write(std::span<const std::uint8_t> bytes) override {
    if (hungUp) return -1;
    writes.emplace_back(bytes.begin(), bytes.end());
    written.append(bytes.begin(), bytes.end());
    return static_cast<long>(bytes.size());
  }
  void HangUp() override {
    hungUp = true;
    writtenAtHangUp = written.size();
  }
};

TEST(StationRunLoop, RepliesInOrderThenHangsUpAfterTheLastReply) {
  testsupport::Watchdog dog(30s, "run loop");
  Options o;
  o.config.eraseMs = 60;
  o.config.lineMs = 2;
  o.config.hangUpAfterLine = 2;
  o.config.faults = {{2, 1, station::Fault::Split}};
  ScriptedPort port;
  port.script = {{0, kIdentify}, {10, kErase}, {13, kLine}, {14, kClose3}};
  station::Station s(o.config);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(station::RunStation(s, port, o, nullptr), RunEnd::HungUp);
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(port.written.substr(10), ".\r\n.\r\n");
  EXPECT_TRUE(port.hungUp);
  EXPECT_EQ(port.writtenAtHangUp, 16u);  // the split reply was out in full first
  EXPECT_GE(port.writes.size(), 5u);     // identify answer, erase ack, three pieces
  EXPECT_EQ(s.Records().size(), 2u);     // the station had stopped listening
  // The erase takes its time before the acknowledgement: a lower bound only.
  EXPECT_GE(took, 60ms);
}

TEST(StationRunLoop, IdleExitBlocksInsteadOfSpinning) {
  testsupport::Watchdog dog(30s, "idle exit");
  Options o;
  o.idleExitSeconds = 0.2;
  ScriptedPort port;
  station::Station s;
  EXPECT_EQ(station::RunStation(s, port, o, nullptr), RunEnd::IdleExit);
  // One wait for the whole idle time.
  EXPECT_LE(port.waits, 2);

  // After traffic the idle time counts from the last byte; nothing is cut short.
  ScriptedPort busy;
  busy.script = {{0, kIdentify}, {10, kErase}};
  Options slow = o;
  slow.config.eraseMs = 300;  // longer than the idle time: the reply still goes out
  station::Station t(slow.config);
  EXPECT_EQ(station::RunStation(t, busy, slow, nullptr), RunEnd::IdleExit);
  EXPECT_EQ(busy.written.substr(10), ".\r\n");
}

TEST(StationRunLoop, PacedRepliesKeepTheirContentAndOrder) {
  testsupport::Watchdog dog(30s, "paced run");
  Options o;
  o.baud = 9600;
  o.config.faults = {{2, 0, station::Fault::Echo}};
  ScriptedPort port;
  port.script = {{0, kIdentify}, {10, kErase}, {13, kLine}};
  station::Station s(o.config);
  EXPECT_EQ(station::RunStation(s, port, o, nullptr), RunEnd::Stopped);
  EXPECT_EQ(port.written.substr(10), ".\r\n" + kLine + ".\r\n");
  // Paced bytes leave as their wire time comes, not as one block.
  EXPECT_GT(port.writes.size(), 3u);
  ASSERT_EQ(s.Records().size(), 2u);
  EXPECT_LT(s.Records()[0].timeSeconds, s.Records()[1].timeSeconds);
}

}  // namespace
