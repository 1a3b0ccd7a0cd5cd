#include "gui/main_window.h"

#include "app/main_dialog.h"
#include "app/run_texts.h"
#include "app/verdict_text.h"
#include "gui/about_dialog.h"
#include "gui/campaign_window.h"
#include "gui/config_file_dialog.h"
#include "gui/dialog_units.h"
#include "gui/group_frame.h"
#include "gui/history_window.h"
#include "gui/outcome_bar.h"
#include "gui/program_art.h"
#include "gui/settings_dialog.h"
#include "gui/stored_text.h"
#include "gui/tracker_list_dialog.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <utility>

namespace vela {

namespace {

QLineEdit* readOnlyLine(QWidget* parent, const char* name, const QRect& geometry) {
    auto* line = new QLineEdit(parent);
    line->setObjectName(QString::fromLatin1(name));
    line->setReadOnly(true);
    line->setGeometry(geometry);
    return line;
}

// A read-only line shows the start of a text too long for it; the whole text is its
// tooltip.
void ShowLineText(QLineEdit* line, const QString& text) {
    line->setText(text);
    line->setCursorPosition(0);
    line->setToolTip(text);
}

QPushButton* pushButton(QWidget* parent, const char* name, const char* caption,
                        const QRect& geometry) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    return button;
}

}  // namespace

MainWindow::MainWindow(MessageSink& messages, QWidget* parent)
    : QDialog(parent), messages_(messages), fileChooser_(&MainWindow::ChooseWithFileDialog) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Vela"));
    setWindowIcon(programIcon());
    setFont(DialogUnits::dialogFont());
    // A caption and a system menu with a close box; no minimize or maximize box.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    const DialogUnits u(font());
    setFixedSize(u.size(319, 204));

    auto* trackerGroup = new GroupFrame(QStringLiteral("Tracker:"), this);
    trackerGroup->setObjectName(QStringLiteral("trackerGroup"));
    trackerGroup->setGeometry(u.rect(7, 7, 236, 31));
    trackerChoice_ = new QComboBox(this);
    trackerChoice_->setObjectName(QStringLiteral("trackerChoice"));
    trackerChoice_->setEditable(false);
    trackerChoice_->setGeometry(u.rect(14, 18, 193, 14));
    editTrackersButton_ = pushButton(this, "editTrackersButton", "...", u.rect(210, 17, 24, 14));

    auto* statusGroup = new GroupFrame(QStringLiteral("Status:"), this);
    statusGroup->setObjectName(QStringLiteral("statusGroup"));
    statusGroup->setGeometry(u.rect(7, 45, 236, 81));
    statusLine_ = readOnlyLine(this, "statusLine", u.rect(13, 58, 221, 14));
    deviceLine_ = readOnlyLine(this, "deviceLine", u.rect(13, 74, 221, 14));
    fileLine_ = readOnlyLine(this, "fileLine", u.rect(13, 89, 221, 14));
    progressBar_ = new QProgressBar(this);
    progressBar_->setObjectName(QStringLiteral("progressBar"));
    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);
    progressBar_->setTextVisible(false);
    progressBar_->setGeometry(u.rect(14, 106, 221, 14));
    progressBar_->hide();

    // The verdict of the last run, below the status lines: an icon, and a word in the
    // verdict's colour.
    verdictIcon_ = new QLabel(this);
    verdictIcon_->setObjectName(QStringLiteral("verdictIcon"));
    verdictIcon_->setGeometry(u.rect(13, 129, 12, 12));
    // Two lines up to the picture's top, wrapped, and selectable so that the cause can
    // be copied; a text longer still is set smaller until it fits.
    verdictText_ = new QLabel(this);
    verdictText_->setObjectName(QStringLiteral("verdictText"));
    verdictText_->setGeometry(u.rect(28, 128, 215, 17));
    verdictText_->setWordWrap(true);
    verdictText_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    verdictText_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    verdictText_->setContextMenuPolicy(Qt::DefaultContextMenu);

    settingsButton_ = pushButton(this, "settingsButton", "Settings", u.rect(263, 11, 49, 14));
    letsGoButton_ =
        pushButton(this, "letsGoButton", texts::kLetsGoCaption, u.rect(263, 30, 49, 14));
    letsGoButton_->setDefault(true);  // the Enter key
    listenButton_ =
        pushButton(this, "listenButton", texts::kListenCaption, u.rect(263, 48, 49, 14));
    checkPortButton_ =
        pushButton(this, "checkPortButton", texts::kCheckPortCaption, u.rect(263, 67, 49, 14));
    exitButton_ = pushButton(this, "exitButton", "Exit", u.rect(263, 106, 49, 14));
    connect(exitButton_, &QPushButton::clicked, this, &QDialog::reject);

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("picture"));
    picture->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    const QRect pictureRect = u.rect(93, 146, 135, 31);
    picture->setGeometry(pictureRect);
    picture->setPixmap(programPicture(pictureRect.size() - QSize(4, 4)));
    picture->setAlignment(Qt::AlignCenter);

    // Qt cannot add to the platform's system menu: the window's own menu (History,
    // Campaign, Tracker list, About) is its context menu, opened by the right button,
    // the menu key, Shift+F10 and Alt+Space where the desktop lets that through, with the
    // shortcuts shown.
    aboutAction_ = new QAction(QStringLiteral("&About Vela..."), this);
    aboutAction_->setObjectName(QStringLiteral("aboutAction"));
    aboutAction_->setShortcut(QKeySequence(Qt::Key_F1));
    aboutAction_->setShortcutContext(Qt::WindowShortcut);
    addAction(aboutAction_);
    connect(aboutAction_, &QAction::triggered, this, &MainWindow::ShowAbout);

    historyAction_ = new QAction(QStringLiteral("&History..."), this);
    historyAction_->setObjectName(QStringLiteral("historyAction"));
    historyAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    historyAction_->setShortcutContext(Qt::WindowShortcut);
    addAction(historyAction_);
    connect(historyAction_, &QAction::triggered, this, &MainWindow::ShowHistory);
    campaignAction_ = new QAction(QStringLiteral("Campaign..."), this);
    campaignAction_->setObjectName(QStringLiteral("campaignAction"));
    campaignAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
    campaignAction_->setShortcutContext(Qt::WindowShortcut);
    addAction(campaignAction_);
    trackerListAction_ = new QAction(QStringLiteral("&Tracker list..."), this);
    trackerListAction_->setObjectName(QStringLiteral("trackerListAction"));
    trackerListAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    trackerListAction_->setShortcutContext(Qt::WindowShortcut);
    addAction(trackerListAction_);
    connect(trackerListAction_, &QAction::triggered, editTrackersButton_, &QPushButton::click);
    auto* windowMenuAction = new QAction(this);
    windowMenuAction->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Space));
    windowMenuAction->setShortcutContext(Qt::WindowShortcut);
    addAction(windowMenuAction);
    connect(windowMenuAction, &QAction::triggered, this,
            [this] { BuildWindowMenu()->exec(mapToGlobal(QPoint(0, 0))); });
}

