// The Qt window, on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Classes.h"
#include "EmbeddedImage.h"
#include "FakeCommOs.h"
#include "MainForm.h"
#include "QtMainWindow.h"
#include "QtServices.h"
#include "QtWait.h"
#include "SimulatedPorts.h"

// Read by LeakSanitizer in sanitizer builds: fontconfig, which Qt loads,
// keeps a cache it never frees.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace {

using comm::test::FakeCommOs;

QApplication& App() {
  static int argc = 1;
  static char name[] = "ksidu_qt_window_tests";
  static char* argv[] = {name, nullptr};
  static qtfront::Application* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new qtfront::Application(argc, argv);
  }();
  return *app;
}

using apptest::WaitUntil;

int Scaled(int designValue, int ppi) {
  return static_cast<int>(std::lround(designValue * static_cast<double>(ppi) / 120.0));
}

// Counts what reaches the window's handlers, and throws on demand.
class ProbePanel : public app::TMainPanel {
 public:
  using TMainPanel::TMainPanel;
  void Button1Click(comm::TObject* sender) override {
    ++clicks;
    if (throwOnClick) throw std::runtime_error("Access violation at address 00000000.");
    if (runScan) TMainPanel::Button1Click(sender);
  }
  void DelayTimer(comm::TObject* sender) override {
    ++ticks;
    lastTick = std::chrono::steady_clock::now();
    if (throwOnTick) throw std::runtime_error("tick failed");
    TMainPanel::DelayTimer(sender);
  }
  int clicks = 0;
  int ticks = 0;
  std::chrono::steady_clock::time_point lastTick;
  bool throwOnClick = false;
  // Off: a press only counts, so that no scan and no box runs.
  bool runScan = false;
  bool throwOnTick = false;
};

struct ShownException {
  std::string text;
  std::string caption;
};

class QtWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    qtfront::SetExceptionBoxService([this](const std::string& t, const std::string& c) {
      exceptions.push_back({t, c});
    });
    os.AddPort("COM3");
    window = std::make_unique<qtfront::QtMainWindow>(
        resources::EmbeddedImageLines(), [this](app::TMainForm& form) {
          auto p = std::make_unique<ProbePanel>(nullptr, form, os, source);
          panel = p.get();
          return p;
        });
  }
  void TearDown() override {
    window.reset();
    // The event thread of a closed port frees itself a moment later and may
    // touch the serial double until then.
    for (int i = 0; i < 10000 && comm::TCommEventThread::LiveCount() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    qtfront::SetExceptionBoxService(nullptr);
  }

  void ShowActive() {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  }

  template <class W>
  W* Control(const char* name) {
    W* w = window->findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  FakeCommOs os;
  app::TNamedPortSource source{{"COM3"}};
  std::unique_ptr<qtfront::QtMainWindow> window;
  ProbePanel* panel = nullptr;
  std::vector<ShownException> exceptions;
};

TEST_F(QtWindow, IsBuiltFromTheFormScaledToTheScreen) {
  const int ppi = qRound(QGuiApplication::primaryScreen()->logicalDotsPerInchX());
  ASSERT_EQ(window->ScreenPixelsPerInch(), ppi);
  ShowActive();

  EXPECT_EQ(window->windowTitle(), "KS_E -> IDU");
  EXPECT_EQ(window->size(), QSize(Scaled(215, ppi), Scaled(92, ppi)));

  struct Expected {
    const char* name;
    const char* parent;
    int left, top, width, height;
  };
  const Expected controls[] = {
      {"Panel1", "MainPanel", 7, 7, 202, 39},    {"Label1", "Panel1", 7, 7, 189, 26},
      {"Button1", "MainPanel", 7, 52, 60, 20},   {"ProgressBar1", "MainPanel", 78, 52, 131, 20},
      {"ProgSrc", "MainPanel", 182, 20, 14, 13},
  };
  for (const Expected& e : controls) {
    auto* w = Control<QWidget>(e.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), e.parent) << e.name;
    EXPECT_EQ(w->geometry(), QRect(Scaled(e.left, ppi), Scaled(e.top, ppi), Scaled(e.width, ppi),
                                   Scaled(e.height, ppi)))
        << e.name;
  }

  auto* frame = Control<QFrame>("Panel1");
  EXPECT_EQ(frame->frameShape(), QFrame::Panel);
  EXPECT_EQ(frame->frameShadow(), QFrame::Sunken);

  auto* label = Control<QLabel>("Label1");
  EXPECT_EQ(label->text(), "version 2.3");
  EXPECT_TRUE(label->alignment() & Qt::AlignHCenter);
  EXPECT_TRUE(label->isVisible());
  EXPECT_TRUE(label->font().bold());
  EXPECT_EQ(label->font().pixelSize(), Scaled(25, ppi));
  const QString labelFamily = QFontInfo(label->font()).family();
  EXPECT_TRUE(labelFamily == "DejaVu Serif" || labelFamily == "Liberation Serif")
      << labelFamily.toStdString();

  const QString windowFamily = QFontInfo(window->font()).family();
  EXPECT_TRUE(windowFamily == "DejaVu Sans" || windowFamily == "Liberation Sans")
      << windowFamily.toStdString();
  EXPECT_EQ(window->font().pixelSize(), Scaled(11, ppi));
  EXPECT_FALSE(window->font().bold());

  auto* button = Control<QPushButton>("Button1");
  EXPECT_EQ(button->text(), "&Start");
  EXPECT_TRUE(button->isEnabled());

  auto* bar = Control<QProgressBar>("ProgressBar1");
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_TRUE(bar->isVisible());

  auto* status = Control<QLabel>("StaticText1");
  EXPECT_EQ(status->text(), "");
  EXPECT_EQ(status->frameShadow(), QFrame::Sunken);
  // The status line ends where the design puts it, along the window's bottom
  // edge, but is tall enough for its font inside the border: the g's of
  // "Programming..." keep their tails. Grown upwards, it stays clear of the
  // button row.
  const QRect line = status->geometry();
  EXPECT_EQ(line.left(), 0);
  EXPECT_EQ(line.width(), Scaled(215, ppi));
  EXPECT_EQ(line.bottom() + 1, Scaled(78, ppi) + Scaled(14, ppi));
  EXPECT_GE(line.height(), Scaled(14, ppi));
  EXPECT_GE(status->contentsRect().height(), QFontMetrics(status->font()).height());
  EXPECT_GT(line.top(), Control<QWidget>("Button1")->geometry().bottom());

  // The hidden list holds the carried image, line for line.
  auto* list = Control<QListWidget>("ProgSrc");
  const auto lines = resources::EmbeddedImageLines();
  ASSERT_EQ(list->count(), static_cast<int>(lines.size()));
  ASSERT_EQ(window->ProgSrc().Items().size(), lines.size());
  EXPECT_EQ(list->item(0)->text().toStdString(), lines.front());
  EXPECT_EQ(window->ProgSrc().Items().back(), lines.back());

  // The timer waits, disabled, with the default interval.
  EXPECT_FALSE(window->Delay().Enabled());
  EXPECT_EQ(window->Delay().Interval(), 1000u);

  // Centred on the screen.
  const QPoint centre = window->screen()->availableGeometry().center();
  EXPECT_LE((window->frameGeometry().center() - centre).manhattanLength(), 2);
}

TEST_F(QtWindow, CanBeMinimisedButNeitherMaximisedNorResized) {
  const Qt::WindowFlags flags = window->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
  ShowActive();
  const QSize size = window->size();
  EXPECT_EQ(window->minimumSize(), size);
  EXPECT_EQ(window->maximumSize(), size);
  window->resize(size * 2);
  EXPECT_EQ(window->size(), size);
  window->showMaximized();
  QTest::qWait(20);
  EXPECT_EQ(window->size(), size);
  EXPECT_FALSE(window->isMaximized());
  window->showMinimized();
  QTest::qWait(20);
  EXPECT_TRUE(window->isMinimized());
}

TEST_F(QtWindow, StartHasTheFocusAndTheHiddenListNeverDoes) {
  ShowActive();
  auto* button = Control<QPushButton>("Button1");
  auto* list = Control<QListWidget>("ProgSrc");
  EXPECT_EQ(QApplication::focusWidget(), button);
  EXPECT_FALSE(list->isVisible());
  EXPECT_EQ(list->focusPolicy(), Qt::NoFocus);
  for (int i = 0; i < 6; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), list);
    EXPECT_FALSE(list->isVisible());
  }
  EXPECT_EQ(QApplication::focusWidget(), button);
}

