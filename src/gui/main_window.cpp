#include "main_window.h"

#include "gui/about_dialog.h"
#include "gui/console_memo.h"
#include "gui/icons.h"
#include "gui/new_client_dialog.h"
#include "gui/option_dialog.h"
#include "gui/performance_graph.h"
#include "gui/qt_text.h"
#include "gui/station_list_model.h"
#include "gui/station_panel.h"
#include "gui/station_view.h"
#include "gui/system_list_model.h"
#include "gui/system_list_view.h"
#include "gui/testconsole/test_commands.h"
#include "gui/view_refresher.h"
#include "log/console_log.h"
#include "protocol/fixed_texts.h"
#include "service/service.h"
#include "sip/sip_presence.h"
#include "web/traffic_history.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace korvel {

namespace {

constexpr int kWindowWidth = 894;
constexpr int kTestPanelWidth = 105;
constexpr int kSystemListWidth = 457;
// Wide enough for the scales and the legend's readings; the splitter keeps
// what the operator makes of it.
constexpr int kGraphWidth = 180;
constexpr int kGraphMinimumWidth = 140;
constexpr int kStatusBarHeight = 22;
constexpr int kTrayTipLength = 127;
// Past this many systems the columns keep their widths: measuring every row
// on every rebuild would cost more than it shows.
constexpr int kAutoSizeRowLimit = 500;

template <typename T> T* Named(T* object, const char* name)
{
    object->setObjectName(QLatin1String(name));
    return object;
}

} // namespace

MainWindow::MainWindow(Service& service, QWidget* parent)
    : QMainWindow(parent)
    , service_(service)
    , hub_(&service.hub())
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowIcon(ApplicationImage());
    graphSent_ = hub_->counters().sentBytesTotal();
    graphReceived_ = hub_->counters().receivedBytesTotal();
    graphPackets_ = TrafficHistory::ReceivedPackets(hub_->counters());

    buildLayout();
    testCommands_ = new TestCommands(
        *hub_, [this] { return tcpModeButton_->isChecked(); }, this);
    testCommands_->addButtons(testCommandArea_, testCommandArea_->parentWidget());
    // Wide enough for the longest caption, so none is cut off.
    testPanel_->setFixedWidth(std::max(kTestPanelWidth,
        testPanel_->widget()->minimumSizeHint().width() + testPanel_->verticalScrollBar()->sizeHint().width()));
    buildMenus();
    buildPopupMenus();

    graphTimer_ = Named(new QTimer(this), "GraphTimer");
    graphTimer_->setInterval(1000);
    connect(graphTimer_, &QTimer::timeout, this, &MainWindow::stepGraph);
    graphTimer_->start();

    optionDialog_ = new OptionDialog(this);
    newClientDialog_ = new NewClientDialog(this);
    aboutDialog_ = new AboutDialog(this);

    startUp();
    resizeColumns();
    restoreSettings();
}

MainWindow::~MainWindow()
{
    shutdownOnce();
    hub_->table().setObserver(nullptr);
    if (consoleSink_) {
        ConsoleSink* previous = hub_->console().setSink(nullptr);
        // Another sink installed since (a test capture, say) stays in place.
        if (previous != consoleSink_.get())
            hub_->console().setSink(previous);
    }
}

void MainWindow::buildLayout()
{
    resize(kWindowWidth, kStartHeight);

    auto* central = new QWidget(this);
    auto* row = new QHBoxLayout(central);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);

    systemModel_ = new SystemListModel(this);
    stationModel_ = new StationListModel(this);

    // Splitters between the lists, the graph and the console, so the operator
    // can give room to what matters at the moment; the start sizes are the
    // fixed ones of the layout.
    consoleSplitter_ = Named(new QSplitter(Qt::Vertical, central), "ConsoleSplitter");
    consoleSplitter_->setChildrenCollapsible(false);
    listSplitter_ = Named(new QSplitter(Qt::Horizontal, consoleSplitter_), "ListSplitter");
    listSplitter_->setChildrenCollapsible(false);
    listSplitter_->addWidget(buildSystemList(listSplitter_));
    listSplitter_->addWidget(buildStationList(listSplitter_));
    graph_ = Named(new PerformanceGraph(listSplitter_), "TrafficGraph");
    graph_->setGridSize(12);
    graph_->setGradient(500);
    graph_->setMinimumWidth(kGraphMinimumWidth);
    labelGraph();
    listSplitter_->addWidget(graph_);
    listSplitter_->setStretchFactor(0, 0);
    listSplitter_->setStretchFactor(1, 1);
    listSplitter_->setStretchFactor(2, 0);
    listSplitter_->setSizes({ kSystemListWidth, kWindowWidth - kSystemListWidth - kGraphWidth, kGraphWidth });
    consoleSplitter_->addWidget(listSplitter_);
    consoleSplitter_->addWidget(buildConsole(consoleSplitter_));
    // A taller window gives its extra height to the console.
    consoleSplitter_->setStretchFactor(0, 0);
    consoleSplitter_->setStretchFactor(1, 1);
    consoleSplitter_->installEventFilter(this);
    connect(consoleSplitter_, &QSplitter::splitterMoved, this, [this] { topPanelHeight_ = listSplitter_->height(); });

    row->addWidget(buildTestPanel(central));
    row->addWidget(consoleSplitter_, 1);
    setCentralWidget(central);
    buildStatusBar();
    attachToHub();
}

