#include "store/system_files.h"
#include "web/table_mirror.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

using namespace korvel;

namespace {

// Random changes of every kind; after each, the mirror must say what a fresh
// walk of the table says, and a watcher that applies only the reported
// changes (rows, removals, LastHeard, station states) must hold the same
// list and states as the table.
TEST(TableMirror, StaysEqualToTheTableThroughEveryKindOfChange)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    std::int64_t now = 1000;
    SystemTable table(folder.path().toStdString(), [&] { return now; });
    TableMirror mirror(table);

    std::mt19937 random(7);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto address = [&] { return "127.0.5." + std::to_string(1 + pick(6)); };

    // No system has an id this large: nothing watched.
    constexpr std::uint64_t kNone = ~std::uint64_t(0);
    std::uint64_t watched = kNone;
    std::vector<std::int32_t> shadow; // the watcher's copy of the watched system's states
    std::map<qint64, QJsonObject> rows; // the watcher's copy of the list
    auto parseRows = [](const QByteArray& json) {
        std::map<qint64, QJsonObject> parsed;
        for (const QJsonValue row : QJsonDocument::fromJson(json).array())
            parsed[row[QLatin1String("id")].toInteger()] = row.toObject();
        return parsed;
    };
    for (int step = 0; step < 4000; ++step) {
        now += pick(2);
        switch (pick(21)) {
        case 0:
            if (const SystemEntry* entry = table.findSystem(address()))
                table.removeEntry(*entry);
            break;
        case 1:
            if (pick(10) == 0)
                table.clearAllSystems();
            break;
        case 2:
            // Saved and read back: every station comes back "Unknown".
            if (pick(10) == 0) {
                SaveSystems(table, 9000);
                LoadSystems(table);
            }
            break;
        case 3:
            table.replaceSystemAddress(address(), address());
            break;
        case 4:
            table.setSystemName(address(), "N" + std::to_string(pick(3)));
            break;
        case 20:
            table.setSystemPort(address(), 9000 + pick(2));
            break;
        case 5:
        case 6:
            table.addSystem(address(), "", pick(2));
            break;
        case 7:
        case 8:
            table.setSystemStatus(address(), SystemStatus { pick(4) - 1 });
            break;
        default:
            table.setStationStatus(address(), std::to_string(41100 + pick(40)), pick(7) - 1);
            break;
        }

        if (!mirror.entry(watched)) {
            mirror.unwatch(watched);
            watched = kNone;
            shadow.clear();
            if (!table.systems().empty()) {
                const SystemEntry& first = table.systems().front();
                watched = first.listOrder();
                mirror.watch(watched);
                shadow = first.StationStates;
            }
        }
        const TableMirror::Changes changes = mirror.takeChanges();
        if (changes.reset)
            rows = parseRows(mirror.systemsJson());
        for (const QByteArray& row : changes.systems) {
            const QJsonObject parsed = QJsonDocument::fromJson(row).object();
            rows[parsed[QLatin1String("id")].toInteger()] = parsed;
        }
        for (std::uint64_t id : changes.removed)
            rows.erase(static_cast<qint64>(id));
        for (const auto& [id, heard] : changes.heard)
            rows[static_cast<qint64>(id)][QLatin1String("lastHeard")] = static_cast<qint64>(heard);
        if (watched != kNone) {
            const SystemEntry& entry = *mirror.entry(watched);
            shadow.resize(entry.Stations.size(), -2);
            if (auto found = changes.stations.find(watched); found != changes.stations.end()) {
                for (std::uint32_t index : found->second)
                    shadow[index] = entry.StationStates[index];
            }
            ASSERT_EQ(shadow, entry.StationStates) << "step " << step;
        }

        std::array<std::size_t, TableMirror::kStatusKinds> byStatus {};
        std::size_t stations = 0;
        QByteArray json = "[";
        for (const SystemEntry& entry : table.systems()) {
            ++byStatus[TableMirror::StatusKind(entry.Status)];
            stations += entry.Stations.size();
            json += (json.size() > 1 ? "," : "") + TableMirror::RowJson(entry);
        }
        json += "]";
        ASSERT_EQ(mirror.systemsByStatus(), byStatus) << "step " << step;
        ASSERT_EQ(mirror.stationCount(), stations) << "step " << step;
        ASSERT_EQ(mirror.systemsJson(), json) << "step " << step;
        ASSERT_EQ(rows, parseRows(json)) << "step " << step;
    }
}

// A hub with no page open never takes its changes: what it holds for the
// next page stays bounded however many systems come and go.
TEST(TableMirror, RemovalsNobodyTakesStayBounded)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    SystemTable table(folder.path().toStdString());
    TableMirror mirror(table);
    const std::size_t count = TableMirror::kMaxRemovalsHeld + 10;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string address = "127.1." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
        table.addSystem(address, "", 0);
        table.removeSystem(address);
    }
    table.addSystem("127.0.0.9", "", 0);
    const TableMirror::Changes changes = mirror.takeChanges();
    EXPECT_TRUE(changes.reset);
    EXPECT_TRUE(changes.removed.empty());
    EXPECT_EQ(QJsonDocument::fromJson(mirror.systemsJson()).array().size(), 1);
}

// A loaded entry's LastHeard is its load time, which the keep-alive needs;
// the page is told 0 ("not since start") until the system sends something.
TEST(TableMirror, ASystemIsHeardOnlyOnceItSendsSomething)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    std::int64_t now = 1000;
    SystemTable table(folder.path().toStdString(), [&] { return now; });
    table.addSystem("127.0.5.1", "", 0);
    table.addSystem("127.0.5.2", "", 0);
    SaveSystems(table, 9000);
    now = 2000;
    LoadSystems(table);
    TableMirror mirror(table);
    table.addSystem("127.0.5.3", "", 0);
    now = 2005;
    table.setSystemName("127.0.5.1", "QVX300");
    table.markHeard("127.0.5.3");

    std::map<QString, qint64> heard;
    for (const QJsonValue row : QJsonDocument::fromJson(mirror.systemsJson()).array())
        heard[row[QLatin1String("address")].toString()] = row[QLatin1String("lastHeard")].toInteger();
    EXPECT_EQ(heard, (std::map<QString, qint64> { { "127.0.5.1", 2005 }, { "127.0.5.2", 0 }, { "127.0.5.3", 2005 } }));
    EXPECT_EQ(table.findSystem("127.0.5.2")->LastHeard, 2000) << "the keep-alive still counts from the load";
}

} // namespace
