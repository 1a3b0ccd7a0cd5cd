// vela: the window program.
#include "app/main_dialog.h"
#include "gui/campaign_window.h"
#include "gui/main_window.h"
#include "gui/message_sink.h"
#include "storage/pg/storage_choice.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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

bool exitWhenShown() {
    const char* value = std::getenv("VELA_EXIT_WHEN_SHOWN");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer sinceStart;
    sinceStart.start();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vela"));
    vela::QMessageBoxSink messages;
    // `vela --campaign`: the campaign window alone (its own menu entry).
    const auto isCampaign = [](const char* word) { return std::strcmp(word, "--campaign") == 0; };
    if (std::any_of(argv + 1, argv + argc, isCampaign)) {
        vela::CampaignWindow campaign(std::filesystem::current_path(), messages);
        ShownProbe probe(sinceStart);
        if (exitWhenShown()) {
            std::printf("vela: campaign window\n");  // says which window the probe saw
            campaign.installEventFilter(&probe);
        }
        campaign.show();
        return app.exec();
    }
    vela::MainWindow window(messages);
    // The database and test-server.ini are looked for in the directory the program
    // was started in.
    vela::MainDialog dialog(window, std::filesystem::current_path());
    // VELA_DATABASE names a shared PostgreSQL database that replaces settings.accdb.
    const vela::Result<std::optional<std::string>> database = vela::ChosenDatabaseUrl(std::nullopt);
    if (!database) {
        messages.ShowMessage(nullptr, QString::fromStdString(database.message()),
                             vela::MessageIcon::Stop);
        return 1;
    }
    dialog.useDatabase(database.value());
    window.Attach(dialog);
    ShownProbe probe(sinceStart);
    if (exitWhenShown()) window.installEventFilter(&probe);
    dialog.OnInitDialog();
    window.exec();
    return 0;
}
