#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Classes.h"
#include "EmbeddedImage.h"
#include "FakeCommOs.h"
#include "FakeForm.h"
#include "Main.h"

namespace {

using apptest::Box;
using apptest::ComponentBoxes;
using apptest::FakeForm;
using comm::test::FakeCommOs;

bool Called(const FakeCommOs& os, const std::string& call) {
  const auto calls = os.Calls();
  return std::find(calls.begin(), calls.end(), call) != calls.end();
}

class CountingPanel : public app::TMainPanel {
 public:
  using TMainPanel::TMainPanel;
  void Button1Click(comm::TObject* sender) override {
    ++clicks;
    lastSender = sender;
  }
  int clicks = 0;
  comm::TObject* lastSender = nullptr;
};

TEST(MainPanel, StartsIdleWithItsFieldsAndHandlersInPlace) {
  FakeCommOs os;
  FakeForm form;
  auto panel = std::make_unique<CountingPanel>(nullptr, form, os);

  EXPECT_EQ(panel->Button1, &form.button);
  EXPECT_EQ(panel->ProgressBar1, &form.progress);
  EXPECT_EQ(panel->ProgSrc, &form.progSrc);
  EXPECT_EQ(panel->StaticText1, &form.status);
  EXPECT_EQ(panel->Delay, &form.delay);
  EXPECT_EQ(panel->Panel1, &form.panel);
  EXPECT_EQ(panel->Label1, &form.label);

  EXPECT_EQ(panel->UpgradeState, 0u);
  EXPECT_EQ(panel->RetryCount, 0u);
  EXPECT_EQ(panel->LineAddress, 0);
  EXPECT_EQ(panel->ResultText, "OK");
  EXPECT_FALSE(panel->SendPending);
  EXPECT_EQ(panel->RxHistory, (std::array<char, 3>{0, 0, 0}));
  EXPECT_TRUE(std::all_of(panel->ImageBuffer.begin(), panel->ImageBuffer.end(),
                          [](std::uint8_t b) { return b == 0; }));

  // The window owns its port, and no port is opened at start-up.
  ASSERT_NE(panel->Comm, nullptr);
  EXPECT_EQ(panel->Comm->Owner(), panel.get());
  EXPECT_EQ(panel->ComponentCount(), 1u);
  EXPECT_FALSE(panel->Comm->IsOpen());
  EXPECT_EQ(os.CountCalls("CreateFileA"), 0u);
  EXPECT_TRUE(panel->Comm->OnRxChar);

  // The controls' events reach the window's handlers, with the control as
  // sender; a derived window's handler is the one called.
  ASSERT_TRUE(form.button.OnClick);
  form.button.OnClick(&form.button);
  EXPECT_EQ(panel->clicks, 1);
  EXPECT_EQ(panel->lastSender, &form.button);
  EXPECT_TRUE(form.delay.OnTimer);
  EXPECT_TRUE(form.OnClose);

  // Nothing of the window shows yet.
  EXPECT_TRUE(form.button.enabled);
  EXPECT_EQ(form.status.caption, "");
  EXPECT_EQ(form.progress.max, 100);
  EXPECT_EQ(form.progress.position, 0);
  EXPECT_FALSE(form.delay.enabled);
  EXPECT_TRUE(form.boxes.empty());
}

// Stands in for the port to see the order in which the settings are given.
struct SettingsRecorder {
  void SetPort(const std::string& name) { calls.push_back("SetPort '" + name + "'"); }
  void SetBaudRate(std::int8_t i) { calls.push_back("SetBaudRate " + std::to_string(i)); }
  void SetByteSize(std::int8_t i) { calls.push_back("SetByteSize " + std::to_string(i)); }
  void SetStopBits(std::int8_t i) { calls.push_back("SetStopBits " + std::to_string(i)); }
  void SetParity(std::int8_t i) { calls.push_back("SetParity " + std::to_string(i)); }
  void SetFlowControl(std::int8_t m) { calls.push_back("SetFlowControl " + std::to_string(m)); }
  std::vector<std::string> calls;
};

TEST(MainPanel, GivesThePortTheStationLineInOrder) {
  SettingsRecorder recorder;
  app::ConfigureStationLine(recorder);
  EXPECT_EQ(recorder.calls,
            (std::vector<std::string>{"SetPort ''", "SetBaudRate 8", "SetByteSize 4",
                                      "SetStopBits 0", "SetParity 0", "SetFlowControl 1"}));

  // The constructor's port holds those settings: each differs from the
  // component's own default where the defaults tell them apart.
  FakeCommOs os;
  os.AddPort("COM3");
  FakeForm form;
  app::TMainPanel panel(nullptr, form, os);
  comm::TThreadComm& port = *panel.Comm;
  EXPECT_EQ(port.Port(), "");
  EXPECT_EQ(port.BaudRateIndex(), 8);
  EXPECT_EQ(port.ByteSizeIndex(), 4);
  EXPECT_EQ(port.StopBitsIndex(), 0);
  EXPECT_EQ(port.ParityIndex(), 0);
  EXPECT_EQ(port.FlowControlMode(), comm::fcCtsDsr);
  // Setting a closed port touches no OS call.
  // Settings given to a closed port reach no OS call: the only calls are
  // the component's own two overlapped events.
  EXPECT_EQ(os.Calls(), (std::vector<std::string>{"CreateEventA", "CreateEventA"}));

  // And the line the driver gets once a port is named and opened.
  ComponentBoxes componentBoxes;
  port.SetPort("COM3");
  port.Open();
  ASSERT_TRUE(port.IsOpen());
  const DCB dcb = os.WithPort("COM3", [](FakeCommOs::Port& p) { return p.dcb; });
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
  EXPECT_TRUE(componentBoxes.boxes.empty());
}

TEST(MainPanel, FormCloseClosesAnOpenPortSilentlyAndLeavesAClosedOneAlone) {
  FakeCommOs os;
  os.AddPort("COM3");
  FakeForm form;
  ComponentBoxes componentBoxes;
  app::TMainPanel panel(nullptr, form, os);

  // No port open: closing the window makes no OS call at all.
  os.ClearCalls();
  app::TCloseAction action = app::TCloseAction::Free;
  form.OnClose(&form, action);
  EXPECT_TRUE(os.Calls().empty());
  EXPECT_EQ(action, app::TCloseAction::Free);

  // A port open, as during a run: closing the window closes it, no box.
  panel.Comm->SetPort("COM3");
  panel.Comm->Open();
  ASSERT_TRUE(panel.Comm->IsOpen());
  os.ClearCalls();
  form.OnClose(&form, action);
  EXPECT_FALSE(panel.Comm->IsOpen());
  EXPECT_FALSE(os.WithPort("COM3", [](FakeCommOs::Port& p) { return p.open; }));
  EXPECT_TRUE(Called(os, "CloseHandle port COM3"));
  EXPECT_EQ(action, app::TCloseAction::Free);
  EXPECT_TRUE(form.boxes.empty());
  EXPECT_TRUE(componentBoxes.boxes.empty());
}

TEST(MainPanel, DestructionClosesAPortStillOpenAndUnhooksTheControls) {
  FakeCommOs os;
  os.AddPort("COM3");
  FakeForm form;
  ComponentBoxes componentBoxes;
  auto panel = std::make_unique<app::TMainPanel>(nullptr, form, os);
  panel->Comm->SetPort("COM3");
  panel->Comm->Open();
  ASSERT_TRUE(panel->Comm->IsOpen());
  ASSERT_TRUE(os.WaitPending("COM3", std::chrono::seconds(10)));

  panel.reset();
  EXPECT_FALSE(os.WithPort("COM3", [](FakeCommOs::Port& p) { return p.open; }));
  EXPECT_TRUE(Called(os, "CloseHandle port COM3"));
  // Every handle the window's port made is gone with it.
  EXPECT_EQ(os.OpenHandles(), 0u);
  // The controls outlive the window: none may call into it any more.
  EXPECT_FALSE(form.button.OnClick);
  EXPECT_FALSE(form.delay.OnTimer);
  EXPECT_FALSE(form.OnClose);
  EXPECT_TRUE(componentBoxes.boxes.empty());
}

TEST(MainPanel, LoadImageFillsTheBufferAndOnlyEverRaisesTheProgressMaximum) {
  FakeCommOs os;
  FakeForm form;
  for (std::string_view line : resources::EmbeddedImageLines()) form.progSrc.items.emplace_back(line);
  app::TMainPanel panel(nullptr, form, os);

  EXPECT_EQ(form.progress.max, 100);
  panel.LoadImage();
  EXPECT_EQ(form.progress.max, 30860);
  EXPECT_EQ(panel.ImageBuffer[0x0000], 0x02);
  EXPECT_EQ(panel.ImageBuffer[0x0001], 0x69);
  EXPECT_EQ(panel.ImageBuffer[0x0002], 0x21);
  EXPECT_EQ(panel.ImageBuffer[0x0011], 0xFF);
  EXPECT_EQ(panel.ImageBuffer[0x788E], 0x22);
  EXPECT_TRUE(std::all_of(panel.ImageBuffer.begin() + 0x788F, panel.ImageBuffer.end(),
                          [](std::uint8_t b) { return b == 0xFF; }));

  // A second load gives the same buffer whatever it held, and the same
  // maximum, which is not set again.
  const auto first = panel.ImageBuffer;
  panel.ImageBuffer.fill(0x5A);
  panel.LoadImage();
  EXPECT_EQ(panel.ImageBuffer, first);
  EXPECT_EQ(form.progress.max, 30860);
  EXPECT_EQ(form.progress.maxChanges, 1);

  // A lower image never lowers the maximum; a higher one raises it.
  form.progSrc.items = {":0100100055"};
  panel.LoadImage();
  EXPECT_EQ(form.progress.max, 30860);
  EXPECT_EQ(panel.ImageBuffer[0x0010], 0x55);
  EXPECT_EQ(panel.ImageBuffer[0x0000], 0xFF);
  form.progSrc.items = {":02F00000ABCD00"};
  panel.LoadImage();
  EXPECT_EQ(form.progress.max, 0xF000);
}

TEST(MainPanel, StatusLineAndMessageBox) {
  FakeCommOs os;
  FakeForm form;
  app::TMainPanel panel(nullptr, form, os);

  panel.ShowStatus("Initialize bootloader...");
  EXPECT_EQ(form.status.caption, "Initialize bootloader...");
  panel.ShowStatus("Done.");
  EXPECT_EQ(form.status.caption, "Done.");
  panel.ShowStatus("");
  EXPECT_EQ(form.status.caption, "");

  panel.ShowMessageBox("Station KESTRO not found.", "Hardware error.");
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(form.boxes[0].text, "Station KESTRO not found.");
  EXPECT_EQ(form.boxes[0].caption, "Hardware error.");
  EXPECT_EQ(form.boxes[0].flags, 0u);
}

}  // namespace

