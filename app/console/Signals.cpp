#include "Signals.h"

#include <atomic>
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
std::function<void()> watcherCall;
int watcherSignals = 0;
bool interruptPending = false;

BOOL WINAPI ConsoleCtrl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  std::lock_guard lock(watcherMutex);
  // Asked twice: the default handler ends the program at once.
  if (!watcherCall || ++watcherSignals > 1) return FALSE;
  watcherCall();
  return TRUE;
}
}  // namespace

SignalWatcher::SignalWatcher(std::function<void()> onSignal) : state_(std::make_unique<State>()) {
  {
    std::lock_guard lock(watcherMutex);
    watcherCall = std::move(onSignal);
    watcherSignals = 0;
    if (interruptPending) {
      interruptPending = false;
      ++watcherSignals;
      watcherCall();
    }
  }
  SetConsoleCtrlHandler(&ConsoleCtrl, TRUE);
}

SignalWatcher::~SignalWatcher() {
  SetConsoleCtrlHandler(&ConsoleCtrl, FALSE);
  std::lock_guard lock(watcherMutex);
  watcherCall = nullptr;
}

void RequestInterrupt() {
  std::lock_guard lock(watcherMutex);
  if (!watcherCall) {
    interruptPending = true;
  } else if (watcherSignals++ == 0) {
    watcherCall();
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
