// The window's icon, drawn from the form description's pixel rows: the
// window's own and, written out as PNG, the desktop menu's.
#pragma once

#include <QImage>

namespace qtfront {

// 32 x 32 pixels, ARGB; the clear pixels transparent.
QImage IconImage();

}  // namespace qtfront
