#include "gui/tracker_list_dialog.h"

#include "gui/dialog_units.h"
#include "gui/group_frame.h"
#include "gui/input_validators.h"
#include "gui/stored_text.h"
#include "storage/hex_port.h"
#include "storage/tracker_checks.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>

#include <memory>

namespace vela {

namespace {

const QString kCaption = QStringLiteral("Tracker list");
// The validation texts are shared with the command line's checks.
const QString kNeedDescription = QString::fromLatin1(kTrackerNeedsDescription);
const QString kNeedPhone = QString::fromLatin1(kTrackerNeedsPhone);
const QString kNeedApn = QString::fromLatin1(kTrackerNeedsApn);
const QString kDescriptionUsed = QString::fromLatin1(kTrackerDescriptionUsed);

// The list box's order: alphabetical ignoring case; equal texts in other case keep a
// fixed order among themselves.
bool listsBefore(const QString& a, const QString& b) {
    const int folded = QString::compare(a, b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : QString::compare(a, b, Qt::CaseSensitive) < 0;
}

std::string itemBytes(const QListWidgetItem* item) {
    return FromStoredBytes(item->data(kStoredBytesRole).toByteArray());
}

}  // namespace

TrackerListDialog::TrackerListDialog(TrackerList& trackers, MessageSink& messages, QWidget* parent)
    : QDialog(parent), trackers_(trackers), messages_(messages) {
    setObjectName(QStringLiteral("trackerListDialog"));
    setWindowTitle(kCaption);
    setFont(DialogUnits::dialogFont());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    BuildControls();

    ShowValues(Values{});
    // The box sorts the descriptions itself; nothing is selected at first.
    for (const TrackerEntry& entry : trackers_.entries()) {
        InsertSorted(entry.description);
    }
    SelectQuietly(nullptr);
}

TrackerListDialog::~TrackerListDialog() = default;

void TrackerListDialog::BuildControls() {
    const DialogUnits units(font());
    setFixedSize(units.size(301, 244));

    // Group boxes first, so that the controls lie above their frames.
    const struct {
        const char* title;
        int y;
    } groups[] = {
        {"Description (IMEI) / device:", 7}, {"Phone number / push port:", 41},
        {"SMS user name / password:", 76},   {"APN / Authentication:", 113},
        {"GPRS user name / password:", 150},
    };
    for (const auto& group : groups) {
        auto* box = new GroupFrame(QString::fromLatin1(group.title), this);
        box->setGeometry(units.rect(99, group.y, 195, 31));
    }

    auto makeEdit = [&](const char* name, QRect rect) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setGeometry(rect);
        return edit;
    };
    auto makeList = [&](const char* name, QRect rect, const QStringList& items) {
        auto* combo = new QComboBox(this);
        combo->setObjectName(QString::fromLatin1(name));
        combo->addItems(items);
        combo->setGeometry(rect);
        return combo;
    };
    auto makeButton = [&](const char* name, const QString& text, QRect rect) {
        auto* button = new QPushButton(text, this);
        button->setObjectName(QString::fromLatin1(name));
        button->setGeometry(rect);
        return button;
    };

    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("trackerList"));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setGeometry(units.rect(7, 7, 86, 230));

    // Drop-down lists get the height of the edit boxes beside them; the heights of
    // the template include the opened list.
    description_ = makeEdit("description", units.rect(105, 18, 110, 13));
    deviceType_ = makeList("deviceType", units.rect(222, 18, 66, 13),
                           {QString::fromLatin1(kTrackerDeviceTypes[0])});

    auto* plus = new QLabel(QStringLiteral("+"), this);
    plus->setObjectName(QStringLiteral("phonePlus"));
    plus->setGeometry(units.rect(104, 55, 8, 8));
    phone_ = makeEdit("phone", units.rect(113, 52, 103, 14));
    phone_->setValidator(new DigitsValidator(phone_));
    pushPort_ = makeEdit("pushPort", units.rect(222, 52, 66, 14));
    pushPort_->setValidator(new UpperCaseValidator(pushPort_));

    smsUser_ = makeEdit("smsUser", units.rect(105, 87, 111, 14));
    smsPassword_ = makeEdit("smsPassword", units.rect(222, 87, 66, 14));
    smsPassword_->setEchoMode(QLineEdit::Password);

