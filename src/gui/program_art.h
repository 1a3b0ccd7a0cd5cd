#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace vela {

// The program's icon: packaging/vela.svg, compiled in as a resource and drawn by Qt's
// SVG image plugin. Where the plugin is missing, an icon drawn in code stands in.
QIcon programIcon();
// The picture of the main window: a banner with the icon and the program's name.
QPixmap programPicture(const QSize& size);

// The icon's resource path, and whether it could be rendered from there (false means
// the drawn stand-in is used).
inline constexpr const char* kProgramIconResource = ":/vela/vela.svg";
bool programIconFromSvg();

}  // namespace vela
