// The engine's pure parts: the identify exchange, the bootloader lines, the
// reply recognition and the sequencer's decisions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <vector>

#include "Bootloader.h"
#include "Identify.h"
#include "Sequencer.h"

namespace {

using upgrade::IdentifyReply;
using upgrade::ReplyVerdict;

// A reply of length bytes (2..10) with the given body and a correct
// checksum, padded with pad to the 10 bytes read.
IdentifyReply MakeReply(std::size_t length, std::uint8_t status, std::uint8_t pad = 0x00) {
  IdentifyReply r;
  r.fill(pad);
  r[0] = 0x5A;
  r[1] = static_cast<std::uint8_t>(length);
  for (std::size_t i = 2; i + 2 < length; ++i) r[i] = static_cast<std::uint8_t>(0x10 + i);
  if (length > 6) r[4] = status;
  unsigned sum = 0;
  for (std::size_t i = 0; i + 2 < length; ++i) sum += r[i];
  const unsigned checksum = (0x10000u - (sum & 0xFFFF)) & 0xFFFF;
  r[length - 2] = static_cast<std::uint8_t>(checksum >> 8);
  r[length - 1] = static_cast<std::uint8_t>(checksum);
  return r;
}

TEST(Identify, FrameIsBuiltFromItsFieldsAndChecksum) {
  const upgrade::IdentifyFrame frame = upgrade::BuildIdentifyFrame();
  EXPECT_EQ(frame,
            (upgrade::IdentifyFrame{0x5A, 0x0A, 0x00, 0xF1, 0x30, 0x30, 0x30, 0x30, 0xFD, 0xEB}));
  // The checksum rule holds in both directions: sum plus checksum is 0.
  const std::array<std::uint8_t, 3> bytes{0xFF, 0xFF, 0x02};
  EXPECT_EQ(upgrade::FrameChecksum(bytes), 0xFE00);
  EXPECT_EQ(upgrade::FrameChecksum({}), 0x0000);
}

TEST(Identify, ReplyCheckAcrossLengthsAndStatus) {
  // The refusal as a station sends it.
  EXPECT_EQ(upgrade::CheckIdentifyReply({0x5A, 0x07, 0x00, 0x00, 0xA2, 0xFE, 0xFD}),
            ReplyVerdict::NotSupported);
  for (std::size_t length = 4; length <= 10; ++length) {
    SCOPED_TRACE(length);
    const bool statusCounts = length == 7 || length == 8;
    EXPECT_EQ(upgrade::CheckIdentifyReply(MakeReply(length, 0xA2)),
              statusCounts ? ReplyVerdict::NotSupported : ReplyVerdict::Accepted);
    EXPECT_EQ(upgrade::CheckIdentifyReply(MakeReply(length, 0x00)), ReplyVerdict::Accepted);
    // Bytes after the reply's own length are not looked at.
    EXPECT_EQ(upgrade::CheckIdentifyReply(MakeReply(length, 0x00, 0xEE)), ReplyVerdict::Accepted);
    // A checksum off by one, or another start byte, fails the attempt.
    IdentifyReply off = MakeReply(length, 0x00);
    ++off[length - 1];
    EXPECT_EQ(upgrade::CheckIdentifyReply(off), ReplyVerdict::Failed);
    IdentifyReply start = MakeReply(length, 0x00);
    start[0] = 0x5B;
    EXPECT_EQ(upgrade::CheckIdentifyReply(start), ReplyVerdict::Failed);
  }
  // Lengths whose checksum would lie outside the bytes read fail, whatever
  // the buffer holds (under the sanitizers, a read past it would be caught).
  for (int length : {0, 1, 11, 12, 0x80, 0xFF}) {
    IdentifyReply r = MakeReply(10, 0x00);
    r[1] = static_cast<std::uint8_t>(length);
    EXPECT_EQ(upgrade::CheckIdentifyReply(r), ReplyVerdict::Failed) << length;
  }
  // Nothing read at all: the cleared buffer fails.
  EXPECT_EQ(upgrade::CheckIdentifyReply(IdentifyReply{}), ReplyVerdict::Failed);
}

using Image = std::array<std::uint8_t, upgrade::kImageSize>;

Image BlankImage() {
  Image image;
  image.fill(0xFF);
  return image;
}

TEST(Bootloader, FixedLinesAndFiller) {
  EXPECT_EQ(upgrade::FixedLine(1), ":0100000307F5");
  EXPECT_EQ(upgrade::FixedLine(3), ":03000003060000F4");
  EXPECT_EQ(upgrade::FixedLine(4), ":020000030501F5");
  EXPECT_EQ(upgrade::FixedLine(5), ":00000008F8");
  EXPECT_EQ(upgrade::FixedLine(0), "");
  EXPECT_EQ(upgrade::FixedLine(2), "");
  EXPECT_EQ(upgrade::kFiller.size(), 50u);
  EXPECT_TRUE(std::all_of(upgrade::kFiller.begin(), upgrade::kFiller.end(),
                          [](char c) { return c == '0'; }));
}

TEST(Bootloader, ProgrammingLinesAndBlankBlocks) {
  Image image = BlankImage();
  for (int i = 0; i < 16; ++i) image[0x1230 + i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(upgrade::ProgrammingLine(image, 0x1230), ":10123000000102030405060708090A0B0C0D0E0F36");

  // Fifteen FF and one 00 is not blank, and is sent whole.
  image[0x000F] = 0x00;
  EXPECT_FALSE(upgrade::BlockIsBlank(image, 0x0000));
  EXPECT_EQ(upgrade::ProgrammingLine(image, 0x0000), ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00FF");

  // Upper-case digits; the last block is addressed FFF0.
  image[0xFFF0] = 0xAB;
  const auto last = upgrade::ProgrammingLine(image, 0xFFF0);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->size(), 43u);
  EXPECT_EQ(last->substr(0, 11), ":10FFF000AB");
  // Checksum: 0x10 + 0xFF + 0xF0 + 0xAB + 15 * 0xFF = 0x119B; 0x100 - 0x9B.
  EXPECT_EQ(last->substr(41), "65");

  // Blank blocks give no line; addresses off the grid or past the end none.
  EXPECT_TRUE(upgrade::BlockIsBlank(image, 0x0010));
  EXPECT_FALSE(upgrade::ProgrammingLine(image, 0x0010).has_value());
  EXPECT_FALSE(upgrade::ProgrammingLine(image, 0x1231).has_value());
  EXPECT_FALSE(upgrade::ProgrammingLine(image, 0x10000).has_value());
}

// Feeds text and lists the replies that completed.
std::vector<upgrade::Reply> Feed(std::array<char, 3>& history, const std::string& text) {
  std::vector<upgrade::Reply> out;
  for (char c : text) {
    const upgrade::Reply r = upgrade::FeedReplyChar(history, c);
    if (r != upgrade::Reply::None) out.push_back(r);
  }
  return out;
}

TEST(Bootloader, ReplyRecognition) {
  using R = upgrade::Reply;
  std::array<char, 3> h{};
  EXPECT_EQ(Feed(h, ".\r\n"), (std::vector<R>{R::Positive}));
  EXPECT_EQ(h, (std::array<char, 3>{0, 0, '.'}));
  // A bare CR LF right after a complete reply is negative.
  EXPECT_EQ(Feed(h, "\r\n"), (std::vector<R>{R::Negative}));
  // An echo before the full stop is fine; a letter before CR is negative.
  EXPECT_EQ(Feed(h, ":0100000307F5.\r\nX\r\n"), (std::vector<R>{R::Positive, R::Negative}));
  // Lone or reversed CR and LF complete nothing; the next CR LF does.
  EXPECT_EQ(Feed(h, ".\r.\n.\n\r"), (std::vector<R>{}));
  EXPECT_EQ(Feed(h, "\n"), (std::vector<R>{R::Negative}));
  EXPECT_EQ(Feed(h, ".\r\n.\r\n"), (std::vector<R>{R::Positive, R::Positive}));
  // Split over separate feeds, exactly as if together.
  std::array<char, 3> split{};
  EXPECT_TRUE(Feed(split, ".").empty());
  EXPECT_TRUE(Feed(split, "\r").empty());
  EXPECT_EQ(Feed(split, "\n"), (std::vector<R>{R::Positive}));
}

struct RunFields {
  std::uint32_t UpgradeState = 0;
  std::uint32_t RetryCount = 0;
  std::int32_t LineAddress = 0;
  std::string ResultText = "OK";
  bool SendPending = false;
  std::array<char, 3> RxHistory{};
  upgrade::ReplyTally Tally;
  upgrade::SequencerFields f{UpgradeState, RetryCount, LineAddress, ResultText,
                             SendPending,  RxHistory,  Tally};
};

TEST(Sequencer, RetryBudgetIsSharedByTimeoutsAndNegativeReplies) {
  // Three time-outs then an acknowledgement: filler before each resend.
  RunFields r;
  r.UpgradeState = 3;
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(upgrade::OnReplyTimeout(r.f)) << i;
    EXPECT_TRUE(r.SendPending);
    ASSERT_EQ(upgrade::CheckSendLine(r.f), upgrade::SendGate::Proceed);
    EXPECT_EQ(upgrade::FormLine(r.f, BlankImage()).line, ":03000003060000F4");
  }
  upgrade::ActOnAnswer(r.f, true);
  EXPECT_EQ(r.RetryCount, 0u);
  EXPECT_EQ(r.UpgradeState, 4u);

  // Two time-outs and two negative replies: the fourth failure ends it, with
  // the message of its kind and no filler before a resend after a negative.
  RunFields n;
  n.UpgradeState = 4;
  EXPECT_TRUE(upgrade::OnReplyTimeout(n.f));
  upgrade::FormLine(n.f, BlankImage());
  EXPECT_TRUE(upgrade::OnReplyTimeout(n.f));
  upgrade::FormLine(n.f, BlankImage());
  upgrade::ActOnAnswer(n.f, false);
  EXPECT_TRUE(n.SendPending);
  EXPECT_EQ(n.ResultText, "OK");
  upgrade::FormLine(n.f, BlankImage());
  upgrade::ActOnAnswer(n.f, false);
  EXPECT_EQ(n.ResultText, "Communication error.");
  EXPECT_EQ(upgrade::CheckSendLine(n.f), upgrade::SendGate::Fail);
  EXPECT_EQ(upgrade::TakeFailure(n.f), "Communication error.");
  EXPECT_EQ(n.UpgradeState, 0u);
  EXPECT_EQ(n.ResultText, "OK");

  // Four time-outs of one line: "Command timeout.", no filler the last time.
  RunFields t;
  t.UpgradeState = 5;
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(upgrade::OnReplyTimeout(t.f));
    upgrade::FormLine(t.f, BlankImage());
  }
  EXPECT_FALSE(upgrade::OnReplyTimeout(t.f));
  EXPECT_EQ(t.ResultText, "Command timeout.");
}

