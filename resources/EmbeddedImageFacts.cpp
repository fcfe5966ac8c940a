// The facts about the carried image that the build worked out when it was
// configured (see CMakeLists.txt).
#include "EmbeddedImage.h"

namespace resources {

std::size_t EmbeddedImageLineCount() {
  return EmbeddedImageLines().size();
}

std::string_view EmbeddedImageSha256() {
  return KSIDU_IMAGE_SHA256;
}

bool EmbeddedImageIsStandIn() {
  return KSIDU_IMAGE_IS_STANDIN != 0;
}

}  // namespace resources
