// Windows serial-communications calls rebuilt over termios and ioctl: the
// calls themselves. The port they work on, its queue and waits are in
// PosixPort.cpp, the modem-line watch in PosixLineWatch.cpp, the mapping of
// line settings in PosixLine.cpp.

#ifndef _WIN32

#include "CommPosix.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "PosixLine.h"
#include "PosixPort.h"
#include "PosixPortLock.h"
#include "Termios2.h"

namespace comm {

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
  return posix::LastError();
}

OsError PosixCommOs::GetLastOsError() {
  return posix::LastOsError();
}

HANDLE PosixCommOs::CreateFileA(const char* name, DWORD, DWORD, DWORD, DWORD) {
  using namespace posix;
  if (!name || !*name) {
    Fail(ERROR_PATH_NOT_FOUND, ENOENT);
    return INVALID_HANDLE_VALUE;
  }
  // Another program's lock keeps this one away from the device altogether:
  // even opening a port raises its DTR.
  PortLockFile lock;
  struct stat pre {};
  const std::string lockDir = LockDirectory();
  if (::stat(name, &pre) == 0 && S_ISCHR(pre.st_mode) &&
      lock.Acquire(name, lockDir) == PortLockFile::Result::Busy) {
    // Busy as the kernel says of a tty held exclusively.
    FailInUse(ERROR_ACCESS_DENIED, EBUSY, name,
              PortLockFile::ReadOwner(lockDir + "/" + PortLockFile::LockName(name)));
    return INVALID_HANDLE_VALUE;
  }
  int fd;
  do {
    fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int e = errno;
    if (e == EBUSY) {
      FailInUse(FromErrno(e), e, name, 0);  // another program made it exclusive
    } else {
      FailErrno(e);
    }
    return INVALID_HANDLE_VALUE;
  }
  auto port = std::make_shared<Port>();
  port->fd = fd;
  port->lockFile = std::move(lock);
  // flock also keeps out a second open by root, which TIOCEXCL does not.
  if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
    const int e = errno;
    port.reset();  // closed first, so that the search for the holder cannot find this process
    if (e == EWOULDBLOCK) {
      FailInUse(ERROR_SHARING_VIOLATION, e, name, 0);
    } else {
      FailErrno(e);
    }
    return INVALID_HANDLE_VALUE;
  }
  auto refuse = [&](int e) {
    FailErrno(e);
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
  if (S_ISCHR(st.st_mode) && !GetTermios(fd, t)) port->notTty = errno;
  if (port->notTty == 0 && S_ISCHR(st.st_mode)) {
    port->isTty = true;
    port->fileType = FILE_TYPE_CHAR;
    port->original = t;
    port->haveOriginal = true;
    Ioctl(fd, TIOCEXCL, nullptr);
    MakeRaw(t);
    if (!SetTermios(fd, t)) return refuse(errno);
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
    // The lines as they are at the open; where the driver reports changes,
    // this status is kept from here on and read again once per change.
    if (port->ReadModemLocked() == 0) {
      port->lines = WakeSignal() ? Port::Lines::Wait : Port::Lines::Sample;
    }
    serial_icounter_struct counters{};
    port->icountOk = Ioctl(fd, TIOCGICOUNT, &counters) == 0;
  } else if (port->notTty == 0) {
    port->notTty = ENOTTY;  // what the terminal calls would say of it
  }
  // All at the open, so that an open port always holds the same descriptors.
  for (int* f : {&port->closeFd, &port->wakeFd, &port->rxWakeFd, &port->waitKickFd}) {
    *f = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (*f < 0) return refuse(errno);
  }
  port->timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (port->timerFd < 0) return refuse(errno);
  HANDLE h = Register(port);
  Succeed();
  return h;
}

DWORD PosixCommOs::GetFileType(HANDLE file) {
  auto p = FindPort(file);
  if (!p) return FILE_TYPE_UNKNOWN;
  // The call succeeds; beside it, why a handle is no comm device.
  posix::NoteError(ERROR_SUCCESS, p->notTty);
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
  if (!GetTermios(p->fd, t)) return FailErrno(errno);
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
  if (!GetTermios(p->fd, old)) return FailErrno(errno);
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
  int native = 0;
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
      if (p->ctsFlow || p->dsrFlow) {
        const std::optional<int> bits = p->ModemBitsLocked();
        if (bits && ((p->ctsFlow && !(*bits & TIOCM_CTS)) || (p->dsrFlow && !(*bits & TIOCM_DSR))))
          wait = kSamplePeriodMs;  // no wake-up for a line change: look again then
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
        native = errno;
        error = FromErrno(native);
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
  if (error) return Fail(error, native);
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
    bool cts = GetTermios(p->fd, t) && (t.c_cflag & CRTSCTS);
    // A port without modem lines holds nothing back.
    if (cts || p->dsrFlow) {
      if (const std::optional<int> bits = p->ModemBitsLocked()) {
        s.fCtsHold = cts && !(*bits & TIOCM_CTS);
        s.fDsrHold = p->dsrFlow && !(*bits & TIOCM_DSR);
      }
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
    if (::tcflush(p->fd, TCIFLUSH) < 0) return FailErrno(errno);
  }
  if (flags & PURGE_TXCLEAR) {
    if (::tcflush(p->fd, TCOFLUSH) < 0) return FailErrno(errno);
  }
  return Succeed();
}

BOOL PosixCommOs::GetCommModemStatus(HANDLE file, DWORD* modemStatus) {
  using namespace posix;
  if (!modemStatus) return Fail(ERROR_INVALID_PARAMETER);
  KSIDU_TTY_OP(p, file);
  // The line waiter keeps the status current. Where there is none (the lines
  // are sampled only while a wait is pending), it is not yet known to work,
  // or the device is gone, the driver is asked.
  if (p->lines != Port::Lines::None && !p->StatusKeptLocked()) {
    const int e = p->ReadModemLocked();
    if (e != 0 && !NoModemControl(e)) return FailErrno(e);
  }
  // A port without lines reads as a cable that ties them up, so that a
  // station (or its simulator) behind a pty or a network link can be used.
  *modemStatus =
      p->lines == Port::Lines::None ? kNoModemLinesStatus : ModemStatusFromBits(p->modemBits);
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
  if (r < 0 && !(line && NoModemControl(errno))) return FailErrno(errno);
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
    ev->Attach(p);
    StoreStatus(overlapped, kStatusPending, 0);
    p->ArmHandOverLocked();
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
  // The event of a pending WaitCommEvent: this thread watches the port
  // itself until the wait ends (or the time is up).
  if (std::shared_ptr<Port> port = ev.AttachedPort()) port->WaitAsWaiter(ev, deadline);
  std::unique_lock lk(ev.mu);
  auto ready = [&] { return ev.signalled || ev.failed; };
  if (!deadline) {
    ev.cv.wait(lk, ready);
  } else if (!ev.cv.wait_until(lk, *deadline, ready)) {
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
