#include "Sequencer.h"

#include <algorithm>
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

void CountLineWritten(ReplyTally& t) {
  ++t.copies;
  ++t.owed;
  t.wait = ReplyTally::Wait::Reply;
  t.settleEnd = 0;
}

namespace {
AnswerStep Act(const SequencerFields& f) {
  return {.act = true, .positive = f.Tally.acknowledged, .waitMs = 0, .stillOwed = f.Tally.owed};
}

// The station takes every copy of a line alike and one at a time, and the
// first answer came within copies times the reply time of the first copy: so
// each further answer comes within that time of the one before it.
std::uint32_t PerAnswerMs(const ReplyTally& t) {
  return t.copies * kLineReplyMs;
}

// Waits for the next answer, from now, but never past the time by which
// every answer still owed has come.
AnswerStep SettleFrom(ReplyTally& t, std::uint64_t nowMs) {
  if (nowMs >= t.settleEnd) return {};
  const std::uint64_t left = t.settleEnd - nowMs;
  return {.act = false,
          .positive = false,
          .waitMs = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, PerAnswerMs(t))),
          .stillOwed = 0};
}

// An answer is complete: act on the line's answers so far once no copy can
// answer any more, or when the last command is acknowledged (nothing follows
// it that a late answer could be taken for); otherwise wait for the rest.
AnswerStep AnswerComplete(SequencerFields& f, bool acknowledged, std::uint64_t nowMs) {
  ReplyTally& t = f.Tally;
  if (t.owed > 0) --t.owed;
  if (acknowledged) t.acknowledged = true;
  if (t.owed == 0 || (t.acknowledged && f.UpgradeState == kStateReset3)) return Act(f);
  if (t.settleEnd == 0) {
    t.settleEnd = nowMs + static_cast<std::uint64_t>(t.owed) * PerAnswerMs(t);
  }
  t.wait = ReplyTally::Wait::Settle;
  const AnswerStep step = SettleFrom(t, nowMs);
  return step.waitMs != 0 ? step : Act(f);
}
}  // namespace

AnswerStep OnRepliesRead(SequencerFields& f, bool acknowledged, std::uint64_t nowMs) {
  ReplyTally& t = f.Tally;
  // An acknowledgement closes the answer at once, taking in a refusal that
  // came just before it.
  if (acknowledged) return AnswerComplete(f, true, nowMs);
  if (t.wait == ReplyTally::Wait::Burst) return {};  // the burst's time keeps running
  t.wait = ReplyTally::Wait::Burst;
  return {.act = false, .positive = false, .waitMs = kBurstMs, .stillOwed = 0};
}

AnswerStep OnIncompleteBytes(SequencerFields& f, std::uint64_t nowMs) {
  if (f.Tally.wait != ReplyTally::Wait::Settle) return {};
  return SettleFrom(f.Tally, nowMs);
}

AnswerStep OnJudgingTimeout(SequencerFields& f, std::uint64_t nowMs) {
  if (f.Tally.wait == ReplyTally::Wait::Burst) return AnswerComplete(f, false, nowMs);
  return Act(f);
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
  f.Tally = ReplyTally{};
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
