#include "option_dialog.h"

#include "gui/dialog_buttons.h"
#include "gui/dialog_fields.h"
#include "gui/qt_text.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <limits>

namespace korvel {

std::optional<std::int32_t> ParseIntegerField(const QString& text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i] == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    if (i == text.size())
        return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
        if (value > static_cast<long long>(std::numeric_limits<std::int32_t>::max()) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

QString NotAnIntegerMessage(const QString& text)
{
    return QStringLiteral("'%1' is not a valid integer value").arg(text);
}

namespace {

QLabel* NamedLabel(const char* name, const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    return label;
}

QLineEdit* PortField(const char* name, QWidget* parent)
{
    auto* field = new QLineEdit(parent);
    field->setObjectName(QLatin1String(name));
    field->setMaximumWidth(90);
    return field;
}

} // namespace

OptionDialog::OptionDialog(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("OptionDialog"));
    setWindowTitle(QStringLiteral("Options"));

    serverAddress_ = new QComboBox(this);
    serverAddress_->setObjectName(QStringLiteral("ServerAddress"));
    serverAddress_->setEditable(true);
    serverAddress_->addItems({ QStringLiteral("127.0.0.1"), QStringLiteral("192.168.0.100") });
    serverAddress_->setMinimumWidth(160);

    forwardStatus_ = new QCheckBox(QStringLiteral("Forward Status Report"), this);
    forwardStatus_->setObjectName(QStringLiteral("ForwardStatus"));

    localTcpPort_ = PortField("LocalTcpPort", this);
    localUdpPort_ = PortField("LocalUdpPort", this);
    remoteTcpPort_ = PortField("RemoteTcpPort", this);
    remoteUdpPort_ = PortField("RemoteUdpPort", this);

    auto* ports = new QGridLayout;
    ports->addWidget(NamedLabel("LocalLabel", QStringLiteral("Local"), this), 0, 0, 1, 2);
    ports->addWidget(NamedLabel("LocalTcpLabel", QStringLiteral("TCP Port"), this), 1, 0);
    ports->addWidget(localTcpPort_, 1, 1);
    ports->addWidget(NamedLabel("LocalUdpLabel", QStringLiteral("UDP Port"), this), 2, 0);
    ports->addWidget(localUdpPort_, 2, 1);
    ports->addWidget(NamedLabel("RemoteLabel", QStringLiteral("Remote"), this), 0, 2, 1, 2);
    ports->addWidget(NamedLabel("RemoteTcpLabel", QStringLiteral("TCP Port"), this), 1, 2);
    ports->addWidget(remoteTcpPort_, 1, 3);
    ports->addWidget(NamedLabel("RemoteUdpLabel", QStringLiteral("UDP Port"), this), 2, 2);
    ports->addWidget(remoteUdpPort_, 2, 3);
    ports->setColumnMinimumWidth(1, 80);

    auto* buttons = AddOkCancelButtons(this);
    errorLine_ = ErrorLine(this);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(NamedLabel("ServerAddressLabel", QStringLiteral("QVX System IP Address"), this));
    layout->addWidget(serverAddress_);
    layout->addWidget(forwardStatus_);
    layout->addSpacing(6);
    layout->addLayout(ports);
    layout->addWidget(errorLine_);
    layout->addSpacing(6);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // An editable drop-down keeps Enter to itself; here it means OK as well.
    serverAddress_->setInsertPolicy(QComboBox::NoInsert);
    connect(serverAddress_->lineEdit(), &QLineEdit::returnPressed, this, &OptionDialog::accept);
    // A field being corrected loses its mark.
    connect(serverAddress_, &QComboBox::editTextChanged, this, [this] { MarkField(serverAddress_, false); });
    for (QLineEdit* field : { localTcpPort_, localUdpPort_, remoteTcpPort_, remoteUdpPort_ })
        connect(field, &QLineEdit::textEdited, this, [field] { MarkField(field, false); });
}

void OptionDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    for (QWidget* field : { static_cast<QWidget*>(serverAddress_), static_cast<QWidget*>(localTcpPort_),
             static_cast<QWidget*>(localUdpPort_), static_cast<QWidget*>(remoteTcpPort_),
             static_cast<QWidget*>(remoteUdpPort_) })
        MarkField(field, false);
    ShowError(errorLine_, QString());
    FocusFirstField(this, serverAddress_);
}

bool OptionDialog::validate()
{
    auto reject = [this](QWidget* field, const QString& why) {
        MarkField(field, true);
        ShowError(errorLine_, why);
        FocusFirstField(this, field);
        return false;
    };
    const QString address = serverAddress_->currentText();
    // Empty is allowed: the endpoints then have no remote host.
    if (!address.isEmpty() && !IsDottedIpv4(address))
        return reject(serverAddress_, QStringLiteral("'%1' is not an IPv4 address").arg(address));
    for (QLineEdit* field : { localTcpPort_, localUdpPort_, remoteTcpPort_, remoteUdpPort_ }) {
        const std::optional<std::int32_t> port = ParseIntegerField(field->text());
        if (!port)
            return reject(field, NotAnIntegerMessage(field->text()));
        if (*port < 1 || *port > 65535)
            return reject(field, QStringLiteral("A port is a number from 1 to 65535, not %1").arg(*port));
    }
    ShowError(errorLine_, QString());
    return true;
}

void OptionDialog::accept()
{
    if (isVisible() && validate())
        QDialog::accept();
}

void OptionDialog::fill(const Settings& settings)
{
    serverAddress_->setCurrentText(ToQString(settings.ServerAddress));
    forwardStatus_->setChecked(settings.ForwardStatus);
    localTcpPort_->setText(QString::number(settings.LocalTcpPort));
    localUdpPort_->setText(QString::number(settings.LocalUdpPort));
    remoteTcpPort_->setText(QString::number(settings.RemoteTcpPort));
    remoteUdpPort_->setText(QString::number(settings.RemoteUdpPort));
}

EndpointOptions OptionDialog::options() const
{
    EndpointOptions options;
    options.serverAddress = FromQString(serverAddress_->currentText());
    options.forwardStatus = forwardStatus_->isChecked();
    const std::array<const QLineEdit*, 4> fields = portFields();
    for (std::size_t i = 0; i < options.ports.size(); ++i)
        options.ports[i] = ParseIntegerField(fields[i]->text());
    return options;
}

std::optional<QString> OptionDialog::firstNonNumber() const
{
    for (const QLineEdit* field : portFields()) {
        if (!ParseIntegerField(field->text()))
            return field->text();
    }
    return std::nullopt;
}

QString OptionDialog::errorText() const
{
    return errorLine_->text();
}

std::array<const QLineEdit*, 4> OptionDialog::portFields() const
{
    return { localTcpPort_, localUdpPort_, remoteTcpPort_, remoteUdpPort_ };
}

} // namespace korvel
