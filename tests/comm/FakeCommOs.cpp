#include "FakeCommOs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace comm::test {

namespace {
thread_local OsError lastError;

std::string Hex(DWORD v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(v));
  return buf;
}
}  // namespace

FakeCommOs::FakeCommOs() = default;
FakeCommOs::~FakeCommOs() = default;

FakeCommOs::Port& FakeCommOs::AddPort(const std::string& name) {
  std::lock_guard lock(mutex_);
  Port& p = ports_[name];
  p.dcb.DCBlength = sizeof(DCB);
  p.dcb.BaudRate = 9600;
  p.dcb.fBinary = 1;
  p.dcb.ByteSize = 8;
  return p;
}

void FakeCommOs::Occur(Port& port, DWORD events) {
  events &= port.mask;
  if (events == 0) return;
  if (port.waitMask != nullptr) {
    *port.waitMask = events;
    port.waitMask = nullptr;
    Signal(std::exchange(port.waitEvent, nullptr));
  } else {
    port.history |= events;
  }
}

void FakeCommOs::Receive(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  Port& p = ports_.at(name);
  DWORD events = EV_RXCHAR;
  for (auto b : bytes) {
    p.input.push_back(b);
    if (static_cast<char>(b) == p.dcb.EvtChar) events |= EV_RXFLAG;
  }
  Occur(p, events);
  changed_.notify_all();
}

void FakeCommOs::RaiseEvents(const std::string& name, DWORD events) {
  std::lock_guard lock(mutex_);
  Occur(ports_.at(name), events);
  changed_.notify_all();
}

void FakeCommOs::SetModemStatus(const std::string& name, DWORD status) {
  std::lock_guard lock(mutex_);
  ports_.at(name).modemStatus = status;
}

void FakeCommOs::SetFailure(const std::string& op, DWORD error, int native) {
  std::lock_guard lock(mutex_);
  if (error == 0) {
    failures_.erase(op);
  } else {
    failures_[op] = OsError{error, native, 0, {}};
  }
}

void FakeCommOs::SetWritePending(int incompleteResults) {
  std::lock_guard lock(mutex_);
  writeIncomplete_ = incompleteResults;
}

std::vector<std::string> FakeCommOs::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::size_t FakeCommOs::CountCalls(const std::string& op) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(calls_.begin(), calls_.end(), [&](const auto& c) {
    return c.compare(0, op.size(), op) == 0 && (c.size() == op.size() || c[op.size()] == ' ');
  }));
}

void FakeCommOs::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

bool FakeCommOs::WaitPending(const std::string& name, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return ports_.at(name).waitMask != nullptr; });
}

