#pragma once

#include <QFileDialog>

class QLabel;

namespace vela {

// The run's file-open dialog: "XML Files (*.xml)", the default extension "xml", and
// the refusals of the platform's dialog: a name whose folder does not exist and a file
// marked read-only are refused with a line inside the dialog, which stays open. The
// chosen file itself need not exist (the reader then builds its smallest image).
class ConfigFileDialog : public QFileDialog {
    Q_OBJECT
public:
    explicit ConfigFileDialog(QWidget* parent = nullptr);

    // Why the last typed name was refused; empty when none was.
    QString refusal() const;

    void accept() override;

private:
    QLabel* refusal_ = nullptr;
};

}  // namespace vela
