// The text lines of the bootloader conversation: the fixed command records,
// one programming line per 16-byte block of the image, the filler sent before
// a resend after a missed reply, and the recognition of the station's replies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "IntelHex.h"

namespace upgrade {

inline constexpr std::string_view kEraseLine = ":0100000307F5";
inline constexpr std::string_view kResetLine1 = ":03000003060000F4";
inline constexpr std::string_view kResetLine2 = ":020000030501F5";
inline constexpr std::string_view kResetLine3 = ":00000008F8";
// Fifty '0' characters: written before a line is sent again after its reply
// did not come in time.
inline constexpr std::string_view kFiller = "00000000000000000000000000000000000000000000000000";

inline constexpr std::size_t kBlockSize = 16;
inline constexpr std::size_t kProgrammingLineLength = 43;

// The fixed line of sequencer states 1, 3, 4 and 5; empty for any other.
std::string_view FixedLine(std::uint32_t state);

// Whether the 16 bytes at address are all 0xFF: no line is sent for them.
bool BlockIsBlank(std::span<const std::uint8_t, kImageSize> image, std::uint32_t address);

// The 43-character data record for the block at address (a multiple of 16
// below 0x10000): ":10", the address, "00", the 16 bytes and the checksum,
// upper-case hex. Nothing when the block is blank or the address is out of
// range.
std::optional<std::string> ProgrammingLine(std::span<const std::uint8_t, kImageSize> image,
                                           std::uint32_t address);

enum class Reply { None, Positive, Negative };

// Feeds one received character into the three-character history (newest
// first). A CR immediately followed by LF completes a reply, positive when
// the character before the CR is a full stop; the pair is then forgotten so
// that it cannot pair with a later character.
Reply FeedReplyChar(std::array<char, 3>& history, char received);

}  // namespace upgrade
