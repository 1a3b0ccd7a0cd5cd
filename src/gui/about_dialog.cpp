#include "gui/about_dialog.h"

#include "gui/dialog_units.h"
#include "gui/program_art.h"
#include "vela_version.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>

namespace vela {

QString AboutDialog::versionLine() {
    return QStringLiteral("%1 Version %2")
        .arg(QString::fromLatin1(kProgramName), QString::fromLatin1(kVersion));
}

AboutDialog::AboutDialog(QWidget* parent, const QString& dataDirectory) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QStringLiteral("About %1").arg(QString::fromLatin1(kProgramName)));
    setFont(DialogUnits::dialogFont());
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    const DialogUnits units(font());
    setFixedSize(units.size(235, 150));

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(programIcon().pixmap(32, 32));
    icon->setGeometry(QRect(units.rect(11, 9, 0, 0).topLeft(), QSize(32, 32)));

    auto* version = new QLabel(versionLine(), this);
    version->setObjectName(QStringLiteral("versionLabel"));
    version->setGeometry(units.rect(39, 15, 119, 8));

    // Below the version line: which data the window works on. A long path wraps, and
    // the operator can select it to copy it.
    if (!dataDirectory.isEmpty()) {
        auto* heading = new QLabel(QStringLiteral("Data directory:"), this);
        heading->setObjectName(QStringLiteral("dataDirectoryHeading"));
        heading->setGeometry(units.rect(11, 40, 213, 8));
        auto* directory = new QLabel(QDir::toNativeSeparators(dataDirectory), this);
        directory->setObjectName(QStringLiteral("dataDirectoryLabel"));
        directory->setWordWrap(true);
        directory->setTextFormat(Qt::PlainText);
        directory->setTextInteractionFlags(Qt::TextSelectableByMouse);
        directory->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        directory->setGeometry(units.rect(11, 50, 213, 90));
    }

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setGeometry(units.rect(178, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace vela
