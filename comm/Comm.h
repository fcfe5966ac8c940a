// TThreadComm: one serial port, opened for overlapped I/O, with its line
// settings, block reads and writes, modem lines, and an event thread that
// hands port events to handlers on the main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Classes.h"
#include "CommOs.h"

namespace comm {

enum TCommEvent : int {
  evBreak,
  evCts,
  evDsr,
  evError,
  evRing,
  evRlsd,
  evRxChar,
  evRxFlag,
  evTxEmpty,
};

enum TCommOption : int {
  coParityCheck,
  coDsrSensitivity,
  coTxContinueOnXoff,
  coErrorChar,
  coNullStrip,
};

enum TFlowControl : std::int8_t {
  fcNone = 0,
  fcCtsDsr = 1,
  fcXonXoff = 2,
  fcKeep = 3,
};

// A small set over the elements of an enumeration, one bit each.
template <class E, int Count>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> elements) {
    for (E e : elements) Include(e);
  }
  static constexpr TSet All() {
    TSet s;
    s.bits_ = static_cast<std::uint32_t>((1u << Count) - 1u);
    return s;
  }
  constexpr bool Contains(E e) const { return (bits_ >> static_cast<int>(e)) & 1u; }
  constexpr void Include(E e) { bits_ |= 1u << static_cast<int>(e); }
  constexpr void Exclude(E e) { bits_ &= ~(1u << static_cast<int>(e)); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr bool operator==(const TSet&) const = default;

 private:
  std::uint32_t bits_ = 0;
};

using TCommEvents = TSet<TCommEvent, 9>;
using TCommOptions = TSet<TCommOption, 5>;

// The Windows event code of each event kind, in set order.
DWORD CommEventCode(TCommEvent event);
// OR of the codes of the kinds in the set; all nine give 0x01FF.
DWORD CommEventMask(TCommEvents events);

using TNotifyEvent = std::function<void(TObject* sender)>;
using TCommErrorEvent = std::function<void(TObject* sender, std::uint32_t errors)>;
using TCommRxCharEvent = std::function<void(TObject* sender, std::uint32_t count)>;
using TCommEventEvent =
    std::function<void(TObject* sender, std::uint32_t mask, const COMSTAT& stat)>;
using TCommEventHook = std::function<void(TObject* sender, std::uint32_t mask)>;

class TThreadComm;

// The five special characters of the line.
class TCommEventChars : public TPersistent {
 public:
  explicit TCommEventChars(TThreadComm* owner);
  const char* ClassName() const override { return "TCommEventChars"; }
  void Assign(const TPersistent* source) override;

  // Index 1 to 5: XOnChar, XOffChar, ErrorChar, EofChar, EvtChar. Every
  // assignment, also of the value already held, pushes the settings again.
  void SetChar(int index, char value);
  char GetChar(int index) const;

  char XOnChar() const { return chars_[0]; }
  char XOffChar() const { return chars_[1]; }
  char ErrorChar() const { return chars_[2]; }
  char EofChar() const { return chars_[3]; }
  char EvtChar() const { return chars_[4]; }
  void SetXOnChar(char c) { SetChar(1, c); }
  void SetXOffChar(char c) { SetChar(2, c); }
  void SetErrorChar(char c) { SetChar(3, c); }
  void SetEofChar(char c) { SetChar(4, c); }
  void SetEvtChar(char c) { SetChar(5, c); }

  TThreadComm* OwnerComm;

 private:
  void Changed();
  char chars_[5] = {17, 19, 0, 0, 0};
};

// What the component and its event thread share, so that either can outlive
// the other: the component learns here whether its thread is still there.
struct TCommEventLink {
  enum class Phase { Running, Delivering, Stopped };
  std::mutex mutex;
  std::condition_variable changed;
  Phase phase = Phase::Running;
  bool stopRequested = false;
  // Set when the component closed its port while the thread was handing an
  // event over, or did not stop in time: the thread must not touch the port
  // again.
  bool abandoned = false;
  // The thread's first failed wait, in the OS's own terms (code 0: none).
  OsError waitError;
};

class TCommEventThread : public TThread {
 public:
  // Sets the port's event mask from events on the creating thread; the
  // thread starts suspended and frees itself when its body returns.
  TCommEventThread(CommOs& os, HANDLE portHandle, TCommEvents events,
                   std::shared_ptr<TCommEventLink> link);
  ~TCommEventThread() override;
  const char* ClassName() const override { return "TCommEventThread"; }

  // Event threads that exist right now, for leak checks.
  static int LiveCount();

  HANDLE PortHandle;
  DWORD EventMask = 0;
  TCommEventHook EventHook;

 protected:
  void Execute() override;
  void DoTerminate() override;

 private:
  void DeliverEvent();
  void PauseAfterFailure(int failures);

  CommOs& os_;
  std::shared_ptr<TCommEventLink> link_;
};

