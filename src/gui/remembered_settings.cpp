#include "gui/remembered_settings.h"

#include <QSettings>
#include <QSize>
#include <QWidget>

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

namespace {

QString sizeKey(const QWidget& window) {
    return QStringLiteral("windows/") + window.objectName() + QStringLiteral("/size");
}

}  // namespace

void RememberWindowSize(const QWidget& window) {
    RememberedSettings()->setValue(sizeKey(window), window.size());
}

void RestoreWindowSize(QWidget& window) {
    const QSize size = RememberedSettings()->value(sizeKey(window)).toSize();
    if (size.isValid() && !size.isEmpty()) window.resize(size);
}

}  // namespace vela