TEST_F(QtWindow, AltSEnterSpaceAndTheMousePressStartUnlessItIsDisabled) {
  ShowActive();
  auto* button = Control<QPushButton>("Button1");
  ASSERT_EQ(QApplication::focusWidget(), button);

  // The access key presses the button visibly: the click follows a moment
  // later.
  QTest::keyClick(window.get(), Qt::Key_S, Qt::AltModifier);
  EXPECT_TRUE(WaitUntil([&] { return panel->clicks == 1; }));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_EQ(panel->clicks, 2);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(panel->clicks, 3);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  EXPECT_EQ(panel->clicks, 4);
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(panel->clicks, 5);

  // As during a run.
  panel->Button1->SetEnabled(false);
  EXPECT_FALSE(button->isEnabled());
  QTest::mouseClick(button, Qt::LeftButton);
  QTest::keyClick(window.get(), Qt::Key_S, Qt::AltModifier);
  QTest::keyClick(button, Qt::Key_Space);
  QTest::keyClick(button, Qt::Key_Return);
  QTest::keyClick(window.get(), Qt::Key_Space);
  QTest::keyClick(window.get(), Qt::Key_Return);
  QTest::qWait(300);
  EXPECT_EQ(panel->clicks, 5);

  panel->Button1->SetEnabled(true);
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(panel->clicks, 6);

  // Disabling the focused button leaves the window without a focus; enabling
  // it again gives the focus back, so Enter and Space start the next run.
  button->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), button);
  panel->Button1->SetEnabled(false);
  EXPECT_NE(QApplication::focusWidget(), button);
  panel->Button1->SetEnabled(true);
  EXPECT_EQ(QApplication::focusWidget(), button);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_EQ(panel->clicks, 7);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  EXPECT_EQ(panel->clicks, 8);
}

TEST_F(QtWindow, TextsAreShownAsTheyStandNeverAsMarkup) {
  window->StaticText1().SetCaption("<b>Programming...</b>");
  auto* status = Control<QLabel>("StaticText1");
  EXPECT_EQ(status->textFormat(), Qt::PlainText);
  EXPECT_EQ(status->text(), "<b>Programming...</b>");
  EXPECT_EQ(window->StaticText1().Caption(), "<b>Programming...</b>");
  EXPECT_EQ(Control<QLabel>("Label1")->textFormat(), Qt::PlainText);
}

TEST_F(QtWindow, AnExceptionFromAHandlerIsShownAndTheLoopGoesOn) {
  ShowActive();
  auto* button = Control<QPushButton>("Button1");

  panel->throwOnClick = true;
  QTest::mouseClick(button, Qt::LeftButton);
  ASSERT_EQ(exceptions.size(), 1u);
  EXPECT_EQ(exceptions[0].text, "Access violation at address 00000000.");
  EXPECT_EQ(exceptions[0].caption, "KS_E -> IDU");

  // A tick that throws is reported the same way, later, from the loop.
  panel->throwOnTick = true;
  window->Delay().SetInterval(10);
  window->Delay().SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return exceptions.size() == 2; }));
  EXPECT_EQ(exceptions[1].text, "tick failed");

  // Whatever escapes any other event's handling is caught at the top.
  QTimer::singleShot(0, [] { throw std::runtime_error("late"); });
  ASSERT_TRUE(WaitUntil([&] { return exceptions.size() == 3; }));
  EXPECT_EQ(exceptions[2].text, "late");

  // The program goes on: the window still answers.
  panel->throwOnClick = false;
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(panel->clicks, 2);
  EXPECT_EQ(exceptions.size(), 3u);
  EXPECT_TRUE(window->isVisible());
}

TEST_F(QtWindow, DelayIsAOneShotThatDisablingCancels) {
  app::TTimer& delay = window->Delay();
  delay.SetInterval(10);
  delay.SetEnabled(true);
  EXPECT_TRUE(delay.Enabled());
  ASSERT_TRUE(WaitUntil([&] { return panel->ticks == 1; }));
  EXPECT_FALSE(delay.Enabled());
  QTest::qWait(60);
  EXPECT_EQ(panel->ticks, 1);

  delay.SetEnabled(true);
  delay.SetEnabled(false);
  QTest::qWait(60);
  EXPECT_EQ(panel->ticks, 1);

  // Never early, however Qt's timer rounds: each tick comes at least the
  // interval after the countdown began. A new interval restarts it.
  using Clock = std::chrono::steady_clock;
  for (std::uint32_t interval : {37u, 120u, 251u}) {
    const int before = panel->ticks;
    delay.SetInterval(5000);
    delay.SetEnabled(true);
    const Clock::time_point start = Clock::now();
    delay.SetInterval(interval);
    EXPECT_EQ(delay.Interval(), interval);
    ASSERT_TRUE(WaitUntil([&] { return panel->ticks == before + 1; }));
    EXPECT_GE(panel->lastTick - start, std::chrono::milliseconds(interval)) << interval;
    EXPECT_FALSE(delay.Enabled());
  }
}

