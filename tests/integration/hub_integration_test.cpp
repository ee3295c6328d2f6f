#include "hub_harness.h"

#include <QRandomGenerator>

#include <algorithm>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace korvel;
using namespace korvel::testing;

namespace {

std::string SystemLine(
    const std::string& ip, int port, int type, const std::string& name, const std::string& toIp = std::string())
{
    return ip + "\t" + (toIp.empty() ? ip : toIp) + "\t" + std::to_string(port) + "\t" + std::to_string(type) + "\t2\t"
        + name;
}

class HubTest : public HubHarness {
protected:
    // A QVX system at peer(3) with base port 29100 and a Velka system at peer(4).
    void startWithTwoSystems()
    {
        writeSystems({ SystemLine(peer(3), 29100, 0, "Q3"), SystemLine(peer(4), 9000, 1, "V4") });
        startHub();
    }

    // The Velka endpoint acknowledges a Clear to port 9004 of its sender, in
    // order after whatever the hub sent before: `at9004` (bound there) gets
    // the ACK first unless the hub sent it something earlier.
    void sendClear(FakeUdpPeer& at9004) { at9004.send(Request(MSG_CLEAR, kClearSequence, "", 6), base + 4); }
    static constexpr std::uint16_t kClearSequence = 0x7A7A;
    const ByteVector clearAck { 0x0B, 0x01, 0x00, 0x06, 0x7A, 0x7A };
};

} // namespace

TEST_F(HubTest, StatusReportOnTheQvxEndpointIsForwardedAndNeverAnswered)
{
    startWithTwoSystems();
    FakeUdpPeer sender(peer(2), 9004);
    FakeUdpPeer qvxSink(peer(3), 29101);
    FakeUdpPeer velkaSink(peer(4), 9003);
    ASSERT_TRUE(sender.bound() && qvxSink.bound() && velkaSink.bound());

    const ByteVector report = StatusReport("QVX300", { { "41100", 1 }, { "41101", 0 } });
    sender.send(report, base + 1);
    EXPECT_EQ(qvxSink.receive(), report);
    EXPECT_EQ(velkaSink.receive(), report);

    const SystemEntry* entry = system(peer(2));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Type, kTypeQvx);
    EXPECT_EQ(entry->Status, SystemStatus::Working);
    EXPECT_EQ(entry->Name, "QVX300");
    EXPECT_EQ(entry->Stations.size(), 2u);
    EXPECT_TRUE(console.contains("UDP From IP : " + peer(2)));
    EXPECT_TRUE(console.contains("Forward To : " + peer(3)));

    sendClear(sender);
    EXPECT_EQ(sender.receive(), clearAck) << "nothing goes back to the sender";
}

// The endpoint drains the kernel's queue many datagrams at a time: a burst
// longer than one drain must come out whole and in order, and the endpoint
// must still hear what arrives once the queue has run dry.
TEST_F(HubTest, BurstOfReportsIsForwardedWholeAndInOrder)
{
    startWithTwoSystems();
    log.disable();
    FakeUdpPeer sender(peer(2), 9004);
    FakeUdpPeer qvxSink(peer(3), 29101);
    ASSERT_TRUE(sender.bound() && qvxSink.bound());

    std::vector<ByteVector> sent;
    for (int i = 0; i < 150; ++i) {
        sent.push_back(StatusReport("B" + std::to_string(i), { { "41100", static_cast<std::uint8_t>(i % 5) } }));
        sender.send(sent.back(), base + 1);
    }
    std::vector<ByteVector> forwarded;
    while (forwarded.size() < sent.size()) {
        const auto datagram = qvxSink.receive();
        if (!datagram)
            break;
        forwarded.push_back(*datagram);
    }
    EXPECT_EQ(forwarded, sent);

    // The drain has found the queue empty and gone back to the event loop.
    log.enable();
    const ByteVector late = StatusReport("LATE", { { "41100", STATUS_BUSY } });
    sender.send(late, base + 1);
    EXPECT_EQ(qvxSink.receive(), late);
    EXPECT_EQ(system(peer(2))->Name, "LATE");
    for (const std::string& line : console.lines())
        EXPECT_EQ(line.find("UDP Error"), std::string::npos) << line;
}

