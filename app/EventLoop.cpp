#include "EventLoop.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "FrontEnd.h"

namespace app {

// ---- TEventLoop ---------------------------------------------------------------

TEventLoop::~TEventLoop() = default;

void TEventLoop::Post(std::function<void()> call) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(call));
    wake_ = true;
  }
  woken_.notify_all();
}

void TEventLoop::Wake() {
  {
    std::lock_guard lock(mutex_);
    wake_ = true;
  }
  woken_.notify_all();
}

void TEventLoop::Quit(int code) {
  {
    std::lock_guard lock(mutex_);
    if (!quit_) quitCode_ = code;
    quit_ = true;
  }
  woken_.notify_all();
}

bool TEventLoop::QuitRequested() const {
  std::lock_guard lock(mutex_);
  return quit_;
}

int TEventLoop::Run() {
  while (!QuitRequested()) Turn(Clock::time_point::max());
  std::lock_guard lock(mutex_);
  return quitCode_;
}

bool TEventLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end) return false;
    Turn(end);
  }
  return true;
}

void TEventLoop::RunOnce() {
  Turn(Clock::time_point::min());
}

void TEventLoop::Turn(Clock::time_point limit) {
  std::deque<std::function<void()>> calls;
  {
    std::lock_guard lock(mutex_);
    wake_ = false;
    calls.swap(posted_);
  }
  // The serial component's hand-offs first: a thread is blocked on each.
  const std::size_t handedOff = RunHandOffs();
  for (auto& call : calls) Guarded(call);
  const bool fired = FireDueTimers();
  // Something ran: the caller gets to look at the state before any sleep.
  if (handedOff > 0 || fired || !calls.empty()) return;

  std::unique_lock lock(mutex_);
  if (wake_ || quit_ || !posted_.empty()) return;
  const auto until = std::min(limit, NextDeadline());
  if (until == Clock::time_point::max()) {
    woken_.wait(lock, [&] { return wake_ || quit_; });
  } else if (until > Clock::now()) {
    // Woken early (a spurious wake-up included) is harmless: timers are
    // tested against the clock before they fire.
    woken_.wait_until(lock, until, [&] { return wake_ || quit_; });
  }
}

TEventLoop::Clock::time_point TEventLoop::NextDeadline() const {
  auto next = Clock::time_point::max();
  for (const Armed& a : armed_) next = std::min(next, a.deadline);
  return next;
}

bool TEventLoop::FireDueTimers() {
  const auto now = Clock::now();
  // Those due now, earliest first; a timer armed again by a handler waits
  // for the next turn.
  std::vector<Armed> due;
  for (const Armed& a : armed_) {
    if (a.deadline <= now) due.push_back(a);
  }
  std::stable_sort(due.begin(), due.end(),
                   [](const Armed& a, const Armed& b) { return a.deadline < b.deadline; });
  for (const Armed& d : due) {
    // A handler that ran before may have disabled or re-armed this one.
    auto it = std::find_if(armed_.begin(), armed_.end(),
                           [&](const Armed& a) { return a.generation == d.generation; });
    if (it == armed_.end()) continue;
    armed_.erase(it);
    d.timer->Elapsed();
  }
  return !due.empty();
}

void TEventLoop::Arm(TLoopTimer& timer, Clock::time_point deadline) {
  Disarm(timer);
  armed_.push_back({&timer, deadline, ++generation_});
}

void TEventLoop::Disarm(TLoopTimer& timer) {
  armed_.erase(std::remove_if(armed_.begin(), armed_.end(),
                              [&](const Armed& a) { return a.timer == &timer; }),
               armed_.end());
}

// ---- TLoopTimer ----------------------------------------------------------------

TLoopTimer::~TLoopTimer() {
  loop_.Disarm(*this);
}

void TLoopTimer::SetInterval(std::uint32_t milliseconds) {
  interval_ = milliseconds;
  if (enabled_) SetEnabled(true);
}

void TLoopTimer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  if (enabled) {
    loop_.Arm(*this, TEventLoop::Clock::now() + std::chrono::milliseconds(interval_));
  } else {
    loop_.Disarm(*this);
  }
}

void TLoopTimer::Elapsed() {
  enabled_ = false;
  if (OnTimer) Guarded([this] { OnTimer(this); });
}

}  // namespace app
