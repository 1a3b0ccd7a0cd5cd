#include "gui/tracker_list_dialog.h"
#include "recording_sink.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace vela {
namespace {

TrackerEntry makeEntry(const std::string& description, int32_t pushPort = 2001) {
    TrackerEntry entry;
    entry.description = description;
    entry.phone = "37060000001";
    entry.pushPort = pushPort;
    entry.apn = "web";
    entry.auth = kAuthPap;
    entry.smsUser = "su";
    entry.smsPassword = "sp";
    entry.gprsUser = "gu";
    entry.gprsPassword = "gp";
    entry.deviceType = 0;
    return entry;
}

class TrackerListDialogTest : public ::testing::Test {
protected:
    void open() {
        dialog = std::make_unique<TrackerListDialog>(trackers, sink);
        dialog->show();
    }
    QLineEdit* edit(const char* name) const {
        auto* found = dialog->findChild<QLineEdit*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QComboBox* combo(const char* name) const {
        return dialog->findChild<QComboBox*>(QString::fromLatin1(name));
    }
    QListWidget* list() const {
        return dialog->findChild<QListWidget*>(QStringLiteral("trackerList"));
    }
    void click(const char* button) const {
        auto* found = dialog->findChild<QPushButton*>(QString::fromLatin1(button));
        ASSERT_NE(found, nullptr) << button;
        QTest::mouseClick(found, Qt::LeftButton);
    }
    void type(const char* name, const QString& text) const {
        QLineEdit* box = edit(name);
        box->clear();
        QTest::keyClicks(box, text);
    }
    // Chooses a list item with the mouse, as the operator does.
    void choose(const QString& text) const {
        const QList<QListWidgetItem*> items = list()->findItems(text, Qt::MatchExactly);
        ASSERT_EQ(items.size(), 1) << text.toStdString();
        QListWidget* box = list();
        const QRect rect = box->visualItemRect(items.first());
        QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, rect.center());
    }
    QStringList listTexts() const {
        QStringList texts;
        for (int row = 0; row < list()->count(); ++row) texts << list()->item(row)->text();
        return texts;
    }
    QString selectedText() const {
        const auto selected = list()->selectedItems();
        return selected.isEmpty() ? QString() : selected.first()->text();
    }
    // Every field filled and the device type chosen.
    void fillAll(const QString& description) const {
        type("description", description);
        combo("deviceType")->setCurrentIndex(0);
        type("phone", QStringLiteral("37061234567"));
        type("pushPort", QStringLiteral("7d1"));
        type("smsUser", QStringLiteral("smsuser"));
        type("smsPassword", QStringLiteral("smspass"));
        type("apn", QStringLiteral("internet.example"));
        combo("auth")->setCurrentIndex(1);
        type("gprsUser", QStringLiteral("gprsuser"));
        type("gprsPassword", QStringLiteral("gprspass"));
    }
    std::vector<QString> messageTexts() const {
        std::vector<QString> texts;
        for (const auto& message : sink.messages) {
            EXPECT_EQ(message.icon, MessageIcon::Stop);
            texts.push_back(message.text);
        }
        return texts;
    }

