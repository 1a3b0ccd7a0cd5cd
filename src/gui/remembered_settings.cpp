#include "gui/remembered_settings.h"

#include <QSettings>

namespace vela {

namespace {

QString& settingsFile() {
    static QString file;
    return file;
}

}  // namespace

void RememberSettingsIn(const QString& file) {
    settingsFile() = file;
}

std::unique_ptr<QSettings> RememberedSettings() {
    if (!settingsFile().isEmpty()) {
        return std::make_unique<QSettings>(settingsFile(), QSettings::IniFormat);
    }
    return std::make_unique<QSettings>(QStringLiteral("Vela"), QStringLiteral("Vela"));
}

}  // namespace vela
