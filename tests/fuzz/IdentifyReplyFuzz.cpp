// Fuzzes the identify reply check with any 10 bytes against a plain
// re-statement of the frame rule, and checks that bytes past the reply's own
// length never change the verdict.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Identify.h"

namespace {

using upgrade::IdentifyReply;
using upgrade::ReplyVerdict;

// The rule as the station's documentation puts it: start byte 0x5A; L, the
// second byte, between 2 and 10; the bytes before the checksum plus the
// big-endian checksum are 0 modulo 65536; a 7- or 8-byte reply with status
// 0xA2 at offset 4 refuses the upgrade.
ReplyVerdict Expected(const std::uint8_t* b) {
  if (b[0] != 0x5A) return ReplyVerdict::Failed;
  const int length = b[1];
  if (length < 2 || length > 10) return ReplyVerdict::Failed;
  std::uint16_t total = 0;
  for (int i = 0; i <= length - 3; ++i) total = static_cast<std::uint16_t>(total + b[i]);
  total = static_cast<std::uint16_t>(total + (b[length - 2] << 8 | b[length - 1]));
  if (total != 0) return ReplyVerdict::Failed;
  if ((length == 7 || length == 8) && b[4] == 0xA2) return ReplyVerdict::NotSupported;
  return ReplyVerdict::Accepted;
}

const char* Name(ReplyVerdict v) {
  switch (v) {
    case ReplyVerdict::Failed:
      return "Failed";
    case ReplyVerdict::Accepted:
      return "Accepted";
    case ReplyVerdict::NotSupported:
      return "NotSupported";
  }
  return "?";
}

[[noreturn]] void Fault(const char* what, const std::uint8_t* b, ReplyVerdict got,
                        ReplyVerdict want) {
  std::fprintf(stderr, "identify reply check: %s:", what);
  for (int i = 0; i < 10; ++i) std::fprintf(stderr, " %02X", b[i]);
  std::fprintf(stderr, " gave %s, expected %s\n", Name(got), Name(want));
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < upgrade::kIdentifyReplySize) return 0;
  // A heap block of exactly the reply's size, so that a look past its end
  // meets AddressSanitizer's red zone.
  auto reply = std::make_unique<IdentifyReply>();
  std::memcpy(reply->data(), data, reply->size());

  const ReplyVerdict want = Expected(reply->data());
  const ReplyVerdict got = upgrade::CheckIdentifyReply(*reply);
  if (got != want) Fault("wrong verdict", reply->data(), got, want);

  // Bytes after the reply's length are not the reply: any others there
  // (the rest of the input, or their complement) give the same verdict.
  const std::size_t length = (*reply)[1];
  if (length >= 2 && length < reply->size()) {
    for (std::size_t i = length; i < reply->size(); ++i) {
      const std::size_t from = i + reply->size();
      (*reply)[i] = from < size ? data[from] : static_cast<std::uint8_t>(~(*reply)[i]);
    }
    const ReplyVerdict again = upgrade::CheckIdentifyReply(*reply);
    if (again != got) Fault("bytes past the length changed the verdict", reply->data(), again, got);
  }
  return 0;
}