TEST(Sequencer, TheEraseLineIsNeverSentTwice) {
  RunFields start;
  start.UpgradeState = 1;
  start.SendPending = true;
  // The start delay: the erase line is due, no filler, no retry spent.
  EXPECT_FALSE(upgrade::OnReplyTimeout(start.f));
  ASSERT_EQ(upgrade::CheckSendLine(start.f), upgrade::SendGate::Proceed);
  const upgrade::LineToSend erase = upgrade::FormLine(start.f, BlankImage());
  EXPECT_EQ(erase.line, ":0100000307F5");
  EXPECT_EQ(erase.replyMs, 10000u);
  EXPECT_FALSE(start.SendPending);

  RunFields timeout;
  timeout.UpgradeState = 1;
  EXPECT_FALSE(upgrade::OnReplyTimeout(timeout.f));
  EXPECT_EQ(timeout.ResultText, "Command timeout.");
  EXPECT_FALSE(timeout.SendPending);

  upgrade::ActOnAnswer(start.f, false);
  EXPECT_EQ(start.ResultText, "Communication error.");
  EXPECT_FALSE(start.SendPending);
}

TEST(Sequencer, ProgrammingPassesOverBlankBlocksToTheClosingCommands) {
  // An all-blank image: straight from the erase acknowledgement to state 3.
  RunFields r;
  r.UpgradeState = 1;
  const upgrade::ReplyEffect erased = upgrade::ActOnAnswer(r.f, true);
  EXPECT_EQ(erased.status, "Programming...");
  EXPECT_EQ(r.UpgradeState, 2u);
  EXPECT_EQ(r.LineAddress, 0);
  r.RetryCount = 2;
  const upgrade::LineToSend over = upgrade::FormLine(r.f, BlankImage());
  EXPECT_TRUE(over.programmingOver);
  EXPECT_EQ(r.UpgradeState, 3u);
  EXPECT_EQ(r.RetryCount, 0u);
  EXPECT_TRUE(r.SendPending);
  EXPECT_EQ(upgrade::FormLine(r.f, BlankImage()).line, ":03000003060000F4");

  // A block at 0xFFF0: its acknowledgement itself moves to state 3.
  Image image = BlankImage();
  image[0x0020] = 0x01;
  image[0xFFF5] = 0x02;
  RunFields p;
  p.UpgradeState = 2;
  p.SendPending = true;
  EXPECT_EQ(upgrade::FormLine(p.f, image).line.substr(0, 7), ":100020");
  upgrade::ReplyEffect e = upgrade::ActOnAnswer(p.f, true);
  EXPECT_TRUE(e.moveProgress);
  EXPECT_EQ(e.progress, 0x30);
  EXPECT_EQ(upgrade::FormLine(p.f, image).line.substr(0, 7), ":10FFF0");
  e = upgrade::ActOnAnswer(p.f, true);
  EXPECT_EQ(e.status, "Reset station...");
  EXPECT_TRUE(e.moveProgress);
  EXPECT_EQ(e.progress, 0);
  EXPECT_EQ(p.UpgradeState, 3u);

  // The closing commands, then done.
  p.SendPending = false;
  upgrade::ActOnAnswer(p.f, true);
  EXPECT_EQ(p.UpgradeState, 4u);
  upgrade::ActOnAnswer(p.f, true);
  EXPECT_EQ(p.UpgradeState, 5u);
  p.SendPending = false;
  e = upgrade::ActOnAnswer(p.f, true);
  EXPECT_TRUE(e.finished);
  EXPECT_EQ(p.UpgradeState, 0u);
  EXPECT_FALSE(p.SendPending);
  EXPECT_EQ(upgrade::CheckSendLine(p.f), upgrade::SendGate::Skip);
}