QWidget* MainWindow::buildTestPanel(QWidget* parent)
{
    // The test panel scrolls rather than forcing the window taller than the
    // heights the panel switch sets.
    testPanel_ = Named(new QScrollArea(parent), "TestPanel");
    testPanel_->setFrameShape(QFrame::NoFrame);
    testPanel_->setWidgetResizable(true);
    testPanel_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* buttons = new QWidget(testPanel_);
    auto* column = new QVBoxLayout(buttons);
    column->setContentsMargins(3, 3, 3, 3);
    column->setSpacing(2);
    auto* testButtons = Named(new QWidget(buttons), "TestCommandButtons");
    testCommandArea_ = new QVBoxLayout(testButtons);
    testCommandArea_->setContentsMargins(0, 0, 0, 0);
    testCommandArea_->setSpacing(2);
    column->addWidget(testButtons);
    clearConsoleButton_ = Named(new QPushButton(QStringLiteral("Clear Console"), buttons), "ClearConsole");
    clientOnlyButton_ = Named(new QPushButton(QStringLiteral("Client Only Mode"), buttons), "ClientOnlyMode");
    anotherPortButton_ = Named(new QPushButton(QStringLiteral("Set Another Port"), buttons), "SetAnotherPort");
    tcpModeButton_ = Named(new QRadioButton(QStringLiteral("TCP Mode"), buttons), "TcpMode");
    udpModeButton_ = Named(new QRadioButton(QStringLiteral("UDP Mode"), buttons), "UdpMode");
    tcpModeButton_->setChecked(true);
    // The panel is narrow; a smaller face keeps the captions short.
    QFont panelFont = buttons->font();
    panelFont.setPixelSize(11);
    buttons->setFont(panelFont);
    for (QWidget* widget : { static_cast<QWidget*>(clearConsoleButton_), static_cast<QWidget*>(clientOnlyButton_),
             static_cast<QWidget*>(anotherPortButton_), static_cast<QWidget*>(tcpModeButton_),
             static_cast<QWidget*>(udpModeButton_) })
        column->addWidget(widget);
    column->addStretch();
    testPanel_->setWidget(buttons);
    testPanel_->setFixedWidth(kTestPanelWidth);
    connect(clearConsoleButton_, &QPushButton::clicked, this, &MainWindow::clearConsole);
    connect(clientOnlyButton_, &QPushButton::clicked, this, &MainWindow::enterClientOnlyMode);
    connect(anotherPortButton_, &QPushButton::clicked, this, &MainWindow::setAnotherPort);
    return testPanel_;
}

