// Thin forwards to the Windows serial-communications calls. Nothing is
// translated: the component was written against these very semantics.
#include "CommWin32.h"

namespace comm {

HANDLE Win32CommOs::CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode,
                                DWORD creationDisposition, DWORD flagsAndAttributes) {
  return ::CreateFileA(Win32DevicePath(name).c_str(), desiredAccess, shareMode, nullptr,
                       creationDisposition, flagsAndAttributes, nullptr);
}

DWORD Win32CommOs::GetFileType(HANDLE file) { return ::GetFileType(file); }

BOOL Win32CommOs::SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return ::SetupComm(file, inQueue, outQueue);
}

BOOL Win32CommOs::GetCommState(HANDLE file, DCB* dcb) { return ::GetCommState(file, dcb); }

BOOL Win32CommOs::SetCommState(HANDLE file, DCB* dcb) { return ::SetCommState(file, dcb); }

BOOL Win32CommOs::SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  return ::SetCommTimeouts(file, timeouts);
}

BOOL Win32CommOs::WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
                            OVERLAPPED* overlapped) {
  return ::WriteFile(file, buffer, count, written, overlapped);
}

BOOL Win32CommOs::ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read,
                           OVERLAPPED* overlapped) {
  return ::ReadFile(file, buffer, count, read, overlapped);
}

BOOL Win32CommOs::GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                                      BOOL wait) {
  return ::GetOverlappedResult(file, overlapped, transferred, wait);
}

BOOL Win32CommOs::ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  return ::ClearCommError(file, errors, stat);
}

BOOL Win32CommOs::PurgeComm(HANDLE file, DWORD flags) { return ::PurgeComm(file, flags); }

BOOL Win32CommOs::GetCommModemStatus(HANDLE file, DWORD* modemStatus) {
  return ::GetCommModemStatus(file, modemStatus);
}

BOOL Win32CommOs::EscapeCommFunction(HANDLE file, DWORD function) {
  return ::EscapeCommFunction(file, function);
}

BOOL Win32CommOs::SetCommMask(HANDLE file, DWORD mask) { return ::SetCommMask(file, mask); }

BOOL Win32CommOs::WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped) {
  return ::WaitCommEvent(file, mask, overlapped);
}

HANDLE Win32CommOs::CreateEventA(BOOL manualReset, BOOL initialState) {
  return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
}

DWORD Win32CommOs::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return ::WaitForSingleObject(object, milliseconds);
}

BOOL Win32CommOs::ResetEvent(HANDLE event) { return ::ResetEvent(event); }

BOOL Win32CommOs::CloseHandle(HANDLE object) { return ::CloseHandle(object); }

DWORD Win32CommOs::GetLastError() { return ::GetLastError(); }

OsError Win32CommOs::GetLastOsError() {
  const DWORD code = ::GetLastError();
  return {code, static_cast<int>(code), 0, {}};
}

CommOs& SystemCommOs() {
  // Never destroyed: components that outlive static destruction still
  // reach a valid layer.
  static Win32CommOs* const os = new Win32CommOs;
  return *os;
}

}  // namespace comm
