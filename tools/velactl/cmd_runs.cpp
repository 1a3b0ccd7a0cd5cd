// velactl listen / go / check-port: the run buttons of the window without a window.
#include "app/main_dialog.h"
#include "commands.h"
#include "common/terminal_text.h"
#include "console_view.h"
#include "link/port_check.h"
#include "modem/serial_port.h"
#include "modem/serial_trace.h"
#include "run_options.h"
#include "storage/pg/connection.h"
#include "storage_options.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace velactl {

namespace {

constexpr const char* kPrintedLines =
    "Prints every change of the window's lines as 'status: ', 'device: ', 'file: ',\n"
    "'progress: ', every message box as 'error: ' or 'warning: ', and last the run's\n"
    "verdict as 'verdict: WORD [detail]'.\n";

// What tells the headless runs apart: the subcommand, its button, the handler of that
// button in MainDialog and the verdict that counts as success.
struct HeadlessRun {
    const char* command;
    vela::RunButton button;
    void (vela::MainDialog::*press)();
    vela::Verdict success;
    std::string about;
};

vela::CommandLine runCommandLine(const HeadlessRun& run) {
    const bool withTracker = run.button != vela::RunButton::CheckPort;
    vela::CommandLine line(
        std::string("velactl ") + run.command,
        std::string("velactl ") + run.command +
            (withTracker ? " --tracker DESC --config FILE [--allow-from CIDR]..." : "") +
            " [--dir DIR | --user-data]\n       [--database URL] [--timeout S]" +
            (run.button == vela::RunButton::LetsGo ? " [--trace FILE]" : ""),
        run.about + kPrintedLines);
    declareRunOptions(line, withTracker);
    if (run.button == vela::RunButton::LetsGo) {
        line.option("--trace", "FILE",
                    "record every byte to and from the modem in FILE (created owner-only: the "
                    "SMS holds passwords)");
    }
    line.epilog(withTracker
                    ? "Exit status: 0 configured (the tracker counted the whole image), 1 any\n"
                      "other verdict, 2 usage error, 3 --timeout ran out.\n"
                    : "Exit status: 0 port-checked (\"Test completed successfully!\"), 1 any\n"
                      "other verdict, 2 usage error, 3 --timeout ran out.\n");
    return line;
}

// Why a press did not start the wait, when the box's fixed text does not say it all.
void explainRefusal(const HeadlessRun& run, const RunOptions& options, vela::MainDialog& dialog,
                    const ConsoleView& view) {
    const char* command = run.command;
    if (run.button == vela::RunButton::CheckPort) {
        const vela::TestServerAddress server =
            vela::readTestServerIni(dialog.workingDirectoryPath());
        if (!server.usable()) {
            std::fprintf(stderr, "velactl %s: %s\n", command,
                         vela::EscapeForTerminal(server.problem).c_str());
        } else if (view.verdict() == vela::Verdict::PortCheckFailed) {
            std::fprintf(stderr, "velactl %s: no connection to the test server at %s:%u\n", command,
                         vela::EscapeForTerminal(server.host).c_str(),
                         static_cast<unsigned>(server.port));
        }
        return;
    }
    if (!view.errorShown() && !view.verdict()) {
        const std::string where = options.databaseUrl ? vela::pg::RedactUrl(*options.databaseUrl)
                                                      : options.directory.toStdString();
        std::fprintf(stderr,
                     "velactl %s: the run did not start (is \"%s\" in the tracker list of %s?)\n",
                     command, vela::EscapeForTerminal(*options.tracker).c_str(),
                     vela::EscapeForTerminal(where).c_str());
    }
}

// A run of MainDialog with the console view: the button's handler, then the event loop
// until the run has its verdict or --timeout runs out.
int runHeadless(const HeadlessRun& run, const Args& args) {
    const vela::CommandLine line = runCommandLine(run);
    const bool withTracker = run.button != vela::RunButton::CheckPort;
    int exitCode = kExitUsage;
    const std::optional<RunOptions> options = parseRunOptions(line, args, withTracker, exitCode);
    if (!options) return exitCode;

    // The stored values are checked as they stand before anything starts; the dialog
    // below reads them again and reports its own warnings.
    if (!LoadForRun(
            vela::InstallationChoice{std::filesystem::path(options->directory.toStdString()),
                                     options->databaseUrl},
            run.command, stdout, true)) {
        return kExitFailure;
    }

    int argc = 1;
    char name[] = "velactl";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    std::optional<QString> config;
    if (options->config) {
        // A relative name is taken from the directory velactl was started in.
        config = QDir::cleanPath(
            QDir::current().absoluteFilePath(QString::fromStdString(*options->config)));
    }
    ConsoleView view(options->tracker.value_or(std::string()), config);
    vela::MainDialog dialog(view, std::filesystem::path(options->directory.toStdString()));
    dialog.useDatabase(options->databaseUrl);

    // The --timeout timer lives as long as the run: the run's end stops it, so a timer
    // that fell due while a pause held the loop cannot overrule the verdict afterwards.
    QTimer timeout;
    timeout.setSingleShot(true);
    bool ended = false;
    exitCode = kExitFailure;
    // The timer is the context: the connection goes before the locals it reads.
    QObject::connect(&dialog, &vela::MainDialog::RunEnded, &timeout, [&](vela::Verdict verdict) {
        if (ended) return;
        ended = true;
        timeout.stop();
        exitCode = verdict == run.success ? kExitOk : kExitFailure;
        // Quit once the handler that ended the run has returned.
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });

    // Every byte to and from the modem, when asked for (owner-only: the SMS holds passwords).
    std::unique_ptr<vela::SerialTrace> trace;
    if (options->trace) {
        auto created = vela::SerialTrace::Create(*options->trace);
        if (!created) {
            std::fprintf(stderr, "velactl %s: %s\n", run.command,
                         vela::EscapeForTerminal(created.message()).c_str());
            return kExitFailure;
        }
        trace = std::move(created).value();
        dialog.serialPort.setTrace(trace.get());
    }

    dialog.OnInitDialog();
    if (options->allowFrom) dialog.overrideAllowFrom(*options->allowFrom);
    (dialog.*run.press)();
    if (!dialog.activeFlag(run.button)) {
        explainRefusal(run, *options, dialog, view);
        return kExitFailure;
    }
    if (options->timeoutSeconds > 0) {
        QObject::connect(&timeout, &QTimer::timeout, &timeout, [&] {
            if (ended) return;
            std::fprintf(stderr, "velactl %s: the wait ended after %d s\n", run.command,
                         options->timeoutSeconds);
            ended = true;  // the abandoned run's own end does not decide the status
            dialog.AbandonRun();
            exitCode = kExitTimeout;
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
        });
        timeout.start(std::chrono::seconds(options->timeoutSeconds));
    }
    app.exec();
    return exitCode;
}

}  // namespace

