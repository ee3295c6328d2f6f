#include "hub_harness.h"
#include "support/recording_outbox.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

using namespace korvel;
using namespace korvel::testing;

namespace {

std::string SystemLine(const std::string& ip, int port, int type, const std::string& name)
{
    return ip + "\t" + ip + "\t" + std::to_string(port) + "\t" + std::to_string(type) + "\t2\t" + name;
}

void SpinFor(int ms)
{
    SpinUntil([] { return false; }, ms);
}

ByteVector Join(const std::vector<ByteVector>& parts)
{
    ByteVector all;
    for (const ByteVector& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Kilobytes of this process's VmRSS, or -1.
long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

sockaddr_in Loopback(const std::string& address, int port)
{
    sockaddr_in result {};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &result.sin_addr);
    return result;
}

class HostileNetworkTest : public HubHarness {
protected:
    // Sixty stations for each address, so that a first page is a full one.
    void writeStations(const std::vector<std::string>& addresses)
    {
        std::vector<std::string> lines;
        std::string stations;
        for (int i = 0; i < 60; ++i)
            stations += std::to_string(41000 + i) + "\r\n";
        std::filesystem::create_directories(dataPath());
        for (const std::string& address : addresses) {
            lines.push_back(SystemLine(address, 29100, 0, "S"));
            std::ofstream(dataPath() + "/" + address + ".dat", std::ios::binary) << stations;
        }
        writeSystems(lines);
    }

    struct Exchange {
        ByteVector answer;
        bool closedByHub = false;
    };
    // Sends the request from `from` in the pieces that `cuts` marks, the hub
    // reading each before the next comes; then collects what comes back.
    Exchange sendInPieces(
        const std::string& from, const ByteVector& request, std::vector<std::size_t> cuts, int quietMs = 300)
    {
        QTcpSocket socket;
        Exchange result;
        QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
            const QByteArray bytes = socket.readAll();
            result.answer.insert(result.answer.end(), bytes.begin(), bytes.end());
        });
        socket.bind(QHostAddress(QString::fromStdString(from)));
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(base));
        EXPECT_TRUE(SpinUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
        cuts.push_back(request.size());
        std::size_t at = 0;
        for (const std::size_t cut : cuts) {
            socket.write(reinterpret_cast<const char*>(request.data() + at), static_cast<qint64>(cut - at));
            socket.flush();
            at = cut;
            SpinFor(15);
        }
        // Over once the hub closes the connection, or after a quiet spell.
        result.closedByHub = SpinUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, quietMs);
        return result;
    }

    RecordingOutbox outbox;
};

class HostileSoakTest : public HostileNetworkTest { };

} // namespace

// A request that arrives in pieces is handled once, when its Length field's
// bytes are all in; one that never gets whole is dropped with its connection.
TEST_F(HostileNetworkTest, ARequestInPiecesIsAnsweredOnceWhenWhole)
{
    writeStations({ peer(2), peer(3), peer(4) });
    Hub::Options options;
    options.outbox = &outbox;
    options.idleConnectionMs = 1000;
    startHub(options);

    const ByteVector registration = Request(MSG_REGISTER, 7, "QVX", wire::kRegisterSize);
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < wire::kGetDataSize; ++i)
        everyByte.push_back(i);
    const struct {
        const char* what;
        ByteVector request;
        std::vector<std::size_t> cuts;
        ByteVector answer;
        std::size_t forwards;
    } cases[] = {
        { "register cut after 20 bytes", registration, { 20 }, { 0x0B, 0x01, 0x00, 0x06, 0x00, 0x07 }, 2 },
        { "get-data byte by byte", Request(MSG_GETDATA, 9, "QVX"), everyByte, {}, 0 },
        { "get-data-v2 cut inside the Length field", GetDataV2(10, "QVX", 1), { 3 }, {}, 0 },
        { "whole, with a second request behind it", Join({ Request(MSG_CLEAR, 11, "", 6), registration }), {},
            { 0x0B, 0x01, 0x00, 0x06, 0x00, 0x0B }, 0 },
    };
    for (const auto& c : cases) {
        outbox.sent.clear();
        const Exchange exchange = sendInPieces(peer(2), c.request, c.cuts);
        if (c.answer.empty()) {
            const std::size_t page = ReadU16(c.request, wire::kLengthOffset) == wire::kGetDataSize ? 50 : 10;
            ASSERT_EQ(exchange.answer.size(), wire::kPageHeaderSize + wire::kStationSize * page) << c.what;
            EXPECT_EQ(GetMessageCode(exchange.answer), MSG_GETRESPONSE) << c.what;
            EXPECT_EQ(GetSequenceNumber(exchange.answer), GetSequenceNumber(c.request)) << c.what;
        } else {
            EXPECT_EQ(exchange.answer, c.answer) << c.what;
        }
        ASSERT_EQ(outbox.sent.size(), c.forwards) << c.what;
        for (const SentPacket& forward : outbox.sent)
            EXPECT_EQ(forward.bytes, registration) << c.what;
    }

    // The rest never comes: no answer, no forward, and the hub closes the
    // connection once the idle time is up.
    outbox.sent.clear();
    const Exchange fragment
        = sendInPieces(peer(2), ByteVector(registration.begin(), registration.begin() + 20), {}, 2500);
    EXPECT_TRUE(fragment.answer.empty());
    EXPECT_TRUE(fragment.closedByHub);
    EXPECT_TRUE(outbox.sent.empty());
}

