#include "Main.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "Bootloader.h"
#include "FrontEnd.h"
#include "Identify.h"
#include "IntelHex.h"
#include "PortReasons.h"
#include "Trace.h"

namespace app {

TMainPanel* MainPanel = nullptr;

TMainPanel::TMainPanel(comm::TComponent* owner, TMainForm& form, comm::CommOs& os,
                       TPortSource& ports)
    : comm::TComponent(owner),
      Panel1(&form.Panel1()),
      Label1(&form.Label1()),
      Button1(&form.Button1()),
      ProgressBar1(&form.ProgressBar1()),
      ProgSrc(&form.ProgSrc()),
      StaticText1(&form.StaticText1()),
      Delay(&form.Delay()),
      form_(form),
      ports_(ports) {
  Button1->OnClick = comm::BindMethod(this, &TMainPanel::Button1Click);
  Delay->OnTimer = comm::BindMethod(this, &TMainPanel::DelayTimer);
  form_.OnClose = comm::BindMethod(this, &TMainPanel::FormClose);

  Clock = [] {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  };
  ResultText = "OK";
  RxHistory[0] = 0;
  RxHistory[1] = 0;
  UpgradeState = 0;

  Comm = new comm::TThreadComm(this, os);
  ConfigureStationLine(*Comm);
  Comm->OnRxChar = comm::BindMethod(this, &TMainPanel::CommRxChar);
}

TMainPanel::~TMainPanel() {
  // The controls outlive this object and Comm goes only with the base class,
  // after the fields: nothing may call into a half-destroyed window.
  Button1->OnClick = nullptr;
  Delay->OnTimer = nullptr;
  Delay->SetEnabled(false);
  form_.OnClose = nullptr;
  if (Comm != nullptr) Comm->OnRxChar = nullptr;
}

upgrade::SequencerFields TMainPanel::Fields() {
  return {UpgradeState, RetryCount, LineAddress, ResultText, SendPending, RxHistory, Tally};
}

void TMainPanel::Button1Click(comm::TObject* /*sender*/) {
  running_ = true;
  serialPortErrorsBefore_ = SerialPortErrorCount();
  if (OnRunStarted) OnRunStarted();
  Button1->SetEnabled(false);
  ShowStatus(std::string(upgrade::kStatusInitialize));
  const upgrade::IdentifyFrame frame = upgrade::BuildIdentifyFrame();
  // One count for the whole scan: the first port with carrier detect gets
  // four attempts, every later one a single attempt.
  std::uint32_t attempts = 0;
  std::vector<std::string> portList;
  Run = TRunRecord{};
  Run.startMs = Clock();
  ports_.EnumerateSerialPorts(portList);
  Run.leftOut = ports_.LeftOut();

  std::string_view outcome;
  for (const std::string& name : portList) {
    Comm->SetPort(name);
    Comm->Open();
    if (!Comm->IsOpen()) {
      Run.passedOver.push_back({name, OpenFailureReason(*Comm)});
      continue;
    }
    Comm->SetDTR(true);
    Comm->SetRTS(true);
    if (!Comm->GetModemLine(kModemLineCarrierDetect)) {
      Comm->Close();
      Run.passedOver.push_back({name, std::string(kNoCarrierReason)});
      continue;
    }
    std::uint32_t frames = 0;
    for (;;) {
      Comm->PurgeBuffers();
      Comm->Write(frame.data(), static_cast<std::int32_t>(frame.size()));
      ++frames;
      // Cleared before every read, so that bytes of an earlier attempt or an
      // earlier port can never complete a reply.
      upgrade::IdentifyReply reply{};
      Comm->Read(reply.data(), static_cast<std::int32_t>(reply.size()));
      const upgrade::ReplyVerdict verdict = upgrade::CheckIdentifyReply(reply);
      if (verdict != upgrade::ReplyVerdict::Failed) {
        outcome = verdict == upgrade::ReplyVerdict::Accepted ? upgrade::kIdentifyOk
                                                             : upgrade::kUpgradeNotSupported;
        Run.port = name;
        const std::size_t length =
            reply[1] >= 2 && reply[1] <= reply.size() ? reply[1] : reply.size();
        Run.identifyReply.assign(reply.begin(),
                                 reply.begin() + static_cast<std::ptrdiff_t>(length));
        break;
      }
      if (attempts++ >= 3) break;
    }
    if (!outcome.empty()) break;
    Comm->Close();
    std::string reason = NoAnswerReason(frames);
    // Pulled out during the scan: say so beside the missing answers.
    if (const std::string failure = PortFailureReason(Comm->LastIoError()); !failure.empty())
      reason += "; " + failure;
    Run.passedOver.push_back({name, reason});
  }

  if (!Comm->IsOpen()) {
    std::string details;
    for (const std::string& line : ScanReasonLines(Run)) details += line + "\n";
    ShowMessageBox(std::string(upgrade::kStationNotFound), std::string(upgrade::kCaptionHardware),
                   details);
    Button1->SetEnabled(true);
    ShowStatus("");
    EndRun({"not found", std::string(upgrade::kStationNotFound), 3});
    return;
  }
  if (outcome != upgrade::kIdentifyOk) {
    ShowMessageBox(std::string(outcome), std::string(upgrade::kCaptionInitialize),
                   "The station: " + StationStateText(Run) + "\n");
    Comm->Close();
    Button1->SetEnabled(true);
    ShowStatus("");
    EndRun({"refused", std::string(outcome), 4});
    return;
  }
  LoadImage();
  for (std::uint32_t address = 0; address < kImageBufferSize; address += upgrade::kBlockSize) {
    if (!upgrade::BlockIsBlank(std::span<const std::uint8_t, kImageBufferSize>(ImageBuffer),
                               address))
      ++Run.blocksInImage;
  }
  Run.latencyTimerMs = ports_.LatencyTimerMs(Run.port);
  ShowStatus(std::string(upgrade::kStatusErase));
  // A reply cut short when an earlier run ended must not complete one in
  // this run: a stray LF would otherwise acknowledge the erase.
  upgrade::SequencerFields fields = Fields();
  upgrade::BeginRun(fields);
  Delay->SetInterval(upgrade::kStartDelayMs);
  Delay->SetEnabled(true);
}

void TMainPanel::DelayTimer(comm::TObject* /*sender*/) {
  Delay->SetEnabled(false);
  upgrade::SequencerFields fields = Fields();
  ApplyStep(upgrade::JudgeTimer(fields, Clock()));
}

void TMainPanel::CommRxChar(comm::TObject* /*sender*/, std::uint32_t count) {
  // Input only matters while a line waits for its reply; unread input stays
  // queued and the purge before the next line drops it.
  if (UpgradeState == 0 || ResultText != upgrade::kResultOk || SendPending) return;
  // Every reply this event brings is examined before anything is done about
  // them: together they are one answer, and none of them can answer a line
  // that is written after they arrived.
  std::array<std::uint8_t, kReceiveBufferSize> buffer;
  upgrade::SequencerFields fields = Fields();
  upgrade::ReadReplies replies;
  bool received = false;
  std::uint32_t left = count;
  while (left > 0) {
    const auto wanted = static_cast<std::int32_t>(std::min<std::uint32_t>(left, buffer.size()));
    const std::int32_t n = Comm->Read(buffer.data(), wanted);
    if (n <= 0) break;
    received = true;
    left -= static_cast<std::uint32_t>(n);
    upgrade::FeedReceived(
        fields, std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)), replies);
    if (replies.answered && !answerTimed_) {
      // The copy's first answer: how long after the line had left the wire.
      answerTimed_ = true;
      const double waited = static_cast<double>(Clock()) - wireFreeMs_;
      const auto ms = static_cast<std::uint32_t>(waited > 0 ? waited + 0.5 : 0);
      Run.replyMs.push_back(ms);
      TraceNote("answered " + std::to_string(ms) + " ms after the line had left");
    }
    // The event announced more than one buffer holds: nothing announces those
    // bytes again, so read on, unless the read came up short.
    if (n < wanted) break;
  }
  if (!received) return;
  ApplyStep(upgrade::JudgeRead(fields, replies, Clock()));
}

