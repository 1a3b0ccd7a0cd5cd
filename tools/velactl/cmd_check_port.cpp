// velactl check-port: "Check port" without a window.
#include "app/main_dialog.h"
#include "app/run_texts.h"
#include "commands.h"
#include "console_view.h"
#include "link/port_check.h"
#include "run_options.h"

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

namespace velactl {

namespace {

void printCheckPortUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: velactl check-port [--dir DIR] [--timeout S]\n\n"
                 "Runs \"Check port\" without a window: sends the test server named in\n"
                 "DIR/test-server.ini (line 1 host, line 2 port; DIR defaults to the current\n"
                 "directory) the external address and port of the settings stored in DIR,\n"
                 "listens on the stored local port and waits for the server's call.\n"
                 "Prints every change of the window's lines as 'status: ', 'device: ', 'file: ',\n"
                 "'progress: ' and every message box as 'error: ' or 'warning: '.\n"
                 "Exit status: 0 the test server called (\"Test completed successfully!\"),\n"
                 "1 failure, 2 usage error, 3 --timeout ran out.\n");
}

}  // namespace

int RunCheckPort(const Args& args) {
    bool help = false;
    const std::optional<RunOptions> options =
        parseRunOptions("check-port", args, /*withTrackerAndConfig=*/false, help);
    if (help) {
        printCheckPortUsage(stdout);
        return kExitOk;
    }
    if (!options) {
        printCheckPortUsage(stderr);
        return kExitUsage;
    }

    int argc = 1;
    char name[] = "velactl";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    // A relative DIR is taken from the directory velactl was started in.
    const QString directory = runDirectory(*options);
    const std::filesystem::path directoryPath(directory.toStdString());
    ConsoleView view(std::string(), std::nullopt);
    vela::MainDialog dialog(view, directoryPath);

    int exitCode = kExitFailure;
    QObject::connect(&dialog, &vela::MainDialog::SessionEnded, &app,
                     [&](vela::MainDialog::SessionOutcome outcome) {
                         // Only the test server's call proves the port; any other caller
                         // (a tracker that happened to call) does not.
                         exitCode = outcome == vela::MainDialog::SessionOutcome::TestPassed
                                        ? kExitOk
                                        : kExitFailure;
                         // Quit once the handler that ended the session has returned.
                         QTimer::singleShot(0, &app, &QCoreApplication::quit);
                     });

    dialog.OnInitDialog();
    dialog.OnCheckPort();
    if (!dialog.portCheckActive) {
        // The box keeps its fixed text; the likely cause goes to the diagnostics.
        const vela::TestServerAddress server = vela::readTestServerIni(directoryPath);
        if (!server.usable()) {
            std::fprintf(stderr, "velactl check-port: %s\n", server.problem.c_str());
        } else if (view.lastError() == QLatin1String(vela::texts::kTestServerDown)) {
            std::fprintf(stderr, "velactl check-port: no connection to the test server at %s:%u\n",
                         server.host.c_str(), static_cast<unsigned>(server.port));
        }
        return kExitFailure;
    }
    if (options->timeoutSeconds > 0) {
        QTimer::singleShot(std::chrono::seconds(options->timeoutSeconds), &app, [&] {
            std::fprintf(stderr, "velactl check-port: no call from the test server within %d s\n",
                         options->timeoutSeconds);
            exitCode = kExitTimeout;
            app.quit();
        });
    }
    app.exec();
    return exitCode;
}

}  // namespace velactl
