// Text as a JSON string, for the records the programs write (the run report,
// ks-station's summary).
#pragma once

#include <string>
#include <string_view>

namespace app {

// The UTF-8 text in double quotes, in plain ASCII: quotes and backslashes
// escaped, control characters and every character above U+007E as \u escapes
// of their code points (a pair of surrogates above U+FFFF). Plain ASCII reads
// the same in whatever code page a reader assumes (a Windows program reading
// the file as ANSI, say). Bytes that are not UTF-8 (a port name from a
// registry in another code page, a station's bytes) come out as U+FFFD, as
// every UTF-8 reader shows them: the text stays valid JSON and never claims a
// character it did not hold.
std::string JsonString(std::string_view text);

}  // namespace app
