// What --version prints, the same in every program: the version, and the
// firmware image the build carries.
#pragma once

#include <string>
#include <string_view>

namespace app {

// The program's version, as its window's label shows it ("2.3").
std::string_view ProgramVersion();

// "<program> 2.3", then the image's line count and SHA-256 and, for a build
// that carries the stand-in, a line that says so; each line ends in '\n'.
std::string VersionText(std::string_view program);

}  // namespace app
