#include "Trace.h"

#include "CommandLine.h"
#include "Unicode.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <utility>

namespace app {

// ---- TTrace -------------------------------------------------------------------

TTrace::TTrace(std::ostream& out) : out_(out), start_(std::chrono::steady_clock::now()) {}

TTrace::~TTrace() = default;

std::unique_ptr<TTrace> TTrace::OpenFile(const std::string& path, std::string& error) {
  errno = 0;
  auto file =
      std::make_unique<std::ofstream>(unicode::FilePath(path), std::ios::out | std::ios::trunc);
  if (!file->is_open()) {
    error = "cannot write the trace file '" + path + "'";
    if (errno != 0) error += std::string(": ") + std::strerror(errno);
    return nullptr;
  }
  auto trace = std::make_unique<TTrace>(*file);
  trace->owned_ = std::move(file);
  return trace;
}

void TTrace::Write(std::string_view entry) {
  std::lock_guard lock(mutex_);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start_)
                           .count();
  // Seconds, with the unit: a bare number read as milliseconds by some and
  // as seconds by others.
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%7lld.%03llds ", static_cast<long long>(elapsed / 1000),
                static_cast<long long>(elapsed % 1000));
  out_ << stamp << entry << '\n';
  out_.flush();
}

// ---- The program's trace -----------------------------------------------------------

namespace {
std::atomic<TTrace*> currentTrace{nullptr};
}  // namespace

void SetTrace(TTrace* trace) {
  currentTrace.store(trace);
}

TTrace* CurrentTrace() {
  return currentTrace.load();
}

void TraceStatus(const std::string& text) {
  if (TTrace* trace = CurrentTrace()) trace->Write("status " + QuoteText(text));
}

void TraceBox(const std::string& text, const std::string& caption) {
  if (TTrace* trace = CurrentTrace()) {
    trace->Write("box " + QuoteText(caption) + " " + QuoteText(text));
  }
}

void TraceNote(std::string_view text) {
  if (TTrace* trace = CurrentTrace()) trace->Write(text);
}

std::string RenderBytes(const std::uint8_t* data, std::size_t count) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex;
  std::string printable;
  hex.reserve(count * 3);
  printable.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t b = data[i];
    if (i > 0) hex += ' ';
    hex += kHex[b >> 4];
    hex += kHex[b & 0x0F];
    printable += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
  }
  return hex + " | " + printable + " |";
}

std::string QuoteText(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (b < 0x20 || b == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
          quoted += escaped;
        } else {
          quoted += c;
        }
    }
  }
  return quoted + "\"";
}

// ---- TTraceCommOs -------------------------------------------------------------------

namespace {
// Writing the trace may itself set the thread's last error (a file write on
// Windows). A call that wrote to the trace keeps the error its own call left,
// for the caller's GetLastError; every other call clears the kept value.
thread_local bool t_kept = false;
thread_local comm::OsError t_keptError;

void Keep(const comm::OsError& error) {
  t_kept = true;
  t_keptError = error;
}

void Plain() {
  t_kept = false;
}

// The OS's own name and text of the error where the layer gives them.
std::string FailureText(const comm::OsError& error) {
  std::string text = error.native != 0 ? comm::DescribeOsError(error.native)
                                       : "error " + std::to_string(error.code);
  if (error.holderPid > 0) {
    text += ", held by " + std::to_string(error.holderPid);
    if (!error.holderName.empty()) text += " " + error.holderName;
  }
  return text;
}
}  // namespace

DWORD TTraceCommOs::GetLastError() {
  return t_kept ? t_keptError.code : inner_.GetLastError();
}

comm::OsError TTraceCommOs::GetLastOsError() {
  return t_kept ? t_keptError : inner_.GetLastOsError();
}

DWORD TTraceCommOs::GetFileType(HANDLE file) {
  Plain();
  return inner_.GetFileType(file);
}

BOOL TTraceCommOs::SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  Plain();
  return inner_.SetupComm(file, inQueue, outQueue);
}

