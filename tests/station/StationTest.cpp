// The station model: identify answers, record parsing in any split, fault
// rules, fillers and junk, memory, hang-up, SHA-256.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Station.h"

namespace {

using station::Chunk;
using station::Config;
using station::Fault;
using station::IdentifyAnswer;
using station::Station;

const std::string kIdentify("\x5A\x0A\x00\xF1\x30\x30\x30\x30\xFD\xEB", 10);
const std::string kErase = ":0100000307F5";
const std::string kClose1 = ":03000003060000F4";
const std::string kClose2 = ":020000030501F5";
const std::string kClose3 = ":00000008F8";
const std::string kFiller(50, '0');
// Block 0x1230 holding 00 01 02 ... 0F.
const std::string kLine1230 = ":10123000000102030405060708090A0B0C0D0E0F36";

std::vector<std::uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

std::string Joined(const std::vector<Chunk>& chunks) {
  std::string out;
  for (const Chunk& c : chunks) out.append(c.bytes.begin(), c.bytes.end());
  return out;
}

std::vector<Chunk> Feed(Station& s, const std::string& text, double now = 0) {
  return s.Receive(Bytes(text), now);
}

// A programming line for `data` at `address`, built here by the Intel HEX rules.
std::string DataLine(unsigned address, const std::vector<std::uint8_t>& data) {
  static const char kHex[] = "0123456789ABCDEF";
  std::vector<std::uint8_t> fields = {static_cast<std::uint8_t>(data.size()),
                                      static_cast<std::uint8_t>(address >> 8),
                                      static_cast<std::uint8_t>(address & 0xFF), 0x00};
  fields.insert(fields.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (auto b : fields) sum += b;
  fields.push_back(static_cast<std::uint8_t>((0x100 - (sum & 0xFF)) & 0xFF));
  std::string line = ":";
  for (auto b : fields) {
    line.push_back(kHex[b >> 4]);
    line.push_back(kHex[b & 0xF]);
  }
  return line;
}

// The identify reply rule: start byte, and the bytes before the checksum plus
// the big-endian checksum sum to 0 modulo 65536.
bool ReplyPasses(const std::string& r) {
  if (r.size() < 4 || static_cast<std::uint8_t>(r[0]) != 0x5A) return false;
  const std::size_t n = static_cast<std::uint8_t>(r[1]);
  if (n != r.size()) return false;
  unsigned sum = 0;
  for (std::size_t i = 0; i + 2 < n; ++i) sum += static_cast<std::uint8_t>(r[i]);
  sum += static_cast<std::uint8_t>(r[n - 2]) * 256u + static_cast<std::uint8_t>(r[n - 1]);
  return (sum & 0xFFFF) == 0;
}

std::string AnswerTo(IdentifyAnswer answer) {
  Config c;
  c.identify = answer;
  Station s(c);
  const std::string out = Joined(Feed(s, kIdentify));
  EXPECT_EQ(s.IdentifyFrames(), 1);
  return out;
}

TEST(StationIdentify, EveryAnswerByteForByte) {
  const std::string a10 = AnswerTo(IdentifyAnswer::Accept10);
  ASSERT_EQ(a10.size(), 10u);
  EXPECT_EQ(a10[1], 0x0A);
  EXPECT_EQ(static_cast<std::uint8_t>(a10[4]), 0xA2);
  EXPECT_TRUE(ReplyPasses(a10));
  EXPECT_EQ(a10, std::string("\x5A\x0A\x00\xF1\xA2\x00\x00\x00\xFE\x09", 10));

  const std::string a8 = AnswerTo(IdentifyAnswer::Accept8);
  ASSERT_EQ(a8.size(), 8u);
  EXPECT_EQ(a8[1], 0x08);
  EXPECT_EQ(a8[4], 0x00);
  EXPECT_TRUE(ReplyPasses(a8));

  EXPECT_EQ(AnswerTo(IdentifyAnswer::Refuse), std::string("\x5A\x07\x00\x00\xA2\xFE\xFD", 7));
  EXPECT_TRUE(ReplyPasses(AnswerTo(IdentifyAnswer::Refuse)));

  EXPECT_EQ(AnswerTo(IdentifyAnswer::Silent), "");

  const std::string bad = AnswerTo(IdentifyAnswer::BadChecksum);
  ASSERT_EQ(bad.size(), 10u);
  EXPECT_EQ(bad.substr(0, 8), a10.substr(0, 8));
  EXPECT_FALSE(ReplyPasses(bad));
  const int good = static_cast<std::uint8_t>(a10[8]) * 256 + static_cast<std::uint8_t>(a10[9]);
  const int off = static_cast<std::uint8_t>(bad[8]) * 256 + static_cast<std::uint8_t>(bad[9]);
  EXPECT_EQ(std::abs(off - good), 1);
}

TEST(StationIdentify, OnlyTheCorrectFrameIsCountedAndAnswered) {
  Station s;
  // Checksum off by one: a frame, but a bad one.
  std::string wrongSum = kIdentify;
  wrongSum[9] = static_cast<char>(0xEC);
  EXPECT_TRUE(Feed(s, wrongSum).empty());
  // A correct checksum over other content ("0001") is not the identify frame.
  std::string other("\x5A\x0A\x00\xF1\x30\x30\x30\x31\xFD\xEA", 10);
  EXPECT_TRUE(Feed(s, other).empty());
  EXPECT_EQ(s.IdentifyFrames(), 0);
  EXPECT_EQ(s.BadFrames(), 2);
  EXPECT_EQ(s.JunkBytes(), 20u);

  // A length byte too small for a checksum: two junk bytes, and the parser
  // is back in step for the real frame, which arrives one byte at a time.
  Feed(s, std::string("\x5A\x02", 2));
  std::string out;
  for (char c : kIdentify) out += Joined(Feed(s, std::string(1, c)));
  EXPECT_EQ(out.size(), 10u);
  EXPECT_EQ(s.IdentifyFrames(), 1);
  EXPECT_EQ(s.JunkBytes(), 22u);
}

TEST(StationIdentify, AnswerFromTheNthFrameWithItsDelay) {
  Config c;
  c.answerFromFrame = 3;
  c.identifyMs = 40;
  Station s(c);
  EXPECT_TRUE(Feed(s, kIdentify).empty());
  EXPECT_TRUE(Feed(s, kIdentify).empty());
  auto third = Feed(s, kIdentify);
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(third[0].delayMs, 40u);
  EXPECT_EQ(Feed(s, kIdentify).size(), 1u);
  EXPECT_EQ(s.IdentifyFrames(), 4);
}

// One whole run as the tool sends it, with a resend after a timeout.
std::string Conversation() {
  return kIdentify + kErase + DataLine(0x0000, {0x02, 0x69, 0x21}) + kLine1230 + kFiller +
         kLine1230 + DataLine(0xFFF0, std::vector<std::uint8_t>(16, 0xAB)) + kClose1 + kClose2 +
         kClose3;
}

Config FaultyConfig() {
  Config c;
  c.lineMs = 3;
  c.eraseMs = 70;
  c.faults = {{3, 1, Fault::Silent}, {4, 0, Fault::Split}, {5, 1, Fault::Garbage}};
  return c;
}

TEST(StationRecords, SameResultInAnySplit) {
  const std::string all = Conversation();
  Station whole(FaultyConfig());
  const std::string expected = Joined(Feed(whole, all));

  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    Station s(FaultyConfig());
    std::string out;
    std::size_t at = 0;
    while (at < all.size()) {
      // Round 0 goes byte by byte; the others in random pieces.
      const std::size_t n = round == 0 ? 1 : 1 + random() % 17;
      out += Joined(Feed(s, all.substr(at, n)));
      at += n;
    }
    EXPECT_EQ(out, expected) << "round " << round;
    EXPECT_EQ(s.Records().size(), whole.Records().size());
    EXPECT_EQ(s.Memory(), whole.Memory());
    EXPECT_EQ(s.Fillers(), 1);
    EXPECT_EQ(s.JunkBytes(), 0u);
  }

  const auto& r = whole.Records();
  ASSERT_EQ(r.size(), 8u);
  const int lines[] = {1, 2, 3, 3, 4, 5, 6, 7};
  const int attempts[] = {1, 1, 1, 2, 1, 1, 1, 1};
  for (std::size_t i = 0; i < r.size(); ++i) {
    EXPECT_EQ(r[i].line, lines[i]) << i;
    EXPECT_EQ(r[i].attempt, attempts[i]) << i;
    EXPECT_TRUE(r[i].checksumOk) << i;
  }
  EXPECT_EQ(r[0].text, kErase);
  EXPECT_EQ(r[2].text, kLine1230);
  EXPECT_FALSE(r[2].acknowledged);  // the silent first receipt
  EXPECT_TRUE(r[3].acknowledged);
  EXPECT_EQ(r[7].text, kClose3);
  EXPECT_TRUE(whole.LastCommandSeen());
  EXPECT_EQ(whole.EraseCount(), 1);
}

TEST(StationRecords, BadRecordsAreRefusedAndChangeNothing) {
  Station s;
  Feed(s, kErase);
  const auto erased = s.Memory();
  struct Case {
    std::string text;
    bool checksumOk;
  };
  const Case cases[] = {
      {":10123000000102030405060708090A0B0C0D0E0F37", false},      // checksum off by one
      {":10123000000102030405060708090a0b0c0d0e0f36", false},      // lower-case hex
      {":10123000000102030405060708090A0B0C0D0E0 36", false},      // a space among the digits
      {DataLine(0xFFF8, std::vector<std::uint8_t>(16, 7)), true},  // runs past 0xFFFF
      {":00000001FF", true},                                       // a record type it does not take
  };
  for (const Case& c : cases) {
    const auto before = s.Records().size();
    EXPECT_EQ(Joined(Feed(s, c.text)), "E\r\n") << c.text;
    ASSERT_EQ(s.Records().size(), before + 1) << c.text;
    EXPECT_EQ(s.Records().back().text, c.text);
    EXPECT_EQ(s.Records().back().checksumOk, c.checksumOk) << c.text;
    EXPECT_FALSE(s.Records().back().acknowledged);
  }
  EXPECT_EQ(s.Memory(), erased);

  // A line cut short by the next colon is refused, and the next line is whole.
  EXPECT_EQ(Joined(Feed(s, ":1012300000" + kClose1)), "E\r\n.\r\n");
  EXPECT_EQ(s.Records()[s.Records().size() - 2].text, ":1012300000");
  EXPECT_EQ(s.Records().back().text, kClose1);
  // No count to measure by: the record ends at the first character that is no digit.
  EXPECT_EQ(Joined(Feed(s, ":X" + kClose2)), "E\r\n.\r\n");
  EXPECT_EQ(s.Records()[s.Records().size() - 2].text, ":X");
  EXPECT_EQ(s.JunkBytes(), 0u);
}

TEST(StationFaults, RulesMatchLineAndAttempt) {
  Config c;
  c.lineMs = 5;
  c.splitMs = 11;
  c.faults = {
      {2, 1, Fault::Silent},   {2, 2, Fault::Negative},   {2, 0, Fault::Echo},
      {3, 0, Fault::Split},    {4, 1, Fault::Garbage},    {5, 1, Fault::TwoReplies},
      {5, 0, Fault::Negative},  // never reached for attempt 1: the first match wins
      {6, 1, Fault::EchoCrLf}, {7, 1, Fault::Late, 1400},
  };
  Station s(c);
  EXPECT_EQ(Joined(Feed(s, kErase)), ".\r\n");

  const std::string l2 = DataLine(0x0100, {1, 2, 3});
  EXPECT_TRUE(Feed(s, l2).empty());
  EXPECT_EQ(Joined(Feed(s, kFiller + l2)), "E\r\n");
  auto echo = Feed(s, l2);
  ASSERT_EQ(echo.size(), 2u);
  EXPECT_EQ(Joined({echo[0]}), l2);
  EXPECT_EQ(echo[0].delayMs, 0u);
  EXPECT_EQ(Joined({echo[1]}), ".\r\n");
  EXPECT_EQ(echo[1].delayMs, 5u);
  EXPECT_EQ(s.Memory()[0x0100], 1);  // only the acknowledged receipt wrote

  const std::string l3 = DataLine(0x0200, {9});
  for (int attempt = 1; attempt <= 2; ++attempt) {
    auto split = Feed(s, l3);
    ASSERT_EQ(split.size(), 3u);
    EXPECT_EQ(Joined({split[0]}), ".");
    EXPECT_EQ(Joined({split[1]}), "\r");
    EXPECT_EQ(Joined({split[2]}), "\n");
    EXPECT_EQ(split[0].delayMs, 5u);
    EXPECT_EQ(split[1].delayMs, 11u);
    EXPECT_EQ(split[2].delayMs, 11u);
  }

  auto garbage = Feed(s, kClose1);
  ASSERT_EQ(garbage.size(), 1u);
  const std::string g = Joined(garbage);
  ASSERT_GT(g.size(), 3u);
  const std::string junk = g.substr(0, g.size() - 3);
  EXPECT_EQ(g.substr(g.size() - 3), ".\r\n");
  EXPECT_EQ(junk.find("\r\n"), std::string::npos);
  EXPECT_NE(junk.find('\r'), std::string::npos);
  EXPECT_NE(junk.find('\n'), std::string::npos);
  EXPECT_NE(junk.back(), '.');
  EXPECT_EQ(Joined(Feed(s, kClose1)), ".\r\n");  // the rule was for attempt 1 only

  EXPECT_EQ(Joined(Feed(s, kClose2)), ".\r\n.\r\n");
  EXPECT_EQ(Joined(Feed(s, kClose2)), "E\r\n");
  EXPECT_EQ(s.Records().back().line, 5);
  EXPECT_EQ(s.Records().back().attempt, 2);

  auto echoCrLf = Feed(s, kClose3);
  ASSERT_EQ(echoCrLf.size(), 1u);
  EXPECT_EQ(Joined(echoCrLf), kClose3 + "\r\n.\r\n");
  auto late = Feed(s, DataLine(0x0300, {7}));
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].delayMs, 1400u);
  EXPECT_EQ(Joined(late), ".\r\n");
}