TEST_F(QtWindow, ProgressPastTheMaximumShowsAFullBar) {
  app::TProgressBar& bar = window->ProgressBar1();
  bar.SetMax(30860);
  bar.SetPosition(30864);
  EXPECT_EQ(bar.Position(), 30860);
  EXPECT_EQ(Control<QProgressBar>("ProgressBar1")->value(), 30860);
  bar.SetPosition(0);
  EXPECT_EQ(bar.Position(), 0);
}

TEST_F(QtWindow, MessageBoxIsModalWithOkOnlyNoIconAndKeepsTimersRunning) {
  ShowActive();
  QMessageBox::Icon icon = QMessageBox::Critical;
  QMessageBox::StandardButtons buttons;
  QString title, text;
  int ticksSeen = -1;
  // Closes the box once the Delay timer has fired behind it.
  QTimer closer;
  closer.setInterval(10);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || panel->ticks == 0) return;
    icon = box->icon();
    buttons = box->standardButtons();
    title = box->windowTitle();
    text = box->text();
    ticksSeen = panel->ticks;
    box->button(QMessageBox::Ok)->click();
  });
  closer.start();
  window->Delay().SetInterval(10);
  window->Delay().SetEnabled(true);
  panel->ShowMessageBox("Station KESTRO not found.", "Hardware error.");
  closer.stop();

  EXPECT_EQ(icon, QMessageBox::NoIcon);
  EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  EXPECT_EQ(title, "Hardware error.");
  EXPECT_EQ(text, "Station KESTRO not found.");
  EXPECT_EQ(ticksSeen, 1);
}

TEST_F(QtWindow, ClosingTheWindowClosesAnOpenPortAndSerialEventsReachTheGuiThread) {
  qtfront::FrontEndServices services(&App());
  ShowActive();
  comm::TThreadComm& port = *panel->Comm;
  port.SetPort("COM3");
  port.Open();
  ASSERT_TRUE(port.IsOpen());

  // Characters that arrive are handed to the GUI thread through the loop.
  std::uint32_t waiting = 0;
  port.OnRxChar = [&](comm::TObject*, std::uint32_t count) { waiting = count; };
  os.Receive("COM3", {'.', '\r', '\n'});
  ASSERT_TRUE(WaitUntil([&] { return waiting == 3; }));

  EXPECT_TRUE(window->close());
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(os.WithPort("COM3", [](FakeCommOs::Port& p) { return p.open; }));
  EXPECT_TRUE(exceptions.empty());
}

TEST_F(QtWindow, AWholeUpgradeFromTheClickOnStartToDone) {
  qtfront::FrontEndServices services(&App());
  apptest::SimulatedPorts ports(os);
  station::Station& station = ports.AddStation("COM3");
  ShowActive();
  panel->runScan = true;
  auto* bar = Control<QProgressBar>("ProgressBar1");
  std::vector<int> shown;
  QObject::connect(bar, &QProgressBar::valueChanged, [&](int value) { shown.push_back(value); });

  QTest::mouseClick(Control<QPushButton>("Button1"), Qt::LeftButton);
  EXPECT_EQ(window->StaticText1().Caption(), "Erase processor...");
  ASSERT_TRUE(WaitUntil([&] { return window->StaticText1().Caption() == "Done."; }, 60000));

  EXPECT_EQ(station.Records().size(), 1u + 1929u + 3u);
  EXPECT_TRUE(station.LastCommandSeen());
  EXPECT_EQ(station.Memory(), panel->ImageBuffer);
  // The bar moved block by block, stood full after the last one (asked for
  // 30,864 against a maximum of 30,860), and went back to 0.
  EXPECT_EQ(bar->maximum(), 30860);
  ASSERT_EQ(shown.size(), 1929u + 1u);
  EXPECT_EQ(shown.front(), 16);
  EXPECT_EQ(shown[1928], 30860);
  EXPECT_EQ(shown.back(), 0);
  EXPECT_TRUE(Control<QPushButton>("Button1")->isEnabled());
  EXPECT_EQ(QApplication::focusWidget(), Control<QPushButton>("Button1"));
  EXPECT_FALSE(panel->Comm->IsOpen());
  EXPECT_TRUE(exceptions.empty());
}

}  // namespace
