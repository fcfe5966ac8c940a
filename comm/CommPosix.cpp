// Windows serial-communications calls rebuilt over termios and ioctl.
//
// Received bytes are moved from the descriptor into a queue of the port as
// soon as anyone looks (a wait, a read, ClearCommError). That gives the
// event wait its edge: bytes already pulled were already reported, so the
// descriptor falls quiet and poll() blocks until something new arrives, and
// the event character can be recognised without consuming input.
//
// Overlapped operations complete synchronously except WaitCommEvent. A
// pending WaitCommEvent is attached to the OVERLAPPED's event; the thread
// that then waits on that event does the waiting on the port (poll on the
// descriptor and the port's wake-up descriptors), completes it and signals
// the event.

#ifndef _WIN32

#include "CommPosix.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
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

#include "Termios2.h"

namespace comm {
namespace posix {

namespace {

constexpr tcflag_t kBother = 0010000;      // BOTHER: speed given in c_ospeed
constexpr tcflag_t kCbaud = 0010017;       // CBAUD
constexpr tcflag_t kCibaud = 002003600000; // CIBAUD
constexpr DWORD kErrorInvalidFunction = 1;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr std::size_t kRxCapacity = 64 * 1024;
// Period for sampling what the kernel gives no wake-up for (modem lines,
// error counters).
constexpr int kSamplePeriodMs = 15;
constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kCounterEvents = EV_BREAK | EV_ERR;
constexpr DWORD kAllEvents = 0x01FF;

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
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EIO:
    case ENXIO:
    case ENODEV: return ERROR_DEVICE_REMOVED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    default: return ERROR_GEN_FAILURE;
  }
}

// Modem-control ioctls that a device does not have (a pty) fail with
// ENOTTY or EINVAL; both mean "not supported" here.
DWORD FromModemErrno(int e) {
  return (e == ENOTTY || e == EINVAL) ? ERROR_NOT_SUPPORTED : FromErrno(e);
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

}  // namespace

struct Object {
  virtual ~Object() = default;
};

struct Port;

struct Event : Object {
  std::mutex mu;
  std::condition_variable cv;
  bool manual = true;
  bool signalled = false;
  // A WaitCommEvent attached to this event, done by whoever waits on it.
  std::weak_ptr<Port> commWait;
  bool driving = false;
  bool commFailed = false;
  DWORD commError = 0;

  void Signal() {
    std::lock_guard lk(mu);
    signalled = true;
    commWait.reset();
    cv.notify_all();
  }
};

struct Port : Object {
  std::mutex mu;
  std::condition_variable idle;
  int fd = -1;
  int closeFd = -1;     // written once by CloseHandle, never drained
  int waitWakeFd = -1;  // wakes the thread doing a pending event wait
  int rxWakeFd = -1;    // wakes a reader when someone else pulled input
  bool isTty = false;
  DWORD fileType = FILE_TYPE_UNKNOWN;
  bool closed = false;
  int uses = 0;
  bool driverActive = false;
  int readersWaiting = 0;

  // Settings without a termios home.
  DWORD inQueue = 4096, outQueue = 4096;
  COMMTIMEOUTS timeouts{};
  bool dsrFlow = false, dsrSensitivity = false, txContinueOnXoff = false;
  bool errorCharOn = false, nullStrip = false, abortOnError = false;
  DWORD dtrControl = DTR_CONTROL_ENABLE, rtsControl = RTS_CONTROL_ENABLE;
  WORD xonLim = 2048, xoffLim = 512;
  char errorChar = 0, eofChar = 0, evtChar = 0;
  speed_t baud = 9600;

  std::deque<unsigned char> rx;
  bool gone = false;  // device failed or went away

  DWORD mask = 0;
  DWORD history = 0;  // events seen and not yet reported
  bool modemPollable = true;
  bool haveModem = false;
  int lastModem = 0;
  bool icountPollable = true;
  bool haveIcount = false;
  serial_icounter_struct lastIcount{};
  DWORD errors = 0;  // CE_* since the last ClearCommError

  struct Pending {
    std::shared_ptr<Event> event;
    DWORD* maskOut;
    OVERLAPPED* ov;
  };
  std::optional<Pending> pending;

