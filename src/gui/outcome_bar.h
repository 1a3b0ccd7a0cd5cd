#pragma once

#include <QProgressBar>

namespace vela {

// A progress bar that shows the configured and the failed trackers apart: green from the
// left for the configured, red after them for the failed, the rest empty. Its value is
// the number done, as a plain progress bar's would be.
class OutcomeBar : public QProgressBar {
    Q_OBJECT
public:
    explicit OutcomeBar(QWidget* parent = nullptr);
    void setCounts(int configured, int failed, int total);
    int configured() const { return configured_; }
    int failedCount() const { return failed_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int configured_ = 0;
    int failed_ = 0;
    int total_ = 0;
};

// Tells the operator that something ended while `window` was not the active one: a
// message from the system tray where there is one, otherwise the window's alert (its
// entry in the task bar asks for attention). True when the operator was told.
bool NotifyInBackground(QWidget* window, const QString& title, const QString& text);

}  // namespace vela