// Feeds text as one read and judges it.
upgrade::Step Read(RunFields& r, const std::string& text, std::uint64_t nowMs) {
  upgrade::ReadReplies replies;
  upgrade::FeedReceived(
      r.f, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), replies);
  return upgrade::JudgeRead(r.f, replies, nowMs);
}

using Kind = upgrade::Step::Kind;
bool Waits(const upgrade::Step& s, std::uint32_t ms) {
  return s.kind == Kind::Wait && s.waitMs == ms;
}

TEST(Sequencer, AnswersAreCountedPerCopyOfTheLine) {
  // A refusal alone is judged after the burst time; an acknowledgement in the
  // burst makes the answer an acknowledgement.
  RunFields burst;
  burst.UpgradeState = 5;
  upgrade::LineWritten(burst.f, ":00000008F8");
  EXPECT_TRUE(Waits(Read(burst, "E\r\n", 0), upgrade::kBurstMs));
  EXPECT_EQ(Read(burst, "E\r\n", 0).kind, Kind::None);  // the burst's time runs on
  upgrade::Step s = Read(burst, ".\r\n", 0);
  EXPECT_TRUE(s.kind == Kind::Acknowledged && s.copiesOwed == 0);
  RunFields refused;
  refused.UpgradeState = 2;
  upgrade::LineWritten(refused.f, ":10000000");
  Read(refused, "\r\n", 0);
  EXPECT_EQ(upgrade::JudgeTimer(refused.f, 100).kind, Kind::Refused);

  // Sent again after a time-out: the first answer (perhaps the late one of
  // the first copy) waits for the second copy's, for as long as two copies
  // may take; the second completes it at once.
  RunFields late;
  late.UpgradeState = 2;
  upgrade::LineWritten(late.f, ":10000000");
  s = upgrade::JudgeTimer(late.f, 1000);
  EXPECT_TRUE(s.kind == Kind::SendDue && s.filler && s.timedOut);
  late.SendPending = false;  // the resend went out
  upgrade::LineWritten(late.f, ":10000000");
  EXPECT_TRUE(Waits(Read(late, ".\r\n", 1400), 2 * upgrade::kLineReplyMs));
  Read(late, "E\r\n", 1401);  // the second copy refused: still acknowledged
  s = upgrade::JudgeTimer(late.f, 1501);
  EXPECT_TRUE(s.kind == Kind::Acknowledged && s.copiesOwed == 0);
  upgrade::ActOnAnswer(late.f, true);
  EXPECT_EQ(late.Tally.copies, 0u);

  // The second copy never answers: the line is acknowledged when its wait runs
  // out, saying that a copy never answered. The last command needs no wait.
  RunFields lost;
  lost.UpgradeState = 4;
  for (int i = 0; i < 3; ++i) upgrade::LineWritten(lost.f, ":020000030501F5");
  EXPECT_TRUE(Waits(Read(lost, ".\r\n", 0), 3 * upgrade::kLineReplyMs));
  // Bytes that complete nothing (an answer spoiled on the line) start the wait
  // again, but never past the time every owed answer has (two, 3 s each).
  EXPECT_TRUE(Waits(Read(lost, "x", 2500), 3 * upgrade::kLineReplyMs));
  EXPECT_TRUE(Waits(Read(lost, "x", 5000), 1000));
  // Those bytes may begin a reply: one burst's time more for it.
  EXPECT_TRUE(Waits(upgrade::JudgeTimer(lost.f, 6000), upgrade::kBurstMs));
  s = upgrade::JudgeTimer(lost.f, 6100);
  EXPECT_TRUE(s.kind == Kind::Acknowledged && s.copiesOwed == 2);
  RunFields last;
  last.UpgradeState = 5;
  upgrade::LineWritten(last.f, ":00000008F8");
  upgrade::LineWritten(last.f, ":00000008F8");
  EXPECT_EQ(Read(last, ".\r\n", 0).kind, Kind::Acknowledged);
}

