// Ctrl+C and termination requests, brought to the program as a call it can
// hand to its loop instead of ending it on the spot with a port left open.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace console {

class SignalWatcher {
 public:
  // From now on the first Ctrl+C (SIGINT), SIGTERM or SIGHUP calls onSignal
  // on a thread of the watcher's; a second one ends the program at once, a
  // second Ctrl+C with 130. On Windows Ctrl+Break is a Ctrl+C, and closing
  // the console, logging off or shutting down stop the run as Ctrl+C does.
  // Made on the main thread before any other thread exists, so that no other
  // thread takes the signals.
  explicit SignalWatcher(std::function<void()> onSignal);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// As a first Ctrl+C, from any thread: the watcher's call, or, while no
// watcher exists yet, the first thing a watcher made later does. Used when a
// coordinator asks one port's run to stop.
void RequestInterrupt();

#ifdef _WIN32
// What the console's close, logoff and shutdown events do: Windows ends the
// process as soon as the handler returns, so it stops the run as Ctrl+C
// does and waits until the run is over (its watcher gone: record written,
// port closed) or bound has passed. True when the run is over.
bool StopBeforeSessionEnds(std::chrono::milliseconds bound);
#endif

}  // namespace console
