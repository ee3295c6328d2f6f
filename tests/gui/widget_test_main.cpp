#include <QApplication>
#include <QNetworkProxy>

#include <gtest/gtest.h>

// Widget tests need a QApplication. They run on the offscreen platform, also
// when CTest lists them, which happens without the tests' environment.
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Loopback only: the machine's proxy settings are not the tests'.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
