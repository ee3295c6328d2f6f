#include "gui_test_support.h"

#include "gui/icons.h"
#include "gui/new_client_dialog.h"
#include "gui/option_dialog.h"
#include "gui/performance_graph.h"
#include "gui/qt_text.h"
#include "gui/station_filter_model.h"
#include "gui/station_list_model.h"
#include "gui/station_panel.h"
#include "gui/station_view.h"
#include "gui/system_list_model.h"
#include "gui/system_list_view.h"
#include "gui/view_refresher.h"
#include "support/packets.h"

#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTcpServer>
#include <QTest>
#include <QTreeView>
#include <QUdpSocket>

namespace korvel::testing {
namespace {

using WindowViewsTest = MainWindowFixture;

// The stations of 127.0.0.2, in the order given, selected and on show.
void ShowStations(MainWindow& window, const std::vector<std::pair<std::string, int>>& stations)
{
    SystemTable& table = window.hub().table();
    table.addSystem("127.0.0.2", "PBX", kTypeQvx);
    for (const auto& [station, state] : stations)
        table.setStationStatus("127.0.0.2", station, state);
    window.viewRefresher()->selection().select("127.0.0.2");
    window.viewRefresher()->flush();
}

TEST_F(WindowViewsTest, IconStylesMoveARowPerWheelNotchAndStyleChangesKeepThePlace)
{
    MainWindow& window = open();
    std::vector<std::pair<std::string, int>> stations;
    for (int i = 0; i < 600; ++i)
        stations.emplace_back(std::to_string(40000 + i), i % 5);
    ShowStations(window, stations);
    window.resize(900, 600);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    StationView* view = window.stationView();
    QListView* icons = view->iconView();

    for (const auto style : { StationView::Style::LargeIcons, StationView::Style::SmallIcons }) {
        view->setStyle(style);
        QCoreApplication::processEvents();
        const int before = icons->verticalScrollBar()->value();
        QWheelEvent notch(QPointF(10, 10), icons->viewport()->mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, -120),
            Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(icons->viewport(), &notch);
        EXPECT_EQ(icons->verticalScrollBar()->value() - before, icons->gridSize().height());
    }

    // The station at the top stays in sight whichever style comes next.
    const QModelIndex target = icons->model()->index(300, 0);
    using Style = StationView::Style;
    auto viewOf = [view](Style style) {
        return style == Style::Detail ? static_cast<QAbstractItemView*>(view->detailView())
                                      : static_cast<QAbstractItemView*>(view->iconView());
    };
    const std::pair<Style, Style> switches[]
        = { { Style::LargeIcons, Style::Detail }, { Style::Detail, Style::List }, { Style::List, Style::SmallIcons },
              { Style::SmallIcons, Style::LargeIcons }, { Style::LargeIcons, Style::List } };
    for (const auto& [from, to] : switches) {
        view->setStyle(from);
        QCoreApplication::processEvents();
        viewOf(from)->scrollTo(target, QAbstractItemView::PositionAtTop);
        view->setStyle(to);
        QCoreApplication::processEvents();
        QAbstractItemView* shown = viewOf(to);
        EXPECT_TRUE(shown->viewport()->rect().intersects(shown->visualRect(target)))
            << static_cast<int>(from) << " to " << static_cast<int>(to);
    }
}

TEST_F(WindowViewsTest, StationDetailCountsEachStationsSipWatchers)
{
    // Without SIP the column stays out of sight.
    ShowStations(open(), { { "41100", 0 } });
    EXPECT_TRUE(form->stationView()->detailView()->isColumnHidden(StationListModel::WatchersColumn));

    QUdpSocket phone;
    ASSERT_TRUE(phone.bind(QHostAddress::LocalHost, 0));
    quint16 port = 0;
    for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
        QUdpSocket udp;
        QTcpServer tcp;
        if (udp.bind(QHostAddress::LocalHost, 0) && tcp.listen(QHostAddress::LocalHost, udp.localPort()))
            port = udp.localPort();
    }
    ASSERT_NE(port, 0);
    sip = SipOptions {};
    sip->address = "127.0.0.1";
    sip->port = port;
    MainWindow& window = open();
    ShowStations(window, { { "41100", 0 }, { "41101", 1 } });
    EXPECT_FALSE(window.stationView()->detailView()->isColumnHidden(StationListModel::WatchersColumn));

