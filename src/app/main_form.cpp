#include "main_form.h"

#include "app/about_dialog.h"
#include "app/console_memo.h"
#include "app/icons.h"
#include "app/new_client_dialog.h"
#include "app/option_dialog.h"
#include "app/performance_graph.h"
#include "app/qt_text.h"
#include "app/station_list_model.h"
#include "app/station_view.h"
#include "app/system_list_model.h"
#include "app/view_refresher.h"
#include "store/console_log.h"
#include "testconsole/test_commands.h"

#include <QApplication>
#include <QCloseEvent>
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
#include <QScrollArea>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

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

    buildLayout();
    testCommands_ = new TestCommands(
        *hub_, [this] { return rdoTCP->isChecked(); }, this);
    testCommands_->addButtons(testCommandArea_, testCommandArea_->parentWidget());
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

    // The test panel scrolls rather than forcing the window taller than the
    // heights the panel switch sets.
    Panel2 = Named(new QScrollArea(central), "Panel2");
    Panel2->setFixedWidth(kTestPanelWidth);
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
    // The panel is narrow; a smaller face keeps every caption whole in it.
    QFont panelFont = buttons->font();
    panelFont.setPixelSize(11);
    buttons->setFont(panelFont);
    for (QWidget* widget : { static_cast<QWidget*>(btnConsoleClear), static_cast<QWidget*>(btnClientOnlyMode),
             static_cast<QWidget*>(Button3), static_cast<QWidget*>(rdoTCP), static_cast<QWidget*>(rdoUDP) })
        column->addWidget(widget);
    column->addStretch();
    Panel2->setWidget(buttons);
    connect(btnConsoleClear, &QPushButton::clicked, this, &TMainForm::btnConsoleClearClick);
    connect(btnClientOnlyMode, &QPushButton::clicked, this, &TMainForm::btnClientOnlyModeClick);
    connect(Button3, &QPushButton::clicked, this, &TMainForm::Button3Click);

    Panel4 = Named(new QWidget(central), "Panel4");
    auto* stack = new QVBoxLayout(Panel4);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    Panel3 = Named(new QWidget(Panel4), "Panel3");
    auto* lists = new QHBoxLayout(Panel3);
    lists->setContentsMargins(2, 2, 2, 2);
    lists->setSpacing(2);

    systemModel_ = new SystemListModel(this);
    stationModel_ = new StationListModel(this);

    GroupBox1 = Named(new QGroupBox(QStringLiteral("System List"), Panel3), "GroupBox1");
    GroupBox1->setFixedWidth(kSystemListWidth);
    lvClient = Named(new QTreeView(GroupBox1), "lvClient");
    lvClient->setModel(systemModel_);
    lvClient->setRootIsDecorated(false);
    lvClient->setItemsExpandable(false);
    lvClient->setUniformRowHeights(true);
    lvClient->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvClient->setSelectionMode(QAbstractItemView::SingleSelection);
    lvClient->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvClient->setIconSize(QSize(16, 16));
    lvClient->setFrameShape(QFrame::StyledPanel);
    lvClient->setLineWidth(2);
    lvClient->header()->setStretchLastSection(false);
    lvClient->header()->resizeSection(SystemListModel::PortColumn, 50);
    auto* box1 = new QVBoxLayout(GroupBox1);
    box1->setContentsMargins(4, 4, 4, 4);
    box1->addWidget(lvClient);
    connect(lvClient->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        [this](const QItemSelection& selected, const QItemSelection& deselected) {
            for (const QModelIndex& index : deselected.indexes())
                if (index.column() == 0)
                    lvClientSelectItem(index.row(), false);
            for (const QModelIndex& index : selected.indexes())
                if (index.column() == 0)
                    lvClientSelectItem(index.row(), true);
        });
    connect(systemModel_, &QAbstractItemModel::modelReset, this, &TMainForm::resizeColumns);
    connect(systemModel_, &QAbstractItemModel::dataChanged, this, &TMainForm::resizeColumns);

    GroupBox2 = Named(new QGroupBox(QStringLiteral("Station List"), Panel3), "GroupBox2");
    lvStn = new StationView(stationModel_, GroupBox2);
    auto* box2 = new QVBoxLayout(GroupBox2);
    box2->setContentsMargins(4, 4, 4, 4);
    box2->addWidget(lvStn);

    PerformanceGraph1 = Named(new TPerformanceGraph(Panel3), "PerformanceGraph1");
    PerformanceGraph1->setFixedWidth(kGraphWidth);
    PerformanceGraph1->setGridSize(12);
    PerformanceGraph1->setGradient(500);

    lists->addWidget(GroupBox1);
    lists->addWidget(GroupBox2, 1);
    lists->addWidget(PerformanceGraph1);

    Panel1 = Named(new QWidget(Panel4), "Panel1");
    auto* consoleBox = new QVBoxLayout(Panel1);
    consoleBox->setContentsMargins(2, 0, 2, 2);
    Console = Named(new QPlainTextEdit(Panel1), "Console");
    Console->setReadOnly(true);
    Console->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Console->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont consoleFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    consoleFont.setPixelSize(12);
    Console->setFont(consoleFont);
    Console->setPlainText(QStringLiteral("[Console]\n"));
    consoleBox->addWidget(Console);

    stack->addWidget(Panel3, 1);
    stack->addWidget(Panel1, 1);

    row->addWidget(Panel2);
    row->addWidget(Panel4, 1);
    setCentralWidget(central);

    auto* bar = Named(new QStatusBar(this), "StatusBar1");
    bar->setFixedHeight(kStatusBarHeight);
    bar->setSizeGripEnabled(true);
    statusLabel_ = new QLabel(bar);
    bar->addWidget(statusLabel_, 1);
    setStatusBar(bar);

    refresher_ = std::make_unique<ViewRefresher>(hub_->table(), *systemModel_, *stationModel_);
    hub_->table().setObserver(refresher_.get());
    consoleSink_ = std::make_unique<ConsoleMemoSink>(Console);
    SetConsoleSink(consoleSink_.get());
}

