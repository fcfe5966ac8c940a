// A scriptable double of the serial OS layer: named ports with modem lines,
// bytes that arrive, event masks, failures with chosen error codes, and a
// record of every call. Safe to use from the component's event thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "CommOs.h"

namespace comm::test {

class FakeCommOs : public CommOs {
 public:
  struct Port {
    bool busy = false;  // held by another program
    DWORD fileType = FILE_TYPE_CHAR;
    DWORD modemStatus = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    DCB dcb{};  // what the driver reports and keeps
    COMMTIMEOUTS timeouts{};
    DWORD inQueueSize = 0, outQueueSize = 0;
    std::deque<std::uint8_t> input;
    std::vector<std::uint8_t> output;
    DWORD outQueue = 0;
    DWORD errorFlags = 0;
    DWORD mask = 0;
    DWORD history = 0;  // events that happened while no wait was pending
    bool dtr = false, rts = false;
    // What sits at the far end of the line: called, with the fake's lock
    // held, with every block the program writes; bytes it appends to reply
    // arrive at once, as by Receive. It must not call back into the fake.
    std::function<void(const std::vector<std::uint8_t>& written, std::vector<std::uint8_t>& reply)>
        peer;
    // Pending overlapped wait.
    DWORD* waitMask = nullptr;
    HANDLE waitEvent = nullptr;
    // The last wait's OVERLAPPED, for its GetOverlappedResult.
    OVERLAPPED* waitOverlapped = nullptr;
    // When set, every wait goes pending and ends at once with mask 0 and this
    // error from GetOverlappedResult, as for a removed device.
    DWORD waitError = 0;
    bool open = false;
    // A driver whose pending wait goes on through a mask change (it still
    // ends when the port is closed).
    bool ignoresMaskChange = false;
    // When its code is set, CreateFileA of this port fails with exactly this
    // (for instance in use, with the holder's pid and name).
    OsError openError;
  };

  FakeCommOs();
  ~FakeCommOs() override;

  // --- scripting -------------------------------------------------------------
  Port& AddPort(const std::string& name);
  // Runs f on the port with the fake's lock held.
  template <class F>
  auto WithPort(const std::string& name, F f) {
    std::lock_guard lock(mutex_);
    return f(ports_.at(name));
  }
  // Bytes arrive on the port: EV_RXCHAR (and EV_RXFLAG for the event char).
  void Receive(const std::string& name, const std::vector<std::uint8_t>& bytes);
  // Events occur on the port (only those in its mask are reported).
  void RaiseEvents(const std::string& name, DWORD events);
  void SetModemStatus(const std::string& name, DWORD status);
  // Every call of op fails with error and, beside it, the OS's own code
  // native (0 removes the failure).
  void SetFailure(const std::string& op, DWORD error, int native = 0);
  // WriteFile goes pending and GetOverlappedResult reports ERROR_IO_INCOMPLETE
  // this many times before it completes.
  void SetWritePending(int incompleteResults);

  // --- observation -------------------------------------------------------------
  std::vector<std::string> Calls() const;
  std::size_t CountCalls(const std::string& op) const;
  void ClearCalls();
  bool WaitPending(const std::string& name, std::chrono::milliseconds timeout);
  std::size_t OpenHandles() const;

  // --- CommOs ------------------------------------------------------------------
  HANDLE CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode,
                     DWORD creationDisposition, DWORD flagsAndAttributes) override;
  DWORD GetFileType(HANDLE file) override;
  BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) override;
  BOOL GetCommState(HANDLE file, DCB* dcb) override;
  BOOL SetCommState(HANDLE file, DCB* dcb) override;
  BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) override;
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
                 OVERLAPPED* overlapped) override;
  BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read,
                OVERLAPPED* overlapped) override;
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                           BOOL wait) override;
  BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) override;
  BOOL PurgeComm(HANDLE file, DWORD flags) override;
  BOOL GetCommModemStatus(HANDLE file, DWORD* modemStatus) override;
  BOOL EscapeCommFunction(HANDLE file, DWORD function) override;
  BOOL SetCommMask(HANDLE file, DWORD mask) override;
  BOOL WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped) override;
  HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override;
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override;
  BOOL ResetEvent(HANDLE event) override;
  BOOL CloseHandle(HANDLE object) override;
  DWORD GetLastError() override;
  OsError GetLastOsError() override;

 private:
  struct Event {
    bool manual = true;
    bool signaled = false;
  };
  struct Handle {
    std::string port;  // empty for an event
    Event event;
  };

  BOOL Fail(DWORD error, int native = 0);
  BOOL Succeed();
  bool Failing(const std::string& op);
  void Record(std::string call);
  Port* PortOf(HANDLE h);
  Event* EventOf(HANDLE h);
  void Signal(HANDLE event);
  void Occur(Port& port, DWORD events);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Port> ports_;
  std::map<HANDLE, std::unique_ptr<Handle>> handles_;
  std::map<std::string, OsError> failures_;
  std::vector<std::string> calls_;
  int writeIncomplete_ = 0;
  int writeIncompleteLeft_ = 0;
  DWORD pendingWriteCount_ = 0;
};

}  // namespace comm::test
