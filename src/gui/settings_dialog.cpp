#include "gui/settings_dialog.h"

#include "common/number.h"
#include "gui/dialog_units.h"
#include "gui/group_frame.h"
#include "gui/input_validators.h"
#include "gui/ip_address_edit.h"
#include "gui/stored_text.h"
#include "storage/hex_port.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

#include <algorithm>
#include <optional>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

namespace vela {

namespace {

const QString kCaption = QStringLiteral("Settings");
const QString kExternalPortRange = QStringLiteral("External port must be from 0 to 65535!");
const QString kLocalPortRange = QStringLiteral("Local port must be from 0 to 65535!");
const QString kAllowFromInvalid = QStringLiteral("Allowed callers: %1");

#ifdef _WIN32
constexpr int kProbedComPorts = 40;
#endif
constexpr int kListedComPorts = 8;
constexpr int32_t kMaxPort = 65535;

// The port boxes hold single-byte characters; the conversions work on their codes.
std::string portBytes(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

int32_t decimalPort(const QLineEdit* box) {
    return parseAtoi(portBytes(box->text()));
}
int32_t hexPort(const QLineEdit* box) {
    return parseHexPort(portBytes(box->text()));
}

QString decimalText(int32_t port) {
    return QString::number(port);
}
QString hexText(int32_t port) {
    return QString::fromStdString(formatHexPort(port));
}

// Restores the normal cursor however the probe ends.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

SettingsDialog::SettingsDialog(ProgramSettings& settings, SerialPort& serialPort,
                               MessageSink& messages, QWidget* parent, StationOptions* options)
    : QDialog(parent),
      settings_(settings),
      options_(options),
      serialPort_(serialPort),
      messages_(messages),
      probeList_([this] { return DefaultProbe(); }) {
    setWindowTitle(kCaption);
    setFont(DialogUnits::dialogFont());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    BuildControls();
    if (options_) BuildOptionControls();

    // Hex mode starts off at every opening; the ports are shown in decimal.
    externalIp_->setAddress(settings_.externalIp);
    externalPort_->setText(decimalText(settings_.externalPort));
    localPort_->setText(decimalText(settings_.localPort));
    timeoutSeconds_ = settings_.timeoutSeconds;
    timeout_->setText(QString::number(timeoutSeconds_));
    // The stored name is shown as it stands, listed or not, and given back byte for
    // byte unless the operator changes it.
    modemPort_->setCurrentIndex(
        modemPort_->findText(DisplayText(settings_.modemPort), Qt::MatchExactly));
    ShowStoredText(modemPort_->lineEdit(), settings_.modemPort);
    modemPort_->lineEdit()->setCursorPosition(0);
}

SettingsDialog::~SettingsDialog() = default;

void SettingsDialog::BuildControls() {
    const DialogUnits units(font());
    setFixedSize(units.size(237, 119));

    // Group boxes first, so that the controls lie above their frames.
    auto* externalGroup = new GroupFrame(QStringLiteral("External IP / Port:"), this);
    externalGroup->setGeometry(units.rect(7, 7, 155, 32));
    auto* localGroup = new GroupFrame(QStringLiteral("Local port / Timeout, s:"), this);
    localGroup->setGeometry(units.rect(7, 42, 155, 32));
    auto* modemGroup = new GroupFrame(QStringLiteral("Modem port:"), this);
    modemGroup->setGeometry(units.rect(6, 79, 155, 32));

    externalIp_ = new IpAddressEdit(this);
    externalIp_->setObjectName(QStringLiteral("externalIp"));
    externalIp_->setGeometry(units.rect(13, 19, 100, 13));

    auto makePortBox = [&](const char* name, QRect rect) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setValidator(new UpperCaseValidator(edit));
        edit->setGeometry(rect);
        return edit;
    };
    externalPort_ = makePortBox("externalPort", units.rect(117, 19, 40, 13));
    localPort_ = makePortBox("localPort", units.rect(13, 55, 40, 13));

    timeout_ = new QLineEdit(this);
    timeout_->setObjectName(QStringLiteral("timeout"));
    timeout_->setValidator(new DigitsValidator(timeout_));
    timeout_->setReadOnly(true);
    // Drawn on the window colour, as read-only boxes are, so it does not invite typing.
    QPalette readOnly = timeout_->palette();
    readOnly.setColor(QPalette::Base, readOnly.color(QPalette::Window));
    timeout_->setPalette(readOnly);
    timeout_->setGeometry(units.rect(59, 54, 40, 13));

    hexMode_ = new QCheckBox(QStringLiteral("Hex mode"), this);
    hexMode_->setObjectName(QStringLiteral("hexMode"));
    // The platform's check box keeps more room between box and text than the template
    // allows for; widen it rather than cut its text.
    QRect hexModeRect = units.rect(105, 56, 49, 10);
    const int hexModeNeeds =
        hexMode_->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, hexMode_) +
        hexMode_->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, hexMode_) +
        hexMode_->fontMetrics().horizontalAdvance(hexMode_->text()) + 2;
    hexModeRect.setWidth(std::max(hexModeRect.width(), hexModeNeeds));
    hexMode_->setGeometry(hexModeRect);

