#include "gui/group_frame.h"

#include <qdrawutil.h>
#include <QPainter>
#include <QStyle>

namespace vela {

namespace {
constexpr int kTitleIndent = 8;   // from the frame's left edge to the title's room
constexpr int kTitlePadding = 2;  // cleared on each side of the title text
}  // namespace

GroupFrame::GroupFrame(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

QRect GroupFrame::frameRect() const {
    const int top = fontMetrics().height() / 2;
    return QRect(0, top, width(), height() - top);
}

QRect GroupFrame::titleRect() const {
    const int textWidth = fontMetrics().horizontalAdvance(title());
    return QRect(kTitleIndent, 0, textWidth + 2 * kTitlePadding, fontMetrics().height());
}

void GroupFrame::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    // An etched line (a dark line with a light one beside it) on the frame's edges;
    // drawn here rather than by the style, which may move the frame below the title.
    qDrawShadeRect(&painter, frameRect(), palette(), true, 1, 0);

    // The title interrupts the top line.
    const QRect titleArea = titleRect();
    painter.fillRect(titleArea, palette().window());
    style()->drawItemText(&painter, titleArea.adjusted(kTitlePadding, 0, -kTitlePadding, 0),
                          Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic, palette(),
                          isEnabled(), title(), QPalette::WindowText);
}

}  // namespace vela
