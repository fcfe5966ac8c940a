// The POSIX layer's port: its input queue, the pending event wait, and what
// closing puts back.
//
// Overlapped reads and writes complete within their call. A pending
// WaitCommEvent completes by itself, as on Windows: every event noticed by
// anyone completes it at once. The thread blocked on the wait's event (the
// component's event thread) polls the port itself, so that a reply wakes that
// one thread; a wait nobody blocks on within a few milliseconds is handed to
// the port's watcher thread, which polls for it instead.

#ifndef _WIN32

#include "PosixPort.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <utility>

namespace comm::posix {

int Ioctl(int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = ::ioctl(fd, request, arg);
  } while (r < 0 && errno == EINTR);
  return r;
}

int MsLeft(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}
bool Passed(const std::optional<Clock::time_point>& deadline) {
  return deadline && Clock::now() >= *deadline;
}
int MinTimeout(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

void Kick(int efd) {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t r = ::write(efd, &one, sizeof one);
}
void Drain(int efd) {
  std::uint64_t v;
  [[maybe_unused]] ssize_t r = ::read(efd, &v, sizeof v);
}

void StoreStatus(OVERLAPPED* ov, ULONG_PTR status, ULONG_PTR count) {
  if (!ov) return;
  std::atomic_ref<ULONG_PTR>(ov->InternalHigh).store(count);
  std::atomic_ref<ULONG_PTR>(ov->Internal).store(status);
}

bool GetTermios(int fd, termios2& t) {
  return Ioctl(fd, TCGETS2, &t) == 0;
}
bool SetTermios(int fd, const termios2& t) {
  return Ioctl(fd, TCSETS2, const_cast<termios2*>(&t)) == 0;
}

void SetModemBit(int fd, int bit, bool on) {
  int b = bit;
  Ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &b);
}

// ---- Event ------------------------------------------------------------------------------

void Event::Signal() {
  std::lock_guard lk(mu);
  signalled = true;
  port.reset();
  cv.notify_all();
}

void Event::FailWait(DWORD code) {
  std::lock_guard lk(mu);
  failed = true;
  error = code;
  port.reset();
  cv.notify_all();
}

void Event::Reset() {
  std::lock_guard lk(mu);
  signalled = false;
  failed = false;
  port.reset();
}

void Event::Attach(const std::shared_ptr<Port>& waitingPort) {
  std::lock_guard lk(mu);
  port = waitingPort;
}

std::shared_ptr<Port> Event::AttachedPort() {
  std::lock_guard lk(mu);
  return signalled || failed ? nullptr : port.lock();
}

// ---- Port ---------------------------------------------------------------------------------

namespace {

// Long enough for the thread that started a wait to block on it, as the
// component's event thread does at once; short enough that a wait nobody
// blocks on still completes by itself within a few milliseconds.
constexpr long kHandOverMs = 5;

bool HungUp(short revents) {
  return (revents & (POLLERR | POLLNVAL)) || ((revents & POLLHUP) && !(revents & POLLIN));
}

void SetTimer(int timerFd, long ms) {
  itimerspec when{};
  when.it_value.tv_sec = ms / 1000;
  when.it_value.tv_nsec = (ms % 1000) * 1000000L;
  ::timerfd_settime(timerFd, 0, &when, nullptr);  // all zero: disarmed
}

}  // namespace

void Port::CloseFds() {
  for (int* f : {&fd, &closeFd, &wakeFd, &rxWakeFd, &waitKickFd, &timerFd}) {
    if (*f >= 0) ::close(*f);
    *f = -1;
  }
}

void Port::Record(DWORD events) {
  events &= mask;
  if (!events) return;
  history |= events;
  if (pending) {
    DWORD all = history;
    history = 0;
    CompleteLocked(all);
  }
}

