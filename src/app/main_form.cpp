#include "main_form.h"

#include "app/about_dialog.h"
#include "app/console_memo.h"
#include "app/icons.h"
#include "app/new_client_dialog.h"
#include "app/option_dialog.h"
#include "app/performance_graph.h"
#include "app/qt_text.h"
#include "app/station_list_model.h"
#include "app/station_panel.h"
#include "app/station_view.h"
#include "app/system_list_model.h"
#include "app/system_list_view.h"
#include "app/view_refresher.h"
#include "store/console_log.h"
#include "testconsole/test_commands.h"

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
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace korvel {

namespace {

constexpr int kWindowWidth = 894;
constexpr int kTestPanelWidth = 105;
constexpr int kSystemListWidth = 457;
constexpr int kGraphWidth = 99;
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

TMainForm::TMainForm(Hub::Options options, QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowIcon(ApplicationImage());
    hub_ = std::make_unique<Hub>(options);
    graphSent_ = hub_->counters().SentBytesTotal();
    graphReceived_ = hub_->counters().ReceivedBytesTotal();

    buildLayout();
    testCommands_ = new TestCommands(
        *hub_, [this] { return rdoTCP->isChecked(); }, this);
    testCommands_->addButtons(testCommandArea_, testCommandArea_->parentWidget());
    // Wide enough for the longest caption, so none is cut off.
    Panel2->setFixedWidth(std::max(kTestPanelWidth,
        Panel2->widget()->minimumSizeHint().width() + Panel2->verticalScrollBar()->sizeHint().width()));
    buildMenus();
    buildPopupMenus();

    Timer1 = Named(new QTimer(this), "Timer1");
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
    Timer1->start();

    OptionDlg = new TOptionDlg(this);
    NewClientDlg = new TNewClientDlg(this);
    AboutDlg = new TAboutDlg(this);

    FormCreate();
    resizeColumns();
    restoreSettings();
}

TMainForm::~TMainForm()
{
    shutdownOnce();
    hub_->table().setObserver(nullptr);
    if (consoleSink_) {
        ConsoleSink* previous = SetConsoleSink(nullptr);
        // Another sink installed since (a test capture, say) stays in place.
        if (previous != consoleSink_.get())
            SetConsoleSink(previous);
    }
}

void TMainForm::buildLayout()
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
    Panel4 = Named(new QSplitter(Qt::Vertical, central), "Panel4");
    Panel4->setChildrenCollapsible(false);
    Panel3 = Named(new QSplitter(Qt::Horizontal, Panel4), "Panel3");
    Panel3->setChildrenCollapsible(false);
    Panel3->addWidget(buildSystemList(Panel3));
    Panel3->addWidget(buildStationList(Panel3));
    PerformanceGraph1 = Named(new TPerformanceGraph(Panel3), "PerformanceGraph1");
    PerformanceGraph1->setGridSize(12);
    PerformanceGraph1->setGradient(500);
    labelGraph();
    Panel3->addWidget(PerformanceGraph1);
    Panel3->setStretchFactor(0, 0);
    Panel3->setStretchFactor(1, 1);
    Panel3->setStretchFactor(2, 0);
    Panel3->setSizes({ kSystemListWidth, kWindowWidth - kSystemListWidth - kGraphWidth, kGraphWidth });
    Panel4->addWidget(Panel3);
    Panel4->addWidget(buildConsole(Panel4));
    // A taller window gives its extra height to the console.
    Panel4->setStretchFactor(0, 0);
    Panel4->setStretchFactor(1, 1);
    Panel4->installEventFilter(this);
    connect(Panel4, &QSplitter::splitterMoved, this, [this] { topPanelHeight_ = Panel3->height(); });

    row->addWidget(buildTestPanel(central));
    row->addWidget(Panel4, 1);
    setCentralWidget(central);
    buildStatusBar();
    attachToHub();
}

QWidget* TMainForm::buildTestPanel(QWidget* parent)
{
    // The test panel scrolls rather than forcing the window taller than the
    // heights the panel switch sets.
    Panel2 = Named(new QScrollArea(parent), "Panel2");
    Panel2->setFrameShape(QFrame::NoFrame);
    Panel2->setWidgetResizable(true);
    Panel2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* buttons = new QWidget(Panel2);
    auto* column = new QVBoxLayout(buttons);
    column->setContentsMargins(3, 3, 3, 3);
    column->setSpacing(2);
    auto* testButtons = Named(new QWidget(buttons), "TestCommandButtons");
    testCommandArea_ = new QVBoxLayout(testButtons);
    testCommandArea_->setContentsMargins(0, 0, 0, 0);
    testCommandArea_->setSpacing(2);
    column->addWidget(testButtons);
    btnConsoleClear = Named(new QPushButton(QStringLiteral("Clear Console"), buttons), "btnConsoleClear");
    btnClientOnlyMode = Named(new QPushButton(QStringLiteral("Client Only Mode"), buttons), "btnClientOnlyMode");
    Button3 = Named(new QPushButton(QStringLiteral("Set Another Port"), buttons), "Button3");
    rdoTCP = Named(new QRadioButton(QStringLiteral("TCP Mode"), buttons), "rdoTCP");
    rdoUDP = Named(new QRadioButton(QStringLiteral("UDP Mode"), buttons), "rdoUDP");
    rdoTCP->setChecked(true);
    // The panel is narrow; a smaller face keeps the captions short.
    QFont panelFont = buttons->font();
    panelFont.setPixelSize(11);
    buttons->setFont(panelFont);
    for (QWidget* widget : { static_cast<QWidget*>(btnConsoleClear), static_cast<QWidget*>(btnClientOnlyMode),
             static_cast<QWidget*>(Button3), static_cast<QWidget*>(rdoTCP), static_cast<QWidget*>(rdoUDP) })
        column->addWidget(widget);
    column->addStretch();
    Panel2->setWidget(buttons);
    Panel2->setFixedWidth(kTestPanelWidth);
    connect(btnConsoleClear, &QPushButton::clicked, this, &TMainForm::btnConsoleClearClick);
    connect(btnClientOnlyMode, &QPushButton::clicked, this, &TMainForm::btnClientOnlyModeClick);
    connect(Button3, &QPushButton::clicked, this, &TMainForm::Button3Click);
    return Panel2;
}

QWidget* TMainForm::buildSystemList(QWidget* parent)
{
    GroupBox1 = Named(new QGroupBox(QStringLiteral("System List"), parent), "GroupBox1");
    lvClient = Named(new SystemListView(GroupBox1), "lvClient");
    lvClient->setModel(systemModel_);
    lvClient->header()->resizeSection(SystemListModel::PortColumn, 50);
    auto* box = new QVBoxLayout(GroupBox1);
    box->setContentsMargins(4, 4, 4, 4);
    box->addWidget(lvClient);
    connect(lvClient->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        [this](const QItemSelection& selected, const QItemSelection& deselected) {
            if (selectingFromModel_)
                return;
            for (const QModelIndex& index : deselected.indexes())
                if (index.column() == 0)
                    lvClientSelectItem(index.row(), false);
            for (const QModelIndex& index : selected.indexes())
                if (index.column() == 0)
                    lvClientSelectItem(index.row(), true);
        });
    connect(systemModel_, &QAbstractItemModel::modelReset, this, &TMainForm::resizeColumns);
    connect(systemModel_, &QAbstractItemModel::modelReset, this, &TMainForm::highlightSelectedSystem);
    connect(systemModel_, &QAbstractItemModel::dataChanged, this, &TMainForm::resizeColumns);
    return GroupBox1;
}

QWidget* TMainForm::buildStationList(QWidget* parent)
{
    GroupBox2 = Named(new QGroupBox(QStringLiteral("Station List"), parent), "GroupBox2");
    stationPanel_ = new StationPanel(stationModel_, GroupBox2);
    lvStn = stationPanel_->view();
    auto* box = new QVBoxLayout(GroupBox2);
    box->setContentsMargins(4, 4, 4, 4);
    box->addWidget(stationPanel_);
    return GroupBox2;
}

QWidget* TMainForm::buildConsole(QWidget* parent)
{
    Panel1 = Named(new QWidget(parent), "Panel1");
    auto* box = new QVBoxLayout(Panel1);
    box->setContentsMargins(2, 0, 2, 2);
    Console = Named(new QPlainTextEdit(Panel1), "Console");
    Console->setReadOnly(true);
    Console->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Console->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont consoleFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    consoleFont.setPixelSize(12);
    Console->setFont(consoleFont);
    Console->setPlainText(QStringLiteral("[Console]\n"));
    box->addWidget(Console);
    return Panel1;
}

void TMainForm::buildStatusBar()
{
    auto* bar = Named(new QStatusBar(this), "StatusBar1");
    bar->setFixedHeight(kStatusBarHeight);
    bar->setSizeGripEnabled(true);
    statusLabel_ = new QLabel(bar);
    bar->addWidget(statusLabel_, 1);
    setStatusBar(bar);
}

void TMainForm::attachToHub()
{
    refresher_ = std::make_unique<ViewRefresher>(hub_->table(), *systemModel_, *stationModel_);
    hub_->table().setObserver(refresher_.get());
    consoleSink_ = std::make_unique<ConsoleMemoSink>(Console);
    SetConsoleSink(consoleSink_.get());
    connect(hub_.get(), &Hub::senderFailed, systemModel_,
        [this](const QString& host) { systemModel_->noteSendFailure(host, QDateTime::currentDateTime()); });
}

void TMainForm::buildMenus()
{
    QMenu* file = Named(menuBar()->addMenu(QStringLiteral("&File")), "File1");
    QAction* initialize = Named(file->addAction(QStringLiteral("Initialize...")), "Initialize1");
    connect(initialize, &QAction::triggered, this, &TMainForm::Initialize1Click);
    file->addSeparator();
    QAction* exit = Named(file->addAction(QStringLiteral("E&xit")), "Exit1");
    exit->setShortcut(QKeySequence::Quit);
    exit->setShortcutContext(Qt::ApplicationShortcut);
    connect(exit, &QAction::triggered, this, &TMainForm::Exit1Click);

    DebugMenu = Named(menuBar()->addMenu(QStringLiteral("&Debug Menu")), "DebugMenu");
    QAction* options = Named(DebugMenu->addAction(QStringLiteral("&Options...")), "SetIPAddress1");
    options->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(options, &QAction::triggered, this, &TMainForm::SetIPAddress1Click);
    DebugMenu->addSeparator();
    ShowTestCommand1 = Named(DebugMenu->addAction(QStringLiteral("Show Test Command")), "ShowTestCommand1");
    ShowTestCommand1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    connect(ShowTestCommand1, &QAction::triggered, this, &TMainForm::ShowTestCommand1Click);
    DebugMenu->menuAction()->setVisible(false);

    QMenu* help = Named(menuBar()->addMenu(QStringLiteral("&Help")), "Help");
    QAction* about = Named(help->addAction(QStringLiteral("&About")), "Help1");
    about->setShortcut(QKeySequence::HelpContents);
    connect(about, &QAction::triggered, this, &TMainForm::Help1Click);

    pmmTray = Named(new QMenu(this), "pmmTray");
    QAction* show = Named(pmmTray->addAction(QStringLiteral("&Show")), "Show1");
    connect(show, &QAction::triggered, this, &TMainForm::Show1Click);
    QAction* terminate = Named(pmmTray->addAction(QStringLiteral("&Terminate")), "TerminateKorvel1");
    connect(terminate, &QAction::triggered, this, &TMainForm::TerminateKorvel1Click);
}

void TMainForm::buildPopupMenus()
{
    // The popup menus' shortcuts work while the list they belong to has the focus.
    auto addShortcut = [](QAction* action, const QKeySequence& keys, QWidget* owner) {
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        owner->addAction(action);
        return action;
    };

    popmmServer = Named(new QMenu(this), "popmmServer");
    connect(addShortcut(Named(popmmServer->addAction(QStringLiteral("&Add System")), "AddServer1"),
                QKeySequence(Qt::Key_Insert), lvClient),
        &QAction::triggered, this, &TMainForm::AddServer1Click);
    connect(addShortcut(Named(popmmServer->addAction(QStringLiteral("&Delete System")), "DeleteServer"),
                QKeySequence::Delete, lvClient),
        &QAction::triggered, this, &TMainForm::DeleteServerClick);
    Named(popmmServer->addSeparator(), "N1");
    connect(addShortcut(Named(popmmServer->addAction(QStringLiteral("Ping to System")), "PingtoSystem1"),
                QKeySequence(Qt::CTRL | Qt::Key_P), lvClient),
        &QAction::triggered, this, &TMainForm::PingtoSystem1Click);
    lvClient->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvClient, &QWidget::customContextMenuRequested, this,
        [this](const QPoint& at) { popmmServer->popup(lvClient->viewport()->mapToGlobal(at)); });

    popmmStation = Named(new QMenu(this), "popmmStation");
    QMenu* view = Named(popmmStation->addMenu(QStringLiteral("View")), "View1");
    auto* styles = new QActionGroup(view);
    const struct {
        const char* name;
        const char* caption;
        StationView::Style style;
    } items[] = {
        { "LargeIcon1", "Large Icons", StationView::Style::LargeIcons },
        { "SmallIcon1", "Small Icons", StationView::Style::SmallIcons },
        { "List1", "List", StationView::Style::List },
        { "Report1", "Detail", StationView::Style::Detail },
    };
    int key = Qt::Key_1;
    for (const auto& item : items) {
        const StationView::Style style = item.style;
        QAction* action = Named(view->addAction(QLatin1String(item.caption)), item.name);
        action->setCheckable(true);
        action->setChecked(lvStn->style() == style);
        styles->addAction(action);
        addShortcut(action, QKeySequence(Qt::CTRL | Qt::Key(key++)), stationPanel_);
        connect(action, &QAction::triggered, this, [this, style] { lvStn->setStyle(style); });
    }
    // The style can also change from the saved settings.
    connect(lvStn, &StationView::styleChanged, styles,
        [styles](StationView::Style style) { styles->actions().at(static_cast<int>(style))->setChecked(true); });
    lvStn->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvStn, &QWidget::customContextMenuRequested, this,
        [this](const QPoint& at) { popmmStation->popup(lvStn->mapToGlobal(at)); });
}

