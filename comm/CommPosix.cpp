// Windows serial-communications calls rebuilt over termios and ioctl.
//
// Received bytes are moved from the descriptor into a queue of the port as
// soon as anyone looks (a wait, a read, ClearCommError). That gives the
// event wait its edge: bytes already pulled were already reported, so the
// descriptor falls quiet and poll() blocks until something new arrives, and
// the event character can be recognised without consuming input.
//
// Overlapped reads and writes complete within their call. A pending
// WaitCommEvent completes by itself, as on Windows: a watcher thread of the
// port blocks in poll() on the descriptor and the port's wake-up descriptors
// while a wait is pending, and every event noticed by anyone completes the
// wait at once. Modem-line changes come from a second thread that blocks in
// TIOCMIWAIT where the driver has it (a signal ends that wait on close);
// where it has not, the watcher samples the lines while a wait is pending.
// Error counters are read when something happened, never on a clock.

#ifndef _WIN32

#include "CommPosix.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "PosixLine.h"
#include "PosixPortLock.h"
#include "Termios2.h"

namespace comm {
namespace posix {

namespace {

constexpr DWORD kErrorInvalidFunction = 1;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr std::size_t kRxCapacity = 64 * 1024;
// Period for sampling modem lines on a driver without TIOCMIWAIT, and DSR
// during a write that DSR holds back.
constexpr int kSamplePeriodMs = 15;
constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kAllEvents = 0x01FF;
constexpr unsigned long kInputLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

thread_local DWORD t_lastError = 0;

BOOL Fail(DWORD code) {
  t_lastError = code;
  return FALSE;
}
BOOL Succeed() {
  t_lastError = ERROR_SUCCESS;
  return TRUE;
}

DWORD FromErrno(int e) {
  switch (e) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
      return ERROR_SHARING_VIOLATION;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EIO:
    case ENXIO:
    case ENODEV:
      return ERROR_DEVICE_REMOVED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// A device without modem-control ioctls (a pty, and so the links that socat
// makes to remote ports) fails them with ENOTTY or EINVAL.
bool NoModemControl(int e) {
  return e == ENOTTY || e == EINVAL;
}
bool DeviceGone(int e) {
  return e == EIO || e == ENXIO || e == ENODEV;
}

int Ioctl(int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = ::ioctl(fd, request, arg);
  } while (r < 0 && errno == EINTR);
  return r;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until a deadline, for poll(): -1 without one.
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

void WakeHandler(int) {}

// The signal that ends a thread's TIOCMIWAIT, which no descriptor can wake.
// Taken only while nobody else handles it; 0 when it cannot be had, and the
// lines are then sampled instead.
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

}  // namespace

struct Object {
  virtual ~Object() = default;
};

struct Event : Object {
  std::mutex mu;
  std::condition_variable cv;
  bool manual = true;
  bool signalled = false;
  // The port wait attached to this event failed (port closed, device gone):
  // the wait on the event fails instead of being signalled.
  bool failed = false;
  DWORD error = 0;

  void Signal() {
    std::lock_guard lk(mu);
    signalled = true;
    cv.notify_all();
  }
  void FailWait(DWORD code) {
    std::lock_guard lk(mu);
    failed = true;
    error = code;
    cv.notify_all();
  }
  void Reset() {
    std::lock_guard lk(mu);
    signalled = false;
    failed = false;
  }
};

struct Port : Object {
  // How modem-line changes are noticed.
  enum class Lines {
    None,    // the device has no modem-control lines
    Wait,    // a thread blocks in TIOCMIWAIT
    Sample,  // the driver has no TIOCMIWAIT: sampled while a wait is pending
  };

  std::mutex mu;
  std::condition_variable idle;     // uses fell to 0
  std::condition_variable linesCv;  // for the line waiter: mask changed, closing, it ended
  int fd = -1;
  int closeFd = -1;   // written once by CloseHandle, never drained
  int wakeFd = -1;    // wakes the watcher: a wait began, sampling began, device gone
  int rxWakeFd = -1;  // wakes a reader when someone else pulled input
  bool isTty = false;
  DWORD fileType = FILE_TYPE_UNKNOWN;
  bool closed = false;
  int uses = 0;
  int readersWaiting = 0;

