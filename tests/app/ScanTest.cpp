// Pressing Start: the port scan with the identify frame, through the window's
// logic and the real serial component, over virtual ports with stations.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EmbeddedImage.h"
#include "EngineFixture.h"

namespace {

using apptest::EngineFixture;
using apptest::SimulatedPorts;
using station::IdentifyAnswer;

const std::string kFrame("\x5A\x0A\x00\xF1\x30\x30\x30\x30\xFD\xEB", 10);

std::string Frames(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += kFrame;
  return out;
}

class Scan : public EngineFixture {};

TEST_F(Scan, NoPortsAtAllIsNotFoundAtOnce) {
  source.names.clear();
  Press();
  EXPECT_EQ(os.CountCalls("CreateFileA"), 0u);
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(form.boxes[0].text, "Station KESTRO not found.");
  EXPECT_EQ(form.boxes[0].caption, "Hardware error.");
  EXPECT_EQ(form.boxes[0].flags, 0u);
  // While the box is up the status line still reads as before and Start is
  // still disabled; both change only after it.
  EXPECT_EQ(form.boxes[0].status, "Initialize bootloader...");
  EXPECT_FALSE(form.boxes[0].startEnabled);
  ExpectIdle();
  EXPECT_EQ(form.status.history, (std::vector<std::string>{"Initialize bootloader...", ""}));
}

TEST_F(Scan, PortsWithoutCarrierDetectOrThatDoNotOpenGetNoByte) {
  ports.AddPort("COM1", SimulatedPorts::kAllLines, /*opens=*/false);
  ports.AddPort("COM2", MS_CTS_ON | MS_DSR_ON);  // no carrier detect
  ports.AddStation("COM3", {}, MS_CTS_ON | MS_DSR_ON | MS_RING_ON);
  source.names = {"COM1", "COM2", "COM3"};
  Press();

  // Opened, DTR and RTS raised, carrier detect tested, closed: not a byte.
  for (const char* name : {"COM2", "COM3"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ports.Written(name), "");
    EXPECT_FALSE(ports.IsOpen(name));
    EXPECT_TRUE(os.WithPort(name, [](auto& p) { return p.dtr && p.rts; }));
  }
  EXPECT_EQ(ports.StationAt("COM3").IdentifyFrames(), 0);
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(form.boxes[0].text, "Station KESTRO not found.");
  EXPECT_TRUE(componentBoxes.boxes.empty());
  ExpectIdle();
}

TEST_F(Scan, OneAttemptCountForTheWholeScan) {
  // A port that does not open and one without carrier detect leave the count
  // alone: the first port with carrier detect gets four attempts, every
  // later one a single attempt.
  ports.AddPort("COM1", SimulatedPorts::kAllLines, /*opens=*/false);
  ports.AddPort("COM2", MS_CTS_ON | MS_DSR_ON);
  ports.AddPort("COM3");
  ports.AddPort("COM4");
  ports.AddPort("COM5");
  source.names = {"COM1", "COM2", "COM3", "COM4", "COM5"};
  Press();
  EXPECT_EQ(ports.Written("COM2"), "");
  EXPECT_EQ(ports.Written("COM3"), Frames(4));
  EXPECT_EQ(ports.Written("COM4"), Frames(1));
  EXPECT_EQ(ports.Written("COM5"), Frames(1));
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(form.boxes[0].caption, "Hardware error.");
  ExpectIdle();

  // Each attempt purges the input, writes the frame and reads up to 10 bytes.
  // The port's event thread logs its waits in between whenever it is
  // scheduled, so those are left out of the order checked here.
  std::vector<std::string> calls;
  for (const auto& call : os.Calls())
    if (call != "CreateEventA" && call != "WaitCommEvent" && call != "WaitForSingleObject" &&
        call != "ResetEvent" && call != "GetOverlappedResult event")
      calls.push_back(call);
  const auto firstWrite = std::find(calls.begin(), calls.end(), "WriteFile 10");
  ASSERT_NE(firstWrite, calls.end());
  EXPECT_EQ(*std::prev(firstWrite), "PurgeComm 0xA");
  EXPECT_NE(std::find(firstWrite, calls.end(), "ReadFile 10"), calls.end());

  // Start again: a fresh scan with four attempts on the first port.
  for (const char* name : {"COM3", "COM4", "COM5"}) ports.ClearWritten(name);
  form.boxes.clear();
  Press();
  EXPECT_EQ(ports.Written("COM3"), Frames(4));
  EXPECT_EQ(ports.Written("COM4"), Frames(1));
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(form.boxes[0].text, "Station KESTRO not found.");
}

TEST_F(Scan, AStationBehindASilentPortGetsOneTry) {
  ports.AddPort("COM1");
  station::Station& late = ports.AddStation("COM2", {.answerFromFrame = 2});
  source.names = {"COM1", "COM2"};
  Press();
  // Its one try is its first frame, which it does not answer.
  EXPECT_EQ(ports.Written("COM1"), Frames(4));
  EXPECT_EQ(late.IdentifyFrames(), 1);
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(form.boxes[0].text, "Station KESTRO not found.");
  ExpectIdle();
}

TEST_F(Scan, AStationBehindASilentPortIsFoundOnItsOneTry) {
  ports.AddPort("COM1");
  station::Station& ready = ports.AddStation("COM2");
  source.names = {"COM1", "COM2"};
  Press();
  EXPECT_EQ(ports.Written("COM1"), Frames(4));
  EXPECT_EQ(ready.IdentifyFrames(), 1);
  EXPECT_TRUE(form.boxes.empty());
  EXPECT_TRUE(ports.IsOpen("COM2"));
  EXPECT_EQ(panel->UpgradeState, 1u);
}

TEST_F(Scan, TheStationAnsweringFromItsFourthFrameIsFound) {
  station::Station& s = ports.AddStation("COM1", {.answerFromFrame = 4});
  Press();
  EXPECT_EQ(s.IdentifyFrames(), 4);
  EXPECT_EQ(panel->UpgradeState, 1u) << "the fourth attempt is the last one";
}

TEST_F(Scan, TheStationAnsweringFromItsFifthFrameIsNotFound) {
  station::Station& fifth = ports.AddStation("COM1", {.answerFromFrame = 5});
  Press();
  EXPECT_EQ(fifth.IdentifyFrames(), 4);
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(form.boxes[0].text, "Station KESTRO not found.");
}

TEST_F(Scan, ARefusalIsReportedWithThePortStillOpenThenClosed) {
  station::Station& s = ports.AddStation("COM1", {.identify = IdentifyAnswer::Refuse});
  ports.AddStation("COM2");
  source.names = {"COM1", "COM2"};
  bool openDuringBox = false;
  form.onBox = [&](const apptest::Box&) { openDuringBox = ports.IsOpen("COM1"); };
  Press();
  EXPECT_EQ(s.IdentifyFrames(), 1);
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(form.boxes[0].text, "Station upgrade not supported.");
  EXPECT_EQ(form.boxes[0].caption, "Initialize error.");
  EXPECT_EQ(form.boxes[0].status, "Initialize bootloader...");
  EXPECT_FALSE(form.boxes[0].startEnabled);
  EXPECT_TRUE(openDuringBox);
  // The scan ended at the first passing reply: the later port never opened.
  EXPECT_EQ(os.CountCalls("CreateFileA COM2"), 0u);
  ExpectIdle();

  // Start again after the refusal: a fresh scan.
  form.boxes.clear();
  Press();
  EXPECT_EQ(s.IdentifyFrames(), 2);
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(form.boxes[0].caption, "Initialize error.");
}

TEST_F(Scan, RepliesThatFailTheCheckAreFailedAttempts) {
  station::Station& s = ports.AddStation("COM1", {.identify = IdentifyAnswer::BadChecksum});
  Press();
  EXPECT_EQ(s.IdentifyFrames(), 4);
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(form.boxes[0].text, "Station KESTRO not found.");
  ExpectIdle();
}

TEST_F(Scan, BytesOfAnEarlierAttemptNeverCompleteAReply) {
  // The first answer is a correct acceptance but for its start byte; the
  // second is that start byte alone. Left in the reply buffer, the first
  // would make the second pass.
  ports.AddPort("COM1");
  int writes = 0;
  os.WithPort("COM1", [&](comm::test::FakeCommOs::Port& p) {
    p.peer = [&](const std::vector<std::uint8_t>&, std::vector<std::uint8_t>& reply) {
      if (++writes == 1) {
        reply = {0x00, 0x0A, 0x00, 0xF1, 0x30, 0x30, 0x30, 0x30, 0xFD, 0xEB};
      } else {
        reply = {0x5A};
      }
    };
    return 0;
  });
  Press();
  EXPECT_EQ(writes, 4);
  ASSERT_EQ(form.boxes.size(), 1u);
  EXPECT_EQ(form.boxes[0].text, "Station KESTRO not found.");
}

TEST_F(Scan, AnAcceptanceHandsARunningUpgradeOver) {
  // A 10-byte reply with 0xA2 at offset 4 accepts: only 7 and 8 bytes refuse.
  station::Station& s = ports.AddStation("COM2", {.identify = IdentifyAnswer::Accept10});
  ports.AddStation("COM3");
  source.names = {"COM2", "COM3"};
  panel->ImageBuffer.fill(0x00);
  Press();

  EXPECT_TRUE(form.boxes.empty());
  EXPECT_TRUE(componentBoxes.boxes.empty());
  EXPECT_EQ(s.IdentifyFrames(), 1);
  EXPECT_EQ(os.CountCalls("CreateFileA COM3"), 0u);
  // The port stays open with DTR and RTS raised; nothing but the frame went
  // out; the status, state and timer are those of the start delay.
  EXPECT_TRUE(ports.IsOpen("COM2"));
  EXPECT_TRUE(panel->Comm->IsOpen());
  EXPECT_TRUE(os.WithPort("COM2", [](auto& p) { return p.dtr && p.rts; }));
  EXPECT_EQ(ports.Written("COM2"), kFrame);
  EXPECT_EQ(form.status.caption, "Erase processor...");
  EXPECT_EQ(panel->UpgradeState, 1u);
  EXPECT_TRUE(panel->SendPending);
  EXPECT_EQ(panel->ResultText, "OK");
  EXPECT_TRUE(form.delay.enabled);
  EXPECT_EQ(form.delay.interval, 1000u);
  EXPECT_FALSE(form.button.enabled);
  // The image is loaded.
  EXPECT_EQ(form.progress.max, 30860);
  EXPECT_EQ(panel->ImageBuffer, ExpectedImage());
}

TEST_F(Scan, AnEightByteAcceptanceStartsTheUpgradeToo) {
  ports.AddStation("COM1", {.identify = IdentifyAnswer::Accept8});
  Press();
  EXPECT_TRUE(form.boxes.empty());
  EXPECT_EQ(panel->UpgradeState, 1u);
}

}  // namespace
