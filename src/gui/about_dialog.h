#pragma once

#include <QDialog>

namespace vela {

// "About Vela": the program's icon, its name and version, and OK.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
    // "Vela Version 1.0.0".
    static QString versionLine();
};

}  // namespace vela
