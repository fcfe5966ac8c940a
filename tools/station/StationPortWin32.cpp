// The station's serial line on Windows: a named COM port through the Win32
// serial calls. Reads wait with COMMTIMEOUTS, at most a tenth of a second at
// a time, so that Ctrl+C is seen promptly without a busy loop.
#include <windows.h>

#include <algorithm>
#include <atomic>

#include "CommOs.h"
#include "StationPort.h"

namespace station {

namespace {

std::atomic<bool> g_stop{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
  g_stop = true;
  return TRUE;
}

std::string ErrorText(const std::string& what, DWORD code) {
  return what + " (Error: " + std::to_string(code) + ")";
}

constexpr DWORD kLongestWaitMs = 100;

class Win32Port : public StationPort {
 public:
  ~Win32Port() override { Close(); }

  bool Open(const PortOptions& options, std::string& error) {
    name_ = options.device;
    // COM10 and above are reachable only by their device path.
    const std::string path = comm::Win32DevicePath(name_);
    handle_ = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      error = ErrorText("cannot open " + name_, ::GetLastError());
      return false;
    }
    ::SetupComm(handle_, 4096, 4096);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle_, &dcb)) {
      error = ErrorText(name_ + " is not a serial port", ::GetLastError());
      return false;
    }
    dcb.BaudRate = options.lineSpeed;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    // Through a null-modem cable DTR gives the tool DSR and carrier detect, RTS its CTS.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(handle_, &dcb)) {
      error = ErrorText("cannot set the line of " + name_, ::GetLastError());
      return false;
    }
    if (!SetReadWait(kLongestWaitMs)) {
      error = ErrorText("cannot set the time-outs of " + name_, ::GetLastError());
      return false;
    }
    ::PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return true;
  }

  std::string Name() const override { return name_; }
  std::string Error() const override { return error_; }

  WaitResult Wait(std::int64_t timeoutUs, bool, std::vector<std::uint8_t>& in) override {
    if (g_stop) return WaitResult::Stop;
    if (handle_ == INVALID_HANDLE_VALUE) {
      error_ = "port closed";
      return WaitResult::Failed;
    }
    DWORD waitMs = kLongestWaitMs;
    if (timeoutUs >= 0)
      waitMs = static_cast<DWORD>(std::min<std::int64_t>((timeoutUs + 999) / 1000, kLongestWaitMs));
    if (!SetReadWait(waitMs)) {
      error_ = ErrorText("SetCommTimeouts " + name_, ::GetLastError());
      return WaitResult::Failed;
    }
    std::uint8_t buffer[4096];
    DWORD got = 0;
    if (!::ReadFile(handle_, buffer, sizeof buffer, &got, nullptr)) {
      error_ = ErrorText("read " + name_, ::GetLastError());
      return WaitResult::Failed;
    }
    in.insert(in.end(), buffer, buffer + got);
    if (g_stop) return WaitResult::Stop;
    return WaitResult::Ready;
  }

  long Write(std::span<const std::uint8_t> bytes) override {
    if (handle_ == INVALID_HANDLE_VALUE) return -1;
    DWORD written = 0;
    if (!::WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
      error_ = ErrorText("write " + name_, ::GetLastError());
      return -1;
    }
    return static_cast<long>(written);
  }

  void HangUp() override {
    if (handle_ != INVALID_HANDLE_VALUE) {
      ::FlushFileBuffers(handle_);  // the last reply goes out before the lines drop
      ::EscapeCommFunction(handle_, CLRDTR);
      ::EscapeCommFunction(handle_, CLRRTS);
    }
    Close();
  }

 private:
  // ReadFile returns as soon as a byte is there, or after waitMs with nothing.
  bool SetReadWait(DWORD waitMs) {
    if (waitMs == currentWaitMs_) return true;
    COMMTIMEOUTS timeouts{};
    if (waitMs == 0) {
      timeouts.ReadIntervalTimeout = MAXDWORD;
    } else {
      timeouts.ReadIntervalTimeout = MAXDWORD;
      timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
      timeouts.ReadTotalTimeoutConstant = waitMs;
    }
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!::SetCommTimeouts(handle_, &timeouts)) return false;
    currentWaitMs_ = waitMs;
    return true;
  }

  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::string name_;
  std::string error_;
  DWORD currentWaitMs_ = MAXDWORD;
};

}  // namespace

std::unique_ptr<StationPort> OpenStationPort(const PortOptions& options, std::string& error) {
  if (options.device.empty()) {
    error = "no pseudo-terminals on Windows: name the COM port with --device";
    return nullptr;
  }
  auto port = std::make_unique<Win32Port>();
  if (!port->Open(options, error)) return nullptr;
  return port;
}

void InstallStopHandlers() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool PtyAvailable() {
  return false;
}

}  // namespace station
