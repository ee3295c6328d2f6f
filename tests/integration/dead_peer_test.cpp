#include "hub_harness.h"

#include "relay/sender_engine.h"

#include <QProcess>
#include <QThread>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <optional>

using namespace korvel;
using namespace korvel::testing;

namespace {

int ThreadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    return -1;
}

// A TCP port that takes SYNs and never answers them: a listener with no room
// in its accept queue that never accepts. Connects to it hang as they do to a
// host that has gone away.
class BlackHole {
public:
    BlackHole()
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener_, 0) != 0
            || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        // The first connection fills the queue; from then on SYNs are dropped.
        for (int i = 0; i < 4 && !swallows(); ++i) { }
    }
    ~BlackHole()
    {
        for (QTcpSocket* filler : fillers_)
            delete filler;
        if (listener_ >= 0)
            close(listener_);
    }

    int port() const { return port_; }
    bool working() const { return working_; }

private:
    bool swallows()
    {
        auto* probe = new QTcpSocket;
        fillers_.push_back(probe);
        probe->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
        // A probe the queue takes connects at once; one it drops is still
        // trying when a SYN answer would long have come.
        SpinUntil([&] { return probe->state() != QAbstractSocket::ConnectingState; }, 300);
        working_ = probe->state() == QAbstractSocket::ConnectingState;
        return working_;
    }

    int listener_ = -1;
    int port_ = 0;
    bool working_ = false;
    std::vector<QTcpSocket*> fillers_;
};

class DeadPeerTest : public HubHarness { };

} // namespace

// A QVX system whose TCP port never answers is sent thousands of forwarded
// registrations. Each sender must give up on its own time-out without
// holding a thread or the main loop.
TEST_F(DeadPeerTest, ForwardsToADeadPeerTimeOutWithoutHoldingUpTheHub)
{
    BlackHole hole;
    ASSERT_TRUE(hole.working()) << "this machine answers SYNs to a full listener";

    // Requests come from the dead system's own address, so that the table
    // holds no other system to forward to.
    const std::string dead = peer(3);
    writeSystems({ dead + "\t127.0.0.1\t" + std::to_string(hole.port()) + "\t0\t2\tDEAD" });
    Hub::Options options;
    options.engine.tcpConnectTimeoutMs = 5000;
    startHub(options);
    using Clock = std::chrono::steady_clock;
    int failures = 0;
    std::optional<Clock::time_point> firstFailure;
    QObject::connect(hub.get(), &Hub::senderFailed, [&](const QString& system) {
        if (system != QString::fromStdString(dead))
            return;
        if (!firstFailure)
            firstFailure = Clock::now();
        ++failures;
    });
    TrafficCounters& counters = hub->counters();
    // Let Qt start whatever helper threads a first connection needs.
    ASSERT_EQ(TcpRequest(dead, base, Request(MSG_CLEAR, 1, "", 6)).size(), 6u);
    const int threadsBefore = ThreadCount();

    constexpr int kForwards = 2000;
    const ByteVector registration = Request(MSG_REGISTER, 7, "VK", wire::kRegisterSize);
    const std::int32_t receivedBefore = counters.ReceivedByteCount.load();
    const auto handled = [&] {
        return (counters.ReceivedByteCount.load() - receivedBefore) / static_cast<std::int32_t>(registration.size());
    };
    FakeUdpPeer velka(peer(4), 0);
    const auto forward = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            velka.send(registration, base + 4);
            if (i % 100 == 99 || i == to - 1) {
                ASSERT_TRUE(SpinUntil([&] { return handled() == i + 1; }, 10000)) << handled() << " of " << i + 1;
            }
        }
    };
    const Clock::time_point started = Clock::now();
    ASSERT_NO_FATAL_FAILURE(forward(0, 100));

    // Requests are answered at once all the same, on TCP by the hub and over
    // UDP by the same sender engine, while the connects still hang.
    EXPECT_EQ(
        TcpRequest(dead, base, Request(MSG_CLEAR, 0x0102, "", 6)), (ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x01, 0x02 }));
    FakeUdpPeer velkaData(peer(6), kVelkaDataPort);
    ASSERT_TRUE(velkaData.bound());
    velkaData.send(Request(MSG_GETDATA, 9, "V6"), base + 4);
    const auto page = velkaData.receive(5000);
    ASSERT_TRUE(page);
    EXPECT_EQ((*page)[wire::kCodeOffset], MSG_GETRESPONSE);
    EXPECT_GT(counters.LiveSenderCount.load(), 0) << "the answers waited for the connects";

    ASSERT_NO_FATAL_FAILURE(forward(100, kForwards));
    EXPECT_LE(ThreadCount(), threadsBefore + 2) << "no thread per sender";

    ASSERT_TRUE(SpinUntil([&] { return failures == kForwards; }, 60000)) << failures;
    ASSERT_TRUE(SpinUntil([&] { return counters.LiveSenderCount.load() == 0; }));
    ASSERT_TRUE(firstFailure);
    EXPECT_GE(*firstFailure - started, std::chrono::milliseconds(options.engine.tcpConnectTimeoutMs))
        << "a sender gave up before its time-out";
    const auto lines = console.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "127.0.0.1 : connect() errror!"), kForwards);
}

