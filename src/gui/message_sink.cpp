#include "gui/message_sink.h"

#include <QMessageBox>
#include <QPushButton>

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

bool QMessageBoxSink::AskToProceed(QWidget* parent, const QString& text, const QString& proceed,
                                   const QString& cancel) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Vela"), text, QMessageBox::NoButton,
                    parent);
    QPushButton* yes = box.addButton(proceed, QMessageBox::AcceptRole);
    QPushButton* no = box.addButton(cancel, QMessageBox::RejectRole);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

}  // namespace vela
