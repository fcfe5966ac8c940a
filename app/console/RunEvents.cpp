#include "RunEvents.h"

#include <cerrno>
#include <charconv>
#include <thread>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include "Signals.h"

namespace console {

namespace {

// Texts travel on one line: a line break or a tab inside would split the
// event or its fields.
std::string OneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return line;
}

bool ParseInt(std::string_view text, long long& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// When the coordinator lets go of the run's standard input (it asks the run
// to stop, or it is gone), the run stops as on Ctrl+C.
void StopWhenInputCloses() {
#ifdef _WIN32
  std::thread([] {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[64];
    DWORD read = 0;
    while (in != nullptr && in != INVALID_HANDLE_VALUE &&
           ReadFile(in, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    }
    RequestInterrupt();
  }).detach();
#else
  // The thread must not take the signals that the run's watcher waits for.
  sigset_t signals;
  sigset_t previous;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  std::thread([] {
    char buffer[64];
    for (;;) {
      const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
      if (n > 0 || (n < 0 && errno == EINTR)) continue;
      break;
    }
    RequestInterrupt();
  }).detach();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#endif
}

}  // namespace

// ---- Reading ------------------------------------------------------------------------

RunEvent ParseRunEvent(std::string_view line) {
  RunEvent event;
  const auto space = line.find(' ');
  const std::string_view word = line.substr(0, space);
  const std::string_view rest =
      space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
  if (word == "status") {
    event.kind = RunEvent::Kind::Status;
    event.text = rest;
  } else if (word == "box") {
    const auto tab = rest.find('\t');
    if (tab == std::string_view::npos) return event;
    event.kind = RunEvent::Kind::Box;
    event.caption = rest.substr(0, tab);
    event.text = rest.substr(tab + 1);
  } else if (word == "record") {
    // The record is JSON on one line, whose tabs are escaped: the first tab
    // ends the reason.
    const auto tab = rest.find('\t');
    if (tab == std::string_view::npos || tab + 1 == rest.size()) return event;
    event.kind = RunEvent::Kind::Record;
    event.text = rest.substr(tab + 1);
    event.caption = rest.substr(0, tab);
  } else if (word == "resend" && rest.empty()) {
    event.kind = RunEvent::Kind::Resend;
  } else if (word == "end") {
    long long code = 0;
    if (!ParseInt(rest, code) || code < 0 || code > 255) return event;
    event.kind = RunEvent::Kind::End;
    event.code = static_cast<int>(code);
  } else if (word == "progress") {
    long long numbers[3] = {};
    std::string_view left = rest;
    for (long long& n : numbers) {
      const auto gap = left.find(' ');
      if (!ParseInt(left.substr(0, gap), n) || n < INT32_MIN || n > INT32_MAX) return event;
      left = gap == std::string_view::npos ? std::string_view() : left.substr(gap + 1);
    }
    event.kind = RunEvent::Kind::Progress;
    event.min = static_cast<std::int32_t>(numbers[0]);
    event.max = static_cast<std::int32_t>(numbers[1]);
    event.position = static_cast<std::int32_t>(numbers[2]);
  }
  return event;
}

// ---- Writing ------------------------------------------------------------------------

std::unique_ptr<RunEventWriter> RunEventWriter::Open(const std::string& descriptor,
                                                     std::string& error) {
  long long value = -1;
  if (!ParseInt(descriptor, value) || value < 0) {
    error = "option '--run-events' needs a descriptor number, not '" + descriptor + "'";
    return nullptr;
  }
#ifdef _WIN32
  const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
  if (GetFileType(handle) == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) {
    error = "option '--run-events': no handle " + descriptor;
    return nullptr;
  }
#else
  const int fd = static_cast<int>(value);
  if (value > INT32_MAX || fcntl(fd, F_GETFD) == -1) {
    error = "option '--run-events': no descriptor " + descriptor;
    return nullptr;
  }
  // The run starts no program, but nothing else is to inherit the channel.
  fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
  return std::unique_ptr<RunEventWriter>(new RunEventWriter(static_cast<std::intptr_t>(value)));
}

RunEventWriter::~RunEventWriter() {
#ifdef _WIN32
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
#else
  close(static_cast<int>(handle_));
#endif
}

void RunEventWriter::Line(std::string line) {
  line += '\n';
  std::lock_guard lock(mutex_);
#ifdef _WIN32
  const DWORD saved = ::GetLastError();
  DWORD written = 0;
  ::WriteFile(reinterpret_cast<HANDLE>(handle_), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
  ::SetLastError(saved);
#else
  const int saved = errno;
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = write(static_cast<int>(handle_), data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  errno = saved;
#endif
}

void RunEventWriter::Status(const std::string& text) {
  if (!text.empty()) Line("status " + OneLine(text));
}

void RunEventWriter::Box(const std::string& caption, const std::string& text) {
  Line("box " + OneLine(caption) + "\t" + OneLine(text));
}

void RunEventWriter::Progress(std::int32_t min, std::int32_t max, std::int32_t position) {
  const long long span = static_cast<long long>(max) - min;
  const int percent = position <= min ? -1
                      : span > 0
                          ? static_cast<int>((static_cast<long long>(position) - min) * 100 / span)
                          : 100;
  {
    std::lock_guard lock(mutex_);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
  }
  Line("progress " + std::to_string(min) + " " + std::to_string(max) + " " +
       std::to_string(position));
}

void RunEventWriter::UnwrittenRecord(const std::string& why, const std::string& record) {
  Line("record " + OneLine(why) + "\t" + OneLine(record));
}

void RunEventWriter::Resend() {
  Line("resend");
}

void RunEventWriter::End(int code) {
  Line("end " + std::to_string(code));
}

// ---- The serial layer -----------------------------------------------------------------

HANDLE ResendCountingOs::CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode,
                                     DWORD creationDisposition, DWORD flagsAndAttributes) {
  {
    std::lock_guard lock(mutex_);
    lastLine_.clear();
  }
  return inner_.CreateFileA(name, desiredAccess, shareMode, creationDisposition,
                            flagsAndAttributes);
}

BOOL ResendCountingOs::WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
                                 OVERLAPPED* overlapped) {
  const char* data = static_cast<const char*>(buffer);
  // Programming lines and commands start with ':'; fillers and the identify
  // frame do not, and do not part a line from its resend.
  if (data != nullptr && count > 0 && data[0] == ':') {
    bool again = false;
    {
      std::lock_guard lock(mutex_);
      const std::string_view line(data, count);
      again = line == lastLine_;
      lastLine_ = line;
    }
    if (again) events_.Resend();
  }
  return inner_.WriteFile(file, buffer, count, written, overlapped);
}

// ---- The link -----------------------------------------------------------------------

bool RunEventLink::Open(const std::string& descriptor, std::string& error, bool watchInput) {
  if (descriptor.empty()) return true;
  writer_ = RunEventWriter::Open(descriptor, error);
  if (!writer_) return false;
  if (watchInput) StopWhenInputCloses();
  return true;
}

comm::CommOs& RunEventLink::Os(comm::CommOs& inner) {
  if (!writer_) return inner;
  os_.emplace(inner, *writer_);
  return *os_;
}

void RunEventLink::End(int code) {
  if (writer_) writer_->End(code);
}

}  // namespace console
