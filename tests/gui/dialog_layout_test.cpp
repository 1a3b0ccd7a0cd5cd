// Renders both dialogs offscreen, saves them as PNG files for review and checks that
// no control covers another and that no text is cut.
#include "gui/settings_dialog.h"
#include "gui/tracker_list_dialog.h"
#include "recording_sink.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>

#include <gtest/gtest.h>

namespace vela {
namespace {

std::string name(const QWidget* widget) {
    return (widget->objectName().isEmpty() ? QString::fromLatin1(widget->metaObject()->className())
                                           : widget->objectName())
        .toStdString();
}

// The controls of a dialog: its direct children, group boxes apart.
void splitControls(const QWidget& dialog, std::vector<QWidget*>& controls,
                   std::vector<QGroupBox*>& groups) {
    for (QWidget* child : dialog.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!child->isVisible()) continue;
        if (auto* group = qobject_cast<QGroupBox*>(child)) {
            groups.push_back(group);
        } else {
            controls.push_back(child);
        }
    }
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
        return metrics.horizontalAdvance(label->text());
    }
    if (const auto* combo = qobject_cast<const QComboBox*>(widget)) {
        int widest = 0;
        for (int i = 0; i < combo->count(); ++i)
            widest = std::max(widest, metrics.horizontalAdvance(combo->itemText(i)));
        // The arrow button takes about a scroll bar's width.
        return widest + style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, combo) + 6;
    }
    return 0;
}

void checkLayout(QWidget& dialog, const QString& file) {
    dialog.show();
    const QPixmap shot = dialog.grab();
    ASSERT_FALSE(shot.isNull());
    const QString directory = QString::fromUtf8(VELA_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(directory));
    EXPECT_TRUE(shot.save(directory + QLatin1Char('/') + file, "PNG"));

    std::vector<QWidget*> controls;
    std::vector<QGroupBox*> groups;
    splitControls(dialog, controls, groups);
    ASSERT_FALSE(controls.empty());
    const QRect client = dialog.rect();

    for (size_t i = 0; i < controls.size(); ++i) {
        const QRect rect = controls[i]->geometry();
        EXPECT_TRUE(client.contains(rect)) << name(controls[i]);
        for (size_t j = i + 1; j < controls.size(); ++j) {
            EXPECT_FALSE(rect.intersects(controls[j]->geometry()))
                << name(controls[i]) << " overlaps " << name(controls[j]);
        }
        EXPECT_LE(neededWidth(controls[i]), rect.width()) << "text cut in " << name(controls[i]);
        EXPECT_LE(controls[i]->fontMetrics().height(), rect.height()) << name(controls[i]);
        // A control is either inside a group box, below its title, or clear of it.
        for (const QGroupBox* group : groups) {
            const QRect frame = group->geometry();
            if (!frame.intersects(rect)) continue;
            EXPECT_TRUE(frame.contains(rect)) << name(controls[i]) << " crosses " << name(group);
            EXPECT_GE(rect.top(), frame.top() + group->fontMetrics().height())
                << name(controls[i]) << " covers the title of " << group->title().toStdString();
        }
    }
    for (size_t i = 0; i < groups.size(); ++i) {
        EXPECT_TRUE(client.contains(groups[i]->geometry())) << groups[i]->title().toStdString();
        // The title with the room the frame leaves on both sides.
        EXPECT_LE(groups[i]->fontMetrics().horizontalAdvance(groups[i]->title()) + 16,
                  groups[i]->width())
            << groups[i]->title().toStdString();
        for (size_t j = i + 1; j < groups.size(); ++j) {
            EXPECT_FALSE(groups[i]->geometry().intersects(groups[j]->geometry()))
                << groups[i]->title().toStdString() << " overlaps "
                << groups[j]->title().toStdString();
        }
    }
}

TEST(DialogLayout, TrackerListDialog) {
    TrackerList trackers;
    for (const char* description : {"356307042441013", "356307042441021", "Van 12"}) {
        TrackerEntry entry;
        entry.description = description;
        trackers.add(entry);
    }
    test::RecordingSink sink;
    TrackerListDialog dialog(trackers, sink);
    checkLayout(dialog, QStringLiteral("tracker_list_dialog.png"));
}

TEST(DialogLayout, SettingsDialog) {
    ProgramSettings settings;
    settings.externalIp = 0xC0A80114;
    SerialPort port;
    test::RecordingSink sink;
    SettingsDialog dialog(settings, port, sink);
    checkLayout(dialog, QStringLiteral("settings_dialog.png"));
    // Every octet field holds three digits.
    for (const QLineEdit* octet : dialog.findChildren<QLineEdit*>(QRegularExpression("^octet")))
        EXPECT_LE(octet->fontMetrics().horizontalAdvance(QStringLiteral("255")), octet->width());
}

}  // namespace
}  // namespace vela
