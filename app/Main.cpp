#include "Main.h"

#include <span>

#include "IntelHex.h"

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

void TMainPanel::Button1Click(comm::TObject* /*sender*/) {
  // The station scan and the start of a run are not built yet: a press
  // changes nothing.
}

void TMainPanel::DelayTimer(comm::TObject* /*sender*/) {
  Delay->SetEnabled(false);
  SendLine();
}

void TMainPanel::CommRxChar(comm::TObject* /*sender*/, std::uint32_t /*count*/) {
  // Input only matters while a run waits for a reply; until the sequencer
  // exists no run does, and unread input stays queued for the next purge.
  if (UpgradeState == 0 || ResultText != "OK" || SendPending) return;
}

void TMainPanel::SendLine() {
  if (UpgradeState == 0) return;
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
}

void TMainPanel::ShowStatus(const std::string& text) { StaticText1->SetCaption(text); }

void TMainPanel::ShowMessageBox(const std::string& text, const std::string& caption) {
  form_.MessageBox(text, caption, kMessageBoxOk);
}

}  // namespace app