// With the trace off, the UDP endpoint's reports are forwarded on a thread of
// their own, while the event loop is busy elsewhere. What the table learns
// from a datagram still decides where the ones after it go, and a save holds
// every report forwarded before it.
TEST_F(HubTest, TheForwardingThreadKeepsToTheOrderOfWhatTheTableLearns)
{
    startWithTwoSystems();
    log.disable();
    FakeUdpPeer known(peer(3), 29101);
    FakeUdpPeer newcomer(peer(5), kDefaultSystemPort + 1);
    ASSERT_TRUE(known.bound() && newcomer.bound());

    // Both are read before the event loop runs again: the second must wait
    // until the first has made the newcomer a system.
    const ByteVector hello = StatusReport("NEW5", { { "500", 1 } });
    const ByteVector first = StatusReport("Q3", { { "41100", 1 } });
    newcomer.send(hello, base + 1);
    known.send(first, base + 1);
    EXPECT_EQ(newcomer.receive(), first);

    // The event loop is held here; the thread forwards all the same.
    const ByteVector second = StatusReport("Q3", { { "41100", STATUS_BUSY } });
    known.send(second, base + 1);
    ASSERT_TRUE(newcomer.socket().waitForReadyRead(3000));
    EXPECT_EQ(newcomer.receive(), second);
    ASSERT_TRUE(hub->saveSystems());
    EXPECT_EQ(system(peer(3))->StationStates, std::vector<std::int32_t> { STATUS_BUSY });
    EXPECT_EQ(hub->counters().Forwarded[MessageSlot(MSG_STATUSREPORT)], 6u) << "three reports, two systems each";
}

// The endpoints are read through their descriptors, which change with every
// bind: a report is heard on the port the endpoint moved to, as in client-only
// mode on the port it took there, and nothing is read from the old one.
TEST_F(HubTest, AMovedEndpointIsHeardOnItsNewPort)
{
    startWithTwoSystems();
    FakeUdpPeer sender(peer(2), 9004);
    FakeUdpPeer qvxSink(peer(3), 29101);
    ASSERT_TRUE(sender.bound() && qvxSink.bound());
    const Settings& settings = hub->settings();
    EndpointOptions options { settings.ServerAddress, settings.ForwardStatus,
        { settings.LocalTcpPort, base + 5, settings.RemoteTcpPort, settings.RemoteUdpPort } };
    ASSERT_TRUE(hub->applyOptions(options));
    ASSERT_EQ(hub->udpPort(), base + 5);

    const ByteVector early = StatusReport("OLDPORT", { { "41100", 1 } });
    const ByteVector moved = StatusReport("NEWPORT", { { "41100", 2 } });
    sender.send(early, base + 1);
    sender.send(moved, base + 5);
    EXPECT_EQ(qvxSink.receive(), moved);

    hub->enterClientOnlyMode();
    ASSERT_NE(hub->udpPort(), 0);
    const ByteVector clientOnly = StatusReport("CLIENT", { { "41100", 3 } });
    sender.send(clientOnly, hub->udpPort());
    EXPECT_EQ(qvxSink.receive(), clientOnly);
    EXPECT_EQ(system(peer(2))->Name, "CLIENT");
}

TEST_F(HubTest, VelkaEndpointAcksToPort9004AndForwardsRegistrationsByTcp)
{
    startWithTwoSystems();
    QTcpServer qvxListener;
    ASSERT_TRUE(qvxListener.listen(QHostAddress(QString::fromStdString(peer(3))), 29100));
    FakeUdpPeer velkaAcks(peer(4), 9004);
    FakeUdpPeer velka(peer(4), 0);
    ASSERT_TRUE(velkaAcks.bound());

    const ByteVector registration = Request(MSG_REGISTER, 0x1234, "VK", wire::kRegisterSize);
    velka.send(registration, base + 4);
    EXPECT_EQ(velkaAcks.receive(), (ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x12, 0x34 }));

    ASSERT_TRUE(SpinUntil([&] { return qvxListener.hasPendingConnections(); }));
    QTcpSocket* forwarded = qvxListener.nextPendingConnection();
    SpinUntil([&] { return forwarded->bytesAvailable() >= static_cast<qint64>(registration.size()); });
    const QByteArray bytes = forwarded->readAll();
    EXPECT_EQ(ByteVector(bytes.begin(), bytes.end()), registration);
    EXPECT_TRUE(console.contains("UDP2 From IP : " + peer(4) + ", " + std::to_string(velka.socket().localPort())));
}