QWidget* MainWindow::buildSystemList(QWidget* parent)
{
    systemBox_ = Named(new QGroupBox(QStringLiteral("System List"), parent), "SystemListBox");
    systemSearch_ = Named(new QLineEdit(systemBox_), "SystemSearch");
    systemSearch_->setPlaceholderText(QStringLiteral("Find: name, System ID or address"));
    systemSearch_->setClearButtonEnabled(true);
    // Sorting and the search go through a proxy, so the model keeps announcing
    // only the rows that changed and the selection follows its system.
    systemOrder_ = new QSortFilterProxyModel(this);
    systemOrder_->setSourceModel(systemModel_);
    systemOrder_->setSortRole(SystemListModel::SortRole);
    systemOrder_->setFilterRole(SystemListModel::SearchRole);
    systemOrder_->setFilterCaseSensitivity(Qt::CaseInsensitive);
    systemView_ = Named(new SystemListView(systemBox_), "SystemList");
    systemView_->setModel(systemOrder_);
    systemView_->header()->resizeSection(SystemListModel::PortColumn, 50);
    // No column chosen: the table's own order.
    systemView_->header()->setSortIndicator(-1, Qt::AscendingOrder);
    systemView_->setSortingEnabled(true);
    auto* box = new QVBoxLayout(systemBox_);
    box->setContentsMargins(4, 4, 4, 4);
    box->setSpacing(3);
    box->addWidget(systemSearch_);
    box->addWidget(systemView_);
    connect(systemSearch_, &QLineEdit::textChanged, this, [this](const QString& text) {
        systemOrder_->setFilterFixedString(text.trimmed());
        highlightSelectedSystem();
    });
    connect(systemView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        [this](const QItemSelection& selected, const QItemSelection& deselected) {
            if (selectingFromModel_)
                return;
            for (const QModelIndex& index : deselected.indexes())
                if (index.column() == 0)
                    systemRowSelected(systemOrder_->mapToSource(index).row(), false);
            for (const QModelIndex& index : selected.indexes())
                if (index.column() == 0)
                    systemRowSelected(systemOrder_->mapToSource(index).row(), true);
        });
    connect(systemModel_, &QAbstractItemModel::modelReset, this, &MainWindow::resizeColumns);
    connect(systemModel_, &QAbstractItemModel::modelReset, this, &MainWindow::highlightSelectedSystem);
    connect(systemModel_, &QAbstractItemModel::dataChanged, this, &MainWindow::resizeColumns);
    return systemBox_;
}

QWidget* MainWindow::buildStationList(QWidget* parent)
{
    stationBox_ = Named(new QGroupBox(QStringLiteral("Station List"), parent), "StationListBox");
    stationPanel_ = new StationPanel(stationModel_, stationBox_);
    stationView_ = stationPanel_->view();
    auto* box = new QVBoxLayout(stationBox_);
    box->setContentsMargins(4, 4, 4, 4);
    box->addWidget(stationPanel_);
    return stationBox_;
}

QWidget* MainWindow::buildConsole(QWidget* parent)
{
    consolePanel_ = Named(new QWidget(parent), "ConsolePanel");
    auto* box = new QVBoxLayout(consolePanel_);
    box->setContentsMargins(2, 0, 2, 2);
    console_ = Named(new QPlainTextEdit(consolePanel_), "Console");
    console_->setReadOnly(true);
    console_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    console_->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont consoleFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    consoleFont.setPixelSize(12);
    console_->setFont(consoleFont);
    console_->setPlainText(QStringLiteral("[Console]\n"));
    box->addWidget(console_);
    return consolePanel_;
}

void MainWindow::buildStatusBar()
{
    auto* bar = Named(new QStatusBar(this), "StatusBar");
    bar->setFixedHeight(kStatusBarHeight);
    bar->setSizeGripEnabled(true);
    statusLabel_ = new QLabel(bar);
    bar->addWidget(statusLabel_, 1);
    setStatusBar(bar);
}

void MainWindow::attachToHub()
{
    refresher_ = std::make_unique<ViewRefresher>(hub_->table(), *systemModel_, *stationModel_);
    hub_->table().setObserver(refresher_.get());
    consoleSink_ = std::make_unique<ConsoleMemoSink>(hub_->console(), console_);
    hub_->console().setSink(consoleSink_.get());
    connect(hub_, &Hub::senderFailed, systemModel_,
        [this](const QString& host) { systemModel_->noteSendFailure(host, QDateTime::currentDateTime()); });
}

void MainWindow::buildMenus()
{
    QMenu* file = Named(menuBar()->addMenu(QStringLiteral("&File")), "FileMenu");
    QAction* initialize = Named(file->addAction(QStringLiteral("Initialize...")), "Initialize");
    connect(initialize, &QAction::triggered, this, &MainWindow::initializeTable);
    file->addSeparator();
    QAction* exit = Named(file->addAction(QStringLiteral("E&xit")), "Exit");
    exit->setShortcut(QKeySequence::Quit);
    exit->setShortcutContext(Qt::ApplicationShortcut);
    connect(exit, &QAction::triggered, this, &MainWindow::exitProgram);

    debugMenu_ = Named(menuBar()->addMenu(QStringLiteral("&Debug Menu")), "DebugMenu");
    QAction* options = Named(debugMenu_->addAction(QStringLiteral("&Options...")), "Options");
    options->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(options, &QAction::triggered, this, &MainWindow::editOptions);
    debugMenu_->addSeparator();
    showTestCommand_ = Named(debugMenu_->addAction(QStringLiteral("Show Test Command")), "ShowTestCommand");
    showTestCommand_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    connect(showTestCommand_, &QAction::triggered, this, &MainWindow::toggleTestCommands);
    debugMenu_->menuAction()->setVisible(false);

    QMenu* help = Named(menuBar()->addMenu(QStringLiteral("&Help")), "HelpMenu");
    QAction* about = Named(help->addAction(QStringLiteral("&About")), "About");
    about->setShortcut(QKeySequence::HelpContents);
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);

    trayMenu_ = Named(new QMenu(this), "TrayMenu");
    QAction* show = Named(trayMenu_->addAction(QStringLiteral("&Show")), "Show");
    connect(show, &QAction::triggered, this, &MainWindow::showFromTray);
    QAction* terminate = Named(trayMenu_->addAction(QStringLiteral("&Terminate")), "Terminate");
    connect(terminate, &QAction::triggered, this, &MainWindow::terminateFromTray);
}

