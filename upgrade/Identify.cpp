#include "Identify.h"

namespace upgrade {

std::uint16_t FrameChecksum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint16_t>(0x10000u - (sum & 0xFFFFu));
}

IdentifyFrame BuildIdentifyFrame() {
  IdentifyFrame frame{
      kFrameStart, static_cast<std::uint8_t>(kIdentifyFrameSize), 0x00, 0xF1, '0', '0', '0', '0'};
  const std::uint16_t checksum = FrameChecksum(std::span(frame).first(kIdentifyFrameSize - 2));
  frame[8] = static_cast<std::uint8_t>(checksum >> 8);
  frame[9] = static_cast<std::uint8_t>(checksum & 0xFF);
  return frame;
}

ReplyVerdict CheckIdentifyReply(const IdentifyReply& reply) {
  if (reply[0] != kFrameStart) return ReplyVerdict::Failed;
  const std::size_t length = reply[1];
  // A length outside this range would put the checksum outside what was read.
  if (length < 2 || length > kIdentifyReplySize) return ReplyVerdict::Failed;
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 2 < length; ++i) sum += reply[i];
  sum += 256u * reply[length - 2] + reply[length - 1];
  if ((sum & 0xFFFFu) != 0) return ReplyVerdict::Failed;
  if ((length == 7 || length == 8) && reply[4] == kStatusUpgradeNotSupported) {
    return ReplyVerdict::NotSupported;
  }
  return ReplyVerdict::Accepted;
}

}  // namespace upgrade