BOOL TTraceCommOs::GetCommState(HANDLE file, DCB* dcb) {
  Plain();
  return inner_.GetCommState(file, dcb);
}

BOOL TTraceCommOs::SetCommState(HANDLE file, DCB* dcb) {
  Plain();
  return inner_.SetCommState(file, dcb);
}

BOOL TTraceCommOs::SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  Plain();
  return inner_.SetCommTimeouts(file, timeouts);
}

BOOL TTraceCommOs::ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  Plain();
  return inner_.ClearCommError(file, errors, stat);
}

BOOL TTraceCommOs::PurgeComm(HANDLE file, DWORD flags) {
  Plain();
  return inner_.PurgeComm(file, flags);
}

BOOL TTraceCommOs::EscapeCommFunction(HANDLE file, DWORD function) {
  Plain();
  return inner_.EscapeCommFunction(file, function);
}

BOOL TTraceCommOs::SetCommMask(HANDLE file, DWORD mask) {
  Plain();
  return inner_.SetCommMask(file, mask);
}

BOOL TTraceCommOs::WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped) {
  Plain();
  return inner_.WaitCommEvent(file, mask, overlapped);
}

HANDLE TTraceCommOs::CreateEventA(BOOL manualReset, BOOL initialState) {
  Plain();
  return inner_.CreateEventA(manualReset, initialState);
}

DWORD TTraceCommOs::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  Plain();
  return inner_.WaitForSingleObject(object, milliseconds);
}

BOOL TTraceCommOs::ResetEvent(HANDLE event) {
  Plain();
  return inner_.ResetEvent(event);
}

std::string TTraceCommOs::PortName(HANDLE file) {
  std::lock_guard lock(mutex_);
  auto it = ports_.find(file);
  return it != ports_.end() ? it->second : std::string("(unknown port)");
}

HANDLE TTraceCommOs::CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode,
                                 DWORD creationDisposition, DWORD flagsAndAttributes) {
  Plain();
  HANDLE file =
      inner_.CreateFileA(name, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
  const comm::OsError error = inner_.GetLastOsError();
  const std::string port = name != nullptr ? name : "";
  if (file == INVALID_HANDLE_VALUE) {
    trace_.Write("open " + port + " failed (" + FailureText(error) + ")");
  } else {
    {
      std::lock_guard lock(mutex_);
      ports_[file] = port;
    }
    trace_.Write("open " + port);
  }
  Keep(error);
  return file;
}

BOOL TTraceCommOs::CloseHandle(HANDLE object) {
  Plain();
  std::string port;
  bool wasPort = false;
  {
    std::lock_guard lock(mutex_);
    auto it = ports_.find(object);
    if (it != ports_.end()) {
      port = it->second;
      wasPort = true;
      ports_.erase(it);
      // What was still pending on the port goes with it.
      for (auto p = pending_.begin(); p != pending_.end();) {
        p = p->second.file == object ? pending_.erase(p) : std::next(p);
      }
    }
  }
  const BOOL result = inner_.CloseHandle(object);
  if (wasPort) {
    const comm::OsError error = inner_.GetLastOsError();
    trace_.Write("close " + port);
    Keep(error);
  }
  return result;
}

void TTraceCommOs::Transferred(bool read, HANDLE file, const std::uint8_t* buffer, DWORD requested,
                               DWORD done) {
  const std::string port = PortName(file);
  if (read) {
    if (done == 0) {
      trace_.Write("rx " + port + " [0] nothing within the time-out");
    } else {
      trace_.Write("rx " + port + " [" + std::to_string(done) + "] " + RenderBytes(buffer, done));
    }
  } else if (done < requested) {
    // The bytes themselves went into the trace when they were handed over.
    trace_.Write("tx " + port + " only " + std::to_string(done) + " of " +
                 std::to_string(requested) + " bytes sent within the time-out");
  }
}

void TTraceCommOs::Failed(bool read, HANDLE file, const comm::OsError& error) {
  trace_.Write(std::string(read ? "rx " : "tx ") + PortName(file) + " failed (" +
               FailureText(error) + ")");
}

BOOL TTraceCommOs::WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
                             OVERLAPPED* overlapped) {
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  // Recorded as handed over, so that the entry stands in the order of what
  // the program did, whenever the driver gets the bytes out.
  trace_.Write("tx " + PortName(file) + " [" + std::to_string(count) + "] " +
               RenderBytes(bytes, count));
  Plain();
  const BOOL result = inner_.WriteFile(file, buffer, count, written, overlapped);
  const comm::OsError error = inner_.GetLastOsError();
  if (result) {
    Transferred(false, file, nullptr, count, written != nullptr ? *written : count);
  } else if (error.code == ERROR_IO_PENDING && overlapped != nullptr) {
    std::lock_guard lock(mutex_);
    pending_[overlapped] = Pending{false, file, nullptr, count};
  } else {
    Failed(false, file, error);
  }
  Keep(error);
  return result;
}

