// The main of every test program: a QCoreApplication (a QApplication on the offscreen platform for the GUI
// tests), then GoogleTest.
#include <gtest/gtest.h>

#ifdef KV_TEST_GUI
#include <QApplication>
#else
#include <QCoreApplication>
#endif

int main(int argc, char** argv) {
#ifdef KV_TEST_GUI
    // No test may ever wait on a real window.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