TEST(StationFaults, TimeOfSilentWorkCarriesToTheNextReply) {
  Config c;
  c.eraseMs = 900;
  c.lineMs = 7;
  c.faults = {{2, 1, Fault::Silent}};
  Station s(c);
  const std::string l2 = DataLine(0x0000, {1});
  auto out = Feed(s, kErase + l2 + kFiller + l2 + kClose1, 2.5);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].delayMs, 900u);
  EXPECT_EQ(out[1].delayMs, 14u);  // the silent line's work, then the resend's
  EXPECT_EQ(out[2].delayMs, 7u);
  for (const auto& r : s.Records()) EXPECT_EQ(r.timeSeconds, 2.5);
}

TEST(StationFaults, SecondRunNumbersFromTheEraseLineAgain) {
  Config c;
  c.faults = {{2, 1, Fault::Negative}};
  Station s(c);
  const std::string run = kIdentify + kErase + DataLine(0x0000, {1}) + DataLine(0x0000, {1});
  EXPECT_EQ(Joined(Feed(s, run)).substr(10), ".\r\nE\r\n.\r\n");
  EXPECT_EQ(Joined(Feed(s, run)).substr(10), ".\r\nE\r\n.\r\n");
  EXPECT_EQ(s.EraseCount(), 2);
  EXPECT_EQ(s.Records()[3].line, 1);
  EXPECT_EQ(s.Records()[3].attempt, 1);
}