TEST_F(HubTest, ReceiveOnlyEndpointStoresButNeverAnswersOrForwards)
{
    startWithTwoSystems();
    FakeUdpPeer rack(peer(5), 9004);
    FakeUdpPeer qvxSink(peer(3), 29101);
    // An acknowledged multi-ack registers the station; the report then stores its state.
    rack.send(StatusReport("R5", { { "1", RESULT_ACK } }, MSG_MULTACK), base + 3);
    rack.send(StatusReport("R5", { { "1", STATUS_DND } }), base + 3);
    ASSERT_TRUE(SpinUntil([&] { return system(peer(5)) && system(peer(5))->StationStates == std::vector<int> { 2 }; }));
    EXPECT_EQ(system(peer(5))->Type, kTypeVelka);
    EXPECT_EQ(system(peer(5))->Name, "R5");

    // Forwards leave in order: a report forwarded after them comes first.
    const ByteVector later = StatusReport("Q2", { { "1", 1 } });
    FakeUdpPeer(peer(2)).send(later, base + 1);
    EXPECT_EQ(qvxSink.receive(), later) << "the receive-only endpoint forwarded";
    sendClear(rack);
    EXPECT_EQ(rack.receive(), clearAck) << "the receive-only endpoint answered";
}

TEST_F(HubTest, OwnAddressIsHeardButIgnored)
{
    startWithTwoSystems();
    ASSERT_EQ(hub->settings().OwnAddress, "127.0.0.1");
    FakeUdpPeer self("127.0.0.1", 0);
    self.send(StatusReport("SELF", { { "1", 0 } }), base + 1);
    ASSERT_TRUE(SpinUntil([&] { return console.contains("UDP From IP : 127.0.0.1"); }));
    // A report from elsewhere, handled after it, bounds what it set off.
    FakeUdpPeer(peer(2)).send(StatusReport("OTHER", { { "1", 0 } }), base + 1);
    ASSERT_TRUE(SpinUntil([&] { return system(peer(2)) != nullptr; }));
    EXPECT_EQ(system("127.0.0.1"), nullptr);
    const auto lines = console.lines();
    const auto other = std::find(lines.begin(), lines.end(), "UDP From IP : " + peer(2));
    EXPECT_EQ(other - lines.begin(), 1) << "the arrival line and nothing else";

    // A request over TCP from there is answered, and the hub stays out of its table.
    EXPECT_EQ(TcpRequest("127.0.0.1", base, Request(MSG_CLEAR, 0x0102, "", 6)),
        (ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x01, 0x02 }));
    EXPECT_EQ(system("127.0.0.1"), nullptr);
}

TEST_F(HubTest, TcpAnswersOneRequestPerConnectionWithPages)
{
    startWithTwoSystems();
    FakeUdpPeer pbx(peer(2), 0);
    std::vector<std::pair<std::string, std::uint8_t>> entries;
    for (int i = 0; i < 60; ++i)
        entries.emplace_back(std::to_string(41000 + i), 0);
    pbx.send(StatusReport("QVX300", entries), base + 1);
    pbx.send(StatusReport("QVX300", { { "X1", 0 }, { "X2", 0 } }), base + 1);
    ASSERT_TRUE(SpinUntil([&] { return system(peer(2)) && system(peer(2))->Stations.size() == 62; }));

    const ByteVector page0 = TcpRequest(peer(2), base, Request(MSG_GETDATA, 5, "QVX300"));
    ASSERT_EQ(page0.size(), 808u);
    EXPECT_EQ(ReadU16(page0, 4), 5);
    EXPECT_EQ(ReadField(page0, 8, 16), "41000");
    const ByteVector page1 = TcpRequest(peer(2), base, GetDataV2(6, "QVX300", 1));
    ASSERT_EQ(page1.size(), 8u + 16u * 12u);
    EXPECT_EQ(ReadField(page1, 8 + 16 * 11, 16), "X2");

    // Two requests in one write are one packet: only the first is answered.
    ByteVector twoAcks = Request(MSG_CLEAR, 7, "", 6);
    const ByteVector second = Request(MSG_CLEAR, 8, "", 6);
    twoAcks.insert(twoAcks.end(), second.begin(), second.end());
    EXPECT_EQ(TcpRequest(peer(2), base, twoAcks), (ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x00, 0x07 }));

    // Over UDP the page goes to port 9003 of a Velka sender.
    FakeUdpPeer velkaData(peer(4), 9003);
    FakeUdpPeer velka(peer(4), 0);
    velka.send(GetDataV2(9, "V4", 3), base + 4);
    EXPECT_EQ(velkaData.receive(), (ByteVector { 0x0B, 0x07, 0x00, 0x08, 0x00, 0x09, 0x00, 0x00 }));

    EXPECT_TRUE(console.contains("Connect from: " + peer(2)));
    EXPECT_TRUE(SpinUntil([&] { return console.contains("Disconnected: " + peer(2)); }));
}

