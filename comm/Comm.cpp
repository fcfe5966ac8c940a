#include "Comm.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <utility>

namespace comm {

namespace {

constexpr std::array<DWORD, 9> kEventCodes = {
    EV_BREAK, EV_CTS, EV_DSR, EV_ERR, EV_RING, EV_RLSD, EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY,
};
constexpr std::array<DWORD, 15> kBaudRates = {
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000,
};
// Index order none, even, odd, mark, space; Windows numbers odd before even.
constexpr std::array<BYTE, 5> kParities = {0, 2, 1, 3, 4};
constexpr std::array<BYTE, 3> kStopBits = {0, 1, 2};
constexpr std::array<BYTE, 5> kByteSizes = {4, 5, 6, 7, 8};

constexpr DWORD kAllEvents = 0x01FF;
constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// A value outside its table leaves the driver's field as it was rather than
// reading past the table.
template <class T, std::size_t N>
bool FromTable(const std::array<T, N>& table, std::int8_t index, T& out) {
  if (index < 0 || static_cast<std::size_t>(index) >= N) return false;
  out = table[static_cast<std::size_t>(index)];
  return true;
}

std::atomic<int> liveEventThreads{0};

// Releases the component's lock also when an exception passes.
class SectionGuard {
 public:
  explicit SectionGuard(TThreadComm& comm) : comm_(comm) { comm_.Lock(); }
  ~SectionGuard() { comm_.Unlock(); }
  SectionGuard(const SectionGuard&) = delete;
  SectionGuard& operator=(const SectionGuard&) = delete;