std::size_t FakeCommOs::OpenHandles() const {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

BOOL FakeCommOs::Fail(DWORD error, int native) {
  lastError = OsError{error, native, 0, {}};
  return FALSE;
}

BOOL FakeCommOs::Succeed() {
  lastError = OsError{};
  return TRUE;
}

bool FakeCommOs::Failing(const std::string& op) {
  auto it = failures_.find(op);
  if (it == failures_.end()) return false;
  lastError = it->second;
  return true;
}

void FakeCommOs::Record(std::string call) { calls_.push_back(std::move(call)); }

FakeCommOs::Port* FakeCommOs::PortOf(HANDLE h) {
  auto it = handles_.find(h);
  if (it == handles_.end() || it->second->port.empty()) return nullptr;
  return &ports_.at(it->second->port);
}

FakeCommOs::Event* FakeCommOs::EventOf(HANDLE h) {
  auto it = handles_.find(h);
  if (it == handles_.end() || !it->second->port.empty()) return nullptr;
  return &it->second->event;
}

void FakeCommOs::Signal(HANDLE event) {
  if (Event* e = EventOf(event)) e->signaled = true;
  changed_.notify_all();
}

HANDLE FakeCommOs::CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode,
                               DWORD creationDisposition, DWORD flagsAndAttributes) {
  std::lock_guard lock(mutex_);
  Record("CreateFileA " + std::string(name) + " " + Hex(desiredAccess) + " " +
         std::to_string(shareMode) + " " + std::to_string(creationDisposition) + " " +
         Hex(flagsAndAttributes));
  if (Failing("CreateFileA")) return INVALID_HANDLE_VALUE;
  auto it = ports_.find(name);
  if (it == ports_.end()) {
    Fail(*name == '\0' ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (it->second.openError.code != 0) {
    lastError = it->second.openError;
    return INVALID_HANDLE_VALUE;
  }
  if (it->second.busy || it->second.open) {
    Fail(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  it->second.open = true;
  auto handle = std::make_unique<Handle>();
  handle->port = name;
  HANDLE h = handle.get();
  handles_[h] = std::move(handle);
  Succeed();
  return h;
}

DWORD FakeCommOs::GetFileType(HANDLE file) {
  std::lock_guard lock(mutex_);
  Record("GetFileType");
  Port* p = PortOf(file);
  if (p == nullptr) {
    Fail(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  Succeed();
  return p->fileType;
}

BOOL FakeCommOs::SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  std::lock_guard lock(mutex_);
  Record("SetupComm " + std::to_string(inQueue) + " " + std::to_string(outQueue));
  if (Failing("SetupComm")) return FALSE;
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  p->inQueueSize = inQueue;
  p->outQueueSize = outQueue;
  return Succeed();
}

BOOL FakeCommOs::GetCommState(HANDLE file, DCB* dcb) {
  std::lock_guard lock(mutex_);
  Record("GetCommState");
  if (Failing("GetCommState")) return FALSE;
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  *dcb = p->dcb;
  return Succeed();
}

BOOL FakeCommOs::SetCommState(HANDLE file, DCB* dcb) {
  std::lock_guard lock(mutex_);
  Record("SetCommState");
  if (Failing("SetCommState")) return FALSE;
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  p->dcb = *dcb;
  return Succeed();
}

BOOL FakeCommOs::SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  std::lock_guard lock(mutex_);
  Record("SetCommTimeouts");
  if (Failing("SetCommTimeouts")) return FALSE;
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  p->timeouts = *timeouts;
  return Succeed();
}

BOOL FakeCommOs::WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
                           OVERLAPPED* overlapped) {
  std::lock_guard lock(mutex_);
  Record("WriteFile " + std::to_string(count));
  if (Failing("WriteFile")) return FALSE;
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  p->output.insert(p->output.end(), bytes, bytes + count);
  if (p->peer) {
    std::vector<std::uint8_t> reply;
    p->peer(std::vector<std::uint8_t>(bytes, bytes + count), reply);
    if (!reply.empty()) {
      DWORD events = EV_RXCHAR;
      for (auto b : reply) {
        p->input.push_back(b);
        if (static_cast<char>(b) == p->dcb.EvtChar) events |= EV_RXFLAG;
      }
      Occur(*p, events);
      changed_.notify_all();
    }
  }
  if (writeIncomplete_ > 0 && overlapped != nullptr) {
    writeIncompleteLeft_ = writeIncomplete_;
    pendingWriteCount_ = count;
    return Fail(ERROR_IO_PENDING);
  }
  if (written != nullptr) *written = count;
  if (overlapped != nullptr) Signal(overlapped->hEvent);
  return Succeed();
}

BOOL FakeCommOs::ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read,
                          OVERLAPPED* overlapped) {
  std::lock_guard lock(mutex_);
  Record("ReadFile " + std::to_string(count));
  if (Failing("ReadFile")) return FALSE;
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  DWORD n = std::min<DWORD>(count, static_cast<DWORD>(p->input.size()));
  auto* out = static_cast<std::uint8_t*>(buffer);
  for (DWORD i = 0; i < n; ++i) {
    out[i] = p->input.front();
    p->input.pop_front();
  }
  if (read != nullptr) *read = n;
  if (overlapped != nullptr) Signal(overlapped->hEvent);
  return Succeed();
}

BOOL FakeCommOs::GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                                     BOOL wait) {
  std::lock_guard lock(mutex_);
  if (Port* p = PortOf(file);
      p != nullptr && overlapped != nullptr && overlapped == p->waitOverlapped) {
    // The end of a comm-event wait.
    Record("GetOverlappedResult event");
    if (transferred != nullptr) *transferred = 0;
    return p->waitError != 0 ? Fail(p->waitError) : Succeed();
  }
  Record(std::string("GetOverlappedResult ") + (wait ? "wait" : "nowait"));
  if (PortOf(file) == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (writeIncompleteLeft_ > 0) {
    --writeIncompleteLeft_;
    return Fail(ERROR_IO_INCOMPLETE);
  }
  if (Failing("GetOverlappedResult")) {
    if (transferred != nullptr) *transferred = pendingWriteCount_ / 2;
    return FALSE;
  }
  if (transferred != nullptr) *transferred = pendingWriteCount_;
  return Succeed();
}

BOOL FakeCommOs::ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  std::lock_guard lock(mutex_);
  Record("ClearCommError");
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (errors != nullptr) *errors = p->errorFlags;
  p->errorFlags = 0;
  if (stat != nullptr) {
    *stat = COMSTAT{};
    stat->cbInQue = static_cast<DWORD>(p->input.size());
    stat->cbOutQue = p->outQueue;
  }
  return Succeed();
}

BOOL FakeCommOs::PurgeComm(HANDLE file, DWORD flags) {
  std::lock_guard lock(mutex_);
  Record("PurgeComm " + Hex(flags));
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (flags & PURGE_RXCLEAR) p->input.clear();
  if (flags & PURGE_TXCLEAR) p->outQueue = 0;
  return Succeed();
}

BOOL FakeCommOs::GetCommModemStatus(HANDLE file, DWORD* modemStatus) {
  std::lock_guard lock(mutex_);
  Record("GetCommModemStatus");
  if (Failing("GetCommModemStatus")) return FALSE;
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  *modemStatus = p->modemStatus;
  return Succeed();
}

BOOL FakeCommOs::EscapeCommFunction(HANDLE file, DWORD function) {
  std::lock_guard lock(mutex_);
  Record("EscapeCommFunction " + std::to_string(function));
  if (Failing("EscapeCommFunction")) return FALSE;
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  switch (function) {
    case SETDTR: p->dtr = true; break;
    case CLRDTR: p->dtr = false; break;
    case SETRTS: p->rts = true; break;
    case CLRRTS: p->rts = false; break;
    default: break;
  }
  return Succeed();
}

BOOL FakeCommOs::SetCommMask(HANDLE file, DWORD mask) {
  std::lock_guard lock(mutex_);
  Record("SetCommMask " + Hex(mask));
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  p->mask = mask;
  p->history = 0;
  // A changed mask ends a pending wait with mask 0.
  if (p->waitMask != nullptr && !p->ignoresMaskChange) {
    *p->waitMask = 0;
    p->waitMask = nullptr;
    Signal(std::exchange(p->waitEvent, nullptr));
  }
  return Succeed();
}

BOOL FakeCommOs::WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped) {
  std::lock_guard lock(mutex_);
  Record("WaitCommEvent");
  if (Failing("WaitCommEvent")) return FALSE;
  Port* p = PortOf(file);
  if (p == nullptr) return Fail(ERROR_INVALID_HANDLE);
  p->waitOverlapped = overlapped;
  if (p->waitError != 0) {
    *mask = 0;
    Signal(overlapped->hEvent);
    return Fail(ERROR_IO_PENDING);
  }
  if (p->history != 0) {
    *mask = std::exchange(p->history, 0);
    Signal(overlapped->hEvent);
    return Succeed();
  }
  p->waitMask = mask;
  p->waitEvent = overlapped->hEvent;
  changed_.notify_all();
  return Fail(ERROR_IO_PENDING);
}