void TMainForm::createTrayIcon()
{
    // Without a notification area the program simply runs without the icon.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    tray_ = Named(new QSystemTrayIcon(ApplicationImage(), this), "TrayIcon");
    // The tip is the caption of this moment; later caption changes do not reach it.
    tray_->setToolTip(windowTitle().left(kTrayTipLength));
    tray_->setContextMenu(pmmTray);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            Show1Click();
    });
    tray_->show();
}

void TMainForm::FormCreate()
{
    setWindowTitle(QLatin1String(kWindowCaption));
    Panel1->hide();
    Panel2->hide();
    resize(width(), kStartHeight);
    createTrayIcon();

    // Own address, save timer, the table from disk, then the endpoints on the
    // ports of the base port the table file gave.
    QString error;
    const bool started = hub_->start(&error);
    ShowOwnAddress();
    if (!started) {
        showError(error);
        ConsoleLog("%s", qPrintable(error));
    }
}

void TMainForm::ShowOwnAddress()
{
    statusLabel_->setText(QStringLiteral(" Korvel IP Address : ") + ToQString(hub_->settings().OwnAddress));
}

QString TMainForm::statusText() const
{
    return statusLabel_->text();
}

bool TMainForm::debugMenuVisible() const
{
    return DebugMenu->menuAction()->isVisible();
}

