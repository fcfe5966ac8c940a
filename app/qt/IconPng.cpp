// Writes the window's icon as PNG files for the desktop's icon theme, so that
// the menu shows the picture the window itself draws:
//   ks-idu-icon-png FILE SIZE [FILE SIZE]...
// SIZE is a multiple of the icon's 32 pixels: each pixel becomes a square
// block rather than a blur.
#include <cstdio>
#include <string>

#include "QtIcon.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s FILE SIZE [FILE SIZE]...\n", argv[0]);
    return 2;
  }
  const QImage icon = qtfront::IconImage();
  for (int i = 1; i < argc; i += 2) {
    const std::string file = argv[i];
    int size = 0;
    try {
      size = std::stoi(argv[i + 1]);
    } catch (...) {
    }
    if (size <= 0 || size % icon.width() != 0) {
      std::fprintf(stderr, "%s: size '%s' is not a multiple of %d\n", argv[0], argv[i + 1],
                   icon.width());
      return 2;
    }
    const QImage scaled = icon.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (!scaled.save(QString::fromStdString(file), "PNG")) {
      std::fprintf(stderr, "%s: cannot write %s\n", argv[0], file.c_str());
      return 1;
    }
  }
  return 0;
}
