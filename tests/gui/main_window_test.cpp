#include "gui_test_support.h"

#include "gui/about_dialog.h"
#include "gui/console_memo.h"
#include "gui/option_dialog.h"
#include "gui/performance_graph.h"
#include "gui/station_list_model.h"
#include "gui/station_view.h"
#include "gui/system_list_model.h"
#include "gui/view_refresher.h"
#include "gui/window_main.h"
#include "support/packets.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QTest>
#include <QTreeView>

namespace korvel::testing {
namespace {

// A dialog's field by its object name.
template <typename T> T* Field(QWidget* dialog, const char* name)
{
    T* field = dialog->findChild<T*>(QLatin1String(name));
    EXPECT_NE(field, nullptr) << name;
    return field;
}

using MainWindowTest = MainWindowFixture;

TEST_F(MainWindowTest, StartsShortWithOnlyTheListsAndTheGraph)
{
    MainWindow& window = open();
    EXPECT_EQ(window.height(), MainWindow::kStartHeight);
    EXPECT_EQ(window.width(), 894);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Korvel Version 1.1Ah (May 30 2006)"));
    EXPECT_TRUE(window.statusText().startsWith(QStringLiteral(" Korvel IP Address : ")));
    EXPECT_EQ(window.statusText(),
        QStringLiteral(" Korvel IP Address : ") + QString::fromStdString(window.hub().settings().OwnAddress));
    EXPECT_TRUE(child<QWidget>("ConsolePanel")->isHidden());
    EXPECT_TRUE(child<QWidget>("TestPanel")->isHidden());
    EXPECT_FALSE(window.debugMenuVisible());
    EXPECT_FALSE(form->hub().console().enabled());
    EXPECT_EQ(window.console()->toPlainText(), QStringLiteral("[Console]\n"));
    EXPECT_TRUE(child<QRadioButton>("TcpMode")->isChecked());
    EXPECT_EQ(window.stationView()->style(), StationView::Style::LargeIcons);
    // The endpoints follow the base port from system.dat.
    EXPECT_EQ(window.hub().tcpPort(), basePort);
    EXPECT_EQ(window.hub().udpPort(), basePort + 1);
    EXPECT_EQ(window.hub().rackPort(), basePort + 3);
    EXPECT_EQ(window.hub().velkaPort(), basePort + 4);
}

TEST_F(MainWindowTest, TestPanelSwitchSetsHeightsMenuCaptionAndLogging)
{
    MainWindow& window = open();
    // Shown and settled, the layout enforces minimum heights, which the switch
    // must neither add to nor be held up by.
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* toggle = child<QAction>("ShowTestCommand");
    window.resize(window.width(), 520);
    ASSERT_TRUE(SpinUntil([&] { return window.height() == 520; }));

    // Each switch is awaited through the height it should give the window.
    window.toggleTestCommands();
    SpinUntil([&] { return window.height() == 520 + 140; });
    EXPECT_FALSE(child<QWidget>("ConsolePanel")->isHidden());
    EXPECT_FALSE(child<QWidget>("TestPanel")->isHidden());
    EXPECT_EQ(child<QWidget>("ListSplitter")->height(), MainWindow::kTopPanelHeight);
    EXPECT_EQ(window.height(), 520 + 140);
    EXPECT_EQ(toggle->text(), QStringLiteral("Hide Test Command"));
    EXPECT_TRUE(form->hub().console().enabled());

    window.toggleTestCommands();
    SpinUntil([&] { return window.height() == 300; });
    EXPECT_TRUE(child<QWidget>("ConsolePanel")->isHidden());
    EXPECT_TRUE(child<QWidget>("TestPanel")->isHidden());
    EXPECT_EQ(window.height(), 300);
    EXPECT_EQ(toggle->text(), QStringLiteral("Show Test Command"));
    EXPECT_FALSE(form->hub().console().enabled());

    window.toggleTestCommands();
    SpinUntil([&] { return window.height() == 440; });
    EXPECT_EQ(window.height(), 440);
    // No caption of the test panel is cut off.
    for (QPushButton* button : child<QWidget>("TestPanel")->findChildren<QPushButton*>())
        EXPECT_GE(button->width(), button->sizeHint().width()) << button->text().toStdString();
}

TEST_F(MainWindowTest, ShowingTheTestPanelKeepsTheWindowOnItsScreen)
{
    MainWindow& window = open();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QRect room = window.screen()->availableGeometry();
    for (const int height : { 300, room.height() - 60 }) {
        window.resize(window.width(), height);
        ASSERT_TRUE(SpinUntil([&] { return window.height() == height; }));
        window.move(room.left(), room.bottom() - window.frameGeometry().height() - 10);
        const QRect before = window.frameGeometry();
        window.toggleTestCommands();
        SpinUntil([&] { return window.frameGeometry() != before; });
        // Top to bottom, the status bar included (the test screen is narrower than the window).
        EXPECT_GE(window.frameGeometry().top(), room.top()) << height;
        EXPECT_LE(window.frameGeometry().bottom(), room.bottom()) << height;
        window.toggleTestCommands();
    }
}

TEST_F(MainWindowTest, AboutBoxTargetsUnlockTheDebugMenuAndClosingWithoutThemLocksIt)
{
    MainWindow& window = open();
    WhenModal([](QWidget* modal) {
        auto* about = qobject_cast<AboutDialog*>(modal);
        ASSERT_NE(about, nullptr);
        EXPECT_EQ(about->compatibleVersion(), QStringLiteral("compatible QVX version : 2.0Cf or later"));
        QTest::mouseClick(about->findChild<QLabel*>(QStringLiteral("ProductName")), Qt::LeftButton);
        QTest::mouseClick(about->findChild<QLabel*>(QStringLiteral("Vendor")), Qt::LeftButton);
        about->accept();
    });
    window.showAbout();
    EXPECT_TRUE(window.debugMenuVisible());
    EXPECT_TRUE(form->hub().console().enabled());

    // One mark alone is not enough, and the panel being on show does not keep logging on.
    window.toggleTestCommands();
    WhenModal([](QWidget* modal) {
        auto* about = qobject_cast<AboutDialog*>(modal);
        ASSERT_NE(about, nullptr);
        QTest::mouseClick(about->findChild<QLabel*>(QStringLiteral("Feature")), Qt::LeftButton);
        about->accept();
    });
    window.showAbout();
    EXPECT_FALSE(window.debugMenuVisible());
    EXPECT_FALSE(form->hub().console().enabled());
}

TEST_F(MainWindowTest, OptionsOkAppliesEveryField)
{
    MainWindow& window = open();
    const int newBase = FreeBasePort();
    ASSERT_NE(newBase, 0);
    WhenModal([newBase](QWidget* modal) {
        auto* dialog = qobject_cast<OptionDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(Field<QComboBox>(dialog, "ServerAddress")->currentText(), QStringLiteral("127.0.0.1"));
        EXPECT_TRUE(Field<QCheckBox>(dialog, "ForwardStatus")->isChecked());
        Field<QComboBox>(dialog, "ServerAddress")->setCurrentText(QString());
        Field<QCheckBox>(dialog, "ForwardStatus")->setChecked(false);
        Field<QLineEdit>(dialog, "LocalTcpPort")->setText(QString::number(newBase));
        Field<QLineEdit>(dialog, "LocalUdpPort")->setText(QString::number(newBase + 1));
        Field<QLineEdit>(dialog, "RemoteTcpPort")->setText(QStringLiteral("9100"));
        Field<QLineEdit>(dialog, "RemoteUdpPort")->setText(QStringLiteral("9101"));
        dialog->accept();
    });
    window.editOptions();
    settle();
    // Through the service, which wrote the audit line.
    EXPECT_TRUE(window.console()->toPlainText().contains(QStringLiteral("window applied the options: QVX system "
                                                                        "address (none), status forwarding off")))
        << window.console()->toPlainText().toStdString();

    const Settings& settings = window.hub().settings();
    EXPECT_EQ(settings.ServerAddress, "");
    EXPECT_FALSE(settings.ForwardStatus);
    EXPECT_EQ(settings.RemoteTcpPort, 9100);
    EXPECT_EQ(settings.RemoteUdpPort, 9101);
    EXPECT_EQ(window.hub().tcpPort(), newBase);
    EXPECT_EQ(window.hub().udpPort(), newBase + 1);
    EXPECT_EQ(window.findChild<QMessageBox*>(QStringLiteral("ErrorBox")), nullptr);
}

TEST_F(MainWindowTest, OptionsCancelChangesNothing)
{
    MainWindow& window = open();
    const Settings before = window.hub().settings();
    WhenModal([](QWidget* modal) {
        auto* dialog = qobject_cast<OptionDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        Field<QComboBox>(dialog, "ServerAddress")->setCurrentText(QStringLiteral("127.1.1.1"));
        Field<QLineEdit>(dialog, "LocalTcpPort")->setText(QStringLiteral("1"));
        Field<QCheckBox>(dialog, "ForwardStatus")->setChecked(false);
        dialog->reject();
    });
    window.editOptions();
    const Settings& after = window.hub().settings();
    EXPECT_EQ(after.ServerAddress, before.ServerAddress);
    EXPECT_EQ(after.LocalTcpPort, before.LocalTcpPort);
    EXPECT_EQ(after.ForwardStatus, before.ForwardStatus);
    EXPECT_EQ(window.hub().tcpPort(), basePort);
}

TEST_F(MainWindowTest, OptionsStayOpenOnABadFieldAndApplyNothing)
{
    const struct {
        const char* field;
        const char* text;
        const char* message;
    } cases[] = {
        { "RemoteTcpPort", "90x0", "'90x0' is not a valid integer value" },
        { "LocalUdpPort", "65536", "A port is a number from 1 to 65535, not 65536" },
        { "RemoteUdpPort", "0", "A port is a number from 1 to 65535, not 0" },
        { "ServerAddress", "10.1.1", "'10.1.1' is not an IPv4 address" },
        { "ServerAddress", "010.0.0.1", "'010.0.0.1' is not an IPv4 address" },
    };
    MainWindow& window = open();
    const Settings before = window.hub().settings();
    for (const auto& bad : cases) {
        WhenModal([&bad](QWidget* modal) {
            auto* dialog = qobject_cast<OptionDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            Field<QCheckBox>(dialog, "ForwardStatus")->setChecked(false);
            Field<QLineEdit>(dialog, "LocalTcpPort")->setText(QStringLiteral("31000"));
            if (QString::fromLatin1(bad.field) == QStringLiteral("ServerAddress"))
                Field<QComboBox>(dialog, "ServerAddress")->setCurrentText(QLatin1String(bad.text));
            else
                Field<QLineEdit>(dialog, bad.field)->setText(QLatin1String(bad.text));
            dialog->accept();
            EXPECT_TRUE(dialog->isVisible()) << bad.field;
            EXPECT_EQ(dialog->errorText(), QLatin1String(bad.message));
            QWidget* field = dialog->findChild<QWidget*>(QLatin1String(bad.field));
            EXPECT_TRUE(field->property("badValue").toBool()) << bad.field;
            dialog->reject();
        });
        window.editOptions();
    }
    const Settings& after = window.hub().settings();
    EXPECT_EQ(after.ServerAddress, before.ServerAddress);
    EXPECT_EQ(after.LocalTcpPort, before.LocalTcpPort);
    EXPECT_EQ(after.ForwardStatus, before.ForwardStatus);
    EXPECT_EQ(window.hub().tcpPort(), basePort);
    EXPECT_EQ(window.findChild<QMessageBox*>(QStringLiteral("ErrorBox")), nullptr);
}

TEST_F(MainWindowTest, ClientOnlyModeMarksTheCaptionOnceAndClosesTheListener)
{
    MainWindow& window = open();
    auto* button = child<QPushButton>("ClientOnlyMode");
    button->click();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Korvel Version 1.1Ah (May 30 2006) [Client Only Mode]"));
    EXPECT_FALSE(button->isEnabled());
    button->click();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Korvel Version 1.1Ah (May 30 2006) [Client Only Mode]"));
    EXPECT_FALSE(window.hub().listening());
    EXPECT_NE(window.hub().udpPort(), basePort + 1);
}

TEST_F(MainWindowTest, PacketsFillTheSystemListAndTheSelectedSystemsStations)
{
    MainWindow& window = open();
    QAbstractItemModelTester systemsTester(window.systemModel(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester stationsTester(
        window.stationModel(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    const ByteVector report = StatusReport("QVX300", { { "41100", 1 }, { "41101", 0 }, { "41102", 2 } });
    window.hub().qvxDatagramReceived(report, "127.0.0.2", 5000);
    window.hub().velkaDatagramReceived(StatusReport("VELKA1", {}), "127.0.0.3", 5000);
    settle();

    auto* list = child<QTreeView>("SystemList");
    QAbstractItemModel* model = list->model();
    ASSERT_EQ(model->rowCount(), 2);
    auto cell = [model](int row, int column) { return model->data(model->index(row, column)).toString(); };
    EXPECT_EQ(cell(0, 0), "QVX300");
    EXPECT_EQ(cell(0, 1), "127.0.0.2");
    EXPECT_EQ(cell(0, 2), "Working");
    EXPECT_EQ(cell(0, 3), "QVX");
    EXPECT_EQ(cell(1, 1), "127.0.0.3");
    EXPECT_EQ(cell(1, 3), "Velka");

    list->selectionModel()->select(model->index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    settle();
    ASSERT_NE(window.viewRefresher()->selection().selected(), nullptr);
    EXPECT_EQ(window.viewRefresher()->selection().selected()->IpAddress, "127.0.0.2");
    QAbstractItemModel* stations = window.stationModel();
    ASSERT_EQ(stations->rowCount(), 3);
    EXPECT_EQ(stations->data(stations->index(0, 0)).toString(), "41100");
    EXPECT_EQ(stations->data(stations->index(0, 1)).toString(), "Busy");
    EXPECT_EQ(stations->data(stations->index(2, 1)).toString(), "DND");

    // Unselecting keeps the selection and the rows.
    list->selectionModel()->clearSelection();
    settle();
    EXPECT_EQ(window.viewRefresher()->selection().selected()->IpAddress, "127.0.0.2");
    EXPECT_EQ(stations->rowCount(), 3);

    // Each view style shows the same rows.
    child<QAction>("Detail")->trigger();
    EXPECT_EQ(window.stationView()->style(), StationView::Style::Detail);
    EXPECT_EQ(window.stationView()->currentWidget(), static_cast<QWidget*>(window.stationView()->detailView()));
    child<QAction>("List")->trigger();
    EXPECT_EQ(window.stationView()->style(), StationView::Style::List);
    child<QAction>("SmallIcons")->trigger();
    EXPECT_EQ(window.stationView()->style(), StationView::Style::SmallIcons);
    child<QAction>("LargeIcons")->trigger();
    EXPECT_EQ(window.stationView()->currentWidget(), static_cast<QWidget*>(window.stationView()->iconView()));
}

TEST_F(MainWindowTest, DeleteRemovesTheSelectedSystemOnce)
{
    MainWindow& window = open();
    window.hub().table().addSystem("127.0.0.2", "", kTypeQvx);
    window.hub().table().addSystem("127.0.0.3", "", kTypeQvx);
    window.deleteSelectedSystem(); // nothing selected
    settle();
    EXPECT_EQ(window.systemModel()->rowCount(), 2);
    window.viewRefresher()->selection().select("127.0.0.2");
    child<QAction>("DeleteSystem")->trigger();
    child<QAction>("DeleteSystem")->trigger();
    settle();
    ASSERT_EQ(window.systemModel()->rowCount(), 1);
    EXPECT_EQ(window.systemModel()->ipAddress(0), "127.0.0.3");
}

TEST_F(MainWindowTest, AddSystemTakesTheTypedAddress)
{
    MainWindow& window = open();
    WhenModal([](QWidget* modal) {
        auto* edit = modal->findChild<QLineEdit*>(QStringLiteral("NewClientAddress"));
        ASSERT_NE(edit, nullptr);
        EXPECT_TRUE(edit->text().isEmpty());
        edit->setText(QStringLiteral("192.0.2.7"));
        qobject_cast<QDialog*>(modal)->accept();
    });
    window.addSystem();
    WhenModal([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
    window.addSystem();
    settle();
    ASSERT_EQ(window.systemModel()->rowCount(), 1);
    EXPECT_EQ(window.systemModel()->ipAddress(0), "192.0.2.7");
    EXPECT_FALSE(QFile::exists(directory.filePath(QStringLiteral("192.0.2.7.dat")))) << "the next save writes it";
}

TEST_F(MainWindowTest, ClearConsoleEmptiesTheMemoAndTheNextLineComesFirst)
{
    MainWindow& window = open();
    window.toggleTestCommands();
    form->hub().console().log("before");
    child<QPushButton>("ClearConsole")->click();
    settle();
    EXPECT_EQ(window.console()->toPlainText(), QString());
    form->hub().console().log("first");
    // The memo refreshes at most every ConsoleMemoSink::kRefreshMs.
    EXPECT_TRUE(testing::SpinUntil([&] { return !window.console()->toPlainText().isEmpty(); }));
    EXPECT_EQ(window.console()->toPlainText(), QStringLiteral("first"));
}

TEST_F(MainWindowTest, InitializeAskedYesEmptiesTheTableAndTheFileAskedNoKeepsThem)
{
    MainWindow& window = open();
    window.hub().table().addSystem("127.0.0.2", "", kTypeQvx);

    WhenModal([](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Confirm"));
        EXPECT_EQ(box->text(), QStringLiteral("All registered system data will be deleted! Are you sure?"));
        box->button(QMessageBox::No)->click();
    });
    window.initializeTable();
    settle();
    EXPECT_EQ(window.systemModel()->rowCount(), 1);

    WhenModal([](QWidget* modal) { qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Yes)->click(); });
    window.initializeTable();
    settle();
    EXPECT_EQ(window.systemModel()->rowCount(), 0);
    EXPECT_EQ(window.hub().table().size(), 0u);
    EXPECT_EQ(systemFile(), QStringLiteral("Version : 5\r\nBase Port : %1\r\n").arg(basePort).toLatin1());
}

TEST_F(MainWindowTest, ClosingByAnyWaySavesTheTable)
{
    for (const char* way : { "Exit", "Terminate", "close box" }) {
        MainWindow& window = open();
        window.hub().table().addSystem("127.0.0.9", "", kTypeQvx);
        if (QString::fromLatin1(way) == QStringLiteral("close box"))
            window.close();
        else
            child<QAction>(way)->trigger();
        EXPECT_TRUE(systemFile().contains("127.0.0.9")) << way;
        form.reset();
        writeSystemFile(QStringLiteral("Version : 5\r\nBase Port : %1\r\n").arg(basePort).toLatin1());
    }
}

TEST_F(MainWindowTest, GraphTickPlotsTheCountersAndResetsTheByteCounts)
{
    MainWindow& window = open();
    TrafficCounters& counters = window.hub().counters();
    counters.SentByteCount = 20 * 1200;
    counters.ReceivedByteCount = 40;
    counters.Datagrams[0][8] += 50;
    window.stepGraph();
    EXPECT_EQ(window.graph()->scale(), 1500);
    // Each scale says its unit; the packets have one of their own.
    EXPECT_EQ(window.graph()->scaleText(), QStringLiteral("30.0 kB/s"));
    EXPECT_EQ(window.graph()->ownScale(), 80);
    EXPECT_TRUE(window.graph()->legendText().contains(QStringLiteral("Packets 50/s")))
        << window.graph()->legendText().toStdString();
    EXPECT_EQ(counters.SentByteCount.load(), 0);
    EXPECT_EQ(counters.ReceivedByteCount.load(), 0);
}

TEST_F(MainWindowTest, TrayMenuShowsTheWindow)
{
    MainWindow& window = open();
    ASSERT_NE(window.trayMenu(), nullptr);
    const QList<QAction*> items = window.trayMenu()->actions();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0]->text(), QStringLiteral("&Show"));
    EXPECT_EQ(items[1]->text(), QStringLiteral("&Terminate"));
    window.showMinimized();
    items[0]->trigger();
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
}

// A table the hub will not overwrite stops the window; the box names every
// problem the load found, as standard error does, for an operator who sees
// only the screen.
TEST_F(MainWindowTest, AStartStoppedByADamagedTableShowsEveryProblemInItsBox)
{
    writeSystemFile("Version : 5\r\nBase Port : 70000\r\n127.0.0.2\tPBX\r\n");
    ServiceOptions options;
    options.hub.dataDirectory = directory.path().toStdString();
    options.hub.outbox = &outbox;
    Service failing(options);
    MainWindow window(failing);
    const Result<void> started = window.start();
    ASSERT_FALSE(started);
    QString shown;
    WhenModal([&shown](QWidget* box) {
        for (const QLabel* label : box->findChildren<QLabel*>())
            shown += label->text() + QLatin1Char('\n');
        for (const QPlainTextEdit* text : box->findChildren<QPlainTextEdit*>())
            shown += text->toPlainText() + QLatin1Char('\n');
        qobject_cast<QDialog*>(box)->reject();
    });
    ShowStartFailure(failing, started.error());
    for (const char* problem : { "not starting; the files in",
             "system.dat:2: Base Port 70000 is out of range (1 to 65531)", "system.dat:3: " })
        EXPECT_TRUE(shown.contains(QLatin1String(problem))) << problem << " in " << shown.toStdString();
}

} // namespace
} // namespace korvel::testing
