// The titles of the Qt front end's windows and boxes as the X window system
// shows them, on a virtual X server of the test's own, what they tell the
// window manager, box texts shown as plain text, and the details beside a
// box's text.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Classes.h"
#include "EmbeddedImage.h"
#include "FakeCommOs.h"
#include "FrontEnd.h"
#include "QtMainWindow.h"
#include "QtServices.h"

extern "C" char** environ;

// Read by LeakSanitizer in sanitizer builds: fontconfig, D-Bus and the X
// client libraries keep caches they never free.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus\nleak:libxcb\nleak:libX11\n";
}

namespace {

using comm::test::FakeCommOs;

// A virtual X server for this test program, on a display number it picks
// itself; stopped when the program ends.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int fds[2];
    if (pipe(fds) != 0) return;
    const std::string fd = std::to_string(fds[1]);
    const char* argv[] = {"Xvfb",        "-displayfd", fd.c_str(), "-screen", "0",
                          "1024x768x24", "-nolisten",  "tcp",      nullptr};
    if (posix_spawnp(&pid_, "Xvfb", nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
        0) {
      pid_ = -1;
    }
    close(fds[1]);
    // The server writes its display number once it accepts clients.
    std::string number;
    char c = 0;
    while (pid_ > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& Display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

QApplication* App() {
  static VirtualDisplay display;
  static qtfront::Application* app = []() -> qtfront::Application* {
    if (display.Display().empty()) return nullptr;
    setenv("DISPLAY", display.Display().c_str(), 1);
    qputenv("QT_QPA_PLATFORM", "xcb");
    static int argc = 1;
    static char name[] = "ks-idu";
    static char* argv[] = {name, nullptr};
    return new qtfront::Application(argc, argv);
  }();
  return app;
}

// What xprop says of the named properties of an X window.
std::string XProperties(WId window, const std::string& names) {
  const std::string command =
      "xprop -id " + std::to_string(static_cast<unsigned long>(window)) + " " + names;
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    pclose(pipe);
  }
  return text;
}

// The WM_NAME and _NET_WM_NAME of an X window as xprop reads them, as
// "WM_NAME=<title>|_NET_WM_NAME=<title>", whatever text type each has.
std::string XTitles(WId window) {
  const std::string text = XProperties(window, "WM_NAME _NET_WM_NAME");
  static const std::regex property(R"re((WM_NAME|_NET_WM_NAME)\([A-Z0-9_]+\) = "(.*)")re");
  std::string titles;
  for (std::sregex_iterator it(text.begin(), text.end(), property), end; it != end; ++it) {
    if (!titles.empty()) titles += "|";
    titles += (*it)[1].str() + "=" + (*it)[2].str();
  }
  return titles.empty() ? "xprop said: " + text : titles;
}

std::string Expected(const std::string& title) {
  return "WM_NAME=" + title + "|_NET_WM_NAME=" + title;
}

// The window's Motif hints as the window manager reads them: what it may do
// with the window (functions) and what it draws (decorations).
struct MotifHints {
  bool read = false;
  unsigned long functions = 0;
  unsigned long decorations = 0;
};

MotifHints XMotifHints(WId window) {
  const std::string text = XProperties(window, "_MOTIF_WM_HINTS");
  static const std::regex values(R"re(= (0x[0-9a-f]+), (0x[0-9a-f]+), (0x[0-9a-f]+))re");
  std::smatch m;
  if (!std::regex_search(text, m, values)) return {};
  constexpr unsigned long kFunctionsGiven = 1, kDecorationsGiven = 2;
  const unsigned long flags = std::stoul(m[1].str(), nullptr, 16);
  if ((flags & (kFunctionsGiven | kDecorationsGiven)) != (kFunctionsGiven | kDecorationsGiven)) {
    return {};
  }
  return {true, std::stoul(m[2].str(), nullptr, 16), std::stoul(m[3].str(), nullptr, 16)};
}

constexpr unsigned long kFunctionAll = 1u << 0, kFunctionResize = 1u << 1,
                        kFunctionMinimise = 1u << 3, kFunctionMaximise = 1u << 4,
                        kFunctionClose = 1u << 5;
constexpr unsigned long kDecorAll = 1u << 0, kDecorResizeHandle = 1u << 2, kDecorMinimise = 1u << 5,
                        kDecorMaximise = 1u << 6;

// A window that is neither resized nor maximised, and may be closed.
void ExpectFixedSize(const MotifHints& hints, const std::string& what) {
  ASSERT_TRUE(hints.read) << what << ": no Motif hints with functions and decorations";
  EXPECT_EQ(hints.functions & (kFunctionAll | kFunctionResize | kFunctionMaximise), 0u) << what;
  EXPECT_EQ(hints.decorations & (kDecorAll | kDecorResizeHandle | kDecorMaximise), 0u) << what;
  EXPECT_NE(hints.functions & kFunctionClose, 0u) << what;
}

struct SeenBox {
  std::string xTitles;
  MotifHints hints;
  QString detailedText;
  bool detailsButton = false;
  // The box's width, and what a caption in a bold title font needs: its
  // width and the height of a line.
  int width = 0;
  int captionWidth = 0;
  int lineHeight = 0;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  Qt::TextFormat format = Qt::AutoText;
  QString labelText;
  Qt::TextFormat labelFormat = Qt::AutoText;
};

class QtTitles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(App(), nullptr) << "no virtual X server: Xvfb (package xvfb) is needed";
    services = std::make_unique<qtfront::FrontEndServices>(App());
    os.AddPort("COM3");
    os.AddPort("COM4");
    window = std::make_unique<qtfront::QtMainWindow>(
        resources::EmbeddedImageLines(), [this](app::TMainForm& form) {
          return std::make_unique<app::TMainPanel>(nullptr, form, os, ports);
        });
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  }
  void TearDown() override {
    window.reset();
    // The event thread of a closed port frees itself a moment later and may
    // touch the serial double until then.
    for (int i = 0; i < 10000 && comm::TCommEventThread::LiveCount() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    services.reset();
  }

  // Runs show, which opens a modal box; reads the box as the X server has it
  // once it is on the screen, then presses OK.
  SeenBox WhileABoxIsUp(const std::function<void()>& show) {
    SeenBox seen;
    bool pressed = false;
    QTimer reader;
    reader.setInterval(10);
    QObject::connect(&reader, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || pressed || box->windowHandle() == nullptr ||
          !box->windowHandle()->isExposed()) {
        return;
      }
      seen.xTitles = XTitles(box->winId());
      seen.hints = XMotifHints(box->winId());
      seen.detailedText = box->detailedText();
      for (QAbstractButton* button : box->buttons()) {
        if (button->text() == "Show Details...") seen.detailsButton = true;
      }
      QFont title = box->font();
      title.setBold(true);
      seen.width = box->width();
      seen.captionWidth = QFontMetrics(title).horizontalAdvance(box->windowTitle());
      seen.lineHeight = QFontMetrics(title).height();
      seen.icon = box->icon();
      seen.format = box->textFormat();
      if (auto* label = box->findChild<QLabel*>("qt_msgbox_label")) {
        seen.labelText = label->text();
        seen.labelFormat = label->textFormat();
      }
      pressed = true;
      box->button(QMessageBox::Ok)->click();
    });
    reader.start();
    show();
    reader.stop();
    EXPECT_TRUE(pressed) << "no box came up";
    return seen;
  }

  FakeCommOs os;
  app::TNamedPortSource ports{{"COM3", "COM4"}};
  std::unique_ptr<qtfront::FrontEndServices> services;
  std::unique_ptr<qtfront::QtMainWindow> window;
};