TEST(StationCounting, FillersAndJunk) {
  Station s;
  Feed(s, kFiller + kErase);
  EXPECT_EQ(s.Fillers(), 1);
  EXPECT_EQ(s.JunkBytes(), 0u);
  Feed(s, std::string(49, '0') + kClose1);
  EXPECT_EQ(s.JunkBytes(), 49u);
  Feed(s, std::string(51, '0') + kClose1);
  EXPECT_EQ(s.JunkBytes(), 100u);
  Feed(s, "\r\n ");
  EXPECT_EQ(s.JunkBytes(), 103u);
  // Zeros inside a record belong to it.
  Feed(s, DataLine(0x0000, std::vector<std::uint8_t>(16, 0)));
  EXPECT_EQ(s.Fillers(), 1);
  // A run still going on counts as if it ended now.
  Feed(s, kFiller);
  EXPECT_EQ(s.Fillers(), 2);
  Feed(s, "0");
  EXPECT_EQ(s.Fillers(), 1);
  EXPECT_EQ(s.JunkBytes(), 154u);
}

TEST(StationMemory, FollowsEraseAndAcknowledgedWrites) {
  Config c;
  c.faults = {{4, 0, Fault::Negative}};
  Station s(c);
  EXPECT_TRUE(std::all_of(s.Memory().begin(), s.Memory().end(), [](auto b) { return b == 0; }));

  Feed(s, kErase);
  EXPECT_TRUE(std::all_of(s.Memory().begin(), s.Memory().end(), [](auto b) { return b == 0xFF; }));
  Feed(s, kLine1230);                       // line 2
  Feed(s, DataLine(0xFFF0, {0xDE, 0xAD}));  // line 3
  Feed(s, DataLine(0x4000, {0x55}));        // line 4, refused
  Feed(s, DataLine(0x1238, {0xAA}));        // line 5 overwrites
  for (int i = 0; i < 16; ++i) {
    const std::uint8_t want = i == 8 ? 0xAA : static_cast<std::uint8_t>(i);
    EXPECT_EQ(s.Memory()[0x1230 + i], want) << i;
  }
  EXPECT_EQ(s.Memory()[0x122F], 0xFF);
  EXPECT_EQ(s.Memory()[0x1240], 0xFF);
  EXPECT_EQ(s.Memory()[0xFFF0], 0xDE);
  EXPECT_EQ(s.Memory()[0xFFF1], 0xAD);
  EXPECT_EQ(s.Memory()[0xFFF2], 0xFF);
  EXPECT_EQ(s.Memory()[0x4000], 0xFF);

  // A closing command that is not acknowledged does not count as seen.
  Config silentLast;
  silentLast.faults = {{1, 0, Fault::Silent}};
  Station t(silentLast);
  Feed(t, kClose3);
  EXPECT_FALSE(t.LastCommandSeen());
  Feed(t, kClose3);
  EXPECT_FALSE(t.LastCommandSeen());
  Station u;
  Feed(u, kClose3);
  EXPECT_TRUE(u.LastCommandSeen());
  EXPECT_EQ(u.EraseCount(), 0);
}

