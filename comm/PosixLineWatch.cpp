// The POSIX layer's watch of the modem lines and of the driver's counters.
//
// Modem-line changes come from a thread that blocks in TIOCMIWAIT where the
// driver has it (a signal ends that wait on close); where it has not, the
// lines are sampled while a wait is pending. Error counters are read when
// something happened, never on a clock.

#ifndef _WIN32

#include "PosixPort.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace comm::posix {

namespace {

constexpr unsigned long kInputLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

void WakeHandler(int) {}

}  // namespace

int WakeSignal() {
  static const int signal = [] {
    const int s = SIGRTMAX - 3;
    struct sigaction old {};
    if (s <= SIGRTMIN || ::sigaction(s, nullptr, &old) != 0) return 0;
    if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL) return 0;
    struct sigaction sa {};
    sa.sa_handler = WakeHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the interrupted wait has to return
    return ::sigaction(s, &sa, nullptr) == 0 ? s : 0;
  }();
  return signal;
}

void Port::SampleModemLocked() {
  if (!(mask & kModemEvents) || lines == Lines::None) return;
  int bits = 0;
  if (Ioctl(fd, TIOCMGET, &bits) < 0) {
    if (DeviceGone(errno))
      gone = true;
    else
      lines = Lines::None;
    return;
  }
  if (haveModem) {
    int changed = bits ^ lastModem;
    DWORD ev = 0;
    if (changed & TIOCM_CTS) ev |= EV_CTS;
    if (changed & TIOCM_DSR) ev |= EV_DSR;
    if (changed & TIOCM_CAR) ev |= EV_RLSD;
    // Ring is reported on the trailing edge of the indicator, as Windows does.
    if ((lastModem & TIOCM_RNG) && !(bits & TIOCM_RNG)) ev |= EV_RING;
    Record(ev);
  }
  lastModem = bits;
  haveModem = true;
}

void Port::SampleCountersLocked() {
  if (!icountOk) return;
  serial_icounter_struct now{};
  if (Ioctl(fd, TIOCGICOUNT, &now) < 0) {
    icountOk = false;
    return;
  }
  if (haveIcount) {
    DWORD ce = 0;
    if (now.frame != lastIcount.frame) ce |= CE_FRAME;
    if (now.overrun != lastIcount.overrun || now.buf_overrun != lastIcount.buf_overrun)
      ce |= CE_OVERRUN;
    if (now.parity != lastIcount.parity) ce |= CE_RXPARITY;
    if (now.brk != lastIcount.brk) ce |= CE_BREAK;
    errors |= ce;
    DWORD ev = 0;
    if (ce & CE_BREAK) ev |= EV_BREAK;
    if (ce & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) ev |= EV_ERR;
    if (lines != Lines::None) {
      if (now.cts != lastIcount.cts) ev |= EV_CTS;
      if (now.dsr != lastIcount.dsr) ev |= EV_DSR;
      if (now.dcd != lastIcount.dcd) ev |= EV_RLSD;
      if (now.rng != lastIcount.rng) ev |= EV_RING;
    }
    Record(ev);
  }
  lastIcount = now;
  haveIcount = true;
}

bool Port::SamplingLocked() const {
  return pending && (mask & kModemEvents) && lines == Lines::Sample;
}

void Port::LineWaitLoop(int wakeSignal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, wakeSignal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  std::unique_lock lk(mu);
  while (!closed && !gone && lines == Lines::Wait) {
    if (!(mask & kModemEvents)) {
      linesCv.wait(lk);
      continue;
    }
    // A change between two waits is not lost.
    SampleModemLocked();
    lk.unlock();
    int r = ::ioctl(fd, TIOCMIWAIT, kInputLines);
    const int e = errno;
    lk.lock();
    if (r == 0) {
      SampleModemLocked();
      SampleCountersLocked();
      continue;
    }
    if (e == EINTR) continue;
    if (DeviceGone(e))
      gone = true;
    else
      lines = Lines::Sample;  // no such wait in this driver
    Kick(wakeFd);
  }
  lineWaiterDone = true;
  linesCv.notify_all();
}

}  // namespace comm::posix

#endif
