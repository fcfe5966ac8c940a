// Whole upgrades from Start to their ending, through the window's logic and
// the real serial component, against a simulated station. Time-outs are the
// test firing the Delay timer; nothing waits on a clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "JsonText.h"
#include "MiniJson.h"
#include "RunReport.h"
#include "Unicode.h"

namespace {

using apptest::EngineFixture;
using station::Fault;

const std::string kErase = ":0100000307F5";
const std::string kReset1 = ":03000003060000F4";
const std::string kReset2 = ":020000030501F5";
const std::string kReset3 = ":00000008F8";
const std::string kFiller(50, '0');

class UpgradeRun : public EngineFixture {
 protected:
  // The lines the station received, in order.
  static std::vector<std::string> Lines(const station::Station& s) {
    std::vector<std::string> out;
    for (const station::Record& r : s.Records()) out.push_back(r.text);
    return out;
  }
  void UseImage(std::vector<std::string> lines) { form.progSrc.items = std::move(lines); }
  // The station's bytes, as one arrival on COM1, and what they set off.
  void Arrive(const std::string& text) {
    os.Receive("COM1", std::vector<std::uint8_t>(text.begin(), text.end()));
    ports.Settle();
  }
  // The failure ending: box, and the window's state while it was up.
  void ExpectFailure(const std::string& message) {
    ASSERT_EQ(form.boxes.size(), 1u);
    const apptest::Box& box = form.boxes[0];
    EXPECT_EQ(box.text, message);
    EXPECT_EQ(box.caption, "Upgrade error.");
    EXPECT_EQ(box.flags, 0u);
    EXPECT_EQ(box.status, "");
    EXPECT_EQ(box.progress, 0);
    EXPECT_FALSE(box.delayEnabled);
    EXPECT_FALSE(box.startEnabled);
    EXPECT_FALSE(portOpenDuringBox);
    EXPECT_EQ(form.status.caption, "");
    EXPECT_EQ(form.progress.position, 0);
    ExpectIdle();
  }

  void SetUp() override {
    form.onBox = [this](const apptest::Box&) { portOpenDuringBox = panel->Comm->IsOpen(); };
  }
  bool portOpenDuringBox = true;
};

TEST_F(UpgradeRun, TheCarriedImageFromStartToDone) {
  station::Station& s = ports.AddStation("COM1");
  Press();
  const std::vector<std::uint32_t> ticks = RunToEnd();
  // Only the start delay ran out: every line was answered in time.
  EXPECT_EQ(ticks, (std::vector<std::uint32_t>{1000}));

  const std::vector<std::string> lines = Lines(s);
  ASSERT_EQ(lines.size(), 1u + 1929u + 3u);
  EXPECT_EQ(lines.front(), kErase);
  EXPECT_EQ(lines[1], ":10000000026921026FFEEF5403FF220276C0C2AFE5");
  EXPECT_EQ(lines[1929], ":107880007322E4FF0FBF08FC22D2AF22A2B522FF71");
  for (std::size_t i = 1; i <= 1929; ++i) {
    ASSERT_EQ(lines[i].size(), 43u) << i;
    EXPECT_EQ(
        lines[i].substr(0, 7), ":10" +
                                   [&] {
                                     char address[5];
                                     std::snprintf(address, sizeof address, "%04X",
                                                   static_cast<unsigned>((i - 1) * 16));
                                     return std::string(address);
                                   }())
        << i;
  }
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{kReset1, kReset2, kReset3}));
  EXPECT_TRUE(std::all_of(s.Records().begin(), s.Records().end(),
                          [](const station::Record& r) { return r.checksumOk && r.attempt == 1; }));
  EXPECT_EQ(s.EraseCount(), 1);
  EXPECT_EQ(s.Fillers(), 0);
  EXPECT_EQ(s.JunkBytes(), 0u);
  EXPECT_TRUE(s.LastCommandSeen());
  // The station's memory holds the image, and so does the window's buffer.
  EXPECT_EQ(s.Memory(), ExpectedImage());
  EXPECT_EQ(panel->ImageBuffer, ExpectedImage());

  // The statuses in order; the progress passed the maximum (a full bar) and
  // went back to 0 for the closing commands.
  EXPECT_EQ(form.status.history,
            (std::vector<std::string>{"Initialize bootloader...", "Erase processor...",
                                      "Programming...", "Reset station...", "Done."}));
  EXPECT_EQ(form.progress.max, 30860);
  ASSERT_EQ(form.progress.requests.size(), 1929u + 1u);
  for (std::size_t i = 0; i < 1929; ++i) {
    ASSERT_EQ(form.progress.requests[i], static_cast<std::int32_t>(16 * (i + 1))) << i;
  }
  EXPECT_EQ(form.progress.positions[1928], 30860) << "full bar after the last block";
  EXPECT_EQ(form.progress.position, 0);
  EXPECT_TRUE(form.boxes.empty());
  EXPECT_TRUE(componentBoxes.boxes.empty());
  ExpectIdle();
  EXPECT_EQ(form.status.caption, "Done.");
  EXPECT_FALSE(ports.IsOpen("COM1"));
}

