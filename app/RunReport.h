// The record of every run, for a production line: one JSON object per press
// of Start, appended to a file as one line (JSON Lines), each written in one
// write and synced to the disk, so that a crash never leaves half a record.
// A record that cannot be written is kept and written with the next one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Main.h"

namespace app {

// What the record says of the program and the image it carries.
struct TReportSource {
  std::string program;
  std::string version;
  std::string imageSha256;
  bool imageStandIn = false;
};

// The program and the image this build carries.
TReportSource ImageReportSource(std::string_view program);

// One run's record as a single line of JSON, without the line end.
std::string RunReportLine(const TReportSource& source, std::chrono::system_clock::time_point start,
                          double durationSeconds, const TRunRecord& run, const TRunEnding& ending);

// "2026-12-08T22:37:54.123Z".
std::string Iso8601Utc(std::chrono::system_clock::time_point time);

// The record file. It is opened for each record and closed again, sharing
// read, write and delete, so that the file can be read, copied, renamed or
// removed between records (a spreadsheet beside it, a rotation at midnight),
// and several programs can append to one file.
class TRunReport {
 public:
  // Checks that path can be appended to, creating the file. A path that can
  // never be written (a missing folder, no permission) is refused: null, with
  // the reason in error. A file that another program holds now passes: the
  // upgrade matters more than its record, which is written once the file is
  // let go.
  static std::unique_ptr<TRunReport> Open(const std::string& path, std::string& error);
  // The record file at path, unchecked: for a program that writes the
  // records others could not (a coordinator outliving its runs).
  static std::unique_ptr<TRunReport> Unchecked(const std::string& path);
  TRunReport(const TRunReport&) = delete;
  TRunReport& operator=(const TRunReport&) = delete;

  // Appends the records kept from earlier attempts, then line, each with a
  // line end, in one write, and syncs. A file held by another program is
  // tried again for RetryFor(). False when the records could not be written:
  // they are kept for the next Append or Flush, and Error() says why.
  bool Append(std::string_view line);
  // Writes the kept records, as Append does. True when none is left.
  bool Flush();
  // Adds line to the kept records, unwritten.
  void Keep(std::string_view line) { kept_.emplace_back(line); }
  // The records not yet written.
  const std::vector<std::string>& Kept() const { return kept_; }
  // Why the last write failed, in a sentence that names the file:
  // "the report file 'runs.jsonl' is held by another program (...)".
  const std::string& Error() const { return error_; }
  const std::string& Path() const { return path_; }

  std::chrono::milliseconds RetryFor() const { return retryFor_; }
  void SetRetryFor(std::chrono::milliseconds limit) { retryFor_ = limit; }

 private:
  explicit TRunReport(std::string path) : path_(std::move(path)) {}
  std::string path_;
  std::vector<std::string> kept_;
  std::string error_;
  // A write that ended half way: the next one begins on a line of its own.
  bool brokenLine_ = false;
  std::chrono::milliseconds retryFor_{3000};
};

// Writes the records of a window's runs: told when Start begins a run and
// how it ended.
class TRunReporter {
 public:
  TRunReporter(TRunReport& report, TReportSource source)
      : report_(report), source_(std::move(source)) {}
  void Started();
  // False when the record could not be written (it is kept, see
  // TRunReport::Append).
  bool Ended(const TRunRecord& run, const TRunEnding& ending);
  bool Running() const { return running_; }
  TRunReport& Report() { return report_; }

 private:
  TRunReport& report_;
  TReportSource source_;
  bool running_ = false;
  std::chrono::system_clock::time_point start_{};
  std::chrono::steady_clock::time_point clock_{};
};

// What a window tells its user when a record could not be written: that it
// is kept, and why.
std::string KeptRecordText(const TRunReport& report);
// What a program tells its user when it ends with records it could not
// write, and why.
std::string LostRecordsText(const TRunReport& report);

// Writes a record of every run of the window through reporter; tell shows
// the user a record that could not be written (KeptRecordText), after the
// run's own box.
void RecordRuns(TMainPanel& panel, TRunReporter& reporter,
                std::function<void(const std::string& text)> tell);

}  // namespace app
