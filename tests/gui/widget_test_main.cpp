#include <QApplication>

#include <gtest/gtest.h>

// Widget tests need a QApplication. They run on the offscreen platform, also
// when CTest lists them, which happens without the tests' environment.
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