TEST_F(UpgradeRun, ProgressCountsAcknowledgedBlocksAndStandsFullAtTheEnd) {
  // Two blocks: 0x0000 and 0x7880, the maximum 0x788C from the record start.
  UseImage({":0100000011EE", ":01788C00A2B1", ":00000001FF"});
  ports.AddStation("COM1", {.faults = {{3, 1, Fault::Silent}}});
  Press();
  EXPECT_EQ(form.progress.max, 30860);
  RunToEnd();
  // A missed reply moves nothing; blank blocks move nothing; the last
  // acknowledgement asks for 30,864, past the maximum: a full bar; then 0
  // for the closing lines.
  EXPECT_EQ(form.progress.requests, (std::vector<std::int32_t>{16, 30864, 0}));
  EXPECT_EQ(form.progress.positions, (std::vector<std::int32_t>{16, 30860, 0}));
  EXPECT_EQ(form.status.caption, "Done.");
}

TEST_F(UpgradeRun, AnAllBlankImageGoesStraightToTheClosingCommands) {
  UseImage({":00000001FF"});
  station::Station& s = ports.AddStation("COM1");
  Press();
  RunToEnd();
  EXPECT_EQ(Lines(s), (std::vector<std::string>{kErase, kReset1, kReset2, kReset3}));
  EXPECT_EQ(form.status.history,
            (std::vector<std::string>{"Initialize bootloader...", "Erase processor...",
                                      "Programming...", "Reset station...", "Done."}));
  EXPECT_EQ(form.status.caption, "Done.");
  ExpectIdle();
}

TEST_F(UpgradeRun, ABlockAtTheTopOfMemoryEndsProgrammingOnItsAcknowledgement) {
  UseImage({":01FFF5005A5B", ":00000001FF"});
  station::Station& s = ports.AddStation("COM1");
  Press();
  RunToEnd();
  const std::vector<std::string> lines = Lines(s);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], ":10FFF000FFFFFFFFFF5AFFFFFFFFFFFFFFFFFFFFB6");
  EXPECT_EQ(lines[2], kReset1);
  EXPECT_EQ(s.Memory()[0xFFF5], 0x5A);
  EXPECT_EQ(s.Memory()[0xFFF4], 0xFF);
  EXPECT_EQ(form.status.caption, "Done.");
}