void MainWindow::buildPopupMenus()
{
    // The popup menus' shortcuts work while the list they belong to has the focus.
    auto addShortcut = [](QAction* action, const QKeySequence& keys, QWidget* owner) {
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        owner->addAction(action);
        return action;
    };

    systemMenu_ = Named(new QMenu(this), "SystemMenu");
    connect(addShortcut(Named(systemMenu_->addAction(QStringLiteral("&Add System")), "AddSystem"),
                QKeySequence(Qt::Key_Insert), systemView_),
        &QAction::triggered, this, &MainWindow::addSystem);
    connect(addShortcut(Named(systemMenu_->addAction(QStringLiteral("&Delete System")), "DeleteSystem"),
                QKeySequence::Delete, systemView_),
        &QAction::triggered, this, &MainWindow::deleteSelectedSystem);
    Named(systemMenu_->addSeparator(), "SystemMenuSeparator");
    connect(addShortcut(Named(systemMenu_->addAction(QStringLiteral("Ping to System")), "PingSystem"),
                QKeySequence(Qt::CTRL | Qt::Key_P), systemView_),
        &QAction::triggered, this, &MainWindow::pingSelectedSystem);
    systemView_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(systemView_, &QWidget::customContextMenuRequested, this,
        [this](const QPoint& at) { systemMenu_->popup(systemView_->viewport()->mapToGlobal(at)); });

    stationMenu_ = Named(new QMenu(this), "StationMenu");
    QMenu* view = Named(stationMenu_->addMenu(QStringLiteral("View")), "ViewMenu");
    auto* styles = new QActionGroup(view);
    const struct {
        const char* name;
        const char* caption;
        StationView::Style style;
    } items[] = {
        { "LargeIcons", "Large Icons", StationView::Style::LargeIcons },
        { "SmallIcons", "Small Icons", StationView::Style::SmallIcons },
        { "List", "List", StationView::Style::List },
        { "Detail", "Detail", StationView::Style::Detail },
    };
    int key = Qt::Key_1;
    for (const auto& item : items) {
        const StationView::Style style = item.style;
        QAction* action = Named(view->addAction(QLatin1String(item.caption)), item.name);
        action->setCheckable(true);
        action->setChecked(stationView_->style() == style);
        styles->addAction(action);
        addShortcut(action, QKeySequence(Qt::CTRL | Qt::Key(key++)), stationPanel_);
        connect(action, &QAction::triggered, this, [this, style] { stationView_->setStyle(style); });
    }
    // The style can also change from the saved settings.
    connect(stationView_, &StationView::styleChanged, styles,
        [styles](StationView::Style style) { styles->actions().at(static_cast<int>(style))->setChecked(true); });
    stationView_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(stationView_, &QWidget::customContextMenuRequested, this,
        [this](const QPoint& at) { stationMenu_->popup(stationView_->mapToGlobal(at)); });
}

void MainWindow::createTrayIcon()
{
    // Without a notification area the program simply runs without the icon.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    tray_ = Named(new QSystemTrayIcon(ApplicationImage(), this), "TrayIcon");
    // The tip is the caption of this moment; later caption changes do not reach it.
    tray_->setToolTip(windowTitle().left(kTrayTipLength));
    tray_->setContextMenu(trayMenu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            showFromTray();
    });
    tray_->show();
}

void MainWindow::startUp()
{
    setWindowTitle(QLatin1String(fixed::kWindowCaption));
    consolePanel_->hide();
    testPanel_->hide();
    resize(width(), kStartHeight);
    createTrayIcon();
}

