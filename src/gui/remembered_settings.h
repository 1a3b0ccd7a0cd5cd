#pragma once

#include <QString>
#include <memory>

class QSettings;

namespace vela {

// What the windows remember from one start to the next (the last folder, the campaign
// window's setup): the user's settings of the program, or `file` once set (tests keep
// their own). Empty goes back to the user's.
void RememberSettingsIn(const QString& file);
std::unique_ptr<QSettings> RememberedSettings();

}  // namespace vela
