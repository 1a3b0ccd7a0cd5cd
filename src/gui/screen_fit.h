#pragma once

class QWidget;

namespace vela {

// Keeps a window's first size within the free part of the screen it opens on (less room
// for the frame and title), whatever the font and the scale factor make of it; never
// below what its controls need, as far as the screen allows.
void FitToScreen(QWidget& window);

}  // namespace vela