// Under a descriptor limit of 64 (hard 256), hanging connects to a dead peer
// and forwarded registrations by the thousand must leave descriptors for the
// saves: the hub raises its limit, keeps its connects within a share of it,
// and a reload and the final save both keep every system.
TEST_F(DeadPeerTest, HangingConnectsLeaveDescriptorsForTheSave)
{
    BlackHole hole;
    ASSERT_TRUE(hole.working()) << "this machine answers SYNs to a full listener";
    const std::string dead = peer(3);
    writeSystems({ dead + "\t127.0.0.1\t" + std::to_string(hole.port()) + "\t0\t2\tDEAD" });

    QProcess korvel;
    korvel.setWorkingDirectory(directory.path());
    korvel.setChildProcessModifier([] {
        const rlimit limit { 64, 256 };
        ::setrlimit(RLIMIT_NOFILE, &limit);
    });
    korvel.start(KORVEL_BINARY, { "--headless" });
    QByteArray errors;
    ASSERT_TRUE(SpinUntil(
        [&] {
            errors += korvel.readAllStandardError();
            return errors.contains("korvel: ready") || korvel.state() == QProcess::NotRunning;
        },
        10000));
    ASSERT_EQ(korvel.state(), QProcess::Running) << errors.toStdString();
    const QString proc = QStringLiteral("/proc/%1/").arg(korvel.processId());
    QFile limits(proc + "limits");
    ASSERT_TRUE(limits.open(QIODevice::ReadOnly));
    EXPECT_TRUE(limits.readAll().simplified().contains("Max open files 256 256"));

    constexpr int kSystems = 20;
    constexpr int kPerSystem = 75;
    std::vector<std::unique_ptr<FakeUdpPeer>> velkas;
    for (int i = 0; i < kSystems; ++i)
        velkas.push_back(std::make_unique<FakeUdpPeer>(peer(10 + i), 0));
    const ByteVector registration = Request(MSG_REGISTER, 7, "VK", wire::kRegisterSize);
    for (int round = 0; round < kPerSystem; ++round) {
        for (auto& velka : velkas)
            velka->send(registration, base + 4);
        QThread::msleep(2); // paced, so that the kernel drops none of them
    }
    const auto savedAll = [&] {
        QFile saved(directory.filePath("data/system.dat"));
        if (!saved.open(QIODevice::ReadOnly))
            return false;
        const QByteArray text = saved.readAll();
        for (int i = 0; i < kSystems; ++i) {
            if (!text.contains((peer(10 + i) + "\t").c_str()))
                return false;
        }
        return text.contains(("\t" + dead + "\t").c_str()) || text.startsWith((dead + "\t").c_str())
            || text.contains(("\n" + dead + "\t").c_str());
    };
    // Saves while the connects hang, until every system has come in.
    bool saved = false;
    for (int attempt = 0; attempt < 40 && !saved; ++attempt) {
        ::kill(static_cast<pid_t>(korvel.processId()), SIGHUP);
        saved = SpinUntil(savedAll, 500);
    }
    const auto open = QDir(proc + "fd").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
    ASSERT_TRUE(saved) << (errors += korvel.readAllStandardError()).toStdString();
    EXPECT_GE(open, 64) << "saved while the connects still hang";
    EXPECT_LT(open, 256 - 64) << "descriptors in use";

    ::kill(static_cast<pid_t>(korvel.processId()), SIGTERM);
    ASSERT_TRUE(korvel.waitForFinished(20000));
    EXPECT_EQ(korvel.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(korvel.exitCode(), 0) << (errors += korvel.readAllStandardError()).toStdString();
    EXPECT_TRUE(savedAll());
}