    TrackerList trackers;
    test::RecordingSink sink;
    std::unique_ptr<TrackerListDialog> dialog;
};

TEST_F(TrackerListDialogTest, OpensWithInitialValuesAndSortedListWithoutSelection) {
    for (const char* description : {"beta", "Alpha", "abc", "ABC", "gamma"})
        trackers.add(makeEntry(description));
    open();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Tracker list"));
    // Ignoring case; the two spellings of abc side by side.
    EXPECT_EQ(listTexts(), (QStringList{"ABC", "abc", "Alpha", "beta", "gamma"}));
    EXPECT_TRUE(list()->selectedItems().isEmpty());
    EXPECT_EQ(edit("description")->text(), QString());
    EXPECT_EQ(edit("pushPort")->text(), QStringLiteral("07D1"));
    EXPECT_EQ(edit("apn")->text(), QStringLiteral("internet"));
    EXPECT_EQ(combo("deviceType")->currentIndex(), -1);
    ASSERT_EQ(combo("deviceType")->count(), 1);
    EXPECT_EQ(combo("deviceType")->itemText(0), QStringLiteral("FM2XXX"));
    EXPECT_EQ(combo("auth")->currentIndex(), 0);
    ASSERT_EQ(combo("auth")->count(), 3);
    EXPECT_EQ(combo("auth")->itemText(1), QStringLiteral("CHAP"));
    EXPECT_EQ(combo("auth")->itemText(2), QStringLiteral("PAP"));
    EXPECT_EQ(edit("smsPassword")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(edit("gprsPassword")->echoMode(), QLineEdit::Password);
}

TEST_F(TrackerListDialogTest, TabVisitsTheControlsInOrder) {
    trackers.add(makeEntry("one"));
    open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    list()->setFocus();
    QStringList visited{dialog->focusWidget()->objectName()};
    for (int i = 0; i < 15; ++i) {
        QTest::keyClick(dialog->focusWidget(), Qt::Key_Tab);
        visited << dialog->focusWidget()->objectName();
    }
    EXPECT_EQ(visited, (QStringList{"trackerList", "description", "deviceType", "phone", "pushPort",
                                    "smsUser", "smsPassword", "apn", "auth", "gprsUser",
                                    "gprsPassword", "addButton", "deleteButton", "saveButton",
                                    "exitButton", "trackerList"}));
}

TEST_F(TrackerListDialogTest, BoxesFilterWhatIsTyped) {
    open();
    type("phone", QStringLiteral("+370 6a1-2"));
    EXPECT_EQ(edit("phone")->text(), QStringLiteral("370612"));
    type("pushPort", QStringLiteral("7d1f"));
    EXPECT_EQ(edit("pushPort")->text(), QStringLiteral("7D1F"));
}

TEST_F(TrackerListDialogTest, ChoosingTrackerShowsItsFields) {
    trackers.add(makeEntry("first", 2001));
    TrackerEntry second = makeEntry("second", 10);
    second.auth = kAuthChap;
    trackers.add(second);
    open();
    choose(QStringLiteral("first"));
    EXPECT_EQ(edit("description")->text(), QStringLiteral("first"));
    EXPECT_EQ(edit("pushPort")->text(), QStringLiteral("07D1"));
    EXPECT_EQ(edit("phone")->text(), QStringLiteral("37060000001"));
    EXPECT_EQ(edit("apn")->text(), QStringLiteral("web"));
    EXPECT_EQ(edit("smsUser")->text(), QStringLiteral("su"));
    EXPECT_EQ(edit("smsPassword")->text(), QStringLiteral("sp"));
    EXPECT_EQ(edit("gprsUser")->text(), QStringLiteral("gu"));
    EXPECT_EQ(edit("gprsPassword")->text(), QStringLiteral("gp"));
    EXPECT_EQ(combo("auth")->currentIndex(), 2);
    EXPECT_EQ(combo("deviceType")->currentIndex(), 0);
    choose(QStringLiteral("second"));
    EXPECT_EQ(edit("pushPort")->text(), QStringLiteral("000A"));
    EXPECT_EQ(combo("auth")->currentIndex(), 1);
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(TrackerListDialogTest, AddReportsOnlyTheFirstMissingFieldInOrder) {
    open();
    combo("deviceType")->setCurrentIndex(0);
    type("apn", QString());
    click("addButton");
    EXPECT_EQ(messageTexts(), std::vector<QString>{"Please type description of device"});
    type("description", QStringLiteral("356307042441013"));
    click("addButton");
    type("phone", QStringLiteral("37061234567"));
    click("addButton");
    EXPECT_EQ(messageTexts(),
              (std::vector<QString>{"Please type description of device", "Please type phone number",
                                    "Please type apn"}));
    EXPECT_EQ(trackers.count(), 0);
    EXPECT_EQ(list()->count(), 0);
    // What was typed stays for completing.
    EXPECT_EQ(edit("phone")->text(), QStringLiteral("37061234567"));
}

TEST_F(TrackerListDialogTest, WithoutDeviceTypeAddAndSaveDoNothingAtAll) {
    trackers.add(makeEntry("kept"));
    open();
    fillAll(QStringLiteral("new"));
    combo("deviceType")->setCurrentIndex(-1);
    click("addButton");
    // Even empty fields give no message when no device type is chosen.
    type("description", QString());
    click("addButton");
    choose(QStringLiteral("kept"));
    combo("deviceType")->setCurrentIndex(-1);
    type("phone", QStringLiteral("1"));
    click("saveButton");
    EXPECT_TRUE(sink.messages.empty());
    ASSERT_EQ(trackers.count(), 1);
    EXPECT_EQ(trackers.at(0), makeEntry("kept"));
    EXPECT_EQ(listTexts(), QStringList{"kept"});
}

TEST_F(TrackerListDialogTest, AddStoresTheFieldsAndConvertsThePushPort) {
    open();
    fillAll(QStringLiteral("one"));
    click("addButton");
    ASSERT_EQ(trackers.count(), 1);
    TrackerEntry expected;
    expected.description = "one";
    expected.phone = "37061234567";
    expected.pushPort = 2001;  // typed 7d1, shown 7D1
    expected.apn = "internet.example";
    expected.auth = kAuthChap;
    expected.smsUser = "smsuser";
    expected.smsPassword = "smspass";
    expected.gprsUser = "gprsuser";
    expected.gprsPassword = "gprspass";
    expected.deviceType = 0;
    EXPECT_EQ(trackers.at(0), expected);
    EXPECT_EQ(selectedText(), QStringLiteral("one"));
    // The boxes keep what was typed.
    EXPECT_EQ(edit("pushPort")->text(), QStringLiteral("7D1"));

    type("description", QStringLiteral("two"));
    type("pushPort", QString());
    click("addButton");
    type("description", QStringLiteral("three"));
    type("pushPort", QStringLiteral("12345"));
    click("addButton");
    ASSERT_EQ(trackers.count(), 3);
    EXPECT_EQ(trackers.at(1).pushPort, 0);
    EXPECT_EQ(trackers.at(2).pushPort, 9029);  // only the last four digits count: 0x2345
    EXPECT_EQ(listTexts(), (QStringList{"one", "three", "two"}));
    EXPECT_EQ(selectedText(), QStringLiteral("three"));
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(TrackerListDialogTest, DescriptionsDifferingInCaseAreDistinctButExactDuplicatesAreRefused) {
    trackers.add(makeEntry("abc"));
    open();
    fillAll(QStringLiteral("ABC"));
    click("addButton");
    EXPECT_TRUE(sink.messages.empty());
    fillAll(QStringLiteral("abc"));
    click("addButton");
    EXPECT_EQ(messageTexts(), std::vector<QString>{"This description is used already!"});
    ASSERT_EQ(trackers.count(), 2);
    EXPECT_EQ(trackers.at(1).description, "ABC");
    EXPECT_EQ(listTexts(), (QStringList{"ABC", "abc"}));
}

TEST_F(TrackerListDialogTest, SaveOverwritesTheSelectedTrackerAndKeepsDescriptionsUnique) {
    trackers.add(makeEntry("alpha"));
    trackers.add(makeEntry("beta"));
    open();
    choose(QStringLiteral("beta"));
    type("phone", QStringLiteral("111"));
    type("pushPort", QStringLiteral("1f"));
    click("saveButton");
    EXPECT_TRUE(sink.messages.empty());
    ASSERT_EQ(trackers.count(), 2);
    EXPECT_EQ(trackers.at(0), makeEntry("alpha"));
    EXPECT_EQ(trackers.at(1).phone, "111");
    EXPECT_EQ(trackers.at(1).pushPort, 31);
    // Save does not close the dialog.
    EXPECT_TRUE(dialog->isVisible());

    // Taking another tracker's description is refused and changes nothing.
    const TrackerEntry before = trackers.at(1);
    type("description", QStringLiteral("alpha"));
    type("phone", QStringLiteral("222"));
    click("saveButton");
    EXPECT_EQ(messageTexts(), std::vector<QString>{"This description is used already!"});
    EXPECT_EQ(trackers.at(1), before);
    EXPECT_EQ(listTexts(), (QStringList{"alpha", "beta"}));

    // A new description replaces the item in its sorted place, selected.
    type("description", QStringLiteral("Aardvark"));
    click("saveButton");
    ASSERT_EQ(trackers.count(), 2);
    EXPECT_EQ(trackers.at(1).description, "Aardvark");
    EXPECT_EQ(trackers.at(1).phone, "222");
    EXPECT_EQ(listTexts(), (QStringList{"Aardvark", "alpha"}));
    EXPECT_EQ(selectedText(), QStringLiteral("Aardvark"));
    EXPECT_EQ(sink.messages.size(), 1u);
}

TEST_F(TrackerListDialogTest, SaveAndDeleteWithoutSelectionDoNothing) {
    trackers.add(makeEntry("only"));
    open();
    fillAll(QStringLiteral("other"));
    click("saveButton");
    click("deleteButton");
    // Even a failing emptiness check stays silent without a selection.
    type("description", QString());
    click("saveButton");
    EXPECT_TRUE(sink.messages.empty());
    ASSERT_EQ(trackers.count(), 1);
    EXPECT_EQ(trackers.at(0), makeEntry("only"));
    EXPECT_EQ(listTexts(), QStringList{"only"});
}

TEST_F(TrackerListDialogTest, DeleteRemovesTheTrackerAtOnceAndAddBringsItBack) {
    trackers.add(makeEntry("alpha"));
    trackers.add(makeEntry("beta"));
    trackers.add(makeEntry("gamma"));
    open();
    choose(QStringLiteral("beta"));
    click("deleteButton");
    EXPECT_TRUE(sink.messages.empty());
    ASSERT_EQ(trackers.count(), 2);
    EXPECT_EQ(trackers.findByDescription("beta"), -1);
    EXPECT_EQ(listTexts(), (QStringList{"alpha", "gamma"}));
    EXPECT_TRUE(list()->selectedItems().isEmpty());
    // The boxes still show the deleted tracker.
    EXPECT_EQ(edit("description")->text(), QStringLiteral("beta"));

    click("addButton");
    ASSERT_EQ(trackers.count(), 3);
    EXPECT_EQ(trackers.at(2), makeEntry("beta"));

    // Exit closes as cancel; the changes made to the list stay.
    choose(QStringLiteral("alpha"));
    click("deleteButton");
    click("exitButton");
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    ASSERT_EQ(trackers.count(), 2);
    EXPECT_EQ(trackers.at(0).description, "gamma");
    EXPECT_EQ(trackers.at(1).description, "beta");
}

TEST_F(TrackerListDialogTest, EnterPressesNoButtonAndEscapeCloses) {
    trackers.add(makeEntry("alpha"));
    open();
    choose(QStringLiteral("alpha"));
    type("apn", QStringLiteral("changed"));
    // Neither in a box nor on a focused button does Enter overwrite the tracker.
    QTest::keyClick(edit("apn"), Qt::Key_Return);
    auto* save = dialog->findChild<QPushButton*>(QStringLiteral("saveButton"));
    save->setFocus();
    QTest::keyClick(save, Qt::Key_Enter);
    EXPECT_EQ(trackers.at(0).apn, "web");
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_TRUE(dialog->isVisible());
    QTest::keyClick(edit("apn"), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
}

TEST_F(TrackerListDialogTest, TextsThatAreNotUtf8AreShownReadablyAndKeepTheirBytes) {
    const std::string latin1 = "Caf\xE9 \xE0 Gen\xE8ve";  // Latin-1, not UTF-8
    TrackerEntry stored = makeEntry(latin1);
    stored.apn = "apn\xFF";
    trackers.add(stored);
    trackers.add(makeEntry("other"));
    open();
    EXPECT_EQ(listTexts(), (QStringList{QString::fromUtf8("Café à Genève"), "other"}));
    choose(QString::fromUtf8("Café à Genève"));
    EXPECT_EQ(edit("description")->text(), QString::fromUtf8("Café à Genève"));
    EXPECT_EQ(edit("apn")->text(), QString::fromUtf8("apnÿ"));

    // Saved unchanged apart from the phone: the other texts keep their bytes.
    type("phone", QStringLiteral("4912345"));
    click("saveButton");
    ASSERT_EQ(trackers.count(), 2);
    EXPECT_EQ(trackers.at(0).description, latin1);
    EXPECT_EQ(trackers.at(0).apn, "apn\xFF");
    EXPECT_EQ(trackers.at(0).phone, "4912345");
    // A typed text that is the readable form of a stored one is a different text.
    QLineEdit* description = edit("description");
    description->clear();
    for (const QChar c : QString::fromUtf8("Café à Genève"))
        QTest::sendKeyEvent(QTest::Press, description, Qt::Key_unknown, QString(c), {});
    click("addButton");
    EXPECT_EQ(trackers.count(), 3);
    EXPECT_EQ(trackers.at(2).description, "Caf\xC3\xA9 \xC3\xA0 Gen\xC3\xA8ve");

    choose(QStringLiteral("other"));
    click("deleteButton");
    ASSERT_EQ(trackers.count(), 2);
    EXPECT_EQ(trackers.at(0).description, latin1);
    list()->setCurrentRow(0);  // the stored one sorts first of the equal texts
    ASSERT_EQ(list()->currentItem()->data(Qt::UserRole).toByteArray().toStdString(), latin1);
    click("deleteButton");
    ASSERT_EQ(trackers.count(), 1);
    EXPECT_NE(trackers.at(0).description, latin1);
}

TEST_F(TrackerListDialogTest, LongTextsAreKeptWhole) {
    open();
    fillAll(QString(300, QLatin1Char('d')));
    type("smsPassword", QString(400, QLatin1Char('p')));
    click("addButton");
    ASSERT_EQ(trackers.count(), 1);
    EXPECT_EQ(trackers.at(0).description, std::string(300, 'd'));
    EXPECT_EQ(trackers.at(0).smsPassword, std::string(400, 'p'));
}

}  // namespace
}  // namespace vela