class TThreadComm : public TComponent {
 public:
  explicit TThreadComm(TComponent* owner, CommOs& os = SystemCommOs());
  ~TThreadComm() override;
  const char* ClassName() const override { return "TThreadComm"; }

  // How long Close waits for the event thread to stop before it leaves the
  // thread to end by itself.
  static constexpr std::chrono::milliseconds kEventThreadStopBound{1000};

  // Opens PortName, or adopts handle when one is given.
  void Open(std::optional<HANDLE> handle = std::nullopt);
  // Why the last Open failed, in the OS's own terms: its first step that
  // failed (CreateFileA, the file type, SetupComm, the state calls...), also
  // when the port stayed open after it; all zero after an Open that went
  // through.
  const OsError& LastOpenError() const { return lastOpenError_; }
  // The first read or write that failed since the port was opened, else the
  // event thread's first failed wait, in the OS's own terms; code 0 when
  // none did. Kept after Close, until the next Open: a removed device shows
  // here while the callers see only short counts.
  OsError LastIoError() const;
  void Close();
  std::int32_t Write(const void* buffer, std::int32_t count);
  std::int32_t Read(void* buffer, std::int32_t count);
  void PurgeBuffers();
  void SetPort(const std::string& name);
  void SetBaudRate(std::int8_t index);
  void SetParity(std::int8_t index);
  void SetStopBits(std::int8_t index);
  void SetByteSize(std::int8_t index);
  void SetFlowControl(std::int8_t mode);
  // 1 CTS, 2 DSR, 3 RING, 4 carrier detect.
  bool GetModemLine(std::int32_t line);
  void SetDTR(bool on);
  void SetRTS(bool on);
  bool IsOpen() const { return Opened; }
  void ApplySettings();
  void EscapeFunction(DWORD code);
  void Lock() { Section->Enter(); }
  void Unlock() { Section->Leave(); }
  void DispatchEvents(TObject* sender, std::uint32_t mask);

  const std::string& Port() const { return PortName; }
  std::int8_t BaudRateIndex() const { return BaudRate; }
  std::int8_t ParityIndex() const { return Parity; }
  std::int8_t StopBitsIndex() const { return StopBits; }
  std::int8_t ByteSizeIndex() const { return ByteSize; }
  std::int8_t FlowControlMode() const { return FlowControl; }
  HANDLE Handle() const { return PortHandle; }
  const DCB& ControlBlock() const { return DataControlBlock; }
  TCommEventChars& Chars() { return *EventChars; }
  CommOs& Os() { return os_; }

  // Plain settings, read at the next Open.
  std::uint32_t ReadTimeout = 1000;
  std::uint32_t WriteTimeout = 1000;
  std::uint16_t InQueueSize = 4096;
  std::uint16_t OutQueueSize = 4096;
  TCommEvents Events = TCommEvents::All();
  TCommOptions Options;

  TNotifyEvent OnBreak;
  TNotifyEvent OnCts;
  TNotifyEvent OnDsr;
  TCommErrorEvent OnError;
  TNotifyEvent OnRing;
  TNotifyEvent OnRlsd;
  TCommRxCharEvent OnRxChar;
  TNotifyEvent OnRxFlag;
  TNotifyEvent OnTxEmpty;
  TCommEventEvent OnCommEvent;

 protected:
  // Creates PortHandle from PortName and sets Opened; a derived class may
  // open its port another way.
  virtual void OpenHandle();
  void ReleaseHandle();
  void ApplyTimeouts();

  HANDLE PortHandle = INVALID_HANDLE_VALUE;
  DCB DataControlBlock{};
  std::string PortName = "COM1";
  TCriticalSection* Section = nullptr;
  std::int8_t BaudRate = 6;
  std::int8_t Parity = 0;
  std::int8_t StopBits = 0;
  std::int8_t ByteSize = 4;
  bool Opened = false;
  OVERLAPPED WriteOverlapped{};
  OVERLAPPED ReadOverlapped{};
  TCommEventThread* EventThread = nullptr;
  TCommEventChars* EventChars = nullptr;
  std::int8_t FlowControl = fcKeep;

 private:
  void SetIndex(std::int8_t& field, std::int8_t value);
  void StopEventThread();
  // During Open: keeps the thread's last OS error if it is the first failure.
  void NoteOpenFailure();
  // A read or write failed just now: keeps the OS's error if it is the first.
  void NoteIoFailure();

  CommOs& os_;
  OsError lastOpenError_;
  OsError ioError_;
  OsError waitError_;  // the event thread's, once it is stopped
  bool opening_ = false;
  bool openFailed_ = false;
  std::shared_ptr<TCommEventLink> eventLink_;
};

// Shows reason directly followed by "(Error: <code>)" in the application's
// modal box captioned "Serial Port Error.".
void ReportCommError(const std::string& reason, std::int32_t code);

}  // namespace comm
