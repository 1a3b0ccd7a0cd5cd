#include "gui/config_file_dialog.h"

#include "gui/remembered_settings.h"

#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QSettings>

namespace vela {

namespace {

const QString kNoSuchFolder = QStringLiteral("The folder %1 does not exist.");
constexpr const char* kLastFolderKey = "files/lastFolder";
const QString kReadOnlyFile = QStringLiteral("%1 is marked read-only and cannot be chosen.");

// Marked read-only: nobody may write it. Checked on the permission bits rather than
// by asking for access, which an administrator is always granted.
bool IsMarkedReadOnly(const QFileInfo& file) {
    constexpr QFileDevice::Permissions kWrite =
        QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    return file.exists() && !file.isDir() && (file.permissions() & kWrite) == 0;
}

}  // namespace

ConfigFileDialog::ConfigFileDialog(QWidget* parent) : QFileDialog(parent) {
    setObjectName(QStringLiteral("configFileDialog"));
    // Qt's own dialog, so that the refusal can be shown inside it.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptOpen);
    setFileMode(QFileDialog::AnyFile);
    setNameFilter(QStringLiteral("XML Files (*.xml)"));
    setDefaultSuffix(QStringLiteral("xml"));
    // The read-only check box stays hidden.
    setOption(QFileDialog::ReadOnly, false);
    // Opens in the folder of the last file chosen, from one start to the next.
    const QString folder =
        RememberedSettings()->value(QString::fromLatin1(kLastFolderKey)).toString();
    if (!folder.isEmpty() && QDir(folder).exists()) setDirectory(folder);

    refusal_ = new QLabel(this);
    refusal_->setObjectName(QStringLiteral("refusal"));
    refusal_->setWordWrap(true);
    QPalette warning = refusal_->palette();
    warning.setColor(QPalette::WindowText, Qt::darkRed);
    refusal_->setPalette(warning);
    refusal_->hide();
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
        grid->addWidget(refusal_, grid->rowCount(), 0, 1, grid->columnCount());
    }
}

QString ConfigFileDialog::refusal() const {
    return refusal_->text();
}

void ConfigFileDialog::accept() {
    const QStringList files = selectedFiles();
    if (!files.isEmpty()) {
        const QFileInfo chosen(files.first());
        QString refused;
        if (!chosen.isDir() && !chosen.absoluteDir().exists()) {
            refused = kNoSuchFolder.arg(QDir::toNativeSeparators(chosen.absolutePath()));
        } else if (IsMarkedReadOnly(chosen)) {
            refused = kReadOnlyFile.arg(chosen.fileName());
        }
        if (!refused.isEmpty()) {
            refusal_->setText(refused);
            refusal_->show();
            return;
        }
    }
    refusal_->clear();
    refusal_->hide();
    if (!files.isEmpty()) {
        RememberedSettings()->setValue(QString::fromLatin1(kLastFolderKey),
                                       QFileInfo(files.first()).absolutePath());
    }
    QFileDialog::accept();
}

}  // namespace vela
