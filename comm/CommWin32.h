// The serial component's OS layer over the Windows serial-communications
// calls. Each operation forwards to the call of the same name, unchanged.
#pragma once

#ifdef _WIN32

#include "CommOs.h"

namespace comm {

class Win32CommOs : public CommOs {
 public:
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
  // The Win32 error is the OS's own: native and code are the same. Windows
  // does not tell who holds a port.
  OsError GetLastOsError() override;
};

}  // namespace comm

#endif
