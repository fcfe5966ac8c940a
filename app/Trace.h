// A record of what the program did on the line and showed to its user, so
// that an upgrade that failed in the field can be diagnosed afterwards: every
// byte sent and received, port opens and closes, every status text and every
// box. One line per entry, the seconds since the trace began first.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

#include "CommOs.h"

namespace app {

class TTrace {
 public:
  // Writes to out, which must outlive the trace. The clock starts now.
  explicit TTrace(std::ostream& out);
  // Opens (truncates) the file; null with the reason in error when it cannot.
  static std::unique_ptr<TTrace> OpenFile(const std::string& path, std::string& error);
  ~TTrace();
  TTrace(const TTrace&) = delete;
  TTrace& operator=(const TTrace&) = delete;

  // One entry; safe from any thread. Written through at once, so that the
  // trace survives a program that is killed.
  void Write(std::string_view entry);

 private:
  std::unique_ptr<std::ostream> owned_;
  std::ostream& out_;
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
};

// The program's trace while one is written (null: none). The front end sets
// it before the window exists and clears it after the window is gone.
void SetTrace(TTrace* trace);
TTrace* CurrentTrace();

// Entries of the current trace; nothing when there is none.
void TraceStatus(const std::string& text);
void TraceBox(const std::string& text, const std::string& caption);
void TraceNote(std::string_view text);

// "5A 0A 2E | Z.. |": the bytes in hex, then as text with '.' for every byte
// that is not printable ASCII.
std::string RenderBytes(const std::uint8_t* data, std::size_t count);
// The text in double quotes, with control characters and quotes escaped.
std::string QuoteText(std::string_view text);

// The serial layer with a trace: forwards every call to inner and records
// opens and closes with the port's name, the data of every write, and the
// data of every completed read, also of reads that complete later through
// GetOverlappedResult. Safe from any thread, as the layer it wraps.
class TTraceCommOs : public comm::CommOs {
 public:
  TTraceCommOs(comm::CommOs& inner, TTrace& trace) : inner_(inner), trace_(trace) {}

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
  // The error of the last call made through this layer on the calling
  // thread, even when writing the trace has touched the thread's error since.
  DWORD GetLastError() override;
  comm::OsError GetLastOsError() override;

 private:
  // A transfer that went pending: its buffer is only filled (or its count
  // only known) when GetOverlappedResult reports it complete.
  struct Pending {
    bool read;
    HANDLE file;
    const std::uint8_t* buffer;
    DWORD count;
  };

  std::string PortName(HANDLE file);
  void Transferred(bool read, HANDLE file, const std::uint8_t* buffer, DWORD requested, DWORD done);
  void Failed(bool read, HANDLE file, const comm::OsError& error);

  comm::CommOs& inner_;
  TTrace& trace_;
  std::mutex mutex_;
  std::map<HANDLE, std::string> ports_;
  std::map<const OVERLAPPED*, Pending> pending_;
};

// What a program's --trace sets up: the file as the program's trace, and the
// serial layer that records into it. Until Open succeeds nothing is traced
// and Os() is the layer given.
class TProgramTrace {
 public:
  explicit TProgramTrace(comm::CommOs& inner) : inner_(inner) {}
  // Stops the program's trace; the window that used Os() must be gone.
  ~TProgramTrace();
  TProgramTrace(const TProgramTrace&) = delete;
  TProgramTrace& operator=(const TProgramTrace&) = delete;

  // Starts the trace in the file, headed with the program's name, version
  // and the local time. False, with the reason in error, when the file
  // cannot be written.
  bool Open(const std::string& path, std::string_view program, std::string& error);
  comm::CommOs& Os() { return traced_ ? *traced_ : inner_; }

 private:
  comm::CommOs& inner_;
  std::unique_ptr<TTrace> trace_;
  std::unique_ptr<TTraceCommOs> traced_;
};

}  // namespace app