MainWindow::~MainWindow() {
    while (waitCursorDepth_ > 0) SetWaitCursor(false);
}

void MainWindow::Attach(MainDialog& dialog) {
    dialog_ = &dialog;
    dataDirectory_ = QString::fromStdString(dialog.workingDirectoryPath().string());
    connect(editTrackersButton_, &QPushButton::clicked, &dialog, &MainDialog::OnEditTrackers);
    connect(settingsButton_, &QPushButton::clicked, &dialog, &MainDialog::OnSettings);
    connect(letsGoButton_, &QPushButton::clicked, &dialog, &MainDialog::OnLetsGo);
    connect(listenButton_, &QPushButton::clicked, &dialog, &MainDialog::OnListen);
    connect(checkPortButton_, &QPushButton::clicked, &dialog, &MainDialog::OnCheckPort);
    historyDirectory_ = dialog.workingDirectoryPath();
    databaseUrl_ = dialog.databaseUrl();
    connect(campaignAction_, &QAction::triggered, this,
            [this, &dialog] { OpenCampaignWindow(dialog.workingDirectoryPath()); });
}

void MainWindow::ShowHistory() {
    // Read only when asked for: the history plays no part in the start-up.
    if (historyWindow_ == nullptr) {
        historyWindow_ = new HistoryWindow(historyDirectory_, messages_, this, databaseUrl_);
        historyWindow_->setAttribute(Qt::WA_DeleteOnClose);
    } else {
        historyWindow_->Refresh();
    }
    historyWindow_->show();
    historyWindow_->raise();
    historyWindow_->activateWindow();
}

void MainWindow::OpenCampaignWindow(const std::filesystem::path& dataDirectory) {
    // One campaign window at a time, beside the main window (not modal).
    if (!campaignWindow_) {
        auto* window = new CampaignWindow(dataDirectory, messages_, this, databaseUrl_);
        window->setAttribute(Qt::WA_DeleteOnClose);
        campaignWindow_ = window;
    }
    campaignWindow_->show();
    campaignWindow_->raise();
    campaignWindow_->activateWindow();
}

CampaignWindow* MainWindow::campaignWindow() const {
    return campaignWindow_;
}