    // A phone's BLF key subscribes to 41101; the view counts it within a tick.
    const QByteArray subscribe
        = QStringLiteral("SUBSCRIBE sip:41101@127.0.0.1:%1 SIP/2.0\r\n"
                         "Via: SIP/2.0/UDP 127.0.0.1:%2;branch=z9hG4bK-window-watch;rport\r\n"
                         "From: <sip:phone@127.0.0.1>;tag=window\r\nTo: <sip:41101@127.0.0.1>\r\n"
                         "Call-ID: window-watch@127.0.0.1\r\nCSeq: 1 SUBSCRIBE\r\nContact: <sip:phone@127.0.0.1:%2>\r\n"
                         "Max-Forwards: 70\r\nEvent: dialog\r\nExpires: 600\r\nContent-Length: 0\r\n\r\n")
              .arg(port)
              .arg(phone.localPort())
              .toLatin1();
    ASSERT_EQ(phone.writeDatagram(subscribe, QHostAddress::LocalHost, port), subscribe.size());
    const StationListModel* model = window.stationModel();
    auto cell = [model](int row, int role) { return model->index(row, StationListModel::WatchersColumn).data(role); };
    EXPECT_TRUE(QTest::qWaitFor([&] { return cell(1, Qt::DisplayRole).toInt() == 1; }, 5000));
    EXPECT_EQ(cell(0, Qt::DisplayRole).toInt(), 0);
    EXPECT_EQ(model->index(1, 0).data(Qt::ToolTipRole).toString(), "41101: 1 SIP watcher");
}

TEST_F(WindowViewsTest, RebuiltSystemListKeepsTheSelectedSystemHighlighted)
{
    MainWindow& window = open();
    SystemTable& table = window.hub().table();
    table.addSystem("127.0.0.2", "", kTypeQvx);
    table.addSystem("127.0.0.3", "", kTypeQvx);
    settle();
    QTreeView* list = window.systemView();
    list->selectionModel()->select(
        list->model()->index(1, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    settle();
    ASSERT_EQ(window.viewRefresher()->selection().selected()->IpAddress, "127.0.0.3");

    for (const char* change : { "new system", "delete another" }) {
        if (QString::fromLatin1(change) == QStringLiteral("new system")) {
            window.hub().qvxDatagramReceived(StatusReport("NEW", {}), "127.0.0.4", 5000);
        } else {
            window.viewRefresher()->selection().select("127.0.0.2");
            table.removeEntry(*window.viewRefresher()->selection().selected());
            window.viewRefresher()->selection().select("127.0.0.3");
        }
        settle();
        const QModelIndexList rows = list->selectionModel()->selectedRows();
        ASSERT_EQ(rows.size(), 1) << change;
        EXPECT_EQ(rows[0].siblingAtColumn(SystemListModel::IpAddressColumn).data(), QStringLiteral("127.0.0.3"))
            << change;
    }
}

// The list as shown, one "name address" a row.
QStringList ShownSystems(QTreeView* list)
{
    QStringList rows;
    for (int row = 0; row < list->model()->rowCount(); ++row)
        rows << list->model()->index(row, SystemListModel::NameColumn).data().toString() + QLatin1Char(' ')
                + list->model()->index(row, SystemListModel::IpAddressColumn).data().toString();
    return rows;
}

TEST_F(WindowViewsTest, SystemListSortsAndFindsAndTheSortIsKeptForTheNextRun)
{
    MainWindow& window = open();
    SystemTable& table = window.hub().table();
    table.addSystem("127.0.0.9", "QVX300-MAIN", kTypeQvx);
    table.addSystem("127.0.0.10", "QVX300-EAST", kTypeQvx);
    table.addSystem("127.0.0.3", "VELKA-WEST", kTypeVelka);
    table.addSystem("127.0.0.4", "", kTypeQvx); // added by hand: its address stands in as its name
    table.setSystemStatus("127.0.0.10", SystemStatus::Error);
    window.viewRefresher()->selection().select("127.0.0.9");
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    settle();
    QTreeView* list = window.systemView();
    QHeaderView* header = list->header();
    auto click = [&](int column) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
            QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
        settle();
    };
    const QStringList byAddress { "VELKA-WEST 127.0.0.3", "127.0.0.4 127.0.0.4", "QVX300-MAIN 127.0.0.9",
        "QVX300-EAST 127.0.0.10" };
    EXPECT_EQ(ShownSystems(list),
        (QStringList {
            "QVX300-MAIN 127.0.0.9", "QVX300-EAST 127.0.0.10", "VELKA-WEST 127.0.0.3", "127.0.0.4 127.0.0.4" }));

    const struct {
        int column;
        QStringList expected;
    } sorts[] = {
        { SystemListModel::IpAddressColumn, byAddress },
        { SystemListModel::IpAddressColumn, { byAddress.rbegin(), byAddress.rend() } },
        { SystemListModel::NameColumn,
            { "127.0.0.4 127.0.0.4", "QVX300-EAST 127.0.0.10", "QVX300-MAIN 127.0.0.9", "VELKA-WEST 127.0.0.3" } },
        // Error first, Working last; the table's order among equals.
        { SystemListModel::StatusColumn,
            { "QVX300-EAST 127.0.0.10", "QVX300-MAIN 127.0.0.9", "VELKA-WEST 127.0.0.3", "127.0.0.4 127.0.0.4" } },
    };
    for (const auto& sort : sorts) {
        click(sort.column);
        EXPECT_EQ(ShownSystems(list), sort.expected) << sort.column;
    }
    // The selection follows its system through the sorts, and through a change that moves it.
    table.setSystemStatus("127.0.0.9", SystemStatus::Error);
    window.viewRefresher()->flush();
    settle();
    EXPECT_EQ(ShownSystems(list).first(), "QVX300-MAIN 127.0.0.9");
    ASSERT_EQ(list->selectionModel()->selectedRows().size(), 1);
    EXPECT_EQ(list->selectionModel()->selectedRows()[0].data().toString(), "QVX300-MAIN");

    const struct {
        QString typed;
        QStringList expected;
    } searches[] = {
        { "east", { "QVX300-EAST 127.0.0.10" } },
        { "QVX300", { "QVX300-MAIN 127.0.0.9", "QVX300-EAST 127.0.0.10" } },
        { "127.0.0.4", { "127.0.0.4 127.0.0.4" } },
        { "no such system", {} },
        { "", { "QVX300-MAIN 127.0.0.9", "QVX300-EAST 127.0.0.10", "VELKA-WEST 127.0.0.3", "127.0.0.4 127.0.0.4" } },
    };
    for (const auto& search : searches) {
        window.systemSearch()->setText(search.typed);
        EXPECT_EQ(ShownSystems(list), search.expected) << search.typed.toStdString();
    }
    // A search that hides the selected system moves the selection to what is shown; the list and
    // the table agree on it afterwards.
    ASSERT_EQ(list->selectionModel()->selectedRows().size(), 1);
    ASSERT_NE(window.viewRefresher()->selection().selected(), nullptr);
    EXPECT_EQ(
        list->selectionModel()->selectedRows()[0].siblingAtColumn(SystemListModel::IpAddressColumn).data().toString(),
        QString::fromStdString(window.viewRefresher()->selection().selected()->IpAddress));

    click(SystemListModel::IpAddressColumn);
    click(SystemListModel::IpAddressColumn);
    form.reset();
    MainWindow& again = open();
    settle();
    EXPECT_EQ(again.systemView()->header()->sortIndicatorSection(), SystemListModel::IpAddressColumn);
    EXPECT_EQ(again.systemOrder()->sortOrder(), Qt::DescendingOrder);
    EXPECT_EQ(ShownSystems(again.systemView()), (QStringList { byAddress.rbegin(), byAddress.rend() }));
}

TEST_F(WindowViewsTest, ReopenedDialogsFocusTheFirstFieldAndEnterMeansOk)
{
    MainWindow& window = open();
    const std::function<void()> commands[] = { [&] { window.editOptions(); }, [&] { window.addSystem(); } };
    for (const auto& command : commands) {
        // Leave with the focus on Cancel...
        WhenModal([](QWidget* modal) {
            auto* cancel = modal->findChild<QPushButton*>(QStringLiteral("CancelButton"));
            cancel->setFocus();
            QTest::mouseClick(cancel, Qt::LeftButton);
        });
        command();
        // ...then Enter in the reopened dialog still means OK.
        bool accepted = false;
        WhenModal([&accepted](QWidget* modal) {
            auto* dialog = qobject_cast<QDialog*>(modal);
            if (auto* address = dialog->findChild<QLineEdit*>(QStringLiteral("NewClientAddress")))
                address->setText(QStringLiteral("192.0.2.9"));
            QWidget* focus = dialog->focusWidget();
            ASSERT_NE(focus, nullptr);
            EXPECT_TRUE(focus->objectName() == QStringLiteral("NewClientAddress")
                || focus->objectName() == QStringLiteral("ServerAddress"))
                << focus->objectName().toStdString();
            QObject::connect(dialog, &QDialog::accepted, [&accepted] { accepted = true; });
            QTest::keyClick(focus, Qt::Key_Return);
            if (dialog->isVisible())
                dialog->reject();
        });
        command();
        EXPECT_TRUE(accepted);
    }
    // New System checks its address before it closes.
    WhenModal([](QWidget* modal) {
        auto* dialog = qobject_cast<NewClientDialog*>(modal);
        dialog->findChild<QLineEdit*>(QStringLiteral("NewClientAddress"))->setText(QStringLiteral("not an address"));
        dialog->accept();
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(dialog->errorText(), QStringLiteral("'not an address' is not an IPv4 address"));
        dialog->reject();
    });
    window.addSystem();
    settle();
    EXPECT_EQ(window.hub().table().findSystem("not an address"), nullptr);
}

TEST_F(WindowViewsTest, SizesStyleAndTimeWindowAreRememberedBetweenRuns)
{
    {
        MainWindow& window = open();
        auto* lists = child<QSplitter>("ListSplitter");
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        EXPECT_EQ(lists->sizes().value(0), 457);
        EXPECT_EQ(lists->sizes().value(2), 180);
        window.resize(1000, 500);
        lists->setSizes({ 300, 500, 200 });
        child<QAction>("Detail")->trigger();
        window.graph()->setTimeWindow(300);
        ASSERT_TRUE(SpinUntil([&] { return window.size() == QSize(1000, 500); }));
        form.reset();
    }
    MainWindow& window = open();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.size(), QSize(1000, 500));
    EXPECT_EQ(child<QSplitter>("ListSplitter")->sizes().value(0), 300);
    EXPECT_EQ(window.stationView()->style(), StationView::Style::Detail);
    EXPECT_TRUE(child<QAction>("Detail")->isChecked());
    EXPECT_FALSE(child<QAction>("LargeIcons")->isChecked());
    EXPECT_EQ(window.graph()->timeWindow(), 300);
}

// The station header in a narrow panel (the test console shown): the counts
// give way before the system name does.
TEST(StationHeader, TheNameGivesWayLast)
{
    const QFontMetrics metrics(QApplication::font());
    const QString name = QStringLiteral("QVX300-MAIN");
    const QString rest = QStringLiteral(": 1234 of 3000 stations");
    const QString ellipsis(QChar(0x2026));
    const int nameWidth = metrics.horizontalAdvance(name);
    const struct {
        int width;
        QString startsWith;
        QString endsWith;
    } cases[] = {
        { metrics.horizontalAdvance(name + rest), name + rest, QString() },
        { nameWidth + metrics.horizontalAdvance(QStringLiteral(": 12") + ellipsis), name + QStringLiteral(": "),
            ellipsis },
        { nameWidth + 1, name, QString() },
        { nameWidth / 2, name.left(1), ellipsis },
    };
    for (const auto& c : cases) {
        const QString shown = ElideAfter(metrics, name, rest, c.width);
        EXPECT_LE(metrics.horizontalAdvance(shown), c.width) << shown.toStdString();
        EXPECT_TRUE(shown.startsWith(c.startsWith) && shown.endsWith(c.endsWith)) << shown.toStdString();
    }
}

TEST_F(WindowViewsTest, StationPanelCountsFiltersAndSortsNumbersByValue)
{
    MainWindow& window = open();
    ShowStations(window, { { "1000", 0 }, { "999", 1 }, { "41100", 0 }, { "41101", 4 }, { "5000", 2 } });
    StationPanel* panel = window.stationPanel();
    EXPECT_EQ(panel->header()->text(), QStringLiteral("PBX: 5 stations"));
    EXPECT_EQ(panel->counts()->text(), QStringLiteral("2 idle, 1 busy, 1 DND, 0 msg, 1 OOS"));

    QAbstractItemModel* rows = panel->filterModel();
    auto shown = [rows] {
        QStringList numbers;
        for (int row = 0; row < rows->rowCount(); ++row)
            numbers << rows->index(row, 0).data().toString();
        return numbers.join(QLatin1Char(' '));
    };
    panel->numberFilter()->setText(QStringLiteral("411"));
    EXPECT_EQ(shown(), QStringLiteral("41100 41101"));
    EXPECT_EQ(panel->header()->text(), QStringLiteral("PBX: 2 of 5 stations"));
    panel->numberFilter()->clear();
    panel->stateFilter()->setCurrentIndex(panel->stateFilter()->findText(QStringLiteral("Idle")));
    EXPECT_EQ(shown(), QStringLiteral("1000 41100"));
    // A station changing state leaves or joins the filtered rows.
    window.hub().table().setStationStatus("127.0.0.2", "999", 0);
    window.viewRefresher()->flush();
    EXPECT_EQ(shown(), QStringLiteral("1000 999 41100"));
    panel->stateFilter()->setCurrentIndex(0);

    window.stationView()->setStyle(StationView::Style::Detail);
    window.stationView()->detailView()->sortByColumn(0, Qt::AscendingOrder);
    EXPECT_EQ(shown(), QStringLiteral("999 1000 5000 41100 41101"));
}

TEST(WindowText, WireTextIsShownDecodedAndKeptAsBytes)
{
    const struct {
        std::string bytes;
        QString shown;
    } cases[] = {
        { "QVX300", QStringLiteral("QVX300") },
        { "\xbf\xb5\xbe\xf7\xba\xce", QStringLiteral("\uc601\uc5c5\ubd80") },
        { "A\xc7\xd1-1", QStringLiteral("A\ud55c-1") },
        { "", QString() },
    };
    for (const auto& text : cases) {
        EXPECT_EQ(DisplayText(text.bytes), text.shown) << text.bytes;
        EXPECT_EQ(FromQString(ToQString(text.bytes)), text.bytes);
    }
}

TEST_F(WindowViewsTest, KoreanNamesAreShownDecodedAndSavedAsTheyCame)
{
    writeSystemFile(QStringLiteral("Version : 5\r\nBase Port : %1\r\n").arg(basePort).toLatin1()
        + QByteArray("127.0.0.5\t127.0.0.5\t9000\t0\t2\t\xbf\xb5\xbe\xf7\xba\xce\r\n"));
    MainWindow& window = open();
    settle();
    EXPECT_EQ(window.systemModel()->index(0, 0).data().toString(), QStringLiteral("\uc601\uc5c5\ubd80"));
    window.hub().saveSystems();
    EXPECT_TRUE(systemFile().contains("\t\xbf\xb5\xbe\xf7\xba\xce\r\n"));
}

TEST_F(WindowViewsTest, StatusColumnTellsStatesApartAndSaysWhenTheSystemWasLastHeard)
{
    MainWindow& window = open();
    SystemTable& table = window.hub().table();
    const std::pair<const char*, SystemStatus> systems[]
        = { { "127.0.0.2", SystemStatus::Working }, { "127.0.0.3", SystemStatus::Error },
              { "127.0.0.4", SystemStatus::NoData }, { "127.0.0.5", SystemStatus::Unknown } };
    for (const auto& [ip, status] : systems) {
        table.addSystem(ip, "", kTypeQvx);
        table.setSystemStatus(ip, status);
    }
    settle();
    SystemListModel* model = window.systemModel();
    QSet<QRgb> colours;
    for (int row = 0; row < 4; ++row)
        colours.insert(model->index(row, SystemListModel::StatusColumn).data(Qt::ForegroundRole).value<QColor>().rgb());
    EXPECT_EQ(colours.size(), 4);

    // Added by hand: nothing came from them since the start, whatever LastHeard says.
    auto tipOf = [model](int row) {
        return model->index(row, SystemListModel::StatusColumn).data(Qt::ToolTipRole).toString();
    };
    EXPECT_TRUE(tipOf(0).contains(QStringLiteral("Not heard since start"))) << tipOf(0).toStdString();
    table.setSystemName("127.0.0.3", "PBX3"); // as a report naming it does
    settle();
    auto tip = [&] { return tipOf(1); };
    EXPECT_TRUE(tip().contains(QStringLiteral("Last heard: "))) << tip().toStdString();
    EXPECT_TRUE(tip().contains(QStringLiteral("No send failure")));
    emit window.hub().senderFailed(QStringLiteral("127.0.0.3"));
    EXPECT_TRUE(tip().contains(QStringLiteral("Last send failure: "))) << tip().toStdString();
}

TEST(WindowIcons, IdleAndBusyDifferInShapeAndEveryIconRendersSharpAtAnySize)
{
    auto silhouette = [](const QIcon& icon, int size) {
        QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_Alpha8);
        return image;
    };
    EXPECT_NE(silhouette(StationImage(0), 32), silhouette(StationImage(1), 32));
    for (int i = 0; i < kStationImageCount; ++i) {
        const QPixmap big = StationImage(i).pixmap(128, 128);
        EXPECT_EQ(big.size(), QSize(128, 128));
        EXPECT_FALSE(big.toImage().isNull());
    }
    EXPECT_NE(silhouette(SystemStatusImage(0), 16), silhouette(SystemStatusImage(1), 16));
}

TEST(WindowGraph, LongerTimeWindowsShowMoreStepsAndTheLegendCarriesReadings)
{
    PerformanceGraph graph;
    graph.resize(99, 200);
    graph.setLegend(Qt::yellow, QStringLiteral("Sent"));
    graph.dataPoint(Qt::yellow, 3000);
    graph.closeStep();
    for (int i = 0; i < 100; ++i) {
        graph.dataPoint(Qt::yellow, 2);
        graph.closeStep();
    }
    EXPECT_EQ(graph.scale(), 500) << "the peak has left the default window";
    graph.setTimeWindow(300);
    EXPECT_EQ(graph.stepCount(), 101);
    EXPECT_EQ(graph.scale(), 3000) << "the longer window brings it back";
    graph.setTimeWindow(7); // not one of the choices
    EXPECT_EQ(graph.timeWindow(), 300);
    graph.setReading(Qt::yellow, QStringLiteral("12 B/s"));
    EXPECT_EQ(graph.legendText(), QStringLiteral("Sent 12 B/s"));
}

} // namespace
} // namespace korvel::testing
