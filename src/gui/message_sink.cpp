#include "gui/message_sink.h"

#include <QMessageBox>

namespace vela {

void QMessageBoxSink::ShowMessage(QWidget* parent, const QString& text, MessageIcon icon) {
    QMessageBox box(icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::Warning,
                    QStringLiteral("Vela"), text, QMessageBox::Ok, parent);
    box.exec();
}

void QMessageBoxSink::ShowMessageWithDetails(QWidget* parent, const QString& text, MessageIcon icon,
                                             const QString& details) {
    QMessageBox box(icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::Warning,
                    QStringLiteral("Vela"), text, QMessageBox::Ok, parent);
    box.setDetailedText(details);
    box.exec();
}

bool QMessageBoxSink::AskYesNo(QWidget* parent, const QString& text, MessageIcon icon) {
    QMessageBox box(icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::Warning,
                    QStringLiteral("Vela"), text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace vela
