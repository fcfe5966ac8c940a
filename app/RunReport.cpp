#include "RunReport.h"

#include "CommandLine.h"
#include "EmbeddedImage.h"
#include "JsonText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
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

std::unique_ptr<TRunReport> TRunReport::Open(const std::string& path, std::string& error) {
#ifdef _WIN32
  // Appending only (no FILE_WRITE_DATA): each write goes to the end of the
  // file as one, also when the runs of ks-idu-cli --all append at the same
  // time; the C runtime's _O_APPEND seeks and then writes, and two runs
  // could write over each other's records.
  const HANDLE file =
      CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot append to the report file '" + path + "': Windows error " +
            std::to_string(GetLastError());
    return nullptr;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    error = "cannot append to the report file '" + path + "'";
    return nullptr;
  }
#else
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot append to the report file '" + path + "': " + std::strerror(errno);
    return nullptr;
  }
#endif
  return std::unique_ptr<TRunReport>(new TRunReport(fd, path));
}

TRunReport::~TRunReport() {
#ifdef _WIN32
  ::_close(fd_);
#else
  ::close(fd_);
#endif
}

bool TRunReport::Append(std::string_view line) {
  std::string record(line);
  record += '\n';
#ifdef _WIN32
  const int written = ::_write(fd_, record.data(), static_cast<unsigned>(record.size()));
  return written == static_cast<int>(record.size()) && ::_commit(fd_) == 0;
#else
  ssize_t written;
  do {
    written = ::write(fd_, record.data(), record.size());
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(record.size()) && ::fsync(fd_) == 0;
#endif
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
  return report_.Append(RunReportLine(source_, start_, seconds, run, ending));
}

void RecordRuns(TMainPanel& panel, TRunReporter& reporter) {
  panel.OnRunStarted = [&reporter] { reporter.Started(); };
  panel.OnRunEnded = [&panel, &reporter](const TRunEnding& ending) {
    // A window has no one to tell of a record it could not write; the next
    // run tries again.
    reporter.Ended(panel.Run, ending);
  };
}

}  // namespace app