 private:
  TThreadComm& comm_;
};

}  // namespace

DWORD CommEventCode(TCommEvent event) { return kEventCodes.at(static_cast<std::size_t>(event)); }

DWORD CommEventMask(TCommEvents events) {
  DWORD mask = 0;
  for (int i = 0; i < 9; ++i) {
    if (events.Contains(static_cast<TCommEvent>(i))) mask |= kEventCodes[static_cast<std::size_t>(i)];
  }
  return mask;
}

void ReportCommError(const std::string& reason, std::int32_t code) {
  ApplicationMessageBox(reason + "(Error: " + std::to_string(code) + ")", "Serial Port Error.", 0);
}

// ---- TCommEventChars -----------------------------------------------------------

TCommEventChars::TCommEventChars(TThreadComm* owner) : OwnerComm(owner) {}

void TCommEventChars::Assign(const TPersistent* source) {
  if (const auto* other = dynamic_cast<const TCommEventChars*>(source)) {
    std::copy(std::begin(other->chars_), std::end(other->chars_), std::begin(chars_));
    return;
  }
  TPersistent::Assign(source);
}

void TCommEventChars::SetChar(int index, char value) {
  if (index < 1 || index > 5) return;
  chars_[index - 1] = value;
  Changed();
}

char TCommEventChars::GetChar(int index) const {
  return index >= 1 && index <= 5 ? chars_[index - 1] : 0;
}

void TCommEventChars::Changed() {
  if (OwnerComm != nullptr) OwnerComm->ApplySettings();
}

// ---- TCommEventThread ------------------------------------------------------------

TCommEventThread::TCommEventThread(CommOs& os, HANDLE portHandle, TCommEvents events,
                                   std::shared_ptr<TCommEventLink> link)
    : TThread(true), PortHandle(portHandle), os_(os), link_(std::move(link)) {
  FreeOnTerminate = true;
  ++liveEventThreads;
  os_.SetCommMask(PortHandle, CommEventMask(events));
}

TCommEventThread::~TCommEventThread() { --liveEventThreads; }

int TCommEventThread::LiveCount() { return liveEventThreads.load(); }

void TCommEventThread::DeliverEvent() {
  // A copy: the handler may close the port, which clears EventHook while the
  // call is still running.
  TCommEventHook hook = EventHook;
  if (hook) hook(this, EventMask);
}

void TCommEventThread::PauseAfterFailure(int failures) {
  // A wait that fails at once (a removed adapter) must not spin a core: back
  // off, doubling up to a fifth of a second, and wake at once on a stop.
  if (failures < 2) return;
  const int shift = std::min(failures - 2, 8);
  const auto pause = std::chrono::milliseconds(std::min(1 << shift, 200));
  std::unique_lock lock(link_->mutex);
  link_->changed.wait_for(lock, pause, [&] { return link_->stopRequested; });
}

void TCommEventThread::Execute() {
  OVERLAPPED overlapped{};
  overlapped.hEvent = os_.CreateEventA(TRUE, FALSE);
  // The event goes with the thread, also when a handler's exception ends it.
  struct EventCloser {
    CommOs& os;
    HANDLE event;
    ~EventCloser() { os.CloseHandle(event); }
  } closer{os_, overlapped.hEvent};

  int failures = 0;
  while (!Terminated()) {
    bool succeeded = os_.WaitCommEvent(PortHandle, &EventMask, &overlapped) != FALSE;
    if (!succeeded && os_.GetLastError() == ERROR_IO_PENDING) {
      succeeded = os_.WaitForSingleObject(overlapped.hEvent, INFINITE) == WAIT_OBJECT_0;
      // The event only says the wait ended; its result says how. A removed
      // device ends every wait at once with an error.
      DWORD unused = 0;
      if (succeeded)
        succeeded = os_.GetOverlappedResult(PortHandle, &overlapped, &unused, FALSE) != FALSE;
    }
    if (succeeded && EventMask == 0) {
      std::lock_guard lock(link_->mutex);
      if (link_->stopRequested) break;
      // A mask of 0 that Close did not ask for reports nothing: a failed wait.
      succeeded = false;
    }
    if (!succeeded) {
      if (const OsError error = os_.GetLastOsError(); error.code != ERROR_SUCCESS) {
        std::lock_guard lock(link_->mutex);
        // A wait that Close ends is no failure of the port.
        if (link_->stopRequested) break;
        if (link_->waitError.code == ERROR_SUCCESS) link_->waitError = error;
      }
      os_.ResetEvent(overlapped.hEvent);
      PauseAfterFailure(++failures);
      continue;
    }
    failures = 0;
    {
      std::lock_guard lock(link_->mutex);
      // A wait ended by Close is not handed over.
      if (link_->stopRequested) break;
      link_->phase = TCommEventLink::Phase::Delivering;
    }
    Synchronize([this] { DeliverEvent(); });
    {
      std::lock_guard lock(link_->mutex);
      link_->phase = TCommEventLink::Phase::Running;
      if (link_->abandoned) return;  // the port is closed: do not touch it
    }
    link_->changed.notify_all();
    os_.ResetEvent(overlapped.hEvent);
  }
  {
    std::lock_guard lock(link_->mutex);
    if (link_->abandoned) return;  // Close has given up on this thread: the port is not ours
  }
  os_.PurgeComm(PortHandle, kPurgeAll);
}

void TCommEventThread::DoTerminate() {
  {
    std::lock_guard lock(link_->mutex);
    link_->phase = TCommEventLink::Phase::Stopped;
  }
  link_->changed.notify_all();
}

// ---- TThreadComm -------------------------------------------------------------------

TThreadComm::TThreadComm(TComponent* owner, CommOs& os) : TComponent(owner), os_(os) {
  WriteOverlapped.hEvent = os_.CreateEventA(TRUE, FALSE);
  ReadOverlapped.hEvent = os_.CreateEventA(TRUE, FALSE);
  EventChars = new TCommEventChars(this);
  Section = new TCriticalSection();
}

TThreadComm::~TThreadComm() {
  Close();
  delete EventChars;
  delete Section;
  os_.CloseHandle(WriteOverlapped.hEvent);
  os_.CloseHandle(ReadOverlapped.hEvent);
}

void TThreadComm::Open(std::optional<HANDLE> handle) {
  std::string reason;
  std::int32_t code = 0;
  bool report = false;
  {
    SectionGuard guard(*this);
    if (Opened) {
      reason = "Port already assigned (open).";
      code = -1;
      report = true;
    } else {
      opening_ = true;
      openFailed_ = false;
      lastOpenError_ = OsError{};
      ioError_ = OsError{};
      waitError_ = OsError{};
      if (handle) {
        PortHandle = *handle;
        Opened = true;
      } else {
        OpenHandle();
      }
      if (Opened) {
        if (!handle) ApplySettings();
        ApplyTimeouts();
        if (!os_.SetupComm(PortHandle, InQueueSize, OutQueueSize)) {
          NoteOpenFailure();
          code = static_cast<std::int32_t>(os_.GetLastError());
          reason = "Error initializing Read/Write Buffers.";
          report = true;
        }
        auto link = std::make_shared<TCommEventLink>();
        TCommEventThread* thread = nullptr;
        try {
          thread = new TCommEventThread(os_, PortHandle, Events, link);
          thread->EventHook = BindMethod(this, &TThreadComm::DispatchEvents);
          thread->Resume();
          EventThread = thread;
          eventLink_ = std::move(link);
        } catch (const std::exception&) {
          delete thread;
          EventThread = nullptr;
          ReleaseHandle();
          if (!openFailed_) {
            openFailed_ = true;
            lastOpenError_ = OsError{ERROR_NOT_ENOUGH_MEMORY, 0, 0, {}};
          }
        }
      }
      opening_ = false;
    }
  }
  if (report) ReportCommError(reason, code);
}

void TThreadComm::NoteOpenFailure() {
  if (!opening_ || openFailed_) return;
  openFailed_ = true;
  lastOpenError_ = os_.GetLastOsError();
}

void TThreadComm::NoteIoFailure() {
  if (ioError_.code != ERROR_SUCCESS) return;
  const OsError error = os_.GetLastOsError();
  // A transfer that ran into its time-out says nothing about the device:
  // Wine, and some drivers, end such a read or write with a time-out code.
  constexpr DWORD kErrorSemTimeout = 121;
  if (error.code == ERROR_TIMEOUT || error.code == ERROR_COUNTER_TIMEOUT ||
      error.code == kErrorSemTimeout)
    return;
  ioError_ = error;
}

OsError TThreadComm::LastIoError() const {
  if (ioError_.code != ERROR_SUCCESS) return ioError_;
  if (eventLink_) {
    std::lock_guard lock(eventLink_->mutex);
    return eventLink_->waitError;
  }
  return waitError_;
}

void TThreadComm::OpenHandle() {
  PortHandle = os_.CreateFileA(PortName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
  if (PortHandle == INVALID_HANDLE_VALUE) {
    NoteOpenFailure();
    Opened = false;
    return;
  }
  Opened = true;
  if (os_.GetFileType(PortHandle) != FILE_TYPE_CHAR) {
    // No call failed: the handle is no comm device, which the comm calls
    // would answer with ERROR_INVALID_FUNCTION. The layer may say why beside
    // it (the POSIX one: the errno of its terminal check).
    NoteOpenFailure();
    if (lastOpenError_.code == ERROR_SUCCESS) lastOpenError_.code = kErrorInvalidFunction;
    ReleaseHandle();
  } else {
    os_.SetCommMask(PortHandle, kAllEvents);
  }
}

void TThreadComm::ReleaseHandle() {
  os_.CloseHandle(PortHandle);
  Opened = false;
  PortHandle = INVALID_HANDLE_VALUE;
}

void TThreadComm::Close() {
  if (!Opened) return;
  SectionGuard guard(*this);
  StopEventThread();
  ReleaseHandle();
}

void TThreadComm::StopEventThread() {
  TCommEventThread* thread = std::exchange(EventThread, nullptr);
  std::shared_ptr<TCommEventLink> link = std::move(eventLink_);
  eventLink_.reset();
  if (!link) return;
  auto& queue = TMainThreadQueue::Instance();
  std::unique_lock lock(link->mutex);
  waitError_ = link->waitError;
  // While the thread has not stopped, it cannot free itself: it needs this
  // lock to say so.
  if (link->phase != TCommEventLink::Phase::Stopped) {
    thread->EventHook = nullptr;
    thread->Terminate();
  }
  link->stopRequested = true;
  link->changed.notify_all();
  const auto deadline = std::chrono::steady_clock::now() + TThreadComm::kEventThreadStopBound;
  while (link->phase != TCommEventLink::Phase::Stopped) {
    if (std::chrono::steady_clock::now() >= deadline) {
      // A driver that ignores the mask change keeps the wait going: leave the
      // thread to end by itself, and never let it touch the port again.
      link->abandoned = true;
      return;
    }
    if (link->phase == TCommEventLink::Phase::Delivering) {
      if (queue.Cancel(thread)) {
        // Its hand-off was still queued: the thread goes on and stops.
      } else if (queue.IsRunning(thread)) {
        // Closed from inside the thread's own delivery, which cannot finish
        // before this returns: the thread will find the port gone.
        link->abandoned = true;
        return;
      }
    } else {
      // A changed mask ends a pending wait with mask 0. Repeated, because the
      // thread may be just about to start its next wait.
      lock.unlock();
      os_.SetCommMask(PortHandle, 0);
      lock.lock();
      if (link->phase == TCommEventLink::Phase::Stopped) break;
    }
    link->changed.wait_for(lock, std::chrono::milliseconds(20));
  }
}

std::int32_t TThreadComm::Write(const void* buffer, std::int32_t count) {
  if (!Opened) return -1;
  SectionGuard guard(*this);
  DWORD transferred = 0;
  std::int32_t result = 0;
  if (os_.WriteFile(PortHandle, buffer, static_cast<DWORD>(count), &transferred,
                    &WriteOverlapped)) {
    result = static_cast<std::int32_t>(transferred);
  } else if (os_.GetLastError() == ERROR_IO_PENDING) {
    // Waiting on the record's event gives the same result as asking again and
    // again, without burning a core until the write time-out.
    BOOL done;
    do {
      transferred = 0;
      done = os_.GetOverlappedResult(PortHandle, &WriteOverlapped, &transferred, TRUE);
    } while (!done && os_.GetLastError() == ERROR_IO_INCOMPLETE);
    if (!done) {
      NoteIoFailure();
      DWORD errors = 0;
      COMSTAT stat{};
      os_.ClearCommError(PortHandle, &errors, &stat);
    }
    result = static_cast<std::int32_t>(transferred);
  } else {
    NoteIoFailure();
    DWORD errors = 0;
    COMSTAT stat{};
    os_.ClearCommError(PortHandle, &errors, &stat);
  }
  return result;
}

std::int32_t TThreadComm::Read(void* buffer, std::int32_t count) {
  if (!Opened) return -1;
  SectionGuard guard(*this);
  std::int32_t result = 0;
  DWORD errors = 0;
  COMSTAT stat{};
  os_.ClearCommError(PortHandle, &errors, &stat);
  if (count == 0) return 0;
  DWORD transferred = 0;
  if (os_.ReadFile(PortHandle, buffer, static_cast<DWORD>(count), &transferred,
                   &ReadOverlapped)) {
    result = static_cast<std::int32_t>(transferred);
  } else if (os_.GetLastError() == ERROR_IO_PENDING) {
    BOOL done;
    do {
      transferred = 0;
      done = os_.GetOverlappedResult(PortHandle, &ReadOverlapped, &transferred, TRUE);
    } while (!done && os_.GetLastError() == ERROR_IO_INCOMPLETE);
    if (!done) {
      NoteIoFailure();
      os_.ClearCommError(PortHandle, &errors, &stat);
    }
    result = static_cast<std::int32_t>(transferred);
  } else {
    NoteIoFailure();
    os_.ClearCommError(PortHandle, &errors, &stat);
  }
  return result;
}

void TThreadComm::PurgeBuffers() {
  if (Opened) os_.PurgeComm(PortHandle, kPurgeInput);
}

void TThreadComm::SetPort(const std::string& name) {
  if (!Opened && name != PortName) PortName = name;
}

void TThreadComm::SetIndex(std::int8_t& field, std::int8_t value) {
  if (field == value) return;
  field = value;
  SectionGuard guard(*this);
  ApplySettings();
}

void TThreadComm::SetBaudRate(std::int8_t index) { SetIndex(BaudRate, index); }
void TThreadComm::SetParity(std::int8_t index) { SetIndex(Parity, index); }
void TThreadComm::SetStopBits(std::int8_t index) { SetIndex(StopBits, index); }
void TThreadComm::SetByteSize(std::int8_t index) { SetIndex(ByteSize, index); }
void TThreadComm::SetFlowControl(std::int8_t mode) { SetIndex(FlowControl, mode); }

void TThreadComm::ApplySettings() {
  if (!Opened) return;
  if (!os_.SetupComm(PortHandle, InQueueSize, OutQueueSize)) NoteOpenFailure();
  if (!os_.GetCommState(PortHandle, &DataControlBlock)) NoteOpenFailure();
  DCB& dcb = DataControlBlock;

  DWORD baud = 0;
  if (FromTable(kBaudRates, BaudRate, baud)) dcb.BaudRate = baud;
  BYTE value = 0;
  if (FromTable(kParities, Parity, value)) dcb.Parity = value;

  switch (FlowControl) {
    case fcNone:
      dcb.fOutxCtsFlow = 0;
      dcb.fOutxDsrFlow = 0;
      dcb.fOutX = 0;
      dcb.fInX = 0;
      break;
    case fcCtsDsr:
      dcb.fOutxCtsFlow = 1;
      dcb.fOutxDsrFlow = 1;
      break;
    case fcXonXoff:
      dcb.fOutX = 1;
      dcb.fInX = 1;
      break;
    default:
      break;
  }

  if (FromTable(kStopBits, StopBits, value)) dcb.StopBits = value;
  if (FromTable(kByteSizes, ByteSize, value)) dcb.ByteSize = value;

  dcb.XonChar = EventChars->XOnChar();
  dcb.XoffChar = EventChars->XOffChar();
  dcb.ErrorChar = EventChars->ErrorChar();
  dcb.EofChar = EventChars->EofChar();
  dcb.EvtChar = EventChars->EvtChar();
  dcb.XonLim = 1024;
  dcb.XoffLim = 1024;

  dcb.fParity = Options.Contains(coParityCheck) ? 1 : 0;
  dcb.fDsrSensitivity = Options.Contains(coDsrSensitivity) ? 1 : 0;
  dcb.fTXContinueOnXoff = Options.Contains(coTxContinueOnXoff) ? 1 : 0;
  dcb.fErrorChar = Options.Contains(coErrorChar) ? 1 : 0;
  dcb.fNull = Options.Contains(coNullStrip) ? 1 : 0;

  if (!os_.SetCommState(PortHandle, &DataControlBlock)) {
    NoteOpenFailure();
    ReportCommError("Error updating DataControlBlock.",
                    static_cast<std::int32_t>(os_.GetLastError()));
  }
}

void TThreadComm::ApplyTimeouts() {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = ReadTimeout;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = WriteTimeout;
  if (!os_.SetCommTimeouts(PortHandle, &timeouts)) {
    NoteOpenFailure();
    ReportCommError("Error updating CommTimeouts.", static_cast<std::int32_t>(os_.GetLastError()));
  }
}

bool TThreadComm::GetModemLine(std::int32_t line) {
  DWORD bit = 0;
  switch (line) {
    case 1: bit = MS_CTS_ON; break;
    case 2: bit = MS_DSR_ON; break;
    case 3: bit = MS_RING_ON; break;
    case 4: bit = MS_RLSD_ON; break;
    default: break;
  }
  if (!Opened) return false;
  DWORD status = 0;
  if (!os_.GetCommModemStatus(PortHandle, &status)) return false;
  return (status & bit) != 0;
}

void TThreadComm::EscapeFunction(DWORD code) {
  if (!Opened) {
    ReportCommError("Port not open.", -1);
    return;
  }
  BOOL ok;
  DWORD error = 0;
  {
    SectionGuard guard(*this);
    ok = os_.EscapeCommFunction(PortHandle, code);
    if (!ok) error = os_.GetLastError();
  }
  if (!ok) ReportCommError("EscapeCommFunction failure.", static_cast<std::int32_t>(error));
}

void TThreadComm::SetDTR(bool on) { EscapeFunction(on ? SETDTR : CLRDTR); }
void TThreadComm::SetRTS(bool on) { EscapeFunction(on ? SETRTS : CLRRTS); }

void TThreadComm::DispatchEvents(TObject* /*sender*/, std::uint32_t mask) {
  DWORD errors = 0;
  COMSTAT stat{};
  os_.ClearCommError(PortHandle, &errors, &stat);

  // Copies: a handler may replace or clear handlers, or close the port.
  auto notify = [&](DWORD code, TNotifyEvent handler) {
    if ((mask & code) && handler) handler(this);
  };
  notify(EV_BREAK, OnBreak);
  notify(EV_CTS, OnCts);
  notify(EV_DSR, OnDsr);
  if (TCommErrorEvent handler = OnError; (mask & EV_ERR) && handler) handler(this, errors);
  notify(EV_RING, OnRing);
  notify(EV_RLSD, OnRlsd);
  if (TCommRxCharEvent handler = OnRxChar; (mask & EV_RXCHAR) && handler && stat.cbInQue > 0) {
    handler(this, stat.cbInQue);
  }
  notify(EV_RXFLAG, OnRxFlag);
  notify(EV_TXEMPTY, OnTxEmpty);
  if (TCommEventEvent handler = OnCommEvent; handler) handler(this, mask, stat);
}

}  // namespace comm