void MainWindow::ShowAbout() {
    AboutDialog about(this, dataDirectory_);
    about.exec();
}

std::unique_ptr<QMenu> MainWindow::BuildWindowMenu() {
    auto menu = std::make_unique<QMenu>(this);
    menu->setObjectName(QStringLiteral("windowMenu"));
    for (QAction* action : {historyAction_, campaignAction_, trackerListAction_, aboutAction_}) {
        action->setShortcutVisibleInContextMenu(true);
        menu->addAction(action);
    }
    return menu;
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
    BuildWindowMenu()->exec(event->globalPos());
}

QPushButton* MainWindow::runButton(RunButton button) const {
    switch (button) {
        case RunButton::LetsGo:
            return letsGoButton_;
        case RunButton::Listen:
            return listenButton_;
        case RunButton::CheckPort:
            break;
    }
    return checkPortButton_;
}

void MainWindow::SetStatusText(const QString& text) {
    ShowLineText(statusLine_, text);
}
void MainWindow::SetDeviceText(const QString& text) {
    ShowLineText(deviceLine_, text);
}
void MainWindow::SetFileText(const QString& text) {
    ShowLineText(fileLine_, text);
}

void MainWindow::ShowVerdict(Verdict verdict, const QString& detail) {
    QStyle::StandardPixmap icon = QStyle::SP_MessageBoxCritical;
    QString colour = QStringLiteral("#b00020");  // failed
    if (IsSuccess(verdict)) {
        icon = QStyle::SP_DialogApplyButton;
        colour = QStringLiteral("#1b7a1b");
    } else if (verdict == Verdict::NoCall || verdict == Verdict::WrongCaller) {
        icon = QStyle::SP_MessageBoxWarning;  // nothing was sent to a tracker
        colour = QStringLiteral("#a05a00");
    }
    const int side = verdictIcon_->height();
    verdictIcon_->setPixmap(style()->standardIcon(icon).pixmap(side, side));
    verdictText_->setStyleSheet(QStringLiteral("QLabel { color: %1; }").arg(colour));
    const QString title = VerdictTitle(verdict, detail);
    verdictText_->setText(title);
    verdictText_->setToolTip(title);
    FitVerdictText();
    NotifyInBackground(this, QStringLiteral("Vela"), title);
}

void MainWindow::FitVerdictText() {
    QFont font = this->font();
    font.setBold(true);
    verdictText_->setFont(font);
    const int width = verdictText_->width();
    const int height = verdictText_->height();
    // The label wraps at spaces only: a word wider than the label (a path) needs a
    // smaller font as well.
    const auto fits = [&](const QFont& tried) {
        const QRect needed = QFontMetrics(tried).boundingRect(
            QRect(0, 0, width, 10000), Qt::TextWordWrap, verdictText_->text());
        return needed.height() <= height && needed.width() <= width;
    };
    while (!fits(font) && font.pointSizeF() > 5.0) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
    }
    verdictText_->setFont(font);
}

void MainWindow::ClearVerdict() {
    verdictIcon_->clear();
    verdictText_->clear();
    verdictText_->setToolTip(QString());
}
void MainWindow::SetProgress(int position) {
    progressBar_->setValue(position);
}
void MainWindow::SetProgressVisible(bool visible) {
    progressBar_->setVisible(visible);
}

void MainWindow::SetRunCaption(RunButton button, const QString& caption) {
    runButton(button)->setText(caption);
}

void MainWindow::SetRunEnabled(RunButton button, bool enabled) {
    runButton(button)->setEnabled(enabled);
}

void MainWindow::ShowMessage(const QString& text, BoxIcon icon) {
    messages_.ShowMessage(this, text,
                          icon == BoxIcon::Stop ? MessageIcon::Stop : MessageIcon::Exclamation);
}

void MainWindow::ShowMessageWithReason(const QString& text, BoxIcon icon, const QString& reason) {
    messages_.ShowMessageWithDetails(
        this, text, icon == BoxIcon::Stop ? MessageIcon::Stop : MessageIcon::Exclamation, reason);
}

std::optional<QString> MainWindow::ChooseWithFileDialog(QWidget* parent) {
    ConfigFileDialog dialog(parent);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first();
}

std::optional<QString> MainWindow::ChooseConfigFile() {
    return fileChooser_(this);
}

void MainWindow::RepaintNow() {
    repaint();
}

void MainWindow::SetWaitCursor(bool on) {
    if (on) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        ++waitCursorDepth_;
    } else if (waitCursorDepth_ > 0) {
        QApplication::restoreOverrideCursor();
        --waitCursorDepth_;
    }
}

