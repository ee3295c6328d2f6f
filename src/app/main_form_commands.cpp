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
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>

namespace korvel {

namespace {

const QColor kSentColour(0xFF, 0xFF, 0x00);
const QColor kReceivedColour(0x00, 0xFF, 0x00);
const QColor kSendersColour(0xC0, 0xC0, 0xC0);

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
    // Read and reset in one step each, so no byte counted meanwhile is lost.
    const std::int32_t sent = counters.SentByteCount.exchange(0);
    const std::int32_t received = counters.ReceivedByteCount.exchange(0);
    const std::int32_t senders = counters.LiveSenderCount.load();
    PerformanceGraph1->DataPoint(kSentColour, sent / 20 + 2);
    PerformanceGraph1->DataPoint(kReceivedColour, received / 20 + 2);
    PerformanceGraph1->DataPoint(kSendersColour, senders * 10 + 4);
    PerformanceGraph1->Update();
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
    hub_->table().SaveSystems();
}

void TMainForm::ShowTestCommand1Click()
{
    if (testPanelShown()) {
        ShowTestCommand1->setText(QStringLiteral("Show Test Command"));
        Panel1->hide();
        Panel2->hide();
        Panel3->setMinimumHeight(0);
        Panel3->setMaximumHeight(QWIDGETSIZE_MAX);
        // The minimum height must drop with the panels before the resize, or
        // the window would be held at the taller minimum.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        resize(width(), kStartHeight);
        DisableConsoleLog();
    } else {
        // Showing the panels can stretch the window to its new minimum at
        // once; the extra height counts from the height it had before.
        const int before = height();
        ShowTestCommand1->setText(QStringLiteral("Hide Test Command"));
        Panel3->setFixedHeight(kTopPanelHeight);
        Panel1->show();
        Panel2->show();
        resize(width(), before + kTestPanelExtraHeight);
        EnableConsoleLog();
    }
}

void TMainForm::lvClientSelectItem(int row, bool selected)
{
    if (!selected)
        return;
    hub_->table().SelectSystem(FromQString(systemModel_->ipAddress(row)));
}

} // namespace korvel
