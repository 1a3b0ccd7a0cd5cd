#include "app/main_dialog.h"
#include "commands.h"
#include "console_view.h"
#include "modem/serial_port.h"
#include "modem/serial_trace.h"
#include "run_options.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace velactl {

namespace {

void printGoUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: velactl go --tracker DESC --config FILE [--dir DIR] [--timeout S]\n"
                 "                  [--trace FILE]\n\n"
                 "Runs \"Let's Go\" without a window: reads FILE for the tracker DESC of the\n"
                 "database in DIR (default: the current directory), sends the tracker its\n"
                 "wake-up SMS through the modem of the stored settings, listens on the stored\n"
                 "local port and configures the tracker that calls.\n"
                 "Prints every change of the window's lines as 'status: ', 'device: ', 'file: ',\n"
                 "'progress: ' and every message box as 'error: ' or 'warning: '.\n"
                 "--timeout limits the wait for the tracker's call once the SMS has gone out.\n"
                 "--trace records every byte written to and read from the modem in FILE\n"
                 "(created owner-only: the SMS holds passwords).\n"
                 "Exit status: 0 the tracker answered, 1 failure (the modem, the file, the\n"
                 "listening port, a tracker that hung up), 2 usage error, 3 --timeout ran out.\n");
}

void printListenUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: velactl listen --tracker DESC --config FILE [--dir DIR] [--timeout S]\n\n"
                 "Runs \"Listen\" without a window: reads FILE for the tracker DESC of the\n"
                 "database in DIR (default: the current directory), listens on the stored\n"
                 "local port and configures the tracker that calls.\n"
                 "Prints every change of the window's lines as 'status: ', 'device: ', 'file: ',\n"
                 "'progress: ' and every message box as 'error: ' or 'warning: '.\n"
                 "Exit status: 0 the tracker answered, 1 failure, 2 usage error, 3 --timeout\n"
                 "ran out.\n");
}

// What tells the headless runs apart: the subcommand, its button and the handler of
// that button in MainDialog.
struct HeadlessRun {
    const char* command;
    vela::RunButton button;
    void (vela::MainDialog::*press)();
    void (*printUsage)(std::FILE*);
};

// A run of MainDialog with the console view: the button's handler, then the event loop
// until the session ends or --timeout runs out.
int runHeadless(const HeadlessRun& run, const Args& args) {
    const char* command = run.command;
    bool help = false;
    const std::optional<RunOptions> options =
        parseRunOptions(command, args, /*withTrackerAndConfig=*/true, help);
    if (help) {
        run.printUsage(stdout);
        return kExitOk;
    }
    if (!options) return kExitUsage;
    if (!options->tracker || !options->config) {
        std::fprintf(stderr, "velactl %s: --tracker and --config are required\n", command);
        run.printUsage(stderr);
        return kExitUsage;
    }

    int argc = 1;
    char name[] = "velactl";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    // Relative names are taken from the directory velactl was started in.
    const QString directory = runDirectory(*options);
    const QString config =
        QDir::current().absoluteFilePath(QString::fromStdString(*options->config));
    ConsoleView view(*options->tracker, QDir::cleanPath(config));
    vela::MainDialog dialog(view, std::filesystem::path(directory.toStdString()));

    int exitCode = kExitFailure;
    QObject::connect(&dialog, &vela::MainDialog::SessionEnded, &app,
                     [&](vela::MainDialog::SessionOutcome outcome) {
                         const bool passed =
                             outcome == vela::MainDialog::SessionOutcome::Answered ||
                             outcome == vela::MainDialog::SessionOutcome::TestPassed;
                         exitCode = passed ? kExitOk : kExitFailure;
                         // Quit once the handler that ended the session has returned.
                         QTimer::singleShot(0, &app, &QCoreApplication::quit);
                     });

    // Every byte to and from the modem, when asked for (owner-only: the SMS holds passwords).
    std::unique_ptr<vela::SerialTrace> trace;
    if (options->trace) {
        auto created = vela::SerialTrace::Create(*options->trace);
        if (!created) {
            std::fprintf(stderr, "velactl %s: %s\n", command, created.message().c_str());
            return kExitFailure;
        }
        trace = std::move(created).value();
        dialog.serialPort.setTrace(trace.get());
    }

    dialog.OnInitDialog();
    (dialog.*run.press)();
    if (!dialog.activeFlag(run.button)) {
        if (!view.errorShown()) {
            std::fprintf(stderr,
                         "velactl %s: the run did not start (is \"%s\" in the tracker list of "
                         "%s?)\n",
                         command, options->tracker->c_str(), directory.toUtf8().constData());
        }
        return kExitFailure;
    }
    if (options->timeoutSeconds > 0) {
        QTimer::singleShot(std::chrono::seconds(options->timeoutSeconds), &app, [&] {
            std::fprintf(stderr, "velactl %s: no answer within %d s\n", command,
                         options->timeoutSeconds);
            exitCode = kExitTimeout;
            app.quit();
        });
    }
    app.exec();
    return exitCode;
}

}  // namespace

int RunListen(const Args& args) {
    return runHeadless(
        {"listen", vela::RunButton::Listen, &vela::MainDialog::OnListen, &printListenUsage}, args);
}

int RunGo(const Args& args) {
    return runHeadless({"go", vela::RunButton::LetsGo, &vela::MainDialog::OnLetsGo, &printGoUsage},
                       args);
}

}  // namespace velactl
