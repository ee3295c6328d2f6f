#include "hub_harness.h"
#include "store/system_files.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <map>
#include <random>

using namespace korvel;
using namespace korvel::testing;

namespace {

constexpr int kSystems = 500;
constexpr int kReportersPerRound = 60;
constexpr int kStationsPerReport = 3;

// The table's systems: their own loopback range, type 2, so the hub never
// forwards to them or pings them.
std::string SystemAddress(int i)
{
    return "127.250." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}
// One new system joins in every round, so a saved system.dat says which round it holds.
std::string NewcomerAddress(int round)
{
    return "127.251." + std::to_string(round / 250) + "." + std::to_string(round % 250 + 1);
}
std::string Station(int round, int k)
{
    return "r" + std::to_string(round) + "-" + std::to_string(k);
}

using Snapshot = std::map<std::string, std::vector<std::string>>; // address -> stations

class SaveKillProcessTest : public HubHarness {
protected:
    void SetUp() override
    {
        HubHarness::SetUp();
        log.disable();
        std::vector<std::string> lines;
        for (int i = 0; i < kSystems; ++i)
            lines.push_back(SystemAddress(i) + "\t" + SystemAddress(i) + "\t9000\t2\t2\tS" + std::to_string(i));
        writeSystems(lines);
        for (int i = 0; i < kSystems; ++i) {
            QFile file(QString::fromStdString(dataPath() + "/" + SystemAddress(i) + ".dat"));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("base\r\n");
            onDisk[SystemAddress(i)] = { "base" };
        }
    }

    bool launch(QProcess& process)
    {
        process.setWorkingDirectory(directory.path());
        process.start(KORVEL_BINARY, { "--headless" });
        QByteArray err;
        return SpinUntil(
                   [&] {
                       err += process.readAllStandardError();
                       return err.contains("ready") || process.state() == QProcess::NotRunning;
                   },
                   20000)
            && process.state() == QProcess::Running;
    }

    // Reports from some systems and one newcomer; returns the stations each
    // of them has once the hub has taken the reports in.
    Snapshot report(int round, std::mt19937& random)
    {
        Snapshot changed;
        std::vector<std::pair<std::string, std::uint8_t>> entries;
        for (int k = 0; k < kStationsPerReport; ++k)
            entries.emplace_back(Station(round, k), 1);
        // A report names its system, so each reporter sends its own name.
        std::vector<std::pair<std::string, std::string>> reporters;
        for (int n = 0; n < kReportersPerRound; ++n) {
            const int i = static_cast<int>(random() % kSystems);
            reporters.emplace_back(SystemAddress(i), "S" + std::to_string(i));
        }
        reporters.emplace_back(NewcomerAddress(round), "N" + std::to_string(round));
        for (const auto& [address, name] : reporters) {
            if (changed.count(address))
                continue;
            FakeUdpPeer(address).send(StatusReport(name, entries), base + 1);
            changed[address] = onDisk.count(address) ? onDisk[address] : std::vector<std::string> {};
            for (const auto& entry : entries)
                changed[address].push_back(entry.first);
        }
        // The newcomer reported last; once it is known, every report is in.
        EXPECT_TRUE(SpinUntil(
            [&] {
                return TcpRequest(NewcomerAddress(round), base, Request(MSG_GETDATA, 1, "N")).size()
                    == wire::kPageHeaderSize + wire::kStationSize * kStationsPerReport;
            },
            10000))
            << "round " << round;
        return changed;
    }

    // Loads what is on disk and checks it against the table before the round
    // and the table the round built: system.dat is one or the other, each
    // station file is one or the other, and a new system.dat comes after
    // every station file it lists.
    void checkAndTake(int round, const Snapshot& changed, int& oldRounds, int& newRounds, int& mixedRounds)
    {
        SystemTable loaded(dataPath());
        const std::int32_t basePort = LoadSystems(loaded).basePort.value_or(0);
        ASSERT_EQ(basePort, base) << "round " << round;

        const bool tableIsNew = loaded.findSystem(NewcomerAddress(round)) != nullptr;
        ASSERT_EQ(static_cast<int>(loaded.size()), static_cast<int>(onDisk.size()) + (tableIsNew ? 1 : 0))
            << "round " << round << ": system.dat lost or gained systems";
        int i = 0;
        int newFiles = 0;
        for (const SystemEntry& entry : loaded.systems()) {
            if (i < kSystems) {
                ASSERT_EQ(entry.IpAddress, SystemAddress(i)) << "round " << round;
                ASSERT_EQ(entry.Name, "S" + std::to_string(i));
                ASSERT_EQ(entry.Type, 2);
            }
            ++i;
            const auto before = onDisk.find(entry.IpAddress);
            const auto after = changed.find(entry.IpAddress);
            const bool isOld = before != onDisk.end() && entry.Stations == before->second;
            const bool isNew = after != changed.end() && entry.Stations == after->second;
            ASSERT_TRUE(isOld || isNew) << "round " << round << ": station file of " << entry.IpAddress
                                        << " is neither the old one nor the new one";
            if (tableIsNew) {
                ASSERT_TRUE(isNew || after == changed.end())
                    << "round " << round << ": system.dat was replaced before the station file of " << entry.IpAddress;
            }
            newFiles += isNew && !isOld;
        }
        if (tableIsNew)
            ++newRounds;
        else if (newFiles > 0)
            ++mixedRounds;
        else
            ++oldRounds;
        onDisk.clear();
        for (const SystemEntry& entry : loaded.systems())
            onDisk[entry.IpAddress] = entry.Stations.toVector();
    }

    Snapshot onDisk;
};

} // namespace

// The real program, killed again and again, mostly while it saves at
// shutdown: the table on disk is always a whole table.
TEST_F(SaveKillProcessTest, KilledWhileSavingTheHubLeavesAWholeTable)
{
    const unsigned seed = std::random_device {}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);

    int oldRounds = 0, newRounds = 0, mixedRounds = 0;
    qint64 saveMs = 50;
    for (int round = 0; round < 16; ++round) {
        QProcess korvel;
        ASSERT_TRUE(launch(korvel)) << "round " << round;
        const Snapshot changed = report(round, random);
        const pid_t pid = static_cast<pid_t>(korvel.processId());
        if (round == 0) {
            // A clean shutdown first, to learn how long a save takes here.
            QElapsedTimer timer;
            timer.start();
            ::kill(pid, SIGTERM);
            ASSERT_TRUE(korvel.waitForFinished(30000));
            saveMs = std::max<qint64>(timer.elapsed(), 5);
        } else if (round % 4 == 3) {
            // Killed in the middle of its work, long before a save is due.
            ::kill(pid, SIGKILL);
        } else {
            ::kill(pid, SIGTERM);
            QThread::usleep(static_cast<unsigned long>(random() % (saveMs * 1000 * 3 / 2)));
            ::kill(pid, SIGKILL);
        }
        korvel.waitForFinished(30000);
        checkAndTake(round, changed, oldRounds, newRounds, mixedRounds);
        if (HasFatalFailure())
            return;
    }
    std::printf("save kill: shutdown save %lld ms; rounds leaving the old table %d, the new one %d, "
                "the old one with some new station files %d\n",
        static_cast<long long>(saveMs), oldRounds, newRounds, mixedRounds);
    EXPECT_GT(newRounds, 0);
}