TEST_F(UpgradeRun, ThreeTimeOutsThenAnAcknowledgement) {
  UseImage({":0100000011EE", ":0100100022CD", ":00000001FF"});
  station::Station& s = ports.AddStation("COM1", {.faults = {{2, 1, Fault::Silent},
                                                             {2, 2, Fault::Silent},
                                                             {2, 3, Fault::Silent},
                                                             {3, 1, Fault::Silent}}});
  Press();
  const std::vector<std::uint32_t> ticks = RunToEnd();
  // Start delay, three time-outs of line 2, then the wait for the answers its
  // first three copies may still give (four copies' time); one time-out of
  // line 3, whose budget began again at 0, and the wait for its first copy.
  EXPECT_EQ(ticks, (std::vector<std::uint32_t>{1000, 1000, 1000, 1000, 4000, 1000, 2000}));
  const std::string line2 = ":1000000011FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEE";
  const std::string line3 = ":1000100022FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFCD";
  EXPECT_EQ(ports.Written("COM1").substr(10), kErase + line2 + kFiller + line2 + kFiller + line2 +
                                                  kFiller + line2 + line3 + kFiller + line3 +
                                                  kReset1 + kReset2 + kReset3);
  EXPECT_EQ(s.Fillers(), 4);
  EXPECT_EQ(form.status.caption, "Done.");
  EXPECT_TRUE(form.boxes.empty());
}

TEST_F(UpgradeRun, TwoTimeOutsThenTwoNegativeRepliesFail) {
  UseImage({":0100000011EE", ":00000001FF"});
  station::Station& s = ports.AddStation("COM1", {.faults = {{2, 1, Fault::Silent},
                                                             {2, 2, Fault::Silent},
                                                             {2, 3, Fault::Negative},
                                                             {2, 4, Fault::Negative}}});
  Press();
  RunToEnd();
  const std::string line2 = ":1000000011FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEE";
  // No filler before a resend after a negative reply; never a fifth send.
  EXPECT_EQ(ports.Written("COM1").substr(10),
            kErase + line2 + kFiller + line2 + kFiller + line2 + line2);
  EXPECT_EQ(s.Fillers(), 2);
  ExpectFailure("Communication error.");
}

TEST_F(UpgradeRun, FourTimeOutsOfAClosingCommandFail) {
  UseImage({":00000001FF"});
  ports.AddStation("COM1", {.faults = {{3, 0, Fault::Silent}}});
  Press();
  RunToEnd();
  EXPECT_EQ(ports.Written("COM1").substr(10),
            kErase + kReset1 + kReset2 + kFiller + kReset2 + kFiller + kReset2 + kFiller + kReset2);
  ExpectFailure("Command timeout.");
}

TEST_F(UpgradeRun, TheEraseLineIsNeverSentTwice) {
  station::Station& s = ports.AddStation("COM1", {.faults = {{1, 0, Fault::Negative}}});
  Press();
  RunToEnd();
  EXPECT_EQ(Lines(s), (std::vector<std::string>{kErase}));
  ExpectFailure("Communication error.");

  // A second Start after the failure works from scratch; this time the
  // erase goes unanswered and runs out after its 10 seconds.
  form.boxes.clear();
  form.status.history.clear();
  ports.ClearWritten("COM1");
  ports.AddStation("COM2", {.faults = {{1, 0, Fault::Silent}}});
  source.names = {"COM2"};
  portOpenDuringBox = true;
  Press();
  EXPECT_EQ(RunToEnd(), (std::vector<std::uint32_t>{1000, 10000}));
  EXPECT_EQ(ports.Written("COM2").substr(10), kErase);
  ExpectFailure("Command timeout.");
}

TEST_F(UpgradeRun, CharactersDuringTheStartDelayAreDroppedUnread) {
  UseImage({":00000001FF"});
  station::Station& s = ports.AddStation("COM1", {.faults = {{1, 0, Fault::Silent}}});
  Press();
  // A full acknowledgement arrives while the erase line is not even out.
  os.Receive("COM1", {'.', '\r', '\n'});
  ports.Settle();
  EXPECT_EQ(panel->UpgradeState, 1u);
  EXPECT_TRUE(panel->SendPending);
  EXPECT_EQ(os.CountCalls("ReadFile 3"), 0u);
  FireDelay(form);
  ports.Settle();
  // The purge before the erase line dropped it: the run still waits.
  EXPECT_EQ(Lines(s), (std::vector<std::string>{kErase}));
  EXPECT_EQ(panel->UpgradeState, 1u);
  EXPECT_EQ(form.status.caption, "Erase processor...");
  EXPECT_EQ(os.WithPort("COM1", [](auto& p) { return p.input.size(); }), 0u);
  RunToEnd();
  ExpectFailure("Command timeout.");
}