void MainWindow::FillTrackerChoice(const std::vector<std::string>& descriptions) {
    // Shown readably, sorted by what is shown; each item keeps the stored bytes.
    std::vector<std::pair<QString, const std::string*>> sorted;
    for (const std::string& description : descriptions)
        sorted.emplace_back(DisplayText(description), &description);
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return QString::compare(a.first, b.first, Qt::CaseInsensitive) < 0;
    });
    trackerChoice_->clear();
    for (const auto& [shown, bytes] : sorted) trackerChoice_->addItem(shown, StoredBytes(*bytes));
    trackerChoice_->setCurrentIndex(sorted.empty() ? -1 : 0);
}

std::optional<std::string> MainWindow::SelectedTracker() const {
    const int index = trackerChoice_->currentIndex();
    if (index < 0) return std::nullopt;
    return FromStoredBytes(trackerChoice_->itemData(index, kStoredBytesRole).toByteArray());
}

void MainWindow::RunTrackerListDialog(TrackerList& trackers) {
    TrackerListDialog dialog(trackers, messages_, this);
    dialog.exec();
}

bool MainWindow::RunSettingsDialog(ProgramSettings& settings, StationOptions& options,
                                   SerialPort& serialPort) {
    SettingsDialog dialog(settings, serialPort, messages_, this, &options);
    return dialog.exec() == QDialog::Accepted;
}

bool MainWindow::AskToConfirm(const QString& text) {
    return messages_.AskYesNo(this, text, MessageIcon::Exclamation);
}

void MainWindow::Pause(std::chrono::milliseconds length) {
    // No other handler may run meanwhile: no input, no socket notification, no timer.
    // Only the window's pending repaints are delivered (processEvents cannot be trusted
    // to leave socket notifiers alone with every event dispatcher).
    repaint();
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
        const qint64 left = length.count() - timer.elapsed();
        if (left <= 0) break;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(left, 15)));
    }
}

namespace {

// Holds back the operator's input while the modem works and hands it on afterwards, in
// its order; mouse clicks on `passed` go through at once.
class InputHold : public QObject {
public:
    explicit InputHold(QWidget* passed) : passed_(passed) {}
    ~InputHold() override { qDeleteAll(held_); }
    void Release() {
        for (Held* held : std::as_const(held_)) {
            if (held->receiver) QCoreApplication::postEvent(held->receiver, held->event.release());
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
                if (watched == passed_ && passed_->isEnabled()) return false;
                [[fallthrough]];
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::Wheel:
            case QEvent::ShortcutOverride:
            case QEvent::ContextMenu:
                if (watched->isWidgetType()) {
                    auto* held = new Held;
                    held->receiver = watched;
                    held->event.reset(event->clone());
                    held_.append(held);
                }
                return true;
            default:
                return false;
        }
    }

private:
    struct Held {
        QPointer<QObject> receiver;
        std::unique_ptr<QEvent> event;
    };
    QWidget* passed_;
    QList<Held*> held_;
};

}  // namespace

void MainWindow::WaitWhilePainting(const std::function<bool()>& done) {
    // The modem dialogue runs on another thread. Meanwhile every event except the
    // operator's input is handled, so the window paints and answers the desktop's checks
    // and is never marked as not responding; the input waits until the run's handler is
    // done, so no run starts twice. The close box is refused meanwhile (reject()), and
    // MainDialog looks at callers that connect meanwhile once its handler is done.
    ++modemWaitDepth_;
    repaint();
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(20);
    connect(&tick, &QTimer::timeout, &loop, [this, &loop, &done] {
        if (done()) {
            loop.quit();
        } else {
            repaint();  // the busy cursor and the status lines stay drawn
        }
    });
    tick.start();
    // The operator's input waits, except a click on "Stop!!!" (the Let's Go button,
    // enabled while the step can be cancelled).
    InputHold hold(letsGoButton_);
    QCoreApplication::instance()->installEventFilter(&hold);
    if (!done()) loop.exec();
    QCoreApplication::instance()->removeEventFilter(&hold);
    hold.Release();
    --modemWaitDepth_;
}

void MainWindow::reject() {
    if (modemWaitDepth_ > 0 || closingAfterCampaign_) return;
    if (campaignWindow_ && campaignWindow_->running()) {
        if (!CampaignWindow::ConfirmStopAndClose(this, messages_)) return;
        closingAfterCampaign_ = true;
        connect(campaignWindow_, &CampaignWindow::campaignFinished, this, [this] {
            closingAfterCampaign_ = false;
            reject();
        });
        campaignWindow_->StopAndClose();
        return;
    }
    if (dialog_) dialog_->AbandonRun(QString::fromLatin1(texts::kWindowClosed));
    QDialog::reject();
}

}  // namespace vela
