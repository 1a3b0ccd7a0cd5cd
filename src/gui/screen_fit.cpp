#include "gui/screen_fit.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace vela {

void FitToScreen(QWidget& window) {
    QScreen* screen = window.screen();
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    const QSize frame(16, 48);  // the window manager's border and title bar
    const QSize room = (screen->availableGeometry().size() - frame).expandedTo(QSize(320, 240));
    const QSize needed = window.minimumSizeHint().expandedTo(window.minimumSize()).boundedTo(room);
    window.resize(window.size().boundedTo(room).expandedTo(needed));
}

}  // namespace vela
