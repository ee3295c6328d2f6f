#include "gui/station_list_model.h"
#include "gui/system_list_model.h"
#include "gui/view_refresher.h"
#include "store/system_table.h"

#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace korvel {
namespace {

class ListModelsTest : public ::testing::Test {
protected:
    ListModelsTest() { table.setObserver(&refresher); }

    static void settle()
    {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }

    QString cell(const QAbstractItemModel& model, int row, int column) const
    {
        return model.data(model.index(row, column)).toString();
    }

    QTemporaryDir directory;
    SystemTable table { directory.path().toStdString() };
    SystemListModel systems;
    StationListModel stations;
    QAbstractItemModelTester systemsTester { &systems, QAbstractItemModelTester::FailureReportingMode::Fatal };
    QAbstractItemModelTester stationsTester { &stations, QAbstractItemModelTester::FailureReportingMode::Fatal };
    ViewRefresher refresher { table, systems, stations };
};

TEST_F(ListModelsTest, SystemRowsShowEveryColumn)
{
    table.addSystem("127.0.0.2", "", kTypeQvx);
    table.addSystem("127.0.0.3", "Velka-1", kTypeVelka);
    table.setSystemStatus("127.0.0.3", SystemStatus::Working);
    table.setEndpointType("127.0.0.3", kSilentEndpointType);
    table.setSystemPort("127.0.0.3", 9100);
    table.refreshSystemList();
    settle();

    ASSERT_EQ(systems.rowCount(), 2);
    ASSERT_EQ(systems.columnCount(), 6);
    const QStringList headers { "Name", "IP Address", "Status", "Type", "To IP", "Port" };
    for (int column = 0; column < 6; ++column)
        EXPECT_EQ(systems.headerData(column, Qt::Horizontal).toString(), headers[column]);

    EXPECT_EQ(cell(systems, 0, 0), "127.0.0.2") << "an unnamed system shows its address as its name";
    EXPECT_EQ(cell(systems, 0, 1), "127.0.0.2");
    EXPECT_EQ(cell(systems, 0, 2), "Unknown");
    EXPECT_EQ(cell(systems, 0, 3), "QVX");
    EXPECT_EQ(cell(systems, 0, 4), "127.0.0.2");
    EXPECT_EQ(cell(systems, 0, 5), "9000");
    EXPECT_EQ(cell(systems, 1, 0), "Velka-1");
    EXPECT_EQ(cell(systems, 1, 2), "Working");
    EXPECT_EQ(cell(systems, 1, 3), "Velka");
    EXPECT_EQ(cell(systems, 1, 5), "9100");
    EXPECT_EQ(systems.ipAddress(1), "127.0.0.3");
    EXPECT_EQ(systems.ipAddress(2), "");
}

TEST_F(ListModelsTest, ManyChangesInOneTurnRebuildOnce)
{
    table.addSystem("127.0.0.2", "", kTypeQvx);
    refresher.selection().select("127.0.0.2");
    settle();
    QSignalSpy systemResets(&systems, &QAbstractItemModel::modelReset);
    QSignalSpy systemChanges(&systems, &QAbstractItemModel::dataChanged);
    QSignalSpy stationInserts(&stations, &QAbstractItemModel::rowsInserted);
    QSignalSpy stationResets(&stations, &QAbstractItemModel::modelReset);

    for (int i = 0; i < 200; ++i) {
        table.setSystemStatus("127.0.0.2", SystemStatus::Working);
        table.setStationStatus("127.0.0.2", std::to_string(41000 + i % 50), i % 5);
    }
    EXPECT_EQ(stations.rowCount(), 0) << "nothing is rebuilt before the event loop turns";
    settle();

    EXPECT_EQ(systemResets.count(), 0);
    EXPECT_EQ(systemChanges.count(), 1);
    EXPECT_EQ(stationResets.count(), 0);
    EXPECT_EQ(stationInserts.count(), 1);
    ASSERT_EQ(stations.rowCount(), 50);
    EXPECT_EQ(cell(systems, 0, 2), "Working");
}

TEST_F(ListModelsTest, StationRowsFollowStatesAndNewStations)
{
    table.addSystem("127.0.0.2", "", kTypeQvx);
    table.setStationStatus("127.0.0.2", "41100", 0);
    table.setStationStatus("127.0.0.2", "41101", 4);
    refresher.selection().select("127.0.0.2");
    settle();
    ASSERT_EQ(stations.rowCount(), 2);
    EXPECT_EQ(stations.headerData(0, Qt::Horizontal).toString(), "Station Number");
    EXPECT_EQ(stations.headerData(1, Qt::Horizontal).toString(), "Status");
    EXPECT_EQ(cell(stations, 0, 0), "41100");
    EXPECT_EQ(cell(stations, 0, 1), "Idle");
    EXPECT_EQ(cell(stations, 1, 1), "Out of Service");

    // Another letter case is the same station; a new one is appended.
    table.setStationStatus("127.0.0.2", "41100", 1);
    table.setStationStatus("127.0.0.2", "41102", -1);
    settle();
    ASSERT_EQ(stations.rowCount(), 3);
    EXPECT_EQ(cell(stations, 0, 1), "Busy");
    EXPECT_EQ(cell(stations, 2, 0), "41102");
    EXPECT_EQ(cell(stations, 2, 1), "Unknown");
    EXPECT_FALSE(stations.data(stations.index(2, 0), Qt::DecorationRole).value<QIcon>().isNull());
}

TEST_F(ListModelsTest, SelectingAnotherSystemReplacesTheStationRows)
{
    table.addSystem("127.0.0.2", "", kTypeQvx);
    table.addSystem("127.0.0.3", "", kTypeQvx);
    table.setStationStatus("127.0.0.2", "41100", 0);
    table.setStationStatus("127.0.0.3", "52000", 2);
    table.setStationStatus("127.0.0.3", "52001", 3);
    refresher.selection().select("127.0.0.2");
    refresher.selection().select("127.0.0.3");
    settle();
    ASSERT_EQ(stations.rowCount(), 2);
    EXPECT_EQ(cell(stations, 0, 0), "52000");
    EXPECT_EQ(cell(stations, 0, 1), "DND");
    EXPECT_EQ(cell(stations, 1, 1), "Message");

    // An address nobody has leaves the view as it was.
    refresher.selection().select("127.9.9.9");
    settle();
    EXPECT_EQ(stations.rowCount(), 2);
}

TEST_F(ListModelsTest, DeletedSystemStaysOnTheStationViewUntilAnotherIsSelected)
{
    table.addSystem("127.0.0.2", "", kTypeQvx);
    table.addSystem("127.0.0.3", "", kTypeQvx);
    table.setStationStatus("127.0.0.2", "41100", 1);
    refresher.selection().select("127.0.0.2");
    settle();

    table.removeEntry(*refresher.selection().selected());
    settle();
    EXPECT_EQ(systems.rowCount(), 1);
    ASSERT_EQ(stations.rowCount(), 1);
    EXPECT_EQ(cell(stations, 0, 0), "41100");

    refresher.selection().select("127.0.0.3");
    settle();
    EXPECT_EQ(stations.rowCount(), 0);
}

TEST_F(ListModelsTest, ClearingTheTableEmptiesBothViews)
{
    table.addSystem("127.0.0.2", "", kTypeQvx);
    table.setStationStatus("127.0.0.2", "41100", 1);
    refresher.selection().select("127.0.0.2");
    settle();
    table.clearAllSystems();
    settle();
    EXPECT_EQ(systems.rowCount(), 0);
    EXPECT_EQ(stations.rowCount(), 0);
}

} // namespace
} // namespace korvel