void TMainPanel::ApplyStep(const upgrade::Step& step) {
  using Kind = upgrade::Step::Kind;
  switch (step.kind) {
    case Kind::None:
      return;
    case Kind::Wait:
      if (step.replyUnderway) {
        TraceNote("a reply was arriving when its wait ran out: " + std::to_string(step.waitMs) +
                  " ms more for it");
      } else if (step.copiesOwed != 0) {
        TraceNote("waiting up to " + std::to_string(step.waitMs) + " ms for the answers of " +
                  std::to_string(step.copiesOwed) + " earlier copies of the line");
      }
      Delay->SetEnabled(false);
      Delay->SetInterval(step.waitMs);
      Delay->SetEnabled(true);
      return;
    case Kind::SendDue:
      if (step.filler) {
        NoteWireTime(upgrade::kFiller.size());
        Comm->Write(upgrade::kFiller.data(), static_cast<std::int32_t>(upgrade::kFiller.size()));
        ++Run.fillers;
      }
      if (step.timedOut) ++Run.timeouts;
      SendLine();
      return;
    case Kind::Acknowledged:
    case Kind::Refused:
      break;
  }
  Delay->SetEnabled(false);
  const bool positive = step.kind == Kind::Acknowledged;
  if (positive && step.copiesOwed != 0) {
    TraceNote("acknowledged with " + std::to_string(step.copiesOwed) +
              " earlier copy of the line not answered: a reply that still comes cannot be told "
              "apart from the next line's");
  }
  if (positive) {
    switch (UpgradeState) {
      case upgrade::kStateErase:
        Run.eraseAcknowledged = true;
        break;
      case upgrade::kStateProgramming:
        ++Run.blocksAcknowledged;
        Run.lastAcknowledgedAddress = LineAddress;
        break;
      default:
        ++Run.closingAcknowledged;
        break;
    }
  }
  upgrade::SequencerFields fields = Fields();
  const upgrade::ReplyEffect effect = upgrade::ActOnAnswer(fields, positive);
  if (!effect.status.empty()) ShowStatus(std::string(effect.status));
  if (effect.moveProgress) ProgressBar1->SetPosition(effect.progress);
  if (effect.finished) {
    Comm->Close();
    ShowStatus(std::string(upgrade::kStatusDone));
    Button1->SetEnabled(true);
    EndRun({"done", std::string(upgrade::kStatusDone), 0});
  }
  SendLine();
}

