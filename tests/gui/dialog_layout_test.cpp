// Renders the dialogs offscreen, saves them as PNG files for review and checks their
// layout (see layout_check.h).
#include "gui/about_dialog.h"
#include "gui/settings_dialog.h"
#include "gui/tracker_list_dialog.h"
#include "layout_check.h"
#include "recording_sink.h"

#include <QLineEdit>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(DialogLayout, TrackerListDialog) {
    TrackerList trackers;
    for (const char* description : {"356307042441013", "356307042441021", "Van 12"}) {
        TrackerEntry entry;
        entry.description = description;
        trackers.add(entry);
    }
    test::RecordingSink sink;
    TrackerListDialog dialog(trackers, sink);
    test::CheckLayout(dialog, QStringLiteral("tracker_list_dialog.png"));
}

TEST(DialogLayout, SettingsDialog) {
    ProgramSettings settings;
    settings.externalIp = 0xC0A80114;
    SerialPort port;
    test::RecordingSink sink;
    SettingsDialog dialog(settings, port, sink);
    test::CheckLayout(dialog, QStringLiteral("settings_dialog.png"));
    // Every octet field holds three digits.
    for (const QLineEdit* octet : dialog.findChildren<QLineEdit*>(QRegularExpression("^octet")))
        EXPECT_LE(octet->fontMetrics().horizontalAdvance(QStringLiteral("255")), octet->width());
    // The window's dialog, with the station's options below.
    StationOptions options;
    SettingsDialog withOptions(settings, port, sink, nullptr, &options);
    test::CheckLayout(withOptions, QStringLiteral("settings_dialog_options.png"));
}

TEST(DialogLayout, AboutBox) {
    AboutDialog box;
    test::CheckLayout(box, QStringLiteral("about_box.png"));
}

}  // namespace
}  // namespace vela
