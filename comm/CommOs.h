// The operating-system calls under the serial component, one operation per
// Windows call it makes, each with the Windows meaning: a success flag, and a
// last-error code for the calling thread. The Win32 layer forwards to the
// real calls; the POSIX layer gives the same effects with termios and ioctl;
// tests use a scriptable double.
#pragma once

#include <string>

#include "WinDefs.h"

namespace comm {

// A failed call in the OS's own terms, beside the Windows-style code.
struct OsError {
  DWORD code = 0;  // what GetLastError gives
  int native = 0;  // errno on POSIX, the Win32 error on Windows; 0 if none
  // A port in use by another program: who holds it, where the OS tells.
  long holderPid = 0;
  std::string holderName;
};

// "EACCES (Permission denied)" on POSIX: the errno's symbolic name, then its
// text; "error 5 (Access is denied.)" on Windows.
std::string DescribeOsError(int native);

// The name to hand CreateFileA for a port name: Windows opens COM10 and above
// only by their device path, so a bare name (not empty, none of the
// characters \ / :) becomes \\.\NAME; a name that already holds a path is
// kept as it is.
// Everything else (lists, trace, reasons) keeps the name as given.
std::string Win32DevicePath(const std::string& name);

class CommOs {
 public:
  virtual ~CommOs() = default;

  // Exclusive open of a named port; the remaining CreateFileA arguments
  // (security attributes, template) are always null here.
  virtual HANDLE CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode,
                             DWORD creationDisposition, DWORD flagsAndAttributes) = 0;
  virtual DWORD GetFileType(HANDLE file) = 0;
  virtual BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) = 0;
  virtual BOOL GetCommState(HANDLE file, DCB* dcb) = 0;
  virtual BOOL SetCommState(HANDLE file, DCB* dcb) = 0;
  virtual BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) = 0;
  virtual BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
                         OVERLAPPED* overlapped) = 0;
  virtual BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read,
                        OVERLAPPED* overlapped) = 0;
  virtual BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                                   BOOL wait) = 0;
  virtual BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) = 0;
  virtual BOOL PurgeComm(HANDLE file, DWORD flags) = 0;
  virtual BOOL GetCommModemStatus(HANDLE file, DWORD* modemStatus) = 0;
  virtual BOOL EscapeCommFunction(HANDLE file, DWORD function) = 0;
  virtual BOOL SetCommMask(HANDLE file, DWORD mask) = 0;
  virtual BOOL WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped) = 0;
  // Unnamed event without security attributes.
  virtual HANDLE CreateEventA(BOOL manualReset, BOOL initialState) = 0;
  virtual DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) = 0;
  virtual BOOL ResetEvent(HANDLE event) = 0;
  virtual BOOL CloseHandle(HANDLE object) = 0;
  virtual DWORD GetLastError() = 0;
  // The calling thread's last error with the OS's own code; a layer that
  // knows no more gives the Windows code twice.
  virtual OsError GetLastOsError() {
    const DWORD code = GetLastError();
    return {code, static_cast<int>(code), 0, {}};
  }
};

// The layer of the platform the program runs on (Win32 or POSIX).
CommOs& SystemCommOs();

}  // namespace comm
