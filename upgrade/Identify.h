// The binary identify exchange that finds the station: the frame the tool
// sends and the check of the station's reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace upgrade {

inline constexpr std::size_t kIdentifyFrameSize = 10;
// The tool reads at most this many bytes of a reply.
inline constexpr std::size_t kIdentifyReplySize = 10;

inline constexpr std::uint8_t kFrameStart = 0x5A;
// A station that answers with this status byte in a 7- or 8-byte reply
// cannot be upgraded.
inline constexpr std::uint8_t kStatusUpgradeNotSupported = 0xA2;

// The outcomes of the identification.
inline constexpr std::string_view kIdentifyOk = "OK";
inline constexpr std::string_view kUpgradeNotSupported = "Station upgrade not supported.";

using IdentifyFrame = std::array<std::uint8_t, kIdentifyFrameSize>;
using IdentifyReply = std::array<std::uint8_t, kIdentifyReplySize>;

// The 16-bit two's complement of the byte sum, so that the sum of the bytes
// plus the checksum (big-endian) is 0 modulo 65536.
std::uint16_t FrameChecksum(std::span<const std::uint8_t> bytes);

// Start byte, length 10, 00 F1, the text "0000", checksum high byte first.
IdentifyFrame BuildIdentifyFrame();

enum class ReplyVerdict {
  Failed,        // wrong start byte, wrong checksum, a length outside 2..10
  Accepted,      // the station takes the upgrade
  NotSupported,  // a 7- or 8-byte reply with status 0xA2
};

// Judges the bytes read, never looking past the reply buffer; bytes after the
// reply's own length are ignored.
ReplyVerdict CheckIdentifyReply(const IdentifyReply& reply);

}  // namespace upgrade
