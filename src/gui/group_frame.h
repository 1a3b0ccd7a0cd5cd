#pragma once

#include <QGroupBox>

namespace vela {

// A group box laid out as the window templates expect: the frame's top line runs
// through the middle of the title, so the box's rectangle in dialog units is the
// frame's outer edge and the controls placed inside keep clear of every line.
class GroupFrame : public QGroupBox {
    Q_OBJECT
public:
    GroupFrame(const QString& title, QWidget* parent);

    // The frame's rectangle in the group box's coordinates (its lines lie on the edges).
    QRect frameRect() const;
    // Where the title is drawn, in the group box's coordinates.
    QRect titleRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace vela
