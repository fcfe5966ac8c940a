// TMainPanel: the main window's logic. It owns the serial port and holds
// every piece of state of an upgrade run; the front end draws the controls
// and forwards their events here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Classes.h"
#include "Comm.h"
#include "Controls.h"
#include "PortSource.h"
#include "Sequencer.h"

namespace app {

inline constexpr std::size_t kImageBufferSize = 65536;
// Received bytes are read in blocks of at most this size.
inline constexpr std::size_t kReceiveBufferSize = 256;
// GetModemLine's number for carrier detect.
inline constexpr std::int32_t kModemLineCarrierDetect = 4;

// The line the station speaks: 19,200 baud, 8 data bits, 1 stop bit, no
// parity, output handshake on CTS and DSR, no port named yet. The settings
// are given in this order; the port stays closed.
template <class CommT>
void ConfigureStationLine(CommT& comm) {
  comm.SetPort("");
  comm.SetBaudRate(8);
  comm.SetByteSize(4);
  comm.SetStopBits(0);
  comm.SetParity(0);
  comm.SetFlowControl(comm::fcCtsDsr);
}

// What one press of Start found and did, for the person at the bench and for
// the record of the run. Reset by every press of Start.
struct TRunRecord {
  struct PassedOver {
    std::string port;
    std::string reason;
  };
  // Every port the scan gave up, and why, in the order tried.
  std::vector<PassedOver> passedOver;
  // Ports the listing left out on purpose (the kernel console, Bluetooth links).
  std::vector<std::string> leftOut;
  // The station's port and its identify reply.
  std::string port;
  std::vector<std::uint8_t> identifyReply;
  // Bootloader lines written (resends included), resends, fillers, time-outs.
  std::uint32_t linesSent = 0;
  std::uint32_t resends = 0;
  std::uint32_t fillers = 0;
  std::uint32_t timeouts = 0;
  bool eraseSent = false;
  bool eraseAcknowledged = false;
  // Programming lines the image calls for, and those acknowledged.
  std::uint32_t blocksInImage = 0;
  std::uint32_t blocksAcknowledged = 0;
  std::uint32_t closingAcknowledged = 0;
  // The address of the last acknowledged block; -1: none.
  std::int32_t lastAcknowledgedAddress = -1;
  // For every copy of a line that drew an answer: ms from the moment its
  // last character had left at the line's speed to the answer's LF.
  std::vector<std::uint32_t> replyMs;
  // The station's adapter's latency timer, where its driver keeps one.
  std::optional<std::uint32_t> latencyTimerMs;
  // The run's length on the window's clock, from the press of Start.
  std::uint64_t startMs = 0;
  std::uint64_t durationMs = 0;
  // What the adapter's latency cost this run, in words to act on; empty
  // when nothing was lost.
  std::string latencyAdvice;
};

// The median and the 99th percentile (nearest rank) of the answer times.
struct TReplyTimes {
  double medianMs = 0;
  std::uint32_t p99Ms = 0;
};
std::optional<TReplyTimes> ReplyTimes(const std::vector<std::uint32_t>& replyMs);

// The line's own time for count characters at 19,200 baud, 10 bits each, in ms.
double WireMs(std::size_t count);

// The advice on the adapter's latency for a run that has ended, or empty.
std::string LatencyAdvice(const TRunRecord& run);

// How a run ended, as its record gives it.
struct TRunEnding {
  // "done", "not found", "refused", "upgrade error" or "interrupted".
  std::string outcome;
  // The status or box text the run ended with ("Done.", "Command timeout.").
  std::string message;
  // The exit status ks-idu-cli gives such an ending (its --help lists them).
  int exitStatus = 0;
};

// What the station holds after a run that ended as the record says, in a
// sentence for the person at the bench.
std::string StationStateText(const TRunRecord& run);

// 1929 as "1,929".
std::string GroupedNumber(std::uint64_t value);

class TMainPanel : public comm::TComponent {
 public:
  // The form's controls must outlive the panel: a front end destroys the
  // panel before the controls it built.
  TMainPanel(comm::TComponent* owner, TMainForm& form, comm::CommOs& os = comm::SystemCommOs(),
             TPortSource& ports = SystemPortSource());
  ~TMainPanel() override;
  const char* ClassName() const override { return "TMainPanel"; }

  // Handlers of the engine.
  virtual void Button1Click(comm::TObject* sender);
  virtual void DelayTimer(comm::TObject* sender);
  void CommRxChar(comm::TObject* sender, std::uint32_t count);
  void SendLine();
  void LoadImage();

  void FormClose(comm::TObject* sender, TCloseAction& action);

  // Replaces the whole status line; an empty text clears it.
  void ShowStatus(const std::string& text);
  // Modal box with an OK button only and no icon; details go beside it.
  void ShowMessageBox(const std::string& text, const std::string& caption,
                      const std::string& details = {});

  TMainForm& Form() { return form_; }

  // Milliseconds on a monotonic clock, for judging how late answers may
  // come; a test may give the window a clock of its own.
  std::function<std::uint64_t()> Clock;

  // Told when a press of Start begins a run, and when the run has ended
  // (after its box, if any, was closed; or when the window closes during it).
  std::function<void()> OnRunStarted;
  std::function<void(const TRunEnding& ending)> OnRunEnded;

  TPanel* Panel1;
  TLabel* Label1;
  TButton* Button1;
  TProgressBar* ProgressBar1;
  TListBox* ProgSrc;
  TStaticText* StaticText1;
  TTimer* Delay;

  comm::TThreadComm* Comm = nullptr;
  std::uint32_t UpgradeState = 0;
  std::uint32_t RetryCount = 0;
  std::int32_t LineAddress = 0;
  std::string ResultText;
  bool SendPending = false;
  // The three most recently received characters, newest first.
  std::array<char, 3> RxHistory{};
  // How the answers to the line that is out are being counted.
  upgrade::ReplyTally Tally;
  // What the current or last run found and did.
  TRunRecord Run;
  std::array<std::uint8_t, kImageBufferSize> ImageBuffer{};

 private:
  upgrade::SequencerFields Fields();
  // Carries out what the judging decided: a wait, the line's next copy, or
  // the answer acted on (the state moves on, the line goes out again, or the
  // run ends).
  void ApplyStep(const upgrade::Step& step);
  // The failure ending of a run: port closed, timer off, status cleared,
  // progress 0, the box, then Start enabled.
  void FailRun();
  void EndRun(TRunEnding ending);

  // Ends a run's timing: its length, and the advice on the adapter.
  void CloseRunTimes();
  // count characters are about to be written after whatever is on the wire.
  void NoteWireTime(std::size_t count);

  TMainForm& form_;
  TPortSource& ports_;
  // When the line last written, the filler included, has left at the line's
  // speed; whether the copy that is out has had its answer timed.
  double wireFreeMs_ = 0;
  bool answerTimed_ = true;
  // The serial component's boxes before the run began: one during the run
  // gives its ending the exit status of a serial port error.
  std::uint64_t serialPortErrorsBefore_ = 0;
  bool running_ = false;
};

// The application's one window, while it exists.
extern TMainPanel* MainPanel;

}  // namespace app
