// The main-thread loop of the console front end: its one-shot timers against
// the steady clock, posted calls, and the serial component's hand-offs from
// other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Classes.h"
#include "EventLoop.h"
#include "FrontEnd.h"
#include "Watchdog.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Tick {
  Clock::time_point at;
  std::thread::id thread;
};

class LoopTimers : public ::testing::Test {
 protected:
  void SetUp() override {
    timer.OnTimer = [this](comm::TObject* sender) {
      EXPECT_EQ(sender, &timer);
      ticks.push_back({Clock::now(), std::this_thread::get_id()});
    };
  }
  // Runs the loop for a while, whatever happens.
  void RunFor(milliseconds time) {
    loop.RunUntil([] { return false; }, time);
  }

  testsupport::Watchdog watchdog{std::chrono::seconds(30)};
  app::TEventLoop loop;
  app::TLoopTimer timer{loop};
  std::vector<Tick> ticks;
};

TEST_F(LoopTimers, FireOnceOnTheLoopThreadAndNeverEarly) {
  EXPECT_FALSE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000u);
  for (std::uint32_t interval : {0u, 1u, 7u, 30u}) {
    ticks.clear();
    timer.SetInterval(interval);
    const auto enabled = Clock::now();
    timer.SetEnabled(true);
    EXPECT_TRUE(timer.Enabled());
    ASSERT_TRUE(loop.RunUntil([&] { return !ticks.empty(); }, milliseconds(5000)));
    EXPECT_GE(ticks[0].at - enabled, milliseconds(interval)) << interval;
    EXPECT_EQ(ticks[0].thread, std::this_thread::get_id());
    // A tick leaves it disabled: no second one.
    EXPECT_FALSE(timer.Enabled());
    RunFor(milliseconds(interval + 40));
    EXPECT_EQ(ticks.size(), 1u) << interval;
  }
}

TEST_F(LoopTimers, DisablingCancelsAndEnablingAgainStartsAFreshCountdown) {
  timer.SetInterval(40);
  timer.SetEnabled(true);
  timer.SetEnabled(false);
  RunFor(milliseconds(100));
  EXPECT_TRUE(ticks.empty());

  // Enabled again half way: the countdown starts over.
  timer.SetEnabled(true);
  RunFor(milliseconds(20));
  ASSERT_TRUE(ticks.empty());
  const auto again = Clock::now();
  timer.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return !ticks.empty(); }, milliseconds(5000)));
  EXPECT_GE(ticks[0].at - again, milliseconds(40));

  // A new interval on a running timer starts over with that interval.
  ticks.clear();
  timer.SetInterval(500);
  timer.SetEnabled(true);
  RunFor(milliseconds(10));
  const auto changed = Clock::now();
  timer.SetInterval(30);
  EXPECT_TRUE(timer.Enabled());
  ASSERT_TRUE(loop.RunUntil([&] { return !ticks.empty(); }, milliseconds(5000)));
  EXPECT_GE(ticks[0].at - changed, milliseconds(30));
  EXPECT_LT(ticks[0].at - changed, milliseconds(500));

  // A disabled timer given a new interval stays disabled.
  ticks.clear();
  timer.SetInterval(5);
  RunFor(milliseconds(40));
  EXPECT_TRUE(ticks.empty());
  EXPECT_FALSE(timer.Enabled());
}

TEST_F(LoopTimers, AHandlerThatEnablesItsTimerAgainGetsAFullIntervalEachTime) {
  // As the sequencer does: each tick sends a line and waits again.
  timer.OnTimer = [this](comm::TObject*) {
    ticks.push_back({Clock::now(), std::this_thread::get_id()});
    if (ticks.size() < 4) timer.SetEnabled(true);
  };
  timer.SetInterval(15);
  const auto start = Clock::now();
  timer.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return ticks.size() == 4; }, milliseconds(5000)));
  EXPECT_GE(ticks[0].at - start, milliseconds(15));
  for (std::size_t i = 1; i < ticks.size(); ++i) {
    EXPECT_GE(ticks[i].at - ticks[i - 1].at, milliseconds(15)) << i;
  }
  RunFor(milliseconds(50));
  EXPECT_EQ(ticks.size(), 4u);
}