// A full table refuses new senders, by datagram and by connection, and says
// so once a second; answers beyond an address's budget are held back and
// reported the same way. Known systems go on as before.
TEST_F(HostileNetworkTest, BoundsRefuseNewSendersAndHoldBackAnswersWithALineASecond)
{
    writeSystems({ SystemLine(peer(3), 29100, 0, "Q3"), SystemLine(peer(4), 29100, 1, "V4") });
    Hub::Options options;
    options.outbox = &outbox;
    options.maxSystems = 3;
    options.answers.burstBytes = 10;
    // Next to no refill, so that a slow run (sanitizers) holds back the same answers.
    options.answers.bytesPerSecond = 1;
    startHub(options);

    const auto keepAlive = BuildKeepAlive();
    for (int host : { 5, 6, 7 })
        FakeUdpPeer(peer(host)).send(ByteVector(keepAlive.begin(), keepAlive.end()), base + 1);
    EXPECT_TRUE(SpinUntil([&] { return hub->counters().RefusedTableFull == 2; }));
    EXPECT_TRUE(TcpRequest(peer(8), base, Request(MSG_CLEAR, 1, "", 6)).empty());
    EXPECT_EQ(hub->counters().RefusedTableFull, 3u);
    EXPECT_EQ(hub->table().size(), 3u);
    EXPECT_TRUE(system(peer(5)));
    EXPECT_FALSE(console.contains("UDP From IP : " + peer(6)));

    FakeUdpPeer known(peer(3));
    known.send(StatusReport("Q3", { { "41100", STATUS_BUSY } }), base + 1);
    EXPECT_TRUE(SpinUntil([&] { return system(peer(3))->Stations.size() == 1; }));

    FakeUdpPeer velka(peer(4));
    for (std::uint16_t sequence : { 1, 2, 3 })
        velka.send(Request(MSG_CLEAR, sequence, "", 6), base + 4);
    EXPECT_TRUE(SpinUntil([&] { return hub->counters().AnswersHeldBack == 2; }));
    EXPECT_EQ(std::count_if(
                  outbox.sent.begin(), outbox.sent.end(), [&](const SentPacket& p) { return p.port == kVelkaAckPort; }),
        1);

    EXPECT_TRUE(SpinUntil([&] { return console.contains("Table full (3 systems): refused 3 new senders"); }, 3000));
    EXPECT_TRUE(
        SpinUntil([&] { return console.contains("Answers held back: 2 (12 bytes), the last to " + peer(4)); }, 3000));
}

// Beyond the connection limit a new connection closes the one idle longest.
TEST_F(HostileNetworkTest, ConnectionLimitClosesTheOldestIdleFirst)
{
    Hub::Options options;
    options.maxConnections = 3;
    startHub(options);
    std::vector<std::unique_ptr<QTcpSocket>> open;
    const auto connectFrom = [&](int host) {
        open.push_back(std::make_unique<QTcpSocket>());
        open.back()->bind(QHostAddress(QString::fromStdString(peer(host))));
        open.back()->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(base));
        const std::size_t count = open.size();
        EXPECT_TRUE(SpinUntil([&] { return hub->openConnections() == std::min<std::size_t>(count, 3); }));
    };
    for (int host : { 2, 3, 4 })
        connectFrom(host);
    // The first one asks something and is no longer the one idle longest.
    open[0]->write("\x0B\x05\x00\x06\x00\x01", 6);
    EXPECT_TRUE(SpinUntil([&] { return open[0]->bytesAvailable() == 6; }));
    connectFrom(5);

    EXPECT_TRUE(SpinUntil([&] { return open[1]->state() == QAbstractSocket::UnconnectedState; }));
    // The others are still served: each gets an answer after the shedding.
    for (std::size_t i : { 0, 2, 3 }) {
        const qint64 before = open[i]->bytesAvailable();
        open[i]->write("\x0B\x05\x00\x06\x00\x01", 6);
        EXPECT_TRUE(SpinUntil([&] { return open[i]->bytesAvailable() == before + 6; })) << i;
        EXPECT_EQ(open[i]->state(), QAbstractSocket::ConnectedState) << i;
    }
    EXPECT_EQ(hub->openConnections(), 3u);
    EXPECT_EQ(hub->counters().ConnectionsShed, 1u);
}