    apn_ = makeEdit("apn", units.rect(105, 124, 110, 14));
    auth_ = makeList("auth", units.rect(222, 124, 66, 14),
                     {QStringLiteral("None"), QStringLiteral("CHAP"), QStringLiteral("PAP")});

    gprsUser_ = makeEdit("gprsUser", units.rect(105, 161, 111, 14));
    gprsPassword_ = makeEdit("gprsPassword", units.rect(222, 161, 66, 14));
    gprsPassword_->setEchoMode(QLineEdit::Password);

    add_ = makeButton("addButton", QStringLiteral("Add"), units.rect(130, 191, 50, 14));
    delete_ = makeButton("deleteButton", QStringLiteral("Delete"), units.rect(185, 191, 50, 14));
    save_ = makeButton("saveButton", QStringLiteral("Save"), units.rect(238, 191, 50, 14));
    exit_ = makeButton("exitButton", QStringLiteral("Exit"), units.rect(238, 218, 50, 14));
    // No button is the default and Enter presses none: Enter in a box must not
    // overwrite the selected tracker with what is typed.
    for (QPushButton* button : {add_, delete_, save_, exit_}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    QWidget* const tabOrder[] = {list_,         description_, deviceType_, phone_, pushPort_,
                                 smsUser_,      smsPassword_, apn_,        auth_,  gprsUser_,
                                 gprsPassword_, add_,         delete_,     save_,  exit_};
    for (size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(list_, &QListWidget::itemSelectionChanged, this, &TrackerListDialog::OnChooseTracker);
    connect(add_, &QPushButton::clicked, this, &TrackerListDialog::OnAdd);
    connect(delete_, &QPushButton::clicked, this, &TrackerListDialog::OnDelete);
    connect(save_, &QPushButton::clicked, this, &TrackerListDialog::OnSave);
    connect(exit_, &QPushButton::clicked, this, &TrackerListDialog::reject);
}

TrackerListDialog::Values TrackerListDialog::ReadValues() const {
    Values values;
    values.description = StoredText(description_);
    values.phone = StoredText(phone_);
    values.pushPort = pushPort_->text();
    values.smsUser = StoredText(smsUser_);
    values.smsPassword = StoredText(smsPassword_);
    values.apn = StoredText(apn_);
    values.gprsUser = StoredText(gprsUser_);
    values.gprsPassword = StoredText(gprsPassword_);
    values.auth = auth_->currentIndex();
    values.deviceType = deviceType_->currentIndex();
    return values;
}

void TrackerListDialog::ShowValues(const Values& values) {
    ShowStoredText(description_, values.description);
    ShowStoredText(phone_, values.phone);
    pushPort_->setText(values.pushPort);
    ShowStoredText(smsUser_, values.smsUser);
    ShowStoredText(smsPassword_, values.smsPassword);
    ShowStoredText(apn_, values.apn);
    ShowStoredText(gprsUser_, values.gprsUser);
    ShowStoredText(gprsPassword_, values.gprsPassword);
    // An index that names no item leaves the list without a choice (-1).
    auth_->setCurrentIndex(values.auth >= 0 && values.auth < auth_->count() ? values.auth : -1);
    deviceType_->setCurrentIndex(values.deviceType >= 0 && values.deviceType < deviceType_->count()
                                     ? values.deviceType
                                     : -1);
}

void TrackerListDialog::ShowStop(const QString& text) {
    messages_.ShowMessage(this, text, MessageIcon::Stop);
}

bool TrackerListDialog::CheckRequiredFields(const Values& values) {
    if (values.description.empty()) {
        ShowStop(kNeedDescription);
        return false;
    }
    if (values.phone.empty()) {
        ShowStop(kNeedPhone);
        return false;
    }
    if (values.apn.empty()) {
        ShowStop(kNeedApn);
        return false;
    }
    return true;
}

TrackerEntry TrackerListDialog::EntryFrom(const Values& values) {
    TrackerEntry entry;
    entry.description = values.description;
    entry.phone = values.phone;
    // The port box holds single-byte characters; the digit rule works on their codes.
    const QByteArray port = values.pushPort.toLatin1();
    entry.pushPort =
        parseHexPort(std::string_view(port.constData(), static_cast<size_t>(port.size())));
    entry.apn = values.apn;
    entry.auth = values.auth;
    entry.smsUser = values.smsUser;
    entry.smsPassword = values.smsPassword;
    entry.gprsUser = values.gprsUser;
    entry.gprsPassword = values.gprsPassword;
    entry.deviceType = values.deviceType;
    return entry;
}

QListWidgetItem* TrackerListDialog::SelectedItem() const {
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? nullptr : selected.first();
}

QListWidgetItem* TrackerListDialog::InsertSorted(const std::string& description) {
    const QString shown = DisplayText(description);
    int row = 0;
    while (row < list_->count() && !listsBefore(shown, list_->item(row)->text())) ++row;
    auto* item = new QListWidgetItem(shown);
    item->setData(kStoredBytesRole, StoredBytes(description));
    item->setToolTip(shown);
    list_->insertItem(row, item);
    return item;
}

void TrackerListDialog::SelectQuietly(QListWidgetItem* item) {
    const QSignalBlocker blocker(list_);
    if (item == nullptr) {
        list_->clearSelection();
        list_->setCurrentRow(-1);
        return;
    }
    list_->setCurrentItem(item);
    item->setSelected(true);
    list_->scrollToItem(item);
}

void TrackerListDialog::OnChooseTracker() {
    const QListWidgetItem* item = SelectedItem();
    if (item == nullptr) return;
    const std::string description = itemBytes(item);
    const int index = trackers_.findByDescription(description);
    if (index < 0) return;
    const TrackerEntry entry = trackers_.at(index);
    Values values;
    values.description = description;
    values.phone = entry.phone;
    values.pushPort = QString::fromStdString(formatHexPort(entry.pushPort));
    values.auth = entry.auth;
    values.apn = entry.apn;
    values.smsUser = entry.smsUser;
    values.smsPassword = entry.smsPassword;
    values.gprsUser = entry.gprsUser;
    values.gprsPassword = entry.gprsPassword;
    values.deviceType = entry.deviceType;
    ShowValues(values);
}

void TrackerListDialog::OnAdd() {
    const Values values = ReadValues();
    if (values.deviceType < 0) return;
    if (!CheckRequiredFields(values)) return;
    for (int row = 0; row < list_->count(); ++row) {
        if (itemBytes(list_->item(row)) == values.description) {
            ShowStop(kDescriptionUsed);
            return;
        }
    }
    trackers_.add(EntryFrom(values));
    // The boxes keep what was typed.
    SelectQuietly(InsertSorted(values.description));
}

void TrackerListDialog::OnSave() {
    const Values values = ReadValues();
    QListWidgetItem* selected = SelectedItem();
    if (selected == nullptr || values.deviceType < 0) return;
    if (!CheckRequiredFields(values)) return;
    for (int row = 0; row < list_->count(); ++row) {
        const QListWidgetItem* item = list_->item(row);
        // Keeping the tracker's own description is allowed.
        if (item != selected && itemBytes(item) == values.description) {
            ShowStop(kDescriptionUsed);
            return;
        }
    }
    const int index = trackers_.findByDescription(itemBytes(selected));
    if (index < 0) return;
    trackers_.replaceAt(index, EntryFrom(values));
    {
        const QSignalBlocker blocker(list_);
        std::unique_ptr<QListWidgetItem> old(list_->takeItem(list_->row(selected)));
    }
    SelectQuietly(InsertSorted(values.description));
}

void TrackerListDialog::OnDelete() {
    QListWidgetItem* selected = SelectedItem();
    if (selected == nullptr) return;
    const int index = trackers_.findByDescription(itemBytes(selected));
    if (index < 0) return;
    trackers_.removeAt(index);
    {
        const QSignalBlocker blocker(list_);
        std::unique_ptr<QListWidgetItem> old(list_->takeItem(list_->row(selected)));
    }
    // No item stays selected; the boxes keep the deleted tracker's fields, so "Add"
    // can bring it back.
    SelectQuietly(nullptr);
}

}  // namespace vela
