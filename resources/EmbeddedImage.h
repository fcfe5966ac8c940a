#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace resources {

// The firmware image the tool carries, as Intel HEX lines (without line ends)
// in their stored order. The build checked every line before embedding it.
std::span<const std::string_view> EmbeddedImageLines();

// What identifies the carried image to a person: its line count, the SHA-256
// of the image file's bytes (64 lower-case hex digits, as sha256sum prints
// it), and whether it is the repository's stand-in rather than firmware.
std::size_t EmbeddedImageLineCount();
std::string_view EmbeddedImageSha256();
bool EmbeddedImageIsStandIn();

}  // namespace resources