Result<void> MainWindow::start()
{
    // The service's start policy; the status bar shows the hub's own
    // address whatever came of it.
    Result<void> started = service_.start();
    showOwnAddress();
    // With SIP on, the station view counts each station's watchers, read
    // again with the graph's tick rather than on every subscription.
    const bool sip = service_.sipPresence() != nullptr;
    if (sip) {
        stationModel_->setWatcherCount([this](const std::string& station) -> std::size_t {
            const SipPresence* presence = service_.sipPresence();
            return presence ? presence->watchers(station) : 0;
        });
        connect(graphTimer_, &QTimer::timeout, stationModel_, &StationListModel::refreshWatchers);
    }
    stationView_->detailView()->setColumnHidden(StationListModel::WatchersColumn, !sip);
    return started;
}

void MainWindow::showOwnAddress()
{
    statusLabel_->setText(QStringLiteral(" Korvel IP Address : ") + ToQString(hub_->settings().OwnAddress));
}

QString MainWindow::statusText() const
{
    return statusLabel_->text();
}

bool MainWindow::debugMenuVisible() const
{
    return debugMenu_->menuAction()->isVisible();
}

bool MainWindow::testPanelShown() const
{
    return !testPanel_->isHidden();
}

void MainWindow::resizeColumns()
{
    if (systemModel_->rowCount() > kAutoSizeRowLimit)
        return;
    for (int column = 0; column < SystemListModel::PortColumn; ++column)
        systemView_->resizeColumnToContents(column);
}

void MainWindow::highlightSelectedSystem()
{
    const SystemEntry* selected = refresher_->selection().selected();
    const int row = selected ? systemModel_->rowOf(selected->listOrder()) : -1;
    // A system the search hides stays selected, without a row to show it.
    const QModelIndex shown = row < 0 ? QModelIndex() : systemOrder_->mapFromSource(systemModel_->index(row, 0));
    if (!shown.isValid())
        return;
    // The system is selected already: highlighting its row must not select it again.
    const QSignalBlocker guard(systemView_->selectionModel());
    selectingFromModel_ = true;
    systemView_->selectionModel()->setCurrentIndex(
        shown, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    selectingFromModel_ = false;
    systemView_->viewport()->update();
}

void MainWindow::keepOnScreen()
{
    const QScreen* where = screen();
    if (!where)
        return;
    const QRect room = where->availableGeometry();
    const QRect frame = frameGeometry();
    const int frameExtra = frame.height() - height();
    if (frame.height() > room.height())
        resize(width(), std::max(minimumHeight(), room.height() - frameExtra));
    const int overflow = frameGeometry().bottom() - room.bottom();
    if (overflow > 0)
        move(x(), std::max(room.top(), y() - overflow));
}

void MainWindow::restoreSettings()
{
    QSettings settings { QLatin1String(kSettingsOrganization), QLatin1String(kSettingsApplication) };
    restoreGeometry(settings.value(QStringLiteral("window/geometry")).toByteArray());
    listSplitter_->restoreState(settings.value(QStringLiteral("window/lists")).toByteArray());
    topPanelHeight_ = std::max(40, settings.value(QStringLiteral("window/consoleSplit"), kTopPanelHeight).toInt());
    systemView_->header()->restoreState(settings.value(QStringLiteral("systems/header")).toByteArray());
    // The header's state holds the sorted column; the proxy is told here.
    systemView_->sortByColumn(
        systemView_->header()->sortIndicatorSection(), systemView_->header()->sortIndicatorOrder());
    stationPanel_->restoreState(settings, QStringLiteral("stations/"));
    graph_->setTimeWindow(settings.value(QStringLiteral("graph/timeWindow"), graph_->timeWindow()).toInt());
}

void MainWindow::saveSettings() const
{
    QSettings settings { QLatin1String(kSettingsOrganization), QLatin1String(kSettingsApplication) };
    settings.setValue(QStringLiteral("window/geometry"),
        testPanelShown() && !geometryWithoutPanels_.isEmpty() ? geometryWithoutPanels_ : saveGeometry());
    settings.setValue(QStringLiteral("window/lists"), listSplitter_->saveState());
    settings.setValue(
        QStringLiteral("window/consoleSplit"), testPanelShown() ? listSplitter_->height() : topPanelHeight_);
    settings.setValue(QStringLiteral("systems/header"), systemView_->header()->saveState());
    stationPanel_->saveState(settings, QStringLiteral("stations/"));
    settings.setValue(QStringLiteral("graph/timeWindow"), graph_->timeWindow());
}

void MainWindow::showError(const QString& text)
{
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Korvel"), text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("ErrorBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    shutdownOnce();
    event->accept();
    QCoreApplication::quit();
}

void MainWindow::shutdownOnce()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    saveSettings();
    graphTimer_->stop();
    savedOnExit_ = service_.stop();
    if (tray_)
        tray_->hide();
}

} // namespace korvel
