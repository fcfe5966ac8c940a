#include "Signals.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace console {

#ifdef _WIN32

struct SignalWatcher::State {};

namespace {
// Windows runs the handler on a thread of its own.
std::mutex watcherMutex;
std::condition_variable watcherGone;
std::function<void()> watcherCall;
int watcherSignals = 0;
// Counts the watchers that have gone: the run of one that has is over.
unsigned watchersGone = 0;
bool interruptPending = false;

// The first request stops the run; true for a later one. Called with the
// lock held.
bool AskedBeforeLocked() {
  if (watcherSignals++ > 0) return true;
  watcherCall();
  return false;
}

// The time Windows gives a console program after a close, logoff or
// shutdown event before it ends the process (about 5 s), less a margin.
constexpr std::chrono::milliseconds kSessionEndBound{4500};

BOOL WINAPI ConsoleCtrl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: {
      std::lock_guard lock(watcherMutex);
      if (!watcherCall) return FALSE;
      if (!AskedBeforeLocked()) return TRUE;
      // Asked twice: the user wants out now, with the code a second Ctrl+C
      // gives on Linux. Terminated rather than exited, so that nothing the
      // main thread holds (the loader's lock, the C runtime's) can keep the
      // process alive.
      TerminateProcess(GetCurrentProcess(), 130);
      return TRUE;
    }
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      {
        std::lock_guard lock(watcherMutex);
        if (!watcherCall) return FALSE;
      }
      // Returning lets Windows end the process: only once the run is over,
      // or when its time is nearly up.
      StopBeforeSessionEnds(kSessionEndBound);
      return TRUE;
    }
    default:
      return FALSE;
  }
}
}  // namespace

bool StopBeforeSessionEnds(std::chrono::milliseconds bound) {
  std::unique_lock lock(watcherMutex);
  if (!watcherCall) return true;
  // Also after a Ctrl+C: that stop is under way, and is waited for too.
  if (watcherSignals == 0)
    AskedBeforeLocked();
  else
    ++watcherSignals;
  const unsigned gone = watchersGone;
  return watcherGone.wait_for(lock, bound, [&] { return watchersGone != gone; });
}

SignalWatcher::SignalWatcher(std::function<void()> onSignal) : state_(std::make_unique<State>()) {
  {
    std::lock_guard lock(watcherMutex);
    watcherCall = std::move(onSignal);
    watcherSignals = 0;
    if (interruptPending) {
      interruptPending = false;
      AskedBeforeLocked();
    }
  }
  // Installed once and left in place: Windows holds its handler lock while a
  // handler runs, so removing it here could wait for the very handler that
  // waits for this watcher to go. Without a watcher it passes every event on.
  static const bool installed = SetConsoleCtrlHandler(&ConsoleCtrl, TRUE) != FALSE;
  (void)installed;
}

SignalWatcher::~SignalWatcher() {
  {
    std::lock_guard lock(watcherMutex);
    watcherCall = nullptr;
    ++watchersGone;
  }
  watcherGone.notify_all();
}

void RequestInterrupt() {
  std::lock_guard lock(watcherMutex);
  if (!watcherCall) {
    interruptPending = true;
  } else {
    AskedBeforeLocked();
  }
}

#else

// The watcher's sigwait takes it; before there is one, the default action
// ends the program, which has opened nothing yet.
void RequestInterrupt() {
  kill(getpid(), SIGTERM);
}

struct SignalWatcher::State {
  std::function<void()> onSignal;
  sigset_t signals{};
  sigset_t previous{};
  std::atomic<bool> stop{false};
  std::thread thread;
};

SignalWatcher::SignalWatcher(std::function<void()> onSignal) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.onSignal = std::move(onSignal);
  sigemptyset(&s.signals);
  sigaddset(&s.signals, SIGINT);
  sigaddset(&s.signals, SIGTERM);
  sigaddset(&s.signals, SIGHUP);
  // Blocked here and in every thread started from now on: only the
  // watcher's sigwait takes them.
  pthread_sigmask(SIG_BLOCK, &s.signals, &s.previous);
  s.thread = std::thread([&s] {
    int seen = 0;
    for (;;) {
      int signal = 0;
      if (sigwait(&s.signals, &signal) != 0) continue;
      if (s.stop.load()) return;
      if (++seen == 1) {
        s.onSignal();
      } else {
        // Asked twice: the user wants out now.
        std::_Exit(128 + signal);
      }
    }
  });
}

SignalWatcher::~SignalWatcher() {
  State& s = *state_;
  s.stop.store(true);
  // One of its own signals ends the watcher's wait.
  pthread_kill(s.thread.native_handle(), SIGTERM);
  s.thread.join();
  pthread_sigmask(SIG_SETMASK, &s.previous, nullptr);
}

#endif

}  // namespace console
