// vela: the window program.
#include "app/main_dialog.h"
#include "common/command_line.h"
#include "common/data_directory.h"
#include "gui/campaign_window.h"
#include "gui/main_window.h"
#include "gui/message_sink.h"
#include "storage/database_file.h"
#include "storage/pg/storage_choice.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// The start-up measurement of bench/bench_processes: with VELA_EXIT_WHEN_SHOWN=1 the
// program prints "vela: shown after N ms" (N counted from the start of main) when the
// window is first painted, and quits. Never set in normal use.
class ShownProbe : public QObject {
public:
    explicit ShownProbe(QElapsedTimer& sinceStart) : sinceStart_(sinceStart) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!reported_ && event->type() == QEvent::Paint) {
            reported_ = true;
            std::printf("vela: shown after %lld ms\n",
                        static_cast<long long>(sinceStart_.elapsed()));
            std::fflush(stdout);
            // After the paint is done; exit() ends the window's own event loop too.
            QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QElapsedTimer& sinceStart_;
    bool reported_ = false;
};

bool ExitWhenShown() {
    const char* value = std::getenv("VELA_EXIT_WHEN_SHOWN");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

vela::CommandLine VelaCommandLine() {
    vela::CommandLine line(
        "vela", "vela [--campaign] [--dir DIR | --user-data] [--database URL]",
        "Opens Vela's window: pick a tracker and an XML configuration file, and Vela wakes\n"
        "the tracker by SMS through a GSM modem and hands it the configuration image when\n"
        "it calls back.");
    line.flag("--campaign", "open the campaign window alone (many trackers at once)")
        .option("--dir", "DIR", "keep settings.accdb and test-server.ini in DIR")
        .option("--database", "URL",
                "a shared PostgreSQL database, postgresql://USER@HOST[:PORT]/NAME,\n" +
                    std::string(30, ' ') + "instead of settings.accdb (default: $VELA_DATABASE)")
        .flag("--user-data",
              "keep them in the user's data directory, made owner-only:\n" +
                  std::string(30, ' ') + "$XDG_DATA_HOME/vela (by default ~/.local/share/vela)")
        .epilog(
            "Without --dir or --user-data the directory is $VELA_DIR when set, otherwise the\n"
            "directory vela is started in. The menu entry starts it with --user-data.");
    return line;
}

// The directory of settings.accdb and test-server.ini, checked before the window opens.
vela::Result<std::filesystem::path> ChosenDataDirectory(const vela::ParsedOptions& options) {
    const bool userData = options.has("--user-data");
    auto directory = vela::ResolveDataDirectory(options.value("--dir"), userData);
    if (!directory) return directory;
    if (std::error_code ec; !std::filesystem::is_directory(directory.value(), ec)) {
        // A mistyped --dir or VELA_DIR would otherwise look like an empty tracker list.
        return vela::Status::Fail(directory.value().string() + " is not a directory");
    }
    if (userData) {
        // The user's data directory starts empty: the first start from the menu gets
        // empty tables instead of two boxes about a missing database.
        const std::filesystem::path file = vela::databaseFile(directory.value());
        if (std::error_code ec; !std::filesystem::exists(file, ec)) {
            if (vela::Status created = vela::createDatabase(file, false); !created) return created;
        }
    }
    return directory;
}

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer sinceStart;
    sinceStart.start();
    // Options first, before anything needs a display: --help and --version print and
    // exit on a console too.
    int exitCode = 0;
    const auto options = VelaCommandLine().parse(std::vector<std::string>(argv + 1, argv + argc), exitCode);
    if (!options) return exitCode;
    if (options->has("--dir") && options->has("--user-data"))
        return VelaCommandLine().usageError("--dir and --user-data cannot be used together");
    const vela::Result<std::filesystem::path> directory = ChosenDataDirectory(*options);

    // Qt sees only the program's name: every word after it was ours.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Vela"));
    if (!directory) {
        // Started from the menu nobody reads standard error: the box says it too.
        std::fprintf(stderr, "vela: %s\n", directory.message().c_str());
        QMessageBox::critical(nullptr, QStringLiteral("Vela"),
                              QString::fromStdString(directory.message()));
        return 1;
    }
    vela::QMessageBoxSink messages;
    // --database or VELA_DATABASE names a shared PostgreSQL database that replaces
    // settings.accdb.
    const vela::Result<std::optional<std::string>> database =
        vela::ChosenDatabaseUrl(options->value("--database"));
    if (!database) {
        std::fprintf(stderr, "vela: %s\n", database.message().c_str());
        messages.ShowMessage(nullptr, QString::fromStdString(database.message()),
                             vela::MessageIcon::Stop);
        return 1;
    }
    // `vela --campaign`: the campaign window alone (its own menu entry).
    if (options->has("--campaign")) {
        vela::CampaignWindow campaign(directory.value(), messages, nullptr, database.value());
        ShownProbe probe(sinceStart);
        if (ExitWhenShown()) {
            std::printf("vela: campaign window\n");  // says which window the probe saw
            campaign.installEventFilter(&probe);
        }
        campaign.show();
        return app.exec();
    }
    vela::MainWindow window(messages);
    vela::MainDialog dialog(window, directory.value());
    dialog.useDatabase(database.value());
    window.Attach(dialog);
    ShownProbe probe(sinceStart);
    if (ExitWhenShown()) window.installEventFilter(&probe);
    dialog.OnInitDialog();
    window.exec();
    return 0;
}
