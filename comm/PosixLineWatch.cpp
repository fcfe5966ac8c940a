// The POSIX layer's watch of the modem lines and of the driver's counters.
//
// The modem status is kept, not asked for in every exchange: a USB adapter's
// driver answers each TIOCMGET with a control transfer to its device. Where
// the driver has TIOCMIWAIT, a thread blocks in it from the first event
// wait on (a signal ends that wait on close) and reads the lines once per
// change it reports; where it has not, the lines are sampled while a wait is pending,
// and read when asked for otherwise. Error counters are read when something
// happened, never on a clock.

#ifndef _WIN32

#include "PosixPort.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <system_error>

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

int Port::ReadModemLocked() {
  int bits = 0;
  if (Ioctl(fd, TIOCMGET, &bits) < 0) {
    const int e = errno;
    if (DeviceGone(e))
      gone = true;
    else if (NoModemControl(e))
      lines = Lines::None;
    return e;
  }
  if (haveModem) {
    const int changed = bits ^ modemBits;
    DWORD ev = 0;
    if (changed & TIOCM_CTS) ev |= EV_CTS;
    if (changed & TIOCM_DSR) ev |= EV_DSR;
    if (changed & TIOCM_CAR) ev |= EV_RLSD;
    // Ring is reported on the trailing edge of the indicator, as Windows does.
    if ((modemBits & TIOCM_RNG) && !(bits & TIOCM_RNG)) ev |= EV_RING;
    Record(ev);
  }
  modemBits = bits;
  modemAt = Clock::now();
  haveModem = true;
  return 0;
}

bool Port::StatusKeptLocked() {
  if (lines != Lines::Wait || gone || !haveModem) return false;
  if (!lineWaitWorks && lineWaiting &&
      Clock::now() - lineWaitSince >= std::chrono::milliseconds(kSamplePeriodMs)) {
    lineWaitWorks = true;
  }
  return lineWaitWorks;
}

std::optional<int> Port::ModemBitsLocked() {
  if (lines == Lines::None) return std::nullopt;
  if (!haveModem || (!StatusKeptLocked() &&
                     Clock::now() - modemAt >= std::chrono::milliseconds(kSamplePeriodMs))) {
    ReadModemLocked();
  }
  if (lines == Lines::None || !haveModem) return std::nullopt;
  return modemBits;
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

int Port::SampleDueMsLocked() const {
  if (!SamplingLocked()) return -1;
  if (!haveModem) return 0;
  const auto due = modemAt + std::chrono::milliseconds(kSamplePeriodMs);
  return MsLeft(due);
}

bool Port::StartLineWaiterLocked() {
  try {
    const int signal = WakeSignal();
    lineWaiter = std::thread([this, signal] { LineWaitLoop(signal); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void Port::LineWaitLoop(int wakeSignal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, wakeSignal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  std::unique_lock lk(mu);
  // The status read at the open may have changed before this thread's first
  // wait; after that, one read per change the driver reports.
  bool look = true;
  while (!closed && !gone && lines == Lines::Wait) {
    if (look && ReadModemLocked() != 0) {
      if (!gone && lines == Lines::Wait) lines = Lines::Sample;
      break;
    }
    lineWaiting = true;
    lineWaitSince = Clock::now();
    lk.unlock();
    const int r = ::ioctl(fd, TIOCMIWAIT, kInputLines);
    const int e = errno;
    lk.lock();
    lineWaiting = false;
    if (r == 0) {
      lineWaitWorks = true;
      SampleCountersLocked();
      look = true;
      continue;
    }
    if (e == EINTR) {
      // Closing, or a stray signal, during which a change may have passed.
      look = !closed;
      continue;
    }
    if (DeviceGone(e))
      gone = true;
    else
      lines = Lines::Sample;  // no such wait in this driver
  }
  if (!closed && (gone || lines != Lines::Wait)) {
    if (gone && pending) FailPendingLocked(ERROR_DEVICE_REMOVED);
    // A blocked waiter, or the watcher, now has lines to sample.
    if (blockedWaiters > 0) Kick(waitKickFd);
    Kick(wakeFd);
  }
  lineWaiterDone = true;
  linesCv.notify_all();
}

}  // namespace comm::posix

#endif
