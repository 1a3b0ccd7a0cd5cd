#pragma once

#include "app/main_dialog_view.h"

#include <QString>
#include <QStringList>
#include <cstdio>
#include <optional>
#include <string>

namespace velactl {

// The headless face of MainDialog: every change of a window line is printed as it
// happens, one per line ("status: ", "device: ", "file: ", "progress: N" or
// "progress: hidden"), every message box as "error: " (stop icon) or "warning: "
// (exclamation), and the run's end as "verdict: WORD [detail]". The tracker choice and
// the file choice are given on the command line.
class ConsoleView : public vela::MainDialogView {
public:
    ConsoleView(std::string tracker, std::optional<QString> configPath, std::FILE* out = stdout);

    void SetStatusText(const QString& text) override;
    void SetDeviceText(const QString& text) override;
    void SetFileText(const QString& text) override;
    void SetProgress(int position) override;
    void SetProgressVisible(bool visible) override;
    void SetRunCaption(vela::RunButton, const QString&) override {}
    void SetRunEnabled(vela::RunButton, bool) override {}
    void ShowMessage(const QString& text, vela::BoxIcon icon) override;
    void ShowMessageWithReason(const QString& text, vela::BoxIcon icon,
                               const QString& reason) override;
    std::optional<QString> ChooseConfigFile() override { return configPath_; }
    void RepaintNow() override {}
    void SetWaitCursor(bool) override {}
    void FillTrackerChoice(const std::vector<std::string>& descriptions) override;
    std::optional<std::string> SelectedTracker() const override;
    void RunTrackerListDialog(vela::TrackerList&) override {}
    bool RunSettingsDialog(vela::ProgramSettings&, vela::StationOptions&,
                           vela::SerialPort&) override {
        return false;
    }
    void Pause(std::chrono::milliseconds length) override;
    void ShowVerdict(vela::Verdict verdict, const QString& detail) override;
    void ClearVerdict() override { verdict_.reset(); }

    // A box with the stop icon was shown: the run failed.
    bool errorShown() const { return errorShown_; }
    // The verdict of the run, once it has one.
    std::optional<vela::Verdict> verdict() const { return verdict_; }

private:
    void printLine(const char* label, const QString& text);

    std::string tracker_;  // the description as given, byte for byte
    std::optional<QString> configPath_;
    std::FILE* out_;
    bool choiceEmpty_ = true;
    QString status_;
    QString device_;
    QString file_;
    int progress_ = 0;
    bool progressVisible_ = false;
    bool errorShown_ = false;
    std::optional<vela::Verdict> verdict_;
};

}  // namespace velactl
