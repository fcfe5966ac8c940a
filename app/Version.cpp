#include "Version.h"

#include "EmbeddedImage.h"

namespace app {

std::string_view ProgramVersion() {
  return KSIDU_VERSION;
}

std::string VersionText(std::string_view program) {
  std::string text = std::string(program) + " " + std::string(ProgramVersion()) + "\n";
  text += "firmware image: " + std::to_string(resources::EmbeddedImageLineCount()) +
          " lines, SHA-256 " + std::string(resources::EmbeddedImageSha256()) + "\n";
  // The first line alone would pass for a release.
  if (resources::EmbeddedImageIsStandIn()) {
    text += "firmware image: the stand-in, not the station's firmware\n";
  }
  return text;
}

}  // namespace app
