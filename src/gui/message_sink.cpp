#include "gui/message_sink.h"

#include <QMessageBox>

namespace vela {

void QMessageBoxSink::ShowMessage(QWidget* parent, const QString& text, MessageIcon icon) {
    QMessageBox box(icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::Warning,
                    QStringLiteral("Vela"), text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace vela
