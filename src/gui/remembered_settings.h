#pragma once

#include <QString>
#include <memory>

class QSettings;
class QWidget;

namespace vela {

// What the windows remember from one start to the next (the last folder, the campaign
// window's setup): the user's settings of the program, or `file` once set (tests keep
// their own). Empty goes back to the user's.
void RememberSettingsIn(const QString& file);
std::unique_ptr<QSettings> RememberedSettings();

// A resizable window's size, kept under its object name when it goes and taken again
// when it opens (then kept within the screen by FitToScreen).
void RememberWindowSize(const QWidget& window);
void RestoreWindowSize(QWidget& window);

}  // namespace vela
