#include "gui/program_art.h"

#include <QImage>
#include <QImageReader>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <optional>

namespace vela {

namespace {

// The SVG icon rendered at `side` pixels, or nothing when it cannot be read (the SVG
// image plugin is not installed).
std::optional<QImage> svgImage(int side) {
    QImageReader reader(QString::fromLatin1(kProgramIconResource));
    reader.setScaledSize(QSize(side, side));
    QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    return image;
}

// A sail over a wave, in a square of `side` pixels.
void drawSail(QPainter& painter, const QRectF& box) {
    const qreal s = box.width();
    QPainterPath sail;
    sail.moveTo(box.left() + 0.55 * s, box.top() + 0.08 * s);
    sail.lineTo(box.left() + 0.55 * s, box.top() + 0.72 * s);
    sail.lineTo(box.left() + 0.15 * s, box.top() + 0.72 * s);
    sail.closeSubpath();
    QPainterPath jib;
    jib.moveTo(box.left() + 0.62 * s, box.top() + 0.2 * s);
    jib.lineTo(box.left() + 0.88 * s, box.top() + 0.72 * s);
    jib.lineTo(box.left() + 0.62 * s, box.top() + 0.72 * s);
    jib.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(250, 250, 245));
    painter.drawPath(sail);
    painter.drawPath(jib);
    painter.setBrush(QColor(230, 120, 40));
    painter.drawRect(QRectF(box.left() + 0.12 * s, box.top() + 0.76 * s, 0.78 * s, 0.1 * s));
}

// The stand-in: a sail over a wave on a blue disc.
QIcon drawnIcon() {
    QIcon icon;
    for (int side : {16, 32, 48}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(20, 70, 140));
        painter.drawEllipse(QRectF(0, 0, side, side));
        drawSail(painter, QRectF(0, 0, side, side));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

bool programIconFromSvg() {
    return svgImage(16).has_value();
}

QIcon programIcon() {
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64, 128, 256}) {
        if (std::optional<QImage> image = svgImage(side)) {
            icon.addPixmap(QPixmap::fromImage(*image));
        }
    }
    return icon.isNull() ? drawnIcon() : icon;
}

QPixmap programPicture(const QSize& size) {
    QPixmap pixmap(size.isValid() && !size.isEmpty() ? size : QSize(1, 1));
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, pixmap.width(), 0);
    sky.setColorAt(0, QColor(20, 70, 140));
    sky.setColorAt(1, QColor(90, 160, 210));
    painter.fillRect(pixmap.rect(), sky);
    const qreal side = pixmap.height();
    const int iconSide = std::max(1, static_cast<int>(side * 0.8));
    if (std::optional<QImage> icon = svgImage(iconSide)) {
        painter.drawImage(QPointF(side * 0.2, (side - iconSide) / 2.0), *icon);
    } else {
        drawSail(painter, QRectF(side * 0.1, 0, side, side));
    }
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(std::max(8, static_cast<int>(side * 0.45)));
    painter.setFont(font);
    painter.setPen(QColor(250, 250, 245));
    painter.drawText(QRectF(side * 1.3, 0, pixmap.width() - side * 1.3, side),
                     Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("Vela"));
    return pixmap;
}

}  // namespace vela