TEST_F(UpgradeRun, NoisyAndSplitRepliesAreRecognised) {
  UseImage({":0100000011EE", ":0100100022CD", ":0100200033AC", ":00000001FF"});
  station::Station& s = ports.AddStation("COM1", {.faults = {{1, 1, Fault::Split},
                                                             {2, 1, Fault::Echo},
                                                             {3, 1, Fault::Garbage},
                                                             {4, 1, Fault::Split},
                                                             {5, 1, Fault::Echo}}});
  Press();
  EXPECT_EQ(RunToEnd(), (std::vector<std::uint32_t>{1000}));
  EXPECT_EQ(Lines(s).size(), 1u + 3u + 3u);
  EXPECT_EQ(s.Fillers(), 0);
  EXPECT_EQ(form.status.caption, "Done.");
  EXPECT_TRUE(form.boxes.empty());
}

TEST_F(UpgradeRun, ASecondAcknowledgementInOneReadNeverAnswersTheNextLine) {
  // The station answers line 2 twice at once, then refuses line 3. The
  // second acknowledgement came before line 3 was written: line 3 waits for
  // its own reply, is refused, and goes out again.
  UseImage({":0100000011EE", ":0100100022CD", ":00000001FF"});
  station::Station& s =
      ports.AddStation("COM1", {.faults = {{2, 1, Fault::TwoReplies}, {3, 1, Fault::Negative}}});
  Press();
  // The refusal is judged once the burst it may begin is over.
  EXPECT_EQ(RunToEnd(), (std::vector<std::uint32_t>{1000, upgrade::kBurstMs}));
  const std::string line2 = ":1000000011FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEE";
  const std::string line3 = ":1000100022FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFCD";
  EXPECT_EQ(Lines(s),
            (std::vector<std::string>{kErase, line2, line3, line3, kReset1, kReset2, kReset3}));
  EXPECT_EQ(s.Memory()[0x0010], 0x22);
  EXPECT_EQ(s.Memory(), panel->ImageBuffer);
  EXPECT_EQ(form.status.caption, "Done.");
  EXPECT_TRUE(form.boxes.empty());
}

TEST_F(UpgradeRun, AnEchoEndingInCrLfBeforeTheAcknowledgementIsNoRefusal) {
  // On the last command the station restarts: a resend would go unanswered.
  UseImage({":0100000011EE", ":00000001FF"});
  station::Station& s = ports.AddStation(
      "COM1",
      {.faults = {{1, 1, Fault::EchoCrLf}, {2, 0, Fault::EchoCrLf}, {5, 1, Fault::EchoCrLf}}});
  Press();
  EXPECT_EQ(RunToEnd(), (std::vector<std::uint32_t>{1000}));
  EXPECT_EQ(Lines(s).size(), 5u);  // no line went out twice
  EXPECT_EQ(form.status.caption, "Done.");
  EXPECT_TRUE(form.boxes.empty());
}

TEST_F(UpgradeRun, AnEchoOfTheLineIsNoAnswerWheneverItComes) {
  // Echoed on arrival, in two reads, while the erase takes its time: the
  // erase's reply time still runs, and its acknowledgement passes it.
  UseImage({":00000001FF"});
  station::Station& s = ports.AddStation("COM1", {.faults = {{1, 0, Fault::Silent}}});
  Press();
  FireDelay(form);
  ports.Settle();
  Arrive(":01000003");
  Arrive("07F5\r\n");
  EXPECT_EQ(form.delay.interval, 10000u);
  EXPECT_TRUE(form.delay.enabled);
  EXPECT_EQ(form.status.caption, "Erase processor...");
  Arrive(".\r\n");
  RunToEnd();
  EXPECT_EQ(Lines(s), (std::vector<std::string>{kErase, kReset1, kReset2, kReset3}));
  EXPECT_EQ(form.status.caption, "Done.");
  EXPECT_TRUE(form.boxes.empty());
}

