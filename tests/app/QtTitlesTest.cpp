// The titles of the Qt front end's windows and boxes as the X window system
// shows them, on a virtual X server of the test's own, and box texts shown
// as plain text.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
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

// The WM_NAME and _NET_WM_NAME of an X window as xprop reads them, as
// "WM_NAME=<title>|_NET_WM_NAME=<title>", whatever text type each has.
std::string XTitles(WId window) {
  const std::string command =
      "xprop -id " + std::to_string(static_cast<unsigned long>(window)) + " WM_NAME _NET_WM_NAME";
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    pclose(pipe);
  }
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

struct SeenBox {
  std::string xTitles;
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
    window = std::make_unique<qtfront::QtMainWindow>(
        resources::EmbeddedImageLines(), [this](app::TMainForm& form) {
          return std::make_unique<app::TMainPanel>(nullptr, form, os);
        });
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  }
  void TearDown() override {
    window.reset();
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
  std::unique_ptr<qtfront::FrontEndServices> services;
  std::unique_ptr<qtfront::QtMainWindow> window;
};

TEST_F(QtTitles, TheWindowAndEveryBoxBearExactlyTheirCaptions) {
  EXPECT_EQ(XTitles(window->winId()), Expected("KS_E -> IDU"));

  app::TMainPanel& panel = window->Panel();
  for (const char* caption : {"Hardware error.", "Initialize error.", "Upgrade error."}) {
    const SeenBox seen = WhileABoxIsUp([&] { panel.ShowMessageBox("Some text.", caption); });
    EXPECT_EQ(seen.xTitles, Expected(caption));
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
  }

  // The serial component's own box: DTR on a port that is not open.
  const SeenBox serial = WhileABoxIsUp([&] { panel.Comm->SetDTR(true); });
  EXPECT_EQ(serial.xTitles, Expected("Serial Port Error."));
  EXPECT_EQ(serial.labelText, "Port not open.(Error: -1)");

  // An exception that escapes a handler: the application's title.
  const SeenBox exception = WhileABoxIsUp([] { app::ShowException("Division by zero."); });
  EXPECT_EQ(exception.xTitles, Expected("KS_E -> IDU"));
  EXPECT_EQ(exception.icon, QMessageBox::Critical);
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
