#pragma once

#include "gui/main_window.h"
#include "log/console_log.h"
#include "service/service.h"
#include "support/event_loop.h"
#include "support/free_port.h"
#include "support/recording_outbox.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

namespace korvel::testing {

// Runs `act` on the next modal dialog to open (QDialog::exec blocks the test
// until something closes the dialog).
inline void WhenModal(std::function<void(QWidget*)> act)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, act = std::move(act)] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            act(modal);
        }
    });
    timer->start();
}

// A main window over a fresh data folder, with a recording outbox.
class MainWindowFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(directory.isValid());
        // The window's remembered sizes go to this test's folder, never to the user's.
        QSettings::setPath(
            QSettings::NativeFormat, QSettings::UserScope, directory.filePath(QStringLiteral("settings")));
        basePort = FreeBasePort();
        ASSERT_NE(basePort, 0);
        writeSystemFile(QStringLiteral("Version : 5\r\nBase Port : %1\r\n").arg(basePort).toLatin1());
    }

    void TearDown() override { close(); }

    void writeSystemFile(const QByteArray& content)
    {
        QFile file(directory.filePath(QStringLiteral("system.dat")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QByteArray systemFile() const
    {
        QFile file(directory.filePath(QStringLiteral("system.dat")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // A started window over a fresh service; the previous one goes first,
    // and with it the data folder's lock.
    MainWindow& open(const std::function<void(Hub::Options&)>& adjust = {})
    {
        close();
        ServiceOptions options;
        options.hub.dataDirectory = directory.path().toStdString();
        options.hub.outbox = &outbox;
        if (adjust)
            adjust(options.hub);
        options.sip = sip;
        service = std::make_unique<Service>(options);
        form = std::make_unique<MainWindow>(*service);
        EXPECT_TRUE(form->start());
        return *form;
    }

    void close()
    {
        form.reset();
        service.reset();
    }

    // Lets the queued view rebuilds and console flushes run.
    static void settle()
    {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }

    template <typename T> T* child(const char* name) { return form->findChild<T*>(QLatin1String(name)); }

    QTemporaryDir directory;
    int basePort = 0;
    // --sip for the next open(); off unless a test sets it.
    std::optional<SipOptions> sip;
    RecordingOutbox outbox;
    std::unique_ptr<Service> service;
    std::unique_ptr<MainWindow> form;
};

} // namespace korvel::testing
