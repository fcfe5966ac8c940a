// The application entry: the Qt application, the one window, the message loop.
#include <exception>

#include <QtGlobal>

#include "EmbeddedImage.h"
#include "Main.h"
#include "MainForm.h"
#include "QtMainWindow.h"
#include "QtServices.h"

namespace {
// The tool reports to its user in its window only: Qt's diagnostics (a
// missing runtime directory, font warnings) stay off the console.
void DropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}
}  // namespace

int main(int /*argc*/, char** /*argv*/) {
  qInstallMessageHandler(DropMessage);
  // The tool takes nothing from its command line: Qt sees the name only.
  static char name[] = "ks-idu";
  static char* arguments[] = {name, nullptr};
  static int count = 1;
  try {
    qtfront::Application application(count, arguments);
    QGuiApplication::setApplicationDisplayName(
        QString::fromUtf8(resources::kApplicationTitle.data(),
                          static_cast<qsizetype>(resources::kApplicationTitle.size())));
    qtfront::FrontEndServices services(&application);
    try {
      qtfront::QtMainWindow window(resources::EmbeddedImageLines());
      app::MainPanel = &window.Panel();
      window.show();
      QApplication::exec();
      app::MainPanel = nullptr;
    } catch (const std::exception& e) {
      app::MainPanel = nullptr;
      qtfront::ShowException(e.what());
    } catch (...) {
      app::MainPanel = nullptr;
      qtfront::ShowException("Unknown exception.");
    }
  } catch (...) {
    // Without an application object there is nothing to show a box with.
  }
  return 0;
}