// A window manager's title bar holds the caption beside an icon and buttons:
// openbox's default theme at 96 dpi needs about seven lines of the font
// beside it, or it elides the caption ("Upgr...rror.").
void ExpectRoomForTheCaption(const SeenBox& seen) {
  EXPECT_GE(seen.width, seen.captionWidth + 7 * seen.lineHeight) << seen.xTitles;
}

TEST_F(QtTitles, TheWindowAndEveryBoxBearExactlyTheirCaptions) {
  EXPECT_EQ(XTitles(window->winId()), Expected("KS_E -> IDU"));
  // Minimise and close only, as the Windows window has them.
  const MotifHints hints = XMotifHints(window->winId());
  ExpectFixedSize(hints, "the window");
  EXPECT_NE(hints.functions & kFunctionMinimise, 0u);
  EXPECT_NE(hints.decorations & kDecorMinimise, 0u);

  app::TMainPanel& panel = window->Panel();
  for (const char* caption : {"Hardware error.", "Initialize error.", "Upgrade error."}) {
    const SeenBox seen = WhileABoxIsUp([&] { panel.ShowMessageBox("Some text.", caption); });
    EXPECT_EQ(seen.xTitles, Expected(caption));
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    // Nothing to add: no details, and no button that would show them.
    EXPECT_TRUE(seen.detailedText.isEmpty()) << caption;
    EXPECT_FALSE(seen.detailsButton) << caption;
    ExpectRoomForTheCaption(seen);
    ExpectFixedSize(seen.hints, caption);
  }

  // The serial component's own box: DTR on a port that is not open.
  const SeenBox serial = WhileABoxIsUp([&] { panel.Comm->SetDTR(true); });
  EXPECT_EQ(serial.xTitles, Expected("Serial Port Error."));
  EXPECT_EQ(serial.labelText, "Port not open.(Error: -1)");
  EXPECT_FALSE(serial.detailsButton);
  ExpectRoomForTheCaption(serial);

  // An exception that escapes a handler: the application's title.
  const SeenBox exception = WhileABoxIsUp([] { app::ShowException("Division by zero."); });
  EXPECT_EQ(exception.xTitles, Expected("KS_E -> IDU"));
  EXPECT_EQ(exception.icon, QMessageBox::Critical);
  EXPECT_FALSE(exception.detailsButton);
  ExpectRoomForTheCaption(exception);
}