TEST_F(UpgradeRun, AReplyArrivingAsItsWaitRunsOutIsTakenWhole) {
  // The full stop before a wait runs out, CR LF after: at the end of a
  // refusal's burst, of a reply time, and of the last command's burst. Cut
  // in two, the first would pass the resend on a stray LF, the last end in a
  // false "Command timeout." (the station has restarted).
  UseImage({":0100000011EE", ":00000001FF"});
  station::Station& s = ports.AddStation(
      "COM1", {.faults = {{2, 1, Fault::Silent}, {3, 1, Fault::Silent}, {5, 1, Fault::Silent}}});
  Press();
  FireDelay(form);
  ports.Settle();
  const auto straddle = [&](std::uint32_t wait) {
    Arrive(".");
    EXPECT_EQ(FireDelay(form), wait);
    EXPECT_EQ(form.delay.interval, upgrade::kBurstMs);
    Arrive("\r\n");
  };
  Arrive("E\r\n");
  straddle(upgrade::kBurstMs);
  straddle(upgrade::kLineReplyMs);
  Arrive("E\r\n");
  straddle(upgrade::kBurstMs);
  EXPECT_EQ(Lines(s),
            (std::vector<std::string>{kErase, ":1000000011FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEE",
                                      kReset1, kReset2, kReset3}));
  EXPECT_EQ(s.Fillers(), 0);
  EXPECT_EQ(form.status.caption, "Done.");
  EXPECT_TRUE(form.boxes.empty());
  ExpectIdle();
}

TEST_F(UpgradeRun, BytesReadBeforeALineGoesOutNeverAnswerIt) {
  // A full stop after the erase's acknowledgement, then CR LF once the next
  // line is out: a refusal of that line, never its acknowledgement.
  UseImage({":00000001FF"});
  station::Station& s =
      ports.AddStation("COM1", {.faults = {{1, 1, Fault::Silent}, {2, 1, Fault::Silent}}});
  Press();
  FireDelay(form);
  ports.Settle();
  os.Receive("COM1", {'.', '\r', '\n', '.'});
  ports.Settle();
  ASSERT_EQ(Lines(s), (std::vector<std::string>{kErase, kReset1}));
  os.Receive("COM1", {'\r', '\n'});
  ports.Settle();
  EXPECT_EQ(form.delay.interval, upgrade::kBurstMs);
  EXPECT_EQ(Lines(s).size(), 2u);
  RunToEnd();
  EXPECT_EQ(Lines(s), (std::vector<std::string>{kErase, kReset1, kReset1, kReset2, kReset3}));
  EXPECT_EQ(form.status.caption, "Done.");
}

TEST_F(UpgradeRun, ALateAnswerIsNeverTakenForTheNextLine) {
  // Line 2's first copy is answered only after its time-out and resend; then
  // line 3 is refused once. Taking the late answer for the resend's would make
  // the resend's answer pass line 3, and line 3's refusal its resend.
  UseImage({":0100000011EE", ":0100100022CD", ":00000001FF"});
  station::Station& s = ports.AddStation(
      "COM1", {.faults = {{2, 1, Fault::Silent}, {2, 2, Fault::Silent}, {3, 1, Fault::Negative}}});
  Press();
  FireDelay(form);
  ports.Settle();
  EXPECT_EQ(FireDelay(form), 1000u);  // line 2 timed out: filler and resend
  ports.Settle();
  const auto lateAnswer = [&] {
    os.Receive("COM1", {'.', '\r', '\n'});
    ports.Settle();
  };
  lateAnswer();  // the first copy's
  EXPECT_EQ(Lines(s).size(), 3u) << "line 3 went out while the resend's answer was due";
  EXPECT_EQ(form.delay.interval, 2000u);
  lateAnswer();  // the resend's
  RunToEnd();
  const std::string line3 = ":1000100022FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFCD";
  const std::vector<std::string> lines = Lines(s);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), line3), 2);
  EXPECT_EQ(form.status.caption, "Done.");
  EXPECT_EQ(s.Memory()[0x0010], 0x22);
}