TEST(Sequencer, AnEchoOfTheLineIsNoAnswerAndEveryCopyStartsClean) {
  // The line repeated before CR LF, in one read or several, before or after
  // other replies, neither answers nor ends the wait; anything else does.
  RunFields e;
  e.UpgradeState = 1;
  upgrade::LineWritten(e.f, ":0100000307F5");
  EXPECT_EQ(Read(e, ":0100000307F5\r\n", 10).kind, Kind::None);
  EXPECT_EQ(Read(e, ":01000003", 20).kind, Kind::None);
  EXPECT_EQ(Read(e, "07F5\r", 30).kind, Kind::None);
  EXPECT_EQ(Read(e, "\n", 40).kind, Kind::None);
  EXPECT_TRUE(Waits(Read(e, "E\r\n:0100000307F5\r\n", 50), upgrade::kBurstMs));
  EXPECT_EQ(Read(e, ".\r\n:0100000307F5\r\n", 60).kind, Kind::Acknowledged);
  // Noise before the echo leaves it an echo; anything after it does not.
  RunFields noisy;
  noisy.UpgradeState = 1;
  upgrade::LineWritten(noisy.f, ":0100000307F5");
  EXPECT_EQ(Read(noisy, "\xB4X:0100000307F5\r\n", 0).kind, Kind::None);
  EXPECT_EQ(noisy.Tally.wait, upgrade::ReplyTally::Wait::Reply);
  for (const char* notEcho : {":0100000307F\r\n", ":0100000307F5X\r\n", "0307F5\r\n",
                              ":0100000307F5\r\r\n", ":0100000307F5 \r\n"}) {
    RunFields n;
    n.UpgradeState = 1;
    upgrade::LineWritten(n.f, ":0100000307F5");
    EXPECT_TRUE(Waits(Read(n, notEcho, 0), upgrade::kBurstMs)) << notEcho;
  }

  // A reply still arriving when a wait runs out gets one burst's time more,
  // once per copy; the next copy forgets what came before it.
  RunFields g;
  g.UpgradeState = 2;
  upgrade::LineWritten(g.f, ":10000000");
  EXPECT_TRUE(Waits(Read(g, "E\r\n", 0), upgrade::kBurstMs));
  Read(g, ".", 99);
  upgrade::Step s = upgrade::JudgeTimer(g.f, 100);
  EXPECT_TRUE(Waits(s, upgrade::kBurstMs) && s.replyUnderway);
  EXPECT_EQ(Read(g, "\r\n", 101).kind, Kind::Acknowledged);
  RunFields t;
  t.UpgradeState = 3;
  upgrade::LineWritten(t.f, ":03000003060000F4");
  Read(t, ".\r", 999);
  EXPECT_TRUE(Waits(upgrade::JudgeTimer(t.f, 1000), upgrade::kBurstMs));
  s = upgrade::JudgeTimer(t.f, 1100);
  EXPECT_TRUE(s.kind == Kind::SendDue && s.filler);
  upgrade::LineWritten(t.f, ":03000003060000F4");
  // The CR that came before the write pairs with no LF after it.
  EXPECT_EQ(Read(t, "\n", 1101).kind, Kind::None);
}

}  // namespace
