#include "Sequencer.h"

#include <utility>

#include "Bootloader.h"

namespace upgrade {

namespace {
// Retry rule shared by time-outs and negative replies: true when the line may
// go out again, otherwise the run fails with message.
bool SpendRetry(SequencerFields& f, std::string_view message) {
  const std::uint32_t spent = f.RetryCount++;
  if (spent < kMaxRetries) return true;
  f.ResultText = message;
  return false;
}
}  // namespace

SendGate CheckSendLine(const SequencerFields& f) {
  if (f.UpgradeState == kStateIdle) return SendGate::Skip;
  if (f.ResultText != kResultOk) return SendGate::Fail;
  if (!f.SendPending) return SendGate::Skip;
  return SendGate::Proceed;
}

std::string TakeFailure(SequencerFields& f) {
  f.UpgradeState = kStateIdle;
  std::string message = std::exchange(f.ResultText, std::string(kResultOk));
  return message;
}

LineToSend FormLine(SequencerFields& f, std::span<const std::uint8_t, kImageSize> image) {
  LineToSend out;
  if (f.UpgradeState == kStateProgramming) {
    while (BlockIsBlank(image, static_cast<std::uint32_t>(f.LineAddress))) {
      f.LineAddress += static_cast<std::int32_t>(kBlockSize);
      if (f.LineAddress >= kEndOfImage) {
        f.RetryCount = 0;
        f.UpgradeState = kStateReset1;
        out.programmingOver = true;
        return out;
      }
    }
    out.line = *ProgrammingLine(image, static_cast<std::uint32_t>(f.LineAddress));
    out.replyMs = kLineReplyMs;
  } else {
    out.line = FixedLine(f.UpgradeState);
    out.replyMs = f.UpgradeState == kStateErase ? kEraseReplyMs : kLineReplyMs;
  }
  f.SendPending = false;
  return out;
}

bool OnReplyTimeout(SequencerFields& f) {
  if (f.SendPending) return false;  // the start delay: the erase line is due
  if (f.UpgradeState == kStateErase) {
    // The erase is never started twice.
    f.ResultText = kCommandTimeout;
    return false;
  }
  if (f.UpgradeState == kStateIdle) return false;
  if (!SpendRetry(f, kCommandTimeout)) return false;
  f.SendPending = true;
  return true;
}

ReplyEffect OnReply(SequencerFields& f, bool positive) {
  ReplyEffect effect;
  if (f.UpgradeState == kStateIdle) return effect;
  if (!positive) {
    if (f.UpgradeState == kStateErase) {
      f.ResultText = kCommunicationError;
    } else if (SpendRetry(f, kCommunicationError)) {
      f.SendPending = true;
    }
    return effect;
  }
  f.RetryCount = 0;
  switch (f.UpgradeState) {
    case kStateErase:
      f.LineAddress = 0;
      effect.status = kStatusProgramming;
      f.UpgradeState = kStateProgramming;
      break;
    case kStateProgramming:
      f.LineAddress += static_cast<std::int32_t>(kBlockSize);
      effect.moveProgress = true;
      if (f.LineAddress >= kEndOfImage) {
        effect.status = kStatusReset;
        effect.progress = 0;
        f.UpgradeState = kStateReset1;
      } else {
        effect.progress = f.LineAddress;
      }
      break;
    case kStateReset1:
    case kStateReset2:
      ++f.UpgradeState;
      break;
    default:  // the last closing command
      f.ResultText = kResultOk;
      f.UpgradeState = kStateIdle;
      effect.finished = true;
      return effect;
  }
  f.SendPending = true;
  return effect;
}

}  // namespace upgrade
