#pragma once

#include "app/main_dialog_view.h"
#include "gui/history_window.h"
#include "gui/message_sink.h"

#include <QDialog>
#include <QPointer>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QContextMenuEvent;
class QAction;
class QLabel;
class QMenu;

namespace vela {

class CampaignWindow;
class MainDialog;

// The main window: dialog template 102 in widgets, laid out in dialog units. It shows
// what MainDialog reports and hands the button presses to it.
class MainWindow : public QDialog, public MainDialogView {
    Q_OBJECT
public:
    // Picks the XML file; the window's own is the platform's file-open dialog.
    using FileChooser = std::function<std::optional<QString>(QWidget* parent)>;

    explicit MainWindow(MessageSink& messages, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Connects the buttons to the handlers of `dialog`, which reports through this window.
    void Attach(MainDialog& dialog);
    void setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }
    // The about box, modal.
    void ShowAbout();
    QAction* aboutAction() const { return aboutAction_; }
    // "History..." (context menu, Ctrl+H): the recorded runs of the attached dialog's
    // directory, in a window of its own.
    void ShowHistory();
    QAction* historyAction() const { return historyAction_; }
    HistoryWindow* historyWindow() const { return historyWindow_; }
    // "Campaign..." (context menu, Ctrl+K): the campaign window over the same database.
    QAction* campaignAction() const { return campaignAction_; }
    // "Tracker list..." (Ctrl+T): the same as the "..." button.
    QAction* trackerListAction() const { return trackerListAction_; }
    // The window's menu: History, Campaign, Tracker list and About, shortcuts shown.
    std::unique_ptr<QMenu> BuildWindowMenu();
    void OpenCampaignWindow(const std::filesystem::path& dataDirectory);
    CampaignWindow* campaignWindow() const;

    // MainDialogView
    void SetStatusText(const QString& text) override;
    void SetDeviceText(const QString& text) override;
    void SetFileText(const QString& text) override;
    void SetProgress(int position) override;
    void SetProgressVisible(bool visible) override;
    void SetRunCaption(RunButton button, const QString& caption) override;
    void SetRunEnabled(RunButton button, bool enabled) override;
    void ShowMessage(const QString& text, BoxIcon icon) override;
    void ShowMessageWithReason(const QString& text, BoxIcon icon, const QString& reason) override;
    std::optional<QString> ChooseConfigFile() override;
    void RepaintNow() override;
    void SetWaitCursor(bool on) override;
    void FillTrackerChoice(const std::vector<std::string>& descriptions) override;
    std::optional<std::string> SelectedTracker() const override;
    void RunTrackerListDialog(TrackerList& trackers) override;
    bool RunSettingsDialog(ProgramSettings& settings, StationOptions& options,
                           SerialPort& serialPort) override;
    void Pause(std::chrono::milliseconds length) override;
    void WaitWhilePainting(const std::function<bool()>& done) override;
    void ShowVerdict(Verdict verdict, const QString& detail) override;
    void ClearVerdict() override;
    bool AskToConfirm(const QString& text) override;

    // The run's file-open dialog (ConfigFileDialog), modal.
    static std::optional<QString> ChooseWithFileDialog(QWidget* parent);

    // Escape, Exit and the close box; refused while the modem works. While a campaign
    // runs the operator is asked first, and the window goes once it has stopped. A run
    // still waiting is recorded as ended by the closing.
    void reject() override;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QPushButton* runButton(RunButton button) const;
    // The verdict's font, smaller when its text would not fit the label's two lines.
    void FitVerdictText();

    MessageSink& messages_;
    FileChooser fileChooser_;
    QComboBox* trackerChoice_ = nullptr;
    QPushButton* editTrackersButton_ = nullptr;
    QLineEdit* statusLine_ = nullptr;
    QLineEdit* deviceLine_ = nullptr;
    QLineEdit* fileLine_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QPushButton* settingsButton_ = nullptr;
    QPushButton* letsGoButton_ = nullptr;
    QPushButton* listenButton_ = nullptr;
    QPushButton* checkPortButton_ = nullptr;
    QPushButton* exitButton_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QAction* historyAction_ = nullptr;
    QLabel* verdictIcon_ = nullptr;
    QLabel* verdictText_ = nullptr;
    QPointer<HistoryWindow> historyWindow_;
    std::filesystem::path historyDirectory_;
    QAction* campaignAction_ = nullptr;
    QAction* trackerListAction_ = nullptr;
    QPointer<CampaignWindow> campaignWindow_;
    QPointer<MainDialog> dialog_;
    bool closingAfterCampaign_ = false;
    int waitCursorDepth_ = 0;
    int modemWaitDepth_ = 0;
    QString dataDirectory_;                   // shown in the about box; set by Attach
    std::optional<std::string> databaseUrl_;  // the shared database, when there is one
};

}  // namespace vela