TEST(MainPanel, AnswerTimesAndTheAdviceOnAnAdaptersLatency) {
  EXPECT_FALSE(app::ReplyTimes({}).has_value());
  const auto four = app::ReplyTimes({4, 1, 3, 2});
  ASSERT_TRUE(four.has_value());
  EXPECT_EQ(four->medianMs, 2.5);
  EXPECT_EQ(four->p99Ms, 4u);
  std::vector<std::uint32_t> many(200);
  for (std::uint32_t i = 0; i < many.size(); ++i) many[i] = 200 - i;
  EXPECT_EQ(app::ReplyTimes(many)->medianMs, 100.5);
  EXPECT_EQ(app::ReplyTimes(many)->p99Ms, 198u);  // nearest rank: the 198th of 200

  // An upgrade whose 1,933 answers each came 9 ms after the line, on an
  // adapter whose timer is 16 ms: about 14 s lost.
  app::TRunRecord run;
  run.port = "COM12";
  run.replyMs.assign(1933, 9);
  run.durationMs = 61000;
  run.latencyTimerMs = 16;
  const std::string advice = app::LatencyAdvice(run);
  EXPECT_TRUE(advice.starts_with(
      "COM12 is an FTDI adapter whose latency timer holds each reply up to 16 ms"))
      << advice;
  EXPECT_NE(advice.find("this upgrade took 61 s instead of about 47 s."), std::string::npos)
      << advice;
  // Nothing lost, nothing said: a 2 ms timer and answers within 5 ms of the
  // reply's own time; and no advice without an answer.
  run.latencyTimerMs = 2;
  run.replyMs.assign(1933, 6);
  EXPECT_EQ(app::LatencyAdvice(run), "");
  run.latencyTimerMs = 16;
  run.replyMs.clear();
  EXPECT_EQ(app::LatencyAdvice(run), "");
}
