// What every front end shares, whatever its toolkit: the guard that runs an
// event's handler and reports what escapes it, the exception box's caption,
// and the wiring of the runtime to the front end (its modal message box for
// the serial component, and the wake-up that brings the serial component's
// hand-offs to the main thread).
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <string>

#include "Classes.h"

namespace app {

// Shows an exception's message; the caption is the application's title.
using ExceptionBoxService =
    std::function<void(const std::string& text, const std::string& caption)>;

// Puts a box of one's own in place of the front end's exception box (tests
// record with it); null gives the front end's box back.
void SetExceptionBoxService(ExceptionBoxService service);

// Reports an exception that escaped a handler, captioned with the
// application's title, in the box set above, else the front end's, else on
// standard error. Never throws.
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

// How many "Serial Port Error." boxes the serial component has shown.
std::uint64_t SerialPortErrorCount();

// Runs the serial component's hand-offs queued so far, on the main thread;
// returns how many ran.
std::size_t RunHandOffs();

// An event thread of the serial component whose port was closed from inside
// one of its own handlers finishes a moment after the close, still using the
// serial layer. A front end waits for such threads before it lets go of the
// layer (a trace decorator, say); true when none is left within limit.
bool WaitForSerialThreads(std::chrono::milliseconds limit);

// What a front end provides to the runtime.
struct FrontEndHooks {
  // The modal box (text, caption, flags) for the serial component's own
  // failures ("Serial Port Error.").
  comm::MessageBoxService messageBox;
  // The box for an exception that escaped a handler.
  ExceptionBoxService exceptionBox;
  // Called from the thread that queued a hand-off: make the main thread call
  // RunHandOffs soon. Must not block.
  std::function<void()> wakeup;
};

// While it exists, the runtime uses the front end's hooks, and the thread
// that made it is the main thread. One at a time; made and destroyed on the
// main thread, after and before the threads that hand calls over.
class FrontEnd {
 public:
  explicit FrontEnd(FrontEndHooks hooks);
  ~FrontEnd();
  FrontEnd(const FrontEnd&) = delete;
  FrontEnd& operator=(const FrontEnd&) = delete;
};

}  // namespace app
