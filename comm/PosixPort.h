// What the POSIX layer keeps of an open port and of an event, shared by its
// files: the calls (CommPosix.cpp), the port's input queue and event waits
// (PosixPort.cpp) and the modem-line watch (PosixLineWatch.cpp). Internal to
// the layer.
//
// Received bytes are moved from the descriptor into a queue of the port as
// soon as anyone looks (a wait, a read, ClearCommError). That gives the
// event wait its edge: bytes already pulled were already reported, so the
// descriptor falls quiet and poll() blocks until something new arrives, and
// the event character can be recognised without consuming input.
#pragma once

#ifndef _WIN32

#include <linux/serial.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "CommOs.h"
#include "PosixPortLock.h"
#include "Termios2.h"
#include "WinDefs.h"

namespace comm::posix {

constexpr DWORD kErrorInvalidFunction = 1;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr std::size_t kRxCapacity = 64 * 1024;
// Period for sampling modem lines on a driver without TIOCMIWAIT, and DSR
// during a write that DSR holds back.
constexpr int kSamplePeriodMs = 15;
constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kAllEvents = 0x01FF;

using Clock = std::chrono::steady_clock;

// ---- Errors of the calling thread (PosixError.cpp) -------------------------------

void NoteError(DWORD code, int native);
BOOL Fail(DWORD code, int native = 0);
// The Windows code of an errno, with the errno beside it.
BOOL FailErrno(int e);
BOOL Succeed();
DWORD LastError();
const OsError& LastOsError();
// A port in use: the error, and who holds the device at path: the lock
// file's owner when known, else the process with a flock() on it, else one
// that has it open.
void FailInUse(DWORD code, int native, const char* path, long lockOwner);
DWORD FromErrno(int e);

// A device without modem-control ioctls (a pty, and so the links that socat
// makes to remote ports) fails them with ENOTTY or EINVAL.
bool NoModemControl(int e);
bool DeviceGone(int e);

// ---- Small helpers ------------------------------------------------------------------

int Ioctl(int fd, unsigned long request, void* arg);
// Milliseconds left until a deadline, for poll(): -1 without one.
int MsLeft(const std::optional<Clock::time_point>& deadline);
bool Passed(const std::optional<Clock::time_point>& deadline);
int MinTimeout(int a, int b);
void Kick(int efd);
void Drain(int efd);
void StoreStatus(OVERLAPPED* ov, ULONG_PTR status, ULONG_PTR count);
bool GetTermios(int fd, termios2& t);
bool SetTermios(int fd, const termios2& t);
void SetModemBit(int fd, int bit, bool on);

// The signal that ends a thread's TIOCMIWAIT, which no descriptor can wake.
// Taken only while nobody else handles it; 0 when it cannot be had, and the
// lines are then sampled instead.
int WakeSignal();

// ---- Objects behind handles ---------------------------------------------------------

struct Object {
  virtual ~Object() = default;
};

struct Port;

struct Event : Object {
  std::mutex mu;
  std::condition_variable cv;
  bool manual = true;
  bool signalled = false;
  // The port wait attached to this event failed (port closed, device gone):
  // the wait on the event fails instead of being signalled.
  bool failed = false;
  DWORD error = 0;
  // The port whose pending WaitCommEvent this event stands for: a thread
  // that waits on the event watches that port itself.
  std::weak_ptr<Port> port;

  void Signal();
  void FailWait(DWORD code);
  void Reset();
  void Attach(const std::shared_ptr<Port>& waitingPort);
  std::shared_ptr<Port> AttachedPort();
};

struct Port : Object {
  // How modem-line changes are noticed.
  enum class Lines {
    None,    // the device has no modem-control lines
    Wait,    // a thread blocks in TIOCMIWAIT from the first event wait on
    Sample,  // the driver has no TIOCMIWAIT: sampled while a wait is pending
  };

