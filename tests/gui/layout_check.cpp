#include "layout_check.h"

#include "gui/group_frame.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>

#include <gtest/gtest.h>

namespace vela::test {

namespace {

std::string name(const QWidget* widget) {
    return (widget->objectName().isEmpty() ? QString::fromLatin1(widget->metaObject()->className())
                                           : widget->objectName())
        .toStdString();
}

// The room a text needs inside its control, from the control's font metrics.
int neededWidth(const QWidget* widget) {
    const QFontMetrics metrics = widget->fontMetrics();
    const QStyle* style = widget->style();
    if (const auto* box = qobject_cast<const QCheckBox*>(widget)) {
        return style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box) +
               style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box) +
               metrics.horizontalAdvance(box->text());
    }
    if (const auto* button = qobject_cast<const QPushButton*>(widget)) {
        return metrics.horizontalAdvance(button->text()) +
               style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    }
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        if (!label->pixmap().isNull()) return 0;
        if (!label->wordWrap()) return metrics.horizontalAdvance(label->text());
        // Wrapped: as wide as its longest line, and too wide when its lines are too many.
        const QRect needed = metrics.boundingRect(QRect(0, 0, label->width(), 100000),
                                                  Qt::TextWordWrap, label->text());
        return needed.height() <= label->height() ? needed.width() : label->width() + 1;
    }
    if (const auto* combo = qobject_cast<const QComboBox*>(widget)) {
        if (combo->isEditable()) return 0;  // long names scroll; the tooltip has them whole
        int widest = 0;
        for (int i = 0; i < combo->count(); ++i)
            widest = std::max(widest, metrics.horizontalAdvance(combo->itemText(i)));
        // The arrow button takes about a scroll bar's width.
        return widest + style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, combo) + 6;
    }
    return 0;
}

// The four lines of a frame, one pixel thick, in the window's coordinates.
std::vector<QRect> frameLines(const GroupFrame& group) {
    const QRect frame = group.frameRect().translated(group.pos());
    return {QRect(frame.left(), frame.top(), frame.width(), 1),
            QRect(frame.left(), frame.bottom(), frame.width(), 1),
            QRect(frame.left(), frame.top(), 1, frame.height()),
            QRect(frame.right(), frame.top(), 1, frame.height())};
}

}  // namespace

void CheckLayout(QWidget& window, const QString& file) {
    window.show();
    const QPixmap shot = window.grab();
    ASSERT_FALSE(shot.isNull());
    const QString directory = QString::fromUtf8(VELA_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(directory));
    EXPECT_TRUE(shot.save(directory + QLatin1Char('/') + file, "PNG"));

    std::vector<QWidget*> controls;
    std::vector<GroupFrame*> groups;
    for (QWidget* child : window.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!child->isVisible()) continue;
        if (auto* group = qobject_cast<GroupFrame*>(child)) {
            groups.push_back(group);
        } else if (qobject_cast<QGroupBox*>(child) != nullptr) {
            // The style places a plain group box's frame where it likes: below the
            // title, over the controls the templates put there.
            ADD_FAILURE() << name(child) << " is a group box whose frame the style places";
        } else {
            controls.push_back(child);
        }
    }
    ASSERT_FALSE(controls.empty());
    const QRect client = window.rect();

    for (size_t i = 0; i < controls.size(); ++i) {
        const QRect rect = controls[i]->geometry();
        EXPECT_TRUE(client.contains(rect)) << name(controls[i]);
        for (size_t j = i + 1; j < controls.size(); ++j) {
            EXPECT_FALSE(rect.intersects(controls[j]->geometry()))
                << name(controls[i]) << " overlaps " << name(controls[j]);
        }
        EXPECT_LE(neededWidth(controls[i]), rect.width()) << "text cut in " << name(controls[i]);
        EXPECT_LE(controls[i]->fontMetrics().height(), rect.height()) << name(controls[i]);
        // Nothing touches a frame: a control keeps a pixel clear of every line and of
        // the title.
        const QRect margin = rect.adjusted(-1, -1, 1, 1);
        for (const GroupFrame* group : groups) {
            for (const QRect& line : frameLines(*group)) {
                EXPECT_FALSE(margin.intersects(line))
                    << name(controls[i]) << " touches the frame of "
                    << group->title().toStdString();
            }
            EXPECT_FALSE(margin.intersects(group->titleRect().translated(group->pos())))
                << name(controls[i]) << " covers the title of " << group->title().toStdString();
        }
    }
    for (size_t i = 0; i < groups.size(); ++i) {
        EXPECT_TRUE(client.contains(groups[i]->geometry())) << groups[i]->title().toStdString();
        EXPECT_LE(groups[i]->titleRect().right(), groups[i]->frameRect().right() - 4)
            << groups[i]->title().toStdString();
        for (size_t j = i + 1; j < groups.size(); ++j) {
            EXPECT_FALSE(groups[i]->geometry().intersects(groups[j]->geometry()))
                << groups[i]->title().toStdString() << " overlaps "
                << groups[j]->title().toStdString();
        }
    }
}

}  // namespace vela::test
