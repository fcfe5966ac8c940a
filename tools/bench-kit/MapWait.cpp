// ks-bench-mapwait: tells the moment a window with a given title is mapped on
// the X display, for timing a program's start-up from outside it.
//
//   ks-bench-mapwait TITLE [SECONDS]
//
// Prints "ready" once it watches the display (start the program after that),
// then, when a top-level window titled TITLE is mapped, the CLOCK_MONOTONIC
// time of that moment in seconds, and exits 0. Exits 1 when SECONDS (default
// 30) pass first, 2 when the display cannot be opened.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool Titled(Display* display, Window window, const std::string& title) {
  char* name = nullptr;
  if (XFetchName(display, window, &name) == 0 || name == nullptr) return false;
  const bool same = title == name;
  XFree(name);
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "Usage: ks-bench-mapwait TITLE [SECONDS]\n");
    return 2;
  }
  const std::string title = argv[1];
  const double limit = argc == 3 ? std::atof(argv[2]) : 30.0;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "ks-bench-mapwait: cannot open the display\n");
    return 2;
  }
  // Top-level windows are children of the root window (no window manager on
  // a bare virtual server): their maps reach the root's substructure.
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XSync(display, False);
  std::printf("ready\n");
  std::fflush(stdout);

  const double end = Now() + limit;
  for (;;) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapNotify && Titled(display, event.xmap.window, title)) {
        std::printf("%.6f\n", Now());
        std::fflush(stdout);
        XCloseDisplay(display);
        return 0;
      }
    }
    const double left = end - Now();
    if (left <= 0) break;
    pollfd p{ConnectionNumber(display), POLLIN, 0};
    poll(&p, 1, static_cast<int>(left * 1000) + 1);
  }
  std::fprintf(stderr, "ks-bench-mapwait: no window \"%s\" within %g s\n", title.c_str(), limit);
  XCloseDisplay(display);
  return 1;
}
