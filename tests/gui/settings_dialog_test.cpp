#include "gui/settings_dialog.h"
#include "recording_sink.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <optional>

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

namespace vela {
namespace {

// A pseudo-terminal that serves as a serial device found by path.
class PseudoTerminal {
public:
    PseudoTerminal() {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) path_ = name;
        // Only the master stays open, so the port can be opened exclusively.
        if (slave_ >= 0) ::close(slave_);
    }
    ~PseudoTerminal() {
        if (master_ >= 0) ::close(master_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;
    const std::string& path() const { return path_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

class SettingsDialogTest : public ::testing::Test {
protected:
    void open(StationOptions* stationOptions = nullptr) {
        port.setReopenPause(std::chrono::milliseconds(0));
        dialog = std::make_unique<SettingsDialog>(settings, port, sink, nullptr, stationOptions);
        dialog->show();
    }
    QLineEdit* edit(const char* name) const {
        auto* found = dialog->findChild<QLineEdit*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QCheckBox* hexMode() const { return dialog->findChild<QCheckBox*>(QStringLiteral("hexMode")); }
    QComboBox* modemPort() const {
        return dialog->findChild<QComboBox*>(QStringLiteral("modemPort"));
    }
    void click(const char* name) const {
        auto* button = dialog->findChild<QAbstractButton*>(QString::fromLatin1(name));
        ASSERT_NE(button, nullptr) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void type(QLineEdit* box, const QString& text) const {
        box->clear();
        QTest::keyClicks(box, text);
    }
    void type(const char* name, const QString& text) const { type(edit(name), text); }
    QStringList listed() const {
        QStringList names;
        for (int i = 0; i < modemPort()->count(); ++i) names << modemPort()->itemText(i);
        return names;
    }

    ProgramSettings settings;
    SerialPort port;
    test::RecordingSink sink;
    std::unique_ptr<SettingsDialog> dialog;
};

TEST_F(SettingsDialogTest, OpensWithTheSettingsAndHexModeOff) {
    open();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Settings"));
    for (const char* octet : {"octet1", "octet2", "octet3", "octet4"})
        EXPECT_EQ(edit(octet)->text(), "0");
    EXPECT_EQ(edit("externalPort")->text(), QStringLiteral("16384"));
    EXPECT_EQ(edit("localPort")->text(), QStringLiteral("16384"));
    EXPECT_EQ(edit("timeout")->text(), QStringLiteral("20"));
    EXPECT_TRUE(edit("timeout")->isReadOnly());
    EXPECT_FALSE(hexMode()->isChecked());
    EXPECT_EQ(modemPort()->currentText(), QStringLiteral("COM3"));
    EXPECT_EQ(listed(),
              (QStringList{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}));
}

// Below the settings: the allow-list as typed (a range that does not parse stops OK,
// naming it, and writes nothing) and the delivery reports.
TEST_F(SettingsDialogTest, EditsTheStationOptionsBelowTheSettings) {
    StationOptions options{parseAddressAllowList("10.64.0.0/10").value(), false};
    open(&options);
    EXPECT_EQ(edit("allowFrom")->text(), QStringLiteral("10.64.0.0/10"));
    type("allowFrom", QStringLiteral("10.64.0.0/10, 192.0.2.7/8"));
    settings.localPort = 1;
    click("okButton");
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_TRUE(sink.messages[0].text.contains(QStringLiteral("192.0.2.7/8")))
        << sink.messages[0].text.toStdString();
    EXPECT_EQ(settings.localPort, 1);  // nothing written
    EXPECT_EQ(options.allowFrom.Text(), "10.64.0.0/10");

    type("allowFrom", QStringLiteral("10.64.0.0/10 192.0.2.7"));
    dialog->findChild<QCheckBox*>(QStringLiteral("deliveryReports"))->setChecked(true);
    click("okButton");
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(options, (StationOptions{parseAddressAllowList("10.64.0.0/10, 192.0.2.7").value(),
                                       true}));
}

TEST_F(SettingsDialogTest, ShowsAStoredNameThatIsNotListedAndStoresTypedNames) {
    settings.externalIp = 0xC0A80114;
    settings.modemPort = "/dev/serial/by-id/usb-modem";
    open();
    EXPECT_EQ(edit("octet1")->text(), QStringLiteral("192"));
    EXPECT_EQ(edit("octet4")->text(), QStringLiteral("20"));
    EXPECT_EQ(modemPort()->currentText(), QString::fromStdString(settings.modemPort));
    QTest::keyClick(modemPort()->lineEdit(), Qt::Key_End);  // the box shows the start
    QTest::keyClicks(modemPort()->lineEdit(), QStringLiteral("2"));
    click("okButton");
    EXPECT_EQ(settings.modemPort, "/dev/serial/by-id/usb-modem2");
    EXPECT_EQ(modemPort()->count(), 8);  // typed names are not added to the list
}

TEST_F(SettingsDialogTest, IpAddressFieldsMoveOnAndBlankFieldsCountAsZero) {
    open();
    for (const char* octet : {"octet1", "octet2", "octet3", "octet4"}) edit(octet)->clear();
    edit("octet1")->setFocus();
    // Typed into whichever field has the focus: a dot and a third digit move on.
    for (const QChar c : QStringLiteral("10.2.."))
        QTest::keyClick(dialog->focusWidget(), c.toLatin1());
    // A dot in an empty field is swallowed; the arrow key moves on.
    QTest::keyClick(dialog->focusWidget(), Qt::Key_Right);
    QTest::keyClick(dialog->focusWidget(), '7');
    EXPECT_EQ(edit("octet1")->text(), QStringLiteral("10"));
    EXPECT_EQ(edit("octet2")->text(), QStringLiteral("2"));
    EXPECT_EQ(edit("octet3")->text(), QString());
    EXPECT_EQ(edit("octet4")->text(), QStringLiteral("7"));
    QTest::keyClicks(edit("octet4"), QStringLiteral("99"));  // 799 is no octet
    EXPECT_EQ(edit("octet4")->text(), QStringLiteral("79"));
    click("okButton");
    EXPECT_EQ(settings.externalIp, 0x0A02004Fu);  // 10.2.0.79
    EXPECT_EQ(dialog->result(), QDialog::Accepted);

    open();
    for (const char* octet : {"octet1", "octet2", "octet3", "octet4"}) edit(octet)->clear();
    edit("octet1")->setFocus();
    for (const QChar c : QStringLiteral("192168"))
        QTest::keyClick(dialog->focusWidget(), c.toLatin1());
    EXPECT_EQ(edit("octet2")->text(), QStringLiteral("168"));
}

TEST_F(SettingsDialogTest, TabLeavesTheAddressAsAWhole) {
    open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    edit("octet1")->setFocus();
    QStringList visited{dialog->focusWidget()->objectName()};
    for (int i = 0; i < 9; ++i) {
        QTest::keyClick(dialog->focusWidget(), Qt::Key_Tab);
        visited << dialog->focusWidget()->objectName();
    }
    // The combo box's edit field carries no name of its own.
    visited.replaceInStrings(QRegularExpression("^$"), QStringLiteral("modemPort"));
    EXPECT_EQ(visited,
              (QStringList{"octet1", "externalPort", "localPort", "timeout", "hexMode", "modemPort",
                           "probeButton", "okButton", "cancelButton", "octet1"}));
}

TEST_F(SettingsDialogTest, HexModeConvertsTheTextsBothWays) {
    settings.localPort = 500;
    open();
    click("hexMode");
    EXPECT_TRUE(hexMode()->isChecked());
    EXPECT_EQ(edit("externalPort")->text(), QStringLiteral("4000"));
    EXPECT_EQ(edit("localPort")->text(), QStringLiteral("01F4"));
    click("hexMode");
    EXPECT_EQ(edit("externalPort")->text(), QStringLiteral("16384"));
    EXPECT_EQ(edit("localPort")->text(), QStringLiteral("500"));

    // Only the last four hexadecimal digits survive the way back.
    type("externalPort", QStringLiteral("70000"));
    click("hexMode");
    EXPECT_EQ(edit("externalPort")->text(), QStringLiteral("11170"));
    click("hexMode");
    EXPECT_EQ(edit("externalPort")->text(), QStringLiteral("4464"));
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(SettingsDialogTest, OkConvertsThePortTextsOfTheCurrentMode) {
    open();
    click("hexMode");
    type("externalPort", QStringLiteral("7d1"));
    EXPECT_EQ(edit("externalPort")->text(), QStringLiteral("7D1"));
    type("localPort", QString());
    click("okButton");
    EXPECT_EQ(settings.externalPort, 2001);
    EXPECT_EQ(settings.localPort, 0);
    EXPECT_EQ(settings.timeoutSeconds, 20);

    open();
    type("externalPort", QStringLiteral("12ab"));
    EXPECT_EQ(edit("externalPort")->text(), QStringLiteral("12AB"));
    type("localPort", QStringLiteral("  65535"));
    click("okButton");
    EXPECT_EQ(settings.externalPort, 12);
    EXPECT_EQ(settings.localPort, 65535);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_TRUE(sink.messages.empty());
}

// Out-of-range decimal ports are refused (they would silently become other ports).
TEST_F(SettingsDialogTest, OkRefusesADecimalPortOutsideThePortRange) {
    open();
    edit("octet1")->setText(QStringLiteral("9"));
    type("externalPort", QStringLiteral("70000"));
    QTest::keyClick(modemPort()->lineEdit(), Qt::Key_End);  // the box shows the start
    QTest::keyClicks(modemPort()->lineEdit(), QStringLiteral("9"));
    click("okButton");
    type("externalPort", QStringLiteral("0"));
    type("localPort", QStringLiteral("-1"));
    click("okButton");
    ASSERT_EQ(sink.messages.size(), 2u);
    EXPECT_EQ(sink.messages[0].text, QStringLiteral("External port must be from 0 to 65535!"));
    EXPECT_EQ(sink.messages[1].text, QStringLiteral("Local port must be from 0 to 65535!"));
    EXPECT_EQ(sink.messages[1].icon, MessageIcon::Stop);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(settings, ProgramSettings{});  // nothing written

    type("localPort", QStringLiteral("65535"));
    click("okButton");
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(settings.externalPort, 0);
    EXPECT_EQ(settings.localPort, 65535);
    EXPECT_EQ(settings.externalIp, 0x09000000u);
    EXPECT_EQ(settings.modemPort, "COM39");
}

TEST_F(SettingsDialogTest, CancelWritesNothing) {
    open();
    edit("octet1")->setText(QStringLiteral("9"));
    type("externalPort", QStringLiteral("1"));
    modemPort()->setEditText(QStringLiteral("COM5"));
    click("cancelButton");
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_EQ(settings, ProgramSettings{});
}

// The probe lists what the listing finds, with each adapter's description as its tooltip,
// and opens nothing: the modem's port left open by an earlier run stays as it is.
TEST_F(SettingsDialogTest, ProbeListsWithoutOpeningAndLeavesTheSettings) {
    PseudoTerminal first;
    ASSERT_FALSE(first.path().empty());
    settings.modemPort = "COM7";
    ASSERT_TRUE(port.Open(first.path()).ok());
    open();
    std::optional<Qt::CursorShape> cursorDuringProbe;
    const std::string byId = "/dev/serial/by-id/usb-Acme_GSM_Modem_A1B2-if00-port0";
    dialog->SetProbe([&] {
        if (const QCursor* cursor = QApplication::overrideCursor())
            cursorDuringProbe = cursor->shape();
        return std::vector<ProbedPort>{{byId, "Acme GSM Modem, serial number A1B2 (ttyUSB0)"},
                                       {"COM1", ""}};
    });
    click("probeButton");
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(listed(), (QStringList{QString::fromStdString(byId), QStringLiteral("COM1")}));
    EXPECT_EQ(modemPort()->itemData(0, Qt::ToolTipRole).toString(),
              QStringLiteral("Acme GSM Modem, serial number A1B2 (ttyUSB0)"));
    EXPECT_EQ(modemPort()->currentText(), QString());
    EXPECT_EQ(settings.modemPort, "COM7");
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_EQ(cursorDuringProbe, Qt::WaitCursor);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Choosing an item stores its name.
    modemPort()->setCurrentIndex(0);
    click("okButton");
    EXPECT_EQ(settings.modemPort, byId);
}

// The real probe of this machine: whatever it finds, it ends and leaves the settings alone.
TEST_F(SettingsDialogTest, ProbeOfThisMachineLeavesTheSettings) {
    open();
    click("probeButton");
    EXPECT_EQ(modemPort()->currentText(), QString());
    EXPECT_EQ(settings, ProgramSettings{});
}

TEST_F(SettingsDialogTest, LongAndForeignModemPortNamesAreShownWholeAndKeptByteForByte) {
    const std::string byId =
        "/dev/serial/by-id/usb-Example_Wireless_Modem_Model_7_0123456789ABCDEF-if00-port0";
    for (const std::string& stored : {byId, std::string("/dev/ttyS\xE9")}) {
        SCOPED_TRACE(stored);
        settings.modemPort = stored;
        open();
        QLineEdit* field = modemPort()->lineEdit();
        EXPECT_EQ(field->cursorPosition(), 0);  // the start of the name is what shows
        EXPECT_EQ(modemPort()->toolTip(), field->text());
        click("okButton");
        EXPECT_EQ(settings.modemPort, stored);
    }

    open();
    const int boxWidth = modemPort()->width();
    modemPort()->addItem(QString::fromStdString(byId));
    modemPort()->showPopup();
    EXPECT_EQ(modemPort()->width(), boxWidth);
    const QWidget* list = modemPort()->view();
    EXPECT_GT(list->width(), list->fontMetrics().horizontalAdvance(QString::fromStdString(byId)));
    modemPort()->hidePopup();
}

}  // namespace
}  // namespace vela
