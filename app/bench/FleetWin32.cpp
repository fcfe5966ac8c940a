// The coordinator's host on Windows: each port's run is a ks-idu-cli.exe
// started with CreateProcess on a console of its own without a window (Ctrl+C
// reaches the coordinator only, which stops each run once, by closing the
// pipe that is the run's standard input). Every run is in the coordinator's
// job, which ends it when the coordinator ends, however that happens, and
// inherits its three pipes and NUL only. A thread per pipe reads the runs'
// lines and the system's wait pool reports each run's end; the main thread
// waits for all of that together with Ctrl+C, the port watch and the keys.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "Fleet.h"
#include "PortWatch.h"
#include "Ports.h"
#include "Signals.h"
#include "Unicode.h"

namespace console::fleet {

namespace {

constexpr std::size_t kLineLimit = 65536;
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
constexpr DWORD ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004;
#endif

// What the reader threads hand to the main thread.
struct Message {
  enum class Kind { Event, Error, EventsEnd, ErrorsEnd, Exited } kind;
  std::size_t run;
  std::string line;
};

class Inbox {
 public:
  Inbox() : wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
  ~Inbox() { CloseHandle(wake_); }
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  void Put(Message message) {
    {
      std::lock_guard lock(mutex_);
      messages_.push_back(std::move(message));
    }
    SetEvent(wake_);
  }
  void Wake() { SetEvent(wake_); }
  std::deque<Message> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(messages_, {});
  }
  HANDLE Handle() const { return wake_; }

 private:
  HANDLE wake_;
  std::mutex mutex_;
  std::deque<Message> messages_;
};

void ReadPipe(HANDLE pipe, std::size_t run, bool events, Inbox& inbox) {
  std::string buffer;
  char chunk[4096];
  DWORD n = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &n, nullptr) && n > 0) {
    buffer.append(chunk, n);
    std::size_t from = 0;
    for (std::size_t nl; (nl = buffer.find('\n', from)) != std::string::npos; from = nl + 1) {
      std::string line = buffer.substr(from, nl - from);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      inbox.Put({events ? Message::Kind::Event : Message::Kind::Error, run, std::move(line)});
    }
    buffer.erase(0, from);
    if (buffer.size() > kLineLimit) buffer.clear();
  }
  if (!buffer.empty()) {
    inbox.Put({events ? Message::Kind::Event : Message::Kind::Error, run, std::move(buffer)});
  }
  CloseHandle(pipe);
  inbox.Put({events ? Message::Kind::EventsEnd : Message::Kind::ErrorsEnd, run, {}});
}

// Tells the main thread that a run's process has ended; the wait pool calls
// it once. Held by address until the wait is unregistered.
struct ExitWatch {
  Inbox* inbox = nullptr;
  std::size_t run = 0;
  HANDLE wait = nullptr;
};

VOID CALLBACK ProcessEnded(PVOID context, BOOLEAN /*timedOut*/) {
  const auto* watch = static_cast<ExitWatch*>(context);
  watch->inbox->Put({Message::Kind::Exited, watch->run, {}});
}

struct Child {
  HANDLE process = nullptr;
  HANDLE hold = nullptr;  // the write end of its standard input
  bool eventsOpen = true;
  bool errorsOpen = true;
  bool exited = false;
  std::unique_ptr<ExitWatch> exitWatch;
  std::thread eventsReader;
  std::thread errorsReader;
};

void CloseHandleOf(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = nullptr;
}

// Wide: the program may sit in a folder whose name the ANSI code page cannot
// hold (a user's Downloads in Cyrillic, say). A path longer than the buffer
// gets a larger one.
std::string SelfProgram() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return "ks-idu-cli.exe";
    if (n < path.size()) return unicode::Narrow(std::wstring_view(path.data(), n));
    if (path.size() >= 32768) return "ks-idu-cli.exe";
    path.resize(path.size() * 2);
  }
}