TEST_F(UpgradeRun, CharactersAfterTheLastAcknowledgementAreIgnored) {
  UseImage({":00000001FF"});
  station::Station& s = ports.AddStation("COM1", {.faults = {{4, 1, Fault::TwoReplies}}});
  Press();
  RunToEnd();
  EXPECT_EQ(Lines(s), (std::vector<std::string>{kErase, kReset1, kReset2, kReset3}));
  EXPECT_EQ(form.status.caption, "Done.");
  EXPECT_TRUE(form.boxes.empty());
  ExpectIdle();
}

TEST_F(UpgradeRun, AnEventAnnouncingMoreThanTheBufferIsReadWhole) {
  UseImage({":00000001FF"});
  station::Station& s = ports.AddStation("COM1", {.faults = {{1, 0, Fault::Silent}}});
  Press();
  FireDelay(form);
  ports.Settle();
  ASSERT_EQ(Lines(s), (std::vector<std::string>{kErase}));
  // 300 bytes of noise and an acknowledgement, in one event.
  std::vector<std::uint8_t> burst(303, 'x');
  burst[300] = '.';
  burst[301] = '\r';
  burst[302] = '\n';
  os.ClearCalls();
  os.Receive("COM1", burst);
  ports.Settle();
  EXPECT_EQ(os.CountCalls("ReadFile 256"), 1u);
  EXPECT_EQ(os.CountCalls("ReadFile 47"), 1u);
  // The erase was acknowledged, and the station answered the closing lines.
  EXPECT_EQ(Lines(s), (std::vector<std::string>{kErase, kReset1, kReset2, kReset3}));
  EXPECT_EQ(form.status.caption, "Done.");
  ExpectIdle();
}

TEST_F(UpgradeRun, ASecondStartAfterDoneRunsAFreshUpgrade) {
  UseImage({":0100000011EE", ":00000001FF"});
  station::Station& s = ports.AddStation("COM1");
  Press();
  RunToEnd();
  ASSERT_EQ(form.status.caption, "Done.");
  panel->ImageBuffer.fill(0x00);
  Press();
  RunToEnd();
  EXPECT_EQ(form.status.caption, "Done.");
  EXPECT_EQ(s.EraseCount(), 2);
  EXPECT_EQ(s.IdentifyFrames(), 2);
  EXPECT_EQ(panel->ImageBuffer[0], 0x11);
  EXPECT_EQ(panel->ImageBuffer[1], 0xFF);
  EXPECT_EQ(source.calls, 2);
}

TEST_F(UpgradeRun, AReplyCutShortByAnEndingNeverCompletesInTheNextRun) {
  UseImage({":00000001FF"});
  ports.AddStation("COM1", {.faults = {{1, 0, Fault::Silent}}});
  Press();
  FireDelay(form);
  ports.Settle();
  // The station got as far as a full stop and CR when the erase ran out.
  os.Receive("COM1", {'.', '\r'});
  ports.Settle();
  RunToEnd();
  ExpectFailure("Command timeout.");

  form.boxes.clear();
  station::Station& next = ports.AddStation("COM2", {.faults = {{1, 0, Fault::Silent}}});
  source.names = {"COM2"};
  Press();
  FireDelay(form);
  ports.Settle();
  ASSERT_EQ(next.EraseCount(), 0);
  // A lone LF is no acknowledgement of the erase.
  os.Receive("COM2", {'\n'});
  ports.Settle();
  EXPECT_EQ(panel->UpgradeState, 1u);
  EXPECT_EQ(form.status.caption, "Erase processor...");
  RunToEnd();
  ExpectFailure("Command timeout.");
}

