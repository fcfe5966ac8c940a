#include "QtIcon.h"

#include "MainForm.h"

namespace qtfront {

QImage IconImage() {
  const int size = static_cast<int>(resources::kIcon.size());
  QImage image(size, size, QImage::Format_ARGB32);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const char c = resources::kIcon[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
      if (c == '.') {
        image.setPixel(x, y, 0);
      } else {
        const int index = c <= '9' ? c - '0' : c - 'A' + 10;
        image.setPixel(x, y,
                       0xFF000000u | resources::kIconPalette[static_cast<std::size_t>(index)]);
      }
    }
  }
  return image;
}

}  // namespace qtfront
