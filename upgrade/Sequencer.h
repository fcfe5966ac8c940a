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

// The window's fields that carry the run from one handler to the next.
struct SequencerFields {
  std::uint32_t& UpgradeState;
  std::uint32_t& RetryCount;
  std::int32_t& LineAddress;
  std::string& ResultText;
  bool& SendPending;
};

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

// The reply timer ran out. True when the filler goes out before the line is
// sent again; either way the caller then sends what is due.
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

// A complete reply arrived while a line was out.
ReplyEffect OnReply(SequencerFields& f, bool positive);

}  // namespace upgrade
