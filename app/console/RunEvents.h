// One port's run of an --all or --watch, as its coordinator sees it: the run
// is an ordinary ks-idu-cli limited to that port, and tells what happens on a
// descriptor it inherited, one line per event. Its standard input is the
// coordinator's hold on it: when that closes, the run stops as on Ctrl+C.
//
//   status TEXT              the status line changed (an empty one is not sent)
//   progress MIN MAX POS     the bar moved to another whole percent
//   box CAPTION<TAB>TEXT     a message box was shown
//   resend                   a line was written again
//   record WHY<TAB>JSON      a record the run could not write (WHY: the
//                            reason), for the coordinator to keep and write
//   end CODE                 the run ended with this exit status
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "CommOs.h"

namespace console {

// Told what the window shows, as it shows it.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  virtual void Status(const std::string& text) = 0;
  virtual void Box(const std::string& caption, const std::string& text) = 0;
  virtual void Progress(std::int32_t min, std::int32_t max, std::int32_t position) = 0;
  // A record that could not be written, when the run ends: someone who
  // outlives the run may write it.
  virtual void UnwrittenRecord(const std::string& /*why*/, const std::string& /*record*/) {}
};

// An event as the coordinator reads it back.
struct RunEvent {
  // Record: text is the record, caption why it was not written.
  enum class Kind { Status, Progress, Box, Resend, Record, End, Unknown };
  Kind kind = Kind::Unknown;
  std::string text;
  std::string caption;
  std::int32_t min = 0;
  std::int32_t max = 0;
  std::int32_t position = 0;
  int code = 0;
};
RunEvent ParseRunEvent(std::string_view line);

// The run's end of the channel.
class RunEventWriter : public RunObserver {
 public:
  // descriptor: the inherited descriptor's number (a handle's value on
  // Windows). Null, with the reason in error, when it names none.
  static std::unique_ptr<RunEventWriter> Open(const std::string& descriptor, std::string& error);
  ~RunEventWriter() override;
  RunEventWriter(const RunEventWriter&) = delete;
  RunEventWriter& operator=(const RunEventWriter&) = delete;

  void Status(const std::string& text) override;
  void Box(const std::string& caption, const std::string& text) override;
  void Progress(std::int32_t min, std::int32_t max, std::int32_t position) override;
  void UnwrittenRecord(const std::string& why, const std::string& record) override;
  void Resend();
  void End(int code);

 private:
  explicit RunEventWriter(std::intptr_t handle) : handle_(handle) {}
  // One write per line, so that a line is never split; a coordinator that is
  // gone loses it, and the run goes on (it is being stopped anyway).
  void Line(std::string line);

  std::intptr_t handle_;
  std::mutex mutex_;
  int lastPercent_ = -1;
};

// The serial layer as the run uses it, telling the writer of every
// programming line written twice in a row (a resend after a time-out or a
// negative reply). The thread's last error is kept across the telling.
class ResendCountingOs : public comm::CommOs {
 public:
  ResendCountingOs(comm::CommOs& inner, RunEventWriter& events) : inner_(inner), events_(events) {}

  HANDLE CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode,
                     DWORD creationDisposition, DWORD flagsAndAttributes) override;
  DWORD GetFileType(HANDLE file) override { return inner_.GetFileType(file); }
  BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) override {
    return inner_.SetupComm(file, inQueue, outQueue);
  }
  BOOL GetCommState(HANDLE file, DCB* dcb) override { return inner_.GetCommState(file, dcb); }
  BOOL SetCommState(HANDLE file, DCB* dcb) override { return inner_.SetCommState(file, dcb); }
  BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) override {
    return inner_.SetCommTimeouts(file, timeouts);
  }
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
                 OVERLAPPED* overlapped) override;
  BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read,
                OVERLAPPED* overlapped) override {
    return inner_.ReadFile(file, buffer, count, read, overlapped);
  }
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                           BOOL wait) override {
    return inner_.GetOverlappedResult(file, overlapped, transferred, wait);
  }
  BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) override {
    return inner_.ClearCommError(file, errors, stat);
  }
  BOOL PurgeComm(HANDLE file, DWORD flags) override { return inner_.PurgeComm(file, flags); }
  BOOL GetCommModemStatus(HANDLE file, DWORD* modemStatus) override {
    return inner_.GetCommModemStatus(file, modemStatus);
  }
  BOOL EscapeCommFunction(HANDLE file, DWORD function) override {
    return inner_.EscapeCommFunction(file, function);
  }
  BOOL SetCommMask(HANDLE file, DWORD mask) override { return inner_.SetCommMask(file, mask); }
  BOOL WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped) override {
    return inner_.WaitCommEvent(file, mask, overlapped);
  }
  HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override {
    return inner_.CreateEventA(manualReset, initialState);
  }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
    return inner_.WaitForSingleObject(object, milliseconds);
  }
  BOOL ResetEvent(HANDLE event) override { return inner_.ResetEvent(event); }
  BOOL CloseHandle(HANDLE object) override { return inner_.CloseHandle(object); }
  DWORD GetLastError() override { return inner_.GetLastError(); }

 private:
  comm::CommOs& inner_;
  RunEventWriter& events_;
  std::mutex mutex_;
  std::string lastLine_;
};

// What ConsoleMain sets up for a run with --run-events: nothing without it.
class RunEventLink {
 public:
  // False, with the reason in error, when the descriptor is no use. With
  // watchInput the run stops as on Ctrl+C when its standard input closes.
  bool Open(const std::string& descriptor, std::string& error, bool watchInput = true);
  RunObserver* Observer() { return writer_.get(); }
  // The serial layer the run is to use.
  comm::CommOs& Os(comm::CommOs& inner);
  void End(int code);

 private:
  std::unique_ptr<RunEventWriter> writer_;
  std::optional<ResendCountingOs> os_;
};

}  // namespace console
