#include <QCoreApplication>
#include <QNetworkProxy>

#include <gtest/gtest.h>

// Tests that use sockets and timers need an application object and its loop.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The tests talk to loopback only: no proxy settings of the machine, and
    // no helper thread of Qt's asking for them.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
