#include "console_view.h"

#include "app/run_texts.h"
#include "common/terminal_text.h"

#include <cstdio>
#include <thread>

namespace velactl {

ConsoleView::ConsoleView(std::string tracker, std::optional<QString> configPath, std::FILE* out)
    : tracker_(std::move(tracker)), configPath_(std::move(configPath)), out_(out) {}

void ConsoleView::printLine(const char* label, const QString& text) {
    QString line;
    line.reserve(text.size());
    // One event per line, whatever the text holds, and no control character (C0, DEL
    // or C1) reaches the terminal: what is left of one is shown escaped.
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code == u'\r' || code == u'\n') {
            line += QLatin1Char(' ');
        } else if (code < 0x20 || (code >= 0x7F && code < 0xA0)) {
            line += QStringLiteral("\\x") +
                    QString::number(static_cast<int>(code), 16).toUpper().rightJustified(2, u'0');
        } else {
            line += c;
        }
    }
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
    if (icon == vela::BoxIcon::Stop) errorShown_ = true;
    printLine(icon == vela::BoxIcon::Stop ? "error" : "warning", text);
}

void ConsoleView::ShowMessageWithReason(const QString& text, vela::BoxIcon icon,
                                        const QString& reason) {
    ShowMessage(text, icon);
    // Standard output keeps the box's exact text; the reason is a diagnostic.
    if (!reason.isEmpty()) {
        std::fprintf(stderr, "velactl: %s\n",
                     vela::EscapeForTerminal(reason.toUtf8().toStdString()).c_str());
    }
}

void ConsoleView::FillTrackerChoice(const std::vector<std::string>& descriptions) {
    choiceEmpty_ = descriptions.empty();
}

std::optional<std::string> ConsoleView::SelectedTracker() const {
    // Like the window: nothing is selected while the choice is empty.
    if (choiceEmpty_) return std::nullopt;
    return tracker_;
}

void ConsoleView::ShowVerdict(vela::Verdict verdict, const QString& detail) {
    verdict_ = verdict;
    if (verdict == vela::Verdict::Rejected && !detail.isEmpty() && detail.front().isDigit()) {
        // "N of M bytes": the count the tracker reported against the image's length.
        printLine("error", QString::fromLatin1(vela::texts::kTrackerReported) + detail);
    }
    const std::string_view word = vela::VerdictWord(verdict);
    QString line = QString::fromLatin1(word.data(), static_cast<qsizetype>(word.size()));
    if (!detail.isEmpty()) line += QLatin1Char(' ') + detail;
    printLine("verdict", line);
}

void ConsoleView::Pause(std::chrono::milliseconds length) {
    std::this_thread::sleep_for(length);
}

}  // namespace velactl
