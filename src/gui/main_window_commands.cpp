// The operator's commands of MainWindow: menus, buttons, tray and timer.
#include "main_window.h"

#include "gui/about_dialog.h"
#include "gui/console_memo.h"
#include "gui/new_client_dialog.h"
#include "gui/option_dialog.h"
#include "gui/performance_graph.h"
#include "gui/ping_dialog.h"
#include "gui/qt_text.h"
#include "gui/system_list_model.h"
#include "gui/view_refresher.h"
#include "log/console_log.h"
#include "protocol/fixed_texts.h"
#include "service/service.h"
#include "web/traffic_history.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>

namespace korvel {

namespace {

const QColor kSentColour(0xFF, 0xFF, 0x00);
const QColor kReceivedColour(0x00, 0xFF, 0x00);
const QColor kPacketsColour(0xC0, 0xC0, 0xC0);

// A rate short enough for the graph's narrow legend: "980 B/s", "12.5 kB/s".
QString Rate(std::int64_t bytes)
{
    if (bytes < 1000)
        return QStringLiteral("%1 B/s").arg(bytes);
    if (bytes < 1000 * 1000)
        return QStringLiteral("%1 kB/s").arg(static_cast<double>(bytes) / 1e3, 0, 'f', 1);
    return QStringLiteral("%1 MB/s").arg(static_cast<double>(bytes) / 1e6, 0, 'f', 1);
}

} // namespace

void MainWindow::exitProgram()
{
    close();
}

void MainWindow::terminateFromTray()
{
    close();
}

void MainWindow::showFromTray()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void MainWindow::stepGraph()
{
    TrafficCounters& counters = hub_->counters();
    // Differences of the running totals: the web console reads them as well,
    // and neither takes bytes from the other.
    const std::uint64_t sentTotal = counters.sentBytesTotal();
    const std::uint64_t receivedTotal = counters.receivedBytesTotal();
    const auto sent = static_cast<std::int32_t>(sentTotal - graphSent_);
    const auto received = static_cast<std::int32_t>(receivedTotal - graphReceived_);
    graphSent_ = sentTotal;
    graphReceived_ = receivedTotal;
    const std::uint64_t packetsTotal = TrafficHistory::ReceivedPackets(counters);
    const auto packets = static_cast<std::int32_t>(packetsTotal - graphPackets_);
    graphPackets_ = packetsTotal;
    graph_->dataPoint(kSentColour, sent / 20 + 2);
    graph_->dataPoint(kReceivedColour, received / 20 + 2);
    graph_->dataPoint(kPacketsColour, packets);
    graph_->closeStep();
    graph_->setReading(kSentColour, Rate(sent));
    graph_->setReading(kReceivedColour, Rate(received));
    graph_->setReading(kPacketsColour, QStringLiteral("%1/s").arg(packets));
}

void MainWindow::labelGraph()
{
    graph_->setLegend(kSentColour, QStringLiteral("Sent"));
    graph_->setLegend(kReceivedColour, QStringLiteral("Recv"));
    graph_->setLegend(kPacketsColour, QStringLiteral("Packets"));
    // The byte lines are drawn at bytes / 20 + 2, so the scale reads in bytes
    // a second; packets have a scale of their own, in the right corner.
    graph_->setScaleText([](int scale) { return Rate(static_cast<std::int64_t>(scale) * 20); });
    graph_->setOwnScale(kPacketsColour, [](int scale) { return QStringLiteral("%1 pkt/s").arg(scale); });
    graph_->setToolTip(
        QStringLiteral("Traffic, one step a second:\nyellow: bytes sent per second\ngreen: bytes received per "
                       "second\nsilver: packets received per second\nThe top left corner gives the bytes' scale, "
                       "the top right the packets'.\nRight-click for the time window."));
}

void MainWindow::clearConsole()
{
    // Lines logged before the click go too.
    consoleSink_->flush();
    console_->clear();
}

void MainWindow::showAbout()
{
    aboutDialog_->clearMarks();
    aboutDialog_->setCompatibleVersion(QStringLiteral("compatible QVX version : 2.0Cf or later"));
    aboutDialog_->exec();
    const bool unlocked = aboutDialog_->firstMark() && aboutDialog_->secondMark();
    debugMenu_->menuAction()->setVisible(unlocked);
    if (unlocked)
        hub_->console().enable();
    else
        hub_->console().disable();
}

void MainWindow::editOptions()
{
    optionDialog_->fill(hub_->settings());
    if (optionDialog_->exec() != QDialog::Accepted)
        return;
    // The service takes the fields in order and stops at a bad one.
    const Result<void> applied = service_.applyOptions(CommandSource::Window(), optionDialog_->options());
    if (!applied) {
        const std::optional<QString> notANumber = optionDialog_->firstNonNumber();
        showError(notANumber ? NotAnIntegerMessage(*notANumber) : QString::fromStdString(applied.error()));
    }
}

void MainWindow::setAnotherPort()
{
    if (const Result<void> moved = hub_->setAnotherPort(); !moved)
        showError(QString::fromStdString(moved.error()));
}

void MainWindow::enterClientOnlyMode()
{
    hub_->enterClientOnlyMode();
    setWindowTitle(windowTitle() + QLatin1String(fixed::kClientOnlyCaption));
    clientOnlyButton_->setEnabled(false);
}

void MainWindow::addSystem()
{
    newClientDialog_->clearAddress();
    if (newClientDialog_->exec() != QDialog::Accepted)
        return;
    // An address in the table already is left as it is, without a word.
    NewSystem system;
    system.address = FromQString(newClientDialog_->address());
    const Result<void> added = service_.addSystem(CommandSource::Window(), system);
    if (!added && added.failure().kind != Failure::Kind::Conflict)
        showError(QString::fromStdString(added.error()));
}

void MainWindow::deleteSelectedSystem()
{
    const SystemEntry* selected = refresher_->selection().selected();
    if (!selected)
        return;
    const std::string address = selected->IpAddress;
    if (const Result<void> deleted = service_.deleteSystem(CommandSource::Window(), address); !deleted)
        showError(QString::fromStdString(deleted.error()));
}

void MainWindow::pingSelectedSystem()
{
    const SystemEntry* selected = refresher_->selection().selected();
    if (!selected)
        return;
    // Runs beside the window instead of holding it until the ping ends.
    auto* dialog = new PingDialog(service_, selected->IpAddress, this);
    dialog->show();
    dialog->start();
}

void MainWindow::initializeTable()
{
    const auto answer = QMessageBox::question(this, QStringLiteral("Confirm"),
        QStringLiteral("All registered system data will be deleted! Are you sure?"), QMessageBox::Yes | QMessageBox::No,
        QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    if (const Result<void> done = service_.initialize(CommandSource::Window()); !done)
        showError(QString::fromStdString(done.error()));
}

void MainWindow::toggleTestCommands()
{
    if (testPanelShown()) {
        showTestCommand_->setText(QStringLiteral("Show Test Command"));
        topPanelHeight_ = listSplitter_->height();
        consolePanel_->hide();
        testPanel_->hide();
        // The window's minimum height still counts the hidden panels until its
        // layouts run again; it would hold the resize above the start height.
        settleLayouts();
        resize(width(), kStartHeight);
        hub_->console().disable();
    } else {
        // Showing the panels raises the minimum height at once and may stretch
        // the window; the extra height counts from the height before that.
        const int before = height();
        geometryWithoutPanels_ = saveGeometry();
        showTestCommand_->setText(QStringLiteral("Hide Test Command"));
        consolePanel_->show();
        testPanel_->show();
        settleLayouts();
        resize(width(), before + kTestPanelExtraHeight);
        keepOnScreen();
        splitForConsole();
        hub_->console().enable();
    }
}

void MainWindow::splitForConsole()
{
    if (consolePanel_->isHidden())
        return;
    consoleSplitter_->setSizes({ topPanelHeight_,
        std::max(1, consoleSplitter_->height() - consoleSplitter_->handleWidth() - topPanelHeight_) });
}

// The lists keep the height the operator gave them, the console takes the
// rest, also when the window's new height arrives later (as on X11).
bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == consoleSplitter_ && event->type() == QEvent::Resize)
        splitForConsole();
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::settleLayouts()
{
    for (QWidget* widget : { consoleSplitter_->parentWidget(), static_cast<QWidget*>(this) }) {
        if (QLayout* layout = widget->layout()) {
            layout->invalidate();
            layout->activate();
        }
    }
}

void MainWindow::systemRowSelected(int row, bool selected)
{
    if (!selected)
        return;
    refresher_->selection().select(FromQString(systemModel_->ipAddress(row)));
}

} // namespace korvel
