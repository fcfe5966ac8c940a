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

struct Event : Object {
  std::mutex mu;
  std::condition_variable cv;
  bool manual = true;
  bool signalled = false;
  // The port wait attached to this event failed (port closed, device gone):
  // the wait on the event fails instead of being signalled.
  bool failed = false;
  DWORD error = 0;

  void Signal();
  void FailWait(DWORD code);
  void Reset();
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
  void CloseFds();

  // ---- The input queue and the event wait (PosixPort.cpp); all with mu held.

  // An event happened: a pending wait completes with it at once, otherwise
  // the next wait does.
  void Record(DWORD events);
  // Moves what the driver holds into the queue; true when bytes came.
  bool PullLocked();
  // Looks at everything: at the start of a wait, and after a line change.
  void CheckAllLocked();
  void CompleteLocked(DWORD events);
  void FailPendingLocked(DWORD error);
  // Fresh baselines so that only what happens from now on is reported.
  void RebaseLocked();
  // Starts what a pending wait needs; false when the watcher cannot run.
  bool StartThreadsLocked();
  // The watcher: while a wait is pending, blocks until the descriptor has
  // input (or fails), the lines are due for a sample, or it is woken.
  void WatchLoop();
  // Leaves the port as it was found: settings, latency flag, DTR and RTS
  // down, exclusivity off.
  void PutBackLocked();
  // Ends every wait and thread on the port, puts it back and closes it.
  void Shutdown();

  // ---- The modem lines and the driver's counters (PosixLineWatch.cpp).

  void SampleModemLocked();
  // The driver's counters: line errors and breaks, and line changes too brief
  // for TIOCMGET to see.
  void SampleCountersLocked();
  bool SamplingLocked() const;
  // The line waiter: blocks in TIOCMIWAIT while the mask asks for line
  // events.
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
