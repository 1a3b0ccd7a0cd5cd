#pragma once

#include "gui/message_sink.h"
#include "modem/serial_port.h"
#include "modem/serial_probe.h"
#include "storage/program_settings.h"
#include "storage/station_options.h"

#include <QDialog>

#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace vela {

class IpAddressEdit;

// "Settings": edits the main dialog's settings; OK writes them (the main dialog then
// saves), Cancel writes nothing. Its "<>" probe uses the modem's serial port. Given
// the station's options, the dialog is taller and edits them below the settings: who
// may call, and whether SMS ask for delivery reports.
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    // The serial lines the probe lists, in order.
    using Probe = std::function<std::vector<ProbedPort>()>;

    SettingsDialog(ProgramSettings& settings, SerialPort& serialPort, MessageSink& messages,
                   QWidget* parent = nullptr, StationOptions* options = nullptr);
    ~SettingsDialog() override;

    // The lines of this machine: on Windows the COM1 to COM40 that open; elsewhere the
    // lines sysfs shows (USB adapters by their stable name, COMn for on-board UARTs),
    // none of them opened.
    std::vector<ProbedPort> DefaultProbe();
    // Replaces the probe's listing (tests offer their own).
    void SetProbe(Probe probe);

    // OK: writes the values into the settings unless a port is out of range.
    void accept() override;

private:
    void BuildControls();
    void BuildOptionControls();
    void OnHexMode();
    void OnProbe();
    // The opened list of the modem port box: wide enough for its longest name.
    void FitModemPortList();
    void ShowStop(const QString& text, QWidget* focus);

    ProgramSettings& settings_;
    StationOptions* options_;
    SerialPort& serialPort_;
    MessageSink& messages_;
    Probe probeList_;
    int32_t timeoutSeconds_ = 0;  // the value the read-only box shows

    IpAddressEdit* externalIp_ = nullptr;
    QLineEdit* externalPort_ = nullptr;
    QLineEdit* localPort_ = nullptr;
    QLineEdit* timeout_ = nullptr;
    QCheckBox* hexMode_ = nullptr;
    QComboBox* modemPort_ = nullptr;
    QPushButton* probe_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QLineEdit* allowFrom_ = nullptr;
    QCheckBox* deliveryReports_ = nullptr;
};

}  // namespace vela