BOOL TTraceCommOs::ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read,
                            OVERLAPPED* overlapped) {
  Plain();
  const BOOL result = inner_.ReadFile(file, buffer, count, read, overlapped);
  const comm::OsError error = inner_.GetLastOsError();
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  if (result) {
    Transferred(true, file, bytes, count, read != nullptr ? *read : 0);
  } else if (error.code == ERROR_IO_PENDING && overlapped != nullptr) {
    // The buffer is filled later: remember it with the record that will
    // report the completion.
    std::lock_guard lock(mutex_);
    pending_[overlapped] = Pending{true, file, bytes, count};
  } else {
    Failed(true, file, error);
  }
  Keep(error);
  return result;
}

BOOL TTraceCommOs::GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                                       BOOL wait) {
  Plain();
  const BOOL result = inner_.GetOverlappedResult(file, overlapped, transferred, wait);
  const comm::OsError error = inner_.GetLastOsError();
  Keep(error);
  Pending pending{};
  {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(overlapped);
    // Not a transfer of ours, or still under way and asked again later.
    if (it == pending_.end() || (!result && error.code == ERROR_IO_INCOMPLETE)) return result;
    pending = it->second;
    pending_.erase(it);
  }
  if (result) {
    Transferred(pending.read, pending.file, pending.buffer, pending.count,
                transferred != nullptr ? *transferred : 0);
  } else {
    Failed(pending.read, pending.file, error);
  }
  return result;
}

BOOL TTraceCommOs::GetCommModemStatus(HANDLE file, DWORD* modemStatus) {
  Plain();
  const BOOL result = inner_.GetCommModemStatus(file, modemStatus);
  if (result && modemStatus != nullptr) {
    const comm::OsError error = inner_.GetLastOsError();
    const DWORD s = *modemStatus;
    auto line = [s](const char* name, DWORD bit) {
      return std::string(" ") + name + ((s & bit) != 0 ? " on" : " off");
    };
    trace_.Write("lines " + PortName(file) + line("CTS", MS_CTS_ON) + line("DSR", MS_DSR_ON) +
                 line("RING", MS_RING_ON) + line("DCD", MS_RLSD_ON));
    Keep(error);
  }
  return result;
}

// ---- TProgramTrace -------------------------------------------------------------------

TProgramTrace::~TProgramTrace() {
  if (trace_ && CurrentTrace() == trace_.get()) SetTrace(nullptr);
}

bool TProgramTrace::Open(const std::string& path, std::string_view program, std::string& error) {
  trace_ = TTrace::OpenFile(path, error);
  if (!trace_) return false;
  traced_ = std::make_unique<TTraceCommOs>(inner_, *trace_);
  const std::time_t now = std::time(nullptr);
  char started[64] = "";
  if (const std::tm* local = std::localtime(&now)) {
    std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S", local);
  }
  trace_->Write(std::string(program) + " " + std::string(ProgramVersion()) + ", trace started " +
                started + " local time; each line begins with the seconds since then");
  SetTrace(trace_.get());
  return true;
}

}  // namespace app
