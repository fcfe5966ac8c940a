// Fuzzes the recognition of the station's replies with any byte stream,
// against a model that keeps everything received since the last complete
// reply: a reply completes at an LF that directly follows a CR received since
// then, and is positive when a full stop, also received since then, directly
// precedes that CR.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Bootloader.h"

namespace {

using upgrade::Reply;

const char* Name(Reply r) {
  switch (r) {
    case Reply::None:
      return "None";
    case Reply::Positive:
      return "Positive";
    case Reply::Negative:
      return "Negative";
  }
  return "?";
}

[[noreturn]] void Fault(const char* what, std::size_t at, char c, Reply got, Reply want) {
  std::fprintf(stderr, "reply recognition: %s at byte %zu (0x%02X): got %s, expected %s\n", what,
               at, static_cast<unsigned>(static_cast<unsigned char>(c)), Name(got), Name(want));
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<char, 3> history{};
  // What the station sent since the last complete reply.
  std::string since;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    Reply want = Reply::None;
    if (c == '\n' && !since.empty() && since.back() == '\r') {
      const bool stop = since.size() >= 2 && since[since.size() - 2] == '.';
      want = stop ? Reply::Positive : Reply::Negative;
      since.clear();
    } else {
      since.push_back(c);
    }

    // One call per byte: a completion can only come with an LF, so no LF
    // completes more than one reply.
    const Reply got = upgrade::FeedReplyChar(history, c);
    if (got != Reply::None && c != '\n')
      Fault("a reply completed on a byte other than LF", i, c, got, want);
    if (got == Reply::Positive && (i < 2 || data[i - 1] != '\r' || data[i - 2] != '.')) {
      Fault("a positive reply without a full stop right before CR", i, c, got, want);
    }
    if (got != want) Fault("wrong recognition", i, c, got, want);
  }
  return 0;
}