TEST_F(HubTest, UnregisteredVelkaStationGetsADataMismatchNotice)
{
    startWithTwoSystems();
    FakeUdpPeer velkaData(peer(4), 9003);
    FakeUdpPeer velka(peer(4), 0);
    velka.send(StatusReport("V4", { { "41100", 1 } }), base + 4);
    const auto notice = velkaData.receive();
    ASSERT_TRUE(notice);
    ASSERT_EQ(notice->size(), 74u);
    EXPECT_EQ((*notice)[1], MSG_DATA_MISMATCH);
    EXPECT_EQ(ReadField(*notice, 54, 16), "41100");
    EXPECT_TRUE(system(peer(4))->Stations.empty());
}

TEST_F(HubTest, SystemRegisterMovesWhereForwardsGo)
{
    startWithTwoSystems();
    FakeUdpPeer qvx(peer(3), 0);
    const std::string address = peer(3);
    const std::array<std::uint8_t, 4> ip = { 127, 0, 0, 0 };
    qvx.send(SystemRegister(1, "Q3NEW", 2, ip, 29200), base + 1);
    ASSERT_TRUE(SpinUntil([&] { return system(peer(3))->Port == 29200; }));

    FakeUdpPeer newSink(peer(3), 29201);
    FakeUdpPeer reporter(peer(2), 0);
    const ByteVector report = StatusReport("Q2", { { "1", 1 } });
    reporter.send(report, base + 1);
    EXPECT_EQ(newSink.receive(), report);
    EXPECT_EQ(system(peer(3))->Name, "Q3NEW");
}

// The failure marks the system the send was for, also when its bytes go to
// another address. A second hub in the process has a sender and counters of
// its own: it takes neither the first one's failures nor its traffic.
TEST_F(HubTest, FailedTcpForwardMarksTheSystemInError)
{
    // Nothing listens on the QVX systems' TCP ports.
    writeSystems({ SystemLine(peer(3), 29100, 0, "Q3"), SystemLine(peer(5), 29100, 0, "Q5", peer(6)) });
    startHub();
    Hub::Options otherOptions;
    otherOptions.dataDirectory = directory.filePath("other").toStdString();
    Hub other(otherOptions);
    int otherFailures = 0;
    QObject::connect(&other, &Hub::senderFailed, [&] { ++otherFailures; });
    FakeUdpPeer velka(peer(4), 0);
    velka.send(Request(MSG_REGISTER, 1, "VK", wire::kRegisterSize), base + 4);
    ASSERT_TRUE(SpinUntil([&] { return system(peer(3))->Status == SystemStatus::Error; }));
    ASSERT_TRUE(SpinUntil([&] { return system(peer(5))->Status == SystemStatus::Error; }));
    EXPECT_TRUE(console.contains(peer(3) + " : connect() errror!"));
    EXPECT_TRUE(console.contains(peer(6) + " : connect() errror!"));
    EXPECT_EQ(system(peer(4))->Status, SystemStatus::Working);
    EXPECT_GT(hub->counters().SentByteCount.load(), 0);
    EXPECT_EQ(other.counters().SentByteCount.load(), 0);
    EXPECT_EQ(otherFailures, 0);
}

