#pragma once

#include <QDialog>

namespace vela {

// "About Vela": the program's icon, its name and version, the data directory in use
// (where settings.accdb and test-server.ini are read), and OK.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr, const QString& dataDirectory = QString());
    // "Vela Version 1.0.0".
    static QString versionLine();
};

}  // namespace vela
