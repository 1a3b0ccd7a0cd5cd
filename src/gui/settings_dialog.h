#pragma once

#include "gui/message_sink.h"
#include "modem/serial_port.h"
#include "storage/program_settings.h"

#include <QDialog>

namespace vela {

// "Settings": edits the main dialog's settings; OK writes them (the main dialog then
// saves), Cancel writes nothing. Its "<>" probe uses the modem's serial port.
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    SettingsDialog(ProgramSettings& settings, SerialPort& serialPort, MessageSink& messages,
                   QWidget* parent = nullptr);
    ~SettingsDialog() override;

private:
    struct Ui;
    ProgramSettings& settings_;
    SerialPort& serialPort_;
    MessageSink& messages_;
    Ui* ui_ = nullptr;
};

}  // namespace vela
