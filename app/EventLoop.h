// The main thread's loop for a front end without a toolkit of its own (the
// console; tests): one-shot timers, calls posted from any thread, and the
// serial component's hand-offs. It sleeps until the next timer is due or it
// is woken; it never polls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "Controls.h"

namespace app {

class TLoopTimer;

class TEventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  TEventLoop() = default;
  ~TEventLoop();
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  // Any thread: the loop runs call on its own thread at its next turn, in
  // the order posted. What escapes it is shown as any handler's exception.
  void Post(std::function<void()> call);
  // Any thread: the loop takes a turn soon (runs hand-offs and posted calls).
  void Wake();

  // Runs turns until Quit; returns the code given to Quit.
  int Run();
  // Any thread: Run returns code after the turn under way.
  void Quit(int code = 0);
  bool QuitRequested() const;

  // Runs turns until done() holds or limit has passed; true when done()
  // held. done() is tested before the first turn and after every turn.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

  // Runs what is due now (hand-offs, posted calls, timers whose time has
  // come), without waiting.
  void RunOnce();

 private:
  friend class TLoopTimer;

  void Arm(TLoopTimer& timer, Clock::time_point deadline);
  void Disarm(TLoopTimer& timer);
  // One turn: run what is due, else sleep until the next deadline, until
  // woken, or until the limit, whichever comes first.
  void Turn(Clock::time_point limit);
  bool FireDueTimers();
  Clock::time_point NextDeadline() const;

  struct Armed {
    TLoopTimer* timer;
    Clock::time_point deadline;
    std::uint64_t generation;
  };

  mutable std::mutex mutex_;
  std::condition_variable woken_;
  bool wake_ = false;
  bool quit_ = false;
  int quitCode_ = 0;
  std::deque<std::function<void()>> posted_;
  // Touched on the loop's thread only.
  std::deque<Armed> armed_;
  std::uint64_t generation_ = 0;
};

// The window's timer on a TEventLoop. Used on the loop's thread only.
// Enabling starts a fresh countdown (also on a running timer), so does a new
// interval on a running timer; disabling cancels; a tick leaves it disabled.
// It never fires before its interval has passed.
class TLoopTimer : public TTimer {
 public:
  explicit TLoopTimer(TEventLoop& loop, std::uint32_t interval = 1000)
      : loop_(loop), interval_(interval) {}
  ~TLoopTimer() override;

  std::uint32_t Interval() const override { return interval_; }
  void SetInterval(std::uint32_t milliseconds) override;
  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool enabled) override;

 private:
  friend class TEventLoop;
  void Elapsed();

  TEventLoop& loop_;
  std::uint32_t interval_;
  bool enabled_ = false;
};

}  // namespace app
