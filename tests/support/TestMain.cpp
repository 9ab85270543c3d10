// Test entry point: a QApplication exists for every test, on the offscreen platform by default.
// The tests run in the office's zone (JST), so that local time and UTC differ and a time read in
// the wrong one fails.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

int main(int argc, char** argv)
{
    setenv("TZ", "JST-9", 1);
    tzset();
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
