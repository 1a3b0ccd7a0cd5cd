#pragma once

#include <QString>

class QWidget;

namespace vela::test {

// Saves a screenshot of the shown window into the build's screenshots folder and
// checks its controls: inside the window, not covering each other, their texts not
// cut, and clear of every group frame's lines and title.
void CheckLayout(QWidget& window, const QString& file);

}  // namespace vela::test
