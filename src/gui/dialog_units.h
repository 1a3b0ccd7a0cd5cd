#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace vela {

// The windows are laid out in dialog units, converted with the dialog font's metrics
// (x: average character width / 4, y: character height / 8) so they keep their
// proportions whatever font the platform substitutes.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;

    // Verdana at 8 points; Qt falls back (DejaVu Sans) where Verdana is missing.
    static QFont dialogFont();

private:
    double baseX_;
    double baseY_;
};

}  // namespace vela
