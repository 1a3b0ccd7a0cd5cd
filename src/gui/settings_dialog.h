#pragma once

#include "gui/message_sink.h"
#include "modem/serial_port.h"
#include "storage/program_settings.h"

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
// saves), Cancel writes nothing. Its "<>" probe uses the modem's serial port.
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    // The port names the probe tries, in order.
    using ProbeNames = std::function<std::vector<std::string>()>;

    SettingsDialog(ProgramSettings& settings, SerialPort& serialPort, MessageSink& messages,
                   QWidget* parent = nullptr);
    ~SettingsDialog() override;

    // COM1 to COM40 and, on Linux, the USB serial devices (/dev/ttyUSB*, /dev/ttyACM*)
    // present on the machine, by path.
    static std::vector<std::string> DefaultProbeNames();
    // Replaces the names the probe tries (tests offer pseudo-terminals).
    void SetProbeNames(ProbeNames probeNames);

    // OK: writes the values into the settings unless a port is out of range.
    void accept() override;

private:
    void BuildControls();
    void OnHexMode();
    void OnProbe();
    // The opened list of the modem port box: wide enough for its longest name.
    void FitModemPortList();
    void ShowStop(const QString& text, QWidget* focus);

    ProgramSettings& settings_;
    SerialPort& serialPort_;
    MessageSink& messages_;
    ProbeNames probeNames_;
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
};

}  // namespace vela