// One argument as the C runtime's command-line parser reads it back.
std::string Quote(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

std::string LastErrorText() {
  const DWORD code = GetLastError();
  const std::string said = unicode::SystemErrorText(code);
  return "Windows error " + std::to_string(code) + (said.empty() ? "" : ": " + said);
}

// Pipes with the child's end inheritable, the coordinator's not. Each child
// is given its own ends by name (the handle list below), so neither another
// run's ends nor any other inheritable handle of the coordinator's reaches it.
bool MakePipe(HANDLE& read, HANDLE& write, bool childReads) {
  if (!CreatePipe(&read, &write, nullptr, 0)) return false;
  SetHandleInformation(childReads ? read : write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return true;
}

// The job every run goes into: a run that hangs (a driver stuck in close, a
// crash dialog on its hidden console) would otherwise keep its port open
// unseen after the coordinator has gone. Closing the job's one handle, which
// Windows does when the coordinator ends in any way, ends every run in it; a
// run that crashes ends at once instead of waiting for a dialog.
class RunJob {
 public:
  RunJob() : job_(CreateJobObjectW(nullptr, nullptr)) {
    if (job_ == nullptr) {
      why_ = LastErrorText();
      return;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      why_ = LastErrorText();
      CloseHandleOf(job_);
    }
  }
  ~RunJob() { CloseHandleOf(job_); }
  RunJob(const RunJob&) = delete;
  RunJob& operator=(const RunJob&) = delete;

  // Puts a process that has not run yet in the job. False, with the reason,
  // where the system refuses (a coordinator that is itself in a job, on a
  // Windows before 8, which knows no nested jobs).
  bool Take(HANDLE process, std::string& why) {
    if (job_ == nullptr) {
      why = why_;
      return false;
    }
    if (AssignProcessToJobObject(job_, process)) return true;
    why = LastErrorText();
    return false;
  }

 private:
  HANDLE job_;
  std::string why_;
};

// The attribute list that limits what a child inherits to the handles named.
class InheritOnly {
 public:
  explicit InheritOnly(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list);
      return;
    }
    list_ = list;
  }
  ~InheritOnly() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;

  // Null when the list could not be made (GetLastError says why).
  LPPROC_THREAD_ATTRIBUTE_LIST List() const { return list_; }

 private:
  std::vector<HANDLE> handles_;  // the list points into it
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Starts the run's program suspended, puts it in the job, and lets it run
// only then, so that it never runs outside the job (unless the system
// refuses the job: then outsideJob says why, and it runs all the same).
bool Spawn(Fleet& fleet, std::size_t run, const std::string& program, Inbox& inbox, RunJob& job,
           Child& child, std::string& why, std::string& outsideJob) {
  HANDLE eventsRead = nullptr, eventsWrite = nullptr;
  HANDLE errorsRead = nullptr, errorsWrite = nullptr;
  HANDLE inputRead = nullptr, inputWrite = nullptr;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  auto closeAll = [&] {
    for (HANDLE* h :
         {&eventsRead, &eventsWrite, &errorsRead, &errorsWrite, &inputRead, &inputWrite, &nul}) {
      CloseHandleOf(*h);
    }
  };
  if (nul == INVALID_HANDLE_VALUE || !MakePipe(eventsRead, eventsWrite, false) ||
      !MakePipe(errorsRead, errorsWrite, false) || !MakePipe(inputRead, inputWrite, true)) {
    why = "no pipe: " + LastErrorText();
    closeAll();
    return false;
  }
  std::string commandLine = Quote(program);
  const auto value = static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(eventsWrite));
  for (const std::string& a : fleet.Arguments(run, std::to_string(value))) {
    commandLine += ' ';
    commandLine += Quote(a);
  }
  const InheritOnly handles({inputRead, nul, errorsWrite, eventsWrite});
  if (handles.List() == nullptr) {
    why = "cannot limit what it inherits: " + LastErrorText();
    closeAll();
    return false;
  }
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = inputRead;
  startup.StartupInfo.hStdOutput = nul;
  startup.StartupInfo.hStdError = errorsWrite;
  startup.lpAttributeList = handles.List();
  PROCESS_INFORMATION info{};
  const std::wstring wideProgram = unicode::Widen(program);
  std::wstring wideCommandLine = unicode::Widen(commandLine);
  const BOOL started =
      CreateProcessW(wideProgram.c_str(), wideCommandLine.data(), nullptr, nullptr, TRUE,
                     CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                     nullptr, &startup.StartupInfo, &info);
  if (!started) {
    why = program + ": " + LastErrorText();
    closeAll();
    return false;
  }
  job.Take(info.hProcess, outsideJob);
  auto exitWatch = std::make_unique<ExitWatch>(ExitWatch{&inbox, run, nullptr});
  // The end of the process is reported by the wait pool, so that the main
  // thread waits for any number of runs at once and never for one alone.
  if (!RegisterWaitForSingleObject(&exitWatch->wait, info.hProcess, &ProcessEnded, exitWatch.get(),
                                   INFINITE, WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD) ||
      ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
    why = "cannot start its process: " + LastErrorText();
    if (exitWatch->wait != nullptr) UnregisterWaitEx(exitWatch->wait, INVALID_HANDLE_VALUE);
    TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    closeAll();
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandleOf(eventsWrite);
  CloseHandleOf(errorsWrite);
  CloseHandleOf(inputRead);
  CloseHandleOf(nul);
  child.process = info.hProcess;
  child.hold = inputWrite;
  child.exitWatch = std::move(exitWatch);
  child.eventsReader = std::thread(ReadPipe, eventsRead, run, true, std::ref(inbox));
  child.errorsReader = std::thread(ReadPipe, errorsRead, run, false, std::ref(inbox));
  return true;
}

}  // namespace

