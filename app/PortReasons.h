// Why the scan passed a port over, in words for the person at the bench: the
// boxes say only that no station answered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Comm.h"

namespace app {

inline constexpr std::string_view kNoCarrierReason =
    "no carrier detect (is the station connected and powered?)";

// The last Open of comm failed: why, from the operating system's error.
std::string OpenFailureReason(const comm::TThreadComm& comm);
// The port showed carrier detect but no frame got a valid answer.
std::string NoAnswerReason(std::uint32_t frames);
// A wait, read or write of the open port failed (TThreadComm::LastIoError):
// why, with the system's own text; "the device is gone" for the errors a
// removed adapter gives. Empty when nothing failed.
std::string PortFailureReason(const comm::OsError& error);
// The listing found no port at all; leftOut: ports it left out on purpose.
std::string NoPortsReason(const std::vector<std::string>& leftOut);

struct TRunRecord;
// One line per port the scan passed over ("PORT: reason"), or the reason the
// list was empty; nothing when the station answered on the first port tried.
std::vector<std::string> ScanReasonLines(const TRunRecord& run);

}  // namespace app
