// vela: the window program.
#include "app/main_dialog.h"
#include "common/command_line.h"
#include "gui/campaign_window.h"
#include "gui/main_window.h"
#include "gui/message_sink.h"
#include "storage/database_file.h"
#include "storage/pg/installation_choice.h"

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
        "vela",
        "vela [--campaign] [--dir DIR | --user-data] [--database URL]\n"
        "            [--database-file FILE]",
        "Opens Vela's window: pick a tracker and an XML configuration file, and Vela wakes\n"
        "the tracker by SMS through a GSM modem and hands it the configuration image when\n"
        "it calls back.");
    line.flag("--campaign", "open the campaign window alone (many trackers at once)")
        .dataChoice()
        .epilog(
            "Without --dir or --user-data the directory is $VELA_DIR when set, otherwise the\n"
            "directory vela is started in. The menu entry starts it with --user-data.");
    return line;
}

// The installation's data, its directory checked before the window opens.
vela::Result<vela::InstallationChoice> ChosenData(const vela::ParsedOptions& options) {
    vela::Result<vela::InstallationChoice> choice = vela::ChooseInstallation(options);
    if (!choice) return choice;
    const std::filesystem::path& directory = choice->directory;
    if (std::error_code ec; !std::filesystem::is_directory(directory, ec)) {
        // A mistyped --dir or VELA_DIR would otherwise look like an empty tracker list.
        return vela::Status::Fail(directory.string() + " is not a directory");
    }
    if (options.has("--user-data") && !choice->databaseUrl) {
        // The user's data directory starts empty: the first start from the menu gets
        // empty tables instead of two boxes about a missing database.
        const std::filesystem::path file = vela::databaseFile(directory);
        if (std::error_code ec; !std::filesystem::exists(file, ec)) {
            if (vela::Status created = vela::createDatabase(file, false); !created) return created;
        }
    }
    return choice;
}

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer sinceStart;
    sinceStart.start();
    // Options first, before anything needs a display: --help and --version print and
    // exit on a console too.
    int exitCode = 0;
    const auto options =
        VelaCommandLine().parse(std::vector<std::string>(argv + 1, argv + argc), exitCode);
    if (!options) return exitCode;
    const vela::Result<vela::InstallationChoice> chosen = ChosenData(*options);
    // Two choices at once or a password on the command line: a usage error.
    if (!chosen && chosen.code() == vela::StatusCode::Invalid)
        return VelaCommandLine().usageError(chosen.message());

    // Qt sees only the program's name: every word after it was ours.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Vela"));
    if (!chosen) {
        // Started from the menu nobody reads standard error: the box says it too.
        std::fprintf(stderr, "vela: %s\n", chosen.message().c_str());
        QMessageBox::critical(nullptr, QStringLiteral("Vela"),
                              QString::fromStdString(chosen.message()));
        return 1;
    }
    vela::QMessageBoxSink messages;
    const std::filesystem::path& directory = chosen->directory;
    const std::optional<std::string>& database = chosen->databaseUrl;
    // `vela --campaign`: the campaign window alone (its own menu entry).
    if (options->has("--campaign")) {
        vela::CampaignWindow campaign(directory, messages, nullptr, database);
        ShownProbe probe(sinceStart);
        if (ExitWhenShown()) {
            std::printf("vela: campaign window\n");  // says which window the probe saw
            campaign.installEventFilter(&probe);
        }
        campaign.show();
        return app.exec();
    }
    vela::MainWindow window(messages);
    vela::MainDialog dialog(window, directory);
    dialog.useDatabase(database);
    window.Attach(dialog);
    ShownProbe probe(sinceStart);
    if (ExitWhenShown()) window.installEventFilter(&probe);
    dialog.OnInitDialog();
    window.exec();
    return 0;
}