TEST_F(LoopTimers, SeveralTimersFireInTheOrderOfTheirDeadlines) {
  app::TLoopTimer later(loop, 60);
  app::TLoopTimer sooner(loop, 20);
  std::vector<std::string> order;
  later.OnTimer = [&](comm::TObject*) { order.push_back("later"); };
  sooner.OnTimer = [&](comm::TObject*) {
    order.push_back("sooner");
    // Cancelling another timer from a handler holds even when both are due.
    timer.SetEnabled(false);
  };
  timer.SetInterval(20);
  later.SetEnabled(true);
  sooner.SetEnabled(true);
  timer.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return order.size() == 2; }, milliseconds(5000)));
  EXPECT_EQ(order, (std::vector<std::string>{"sooner", "later"}));
  EXPECT_TRUE(ticks.empty());
}

TEST_F(LoopTimers, ADestroyedTimerNeverFires) {
  {
    app::TLoopTimer gone(loop, 5);
    gone.OnTimer = [&](comm::TObject*) { ADD_FAILURE() << "a destroyed timer fired"; };
    gone.SetEnabled(true);
  }
  RunFor(milliseconds(30));
}

TEST_F(LoopTimers, AnExceptionFromATickIsShownAndTheLoopGoesOn) {
  std::vector<std::string> shown;
  app::SetExceptionBoxService([&](const std::string& text, const std::string& caption) {
    shown.push_back(caption + "|" + text);
  });
  timer.OnTimer = [](comm::TObject*) { throw std::runtime_error("tick failed"); };
  timer.SetInterval(1);
  timer.SetEnabled(true);
  bool posted = false;
  loop.Post([] { throw std::logic_error("posted call failed"); });
  loop.Post([&] { posted = true; });
  ASSERT_TRUE(loop.RunUntil([&] { return shown.size() == 2 && posted; }, milliseconds(5000)));
  app::SetExceptionBoxService(nullptr);
  EXPECT_EQ(shown[0], "KS_E -> IDU|posted call failed");
  EXPECT_EQ(shown[1], "KS_E -> IDU|tick failed");
}

TEST_F(LoopTimers, RunUntilGivesUpAtItsLimitAndRunReturnsTheQuitCode) {
  const auto start = Clock::now();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, milliseconds(30)));
  EXPECT_GE(Clock::now() - start, milliseconds(30));
  // A condition that already holds runs nothing.
  EXPECT_TRUE(loop.RunUntil([] { return true; }, milliseconds(0)));

  timer.SetInterval(5);
  timer.OnTimer = [this](comm::TObject*) { loop.Quit(42); };
  timer.SetEnabled(true);
  EXPECT_EQ(loop.Run(), 42);
  EXPECT_TRUE(loop.QuitRequested());
}

// Hand-offs of the serial component and posted calls from other threads.
TEST(EventLoopThreads, WakeUpsFromOtherThreadsRunTheirCallsOnTheLoopThread) {
  testsupport::Watchdog watchdog(std::chrono::seconds(30));
  app::TEventLoop loop;
  app::FrontEnd frontEnd({.messageBox = {}, .exceptionBox = {}, .wakeup = [&] { loop.Wake(); }});
  auto& queue = comm::TMainThreadQueue::Instance();
  ASSERT_TRUE(queue.IsMainThread());

  constexpr int kThreads = 3;
  constexpr int kCalls = 20;
  std::vector<std::thread::id> ranOn;  // touched on the loop's thread only
  std::atomic<int> synchronized{0};
  std::atomic<int> posted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i) {
        // Blocks until the loop has run the call, as the serial event
        // thread's hand-off does.
        const bool ran =
            queue.Synchronize(&threads, [&] { ranOn.push_back(std::this_thread::get_id()); });
        EXPECT_TRUE(ran);
        ++synchronized;
        loop.Post([&] {
          ranOn.push_back(std::this_thread::get_id());
          ++posted;
        });
      }
    });
  }
  const bool done = loop.RunUntil(
      [&] { return synchronized == kThreads * kCalls && posted == kThreads * kCalls; },
      milliseconds(20000));
  for (auto& t : threads) t.join();
  ASSERT_TRUE(done);
  ASSERT_EQ(ranOn.size(), static_cast<std::size_t>(2 * kThreads * kCalls));
  for (const std::thread::id& id : ranOn) EXPECT_EQ(id, std::this_thread::get_id());

  // Quit from another thread ends Run.
  std::thread quitter([&] { loop.Quit(3); });
  EXPECT_EQ(loop.Run(), 3);
  quitter.join();
}

}  // namespace