TEST(StationHangUp, AfterTheReplyToTheLineAndNothingMore) {
  Config c;
  c.hangUpAfterLine = 3;
  Station s(c);
  const std::string l2 = DataLine(0x0000, {1});
  const std::string l3 = DataLine(0x0010, {2});
  EXPECT_EQ(Joined(Feed(s, kIdentify + kErase + l2 + l2)).substr(10), ".\r\n.\r\n.\r\n");
  EXPECT_FALSE(s.HungUp());
  EXPECT_EQ(Joined(Feed(s, l3 + kClose1 + kIdentify)), ".\r\n");
  EXPECT_TRUE(s.HungUp());
  EXPECT_TRUE(Feed(s, kClose2).empty());
  EXPECT_EQ(s.Records().size(), 4u);
  EXPECT_EQ(s.IdentifyFrames(), 1);
}

TEST(StationSha256, KnownVectors) {
  auto hash = [](const std::string& s) {
    return station::Sha256Hex(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
  };
  EXPECT_EQ(hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hash("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hash(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // Around the padding boundaries: one tail block or two.
  EXPECT_EQ(hash(std::string(55, 'x')),
            "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072");
  EXPECT_EQ(hash(std::string(56, 'x')),
            "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e");
  EXPECT_EQ(hash(std::string(63, 'x')),
            "75220b47218278e656f2013bb8f0c455a25eaf01e86c64924e9d48d89776d6f2");
  EXPECT_EQ(hash(std::string(64, 'x')),
            "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c");
  EXPECT_EQ(hash(std::string(119, 'x')),
            "000b48d4edf0fa7bee3c6236ecd2785baa5db4eeb8bb54341b029e0d9fa5fb0c");
  // A station that was never erased.
  Station s;
  EXPECT_EQ(station::Sha256Hex(s.Memory()),
            "de2f256064a0af797747c2b97505dc0b9f3df0de4f489eac731c23ae9ca9cc31");
}

}  // namespace
