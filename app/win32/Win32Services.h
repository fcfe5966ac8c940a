// What the Win32 front end gives the rest of the program: the modal message
// box, the box for an exception that escapes a handler, the wake-up that runs
// the serial component's hand-offs on the GUI thread, and the message loop
// with the dialog manager's keyboard navigation. The guard around handlers
// and the exception box's caption are the front ends' common ones.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "FrontEnd.h"
#include "Unicode.h"

namespace win32front {

using app::Guarded;
using app::ShowException;

using unicode::Narrow;
using unicode::Widen;

// The window that owns the program's boxes when no other of its windows is
// active: the main window while it exists.
void SetApplicationWindow(HWND window);
HWND ApplicationWindow();

// The owner for a box: this thread's active window, else the main window.
HWND BoxOwner();

// A modal box owned by BoxOwner(): the text, the caption as its title, and
// the style flags (0: an OK button and no icon). Its own loop keeps timers
// and serial hand-offs running. The box is made wide enough for its whole
// caption. Returns the button pressed.
int StandardMessageBox(const std::string& text, const std::string& caption, unsigned flags);

// The same, with details (one item a line) behind a "Show details" expander
// when there are any, the flags are 0 and the task dialog of common
// controls 6 is there; otherwise the plain box above, without them.
int DetailedMessageBox(const std::string& text, const std::string& caption, unsigned flags,
                       const std::string& details);

// The outer width a window with the given frame (its width less its client
// width) needs to show the whole caption in its title bar, beside the close
// button.
int CaptionFitWidth(std::wstring_view caption, int frameWidth);

// The standard exception box: the text, the caption, an error icon, OK.
void StandardExceptionBox(const std::string& text, const std::string& caption);

// The message the wake-up posts; its window runs the queued hand-offs.
inline constexpr UINT kHandOffMessage = WM_APP + 1;

// While it exists: the serial component's boxes shown with
// StandardMessageBox, exceptions with StandardExceptionBox, and the serial
// component's hand-offs run on this (the GUI) thread whenever it dispatches
// messages, in the program's loop or in a box's modal loop.
class FrontEndServices {
 public:
  explicit FrontEndServices(HINSTANCE instance);
  ~FrontEndServices();
  FrontEndServices(const FrontEndServices&) = delete;
  FrontEndServices& operator=(const FrontEndServices&) = delete;

  // The message-only window that the wake-up posts to.
  HWND HandOffWindow() const { return window_; }

 private:
  HWND window_ = nullptr;
  std::unique_ptr<app::FrontEnd> frontEnd_;
};

// One message through the dialog manager of dialog (keyboard navigation,
// access keys, Enter for the default button), or to its window otherwise.
void ProcessMessage(HWND dialog, MSG& message);

// Runs the thread's messages until WM_QUIT; returns its exit code.
int RunMessageLoop(HWND dialog);

}  // namespace win32front
