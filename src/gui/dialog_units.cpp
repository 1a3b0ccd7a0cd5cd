#include "gui/dialog_units.h"

#include <QFontMetricsF>
#include <cmath>

namespace vela {

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    baseX_ = metrics.averageCharWidth();
    baseY_ = metrics.height();
    if (baseX_ <= 0) baseX_ = 6;
    if (baseY_ <= 0) baseY_ = 13;
}

int DialogUnits::x(int units) const {
    return static_cast<int>(std::lround(units * baseX_ / 4.0));
}
int DialogUnits::y(int units) const {
    return static_cast<int>(std::lround(units * baseY_ / 8.0));
}

QRect DialogUnits::rect(int left, int top, int width, int height) const {
    return QRect(x(left), y(top), x(width), y(height));
}

QSize DialogUnits::size(int width, int height) const {
    return QSize(x(width), y(height));
}

QFont DialogUnits::dialogFont() {
    QFont font(QStringLiteral("Verdana"));
    font.setPointSize(8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

}  // namespace vela
