#include "RunReport.h"

#include "CommandLine.h"
#include "EmbeddedImage.h"
#include "JsonText.h"
#include "Trace.h"
#include "Unicode.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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
#include <unistd.h>
#endif

namespace app {

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  char pair[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    out += pair;
  }
  return out;
}

}  // namespace

TReportSource ImageReportSource(std::string_view program) {
  return {std::string(program), std::string(ProgramVersion()),
          std::string(resources::EmbeddedImageSha256()), resources::EmbeddedImageIsStandIn()};
}

std::string Iso8601Utc(std::chrono::system_clock::time_point time) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms.count() % 1000));
  return text;
}

std::string RunReportLine(const TReportSource& source, std::chrono::system_clock::time_point start,
                          double durationSeconds, const TRunRecord& run, const TRunEnding& ending) {
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.3f", durationSeconds);
  std::string j = "{";
  j += "\"start\":" + JsonString(Iso8601Utc(start));
  j += ",\"program\":" + JsonString(source.program);
  j += ",\"version\":" + JsonString(source.version);
  j += ",\"image_sha256\":" + JsonString(source.imageSha256);
  j += std::string(",\"image_standin\":") + (source.imageStandIn ? "true" : "false");
  j += ",\"port\":" + (run.port.empty() ? std::string("null") : JsonString(run.port));
  j += ",\"identify_reply\":" +
       (run.identifyReply.empty() ? std::string("null") : JsonString(Hex(run.identifyReply)));
  j += ",\"outcome\":" + JsonString(ending.outcome);
  j += ",\"message\":" + JsonString(ending.message);
  j += ",\"exit_status\":" + std::to_string(ending.exitStatus);
  j += std::string(",\"duration_s\":") + duration;
  j += ",\"lines_sent\":" + std::to_string(run.linesSent);
  j += ",\"resends\":" + std::to_string(run.resends);
  j += ",\"fillers\":" + std::to_string(run.fillers);
  j += ",\"timeouts\":" + std::to_string(run.timeouts);
  j += ",\"blocks\":" + std::to_string(run.blocksInImage);
  j += ",\"blocks_acknowledged\":" + std::to_string(run.blocksAcknowledged);
  j += ",\"closing_acknowledged\":" + std::to_string(run.closingAcknowledged);
  if (run.lastAcknowledgedAddress < 0) {
    j += ",\"last_acknowledged_address\":null";
  } else {
    char address[16];
    std::snprintf(address, sizeof address, "0x%04X",
                  static_cast<unsigned>(run.lastAcknowledgedAddress));
    j += ",\"last_acknowledged_address\":" + JsonString(address);
  }
  if (const std::optional<TReplyTimes> times = ReplyTimes(run.replyMs)) {
    char median[32];
    std::snprintf(median, sizeof median, "%.1f", times->medianMs);
    j += std::string(",\"reply_ms_median\":") + median;
    j += ",\"reply_ms_p99\":" + std::to_string(times->p99Ms);
  } else {
    j += ",\"reply_ms_median\":null,\"reply_ms_p99\":null";
  }
  j += ",\"latency_timer_ms\":" +
       (run.latencyTimerMs ? std::to_string(*run.latencyTimerMs) : std::string("null"));
  j += ",\"latency_advice\":" +
       (run.latencyAdvice.empty() ? std::string("null") : JsonString(run.latencyAdvice));
  j += ",\"station\":" + JsonString(StationStateText(run));
  j += ",\"passed_over\":[";
  for (std::size_t i = 0; i < run.passedOver.size(); ++i) {
    if (i > 0) j += ",";
    j += "{\"port\":" + JsonString(run.passedOver[i].port) +
         ",\"reason\":" + JsonString(run.passedOver[i].reason) + "}";
  }
  j += "],\"left_out\":[";
  for (std::size_t i = 0; i < run.leftOut.size(); ++i) {
    if (i > 0) j += ",";
    j += JsonString(run.leftOut[i]);
  }
  j += "]}";
  return j;
}

