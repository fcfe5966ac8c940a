// What the Qt front end gives the rest of the program: the modal message box,
// the box for an exception that escapes a handler, and the wake-up that runs
// the serial component's hand-offs on the GUI thread. The guard around
// handlers and the exception box's caption are the front ends' common ones.
#pragma once

#include <QApplication>
#include <QWidget>
#include <memory>
#include <string>

#include "FrontEnd.h"

namespace qtfront {

// A modal box with the text as plain text, the caption as its title, an OK
// button and no icon. Its own loop keeps timers and serial hand-offs running.
// details, one item a line, go behind the box's "Show Details..." button;
// without details the box has no such button. Returns IDOK.
int StandardMessageBox(const std::string& text, const std::string& caption, unsigned flags,
                       const std::string& details = {});

// The standard exception box: error icon, OK button, the text as plain text.
void StandardExceptionBox(const std::string& text, const std::string& caption);

// Tells the window manager (on X11) that the window is moved and closed, and
// minimised when minimise is set, but never resized or maximised: Qt's own
// hints always offer resizing, and window managers that go by them offer to
// resize or maximise a window that cannot grow. (openbox keeps a disabled
// maximise button between minimise and close whatever the hints say; its
// default theme draws it like an enabled one.) Creates the native window if
// need be; call it before the window is shown.
void AdvertiseFixedSize(QWidget& window, bool minimise);

using app::ExceptionBoxService;
using app::Guarded;
using app::SetExceptionBoxService;
using app::ShowException;

// Catches, as a last line, what escapes any event's handling.
class Application : public QApplication {
 public:
  Application(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// While it exists: message boxes of the serial component shown with
// StandardMessageBox, exceptions with StandardExceptionBox, and the serial
// component's hand-offs run on this (the GUI) thread.
class FrontEndServices {
 public:
  explicit FrontEndServices(QObject* guiObject);
  ~FrontEndServices();
  FrontEndServices(const FrontEndServices&) = delete;
  FrontEndServices& operator=(const FrontEndServices&) = delete;

 private:
  std::unique_ptr<app::FrontEnd> frontEnd_;
};

}  // namespace qtfront
