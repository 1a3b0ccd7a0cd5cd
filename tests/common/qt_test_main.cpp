#include <QApplication>

#include <gtest/gtest.h>

// One QApplication for the whole test executable; the platform (offscreen in CI)
// comes from QT_QPA_PLATFORM in the test's environment.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
