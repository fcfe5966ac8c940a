// The coordinator's host on Windows: each port's run is a ks-idu-cli.exe
// started with CreateProcess on a console of its own without a window (Ctrl+C
// reaches the coordinator only, which stops each run once, by closing the
// pipe that is the run's standard input). A thread per pipe reads the runs'
// lines; the main thread waits for them, Ctrl+C, the port watch and the keys.
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
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

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
  enum class Kind { Event, Error, EventsEnd, ErrorsEnd } kind;
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

struct Child {
  HANDLE process = nullptr;
  HANDLE hold = nullptr;  // the write end of its standard input
  bool eventsOpen = true;
  bool errorsOpen = true;
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

// Pipes with the child's end inheritable, the coordinator's not. Only this
// thread starts programs, so no other program inherits a child's ends.
bool MakePipe(HANDLE& read, HANDLE& write, bool childReads) {
  if (!CreatePipe(&read, &write, nullptr, 0)) return false;
  SetHandleInformation(childReads ? read : write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return true;
}

bool Spawn(Fleet& fleet, std::size_t run, const std::string& program, Inbox& inbox, Child& child,
           std::string& why) {
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
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inputRead;
  startup.hStdOutput = nul;
  startup.hStdError = errorsWrite;
  PROCESS_INFORMATION info{};
  const std::wstring wideProgram = unicode::Widen(program);
  std::wstring wideCommandLine = unicode::Widen(commandLine);
  const BOOL started = CreateProcessW(wideProgram.c_str(), wideCommandLine.data(), nullptr, nullptr,
                                      TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
  if (!started) {
    why = program + ": " + LastErrorText();
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
  child.eventsReader = std::thread(ReadPipe, eventsRead, run, true, std::ref(inbox));
  child.errorsReader = std::thread(ReadPipe, errorsRead, run, false, std::ref(inbox));
  return true;
}

}  // namespace

int RunFleet(const app::TCommandLine& options, std::ostream& out, std::ostream& /*err*/,
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
  Fleet fleet(settings, out, start);
  const std::string program = SelfProgram();

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
      if (Spawn(fleet, run, program, inbox, child, why)) {
        children.emplace(run, std::move(child));
      } else {
        fleet.StartFailed(run, why, now);
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
      }
    }
    for (auto it = children.begin(); it != children.end();) {
      Child& child = it->second;
      if (child.eventsOpen || child.errorsOpen) {
        ++it;
        continue;
      }
      child.eventsReader.join();
      child.errorsReader.join();
      WaitForSingleObject(child.process, INFINITE);
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
  return status;
}

}  // namespace console::fleet