TEST_F(UpgradeRun, EveryRunOfTheWindowIsRecordedAsOneJsonLine) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("ksidu-runs-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
       ".jsonl");
  std::filesystem::remove(path);
  std::string error;
  std::unique_ptr<app::TRunReport> report = app::TRunReport::Open(path.string(), error);
  ASSERT_TRUE(report) << error;
  app::TRunReporter reporter(*report, app::ImageReportSource("ks-idu"));
  app::RecordRuns(*panel, reporter, {});

  // Not found, then done, then closed during programming.
  UseImage({":0100000011EE", ":0100100022CD", ":00000001FF"});
  source.names = {"COM9"};
  ports.AddPort("COM9", apptest::SimulatedPorts::kAllLines, false);
  Press();
  RunToEnd();
  source.names = {"COM1"};
  ports.AddStation("COM1");
  Press();
  RunToEnd();
  ports.AddStation("COM2", {.faults = {{3, 0, Fault::Silent}}});
  source.names = {"COM2"};
  Press();
  FireDelay(form);
  ports.Settle();
  app::TCloseAction action = app::TCloseAction::Free;
  form.OnClose(&form, action);

  // Windows removes no file that is still open.
  panel->OnRunStarted = nullptr;
  panel->OnRunEnded = nullptr;
  report.reset();
  std::vector<minijson::Value> records;
  {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
      records.push_back(minijson::Parser(line).Document());
  }
  std::filesystem::remove(path);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["outcome"].text, "not found");
  EXPECT_EQ(records[0]["exit_status"].number, 3);
  EXPECT_EQ(records[0]["passed_over"][0]["port"].text, "COM9");
  EXPECT_EQ(records[0]["port"].kind, minijson::Value::Kind::Null);
  EXPECT_EQ(records[1]["outcome"].text, "done");
  EXPECT_EQ(records[1]["port"].text, "COM1");
  EXPECT_EQ(records[1]["lines_sent"].number, 1 + 2 + 3);
  EXPECT_EQ(records[1]["last_acknowledged_address"].text, "0x0010");
  EXPECT_EQ(records[1]["identify_reply"].text.substr(0, 4), "5A0A");
  EXPECT_EQ(records[1]["image_sha256"].text.size(), 64u);
  EXPECT_EQ(records[2]["outcome"].text, "interrupted");
  EXPECT_EQ(records[2]["blocks_acknowledged"].number, 1);
  EXPECT_NE(records[2]["station"].text.find("erased; 1 of 2 blocks written"), std::string::npos)
      << records[2]["station"].text;
}

}  // namespace

