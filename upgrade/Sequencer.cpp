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

void BeginRun(SequencerFields& f) {
  f.RxHistory.fill(0);
  f.Tally = ReplyTally{};
  f.UpgradeState = kStateErase;
  f.SendPending = true;
}

void LineWritten(SequencerFields& f, std::string_view line) {
  ReplyTally& t = f.Tally;
  ++t.copies;
  ++t.owed;
  t.wait = ReplyTally::Wait::Reply;
  t.settleEnd = 0;
  t.graceGiven = false;
  t.line = line;
  t.replyText.clear();
  f.RxHistory.fill(0);
}

void FeedReceived(SequencerFields& f, std::span<const std::uint8_t> bytes, ReadReplies& read) {
  ReplyTally& t = f.Tally;
  for (const std::uint8_t byte : bytes) {
    const char c = static_cast<char>(byte);
    const Reply reply = FeedReplyChar(f.RxHistory, c);
    if (reply == Reply::None) {
      // Only the end of the text can make an echo: the line and its CR.
      t.replyText += c;
      if (t.replyText.size() > t.line.size() + 1) t.replyText.erase(0, 1);
      continue;
    }
    // The text before CR LF ends with the line exactly as written: its echo,
    // behind whatever noise came before it on the line.
    const bool echo = !t.line.empty() && t.replyText.size() == t.line.size() + 1 &&
                      t.replyText.starts_with(t.line);
    t.replyText.clear();
    if (echo) continue;
    read.answered = true;
    if (reply == Reply::Positive) read.acknowledged = true;
  }
}

namespace {
Step Wait(std::uint32_t ms) {
  return {.kind = Step::Kind::Wait, .waitMs = ms};
}

Step Act(const SequencerFields& f) {
  return {.kind = f.Tally.acknowledged ? Step::Kind::Acknowledged : Step::Kind::Refused,
          .copiesOwed = f.Tally.owed};
}

// Assumed of the station: it takes every copy of a line alike and one at a
// time, and the first answer came within copies times the reply time of the
// first copy; so each further answer comes within that time of the one
// before it.
std::uint32_t PerAnswerMs(const ReplyTally& t) {
  return t.copies * kLineReplyMs;
}

// Waits for the next answer, from now, but never past the time by which
// every answer still owed has come.
Step SettleFrom(ReplyTally& t, std::uint64_t nowMs) {
  if (nowMs >= t.settleEnd) return {};
  const std::uint64_t left = t.settleEnd - nowMs;
  Step step = Wait(static_cast<std::uint32_t>(std::min<std::uint64_t>(left, PerAnswerMs(t))));
  step.copiesOwed = t.owed;
  return step;
}

// An answer is complete: act on the line's answers so far once no copy can
// answer any more, or when the last command is acknowledged (nothing follows
// it that a late answer could be taken for); otherwise wait for the rest.
Step AnswerComplete(SequencerFields& f, bool acknowledged, std::uint64_t nowMs) {
  ReplyTally& t = f.Tally;
  if (t.owed > 0) --t.owed;
  if (acknowledged) t.acknowledged = true;
  if (t.owed == 0 || (t.acknowledged && f.UpgradeState == kStateReset3)) return Act(f);
  if (t.settleEnd == 0) {
    t.settleEnd = nowMs + static_cast<std::uint64_t>(t.owed) * PerAnswerMs(t);
  }
  if (t.wait != ReplyTally::Wait::Settle) t.graceGiven = false;
  t.wait = ReplyTally::Wait::Settle;
  const Step step = SettleFrom(t, nowMs);
  return step.kind == Step::Kind::Wait ? step : Act(f);
}
}  // namespace

Step JudgeRead(SequencerFields& f, const ReadReplies& read, std::uint64_t nowMs) {
  ReplyTally& t = f.Tally;
  if (!read.answered) {
    // Bytes that complete no answer (an echo among them): while settling, an
    // answer spoiled on the line may be among them, and the next one can
    // take as long again. Otherwise the wait that runs goes on.
    if (t.wait != ReplyTally::Wait::Settle) return {};
    return SettleFrom(t, nowMs);
  }
  // An acknowledgement closes the answer at once, taking in a refusal that
  // came just before it.
  if (read.acknowledged) return AnswerComplete(f, true, nowMs);
  if (t.wait == ReplyTally::Wait::Burst) return {};  // the burst's time keeps running
  t.wait = ReplyTally::Wait::Burst;
  t.graceGiven = false;
  return Wait(kBurstMs);
}

Step JudgeTimer(SequencerFields& f, std::uint64_t nowMs) {
  ReplyTally& t = f.Tally;
  const bool lineOut = f.UpgradeState != kStateIdle && !f.SendPending;
  // A reply whose bytes straddle the end of a wait would otherwise be cut in
  // two by the purge and the next write: its first part dropped, its last
  // part taken for the answer to what follows.
  if (lineOut && !t.replyText.empty() && !t.graceGiven) {
    t.graceGiven = true;
    Step step = Wait(kBurstMs);
    step.replyUnderway = true;
    return step;
  }
  if (lineOut && t.wait == ReplyTally::Wait::Burst) return AnswerComplete(f, false, nowMs);
  if (lineOut && t.wait == ReplyTally::Wait::Settle) return Act(f);
  Step step{.kind = Step::Kind::SendDue, .timedOut = lineOut};
  step.filler = OnReplyTimeout(f);
  return step;
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

ReplyEffect ActOnAnswer(SequencerFields& f, bool positive) {
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