bool Port::PullLocked() {
  unsigned char buf[4096];
  bool any = false, flag = false;
  while (!gone && rx.size() < kRxCapacity) {
    std::size_t want = std::min(sizeof buf, kRxCapacity - rx.size());
    ssize_t n = ::read(fd, buf, want);
    if (n > 0) {
      any = true;
      for (ssize_t i = 0; i < n; ++i) {
        rx.push_back(buf[i]);
        if (static_cast<char>(buf[i]) == evtChar) flag = true;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (DeviceGone(errno) || errno == EBADF)) gone = true;
    break;
  }
  if (any) {
    Record(EV_RXCHAR | (flag ? EV_RXFLAG : 0));
    if (readersWaiting > 0) Kick(rxWakeFd);
  }
  return any;
}

void Port::CheckAllLocked() {
  PullLocked();
  // Where a thread keeps the lines, a change is already in the history.
  if ((mask & kModemEvents) && !StatusKeptLocked()) ModemBitsLocked();
  SampleCountersLocked();
}

void Port::CompleteLocked(DWORD events) {
  Pending p = std::move(*pending);
  pending.reset();
  *p.maskOut = events;
  StoreStatus(p.ov, 0, sizeof(DWORD));
  p.event->Signal();
  // The waiter that completed the wait itself is not blocked anymore.
  if (blockedWaiters > (selfWatching ? 1 : 0)) Kick(waitKickFd);
}

void Port::FailPendingLocked(DWORD error) {
  Pending p = std::move(*pending);
  pending.reset();
  StoreStatus(p.ov, error, 0);
  p.event->FailWait(error);
  if (blockedWaiters > (selfWatching ? 1 : 0)) Kick(waitKickFd);
}

void Port::RebaseLocked() {
  history = 0;
  haveIcount = false;
  if (isTty && !gone) {
    PullLocked();
    // Earlier line changes are not reported: the status is read afresh, also
    // where a thread keeps it, as its report of a change may still be on its
    // way. (A mask change is rare: at the open and at the close.)
    if (lines != Lines::None && (mask & kModemEvents)) ReadModemLocked();
    SampleCountersLocked();
    history = 0;
  }
}

void Port::WatchPassLocked() {
  if (PullLocked()) SampleCountersLocked();
  if (SampleDueMsLocked() == 0) ReadModemLocked();
  if (pending && gone) FailPendingLocked(ERROR_DEVICE_REMOVED);
}

void Port::ArmHandOverLocked() {
  handedOver = false;
  SetTimer(timerFd, kHandOverMs);
}

bool Port::StartThreadsLocked() {
  if (!watcher.joinable()) {
    try {
      watcher = std::thread([this] { WatchLoop(); });
    } catch (const std::system_error&) {
      return false;
    }
  }
  if (lines == Lines::Wait && !lineWaiter.joinable() && !StartLineWaiterLocked()) {
    lines = Lines::Sample;
  }
  return true;
}

void Port::WaitAsWaiter(Event& ev, const std::optional<Clock::time_point>& deadline) {
  std::unique_lock lk(mu);
  auto mine = [&] { return !closed && pending && pending->event.get() == &ev; };
  if (!mine()) return;
  if (Passed(deadline)) {
    WatchPassLocked();  // a look, not a wait
    return;
  }
  ++uses;
  ++blockedWaiters;
  SetTimer(timerFd, 0);
  if (watcherWatching) Kick(wakeFd);  // the watcher stands down
  while (mine()) {
    const bool watchInput = !gone && rx.size() < kRxCapacity;
    pollfd fds[3] = {{closeFd, POLLIN, 0}, {waitKickFd, POLLIN, 0}, {fd, POLLIN, 0}};
    const int timeout = MinTimeout(MsLeft(deadline), SampleDueMsLocked());
    lk.unlock();
    const int r = ::poll(fds, watchInput ? 3 : 2, timeout);
    lk.lock();
    if (r > 0 && (fds[1].revents & POLLIN)) Drain(waitKickFd);
    if (!mine()) break;
    if (r > 0 && watchInput && HungUp(fds[2].revents)) gone = true;
    selfWatching = true;
    WatchPassLocked();
    selfWatching = false;
    if (Passed(deadline)) break;
  }
  --blockedWaiters;
  // Given up while the wait goes on: it still has to complete by itself.
  if (pending && !closed && blockedWaiters == 0) {
    handedOver = true;
    if (!watcherWatching) Kick(wakeFd);
  }
  if (--uses == 0) idle.notify_all();
}

void Port::WatchLoop() {
  std::unique_lock lk(mu);
  auto unwatched = [&] { return pending && handedOver && blockedWaiters == 0; };
  while (!closed) {
    if (unwatched()) WatchPassLocked();
    watcherWatching = unwatched();
    const bool watchInput = watcherWatching && !gone && rx.size() < kRxCapacity;
    const int timeout = watcherWatching ? SampleDueMsLocked() : -1;
    pollfd fds[4] = {
        {closeFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {timerFd, POLLIN, 0}, {fd, POLLIN, 0}};
    lk.unlock();
    const int r = ::poll(fds, watchInput ? 4 : 3, timeout);
    lk.lock();
    if (r <= 0) continue;
    if (fds[1].revents & POLLIN) Drain(wakeFd);
    if (fds[2].revents & POLLIN) {
      Drain(timerFd);
      if (pending) handedOver = true;
    }
    if (watchInput && HungUp(fds[3].revents)) gone = true;
  }
  watcherWatching = false;
}

void Port::PutBackLocked() {
  if (!isTty || fd < 0) return;
  if (!gone) {
    // An unsent rest held back by flow control would keep close() waiting
    // (30 s on a UART).
    int outq = 0;
    if (Ioctl(fd, TIOCOUTQ, &outq) == 0 && outq > 0) ::tcflush(fd, TCOFLUSH);
    if (haveOriginal) SetTermios(fd, original);
    serial_struct ss{};
    if (restoreLowLatency && Ioctl(fd, TIOCGSERIAL, &ss) == 0) {
      ss.flags = (ss.flags & ~ASYNC_LOW_LATENCY) | (originalSerialFlags & ASYNC_LOW_LATENCY);
      Ioctl(fd, TIOCSSERIAL, &ss);
    }
    int bits = TIOCM_DTR | TIOCM_RTS;
    Ioctl(fd, TIOCMBIC, &bits);
  }
  Ioctl(fd, TIOCNXCL, nullptr);
}

void Port::Shutdown() {
  std::unique_lock lk(mu);
  if (closed) return;
  closed = true;
  if (pending) FailPendingLocked(ERROR_OPERATION_ABORTED);
  if (closeFd >= 0) Kick(closeFd);
  linesCv.notify_all();
  std::thread w = std::move(watcher);
  std::thread l = std::move(lineWaiter);
  if (l.joinable()) {
    // Repeated: the signal may come just before the thread enters its wait.
    const int signal = WakeSignal();
    while (!lineWaiterDone) {
      ::pthread_kill(l.native_handle(), signal);
      linesCv.wait_for(lk, std::chrono::milliseconds(2));
    }
  }
  lk.unlock();
  if (w.joinable()) w.join();
  if (l.joinable()) l.join();
  lk.lock();
  // Nobody may be inside poll() on the descriptors when they are closed.
  idle.wait(lk, [&] { return uses == 0; });
  PutBackLocked();
  CloseFds();
  lockFile.Release();
}

}  // namespace comm::posix

#endif