    modemPort_ = new QComboBox(this);
    modemPort_->setObjectName(QStringLiteral("modemPort"));
    modemPort_->setEditable(true);
    // Typed names are used as they stand and never added to the list.
    modemPort_->setInsertPolicy(QComboBox::NoInsert);
    for (int n = 1; n <= kListedComPorts; ++n) modemPort_->addItem(QStringLiteral("COM%1").arg(n));
    // The template's height includes the opened list; the closed box is one line high.
    modemPort_->setGeometry(units.rect(13, 92, 100, 13));
    // A long name (/dev/serial/by-id/...) shows its start, with the whole name as the
    // tooltip; the opened list is as wide as its longest name, the box keeps its size.
    connect(modemPort_, &QComboBox::currentTextChanged, modemPort_,
            [this](const QString& text) { modemPort_->setToolTip(text); });
    connect(modemPort_, QOverload<int>::of(&QComboBox::activated), this,
            [this] { modemPort_->lineEdit()->setCursorPosition(0); });
    const auto widenList = [this] { FitModemPortList(); };
    connect(modemPort_->model(), &QAbstractItemModel::rowsInserted, this, widenList);
    connect(modemPort_->model(), &QAbstractItemModel::modelReset, this, widenList);

    auto makeButton = [&](const char* name, const QString& text, QRect rect) {
        auto* button = new QPushButton(text, this);
        button->setObjectName(QString::fromLatin1(name));
        button->setGeometry(rect);
        return button;
    };
    probe_ = makeButton("probeButton", QStringLiteral("<>"), units.rect(117, 91, 40, 14));
    ok_ = makeButton("okButton", QStringLiteral("OK"), units.rect(180, 7, 50, 14));
    cancel_ = makeButton("cancelButton", QStringLiteral("Cancel"), units.rect(180, 24, 50, 14));
    ok_->setDefault(true);

    QWidget* const tabOrder[] = {externalIp_, externalPort_, localPort_, timeout_, hexMode_,
                                 modemPort_,  probe_,        ok_,        cancel_};
    for (size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(hexMode_, &QCheckBox::clicked, this, &SettingsDialog::OnHexMode);
    connect(probe_, &QPushButton::clicked, this, &SettingsDialog::OnProbe);
    connect(ok_, &QPushButton::clicked, this, &SettingsDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &SettingsDialog::reject);
}

void SettingsDialog::BuildOptionControls() {
    // Below the settings, which keep their places: the dialog grows downwards.
    const DialogUnits units(font());
    setFixedSize(units.size(237, 160));
    auto* callersGroup =
        new GroupFrame(QStringLiteral("Allowed callers (A.B.C.D/N, empty: everyone):"), this);
    callersGroup->setGeometry(units.rect(7, 116, 223, 28));
    allowFrom_ = new QLineEdit(this);
    allowFrom_->setObjectName(QStringLiteral("allowFrom"));
    allowFrom_->setGeometry(units.rect(13, 127, 211, 13));
    allowFrom_->setText(QString::fromStdString(options_->allowFrom.Text()));
    deliveryReports_ = new QCheckBox(QStringLiteral("Ask for delivery reports"), this);
    deliveryReports_->setObjectName(QStringLiteral("deliveryReports"));
    deliveryReports_->setGeometry(units.rect(13, 147, 150, 10));
    deliveryReports_->setChecked(options_->askForDeliveryReports);
    setTabOrder(probe_, allowFrom_);
    setTabOrder(allowFrom_, deliveryReports_);
    setTabOrder(deliveryReports_, ok_);
}

std::vector<ProbedPort> SettingsDialog::DefaultProbe() {
#ifdef _WIN32
    // Windows names its ports COM1 to COM40 and says which exist only when opened.
    if (serialPort_.IsOpen()) serialPort_.Close();
    const std::string kept = settings_.modemPort;
    std::vector<ProbedPort> found;
    for (int n = 1; n <= kProbedComPorts; ++n) {
        settings_.modemPort = "COM" + std::to_string(n);
        // A port that does not open is skipped without a message.
        (void)serialPort_.Open(settings_.modemPort);
        if (serialPort_.IsOpen()) {
            serialPort_.Close();
            found.push_back({settings_.modemPort, {}});
        }
    }
    settings_.modemPort = kept;
    return found;
#else
    // Opening a line raises DTR, which resets many boards on other adapters: the lines
    // are listed from sysfs and only the one the operator chooses is ever opened.
    return ListSerialPorts();
#endif
}

void SettingsDialog::SetProbe(Probe probe) {
    probeList_ = std::move(probe);
}

void SettingsDialog::FitModemPortList() {
    const QFontMetrics metrics = modemPort_->view()->fontMetrics();
    int widest = 0;
    for (int i = 0; i < modemPort_->count(); ++i)
        widest = std::max(widest, metrics.horizontalAdvance(modemPort_->itemText(i)));
    const int frame = 2 * modemPort_->view()->frameWidth() + 16 +
                      modemPort_->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    modemPort_->view()->setMinimumWidth(std::max(modemPort_->width(), widest + frame));
}

void SettingsDialog::ShowStop(const QString& text, QWidget* focus) {
    messages_.ShowMessage(this, text, MessageIcon::Stop);
    focus->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(focus)) edit->selectAll();
}