  std::mutex mu;
  std::condition_variable idle;     // uses fell to 0
  std::condition_variable linesCv;  // the line waiter ended
  int fd = -1;
  int closeFd = -1;     // written once by CloseHandle, never drained
  int wakeFd = -1;      // wakes the watcher: a wait was handed over, or taken back
  int rxWakeFd = -1;    // wakes a reader when someone else pulled input
  int waitKickFd = -1;  // wakes the threads blocked on the pending wait: it ended
  int timerFd = -1;     // hands a wait nobody blocks on to the watcher
  bool isTty = false;
  int notTty = 0;  // why the handle is no terminal: the errno of that check
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
  // The modem status as last read (TIOCM_* bits). A USB adapter's driver
  // asks the device for every TIOCMGET, about a millisecond each, so the
  // status is kept here and read again only when it may have changed.
  Lines lines = Lines::None;
  bool haveModem = false;
  int modemBits = 0;
  Clock::time_point modemAt{};
  // TIOCMIWAIT is only known to work once it has blocked (an unsupported one
  // fails at once) or reported a change.
  bool lineWaiting = false;
  Clock::time_point lineWaitSince{};
  bool lineWaitWorks = false;
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
  // Who watches the pending wait: the threads blocked on its event, each in
  // its own poll(); else, once handed over, the watcher thread.
  int blockedWaiters = 0;
  bool selfWatching = false;  // a blocked waiter is looking at the port right now
  bool handedOver = false;
  bool watcherWatching = false;

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
  void CloseFds();

  // ---- The input queue and the event wait (PosixPort.cpp); all with mu held.

  // An event happened: a pending wait completes with it at once, otherwise
  // the next wait does.
  void Record(DWORD events);
  // Moves what the driver holds into the queue; true when bytes came.
  bool PullLocked();
  // Looks at everything: at the start of a wait.
  void CheckAllLocked();
  void CompleteLocked(DWORD events);
  void FailPendingLocked(DWORD error);
  // Fresh baselines so that only what happens from now on is reported.
  void RebaseLocked();
  // What a watcher of the pending wait does when it wakes: pulls input,
  // samples lines that are due, fails the wait on a device that is gone.
  void WatchPassLocked();
  // A new wait went pending: nobody blocks on it yet. Unless someone does
  // within a few milliseconds, the watcher takes it over.
  void ArmHandOverLocked();
  // Starts what a pending wait needs, at the first one: the watcher thread,
  // and the line waiter where the driver may report changes (the status is
  // not taken as kept before that); false when the watcher cannot run.
  bool StartThreadsLocked();
  // The thread that waits on the pending wait's event, until the wait ends,
  // the port closes or the deadline passes: it polls the port itself, so a
  // reply wakes this one thread only.
  void WaitAsWaiter(Event& ev, const std::optional<Clock::time_point>& deadline);
  // The watcher: serves a pending wait that nobody is blocked on.
  void WatchLoop();
  // Leaves the port as it was found: settings, latency flag, DTR and RTS
  // down, exclusivity off.
  void PutBackLocked();
  // Ends every wait and thread on the port, puts it back and closes it.
  void Shutdown();

  // ---- The modem lines and the driver's counters (PosixLineWatch.cpp).

  // Reads the lines (TIOCMGET) and reports what changed; the errno when the
  // driver refused (a device without modem control then counts as having
  // no lines, a gone one as gone).
  int ReadModemLocked();
  // Whether the kept status is current without asking the driver: a line
  // waiter is there and its TIOCMIWAIT works.
  bool StatusKeptLocked();
  // The status as kept, read again where nothing keeps it current and it is
  // older than a sampling period; none without lines.
  std::optional<int> ModemBitsLocked();
  // The driver's counters: line errors and breaks, and line changes too brief
  // for TIOCMGET to see.
  void SampleCountersLocked();
  bool SamplingLocked() const;
  // Milliseconds until the lines are due for a sample; -1 when not sampled.
  int SampleDueMsLocked() const;
  // Where the driver has TIOCMIWAIT: the thread that keeps the status;
  // false when it cannot run (the lines are then sampled).
  bool StartLineWaiterLocked();
  void LineWaitLoop(int wakeSignal);
};

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

}  // namespace comm::posix

#endif
