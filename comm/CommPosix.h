// The serial component's OS layer over termios and ioctl. Handles are ids
// into a registry of layer-owned objects (ports and events), so a stale or
// foreign handle fails with ERROR_INVALID_HANDLE instead of touching freed
// memory.
//
// A port is opened as Linux serial programs expect of each other: the
// conventional lock file (LCK..<name> in the lock directory) is honoured and
// taken, the descriptor is flock()ed and the tty made exclusive (TIOCEXCL).
// Closing puts the port back: the termios settings found at open return, and
// DTR and RTS go down, as the Windows driver lowers them.
#pragma once

#ifndef _WIN32

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "CommOs.h"

namespace comm {

namespace posix {
struct Object;
struct Port;
struct Event;
}  // namespace posix

class PosixCommOs : public CommOs {
 public:
  PosixCommOs();
  ~PosixCommOs() override;
  PosixCommOs(const PosixCommOs&) = delete;
  PosixCommOs& operator=(const PosixCommOs&) = delete;

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
  // Beside the code: the errno of the failing call, and for a port in use
  // the program holding it (the lock file's owner, the flock() holder from
  // /proc/locks, or a process with the device open).
  OsError GetLastOsError() override;

  // Where lock files are looked for and taken; "/var/lock" unless changed.
  // A directory this process cannot write to does not stop an open: locks
  // found there are still honoured.
  void SetLockDirectory(std::string directory);
  std::string LockDirectory() const;

 private:
  HANDLE Register(std::shared_ptr<posix::Object> object);
  std::shared_ptr<posix::Object> Find(HANDLE handle);
  std::shared_ptr<posix::Port> FindPort(HANDLE handle);
  std::shared_ptr<posix::Event> FindEvent(HANDLE handle);
  DWORD WaitEvent(posix::Event& event, DWORD milliseconds);

  mutable std::mutex registryMutex_;
  std::string lockDirectory_ = "/var/lock";
  std::uintptr_t nextId_ = 0x1000;
  std::unordered_map<std::uintptr_t, std::shared_ptr<posix::Object>> objects_;
};

}  // namespace comm

#endif