TEST_F(HubTest, GarbageOnEveryEndpointLeavesTheHubServing)
{
    startWithTwoSystems();
    log.disable();
    auto* random = QRandomGenerator::global();
    std::vector<std::unique_ptr<FakeUdpPeer>> peers;
    for (int i = 0; i < 8; ++i)
        peers.push_back(std::make_unique<FakeUdpPeer>(peer(20 + i), 0));
    const int ports[] = { base + 1, base + 3, base + 4 };
    for (int i = 0; i < 3000; ++i) {
        ByteVector junk(random->bounded(0, 2049));
        for (auto& byte : junk)
            byte = static_cast<std::uint8_t>(random->bounded(256));
        if (!junk.empty() && random->bounded(2))
            junk[0] = wire::kMarker;
        if (junk.size() > 1)
            junk[1] = static_cast<std::uint8_t>(random->bounded(18));
        peers[static_cast<std::size_t>(i) % peers.size()]->send(junk, ports[i % 3]);
        if (i % 100 == 0)
            QCoreApplication::processEvents();
    }
    // A report sent after the garbage on each endpoint is handled after it.
    for (int i = 0; i < 3; ++i)
        FakeUdpPeer(peer(30 + i)).send(StatusReport("END", { { "1", 0 } }), ports[i]);
    EXPECT_TRUE(SpinUntil([&] { return system(peer(30)) && system(peer(31)) && system(peer(32)); }));
    const ByteVector answer = TcpRequest(peer(2), base, Request(MSG_CLEAR, 0x4242, "", 6));
    EXPECT_EQ(answer, (ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x42, 0x42 }));
}

TEST_F(HubTest, AllowListRefusesStrangersBeforeTheyTouchAnything)
{
    writeSystems({});
    QFile allow(QString::fromStdString(dataPath() + "/allow.txt"));
    ASSERT_TRUE(allow.open(QIODevice::WriteOnly));
    allow.write(("# exchanges of site A\n" + peer(2) + "\n127.0.0.1/32  # the hub itself\n").c_str());
    allow.close();
    startHub();

    FakeUdpPeer stranger(peer(3), 0);
    FakeUdpPeer friendly(peer(2), 0);
    stranger.send(StatusReport("EVIL", { { "1", 0 } }), base + 1);
    friendly.send(StatusReport("GOOD", { { "1", 0 } }), base + 1);
    ASSERT_TRUE(SpinUntil([&] { return system(peer(2)) != nullptr; }));
    EXPECT_EQ(TcpRequest(peer(3), base, Request(MSG_CLEAR, 1, "", 6)), ByteVector {});
    EXPECT_EQ(system(peer(3)), nullptr);
    EXPECT_EQ(hub->refusedCount(), 2u);
    const auto lines = console.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Refused from: " + peer(3)), 2);
    for (const auto& line : lines)
        EXPECT_EQ(line.find("EVIL"), std::string::npos) << line;
    EXPECT_EQ(
        TcpRequest(peer(2), base, Request(MSG_CLEAR, 2, "", 6)), (ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x00, 0x02 }));
}

// An allow.txt that cannot be read, or whose entries are all unreadable,
// never opens the door: the list read before stays, and at start-up nobody
// is let in.
TEST_F(HubTest, AnUnusableAllowListKeepsTheLastGoodOne)
{
    writeSystems({});
    const QString path = QString::fromStdString(dataPath() + "/allow.txt");
    const auto write = [&](const std::string& text) {
        QDir().rmdir(path);
        QFile allow(path);
        ASSERT_TRUE(allow.open(QIODevice::WriteOnly | QIODevice::Truncate));
        allow.write(text.c_str());
    };
    const auto allowed = [&](int host) {
        const std::uint64_t before = hub->refusedCount();
        hub->qvxDatagramReceived(StatusReport("X", { { "1", 0 } }), peer(host), 9);
        return hub->refusedCount() == before;
    };
    ASSERT_TRUE(QDir().mkpath(path)); // there, but no file to read
    startHub();
    EXPECT_FALSE(allowed(2)) << "unreadable at start-up: nobody";
    EXPECT_TRUE(console.contains(path.toStdString() + " unusable: nobody is allowed in"));

    write(peer(2) + "\n");
    hub->loadAllowList();
    EXPECT_TRUE(allowed(2));
    EXPECT_FALSE(allowed(3));
    for (const std::string& unusable : { std::string("dir"), std::string("not an address\n10.0.0\n") }) {
        if (unusable == "dir") {
            QFile::remove(path);
            ASSERT_TRUE(QDir().mkpath(path));
        } else {
            write(unusable);
        }
        hub->loadAllowList();
        EXPECT_TRUE(allowed(2)) << unusable;
        EXPECT_FALSE(allowed(3)) << unusable;
    }
    EXPECT_TRUE(console.contains(path.toStdString() + " unusable: keeping the list read before"));
}