  ~Port() override { CloseFds(); }

  void CloseFds() {
    for (int* f : {&fd, &closeFd, &waitWakeFd, &rxWakeFd}) {
      if (*f >= 0) ::close(*f);
      *f = -1;
    }
  }

  void Record(DWORD events) {
    events &= mask;
    if (!events) return;
    history |= events;
    if (driverActive) Kick(waitWakeFd);
  }

  // Moves what the driver holds into the queue.
  void PullLocked() {
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
      if (n < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV || errno == EBADF))
        gone = true;
      break;
    }
    if (any) {
      Record(EV_RXCHAR | (flag ? EV_RXFLAG : 0));
      if (readersWaiting > 0) Kick(rxWakeFd);
    }
  }

  void SampleModemLocked() {
    if (!(mask & kModemEvents) || !modemPollable) return;
    int bits = 0;
    if (Ioctl(fd, TIOCMGET, &bits) < 0) {
      if (errno == EIO || errno == ENXIO || errno == ENODEV) gone = true;
      modemPollable = false;
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

  void SampleCountersLocked() {
    if (!icountPollable) return;
    serial_icounter_struct now{};
    if (Ioctl(fd, TIOCGICOUNT, &now) < 0) {
      icountPollable = false;
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
      Record(ev);
    }
    lastIcount = now;
    haveIcount = true;
  }

  void CheckLocked() {
    PullLocked();
    SampleModemLocked();
    if (mask & kCounterEvents) SampleCountersLocked();
  }

  bool NeedsSamplingLocked() const {
    return ((mask & kModemEvents) && modemPollable) ||
           ((mask & kCounterEvents) && icountPollable);
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
    std::lock_guard lk(p.event->mu);
    p.event->commFailed = true;
    p.event->commError = error;
    p.event->commWait.reset();
    p.event->cv.notify_all();
  }

  // Fresh baselines so that only what happens from now on is reported.
  void RebaseLocked() {
    history = 0;
    modemPollable = true;
    icountPollable = true;
    haveModem = false;
    haveIcount = false;
    if (isTty && !gone) {
      PullLocked();
      history = 0;
      SampleModemLocked();
      SampleCountersLocked();
      history = 0;
    }
  }

  // Waits for the pending event wait of `event` until it completes, fails or
  // the deadline passes.
  // Returns false when no wait of `event` was pending.
  bool DriveWait(Event& event, std::optional<Clock::time_point> deadline) {
    std::unique_lock lk(mu);
    if (closed || !pending || pending->event.get() != &event) return false;
    ++uses;
    driverActive = true;
    while (!closed && pending && pending->event.get() == &event) {
      CheckLocked();
      if (history) {
        DWORD ev = history;
        history = 0;
        CompleteLocked(ev);
        break;
      }
      if (gone) {
        FailPendingLocked(ERROR_DEVICE_REMOVED);
        break;
      }
      if (Passed(deadline)) break;
      int timeout = MinTimeout(NeedsSamplingLocked() ? kSamplePeriodMs : -1, MsLeft(deadline));
      pollfd fds[3] = {{closeFd, POLLIN, 0},
                       {waitWakeFd, POLLIN, 0},
                       {fd, static_cast<short>(rx.size() < kRxCapacity ? POLLIN : 0), 0}};
      lk.unlock();
      int r = ::poll(fds, 3, timeout);
      lk.lock();
      if (r > 0 && (fds[1].revents & POLLIN)) Drain(waitWakeFd);
      if (r > 0 && ((fds[2].revents & (POLLERR | POLLNVAL)) ||
                    ((fds[2].revents & POLLHUP) && !(fds[2].revents & POLLIN)))) {
        gone = true;
      }
    }
    driverActive = false;
    if (--uses == 0) idle.notify_all();
    return true;
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

struct BaudCode {
  speed_t rate;
  tcflag_t code;
};
constexpr BaudCode kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

bool GetTermios(int fd, termios2& t) { return Ioctl(fd, TCGETS2, &t) == 0; }
bool SetTermios(int fd, const termios2& t) {
  return Ioctl(fd, TCSETS2, const_cast<termios2*>(&t)) == 0;
}

void SetSpeed(termios2& t, speed_t rate) {
  tcflag_t code = kBother;
  for (const auto& b : kBauds)
    if (b.rate == rate) code = b.code;
  t.c_cflag &= ~(kCbaud | kCibaud);
  t.c_cflag |= code;
  t.c_ispeed = t.c_ospeed = rate;
}

// Raw 8-bit line that neither hangs up on a carrier drop nor drops DTR on
// close.
void MakeRaw(termios2& t) {
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                 IXANY | INPCK | IUCLC | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | HUPCL);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

bool SameLine(const termios2& want, const termios2& got) {
  constexpr tcflag_t cmask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  constexpr tcflag_t imask = IXON | IXOFF | INPCK;
  if ((want.c_cflag & cmask) != (got.c_cflag & cmask)) return false;
  if ((want.c_iflag & imask) != (got.c_iflag & imask)) return false;
  if (want.c_cc[VSTART] != got.c_cc[VSTART] || want.c_cc[VSTOP] != got.c_cc[VSTOP]) return false;
  // A UART that rounds the rate is fine within the usual 3 percent.
  double w = want.c_ospeed, g = got.c_ospeed;
  return g > 0 && g >= w * 0.97 && g <= w * 1.03;
}

void SetModemBit(int fd, int bit, bool on) {
  int b = bit;
  Ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &b);
}

}  // namespace
}  // namespace posix

