// The record of every run, for a production line: one JSON object per press
// of Start, appended to a file as one line (JSON Lines), each written in one
// write and synced to the disk, so that a crash never leaves half a record.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Main.h"

namespace app {

// What the record says of the program and the image it carries.
struct TReportSource {
  std::string program;
  std::string version;
  std::string imageSha256;
  bool imageStandIn = false;
};

// One run's record as a single line of JSON, without the line end.
std::string RunReportLine(const TReportSource& source, std::chrono::system_clock::time_point start,
                          double durationSeconds, const TRunRecord& run, const TRunEnding& ending);

// "2026-12-08T22:37:54.123Z".
std::string Iso8601Utc(std::chrono::system_clock::time_point time);

class TRunReport {
 public:
  // Opens path for appending, creating it; null, with the reason in error,
  // when it cannot.
  static std::unique_ptr<TRunReport> Open(const std::string& path, std::string& error);
  ~TRunReport();
  TRunReport(const TRunReport&) = delete;
  TRunReport& operator=(const TRunReport&) = delete;

  // Appends the line and a line end in one write, then syncs. False when
  // the record could not be written whole.
  bool Append(std::string_view line);
  const std::string& Path() const { return path_; }

 private:
  TRunReport(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

// Writes the records of a window's runs: told when Start begins a run and
// how it ended.
class TRunReporter {
 public:
  TRunReporter(TRunReport& report, TReportSource source)
      : report_(report), source_(std::move(source)) {}
  void Started();
  // False when the record could not be written.
  bool Ended(const TRunRecord& run, const TRunEnding& ending);
  bool Running() const { return running_; }

 private:
  TRunReport& report_;
  TReportSource source_;
  bool running_ = false;
  std::chrono::system_clock::time_point start_{};
  std::chrono::steady_clock::time_point clock_{};
};

// Writes a record of every run of the window through reporter.
void RecordRuns(TMainPanel& panel, TRunReporter& reporter);

}  // namespace app
