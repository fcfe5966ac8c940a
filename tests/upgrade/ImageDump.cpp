// Writes what our reader makes of the embedded image to stdout, for the
// comparison with independent Intel HEX readers: first the 65,536 bytes as the
// tool loads them (0xFF fill), then the same lines stored over a 0x00 fill, so
// that the covered addresses can be compared as well.
#include <array>
#include <cstdint>
#include <cstdio>

#include "EmbeddedImage.h"
#include "IntelHex.h"

int main() {
  static std::array<std::uint8_t, upgrade::kImageSize> image;
  std::int32_t progressMax = 100;
  upgrade::LoadImageLines(resources::EmbeddedImageLines(), image, progressMax);
  if (std::fwrite(image.data(), 1, image.size(), stdout) != image.size()) return 1;

  image.fill(0x00);
  for (const auto line : resources::EmbeddedImageLines()) upgrade::StoreHexLine(line, image);
  if (std::fwrite(image.data(), 1, image.size(), stdout) != image.size()) return 1;
  return std::fflush(stdout) == 0 ? 0 : 1;
}
