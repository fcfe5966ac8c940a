// What an open, idle port costs: the serial component over the real POSIX
// layer on a pseudo-terminal, all nine events selected, nothing happening.
// Prints the process's CPU time over the interval.
//
//   ksidu_comm_idle_bench [seconds] [--lines [--miwait]]
//
// --lines gives the pty modem lines through the ptymodem library, which must
// then be preloaded (LD_PRELOAD) with KSIDU_PTYMODEM_DIR set; with --miwait
// the library also answers the wait for line changes (TIOCMIWAIT), as a
// UART's or a USB adapter's driver does. Without it the lines are sampled,
// as on a driver that has no such wait.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "Comm.h"
#include "CommPosix.h"
#include "PtyPair.h"

namespace {

double CpuMs() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(u.ru_utime) + ms(u.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  bool lines = false;
  bool miwait = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--lines") == 0)
      lines = true;
    else if (std::strcmp(argv[i], "--miwait") == 0)
      miwait = true;
    else
      seconds = std::atoi(argv[i]);
  }
  ksidu_test::PtyPair pty;
  if (lines) {
    std::uint32_t bits = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
    if (miwait) bits |= ksidu_test::PtyPair::kMiwait;
    if (!pty.CreateLines(bits)) {
      std::fprintf(stderr, "no line file: set KSIDU_PTYMODEM_DIR and preload the library\n");
      return 2;
    }
  }
  char lockDir[] = "/tmp/ksidu-bench-lock-XXXXXX";
  if (!::mkdtemp(lockDir)) return 2;
  static_cast<comm::PosixCommOs&>(comm::SystemCommOs()).SetLockDirectory(lockDir);

  comm::TThreadComm c(nullptr);
  c.SetPort(pty.SlavePath());
  c.SetBaudRate(8);
  c.SetFlowControl(comm::fcCtsDsr);
  c.Open();
  if (!c.IsOpen()) {
    std::fprintf(stderr, "could not open %s\n", pty.SlavePath().c_str());
    return 2;
  }
  DWORD status = 0;
  bool haveLines = comm::SystemCommOs().GetCommModemStatus(c.Handle(), &status) != FALSE;
  // Let the event thread settle into its wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double before = CpuMs();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = CpuMs() - before;
  const double wall =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  c.Close();
  ::rmdir(lockDir);
  std::printf("%s, modem status 0x%02X%s: %.1f ms CPU in %.0f ms (%.3f %% of a core)\n",
              lines ? (miwait ? "pty with modem lines and line-change waits"
                              : "pty with modem lines (no line-change waits)")
                    : "bare pty",
              static_cast<unsigned>(status), haveLines ? "" : " (no lines)", cpu, wall,
              100.0 * cpu / wall);
  return 0;
}
