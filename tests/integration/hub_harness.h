#pragma once

#include "log/console_log.h"
#include "relay/hub.h"
#include "support/event_loop.h"
#include "support/free_port.h"
#include "support/packets.h"
#include "support/tcp_request.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>

namespace korvel::testing {

// Lines may come from the sender engine's thread as well: read under the
// log's lock.
class SharedCapture : public ConsoleSink {
public:
    explicit SharedCapture(ConsoleLog& log)
        : log_(log)
    {
    }
    void appendLine(std::string_view line) override { lines_.emplace_back(line); }
    std::vector<std::string> lines() const
    {
        std::lock_guard guard(log_.lock());
        return lines_;
    }
    bool contains(const std::string& line) const
    {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    void clear()
    {
        std::lock_guard guard(log_.lock());
        lines_.clear();
    }

private:
    ConsoleLog& log_;
    std::vector<std::string> lines_;
};

// A PBX system's UDP socket, bound to its own loopback address.
class FakeUdpPeer {
public:
    FakeUdpPeer(const std::string& address, int port = 0)
    {
        bound_ = socket_.bind(QHostAddress(QString::fromStdString(address)), static_cast<quint16>(port));
        // A test that cannot bind its system says why (another process on
        // the port, a descriptor limit) before its assertion fails.
        if (!bound_)
            std::fprintf(stderr, "cannot bind %s:%d: %s\n", address.c_str(), port,
                socket_.errorString().toLocal8Bit().constData());
    }
    bool bound() const { return bound_; }
    void send(const ByteVector& bytes, int port)
    {
        socket_.writeDatagram(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()),
            QHostAddress::LocalHost, static_cast<quint16>(port));
    }
    // Waits for the next datagram; empty on time-out.
    std::optional<ByteVector> receive(int timeoutMs = 3000)
    {
        if (!SpinUntil([&] { return socket_.hasPendingDatagrams(); }, timeoutMs))
            return std::nullopt;
        ByteVector data(static_cast<std::size_t>(std::max<qint64>(socket_.pendingDatagramSize(), 0)));
        socket_.readDatagram(reinterpret_cast<char*>(data.data()), static_cast<qint64>(data.size()));
        return data;
    }
    QUdpSocket& socket() { return socket_; }

private:
    QUdpSocket socket_;
    bool bound_ = false;
};

// A hub on free ports in a temporary folder, with its trace captured.
class HubHarness : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(directory.isValid());
        base = FreeBasePort();
        ASSERT_NE(base, 0);
        log.setSink(&console);
        log.enable();
    }

    void TearDown() override { hub.reset(); }

    // Each test plays its systems from a 127.A.B.x range of its own, derived
    // from its free base port, so tests running in parallel never share the
    // fixed ports 9003 and 9004 of one address.
    std::string peer(int host) const
    {
        const int k = (base - 20000) / 10;
        return "127." + std::to_string(10 + k / 256) + "." + std::to_string(k % 256) + "." + std::to_string(host);
    }

    std::string dataPath() const { return directory.filePath("data").toStdString(); }

    // system.dat lines after the two header lines.
    void writeSystems(const std::vector<std::string>& lines)
    {
        QDir().mkpath(QString::fromStdString(dataPath()));
        QFile file(QString::fromStdString(dataPath() + "/system.dat"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        std::string text = "Version : 5\r\nBase Port : " + std::to_string(base) + "\r\n";
        for (const auto& line : lines)
            text += line + "\r\n";
        file.write(text.c_str());
    }

    void startHub(Hub::Options options = {})
    {
        options.dataDirectory = dataPath();
        options.console = &log;
        hub = std::make_unique<Hub>(options);
        if (!QFile::exists(QString::fromStdString(dataPath() + "/system.dat")))
            writeSystems({});
        const Result<void> started = hub->start();
        ASSERT_TRUE(started) << started.error();
        ASSERT_EQ(hub->tcpPort(), base);
    }

    SystemEntry* system(const std::string& ip) { return hub->table().findSystem(ip); }

    QTemporaryDir directory;
    int base = 0;
    // The hub's trace; outlives the hub.
    ConsoleLog log;
    SharedCapture console { log };
    std::unique_ptr<Hub> hub;
};

} // namespace korvel::testing
