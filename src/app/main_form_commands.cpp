// The operator's commands of TMainForm: menus, buttons, tray and timer.
#include "main_form.h"

#include "app/about_dialog.h"
#include "app/console_memo.h"
#include "app/new_client_dialog.h"
#include "app/option_dialog.h"
#include "app/performance_graph.h"
#include "app/ping_dialog.h"
#include "app/qt_text.h"
#include "app/system_list_model.h"
#include "store/console_log.h"

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
const QColor kSendersColour(0xC0, 0xC0, 0xC0);

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

void TMainForm::Exit1Click()
{
    close();
}

void TMainForm::TerminateKorvel1Click()
{
    close();
}

void TMainForm::Show1Click()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void TMainForm::Timer1Timer()
{
    TrafficCounters& counters = hub_->counters();
    // Differences of the running totals: the web console reads them as well,
    // and neither takes bytes from the other.
    const std::uint64_t sentTotal = counters.SentBytesTotal();
    const std::uint64_t receivedTotal = counters.ReceivedBytesTotal();
    const auto sent = static_cast<std::int32_t>(sentTotal - graphSent_);
    const auto received = static_cast<std::int32_t>(receivedTotal - graphReceived_);
    graphSent_ = sentTotal;
    graphReceived_ = receivedTotal;
    const std::int32_t senders = counters.LiveSenderCount.load();
    PerformanceGraph1->DataPoint(kSentColour, sent / 20 + 2);
    PerformanceGraph1->DataPoint(kReceivedColour, received / 20 + 2);
    PerformanceGraph1->DataPoint(kSendersColour, senders * 10 + 4);
    PerformanceGraph1->Update();
    PerformanceGraph1->setReading(kSentColour, Rate(sent));
    PerformanceGraph1->setReading(kReceivedColour, Rate(received));
    PerformanceGraph1->setReading(kSendersColour, QString::number(senders));
}

void TMainForm::labelGraph()
{
    PerformanceGraph1->setLegend(kSentColour, QStringLiteral("Sent"));
    PerformanceGraph1->setLegend(kReceivedColour, QStringLiteral("Recv"));
    PerformanceGraph1->setLegend(kSendersColour, QStringLiteral("Senders"));
    PerformanceGraph1->setToolTip(
        QStringLiteral("Traffic, one step a second:\nyellow: bytes sent \u00f7 20 + 2\ngreen: bytes received "
                       "\u00f7 20 + 2\nsilver: live senders \u00d7 10 + 4\nThe number at the top is the scale.\n"
                       "Right-click for the time window."));
}

void TMainForm::btnConsoleClearClick()
{
    // Lines logged before the click go too.
    consoleSink_->flush();
    Console->clear();
}

void TMainForm::Help1Click()
{
    AboutDlg->clearMarks();
    AboutDlg->lblCompatibleVersion->setText(QStringLiteral("compatible QVX version : 2.0Cf or later"));
    AboutDlg->exec();
    const bool unlocked = AboutDlg->firstMark() && AboutDlg->secondMark();
    DebugMenu->menuAction()->setVisible(unlocked);
    if (unlocked)
        EnableConsoleLog();
    else
        DisableConsoleLog();
}

void TMainForm::SetIPAddress1Click()
{
    const Settings& settings = hub_->settings();
    OptionDlg->edtServerIP->setCurrentText(ToQString(settings.ServerAddress));
    OptionDlg->chkForwardStatus->setChecked(settings.ForwardStatus);
    OptionDlg->edtLTCPPort->setText(QString::number(settings.LocalTcpPort));
    OptionDlg->edtLUDPPort->setText(QString::number(settings.LocalUdpPort));
    OptionDlg->edtRTCPPort->setText(QString::number(settings.RemoteTcpPort));
    OptionDlg->edtRUDPPort->setText(QString::number(settings.RemoteUdpPort));
    if (OptionDlg->exec() != QDialog::Accepted)
        return;

    EndpointOptions options;
    options.serverAddress = FromQString(OptionDlg->edtServerIP->currentText());
    options.forwardStatus = OptionDlg->chkForwardStatus->isChecked();
    const QLineEdit* const fields[]
        = { OptionDlg->edtLTCPPort, OptionDlg->edtLUDPPort, OptionDlg->edtRTCPPort, OptionDlg->edtRUDPPort };
    const QLineEdit* badField = nullptr;
    for (std::size_t i = 0; i < options.ports.size(); ++i) {
        options.ports[i] = ParseIntegerField(fields[i]->text());
        if (!options.ports[i] && !badField)
            badField = fields[i];
    }
    // The hub takes the fields in order and stops at a bad one.
    QString error;
    if (!hub_->applyOptions(options, &error))
        showError(badField ? NotAnIntegerMessage(badField->text()) : error);
}

