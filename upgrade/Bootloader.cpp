#include "Bootloader.h"

#include <algorithm>

namespace upgrade {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string& out, std::uint8_t value) {
  out.push_back(kHexDigits[value >> 4]);
  out.push_back(kHexDigits[value & 0x0F]);
}
}  // namespace

std::string_view FixedLine(std::uint32_t state) {
  switch (state) {
    case 1:
      return kEraseLine;
    case 3:
      return kResetLine1;
    case 4:
      return kResetLine2;
    case 5:
      return kResetLine3;
    default:
      return {};
  }
}

bool BlockIsBlank(std::span<const std::uint8_t, kImageSize> image, std::uint32_t address) {
  if (address > kImageSize - kBlockSize) return true;
  const auto block = image.subspan(address, kBlockSize);
  return std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0xFF; });
}

std::optional<std::string> ProgrammingLine(std::span<const std::uint8_t, kImageSize> image,
                                           std::uint32_t address) {
  if (address % kBlockSize != 0 || BlockIsBlank(image, address)) return std::nullopt;
  std::string line;
  line.reserve(kProgrammingLineLength);
  line += ":10";
  const auto high = static_cast<std::uint8_t>(address >> 8);
  const auto low = static_cast<std::uint8_t>(address & 0xFF);
  AppendHexByte(line, high);
  AppendHexByte(line, low);
  line += "00";
  unsigned sum = kBlockSize + high + low;
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    const std::uint8_t b = image[address + i];
    AppendHexByte(line, b);
    sum += b;
  }
  AppendHexByte(line, static_cast<std::uint8_t>((256 - (sum % 256)) % 256));
  return line;
}

Reply FeedReplyChar(std::array<char, 3>& history, char received) {
  history[2] = history[1];
  history[1] = history[0];
  history[0] = received;
  if (history[0] != '\n' || history[1] != '\r') return Reply::None;
  history[0] = 0;
  history[1] = 0;
  return history[2] == '.' ? Reply::Positive : Reply::Negative;
}

}  // namespace upgrade
