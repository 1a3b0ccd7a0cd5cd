#include "gui/outcome_bar.h"

#include <QApplication>
#include <QPainter>
#include <QSystemTrayIcon>
#include <algorithm>

namespace vela {

OutcomeBar::OutcomeBar(QWidget* parent) : QProgressBar(parent) {
    setTextVisible(true);
}

void OutcomeBar::setCounts(int configured, int failed, int total) {
    configured_ = configured;
    failed_ = failed;
    total_ = total;
    setRange(0, std::max(total, 1));
    setValue(configured + failed);
    setFormat(tr("%1 configured, %2 failed of %3").arg(configured).arg(failed).arg(total));
    update();
}

void OutcomeBar::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(rect(), palette().base());
    const int whole = std::max(total_, 1);
    const int inner = frame.width() - 1;
    const int configuredWidth = inner * configured_ / whole;
    const int failedWidth = inner * (configured_ + failed_) / whole - configuredWidth;
    painter.fillRect(QRect(1, 1, configuredWidth, frame.height() - 1), QColor(0x2e, 0x9a, 0x3a));
    painter.fillRect(QRect(1 + configuredWidth, 1, failedWidth, frame.height() - 1),
                     QColor(0xc6, 0x28, 0x28));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(frame);
    painter.setPen(palette().color(QPalette::Text));
    // The text on a light band so that it reads over either colour.
    const QString shown = text();
    const QRect textRect = painter.fontMetrics().boundingRect(shown).adjusted(-4, 0, 4, 0);
    QRect band(QPoint(0, 0), textRect.size());
    band.moveCenter(rect().center());
    QColor light = palette().color(QPalette::Base);
    light.setAlpha(210);
    painter.fillRect(band, light);
    painter.drawText(rect(), Qt::AlignCenter, shown);
}

bool NotifyInBackground(QWidget* window, const QString& title, const QString& text) {
    if (window == nullptr || window->isActiveWindow()) return false;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        // One icon for the program, shown only while it has something to say.
        static QSystemTrayIcon* tray = nullptr;
        if (tray == nullptr) {
            tray = new QSystemTrayIcon(window->windowIcon(), qApp);
        }
        tray->show();
        tray->showMessage(title, text, QSystemTrayIcon::Information, 10000);
        return true;
    }
    QApplication::alert(window);
    return true;
}

}  // namespace vela
