#include "QtServices.h"

#include <QMessageBox>
#include <QMetaObject>
#include <mutex>

#include "Classes.h"

namespace qtfront {

namespace {

constexpr int kIdOk = 1;

std::mutex& ServiceMutex() {
  static std::mutex mutex;
  return mutex;
}

ExceptionBoxService& ExceptionService() {
  static ExceptionBoxService service;
  return service;
}

void StandardExceptionBox(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::Critical, QString::fromStdString(caption),
                  QString::fromStdString(text), QMessageBox::Ok, QApplication::activeWindow());
  box.exec();
}

}  // namespace

int StandardMessageBox(const std::string& text, const std::string& caption, unsigned /*flags*/) {
  // Every box of this program has style 0: OK only, no icon.
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                  QString::fromStdString(text), QMessageBox::Ok, QApplication::activeWindow());
  box.exec();
  return kIdOk;
}

void SetExceptionBoxService(ExceptionBoxService service) {
  std::lock_guard lock(ServiceMutex());
  ExceptionService() = std::move(service);
}

void ShowException(const std::string& message) {
  ExceptionBoxService service;
  {
    std::lock_guard lock(ServiceMutex());
    service = ExceptionService();
  }
  const std::string caption = QGuiApplication::applicationDisplayName().toStdString();
  try {
    if (service) {
      service(message, caption);
    } else {
      StandardExceptionBox(message, caption);
    }
  } catch (...) {
    // Nothing is left to report a failing report with.
  }
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  Guarded([&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

FrontEndServices::FrontEndServices(QObject* guiObject) {
  auto& queue = comm::TMainThreadQueue::Instance();
  queue.SetMainThread();
  // guiObject outlives this object, which takes the wake-up away again.
  QObject* target = guiObject;
  // Called on the serial event thread: post a call to the GUI thread, which
  // runs what is queued when it gets there.
  queue.SetWakeup([target] {
    QMetaObject::invokeMethod(
        target,
        [] { Guarded([] { comm::TMainThreadQueue::Instance().RunPending(); }); },
        Qt::QueuedConnection);
  });
  comm::SetMessageBoxService(&StandardMessageBox);
}

FrontEndServices::~FrontEndServices() {
  comm::TMainThreadQueue::Instance().SetWakeup(nullptr);
  comm::SetMessageBoxService(nullptr);
}

}  // namespace qtfront
