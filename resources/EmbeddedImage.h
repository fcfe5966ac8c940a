#pragma once

#include <span>
#include <string_view>

namespace resources {

// The firmware image the tool carries, as Intel HEX lines (without line ends)
// in their stored order. The build checked every line before embedding it.
std::span<const std::string_view> EmbeddedImageLines();

}  // namespace resources
