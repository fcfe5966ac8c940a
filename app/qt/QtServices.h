// What the Qt front end gives the rest of the program: the modal message box,
// the box for an exception that escapes a handler, and the wake-up that runs
// the serial component's hand-offs on the GUI thread.
#pragma once

#include <QApplication>
#include <exception>
#include <functional>
#include <string>

namespace qtfront {

// A modal box with the text, the caption, an OK button and no icon. Its own
// loop keeps timers and serial hand-offs running. Returns IDOK.
int StandardMessageBox(const std::string& text, const std::string& caption, unsigned flags);

// Shows an exception's message with the application title as caption. By
// default the standard error box; tests put a recorder in its place.
using ExceptionBoxService = std::function<void(const std::string& text, const std::string& caption)>;
void SetExceptionBoxService(ExceptionBoxService service);
void ShowException(const std::string& message);

// Runs a handler; whatever escapes it is shown and the program goes on.
template <class F>
void Guarded(F&& handler) noexcept {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowException(e.what());
  } catch (...) {
    ShowException("Unknown exception.");
  }
}

// Catches, as a last line, what escapes any event's handling.
class Application : public QApplication {
 public:
  Application(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// While it exists: message boxes of the serial component shown with
// StandardMessageBox, and its hand-offs run on this (the GUI) thread.
class FrontEndServices {
 public:
  explicit FrontEndServices(QObject* guiObject);
  ~FrontEndServices();
  FrontEndServices(const FrontEndServices&) = delete;
  FrontEndServices& operator=(const FrontEndServices&) = delete;
};

}  // namespace qtfront