TEST_F(HubTest, SilentConnectionsAreClosed)
{
    Hub::Options options;
    options.idleConnectionMs = 200;
    startHub(options);
    QTcpSocket silent;
    silent.bind(QHostAddress(QString::fromStdString(peer(2))));
    silent.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(base));
    ASSERT_TRUE(SpinUntil([&] { return silent.state() == QAbstractSocket::ConnectedState; }));
    EXPECT_TRUE(SpinUntil([&] { return silent.state() == QAbstractSocket::UnconnectedState; }, 5000));
    EXPECT_TRUE(SpinUntil([&] { return console.contains("Disconnected: " + peer(2)); }));
}

// Hundreds of systems may ask for their page at the same moment; a listener
// whose queue holds five drops the rest of their SYNs, and each of those
// clients waits a second or more for its retry.
TEST_F(HubTest, TheListenerQueuesHundredsOfConnectionsAtOnce)
{
    startHub();
    int listener = -1;
    for (int fd = 0; fd < 1024 && listener < 0; ++fd) {
        sockaddr_in address {};
        socklen_t length = sizeof address;
        int accepting = 0;
        socklen_t size = sizeof accepting;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sin_family == AF_INET
            && ntohs(address.sin_port) == base && getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) == 0
            && accepting)
            listener = fd;
    }
    ASSERT_GE(listener, 0);
    // For a listening socket the kernel reports its queue's bound here.
    tcp_info info {};
    socklen_t length = sizeof info;
    ASSERT_EQ(getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &length), 0);
    EXPECT_GE(info.tcpi_sacked, 512u);
}

TEST_F(HubTest, AFileThatCannotBeSavedIsSaidOncePerTickAndTriedAgain)
{
    startWithTwoSystems();
    // A folder where the station file belongs makes its replacement fail.
    const std::string stationFile = dataPath() + "/" + peer(3) + ".dat";
    std::filesystem::remove(stationFile);
    std::filesystem::create_directory(stationFile);
    const auto said = [&] {
        const auto lines = console.lines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.starts_with("Cannot save " + stationFile + ": ") && line.ends_with("; the old file is kept");
        });
    };

    // The timer's saves run on the save thread; each is said when it ends.
    const auto tick = [&] {
        hub->saveTick();
        return SpinUntil([&] { return !hub->saveInProgress(); });
    };
    log.disable(); // said whatever the logging switch
    ASSERT_TRUE(tick());
    EXPECT_EQ(said(), 1);
    ASSERT_TRUE(tick());
    EXPECT_EQ(said(), 2);
    EXPECT_FALSE(hub->saveSystems());
    EXPECT_EQ(said(), 3);

    std::filesystem::remove(stationFile);
    ASSERT_TRUE(tick());
    EXPECT_EQ(said(), 3);
    EXPECT_TRUE(std::filesystem::is_regular_file(stationFile)) << "the next tick saves it";
    EXPECT_TRUE(hub->shutdown());
}

// New ports from the Options dialog: a datagram port another program holds is
// said, not passed over with the endpoint left deaf.
TEST_F(HubTest, NewPortsThatAreTakenAreSaid)
{
    startHub();
    QUdpSocket squatter;
    ASSERT_TRUE(squatter.bind(QHostAddress::AnyIPv4, 0));
    const int taken = squatter.localPort();
    EndpointOptions options;
    options.serverAddress = "127.0.0.1";
    options.ports = { base, taken, base, base + 1 };
    const Result<void> applied = hub->applyOptions(options);
    ASSERT_FALSE(applied);
    EXPECT_EQ(applied.error().rfind("Cannot bind UDP port " + std::to_string(taken) + " (UDP): ", 0), 0u)
        << applied.error();
    EXPECT_EQ(hub->tcpPort(), base) << "the listener took its port";

    options.ports = { base, std::nullopt, base, base + 1 };
    EXPECT_EQ(hub->applyOptions(options).failure().kind, Failure::Kind::Invalid);
}