// A client that asks for page after page and never reads them: once its
// answers pile up the hub reads no more from it, so the hub does not grow,
// and it goes on serving others. Once the client reads, it is served again.
TEST_F(HostileNetworkTest, AClientThatNeverReadsIsNoLongerReadFrom)
{
    log.disable();
    writeStations({ peer(2), peer(3) });
    startHub();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Its own buffer small, so that what it does not read stays with the hub.
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in local = Loopback(peer(3), 0), listener = Loopback("127.0.0.1", base);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
    connect(fd, reinterpret_cast<const sockaddr*>(&listener), sizeof listener);
    ASSERT_TRUE(SpinUntil([&] { return hub->openConnections() == 1; }));

    // One request at a time, the next once the last is answered or the hub
    // has let it wait a while.
    const ByteVector request = GetDataV2(1, "HOG", 0);
    const long before = ResidentKb();
    std::size_t answered = 0;
    QDeadlineTimer deadline(3000);
    while (!deadline.hasExpired()) {
        const std::int32_t sentBytes = hub->counters().SentByteCount.load();
        if (send(fd, request.data(), request.size(), MSG_DONTWAIT | MSG_NOSIGNAL) <= 0)
            SpinFor(5);
        else if (SpinUntil([&] { return hub->counters().SentByteCount.load() != sentBytes; }, 100))
            ++answered;
    }
    const long grown = ResidentKb() - before;
    std::printf("never-reading client: %zu requests answered, the hub grew by %ld kB\n", answered, grown);
    EXPECT_LT(grown, 8 * 1024);
    EXPECT_EQ(TcpRequest(peer(2), base, Request(MSG_GETDATA, 5, "QVX")).size(), 808u);

    // It was kept waiting, not dropped: once it reads, it is served again.
    ByteVector stream;
    const auto take = [&] {
        std::uint8_t chunk[65536];
        ssize_t count = 0;
        while ((count = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            stream.insert(stream.end(), chunk, chunk + count);
    };
    std::size_t seen = 0;
    SpinUntil(
        [&] {
            take();
            const bool quiet = stream.size() == seen;
            seen = stream.size();
            return quiet && seen > 0;
        },
        5000);
    const ByteVector last = GetDataV2(0xBEEF, "HOG", 0);
    ASSERT_EQ(send(fd, last.data(), last.size(), MSG_NOSIGNAL), static_cast<ssize_t>(last.size()));
    EXPECT_TRUE(SpinUntil(
        [&] {
            take();
            return stream.size() >= seen + 808
                && GetSequenceNumber(Bytes(stream).subspan(stream.size() - 808)) == 0xBEEF;
        },
        5000))
        << stream.size() - seen << " bytes after the last request";
    close(fd);
}

// A thousand clients that send request after request and never read what
// comes back: the hub stops reading from each once its answers pile up, so
// it stays small and goes on serving others.
TEST_F(HostileSoakTest, AThousandClientsThatNeverReadKeepTheHubSmall)
{
    log.disable();
    std::vector<std::string> clients;
    for (int host = 100; host < 150; ++host)
        clients.push_back(peer(host));
    clients.push_back(peer(2));
    writeStations(clients);
    startHub();

    constexpr int kConnections = 1000;
    const sockaddr_in listener = Loopback("127.0.0.1", base);
    std::vector<int> sockets;
    for (int i = 0; i < kConnections; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockets.push_back(fd);
        const sockaddr_in local = Loopback(clients[static_cast<std::size_t>(i) % 50], 0);
        ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
        connect(fd, reinterpret_cast<const sockaddr*>(&listener), sizeof listener);
        // The listener's queue is short: let the hub take each handful.
        if (i % 4 == 3) {
            ASSERT_TRUE(SpinUntil([&] { return hub->openConnections() == static_cast<std::size_t>(i + 1); }, 10000));
        }
    }

    // Page requests from each, as far as the kernel takes them, up to 256 kB
    // a connection.
    ByteVector requests;
    for (int i = 0; i < 400; ++i) {
        const ByteVector one = GetDataV2(static_cast<std::uint16_t>(i), "HOG", 0);
        requests.insert(requests.end(), one.begin(), one.end());
    }
    std::vector<std::size_t> sent(sockets.size(), 0);
    long peakKb = 0;
    QDeadlineTimer deadline(6000);
    while (!deadline.hasExpired()) {
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            if (sent[i] < 256 * 1024) {
                const ssize_t count = send(sockets[i], requests.data(), requests.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                sent[i] += count > 0 ? static_cast<std::size_t>(count) : 0;
            }
        }
        SpinFor(50);
        peakKb = std::max(peakKb, ResidentKb());
    }
    EXPECT_EQ(hub->openConnections(), static_cast<std::size_t>(kConnections));
    EXPECT_EQ(TcpRequest(peer(2), base, Request(MSG_GETDATA, 5, "QVX"), 10000).size(), 808u);
    std::printf("never-reading clients: %d connections, peak resident %ld kB\n", kConnections, peakKb);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(peakKb, 100 * 1024);
#endif
    for (int fd : sockets)
        close(fd);
}

// 2,000 datagrams a second from addresses never heard before: each becomes a
// system, at no cost in file writes, and a known system's status reports are
// all stored and forwarded while it lasts.
TEST_F(HostileSoakTest, AFloodFromNewAddressesCostsAKnownSystemNothing)
{
    log.disable();
    FakeUdpPeer sink(peer(3));
    ASSERT_TRUE(sink.bound());
    writeSystems({ SystemLine(peer(3), sink.socket().localPort() - 1, 0, "SINK") });
    Hub::Options options;
    options.saveIntervalMs = 600000;
    startHub(options);

    constexpr int kRate = 2000, kSeconds = 4;
    std::atomic<int> flooded { 0 };
    std::thread flood([&] {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in to = Loopback("127.0.0.1", base + 1);
        const auto keepAlive = BuildKeepAlive();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kRate * kSeconds; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(1000000 / kRate) * i);
            // Each from an address of its own, chosen per datagram.
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] {};
            iovec data { const_cast<std::uint8_t*>(keepAlive.data()), keepAlive.size() };
            msghdr message {};
            message.msg_name = const_cast<sockaddr_in*>(&to);
            message.msg_namelen = sizeof to;
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = IPPROTO_IP;
            header->cmsg_type = IP_PKTINFO;
            header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info {};
            info.ipi_spec_dst
                = Loopback("127.201." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250), 0).sin_addr;
            std::memcpy(CMSG_DATA(header), &info, sizeof info);
            flooded += sendmsg(fd, &message, 0) > 0;
        }
        close(fd);
    });

    FakeUdpPeer known(peer(2));
    std::set<ByteVector> forwarded;
    std::vector<ByteVector> reports;
    const auto takeForwards = [&] {
        while (sink.socket().hasPendingDatagrams()) {
            ByteVector datagram(static_cast<std::size_t>(std::max<qint64>(sink.socket().pendingDatagramSize(), 0)));
            sink.socket().readDatagram(reinterpret_cast<char*>(datagram.data()), static_cast<qint64>(datagram.size()));
            forwarded.insert(datagram);
        }
    };
    for (int i = 0; i < kSeconds * 10; ++i) {
        reports.push_back(StatusReport("KNOWN", { { "K" + std::to_string(i), STATUS_BUSY } }));
        known.send(reports.back(), base + 1);
        SpinFor(100);
        takeForwards();
    }
    flood.join();
    const auto whole = [&] {
        takeForwards();
        return system(peer(2)) && system(peer(2))->Stations.size() == reports.size()
            && forwarded.size() == reports.size();
    };
    EXPECT_TRUE(SpinUntil(whole, 10000)) << (system(peer(2)) ? system(peer(2))->Stations.size() : 0) << " stored, "
                                         << forwarded.size() << " forwarded of " << reports.size();
    EXPECT_TRUE(forwarded == std::set<ByteVector>(reports.begin(), reports.end()));
    EXPECT_GT(hub->table().size(), static_cast<std::size_t>(flooded.load()) * 9 / 10);

    // The new systems' station files wait for the next save.
    std::size_t files = 0;
    for (const auto& file : std::filesystem::directory_iterator(dataPath()))
        files += file.path().extension() == ".dat";
    EXPECT_EQ(files, 1u) << "only system.dat before the first save";
}
