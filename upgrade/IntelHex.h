#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace upgrade {

// The station's whole 16-bit address space.
inline constexpr std::size_t kImageSize = 65536;

// Stores the data bytes of one Intel HEX line into image: count from
// characters 2-3, address from characters 4-7, data from character 10 on,
// hex digits in either case. The colon, the record type and the checksum are
// not examined.
//
// Unsafe input stores as much as is sound and nothing else: bytes that would
// fall past 0xFFFF are dropped (never wrapped to 0x0000); a line that ends
// early or holds a non-hex digit stores the bytes before that point only.
// Returns the record's start address, or nothing (and stores nothing) when the
// count or address field cannot be read.
std::optional<std::uint16_t> StoreHexLine(std::string_view line,
                                          std::span<std::uint8_t, kImageSize> image);

// Fills image with 0xFF, applies the lines in order (a later record wins
// where two overlap), and raises progressMax to the largest record start
// address; it never lowers it.
void LoadImageLines(std::span<const std::string> lines, std::span<std::uint8_t, kImageSize> image,
                    std::int32_t& progressMax);
void LoadImageLines(std::span<const std::string_view> lines,
                    std::span<std::uint8_t, kImageSize> image, std::int32_t& progressMax);

}  // namespace upgrade