void SettingsDialog::OnHexMode() {
    // Only the texts change; the ranges are checked when OK takes the values.
    if (hexMode_->isChecked()) {
        externalPort_->setText(hexText(decimalPort(externalPort_)));
        localPort_->setText(hexText(decimalPort(localPort_)));
    } else {
        externalPort_->setText(decimalText(hexPort(externalPort_)));
        localPort_->setText(decimalText(hexPort(localPort_)));
    }
}

void SettingsDialog::OnProbe() {
    const WaitCursor waitCursor;
    modemPort_->clear();
    modemPort_->clearEditText();
    for (const ProbedPort& port : probeList_ ? probeList_() : std::vector<ProbedPort>{}) {
        modemPort_->addItem(QString::fromStdString(port.name));
        // What the adapter is (maker, model, serial number) shows when pointed at.
        if (!port.description.empty()) {
            modemPort_->setItemData(modemPort_->count() - 1,
                                    QString::fromStdString(port.description), Qt::ToolTipRole);
        }
    }
    // The edit field stays empty until the operator chooses or types a name.
    modemPort_->setCurrentIndex(-1);
    modemPort_->clearEditText();
}

void SettingsDialog::accept() {
    const bool hex = hexMode_->isChecked();
    const int32_t externalPort = hex ? hexPort(externalPort_) : decimalPort(externalPort_);
    const int32_t localPort = hex ? hexPort(localPort_) : decimalPort(localPort_);
    // A decimal port outside the port range would reach the push message and the
    // listening socket as a different port; refuse it and write nothing.
    if (externalPort < 0 || externalPort > kMaxPort) {
        ShowStop(kExternalPortRange, externalPort_);
        return;
    }
    if (localPort < 0 || localPort > kMaxPort) {
        ShowStop(kLocalPortRange, localPort_);
        return;
    }

    std::optional<AddressAllowList> allowFrom;
    if (options_) {
        const Result<AddressAllowList> parsed =
            parseAddressAllowList(allowFrom_->text().toStdString());
        if (!parsed) {
            ShowStop(kAllowFromInvalid.arg(QString::fromStdString(parsed.message())), allowFrom_);
            return;
        }
        allowFrom = parsed.value();
    }

    if (options_) {
        options_->allowFrom = std::move(*allowFrom);
        options_->askForDeliveryReports = deliveryReports_->isChecked();
    }
    settings_.externalIp = externalIp_->address();
    settings_.modemPort = StoredText(modemPort_->lineEdit());
    settings_.timeoutSeconds = timeoutSeconds_;
    settings_.externalPort = externalPort;
    settings_.localPort = localPort;
    QDialog::accept();
}

}  // namespace vela