void TMainForm::buildMenus()
{
    QMenu* file = Named(menuBar()->addMenu(QStringLiteral("&File")), "File1");
    QAction* initialize = Named(file->addAction(QStringLiteral("Initialize...")), "Initialize1");
    connect(initialize, &QAction::triggered, this, &TMainForm::Initialize1Click);
    QAction* exit = Named(file->addAction(QStringLiteral("E&xit")), "Exit1");
    connect(exit, &QAction::triggered, this, &TMainForm::Exit1Click);

    DebugMenu = Named(menuBar()->addMenu(QStringLiteral("&Debug Menu")), "DebugMenu");
    QAction* options = Named(DebugMenu->addAction(QStringLiteral("&Options...")), "SetIPAddress1");
    connect(options, &QAction::triggered, this, &TMainForm::SetIPAddress1Click);
    ShowTestCommand1 = Named(DebugMenu->addAction(QStringLiteral("Show Test Command")), "ShowTestCommand1");
    connect(ShowTestCommand1, &QAction::triggered, this, &TMainForm::ShowTestCommand1Click);
    DebugMenu->menuAction()->setVisible(false);

    QMenu* help = Named(menuBar()->addMenu(QStringLiteral("&Help")), "Help");
    QAction* about = Named(help->addAction(QStringLiteral("&About")), "Help1");
    connect(about, &QAction::triggered, this, &TMainForm::Help1Click);

    pmmTray = Named(new QMenu(this), "pmmTray");
    QAction* show = Named(pmmTray->addAction(QStringLiteral("&Show")), "Show1");
    connect(show, &QAction::triggered, this, &TMainForm::Show1Click);
    QAction* terminate = Named(pmmTray->addAction(QStringLiteral("&Terminate")), "TerminateKorvel1");
    connect(terminate, &QAction::triggered, this, &TMainForm::TerminateKorvel1Click);
}

void TMainForm::buildPopupMenus()
{
    popmmServer = Named(new QMenu(this), "popmmServer");
    connect(Named(popmmServer->addAction(QStringLiteral("&Add System")), "AddServer1"), &QAction::triggered, this,
        &TMainForm::AddServer1Click);
    connect(Named(popmmServer->addAction(QStringLiteral("&Delete System")), "DeleteServer"), &QAction::triggered, this,
        &TMainForm::DeleteServerClick);
    Named(popmmServer->addSeparator(), "N1");
    connect(Named(popmmServer->addAction(QStringLiteral("Ping to System")), "PingtoSystem1"), &QAction::triggered, this,
        &TMainForm::PingtoSystem1Click);
    lvClient->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvClient, &QWidget::customContextMenuRequested, this,
        [this](const QPoint& at) { popmmServer->popup(lvClient->viewport()->mapToGlobal(at)); });

    popmmStation = Named(new QMenu(this), "popmmStation");
    QMenu* view = Named(popmmStation->addMenu(QStringLiteral("View")), "View1");
    const struct {
        const char* name;
        const char* caption;
        StationView::Style style;
    } styles[] = {
        { "LargeIcon1", "Large Icons", StationView::Style::LargeIcons },
        { "SmallIcon1", "Small Icons", StationView::Style::SmallIcons },
        { "List1", "List", StationView::Style::List },
        { "Report1", "Detail", StationView::Style::Detail },
    };
    for (const auto& item : styles) {
        const StationView::Style style = item.style;
        connect(Named(view->addAction(QLatin1String(item.caption)), item.name), &QAction::triggered, this,
            [this, style] { lvStn->setStyle(style); });
    }
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
    Panel3->setMinimumHeight(0);
    Panel3->setMaximumHeight(QWIDGETSIZE_MAX);
    resize(width(), kStartHeight);
    createTrayIcon();

    // Own address, save timer, the table from disk, then the endpoints on the
    // ports of the base port the table file gave.
    QString error;
    const bool started = hub_->start(&error);
    ShowOwnAddress();
    if (!started)
        showError(error);
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
    Timer1->stop();
    hub_->shutdown();
    if (tray_)
        tray_->hide();
}

} // namespace korvel
