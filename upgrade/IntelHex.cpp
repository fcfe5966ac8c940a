#include "IntelHex.h"

#include <algorithm>

namespace upgrade {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The number in the digits characters from pos (0-based), or nothing when the
// line is too short or one of them is not a hex digit.
std::optional<unsigned> ReadHex(std::string_view line, std::size_t pos, std::size_t digits) {
  if (pos > line.size() || line.size() - pos < digits) return std::nullopt;
  unsigned value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const int digit = HexDigit(line[pos + i]);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return value;
}

template <typename Line>
void LoadLines(std::span<const Line> lines, std::span<std::uint8_t, kImageSize> image,
               std::int32_t& progressMax) {
  std::ranges::fill(image, std::uint8_t{0xFF});
  for (const Line& line : lines) {
    const auto address = StoreHexLine(line, image);
    if (address && progressMax < *address) progressMax = *address;
  }
}

}  // namespace

std::optional<std::uint16_t> StoreHexLine(std::string_view line,
                                          std::span<std::uint8_t, kImageSize> image) {
  const auto count = ReadHex(line, 1, 2);
  const auto address = ReadHex(line, 3, 4);
  if (!count || !address) return std::nullopt;
  for (unsigned j = 0; j < *count; ++j) {
    const std::size_t target = *address + j;
    if (target >= image.size()) break;
    const auto byte = ReadHex(line, 9 + 2 * std::size_t{j}, 2);
    if (!byte) break;
    image[target] = static_cast<std::uint8_t>(*byte);
  }
  return static_cast<std::uint16_t>(*address);
}

void LoadImageLines(std::span<const std::string> lines, std::span<std::uint8_t, kImageSize> image,
                    std::int32_t& progressMax) {
  LoadLines(lines, image, progressMax);
}

void LoadImageLines(std::span<const std::string_view> lines,
                    std::span<std::uint8_t, kImageSize> image, std::int32_t& progressMax) {
  LoadLines(lines, image, progressMax);
}

}  // namespace upgrade
