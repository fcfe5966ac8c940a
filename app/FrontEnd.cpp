#include "FrontEnd.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

#include "Comm.h"
#include "MainForm.h"
#include "Trace.h"

namespace app {

namespace {

struct ExceptionBoxes {
  std::mutex mutex;
  ExceptionBoxService replacement;
  ExceptionBoxService frontEnd;
};

ExceptionBoxes& Boxes() {
  // Never destroyed: a handler may still report while the program exits.
  static auto* boxes = new ExceptionBoxes();
  return *boxes;
}

std::atomic<std::uint64_t> g_serialPortErrors{0};

}  // namespace

std::uint64_t SerialPortErrorCount() {
  return g_serialPortErrors.load();
}

void SetExceptionBoxService(ExceptionBoxService service) {
  std::lock_guard lock(Boxes().mutex);
  Boxes().replacement = std::move(service);
}

void ShowException(const std::string& message) {
  ExceptionBoxService box;
  {
    std::lock_guard lock(Boxes().mutex);
    box = Boxes().replacement ? Boxes().replacement : Boxes().frontEnd;
  }
  const std::string caption(resources::kApplicationTitle);
  try {
    TraceBox(message, caption);
    if (box) {
      box(message, caption);
    } else {
      std::fprintf(stderr, "%s: %s\n", caption.c_str(), message.c_str());
    }
  } catch (...) {
    // Nothing is left to report a failing report with.
  }
}

std::size_t RunHandOffs() {
  std::size_t ran = 0;
  Guarded([&] { ran = comm::TMainThreadQueue::Instance().RunPending(); });
  return ran;
}

bool WaitForSerialThreads(std::chrono::milliseconds limit) {
  // Only ever a few milliseconds, once, as the program ends.
  const auto end = std::chrono::steady_clock::now() + limit;
  while (comm::TCommEventThread::LiveCount() > 0) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

FrontEnd::FrontEnd(FrontEndHooks hooks) {
  auto& queue = comm::TMainThreadQueue::Instance();
  queue.SetMainThread();
  queue.SetWakeup(std::move(hooks.wakeup));
  {
    std::lock_guard lock(Boxes().mutex);
    Boxes().frontEnd = std::move(hooks.exceptionBox);
  }
  // The serial component's boxes go to the trace as the window's do.
  comm::SetMessageBoxService([box = std::move(hooks.messageBox)](const std::string& text,
                                                                 const std::string& caption,
                                                                 unsigned flags) {
    g_serialPortErrors.fetch_add(1);
    TraceBox(text, caption);
    return box ? box(text, caption, flags) : 0;
  });
}

FrontEnd::~FrontEnd() {
  comm::TMainThreadQueue::Instance().SetWakeup(nullptr);
  comm::SetMessageBoxService(nullptr);
  std::lock_guard lock(Boxes().mutex);
  Boxes().frontEnd = nullptr;
}

}  // namespace app