  // Settings without a termios home.
  DWORD inQueue = 4096, outQueue = 4096;
  COMMTIMEOUTS timeouts{};
  bool ctsFlow = false, dsrFlow = false, dsrSensitivity = false, txContinueOnXoff = false;
  bool errorCharOn = false, nullStrip = false, abortOnError = false;
  DWORD dtrControl = DTR_CONTROL_ENABLE, rtsControl = RTS_CONTROL_ENABLE;
  WORD xonLim = 2048, xoffLim = 512;
  char errorChar = 0, eofChar = 0, evtChar = 0;
  speed_t baud = 9600;

  std::deque<unsigned char> rx;
  bool gone = false;  // device failed or went away

  DWORD mask = 0;
  DWORD history = 0;  // events seen while no wait was pending
  Lines lines = Lines::None;
  bool haveModem = false;
  int lastModem = 0;
  bool icountOk = false;
  bool haveIcount = false;
  serial_icounter_struct lastIcount{};
  DWORD errors = 0;  // CE_* since the last ClearCommError

  struct Pending {
    std::shared_ptr<Event> event;
    DWORD* maskOut;
    OVERLAPPED* ov;
  };
  std::optional<Pending> pending;

  std::thread watcher;
  std::thread lineWaiter;
  bool lineWaiterDone = false;

  // What CloseHandle puts back.
  bool haveOriginal = false;
  termios2 original{};
  bool restoreLowLatency = false;
  int originalSerialFlags = 0;
  PortLockFile lockFile;

  ~Port() override { CloseFds(); }

  void CloseFds() {
    for (int* f : {&fd, &closeFd, &wakeFd, &rxWakeFd}) {
      if (*f >= 0) ::close(*f);
      *f = -1;
    }
  }

  // An event happened: a pending wait completes with it at once, otherwise
  // the next wait does.
  void Record(DWORD events) {
    events &= mask;
    if (!events) return;
    history |= events;
    if (pending) {
      DWORD all = history;
      history = 0;
      CompleteLocked(all);
    }
  }

