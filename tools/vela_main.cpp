#include <QApplication>

// Placeholder until the window lands.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    return 0;
}
