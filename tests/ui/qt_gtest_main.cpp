#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv)
{
    // The tests draw and click without a display; a run outside ctest gets the same platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
