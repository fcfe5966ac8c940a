// How closely the main-thread loop's timers keep their time, and what the
// loop costs while it waits. Prints, for each interval, how late the ticks
// came (never early: a tick before its time counts as a fault), the CPU time
// of the process while the loop waited for a long timer, and the time a
// hand-off from another thread took to run on the loop.
//
//   ksidu_event_loop_bench [ticks per interval]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "Classes.h"
#include "EventLoop.h"
#include "FrontEnd.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuMs() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(u.ru_utime) + ms(u.ru_stime);
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
  return values[i];
}

}  // namespace

int main(int argc, char** argv) {
  const int ticks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  app::TEventLoop loop;
  app::TLoopTimer timer(loop);
  int faults = 0;

  std::printf("interval  ticks  late median  late p95  late max (ms)\n");
  for (std::uint32_t interval : {1u, 10u, 100u, 1000u}) {
    const int count = interval >= 1000 ? std::min(ticks, 5) : ticks;
    std::vector<double> late;
    Clock::time_point due;
    bool fired = false;
    timer.OnTimer = [&](comm::TObject*) {
      const auto now = Clock::now();
      if (now < due) ++faults;
      late.push_back(std::chrono::duration<double, std::milli>(now - due).count());
      fired = true;
    };
    timer.SetInterval(interval);
    for (int i = 0; i < count; ++i) {
      fired = false;
      due = Clock::now() + std::chrono::milliseconds(interval);
      timer.SetEnabled(true);
      loop.RunUntil([&] { return fired; }, std::chrono::milliseconds(interval + 5000));
    }
    std::printf("%8u  %5d  %11.3f  %8.3f  %8.3f\n", interval, count, Percentile(late, 0.5),
                Percentile(late, 0.95), Percentile(late, 1.0));
  }

  // Waiting: a timer two seconds off, nothing else happening.
  bool fired = false;
  timer.OnTimer = [&](comm::TObject*) { fired = true; };
  timer.SetInterval(2000);
  const double cpuBefore = CpuMs();
  const auto waitStart = Clock::now();
  timer.SetEnabled(true);
  loop.RunUntil([&] { return fired; }, std::chrono::milliseconds(10000));
  const double waited = std::chrono::duration<double, std::milli>(Clock::now() - waitStart).count();
  std::printf("idle: %.0f ms waited, %.3f ms CPU\n", waited, CpuMs() - cpuBefore);

  // Hand-offs: a thread's blocking call run on the loop, as the serial event
  // thread hands over each event.
  app::FrontEnd frontEnd({.messageBox = {}, .exceptionBox = {}, .wakeup = [&] { loop.Wake(); }});
  constexpr int kHandOffs = 2000;
  std::atomic<int> done{0};
  std::vector<double> roundTrips;
  roundTrips.reserve(kHandOffs);
  std::thread events([&] {
    for (int i = 0; i < kHandOffs; ++i) {
      const auto start = Clock::now();
      comm::TMainThreadQueue::Instance().Synchronize(&done, [] {});
      roundTrips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      ++done;
    }
  });
  loop.RunUntil([&] { return done == kHandOffs; }, std::chrono::milliseconds(60000));
  events.join();
  std::printf("hand-off round trip (us): median %.1f  p95 %.1f  max %.1f over %d\n",
              Percentile(roundTrips, 0.5), Percentile(roundTrips, 0.95),
              Percentile(roundTrips, 1.0), kHandOffs);
  std::printf("early ticks: %d\n", faults);
  return faults == 0 ? 0 : 1;
}
