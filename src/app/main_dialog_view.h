#pragma once

#include "storage/verdict.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vela {

class TrackerList;
class SerialPort;
struct ProgramSettings;
struct StationOptions;

// The three run buttons.
enum class RunButton { LetsGo, Listen, CheckPort };

// The icon of a message box: stop for input and run errors, exclamation for the data
// layer's own texts.
enum class BoxIcon { Stop, Exclamation };

// Everything MainDialog shows or asks goes through this interface: the window
// implements it with widgets, velactl by printing lines, tests by recording.
class MainDialogView {
public:
    virtual ~MainDialogView() = default;

    virtual void SetStatusText(const QString& text) = 0;
    virtual void SetDeviceText(const QString& text) = 0;
    virtual void SetFileText(const QString& text) = 0;
    virtual void SetProgress(int position) = 0;
    virtual void SetProgressVisible(bool visible) = 0;
    virtual void SetRunCaption(RunButton button, const QString& caption) = 0;
    virtual void SetRunEnabled(RunButton button, bool enabled) = 0;
    // A modal box with an OK button.
    virtual void ShowMessage(const QString& text, BoxIcon icon) = 0;
    // The same box with the reason behind its fixed text (the window offers it as the
    // box's details, velactl prints it on standard error).
    virtual void ShowMessageWithReason(const QString& text, BoxIcon icon, const QString& reason) {
        (void)reason;
        ShowMessage(text, icon);
    }
    // The operator's XML file (full path), or nothing when the choice was cancelled.
    virtual std::optional<QString> ChooseConfigFile() = 0;
    // Paints the window at once (before a step that blocks).
    virtual void RepaintNow() = 0;
    virtual void SetWaitCursor(bool on) = 0;
    // Fills the tracker choice with these descriptions (the stored bytes); the choice
    // shows them sorted ignoring case and selects the first.
    virtual void FillTrackerChoice(const std::vector<std::string>& descriptions) = 0;
    // The stored bytes of the selected description, or nothing when nothing is selected.
    virtual std::optional<std::string> SelectedTracker() const = 0;
    // The tracker list dialog, editing `trackers` in place.
    virtual void RunTrackerListDialog(TrackerList& trackers) = 0;
    // The settings dialog; true when it was closed with OK (it has then written `settings`
    // and `options`).
    virtual bool RunSettingsDialog(ProgramSettings& settings, StationOptions& options,
                                   SerialPort& serialPort) = 0;
    // Blocks the handler for `length` while the window stays painted: no user input and
    // no socket notification is handled meanwhile.
    virtual void Pause(std::chrono::milliseconds length) = 0;
    // How the run ended, shown next to the status lines until the next run starts.
    // `detail` may be empty.
    virtual void ShowVerdict(Verdict verdict, const QString& detail) = 0;
    // A new run starts: the last verdict goes.
    virtual void ClearVerdict() = 0;
    // Blocks the handler like Pause until `done` holds (work on another thread has
    // ended), keeping the window painted meanwhile.
    virtual void WaitWhilePainting(const std::function<bool()>& done) {
        while (!done()) Pause(std::chrono::milliseconds(20));
    }
    // A question with Yes and No; true for Yes. A face that cannot ask answers No.
    virtual bool AskToConfirm(const QString& text) {
        (void)text;
        return false;
    }
};

}  // namespace vela
