// The upgrade sequencer's decisions: what the current state sends, what a
// missed reply or a complete reply does to the state and the retry budget.
// The state lives in the main window's fields; the window applies the
// decisions to its port, timer and controls.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "IntelHex.h"

namespace upgrade {

// Status texts of a run, in the order they appear.
inline constexpr std::string_view kStatusInitialize = "Initialize bootloader...";
inline constexpr std::string_view kStatusErase = "Erase processor...";
inline constexpr std::string_view kStatusProgramming = "Programming...";
inline constexpr std::string_view kStatusReset = "Reset station...";
inline constexpr std::string_view kStatusDone = "Done.";

// Message-box texts and captions.
inline constexpr std::string_view kResultOk = "OK";
inline constexpr std::string_view kCommandTimeout = "Command timeout.";
inline constexpr std::string_view kCommunicationError = "Communication error.";
inline constexpr std::string_view kStationNotFound = "Station KESTRO not found.";
inline constexpr std::string_view kCaptionHardware = "Hardware error.";
inline constexpr std::string_view kCaptionInitialize = "Initialize error.";
inline constexpr std::string_view kCaptionUpgrade = "Upgrade error.";

// Sequencer states.
inline constexpr std::uint32_t kStateIdle = 0;
inline constexpr std::uint32_t kStateErase = 1;
inline constexpr std::uint32_t kStateProgramming = 2;
inline constexpr std::uint32_t kStateReset1 = 3;
inline constexpr std::uint32_t kStateReset2 = 4;
inline constexpr std::uint32_t kStateReset3 = 5;

// Reply time allowed after each line.
inline constexpr std::uint32_t kStartDelayMs = 1000;
inline constexpr std::uint32_t kEraseReplyMs = 10000;
inline constexpr std::uint32_t kLineReplyMs = 1000;
// A line is sent at most 1 + this many times.
inline constexpr std::uint32_t kMaxRetries = 3;
// Reaching this address ends programming.
inline constexpr std::int32_t kEndOfImage = 0x10000;

// Replies that come close together belong to one answer: a refusal followed
// within this time by an acknowledgement is one acknowledged answer. A wait
// that runs out while a reply is half received gives it this long once more.
inline constexpr std::uint32_t kBurstMs = 100;

// How the answers to the line that is out are being counted. Assumed of the
// station, since its answers do not say which line they answer: it works on
// one line at a time, draws at most one answer from each copy of a line it
// receives (with the filler after it), sends each answer in one burst, and
// repeats a line only as its echo. So every reply completed within one read,
// and any reply that follows a refusal within kBurstMs, count as one answer;
// a reply that ends with the line last written is its echo, no answer at all. A line
// sent again after a time-out may still draw the late answer of its earlier
// copy; the next line goes out only once every copy has answered or has had
// its time, so that a late answer is never taken for the next line's.
struct ReplyTally {
  enum class Wait : std::uint8_t {
    Reply,   // the line is out, no answer yet: the reply time runs
    Burst,   // a refusal came: does an acknowledgement follow it?
    Settle,  // answers of earlier copies may still come
  };
  std::uint32_t copies = 0;   // copies of the current line written
  std::uint32_t owed = 0;     // answers those copies may still draw
  bool acknowledged = false;  // an answer to this line held an acknowledgement
  Wait wait = Wait::Reply;
  // While settling: by when every answer still owed has come (ms, on the
  // window's clock), whatever arrives meanwhile.
  std::uint64_t settleEnd = 0;
  // A half-received reply already had its extra kBurstMs in this wait: the
  // reply time, the burst and the settling each give it once per copy, so
  // a station that never stops sending cannot hold the line for ever.
  bool graceGiven = false;
  // The line last written, and the end of the text of the reply being
  // received (as much as that line's echo and its CR take).
  std::string line;
  std::string replyText;
};

// The window's fields that carry the run from one handler to the next.
struct SequencerFields {
  std::uint32_t& UpgradeState;
  std::uint32_t& RetryCount;
  std::int32_t& LineAddress;
  std::string& ResultText;
  bool& SendPending;
  std::array<char, 3>& RxHistory;
  ReplyTally& Tally;
};

// What the window does next, as the rule decides it.
struct Step {
  enum class Kind : std::uint8_t {
    None,          // nothing: a wait that runs goes on
    Wait,          // the timer starts afresh with waitMs
    Acknowledged,  // act on the line's answer: it was acknowledged
    Refused,       // act on the line's answer: it was refused
    SendDue,       // no answer to act on: the filler first when `filler`, then what is due
  };
  Kind kind = Kind::None;
  std::uint32_t waitMs = 0;
  // Wait: answers of earlier copies still awaited. Acknowledged: copies
  // whose answer never came; a reply that still comes cannot be told apart
  // from the next line's.
  std::uint32_t copiesOwed = 0;
  // Wait: a reply was half received when the wait ran out.
  bool replyUnderway = false;
  bool filler = false;    // SendDue
  bool timedOut = false;  // SendDue: the line's reply time ran out
};

// The press of Start found the station: the erase line is due after the
// start delay, and nothing of an earlier run's replies remains.
void BeginRun(SequencerFields& f);

// The first steps of sending a line: nothing to do, the run has failed, or
// the line that is due goes out.
enum class SendGate { Skip, Fail, Proceed };
SendGate CheckSendLine(const SequencerFields& f);

// The run failed: the state goes back to idle and the failure message, which
// is returned, leaves ResultText ("OK" again).
std::string TakeFailure(SequencerFields& f);

struct LineToSend {
  // Programming found only blank blocks up to the end: the state has moved
  // to the first closing command, which is due now.
  bool programmingOver = false;
  std::string line;
  std::uint32_t replyMs = 0;
};

// Forms the line of the current state, passing over blank blocks. On a line
// to send, SendPending is cleared: the caller writes it and starts the reply
// timer.
LineToSend FormLine(SequencerFields& f, std::span<const std::uint8_t, kImageSize> image);

// The reply timer ran out with no answer. True when the filler goes out
// before the line is sent again; either way the caller then sends what is
// due.
bool OnReplyTimeout(SequencerFields& f);

struct ReplyEffect {
  // Status text to show, if any.
  std::string_view status;
  // New progress-bar position, when it moves.
  bool moveProgress = false;
  std::int32_t progress = 0;
  // The last command was acknowledged: close the port, "Done.", Start on.
  bool finished = false;
};

// Acts on a judged answer: the line is acknowledged, or refused. Moves the
// state on, or spends a retry.
ReplyEffect ActOnAnswer(SequencerFields& f, bool positive);

// A copy of the current line went out: it starts from a clean slate, so no
// byte read before it can answer it.
void LineWritten(SequencerFields& f, std::string_view line);

// What the bytes of one read completed.
struct ReadReplies {
  bool answered = false;      // a reply that is not an echo of the line
  bool acknowledged = false;  // one of those was positive
};

// Feeds received bytes, in order, into the reply history and the text of
// the reply being received.
void FeedReceived(SequencerFields& f, std::span<const std::uint8_t> bytes, ReadReplies& read);

// The judging of one read's replies (at least one byte came). nowMs: the
// window's clock.
Step JudgeRead(SequencerFields& f, const ReadReplies& read, std::uint64_t nowMs);

// The judging when the Delay timer runs out: the start delay is over, a
// reply time or a judging wait has run out.
Step JudgeTimer(SequencerFields& f, std::uint64_t nowMs);

}  // namespace upgrade