HANDLE FakeCommOs::CreateEventA(BOOL manualReset, BOOL initialState) {
  std::lock_guard lock(mutex_);
  Record("CreateEventA");
  if (Failing("CreateEventA")) return nullptr;
  auto handle = std::make_unique<Handle>();
  handle->event.manual = manualReset != FALSE;
  handle->event.signaled = initialState != FALSE;
  HANDLE h = handle.get();
  handles_[h] = std::move(handle);
  Succeed();
  return h;
}

DWORD FakeCommOs::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  std::unique_lock lock(mutex_);
  Record("WaitForSingleObject");
  if (EventOf(object) == nullptr) {
    Fail(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  auto ready = [&] {
    Event* e = EventOf(object);
    return e == nullptr || e->signaled;
  };
  if (milliseconds == INFINITE) {
    changed_.wait(lock, ready);
  } else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
    return WAIT_TIMEOUT;
  }
  Event* e = EventOf(object);
  if (e == nullptr) {
    Fail(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (!e->manual) e->signaled = false;
  return WAIT_OBJECT_0;
}

BOOL FakeCommOs::ResetEvent(HANDLE event) {
  std::lock_guard lock(mutex_);
  Record("ResetEvent");
  Event* e = EventOf(event);
  if (e == nullptr) return Fail(ERROR_INVALID_HANDLE);
  e->signaled = false;
  return Succeed();
}

BOOL FakeCommOs::CloseHandle(HANDLE object) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(object);
  if (it == handles_.end()) {
    Record("CloseHandle invalid");
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (!it->second->port.empty()) {
    Record("CloseHandle port " + it->second->port);
    Port& p = ports_.at(it->second->port);
    p.open = false;
    if (p.waitMask != nullptr) {
      p.waitMask = nullptr;
      Signal(std::exchange(p.waitEvent, nullptr));
    }
  } else {
    Record("CloseHandle event");
  }
  handles_.erase(it);
  changed_.notify_all();
  return Succeed();
}

DWORD FakeCommOs::GetLastError() { return lastError.code; }

OsError FakeCommOs::GetLastOsError() {
  // A double derived from this one may tell its own code: that one counts.
  const DWORD code = GetLastError();
  if (code != lastError.code) return OsError{code, 0, 0, {}};
  return lastError;
}

}  // namespace comm::test