// The record's strings: plain ASCII JSON that reads back as the UTF-8 text
// it was given; bytes that are not UTF-8 read back as U+FFFD, one for each
// maximal part of a sequence that could have begun well.
TEST(RunRecordText, IsAsciiJsonThatReadsBackAsTheText) {
  const struct {
    std::string text;
    std::string json;
    std::string readBack;
  } rows[] = {
      {"COM1", "\"COM1\"", "COM1"},
      {"a\"b\\c\x01\x7f\n\t", "\"a\\\"b\\\\c\\u0001\\u007f\\n\\t\"", "a\"b\\c\x01\x7f\n\t"},
      {"C:\\Users\\Jos\xC3\xA9", "\"C:\\\\Users\\\\Jos\\u00e9\"", "C:\\Users\\Jos\xC3\xA9"},
      {"\xD0\x96 \xE2\x82\xAC", "\"\\u0416 \\u20ac\"", "\xD0\x96 \xE2\x82\xAC"},
      {"\xF0\x9F\x98\x80", "\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
      // A name in the ANSI code page (Latin-1 e acute), cut and overlong
      // sequences, a surrogate, a value above U+10FFFF, bytes never in UTF-8.
      {"Jos\xE9", "\"Jos\\ufffd\"", "Jos\xEF\xBF\xBD"},
      {"\xE2\x82"
       "A",
       "\"\\ufffdA\"",
       "\xEF\xBF\xBD"
       "A"},
      {"\xC0\xAF", "\"\\ufffd\\ufffd\"", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\"", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\"",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xFF\xF0\x9F\x98", "\"\\ufffd\\ufffd\"", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& row : rows) {
    const std::string json = app::JsonString(row.text);
    EXPECT_EQ(json, row.json);
    EXPECT_EQ(minijson::Parse("[" + json + "]")[0].text, row.readBack) << json;
  }
  // The same reading serves the Windows boundary: UTF-16 and back.
  EXPECT_EQ(unicode::ToUtf16("\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80"), u"\u0416\u20ac\U0001F600");
  EXPECT_EQ(unicode::FromUtf16(u"\u0416\u20ac\U0001F600"), "\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(unicode::FromUtf16(std::u16string(1, u'\xD800') + u"A"),
            "\xEF\xBF\xBD"
            "A");
}

// The record file is opened for each record: a file renamed between two
// records leaves the next in a new file of the old name; a record that
// cannot be written is kept, said why, and written with the next one; a
// folder that does not exist is refused at start.
TEST(RunReportFile, EachRecordFindsTheFileOfItsName) {
#ifdef _WIN32
  const std::string kNoFolder = "Windows error 3: ";
#else
  const std::string kNoFolder = "No such file or directory";
#endif
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("ksidu-report-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  const std::filesystem::path moved = folder.string() + "-moved";
  std::filesystem::create_directories(folder);
  const std::filesystem::path path = folder / "runs.jsonl";
  auto lines = [](const std::filesystem::path& file) {
    std::vector<std::string> out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  };

  std::string error;
  EXPECT_FALSE(app::TRunReport::Open((folder / "none" / "runs.jsonl").string(), error));
  EXPECT_NE(error.find("cannot append to the report file"), std::string::npos) << error;
  EXPECT_NE(error.find(kNoFolder), std::string::npos) << error;

  std::unique_ptr<app::TRunReport> report = app::TRunReport::Open(path.string(), error);
  ASSERT_TRUE(report) << error;
  EXPECT_TRUE(report->Flush());
  EXPECT_TRUE(report->Append("{\"n\":1}"));
  std::filesystem::rename(path, folder / "runs-yesterday.jsonl");
  EXPECT_TRUE(report->Append("{\"n\":2}"));
  EXPECT_EQ(lines(folder / "runs-yesterday.jsonl"), std::vector<std::string>{"{\"n\":1}"});
  EXPECT_EQ(lines(path), std::vector<std::string>{"{\"n\":2}"});

  // The folder gone for a while (a share that dropped out).
  std::filesystem::rename(folder, moved);
  EXPECT_FALSE(report->Append("{\"n\":3}"));
  EXPECT_EQ(report->Kept(), std::vector<std::string>{"{\"n\":3}"});
  std::string quoted = "'";
  quoted += path.string();
  quoted += "'";
  EXPECT_NE(report->Error().find(quoted), std::string::npos) << report->Error();
  const std::string told = app::KeptRecordText(*report);
  EXPECT_NE(told.find(kNoFolder), std::string::npos) << told;
  EXPECT_NE(told.find("kept and written with the next run's record"), std::string::npos) << told;
  std::filesystem::rename(moved, folder);
  EXPECT_TRUE(report->Append("{\"n\":4}"));
  EXPECT_TRUE(report->Kept().empty());
  EXPECT_EQ(lines(path), (std::vector<std::string>{"{\"n\":2}", "{\"n\":3}", "{\"n\":4}"}));
  std::filesystem::remove_all(folder);
}