TEST_F(QtTitles, ANotFoundRunShowsThePortsPassedOverBehindShowDetails) {
  // COM3 is held by another program; COM4 opens but has no carrier detect.
  os.WithPort("COM3", [](FakeCommOs::Port& p) { p.busy = true; });
  os.WithPort("COM4", [](FakeCommOs::Port& p) { p.modemStatus = MS_CTS_ON | MS_DSR_ON; });

  const SeenBox box = WhileABoxIsUp(
      [&] { QTest::mouseClick(window->findChild<QWidget*>("Button1"), Qt::LeftButton); });
  // The box itself stays as it always was.
  EXPECT_EQ(box.xTitles, Expected("Hardware error."));
  EXPECT_EQ(box.labelText, "Station KESTRO not found.");
  // One line per port passed over, in the order tried.
  EXPECT_TRUE(box.detailsButton);
  const QStringList lines = box.detailedText.split('\n');
  ASSERT_EQ(lines.size(), 2) << box.detailedText.toStdString();
  EXPECT_TRUE(lines[0].startsWith("COM3: ")) << lines[0].toStdString();
  EXPECT_EQ(lines[1], "COM4: no carrier detect (is the station connected and powered?)");
  ExpectRoomForTheCaption(box);
  // The details went with the box.
  EXPECT_TRUE(window->BoxDetails.empty());
}

TEST_F(QtTitles, BoxTextsAreShownAsTheyStandNeverAsMarkup) {
  const QString markup = "<b>Station</b> &amp; <i>port</i><br>two";
  const SeenBox box = WhileABoxIsUp(
      [&] { window->Panel().ShowMessageBox(markup.toStdString(), "Upgrade error."); });
  EXPECT_EQ(box.format, Qt::PlainText);
  EXPECT_EQ(box.labelFormat, Qt::PlainText);
  EXPECT_EQ(box.labelText, markup);

  const SeenBox exception = WhileABoxIsUp([&] { app::ShowException(markup.toStdString()); });
  EXPECT_EQ(exception.format, Qt::PlainText);
  EXPECT_EQ(exception.labelText, markup);
}

}  // namespace