int RunFleet(const app::TCommandLine& options, std::ostream& out, std::ostream& err,
             bool outIsTerminal) {
  const Clock::time_point start = Clock::now();
  Settings settings;
  settings.watch = options.watch;
  settings.traceFile = options.traceFile;
  settings.reportFile = options.reportFile;
  const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  // The table needs the console to take cursor movements; where it does not
  // (older Windows), the lines of a pipe are shown instead.
  if (outIsTerminal && GetConsoleMode(console, &mode) &&
      SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    settings.terminal = true;
    CONSOLE_SCREEN_BUFFER_INFO screen{};
    if (GetConsoleScreenBufferInfo(console, &screen)) {
      settings.width = screen.srWindow.Right - screen.srWindow.Left + 1;
    }
  }
  Fleet fleet(settings, out, start, &err);
  const std::string program = SelfProgram();
  // No box for a crash or a missing disk, here or in the runs (which inherit
  // the mode): a dialog on a hidden console would hold a run, and its port,
  // until someone found it.
  const UINT errorMode = SetErrorMode(0);
  SetErrorMode(errorMode | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  RunJob job;
  bool toldOutsideJob = false;

  Inbox inbox;
  std::atomic<bool> interrupt{false};
  SignalWatcher signals([&] {
    interrupt.store(true);
    inbox.Wake();
  });

  std::optional<ports::PortWatch> watch;
  if (options.watch) watch.emplace(options.ports);
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD inputMode = 0;
  const bool readKeys = options.watch && GetConsoleMode(input, &inputMode);

  auto list = [&](Clock::time_point now) {
    ListPorts(fleet, watch ? &*watch : nullptr, options.ports, now);
  };
  list(start);
  Clock::time_point nextList = watch ? start + watch->PollInterval() : Clock::time_point::max();

  std::map<std::size_t, Child> children;
  for (;;) {
    Clock::time_point now = Clock::now();
    for (const std::size_t run : fleet.TakeDueStarts(now)) {
      Child child;
      std::string why;
      std::string outsideJob;
      if (Spawn(fleet, run, program, inbox, job, child, why, outsideJob)) {
        children.emplace(run, std::move(child));
      } else {
        fleet.StartFailed(run, why, now);
      }
      // Every run meets the same refusal: said once.
      if (!outsideJob.empty() && !toldOutsideJob) {
        toldOutsideJob = true;
        fleet.Notice("Windows gives the runs no job of their own (" + outsideJob +
                         "): they run without one, and if this program is killed, a run that "
                         "hangs may keep its port open.",
                     now);
      }
    }
    if (fleet.Over()) break;

    std::vector<HANDLE> handles = {inbox.Handle()};
    const std::size_t watchAt = handles.size();
    if (watch && watch->Handle() != nullptr) handles.push_back(watch->Handle());
    const std::size_t keysAt = handles.size();
    if (readKeys) handles.push_back(input);
    const Clock::time_point deadline = std::min(fleet.NextWake(now), nextList);
    DWORD timeout = INFINITE;
    if (deadline != Clock::time_point::max()) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
      timeout = static_cast<DWORD>(std::clamp<long long>(ms, 0, 60000));
    }
    const DWORD woke =
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout);
    now = Clock::now();

    if (interrupt.load() && !fleet.Interrupted()) {
      fleet.Interrupt(now);
      for (auto& [run, child] : children) CloseHandleOf(child.hold);
    }
    for (Message& m : inbox.Take()) {
      const auto it = children.find(m.run);
      switch (m.kind) {
        case Message::Kind::Event:
          fleet.Event(m.run, m.line, now);
          break;
        case Message::Kind::Error:
          fleet.ErrorLine(m.run, m.line);
          break;
        case Message::Kind::EventsEnd:
          if (it != children.end()) it->second.eventsOpen = false;
          break;
        case Message::Kind::ErrorsEnd:
          if (it != children.end()) it->second.errorsOpen = false;
          break;
        case Message::Kind::Exited:
          if (it != children.end()) it->second.exited = true;
          break;
      }
    }
    for (auto it = children.begin(); it != children.end();) {
      Child& child = it->second;
      // Its process has ended and everything it wrote has been read (its
      // pipes end with it: no other process holds their write ends).
      if (!child.exited || child.eventsOpen || child.errorsOpen) {
        ++it;
        continue;
      }
      child.eventsReader.join();
      child.errorsReader.join();
      // The pool has called back already: this returns at once.
      UnregisterWaitEx(child.exitWatch->wait, INVALID_HANDLE_VALUE);
      DWORD code = 0;
      GetExitCodeProcess(child.process, &code);
      CloseHandleOf(child.process);
      CloseHandleOf(child.hold);
      // Above 255: an exception's code, the run crashed.
      if (code <= 255) {
        fleet.Exited(it->first, static_cast<int>(code), 0, now);
      } else {
        fleet.Exited(it->first, -1, static_cast<int>(code & 0x7fffffff), now);
      }
      it = children.erase(it);
    }
    if (watch) {
      const bool reported = watchAt < keysAt && woke == WAIT_OBJECT_0 + watchAt;
      if (reported) watch->Drain();
      if (reported || now >= nextList) {
        list(now);
        nextList = now + watch->PollInterval();
      }
    }
    if (readKeys && woke == WAIT_OBJECT_0 + keysAt) {
      DWORD count = 0;
      while (GetNumberOfConsoleInputEvents(input, &count) && count > 0) {
        INPUT_RECORD record{};
        DWORD read = 0;
        if (!ReadConsoleInputA(input, &record, 1, &read) || read == 0) break;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
          fleet.Key(record.Event.KeyEvent.uChar.AsciiChar, now);
        }
      }
    }
    fleet.Tick(now);
  }
  const int status = fleet.Finish(Clock::now());
  if (settings.terminal) SetConsoleMode(console, mode);
  SetErrorMode(errorMode);
  return status;
}

}  // namespace console::fleet
