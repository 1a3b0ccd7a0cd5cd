#pragma once

#include "app/main_dialog_view.h"
#include "storage/station_options.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <optional>
#include <ostream>

// Readable failures: gtest prints a QString (and so a QStringList) as its text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace vela::test {

// A view that records what MainDialog shows, one entry per call, and answers the
// choices from its fields. Pauses are recorded and return at once.
class RecordingView : public MainDialogView {
public:
    QStringList events;
    QStringList choice;               // as filled, in the order given
    std::optional<QString> selected;  // nullopt: the first of the sorted choice
    std::optional<QString> configFile;
    std::function<void(TrackerList&)> trackerDialog;
    std::function<bool(ProgramSettings&)> settingsDialog;
    // What the settings dialog's OK does to the options.
    std::function<void(StationOptions&)> optionsEdit;
    std::function<void()> duringPause;
    // The reasons given behind a box's fixed text.
    QStringList reasons;
    QString status, device, file;
    std::optional<Verdict> verdict;  // the last shown, until cleared by a new run
    QString verdictDetail;
    int progress = 0;
    bool progressVisible = false;

    static QString name(RunButton button) {
        switch (button) {
            case RunButton::LetsGo:
                return QStringLiteral("letsgo");
            case RunButton::Listen:
                return QStringLiteral("listen");
            case RunButton::CheckPort:
                break;
        }
        return QStringLiteral("checkport");
    }

    void SetStatusText(const QString& text) override {
        status = text;
        events << QStringLiteral("status: ") + text;
    }
    void SetDeviceText(const QString& text) override {
        device = text;
        events << QStringLiteral("device: ") + text;
    }
    void SetFileText(const QString& text) override {
        file = text;
        events << QStringLiteral("file: ") + text;
    }
    void SetProgress(int position) override {
        progress = position;
        events << QStringLiteral("progress: %1").arg(position);
    }
    void SetProgressVisible(bool visible) override {
        progressVisible = visible;
        events << (visible ? QStringLiteral("progress: shown")
                           : QStringLiteral("progress: hidden"));
    }
    void SetRunCaption(RunButton button, const QString& caption) override {
        events << QStringLiteral("caption %1: %2").arg(name(button), caption);
    }
    void SetRunEnabled(RunButton button, bool enabled) override {
        events << QStringLiteral("enabled %1: %2").arg(name(button)).arg(enabled ? 1 : 0);
    }
    void ShowMessage(const QString& text, BoxIcon icon) override {
        events << (icon == BoxIcon::Stop ? QStringLiteral("error: ")
                                         : QStringLiteral("warning: ")) +
                      text;
    }
    void ShowMessageWithReason(const QString& text, BoxIcon icon, const QString& reason) override {
        ShowMessage(text, icon);
        reasons << reason;
    }
    std::optional<QString> ChooseConfigFile() override { return configFile; }
    void RepaintNow() override { events << QStringLiteral("repaint"); }
    void SetWaitCursor(bool on) override { events << QStringLiteral("wait cursor: %1").arg(on); }
    void FillTrackerChoice(const std::vector<std::string>& descriptions) override {
        choice.clear();
        for (const std::string& description : descriptions)
            choice << QString::fromStdString(description);
    }
    std::optional<std::string> SelectedTracker() const override {
        if (selected) return selected->toStdString();
        if (choice.isEmpty()) return std::nullopt;
        QStringList sorted = choice;
        std::stable_sort(sorted.begin(), sorted.end(), [](const QString& a, const QString& b) {
            return QString::compare(a, b, Qt::CaseInsensitive) < 0;
        });
        return sorted.first().toStdString();
    }
    void RunTrackerListDialog(TrackerList& trackers) override {
        events << QStringLiteral("tracker dialog");
        if (trackerDialog) trackerDialog(trackers);
    }
    bool RunSettingsDialog(ProgramSettings& settings, StationOptions& options,
                           SerialPort&) override {
        events << QStringLiteral("settings dialog");
        const bool accepted = settingsDialog ? settingsDialog(settings) : false;
        if (accepted && optionsEdit) optionsEdit(options);
        return accepted;
    }
    void Pause(std::chrono::milliseconds length) override {
        events << QStringLiteral("pause %1").arg(length.count());
        // A copy runs, so that a hook may replace or clear itself while it runs.
        if (const std::function<void()> hook = duringPause) hook();
    }

    void ShowVerdict(Verdict shown, const QString& detail) override {
        verdict = shown;
        verdictDetail = detail;
        events << QStringLiteral("verdict: ") + QString::fromLatin1(VerdictWord(shown).data()) +
                      (detail.isEmpty() ? QString() : QStringLiteral(" ") + detail);
    }
    void ClearVerdict() override {
        verdict.reset();
        verdictDetail.clear();
    }
    void WaitWhilePainting(const std::function<bool()>& done) override {
        events << QStringLiteral("painting while waiting");
        while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    // The events recorded since `from`, without the repaint markers.
    QStringList since(qsizetype from) const {
        QStringList out;
        for (qsizetype i = from; i < events.size(); ++i) {
            if (events[i] != QStringLiteral("repaint")) out << events[i];
        }
        return out;
    }
};

// Runs the event loop until `done` holds or `limit` has passed.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limit.count()) return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

}  // namespace vela::test