using posix::Event;
using posix::Object;
using posix::Port;
using posix::Use;

PosixCommOs::PosixCommOs() = default;
PosixCommOs::~PosixCommOs() = default;

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

DWORD PosixCommOs::GetLastError() { return posix::t_lastError; }

HANDLE PosixCommOs::CreateFileA(const char* name, DWORD, DWORD, DWORD, DWORD) {
  using namespace posix;
  if (!name || !*name) {
    Fail(ERROR_PATH_NOT_FOUND);
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
  // flock also keeps out a second open by root, which TIOCEXCL does not.
  if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
    Fail(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : FromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    if (S_ISREG(st.st_mode)) port->fileType = FILE_TYPE_DISK;
    else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) port->fileType = FILE_TYPE_PIPE;
  }
  termios2 t{};
  if (S_ISCHR(st.st_mode) && GetTermios(fd, t)) {
    port->isTty = true;
    port->fileType = FILE_TYPE_CHAR;
    Ioctl(fd, TIOCEXCL, nullptr);
    MakeRaw(t);
    if (!SetTermios(fd, t)) {
      Fail(FromErrno(errno));
      Ioctl(fd, TIOCNXCL, nullptr);
      return INVALID_HANDLE_VALUE;
    }
    if (GetTermios(fd, t) && t.c_ospeed > 0) port->baud = t.c_ospeed;
    port->xonLim = 2048;
    port->xoffLim = 512;
    serial_struct ss{};
    if (Ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
      ss.flags |= ASYNC_LOW_LATENCY;
      Ioctl(fd, TIOCSSERIAL, &ss);  // a driver that refuses keeps its latency
    }
  }
  port->closeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  port->waitWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  port->rxWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (port->closeFd < 0 || port->waitWakeFd < 0 || port->rxWakeFd < 0) {
    Fail(FromErrno(errno));
    if (port->isTty) Ioctl(fd, TIOCNXCL, nullptr);
    return INVALID_HANDLE_VALUE;
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
#define KSIDU_TTY_OP(port, handle)                                      \
  auto port = FindPort(handle);                                         \
  if (!port) return FALSE;                                              \
  if (!port->isTty) return posix::Fail(posix::kErrorInvalidFunction);   \
  Use use(*port);                                                       \
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
  d.BaudRate = t.c_ospeed;
  d.fBinary = 1;
  d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
  d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
  d.fOutxDsrFlow = p->dsrFlow;
  d.fDtrControl = p->dtrControl;
  d.fDsrSensitivity = p->dsrSensitivity;
  d.fTXContinueOnXoff = p->txContinueOnXoff;
  d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
  d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
  d.fErrorChar = p->errorCharOn;
  d.fNull = p->nullStrip;
  d.fRtsControl = p->rtsControl;
  d.fAbortOnError = p->abortOnError;
  d.XonLim = p->xonLim;
  d.XoffLim = p->xoffLim;
  switch (t.c_cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
  }
  if (!(t.c_cflag & PARENB)) d.Parity = NOPARITY;
  else if (t.c_cflag & CMSPAR) d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  if (!(t.c_cflag & CSTOPB)) d.StopBits = ONESTOPBIT;
  else d.StopBits = d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  d.XonChar = static_cast<char>(t.c_cc[VSTART]);
  d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
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
  // Refuse what no UART takes, as the Windows driver does, before touching
  // the line.
  if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY ||
      d.StopBits > TWOSTOPBITS || (d.StopBits == ONE5STOPBITS && d.ByteSize != 5) ||
      ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar))
    return Fail(ERROR_INVALID_PARAMETER);
  termios2 old{};
  if (!GetTermios(p->fd, old)) return Fail(FromErrno(errno));
  termios2 t = old;
  SetSpeed(t, d.BaudRate);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[d.ByteSize - 5];
  switch (d.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (d.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | INPCK);
  if (d.fOutX) t.c_iflag |= IXON;
  if (d.fInX) t.c_iflag |= IXOFF;
  if (d.fParity) t.c_iflag |= INPCK;
  t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
  termios2 got{};
  if (!SetTermios(p->fd, t) || !GetTermios(p->fd, got) || !SameLine(t, got)) {
    SetTermios(p->fd, old);
    return Fail(ERROR_INVALID_PARAMETER);
  }
  p->baud = got.c_ospeed;
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
  std::uint64_t total = std::uint64_t{to.WriteTotalTimeoutMultiplier} * count +
                        to.WriteTotalTimeoutConstant;
  std::optional<Clock::time_point> deadline;
  if (total) deadline = Clock::now() + std::chrono::milliseconds(total);
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  DWORD sent = 0;
  DWORD error = 0;
  bool timedOut = false;
  lk.unlock();
  // Chunks, so that a DSR drop holds back the rest as a UART would.
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
      int bits = 0;
      if (p->dsrFlow && Ioctl(p->fd, TIOCMGET, &bits) == 0 && !(bits & TIOCM_DSR)) {
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
  const bool immediate = intervalMax && to.ReadTotalTimeoutMultiplier == 0 &&
                         to.ReadTotalTimeoutConstant == 0;
  // MAXDWORD/MAXDWORD/c: return as soon as anything is there, else after c.
  const bool anyByte = intervalMax && to.ReadTotalTimeoutMultiplier == MAXDWORD &&
                       to.ReadTotalTimeoutConstant > 0 &&
                       to.ReadTotalTimeoutConstant < MAXDWORD;
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
    if (r == WAIT_FAILED && std::atomic_ref<ULONG_PTR>(overlapped->Internal).load() ==
                                kStatusPending)
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
  if (Ioctl(p->fd, TIOCMGET, &bits) < 0) return Fail(FromModemErrno(errno));
  DWORD s = 0;
  if (bits & TIOCM_CTS) s |= MS_CTS_ON;
  if (bits & TIOCM_DSR) s |= MS_DSR_ON;
  if (bits & TIOCM_RNG) s |= MS_RING_ON;
  if (bits & TIOCM_CAR) s |= MS_RLSD_ON;
  *modemStatus = s;
  return Succeed();
}

BOOL PosixCommOs::EscapeCommFunction(HANDLE file, DWORD function) {
  using namespace posix;
  KSIDU_TTY_OP(p, file);
  int r = 0;
  int bit = 0;
  switch (function) {
    case SETDTR: bit = TIOCM_DTR; r = Ioctl(p->fd, TIOCMBIS, &bit); break;
    case CLRDTR: bit = TIOCM_DTR; r = Ioctl(p->fd, TIOCMBIC, &bit); break;
    case SETRTS: bit = TIOCM_RTS; r = Ioctl(p->fd, TIOCMBIS, &bit); break;
    case CLRRTS: bit = TIOCM_RTS; r = Ioctl(p->fd, TIOCMBIC, &bit); break;
    case SETBREAK: r = Ioctl(p->fd, TIOCSBRK, nullptr); break;
    case CLRBREAK: r = Ioctl(p->fd, TIOCCBRK, nullptr); break;
    // As if XOFF or XON had been received: output stops or resumes.
    case SETXOFF: r = ::tcflow(p->fd, TCOOFF); break;
    case SETXON: r = ::tcflow(p->fd, TCOON); break;
    default: return Fail(ERROR_INVALID_PARAMETER);
  }
  if (r < 0) return Fail(FromModemErrno(errno));
  return Succeed();
}

BOOL PosixCommOs::SetCommMask(HANDLE file, DWORD mask) {
  using namespace posix;
  if (mask & ~kAllEvents) return Fail(ERROR_INVALID_PARAMETER);
  KSIDU_TTY_OP(p, file);
  p->mask = mask;
  // A pending wait ends at once with an empty mask, as on Windows.
  if (p->pending) p->CompleteLocked(0);
  if (p->driverActive) Kick(p->waitWakeFd);
  p->RebaseLocked();
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
    {
      std::lock_guard g(ev->mu);
      ev->signalled = false;  // an overlapped operation starts with its event reset
      ev->commFailed = false;
    }
    if (!p->mask) return Fail(ERROR_INVALID_PARAMETER);
    p->CheckLocked();
    if (p->history) {
      DWORD events = p->history;
      p->history = 0;
      *mask = events;
      StoreStatus(overlapped, 0, sizeof(DWORD));
      ev->Signal();
      return Succeed();
    }
    if (p->gone) return Fail(ERROR_DEVICE_REMOVED);
    p->pending = Port::Pending{ev, mask, overlapped};
    StoreStatus(overlapped, kStatusPending, 0);
    std::lock_guard g(ev->mu);
    ev->commWait = p;
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
  std::optional<Clock::time_point> deadline;
  if (milliseconds != INFINITE) deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock lk(ev.mu);
  for (;;) {
    if (ev.signalled) {
      if (!ev.manual) ev.signalled = false;
      Succeed();
      return WAIT_OBJECT_0;
    }
    if (ev.commFailed) {
      ev.commFailed = false;
      Fail(ev.commError);
      return WAIT_FAILED;
    }
    auto port = ev.commWait.lock();
    if (port && !ev.driving) {
      // This thread does the attached port wait (one look for a zero wait).
      ev.driving = true;
      lk.unlock();
      bool attached = port->DriveWait(ev, milliseconds == 0 ? Clock::now() : deadline);
      lk.lock();
      ev.driving = false;
      ev.cv.notify_all();
      if (!attached) ev.commWait.reset();
      if (ev.signalled || ev.commFailed) continue;
    } else if (!port) {
      ev.commWait.reset();
    }
    if (milliseconds == 0 || Passed(deadline)) {
      Succeed();
      return WAIT_TIMEOUT;
    }
    if (port && !ev.driving) continue;
    if (deadline) ev.cv.wait_until(lk, *deadline);
    else ev.cv.wait(lk);
  }
}

DWORD PosixCommOs::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  auto ev = FindEvent(object);
  if (!ev) return WAIT_FAILED;
  return WaitEvent(*ev, milliseconds);
}

BOOL PosixCommOs::ResetEvent(HANDLE event) {
  auto ev = FindEvent(event);
  if (!ev) return FALSE;
  std::lock_guard lk(ev->mu);
  ev->signalled = false;
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
  if (auto port = std::dynamic_pointer_cast<Port>(obj)) {
    std::unique_lock lk(port->mu);
    port->closed = true;
    if (port->pending) port->FailPendingLocked(ERROR_OPERATION_ABORTED);
    Kick(port->closeFd);
    // Nobody may be inside poll() on the descriptors when they are closed.
    port->idle.wait(lk, [&] { return port->uses == 0; });
    if (port->isTty) Ioctl(port->fd, TIOCNXCL, nullptr);
    port->CloseFds();
  }
  return Succeed();
}

CommOs& SystemCommOs() {
  static PosixCommOs* const instance = new PosixCommOs;
  return *instance;
}

}  // namespace comm

#endif
