#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace vela {

// The program's icon and the picture of the main window, drawn in code so the
// program carries no image files.
QIcon programIcon();
QPixmap programPicture(const QSize& size);

}  // namespace vela