void TMainPanel::SendLine() {
  upgrade::SequencerFields fields = Fields();
  switch (upgrade::CheckSendLine(fields)) {
    case upgrade::SendGate::Skip:
      return;
    case upgrade::SendGate::Fail:
      FailRun();
      return;
    case upgrade::SendGate::Proceed:
      break;
  }
  Comm->PurgeBuffers();
  const upgrade::LineToSend line =
      upgrade::FormLine(fields, std::span<const std::uint8_t, kImageBufferSize>(ImageBuffer));
  if (line.programmingOver) {
    ShowStatus(std::string(upgrade::kStatusReset));
    ProgressBar1->SetPosition(0);
    SendLine();
    return;
  }
  NoteWireTime(line.line.size());
  Comm->Write(line.line.data(), static_cast<std::int32_t>(line.line.size()));
  upgrade::LineWritten(fields, line.line);
  answerTimed_ = false;
  ++Run.linesSent;
  if (Tally.copies > 1) ++Run.resends;
  if (UpgradeState == upgrade::kStateErase) Run.eraseSent = true;
  Delay->SetInterval(line.replyMs);
  Delay->SetEnabled(true);
}

void TMainPanel::FailRun() {
  upgrade::SequencerFields fields = Fields();
  const std::string message = upgrade::TakeFailure(fields);
  Comm->Close();
  Delay->SetEnabled(false);
  ShowStatus("");
  ProgressBar1->SetPosition(0);
  // The box says only that the station stopped answering; a port that
  // failed under the run (an adapter pulled out) is why.
  std::string details;
  if (const std::string failure = PortFailureReason(Comm->LastIoError()); !failure.empty())
    details = Run.port + ": " + failure + "\n";
  CloseRunTimes();
  ShowMessageBox(message, std::string(upgrade::kCaptionUpgrade),
                 details + "The station: " + StationStateText(Run) + "\n" +
                     (Run.latencyAdvice.empty() ? "" : Run.latencyAdvice + "\n"));
  Button1->SetEnabled(true);
  EndRun({"upgrade error", message, 5});
}

void TMainPanel::NoteWireTime(std::size_t count) {
  wireFreeMs_ = std::max(wireFreeMs_, static_cast<double>(Clock())) + WireMs(count);
}

void TMainPanel::CloseRunTimes() {
  Run.durationMs = Clock() - Run.startMs;
  Run.latencyAdvice = LatencyAdvice(Run);
}

void TMainPanel::EndRun(TRunEnding ending) {
  if (!running_) return;
  running_ = false;
  // After a failure box the advice was already given beside it.
  const bool shown = !Run.latencyAdvice.empty();
  CloseRunTimes();
  if (!shown && !Run.latencyAdvice.empty()) TraceNote(Run.latencyAdvice);
  if (ending.exitStatus != 0 && ending.exitStatus != 130 &&
      SerialPortErrorCount() != serialPortErrorsBefore_)
    ending.exitStatus = 6;
  if (OnRunEnded) OnRunEnded(ending);
}

void TMainPanel::LoadImage() {
  std::int32_t maximum = ProgressBar1->Max();
  upgrade::LoadImageLines(ProgSrc->Items(), std::span<std::uint8_t, kImageBufferSize>(ImageBuffer),
                          maximum);
  if (maximum != ProgressBar1->Max()) ProgressBar1->SetMax(maximum);
}

