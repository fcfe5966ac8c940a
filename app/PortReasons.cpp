#include "PortReasons.h"

#include "Main.h"

#include <filesystem>
#include <system_error>

namespace app {

std::string OpenFailureReason([[maybe_unused]] const comm::TThreadComm& comm) {
#ifndef _WIN32
  std::error_code error;
  if (!std::filesystem::exists(comm.Port(), error)) return "does not exist";
#endif
  return "cannot be opened";
}

std::string NoAnswerReason(std::uint32_t frames) {
  return "no valid answer to " + std::to_string(frames) + " identify frame" +
         (frames == 1 ? "" : "s");
}

std::string NoPortsReason(const std::vector<std::string>& leftOut) {
  std::string reason = "no serial ports found";
  if (leftOut.empty()) return reason;
  reason += " (";
  for (std::size_t i = 0; i < leftOut.size(); ++i) {
    if (i > 0) reason += i + 1 == leftOut.size() ? " and " : ", ";
    reason += leftOut[i];
  }
  reason += leftOut.size() == 1 ? " is" : " are";
  reason += " left out: the kernel writes its console there)";
  return reason;
}

std::vector<std::string> ScanReasonLines(const TRunRecord& run) {
  std::vector<std::string> lines;
  for (const TRunRecord::PassedOver& p : run.passedOver) lines.push_back(p.port + ": " + p.reason);
  if (lines.empty() && run.port.empty()) lines.push_back(NoPortsReason(run.leftOut));
  return lines;
}

}  // namespace app