  // Moves what the driver holds into the queue; true when bytes came.
  bool PullLocked() {
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

  void SampleModemLocked() {
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

  // The driver's counters: line errors and breaks, and line changes too brief
  // for TIOCMGET to see.
  void SampleCountersLocked() {
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

  // Looks at everything: at the start of a wait, and after a line change.
  void CheckAllLocked() {
    PullLocked();
    SampleModemLocked();
    SampleCountersLocked();
  }

  void CompleteLocked(DWORD events) {
    Pending p = std::move(*pending);
    pending.reset();
    *p.maskOut = events;
    StoreStatus(p.ov, 0, sizeof(DWORD));
    p.event->Signal();
  }

  void FailPendingLocked(DWORD error) {
    Pending p = std::move(*pending);
    pending.reset();
    StoreStatus(p.ov, error, 0);
    p.event->FailWait(error);
  }

  // Fresh baselines so that only what happens from now on is reported.
  void RebaseLocked() {
    history = 0;
    haveModem = false;
    haveIcount = false;
    if (isTty && !gone) {
      CheckAllLocked();
      history = 0;
    }
  }

  bool SamplingLocked() const { return pending && (mask & kModemEvents) && lines == Lines::Sample; }

  // The watcher: while a wait is pending, blocks until the descriptor has
  // input (or fails), the lines are due for a sample, or it is woken.
  void WatchLoop() {
    std::unique_lock lk(mu);
    while (!closed) {
      if (pending) {
        if (PullLocked()) SampleCountersLocked();
        if (SamplingLocked()) SampleModemLocked();
        if (pending && gone) FailPendingLocked(ERROR_DEVICE_REMOVED);
      }
      const bool watchInput = pending && !gone && rx.size() < kRxCapacity;
      const int timeout = SamplingLocked() ? kSamplePeriodMs : -1;
      pollfd fds[3] = {{closeFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
      lk.unlock();
      int r = ::poll(fds, watchInput ? 3 : 2, timeout);
      lk.lock();
      if (r > 0 && (fds[1].revents & POLLIN)) Drain(wakeFd);
      if (r > 0 && watchInput &&
          ((fds[2].revents & (POLLERR | POLLNVAL)) ||
           ((fds[2].revents & POLLHUP) && !(fds[2].revents & POLLIN)))) {
        gone = true;
      }
    }
  }

  // The line waiter: blocks in TIOCMIWAIT while the mask asks for line
  // events.
  void LineWaitLoop(int wakeSignal) {
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

  // Starts what a pending wait needs; false when the watcher cannot run.
  bool StartThreadsLocked() {
    if (!watcher.joinable()) {
      try {
        watcher = std::thread([this] { WatchLoop(); });
      } catch (const std::system_error&) {
        return false;
      }
    }
    if (lines == Lines::Wait && !lineWaiter.joinable() && (mask & kModemEvents)) {
      try {
        const int signal = WakeSignal();
        lineWaiter = std::thread([this, signal] { LineWaitLoop(signal); });
      } catch (const std::system_error&) {
        lines = Lines::Sample;
      }
    }
    return true;
  }

  // Leaves the port as it was found: settings, latency flag, DTR and RTS
  // down, exclusivity off.
  void PutBackLocked() {
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

  // Ends every wait and thread on the port, puts it back and closes it.
  void Shutdown() {
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
};

namespace {

// Keeps a port's descriptors alive for the length of one operation; fails
// once CloseHandle has begun.
class Use {
 public:
  explicit Use(Port& p) : p_(p), lk_(p.mu) {
    ok_ = !p.closed;
    if (ok_) ++p.uses;
  }
  ~Use() {
    if (!lk_.owns_lock()) lk_.lock();
    if (ok_ && --p_.uses == 0) p_.idle.notify_all();
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  bool ok() const { return ok_; }
  std::unique_lock<std::mutex>& lock() { return lk_; }

 private:
  Port& p_;
  std::unique_lock<std::mutex> lk_;
  bool ok_ = false;
};

}  // namespace
}  // namespace posix

using posix::Event;
using posix::Object;
using posix::Port;
using posix::Use;

PosixCommOs::PosixCommOs() = default;

PosixCommOs::~PosixCommOs() {
  std::vector<std::shared_ptr<Port>> ports;
  {
    std::lock_guard lk(registryMutex_);
    for (auto& [id, object] : objects_) {
      if (auto port = std::dynamic_pointer_cast<Port>(object)) ports.push_back(std::move(port));
    }
    objects_.clear();
  }
  for (auto& port : ports) port->Shutdown();
}

void PosixCommOs::SetLockDirectory(std::string directory) {
  std::lock_guard lk(registryMutex_);
  lockDirectory_ = std::move(directory);
}

std::string PosixCommOs::LockDirectory() const {
  std::lock_guard lk(registryMutex_);
  return lockDirectory_;
}

HANDLE PosixCommOs::Register(std::shared_ptr<Object> object) {
  std::lock_guard lk(registryMutex_);
  std::uintptr_t id = nextId_;
  nextId_ += 4;
  objects_.emplace(id, std::move(object));
  return reinterpret_cast<HANDLE>(id);
}

std::shared_ptr<Object> PosixCommOs::Find(HANDLE handle) {
  std::lock_guard lk(registryMutex_);
  auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == objects_.end() ? nullptr : it->second;
}

std::shared_ptr<Port> PosixCommOs::FindPort(HANDLE handle) {
  auto p = std::dynamic_pointer_cast<Port>(Find(handle));
  if (!p) posix::Fail(ERROR_INVALID_HANDLE);
  return p;
}

std::shared_ptr<Event> PosixCommOs::FindEvent(HANDLE handle) {
  auto e = std::dynamic_pointer_cast<Event>(Find(handle));
  if (!e) posix::Fail(ERROR_INVALID_HANDLE);
  return e;
}

DWORD PosixCommOs::GetLastError() {
  return posix::t_lastError;
}

HANDLE PosixCommOs::CreateFileA(const char* name, DWORD, DWORD, DWORD, DWORD) {
  using namespace posix;
  if (!name || !*name) {
    Fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Another program's lock keeps this one away from the device altogether:
  // even opening a port raises its DTR.
  PortLockFile lock;
  struct stat pre {};
  if (::stat(name, &pre) == 0 && S_ISCHR(pre.st_mode) &&
      lock.Acquire(name, LockDirectory()) == PortLockFile::Result::Busy) {
    Fail(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int fd;
  do {
    fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail(FromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  auto port = std::make_shared<Port>();
  port->fd = fd;
  port->lockFile = std::move(lock);
  // flock also keeps out a second open by root, which TIOCEXCL does not.
  if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
    Fail(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : FromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  auto refuse = [&](DWORD code) {
    Fail(code);
    port->PutBackLocked();  // nobody else can see the port yet
    return INVALID_HANDLE_VALUE;
  };
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    if (S_ISREG(st.st_mode))
      port->fileType = FILE_TYPE_DISK;
    else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
      port->fileType = FILE_TYPE_PIPE;
  }
  termios2 t{};
  if (S_ISCHR(st.st_mode) && GetTermios(fd, t)) {
    port->isTty = true;
    port->fileType = FILE_TYPE_CHAR;
    port->original = t;
    port->haveOriginal = true;
    Ioctl(fd, TIOCEXCL, nullptr);
    MakeRaw(t);
    if (!SetTermios(fd, t)) return refuse(FromErrno(errno));
    // Each open starts with an empty input queue, as on Windows: what waited
    // in the driver before would never be announced as new input.
    ::tcflush(fd, TCIFLUSH);
    if (GetTermios(fd, t) && t.c_ospeed > 0) port->baud = t.c_ospeed;
    serial_struct ss{};
    if (Ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
      port->originalSerialFlags = ss.flags;
      ss.flags |= ASYNC_LOW_LATENCY;
      // A driver that refuses keeps its latency.
      port->restoreLowLatency = Ioctl(fd, TIOCSSERIAL, &ss) == 0;
    }
    int bits = 0;
    if (Ioctl(fd, TIOCMGET, &bits) == 0) {
      port->lines = WakeSignal() ? Port::Lines::Wait : Port::Lines::Sample;
    }
    serial_icounter_struct counters{};
    port->icountOk = Ioctl(fd, TIOCGICOUNT, &counters) == 0;
  }
  port->closeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  port->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  port->rxWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (port->closeFd < 0 || port->wakeFd < 0 || port->rxWakeFd < 0) {
    return refuse(FromErrno(errno));
  }
  HANDLE h = Register(port);
  Succeed();
  return h;
}

DWORD PosixCommOs::GetFileType(HANDLE file) {
  auto p = FindPort(file);
  if (!p) return FILE_TYPE_UNKNOWN;
  posix::Succeed();
  return p->fileType;
}

// The comm calls work on terminals only, as Windows' work on comm devices only.
#define KSIDU_TTY_OP(port, handle)                                    \
  auto port = FindPort(handle);                                       \
  if (!port) return FALSE;                                            \
  if (!port->isTty) return posix::Fail(posix::kErrorInvalidFunction); \
  Use use(*port);                                                     \
  if (!use.ok()) return posix::Fail(ERROR_INVALID_HANDLE)

BOOL PosixCommOs::SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  KSIDU_TTY_OP(p, file);
  p->inQueue = inQueue;
  p->outQueue = outQueue;
  return posix::Succeed();
}

BOOL PosixCommOs::GetCommState(HANDLE file, DCB* dcb) {
  using namespace posix;
  if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
  KSIDU_TTY_OP(p, file);
  termios2 t{};
  if (!GetTermios(p->fd, t)) return Fail(FromErrno(errno));
  DCB d{};
  d.DCBlength = sizeof(DCB);
  d.fBinary = 1;
  DcbFromLine(t, d);
  d.fOutxDsrFlow = p->dsrFlow;
  d.fDtrControl = p->dtrControl;
  d.fDsrSensitivity = p->dsrSensitivity;
  d.fTXContinueOnXoff = p->txContinueOnXoff;
  d.fErrorChar = p->errorCharOn;
  d.fNull = p->nullStrip;
  d.fRtsControl = p->rtsControl;
  d.fAbortOnError = p->abortOnError;
  d.XonLim = p->xonLim;
  d.XoffLim = p->xoffLim;
  d.ErrorChar = p->errorChar;
  d.EofChar = p->eofChar;
  d.EvtChar = p->evtChar;
  *dcb = d;
  return Succeed();
}

BOOL PosixCommOs::SetCommState(HANDLE file, DCB* dcb) {
  using namespace posix;
  if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
  KSIDU_TTY_OP(p, file);
  const DCB& d = *dcb;
  termios2 old{};
  if (!GetTermios(p->fd, old)) return Fail(FromErrno(errno));
  termios2 t = old;
  // Refuse what no UART takes, as the Windows driver does, before touching
  // the line.
  if (!LineFromDcb(d, t)) return Fail(ERROR_INVALID_PARAMETER);
  termios2 got{};
  if (!SetTermios(p->fd, t) || !GetTermios(p->fd, got) || !SameLine(t, got)) {
    SetTermios(p->fd, old);
    return Fail(ERROR_INVALID_PARAMETER);
  }
  p->baud = got.c_ospeed;
  p->ctsFlow = d.fOutxCtsFlow;
  p->dsrFlow = d.fOutxDsrFlow;
  p->dsrSensitivity = d.fDsrSensitivity;
  p->txContinueOnXoff = d.fTXContinueOnXoff;
  p->errorCharOn = d.fErrorChar;
  p->nullStrip = d.fNull;
  p->abortOnError = d.fAbortOnError;
  p->dtrControl = d.fDtrControl;
  p->rtsControl = d.fRtsControl;
  p->xonLim = d.XonLim;
  p->xoffLim = d.XoffLim;
  p->errorChar = d.ErrorChar;
  p->eofChar = d.EofChar;
  p->evtChar = d.EvtChar;
  // As on Windows, the control modes drive the lines; a device without
  // modem control (a pty) simply has none to drive.
  if (d.fDtrControl != DTR_CONTROL_HANDSHAKE)
    SetModemBit(p->fd, TIOCM_DTR, d.fDtrControl == DTR_CONTROL_ENABLE);
  if (d.fRtsControl == RTS_CONTROL_ENABLE || d.fRtsControl == RTS_CONTROL_DISABLE)
    SetModemBit(p->fd, TIOCM_RTS, d.fRtsControl == RTS_CONTROL_ENABLE);
  return Succeed();
}

BOOL PosixCommOs::SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  if (!timeouts) return posix::Fail(ERROR_INVALID_PARAMETER);
  KSIDU_TTY_OP(p, file);
  p->timeouts = *timeouts;
  return posix::Succeed();
}

BOOL PosixCommOs::WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
                            OVERLAPPED* overlapped) {
  using namespace posix;
  if (written) *written = 0;
  if (!buffer && count) return Fail(ERROR_INVALID_PARAMETER);
  KSIDU_TTY_OP(p, file);
  auto& lk = use.lock();
  const COMMTIMEOUTS to = p->timeouts;
  const speed_t baud = std::max<speed_t>(p->baud, 1);
  std::uint64_t total =
      std::uint64_t{to.WriteTotalTimeoutMultiplier} * count + to.WriteTotalTimeoutConstant;
  std::optional<Clock::time_point> deadline;
  if (total) deadline = Clock::now() + std::chrono::milliseconds(total);
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  DWORD sent = 0;
  DWORD error = 0;
  bool timedOut = false;
  lk.unlock();
  // Chunks, so that a CTS or DSR drop holds back the rest as a UART would.
  constexpr DWORD kChunk = 256;
  while (sent < count && !error) {
    if (Passed(deadline)) {
      timedOut = true;
      break;
    }
    int wait = -1;  // -1: write now
    short events = 0;
    {
      std::lock_guard g(p->mu);
      if (p->closed) {
        error = ERROR_OPERATION_ABORTED;
        break;
      }
      // CTS is the kernel's where it enforces CRTSCTS, but not every driver
      // does (ptys, some USB adapters): hold output here as for DSR.
      int bits = 0;
      if ((p->ctsFlow || p->dsrFlow) && Ioctl(p->fd, TIOCMGET, &bits) == 0 &&
          ((p->ctsFlow && !(bits & TIOCM_CTS)) || (p->dsrFlow && !(bits & TIOCM_DSR)))) {
        wait = kSamplePeriodMs;  // no wake-up for a line change: sample it
      }
    }
    if (wait < 0) {
      ssize_t n = ::write(p->fd, bytes + sent, std::min(kChunk, count - sent));
      if (n > 0) {
        sent += static_cast<DWORD>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        error = FromErrno(errno);
        break;
      }
      events = POLLOUT;
    }
    pollfd fds[2] = {{p->closeFd, POLLIN, 0}, {p->fd, events, 0}};
    ::poll(fds, events ? 2 : 1, MinTimeout(events ? -1 : wait, MsLeft(deadline)));
  }
  // Complete only when the driver has sent everything.
  int outq = 0;
  while (!error && !timedOut) {
    if (Ioctl(p->fd, TIOCOUTQ, &outq) < 0 || outq <= 0) {
      outq = 0;
      break;
    }
    if (Passed(deadline)) {
      timedOut = true;
      break;
    }
    // About the time the queue takes to go out at 10 bits a byte.
    long est = static_cast<long>(outq) * 10000L / static_cast<long>(baud);
    int nap = static_cast<int>(std::clamp(est, 1L, 20L));
    pollfd fds[1] = {{p->closeFd, POLLIN, 0}};
    if (::poll(fds, 1, MinTimeout(nap, MsLeft(deadline))) > 0) {
      error = ERROR_OPERATION_ABORTED;
    }
  }
  if (timedOut) {
    // What has not gone out by the time-out must not go out later.
    if (Ioctl(p->fd, TIOCOUTQ, &outq) < 0) outq = 0;
    ::tcflush(p->fd, TCOFLUSH);
    sent -= std::min<DWORD>(sent, static_cast<DWORD>(std::max(outq, 0)));
  }
  lk.lock();
  if (!error && !timedOut && count > 0) p->Record(EV_TXEMPTY);
  if (written) *written = sent;
  StoreStatus(overlapped, error, sent);
  if (overlapped && !error) {
    if (auto ev = std::dynamic_pointer_cast<Event>(Find(overlapped->hEvent))) ev->Signal();
  }
  if (error) return Fail(error);
  return Succeed();
}

BOOL PosixCommOs::ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read,
                           OVERLAPPED* overlapped) {
  using namespace posix;
  if (read) *read = 0;
  if (!buffer && count) return Fail(ERROR_INVALID_PARAMETER);
  KSIDU_TTY_OP(p, file);
  auto& lk = use.lock();
  const COMMTIMEOUTS to = p->timeouts;
  const bool intervalMax = to.ReadIntervalTimeout == MAXDWORD;
  // MAXDWORD/0/0: return at once with what is there.
  const bool immediate =
      intervalMax && to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant == 0;
  // MAXDWORD/MAXDWORD/c: return as soon as anything is there, else after c.
  const bool anyByte = intervalMax && to.ReadTotalTimeoutMultiplier == MAXDWORD &&
                       to.ReadTotalTimeoutConstant > 0 && to.ReadTotalTimeoutConstant < MAXDWORD;
  std::uint64_t total =
      anyByte ? to.ReadTotalTimeoutConstant
              : std::uint64_t{to.ReadTotalTimeoutMultiplier} * count + to.ReadTotalTimeoutConstant;
  std::optional<Clock::time_point> deadline;
  if (total) deadline = Clock::now() + std::chrono::milliseconds(total);
  const DWORD interval = (!intervalMax && to.ReadIntervalTimeout) ? to.ReadIntervalTimeout : 0;
  std::optional<Clock::time_point> gapDeadline;
  auto* out = static_cast<unsigned char*>(buffer);
  DWORD got = 0;
  DWORD error = 0;
  for (;;) {
    p->PullLocked();
    DWORD take = static_cast<DWORD>(std::min<std::size_t>(count - got, p->rx.size()));
    if (take) {
      std::copy_n(p->rx.begin(), take, out + got);
      p->rx.erase(p->rx.begin(), p->rx.begin() + take);
      got += take;
      if (interval) gapDeadline = Clock::now() + std::chrono::milliseconds(interval);
    }
    // With the usual MAXDWORD/0/ReadTimeout a short read waits for the rest
    // up to the time-out, as the Windows driver does.
    if (got == count || immediate || (anyByte && got > 0)) break;
    if (p->gone) {
      error = ERROR_DEVICE_REMOVED;
      break;
    }
    if (p->closed) {
      error = ERROR_OPERATION_ABORTED;
      break;
    }
    if (Passed(deadline) || Passed(gapDeadline)) break;
    pollfd fds[3] = {{p->fd, POLLIN, 0}, {p->closeFd, POLLIN, 0}, {p->rxWakeFd, POLLIN, 0}};
    ++p->readersWaiting;
    lk.unlock();
    int r = ::poll(fds, 3, MinTimeout(MsLeft(deadline), MsLeft(gapDeadline)));
    lk.lock();
    --p->readersWaiting;
    if (r > 0 && (fds[2].revents & POLLIN)) Drain(p->rxWakeFd);
    if (r > 0 && ((fds[0].revents & (POLLERR | POLLNVAL)) ||
                  ((fds[0].revents & POLLHUP) && !(fds[0].revents & POLLIN)))) {
      p->gone = true;
    }
  }
  if (read) *read = got;
  StoreStatus(overlapped, error, got);
  if (overlapped && !error) {
    if (auto ev = std::dynamic_pointer_cast<Event>(Find(overlapped->hEvent))) ev->Signal();
  }
  if (error) return Fail(error);
  return Succeed();
}

BOOL PosixCommOs::GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                                      BOOL wait) {
  using namespace posix;
  if (!overlapped) return Fail(ERROR_INVALID_PARAMETER);
  if (!Find(file)) return Fail(ERROR_INVALID_HANDLE);
  if (std::atomic_ref<ULONG_PTR>(overlapped->Internal).load() == kStatusPending) {
    auto ev = FindEvent(overlapped->hEvent);
    if (!ev) return FALSE;
    DWORD r = WaitEvent(*ev, wait ? INFINITE : 0);
    if (r == WAIT_TIMEOUT) return Fail(ERROR_IO_INCOMPLETE);
    if (r == WAIT_FAILED &&
        std::atomic_ref<ULONG_PTR>(overlapped->Internal).load() == kStatusPending)
      return FALSE;
  }
  auto status = static_cast<DWORD>(std::atomic_ref<ULONG_PTR>(overlapped->Internal).load());
  if (transferred)
    *transferred = static_cast<DWORD>(std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).load());
  if (status) return Fail(status);
  return Succeed();
}

BOOL PosixCommOs::ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  using namespace posix;
  KSIDU_TTY_OP(p, file);
  p->PullLocked();
  p->SampleCountersLocked();
  if (errors) *errors = p->errors;
  p->errors = 0;
  if (stat) {
    COMSTAT s{};
    int n = 0;
    std::size_t inQue = p->rx.size();
    if (Ioctl(p->fd, FIONREAD, &n) == 0 && n > 0) inQue += static_cast<std::size_t>(n);
    s.cbInQue = static_cast<DWORD>(inQue);
    n = 0;
    if (Ioctl(p->fd, TIOCOUTQ, &n) == 0 && n > 0) s.cbOutQue = static_cast<DWORD>(n);
    termios2 t{};
    int bits = 0;
    bool cts = GetTermios(p->fd, t) && (t.c_cflag & CRTSCTS);
    // A port without modem lines holds nothing back.
    if ((cts || p->dsrFlow) && Ioctl(p->fd, TIOCMGET, &bits) == 0) {
      s.fCtsHold = cts && !(bits & TIOCM_CTS);
      s.fDsrHold = p->dsrFlow && !(bits & TIOCM_DSR);
    }
    *stat = s;
  }
  return Succeed();
}

BOOL PosixCommOs::PurgeComm(HANDLE file, DWORD flags) {
  using namespace posix;
  if (flags & ~DWORD{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR})
    return Fail(ERROR_INVALID_PARAMETER);
  KSIDU_TTY_OP(p, file);
  // Reads and writes complete within their own call here, so the abort flags
  // have nothing pending to end; a pending event wait is not theirs to end.
  if (flags & PURGE_RXCLEAR) {
    p->rx.clear();
    if (::tcflush(p->fd, TCIFLUSH) < 0) return Fail(FromErrno(errno));
  }
  if (flags & PURGE_TXCLEAR) {
    if (::tcflush(p->fd, TCOFLUSH) < 0) return Fail(FromErrno(errno));
  }
  return Succeed();
}

BOOL PosixCommOs::GetCommModemStatus(HANDLE file, DWORD* modemStatus) {
  using namespace posix;
  if (!modemStatus) return Fail(ERROR_INVALID_PARAMETER);
  KSIDU_TTY_OP(p, file);
  int bits = 0;
  if (Ioctl(p->fd, TIOCMGET, &bits) < 0) {
    if (!NoModemControl(errno)) return Fail(FromErrno(errno));
    // Nothing to read: as a cable that ties the lines up, so that a station
    // (or its simulator) behind a pty or a network link can be used.
    *modemStatus = kNoModemLinesStatus;
    return Succeed();
  }
  *modemStatus = ModemStatusFromBits(bits);
  return Succeed();
}

BOOL PosixCommOs::EscapeCommFunction(HANDLE file, DWORD function) {
  using namespace posix;
  KSIDU_TTY_OP(p, file);
  int r = 0;
  int bit = 0;
  bool line = false;
  switch (function) {
    case SETDTR:
      bit = TIOCM_DTR;
      line = true;
      r = Ioctl(p->fd, TIOCMBIS, &bit);
      break;
    case CLRDTR:
      bit = TIOCM_DTR;
      line = true;
      r = Ioctl(p->fd, TIOCMBIC, &bit);
      break;
    case SETRTS:
      bit = TIOCM_RTS;
      line = true;
      r = Ioctl(p->fd, TIOCMBIS, &bit);
      break;
    case CLRRTS:
      bit = TIOCM_RTS;
      line = true;
      r = Ioctl(p->fd, TIOCMBIC, &bit);
      break;
    case SETBREAK:
      r = Ioctl(p->fd, TIOCSBRK, nullptr);
      break;
    case CLRBREAK:
      r = Ioctl(p->fd, TIOCCBRK, nullptr);
      break;
    // As if XOFF or XON had been received: output stops or resumes.
    case SETXOFF:
      r = ::tcflow(p->fd, TCOOFF);
      break;
    case SETXON:
      r = ::tcflow(p->fd, TCOON);
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  // A port without modem-control lines has no DTR or RTS to drive.
  if (r < 0 && !(line && NoModemControl(errno))) return Fail(FromErrno(errno));
  return Succeed();
}

BOOL PosixCommOs::SetCommMask(HANDLE file, DWORD mask) {
  using namespace posix;
  if (mask & ~kAllEvents) return Fail(ERROR_INVALID_PARAMETER);
  KSIDU_TTY_OP(p, file);
  p->mask = mask;
  // A pending wait ends at once with an empty mask, as on Windows.
  if (p->pending) p->CompleteLocked(0);
  p->RebaseLocked();
  p->linesCv.notify_all();
  return Succeed();
}

BOOL PosixCommOs::WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped) {
  using namespace posix;
  if (!mask) return Fail(ERROR_INVALID_PARAMETER);
  std::shared_ptr<Event> ev;
  if (overlapped) {
    ev = FindEvent(overlapped->hEvent);
    if (!ev) return Fail(ERROR_INVALID_PARAMETER);
  } else {
    ev = std::make_shared<Event>();  // private event for a blocking wait
  }
  {
    KSIDU_TTY_OP(p, file);
    if (p->pending) return Fail(ERROR_INVALID_PARAMETER);
    ev->Reset();  // an overlapped operation starts with its event reset
    if (!p->mask) return Fail(ERROR_INVALID_PARAMETER);
    p->CheckAllLocked();
    if (p->history) {
      *mask = std::exchange(p->history, 0);
      StoreStatus(overlapped, 0, sizeof(DWORD));
      ev->Signal();
      return Succeed();
    }
    if (p->gone) return Fail(ERROR_DEVICE_REMOVED);
    if (!p->StartThreadsLocked()) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    p->pending = Port::Pending{ev, mask, overlapped};
    StoreStatus(overlapped, kStatusPending, 0);
    Kick(p->wakeFd);  // the watcher starts watching the descriptor
  }
  if (overlapped) return Fail(ERROR_IO_PENDING);
  if (WaitEvent(*ev, INFINITE) != WAIT_OBJECT_0) return FALSE;
  return Succeed();
}

HANDLE PosixCommOs::CreateEventA(BOOL manualReset, BOOL initialState) {
  auto ev = std::make_shared<Event>();
  ev->manual = manualReset != FALSE;
  ev->signalled = initialState != FALSE;
  HANDLE h = Register(ev);
  posix::Succeed();
  return h;
}

DWORD PosixCommOs::WaitEvent(Event& ev, DWORD milliseconds) {
  using namespace posix;
  std::unique_lock lk(ev.mu);
  auto ready = [&] { return ev.signalled || ev.failed; };
  if (milliseconds == INFINITE) {
    ev.cv.wait(lk, ready);
  } else if (!ev.cv.wait_for(lk, std::chrono::milliseconds(milliseconds), ready)) {
    Succeed();
    return WAIT_TIMEOUT;
  }
  if (ev.signalled) {
    if (!ev.manual) ev.signalled = false;
    Succeed();
    return WAIT_OBJECT_0;
  }
  ev.failed = false;
  Fail(ev.error);
  return WAIT_FAILED;
}

DWORD PosixCommOs::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  auto ev = FindEvent(object);
  if (!ev) return WAIT_FAILED;
  return WaitEvent(*ev, milliseconds);
}

BOOL PosixCommOs::ResetEvent(HANDLE event) {
  auto ev = FindEvent(event);
  if (!ev) return FALSE;
  ev->Reset();
  return posix::Succeed();
}

BOOL PosixCommOs::CloseHandle(HANDLE object) {
  using namespace posix;
  std::shared_ptr<Object> obj;
  {
    std::lock_guard lk(registryMutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(object));
    if (it == objects_.end()) return Fail(ERROR_INVALID_HANDLE);
    obj = std::move(it->second);
    objects_.erase(it);
  }
  if (auto port = std::dynamic_pointer_cast<Port>(obj)) port->Shutdown();
  return Succeed();
}

CommOs& SystemCommOs() {
  static PosixCommOs* const instance = new PosixCommOs;
  return *instance;
}

}  // namespace comm

#endif
