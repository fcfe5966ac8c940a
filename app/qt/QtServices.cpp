#include "QtServices.h"

#include <QMessageBox>
#include <QMetaObject>

namespace qtfront {

namespace {
constexpr int kIdOk = 1;
}  // namespace

int StandardMessageBox(const std::string& text, const std::string& caption, unsigned /*flags*/) {
  // Every box of this program has style 0: OK only, no icon.
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                  QString::fromStdString(text), QMessageBox::Ok, QApplication::activeWindow());
  // A text is shown as it stands, never taken for markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
  return kIdOk;
}

void StandardExceptionBox(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::Critical, QString::fromStdString(caption),
                  QString::fromStdString(text), QMessageBox::Ok, QApplication::activeWindow());
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  Guarded([&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

FrontEndServices::FrontEndServices(QObject* guiObject) {
  // guiObject outlives this object, which takes the wake-up away again.
  QObject* target = guiObject;
  frontEnd_ = std::make_unique<app::FrontEnd>(app::FrontEndHooks{
      .messageBox = &StandardMessageBox,
      .exceptionBox = &StandardExceptionBox,
      // Called on the serial event thread: post a call to the GUI thread,
      // which runs what is queued when it gets there.
      .wakeup =
          [target] {
            QMetaObject::invokeMethod(
                target, [] { app::RunHandOffs(); }, Qt::QueuedConnection);
          },
  });
}

FrontEndServices::~FrontEndServices() = default;

}  // namespace qtfront