bool TMainForm::testPanelShown() const
{
    return !Panel2->isHidden();
}

void TMainForm::resizeColumns()
{
    if (systemModel_->rowCount() > kAutoSizeRowLimit)
        return;
    for (int column = 0; column < SystemListModel::PortColumn; ++column)
        lvClient->resizeColumnToContents(column);
}

void TMainForm::highlightSelectedSystem()
{
    const SystemEntry* selected = hub_->table().Selected();
    const int row = selected ? systemModel_->rowOf(selected->listOrder()) : -1;
    if (row < 0)
        return;
    // The system is selected already: highlighting its row must not select it again.
    const QSignalBlocker guard(lvClient->selectionModel());
    selectingFromModel_ = true;
    lvClient->selectionModel()->setCurrentIndex(
        systemModel_->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    selectingFromModel_ = false;
    lvClient->viewport()->update();
}

void TMainForm::keepOnScreen()
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

void TMainForm::restoreSettings()
{
    QSettings settings { QLatin1String(kSettingsOrganization), QLatin1String(kSettingsApplication) };
    restoreGeometry(settings.value(QStringLiteral("window/geometry")).toByteArray());
    Panel3->restoreState(settings.value(QStringLiteral("window/lists")).toByteArray());
    topPanelHeight_ = std::max(40, settings.value(QStringLiteral("window/consoleSplit"), kTopPanelHeight).toInt());
    lvClient->header()->restoreState(settings.value(QStringLiteral("systems/header")).toByteArray());
    stationPanel_->restoreState(settings, QStringLiteral("stations/"));
    PerformanceGraph1->setTimeWindow(
        settings.value(QStringLiteral("graph/timeWindow"), PerformanceGraph1->timeWindow()).toInt());
}

void TMainForm::saveSettings() const
{
    QSettings settings { QLatin1String(kSettingsOrganization), QLatin1String(kSettingsApplication) };
    settings.setValue(QStringLiteral("window/geometry"),
        testPanelShown() && !geometryWithoutPanels_.isEmpty() ? geometryWithoutPanels_ : saveGeometry());
    settings.setValue(QStringLiteral("window/lists"), Panel3->saveState());
    settings.setValue(QStringLiteral("window/consoleSplit"), testPanelShown() ? Panel3->height() : topPanelHeight_);
    settings.setValue(QStringLiteral("systems/header"), lvClient->header()->saveState());
    stationPanel_->saveState(settings, QStringLiteral("stations/"));
    settings.setValue(QStringLiteral("graph/timeWindow"), PerformanceGraph1->timeWindow());
}

void TMainForm::showError(const QString& text)
{
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Korvel"), text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("ErrorBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    shutdownOnce();
    event->accept();
    QCoreApplication::quit();
}

void TMainForm::shutdownOnce()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    saveSettings();
    Timer1->stop();
    savedOnExit_ = hub_->shutdown();
    if (tray_)
        tray_->hide();
}

} // namespace korvel
