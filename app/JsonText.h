// Text as a JSON string, for the records the programs write (the run report,
// ks-station's summary).
#pragma once

#include <string>
#include <string_view>

namespace app {

// The text in double quotes, with quotes, backslashes and control characters
// escaped; a byte above 0x7F is escaped as the character of that number, so
// that text which is not UTF-8 still makes valid JSON.
std::string JsonString(std::string_view text);

}  // namespace app
