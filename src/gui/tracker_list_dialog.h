#pragma once

#include "gui/message_sink.h"
#include "storage/tracker_entry.h"
#include "storage/tracker_list.h"

#include <QDialog>
#include <QString>
#include <string>

class QComboBox;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace vela {

// "Tracker list": adds, overwrites and deletes trackers of the main dialog's list in
// place. It never touches the database; the main dialog saves after it closes.
// "Save" does not close the dialog; only the cancel command ("Exit", Escape, the close
// box) does. No button is the default: Enter presses nothing.
class TrackerListDialog : public QDialog {
    Q_OBJECT
public:
    TrackerListDialog(TrackerList& trackers, MessageSink& messages, QWidget* parent = nullptr);
    ~TrackerListDialog() override;

private:
    // One value per field, exchanged with the controls as a whole.
    struct Values {
        // The texts as stored: the bytes a box was given back while it still shows them,
        // UTF-8 for what the operator typed.
        std::string description;
        std::string phone;
        QString pushPort = QStringLiteral("07D1");  // hexadecimal text
        std::string smsUser;
        std::string smsPassword;
        std::string apn = "internet";
        std::string gprsUser;
        std::string gprsPassword;
        int auth = 0;         // index into "None", "CHAP", "PAP"
        int deviceType = -1;  // index into the device types; -1 = none chosen
    };

    void BuildControls();
    Values ReadValues() const;
    void ShowValues(const Values& values);
    // The emptiness checks shared by "Add" and "Save"; shows the first failure.
    bool CheckRequiredFields(const Values& values);
    void ShowStop(const QString& text);
    static TrackerEntry EntryFrom(const Values& values);

    QListWidgetItem* SelectedItem() const;
    // Adds a description in its place of the case-ignoring order of what is shown;
    // the item keeps the stored bytes as its data.
    QListWidgetItem* InsertSorted(const std::string& description);
    // Selects without running the choice handler, as a selection made by the program.
    void SelectQuietly(QListWidgetItem* item);

    void OnChooseTracker();
    void OnAdd();
    void OnSave();
    void OnDelete();

    TrackerList& trackers_;
    MessageSink& messages_;

    QListWidget* list_ = nullptr;
    QLineEdit* description_ = nullptr;
    QComboBox* deviceType_ = nullptr;
    QLineEdit* phone_ = nullptr;
    QLineEdit* pushPort_ = nullptr;
    QLineEdit* smsUser_ = nullptr;
    QLineEdit* smsPassword_ = nullptr;
    QLineEdit* apn_ = nullptr;
    QComboBox* auth_ = nullptr;
    QLineEdit* gprsUser_ = nullptr;
    QLineEdit* gprsPassword_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* delete_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* exit_ = nullptr;
};

}  // namespace vela