namespace {

// One attempt at the file.
struct Attempt {
  static Attempt Written() {
    Attempt attempt;
    attempt.written = true;
    return attempt;
  }
  bool written = false;
  // Another program holds the file (or a lock on it): worth trying again.
  bool held = false;
  // Some of the bytes went in, not all.
  bool partial = false;
  std::string why;
};

#ifdef _WIN32

std::string SystemError(DWORD code) {
  const std::string said = unicode::SystemErrorText(code);
  return "Windows error " + std::to_string(code) + (said.empty() ? "" : ": " + said);
}

Attempt Failed(DWORD code) {
  Attempt attempt;
  attempt.held = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
  attempt.why = SystemError(code);
  return attempt;
}

// Appending only (no FILE_WRITE_DATA): each write goes to the end of the
// file as one, also when the runs of ks-idu-cli --all append at the same
// time. Sharing delete as well, so that the file can be renamed or removed
// while it is open; the next record then makes a new one.
HANDLE OpenForAppend(const std::string& path) {
  return CreateFileW(unicode::Widen(path).c_str(), FILE_APPEND_DATA,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

Attempt Probe(const std::string& path) {
  const HANDLE file = OpenForAppend(path);
  if (file == INVALID_HANDLE_VALUE) return Failed(GetLastError());
  CloseHandle(file);
  return Attempt::Written();
}

Attempt AppendBytes(const std::string& path, std::string_view bytes) {
  const HANDLE file = OpenForAppend(path);
  if (file == INVALID_HANDLE_VALUE) return Failed(GetLastError());
  DWORD written = 0;
  const BOOL wrote =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  const DWORD code = wrote ? ERROR_WRITE_FAULT : GetLastError();
  // Once the bytes are in, the record is written: a failed sync does not
  // make writing it again any better.
  if (written == bytes.size()) FlushFileBuffers(file);
  CloseHandle(file);
  if (written == bytes.size()) return Attempt::Written();
  Attempt attempt = Failed(code);
  attempt.partial = written > 0;
  return attempt;
}

#else

// What a file that is busy for a moment gives (a mandatory lock, a file
// system that says so); nothing normally holds a file on this system.
bool Held(int code) {
  return code == EAGAIN || code == EWOULDBLOCK || code == EBUSY;
}

Attempt Failed(int code) {
  Attempt attempt;
  attempt.held = Held(code);
  attempt.why = std::strerror(code);
  return attempt;
}

int OpenForAppend(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

Attempt Probe(const std::string& path) {
  const int fd = OpenForAppend(path);
  if (fd < 0) return Failed(errno);
  ::close(fd);
  return Attempt::Written();
}

Attempt AppendBytes(const std::string& path, std::string_view bytes) {
  const int fd = OpenForAppend(path);
  if (fd < 0) return Failed(errno);
  ssize_t written;
  do {
    written = ::write(fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  const int code = written < 0 ? errno : EIO;
  // Once the bytes are in, the record is written: a failed sync does not
  // make writing it again any better.
  if (written == static_cast<ssize_t>(bytes.size())) ::fsync(fd);
  ::close(fd);
  if (written == static_cast<ssize_t>(bytes.size())) return Attempt::Written();
  Attempt attempt = Failed(code);
  attempt.partial = written > 0;
  return attempt;
}

#endif

std::string Refusal(const std::string& path, const Attempt& attempt) {
  if (attempt.held) {
    return "the report file '" + path + "' is held by another program (" + attempt.why + ")";
  }
  return "cannot append to the report file '" + path + "': " + attempt.why;
}

}  // namespace

std::unique_ptr<TRunReport> TRunReport::Open(const std::string& path, std::string& error) {
  const Attempt attempt = Probe(path);
  if (!attempt.written && !attempt.held) {
    error = Refusal(path, attempt);
    return nullptr;
  }
  return std::unique_ptr<TRunReport>(new TRunReport(path));
}

std::unique_ptr<TRunReport> TRunReport::Unchecked(const std::string& path) {
  return std::unique_ptr<TRunReport>(new TRunReport(path));
}

bool TRunReport::Append(std::string_view line) {
  kept_.emplace_back(line);
  return Flush();
}

bool TRunReport::Flush() {
  if (kept_.empty()) return true;
  const auto deadline = std::chrono::steady_clock::now() + retryFor_;
  std::chrono::milliseconds pause{50};
  for (;;) {
    std::string bytes = brokenLine_ ? "\n" : "";
    for (const std::string& record : kept_) bytes += record + '\n';
    const Attempt attempt = AppendBytes(path_, bytes);
    if (attempt.written) {
      kept_.clear();
      brokenLine_ = false;
      error_.clear();
      return true;
    }
    brokenLine_ = brokenLine_ || attempt.partial;
    error_ = Refusal(path_, attempt);
    const auto now = std::chrono::steady_clock::now();
    if (!attempt.held || now >= deadline) return false;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(500));
  }
}

std::string KeptRecordText(const TRunReport& report) {
  const std::size_t kept = report.Kept().size();
  std::string error = report.Error();
  if (!error.empty())
    error[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(error[0])));
  return (kept == 1 ? std::string("The record of this run could not be written yet.\n")
                    : "The records of the last " + std::to_string(kept) +
                          " runs could not be written yet.\n") +
         error + ".\n" + (kept == 1 ? "It is kept" : "They are kept") +
         " and written with the next run's record.";
}

std::string LostRecordsText(const TRunReport& report) {
  const std::size_t kept = report.Kept().size();
  return (kept == 1 ? std::string("the record of a run") : std::to_string(kept) + " records") +
         " could not be written: " + report.Error();
}

void TRunReporter::Started() {
  running_ = true;
  start_ = std::chrono::system_clock::now();
  clock_ = std::chrono::steady_clock::now();
}

bool TRunReporter::Ended(const TRunRecord& run, const TRunEnding& ending) {
  if (!running_) return true;
  running_ = false;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - clock_).count();
  if (report_.Append(RunReportLine(source_, start_, seconds, run, ending))) return true;
  TraceNote("record not written: " + report_.Error());
  return false;
}

void RecordRuns(TMainPanel& panel, TRunReporter& reporter,
                std::function<void(const std::string& text)> tell) {
  panel.OnRunStarted = [&reporter] { reporter.Started(); };
  panel.OnRunEnded = [&panel, &reporter, tell = std::move(tell)](const TRunEnding& ending) {
    if (!reporter.Ended(panel.Run, ending) && tell) tell(KeptRecordText(reporter.Report()));
  };
}

}  // namespace app