void TMainForm::Button3Click()
{
    QString error;
    if (!hub_->setAnotherPort(&error))
        showError(error);
}

void TMainForm::btnClientOnlyModeClick()
{
    hub_->enterClientOnlyMode();
    setWindowTitle(windowTitle() + QStringLiteral(" [Client Only Mode]"));
    btnClientOnlyMode->setEnabled(false);
}

void TMainForm::AddServer1Click()
{
    NewClientDlg->NewClientAddr->clear();
    if (NewClientDlg->exec() != QDialog::Accepted)
        return;
    hub_->table().AddSystem(FromQString(NewClientDlg->NewClientAddr->text()), std::string(), kTypeQvx);
}

void TMainForm::DeleteServerClick()
{
    hub_->table().DeleteSelectedSystem();
}

void TMainForm::PingtoSystem1Click()
{
    const SystemEntry* selected = hub_->table().Selected();
    if (!selected)
        return;
    // Runs beside the window instead of holding it until the ping ends.
    auto* dialog = new PingDialog(ToQString(selected->ToIp), this);
    dialog->show();
    dialog->start();
}

void TMainForm::Initialize1Click()
{
    const auto answer = QMessageBox::question(this, QStringLiteral("Confirm"),
        QStringLiteral("All registered system data will be deleted! Are you sure?"), QMessageBox::Yes | QMessageBox::No,
        QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    hub_->table().ClearAllSystems();
    hub_->SaveSystems();
}

void TMainForm::ShowTestCommand1Click()
{
    if (testPanelShown()) {
        ShowTestCommand1->setText(QStringLiteral("Show Test Command"));
        topPanelHeight_ = Panel3->height();
        Panel1->hide();
        Panel2->hide();
        // The window's minimum height still counts the hidden panels until its
        // layouts run again; it would hold the resize above the start height.
        settleLayouts();
        resize(width(), kStartHeight);
        DisableConsoleLog();
    } else {
        // Showing the panels raises the minimum height at once and may stretch
        // the window; the extra height counts from the height before that.
        const int before = height();
        geometryWithoutPanels_ = saveGeometry();
        ShowTestCommand1->setText(QStringLiteral("Hide Test Command"));
        Panel1->show();
        Panel2->show();
        settleLayouts();
        resize(width(), before + kTestPanelExtraHeight);
        keepOnScreen();
        splitForConsole();
        EnableConsoleLog();
    }
}

void TMainForm::splitForConsole()
{
    if (Panel1->isHidden())
        return;
    Panel4->setSizes({ topPanelHeight_, std::max(1, Panel4->height() - Panel4->handleWidth() - topPanelHeight_) });
}

// The lists keep the height the operator gave them, the console takes the
// rest, also when the window's new height arrives later (as on X11).
bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Panel4 && event->type() == QEvent::Resize)
        splitForConsole();
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::settleLayouts()
{
    for (QWidget* widget : { Panel4->parentWidget(), static_cast<QWidget*>(this) }) {
        if (QLayout* layout = widget->layout()) {
            layout->invalidate();
            layout->activate();
        }
    }
}

void TMainForm::lvClientSelectItem(int row, bool selected)
{
    if (!selected)
        return;
    hub_->table().SelectSystem(FromQString(systemModel_->ipAddress(row)));
}

} // namespace korvel
