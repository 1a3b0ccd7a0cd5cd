#include "console_view.h"

#include <cstdio>
#include <thread>

namespace velactl {

ConsoleView::ConsoleView(std::string tracker, std::optional<QString> configPath, std::FILE* out)
    : tracker_(std::move(tracker)), configPath_(std::move(configPath)), out_(out) {}

void ConsoleView::printLine(const char* label, const QString& text) {
    QString line = text;
    // One event per line, whatever the text holds.
    line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    std::fprintf(out_, "%s: %s\n", label, line.toUtf8().constData());
    std::fflush(out_);
}

void ConsoleView::SetStatusText(const QString& text) {
    if (text == status_) return;
    status_ = text;
    printLine("status", text);
}

void ConsoleView::SetDeviceText(const QString& text) {
    if (text == device_) return;
    device_ = text;
    printLine("device", text);
}

void ConsoleView::SetFileText(const QString& text) {
    if (text == file_) return;
    file_ = text;
    printLine("file", text);
}

void ConsoleView::SetProgress(int position) {
    if (position == progress_) return;
    progress_ = position;
    if (progressVisible_) printLine("progress", QString::number(position));
}

void ConsoleView::SetProgressVisible(bool visible) {
    if (visible == progressVisible_) return;
    progressVisible_ = visible;
    printLine("progress", visible ? QString::number(progress_) : QStringLiteral("hidden"));
}

void ConsoleView::ShowMessage(const QString& text, vela::BoxIcon icon) {
    if (icon == vela::BoxIcon::Stop) {
        errorShown_ = true;
        lastError_ = text;
    }
    printLine(icon == vela::BoxIcon::Stop ? "error" : "warning", text);
}

void ConsoleView::ShowMessageWithReason(const QString& text, vela::BoxIcon icon,
                                        const QString& reason) {
    ShowMessage(text, icon);
    // Standard output keeps the box's exact text; the reason is a diagnostic.
    if (!reason.isEmpty()) std::fprintf(stderr, "velactl: %s\n", reason.toLocal8Bit().constData());
}

void ConsoleView::FillTrackerChoice(const std::vector<std::string>& descriptions) {
    choiceEmpty_ = descriptions.empty();
}

std::optional<std::string> ConsoleView::SelectedTracker() const {
    // Like the window: nothing is selected while the choice is empty.
    if (choiceEmpty_) return std::nullopt;
    return tracker_;
}

void ConsoleView::Pause(std::chrono::milliseconds length) {
    std::this_thread::sleep_for(length);
}

}  // namespace velactl
