// The Qt window with the real POSIX serial layer, upgrading the ks-station
// program on a pseudo-terminal: from the click on Start to "Done.".
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <array>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "EmbeddedImage.h"
#include "QtMainWindow.h"
#include "QtServices.h"
#include "QtWait.h"
#include "Watchdog.h"

extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

extern char** environ;

namespace {

namespace fs = std::filesystem;

QApplication& App() {
  static int argc = 1;
  static char name[] = "ksidu_qt_pty_tests";
  static char* argv[] = {name, nullptr};
  static qtfront::Application* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new qtfront::Application(argc, argv);
  }();
  return *app;
}

using apptest::WaitUntil;

// ks-station on a new pty, as a child process; stopped (summary and dump
// written) when this goes.
class StationProcess {
 public:
  explicit StationProcess(const fs::path& dir) : dir_(dir) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string summary = (dir / "summary.json").string();
    const std::string dump = (dir / "memory.bin").string();
    std::vector<std::string> args{KSIDU_STATION_PROGRAM, "--summary", summary, "--dump", dump};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    // The first line is the pty's name.
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') pty_ += c;
    close(out[0]);
  }
  ~StationProcess() { Stop(); }
  const std::string& Pty() const { return pty_; }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  std::string pty_;
};

TEST(QtOverPty, AWholeUpgradeWithTheRealSerialLayer) {
  testsupport::Watchdog watchdog(std::chrono::seconds(100), "the upgrade over the pty");
  App();
  const fs::path dir = fs::temp_directory_path() / ("ksidu-qtpty-" + std::to_string(getpid()));
  fs::create_directories(dir);
  StationProcess station(dir);
  ASSERT_FALSE(station.Pty().empty()) << "ks-station printed no port";

  qtfront::FrontEndServices services(&App());
  app::TNamedPortSource ports({station.Pty()});
  std::vector<std::string> boxes;
  comm::SetMessageBoxService([&](const std::string& t, const std::string& c, unsigned) {
    boxes.push_back(c + ": " + t);
    return 1;
  });
  auto window = std::make_unique<qtfront::QtMainWindow>(
      resources::EmbeddedImageLines(), [&](app::TMainForm& form) {
        return std::make_unique<app::TMainPanel>(nullptr, form, comm::SystemCommOs(), ports);
      });
  window->show();
  auto* start = window->findChild<QPushButton*>("Button1");
  ASSERT_NE(start, nullptr);

  QTest::mouseClick(start, Qt::LeftButton);
  EXPECT_EQ(window->StaticText1().Caption(), "Erase processor...");
  EXPECT_TRUE(WaitUntil([&] { return window->StaticText1().Caption() == "Done."; }, 90000))
      << "status: " << window->StaticText1().Caption();
  EXPECT_TRUE(start->isEnabled());
  EXPECT_FALSE(window->Panel().Comm->IsOpen());
  EXPECT_EQ(window->findChild<QProgressBar*>("ProgressBar1")->value(), 0);
  EXPECT_TRUE(boxes.empty()) << boxes.front();
  const auto image = window->Panel().ImageBuffer;
  window.reset();
  comm::SetMessageBoxService(nullptr);

  // The station's memory is the image, byte for byte.
  station.Stop();
  std::ifstream dump(dir / "memory.bin", std::ios::binary);
  const std::vector<char> memory((std::istreambuf_iterator<char>(dump)),
                                 std::istreambuf_iterator<char>());
  ASSERT_EQ(memory.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin(),
                         [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
  std::ifstream summary(dir / "summary.json");
  const std::string json((std::istreambuf_iterator<char>(summary)),
                         std::istreambuf_iterator<char>());
  EXPECT_NE(json.find("\"last_command_seen\": true"), std::string::npos) << json.substr(0, 400);
  fs::remove_all(dir);
}

}  // namespace