int RunListen(const Args& args) {
    return runHeadless(
        {"listen", vela::RunButton::Listen, &vela::MainDialog::OnListen, vela::Verdict::Configured,
         "Runs \"Listen\" without a window: reads FILE for the tracker DESC of the\n"
         "database in DIR, listens on the stored local port and configures the\n"
         "tracker that calls.\n"},
        args);
}

int RunGo(const Args& args) {
    return runHeadless(
        {"go", vela::RunButton::LetsGo, &vela::MainDialog::OnLetsGo, vela::Verdict::Configured,
         "Runs \"Let's Go\" without a window: reads FILE for the tracker DESC of the\n"
         "database in DIR, listens on the stored local port, sends the tracker its\n"
         "wake-up SMS through the modem of the stored settings and configures the\n"
         "tracker that calls. --timeout limits the wait for the tracker's call.\n"},
        args);
}

int RunCheckPort(const Args& args) {
    return runHeadless({"check-port", vela::RunButton::CheckPort, &vela::MainDialog::OnCheckPort,
                        vela::Verdict::PortChecked,
                        "Runs \"Check port\" without a window: sends the test server named in\n"
                        "DIR/test-server.ini (line 1 host, line 2 port) the external address and\n"
                        "port of the settings stored in DIR, listens on the stored local port and\n"
                        "waits for the server's call.\n"},
                       args);
}

}  // namespace velactl
