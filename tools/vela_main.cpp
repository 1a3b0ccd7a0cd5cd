// vela: the window program.
#include "app/main_dialog.h"
#include "gui/main_window.h"
#include "gui/message_sink.h"

#include <QApplication>
#include <filesystem>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vela"));
    vela::QMessageBoxSink messages;
    vela::MainWindow window(messages);
    // The database and test-server.ini are looked for in the directory the program
    // was started in.
    vela::MainDialog dialog(window, std::filesystem::current_path());
    window.Attach(dialog);
    dialog.OnInitDialog();
    window.exec();
    return 0;
}