void TMainPanel::FormClose(comm::TObject* /*sender*/, TCloseAction& /*action*/) {
  // A run in progress is abandoned without a word; the port must not stay
  // open behind the closed window.
  if (Comm->IsOpen()) Comm->Close();
  EndRun({"interrupted", "", 130});
}

void TMainPanel::ShowStatus(const std::string& text) {
  TraceStatus(text);
  StaticText1->SetCaption(text);
}

void TMainPanel::ShowMessageBox(const std::string& text, const std::string& caption,
                                const std::string& details) {
  TraceBox(text, caption);
  if (!details.empty()) TraceNote("beside the box: " + details.substr(0, details.size() - 1));
  form_.BoxDetails = details;
  form_.MessageBox(text, caption, kMessageBoxOk);
  form_.BoxDetails.clear();
}

std::string GroupedNumber(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped.push_back(',');
    grouped.push_back(digits[i]);
  }
  return grouped;
}

double WireMs(std::size_t count) {
  return static_cast<double>(count) * 10.0 * 1000.0 / 19200.0;
}

std::optional<TReplyTimes> ReplyTimes(const std::vector<std::uint32_t>& replyMs) {
  if (replyMs.empty()) return std::nullopt;
  std::vector<std::uint32_t> sorted = replyMs;
  std::sort(sorted.begin(), sorted.end());
  const std::size_t n = sorted.size();
  TReplyTimes times;
  times.medianMs = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
  times.p99Ms = sorted[(n * 99 + 99) / 100 - 1];
  return times;
}

std::string LatencyAdvice(const TRunRecord& run) {
  const std::optional<TReplyTimes> times = ReplyTimes(run.replyMs);
  if (!times || run.port.empty()) return {};
  // The least an answer can take: ". CR LF" on the wire.
  const double excess = times->medianMs - WireMs(3);
  const bool timerHigh = run.latencyTimerMs && *run.latencyTimerMs > 2;
  if (!timerHigh && excess <= 5) return {};
  const double seconds = static_cast<double>(run.durationMs) / 1000.0;
  const double lost = std::max(0.0, excess) * static_cast<double>(run.replyMs.size()) / 1000.0;
  char cost[96] = "";
  if (lost >= 1)
    std::snprintf(cost, sizeof cost, ": this upgrade took %.0f s instead of about %.0f s", seconds,
                  seconds - lost);
  char median[32];
  std::snprintf(median, sizeof median, "%.1f ms", times->medianMs);
  std::string text;
  if (timerHigh) {
    text = run.port + " is an FTDI adapter whose latency timer holds each reply up to " +
           std::to_string(*run.latencyTimerMs) + " ms (its answers came after " + median +
           ", the median)" + cost + ". ";
  } else {
    text = "The station's answers on " + run.port + " came " + median +
           " after each line (the median), more than 5 ms beyond what the line itself needs" +
           cost + "; a USB adapter's latency timer holds replies like this. ";
  }
#ifdef _WIN32
  text +=
      "Set it to 2 ms in the Device Manager: the port's Properties, Port Settings, Advanced, "
      "Latency Timer.";
#else
  if (timerHigh) {
    text += "Set it to 1 ms: echo 1 | sudo tee /sys/class/tty/" +
            std::filesystem::path(run.port).filename().string() + "/device/latency_timer";
  } else {
    text +=
        "On an FTDI adapter set it to 1 ms (echo 1 | sudo tee "
        "/sys/class/tty/ttyUSB0/device/latency_timer, with the adapter's name), or use "
        "another port.";
  }
#endif
  return text;
}

std::string StationStateText(const TRunRecord& run) {
  constexpr std::string_view kRunAgain =
      "it will not start until an upgrade completes: keep it powered and run the upgrade again";
  if (!run.eraseSent) return "not changed: nothing was written to it";
  if (!run.eraseAcknowledged) {
    return "not changed, unless it erased without acknowledging: the erase line went out but was "
           "never acknowledged";
  }
  const std::string blocks = GroupedNumber(run.blocksInImage);
  if (run.closingAcknowledged == 0 && run.blocksAcknowledged < run.blocksInImage) {
    return "erased; " + GroupedNumber(run.blocksAcknowledged) + " of " + blocks +
           " blocks written; " + std::string(kRunAgain);
  }
  if (run.closingAcknowledged >= 3) return "upgraded: every block written and the station reset";
  return "erased and all " + blocks + " blocks written; " +
         std::to_string(run.closingAcknowledged) + " of the 3 closing commands acknowledged; " +
         std::string(kRunAgain);
}

}  // namespace app
