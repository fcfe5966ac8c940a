#include "Main.h"

#include <algorithm>
#include <chrono>
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
  return {UpgradeState, RetryCount, LineAddress, ResultText, SendPending, Tally};
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
  ShowStatus(std::string(upgrade::kStatusErase));
  // A reply cut short when an earlier run ended must not complete one in
  // this run: a stray LF would otherwise acknowledge the erase.
  RxHistory.fill(0);
  Tally = upgrade::ReplyTally{};
  UpgradeState = upgrade::kStateErase;
  SendPending = true;
  Delay->SetInterval(upgrade::kStartDelayMs);
  Delay->SetEnabled(true);
}

void TMainPanel::DelayTimer(comm::TObject* /*sender*/) {
  Delay->SetEnabled(false);
  upgrade::SequencerFields fields = Fields();
  if (UpgradeState != upgrade::kStateIdle && !SendPending &&
      Tally.wait != upgrade::ReplyTally::Wait::Reply) {
    ApplyAnswer(upgrade::OnJudgingTimeout(fields, Clock()));
    return;
  }
  const bool lineOut = UpgradeState != upgrade::kStateIdle && !SendPending;
  if (upgrade::OnReplyTimeout(fields)) {
    Comm->Write(upgrade::kFiller.data(), static_cast<std::int32_t>(upgrade::kFiller.size()));
    ++Run.fillers;
  }
  if (lineOut) ++Run.timeouts;
  SendLine();
}

void TMainPanel::CommRxChar(comm::TObject* /*sender*/, std::uint32_t count) {
  // Input only matters while a line waits for its reply; unread input stays
  // queued and the purge before the next line drops it.
  if (UpgradeState == 0 || ResultText != upgrade::kResultOk || SendPending) return;
  // Every reply this event brings is examined before anything is done about
  // them: together they are one answer (an echo ending in CR LF, then the
  // acknowledgement, is an acknowledgement), and none of them can answer a
  // line that is written after they arrived.
  std::array<std::uint8_t, kReceiveBufferSize> buffer;
  bool completed = false;
  bool acknowledged = false;
  bool received = false;
  std::uint32_t left = count;
  while (left > 0) {
    const auto wanted = static_cast<std::int32_t>(std::min<std::uint32_t>(left, buffer.size()));
    const std::int32_t n = Comm->Read(buffer.data(), wanted);
    if (n <= 0) break;
    received = true;
    left -= static_cast<std::uint32_t>(n);
    for (std::int32_t i = 0; i < n; ++i) {
      const upgrade::Reply reply =
          upgrade::FeedReplyChar(RxHistory, static_cast<char>(buffer[static_cast<std::size_t>(i)]));
      if (reply == upgrade::Reply::None) continue;
      completed = true;
      if (reply == upgrade::Reply::Positive) acknowledged = true;
    }
    // The event announced more than one buffer holds: nothing announces those
    // bytes again, so read on, unless the read came up short.
    if (n < wanted) break;
  }
  if (!received) return;
  upgrade::SequencerFields fields = Fields();
  ApplyAnswer(completed ? upgrade::OnRepliesRead(fields, acknowledged, Clock())
                        : upgrade::OnIncompleteBytes(fields, Clock()));
}

void TMainPanel::ApplyAnswer(const upgrade::AnswerStep& step) {
  if (!step.act) {
    if (step.waitMs != 0) {
      if (Tally.wait == upgrade::ReplyTally::Wait::Settle) {
        TraceNote("waiting up to " + std::to_string(step.waitMs) + " ms for the answers of " +
                  std::to_string(Tally.owed) + " earlier copies of the line");
      }
      Delay->SetEnabled(false);
      Delay->SetInterval(step.waitMs);
      Delay->SetEnabled(true);
    }
    return;
  }
  Delay->SetEnabled(false);
  if (step.positive && step.stillOwed != 0) {
    TraceNote("acknowledged with " + std::to_string(step.stillOwed) +
              " earlier copy of the line not answered: a reply that still comes cannot be told "
              "apart from the next line's");
  }
  if (step.positive) {
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
  const upgrade::ReplyEffect effect = upgrade::OnReply(fields, step.positive);
  if (step.positive) {
    // A reply begun before the next line goes out cannot be its answer.
    RxHistory.fill(0);
  }
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
  Comm->Write(line.line.data(), static_cast<std::int32_t>(line.line.size()));
  upgrade::CountLineWritten(Tally);
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
  ShowMessageBox(message, std::string(upgrade::kCaptionUpgrade),
                 details + "The station: " + StationStateText(Run) + "\n");
  Button1->SetEnabled(true);
  EndRun({"upgrade error", message, 5});
}

void TMainPanel::EndRun(TRunEnding ending) {
  if (!running_) return;
  running_ = false;
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
