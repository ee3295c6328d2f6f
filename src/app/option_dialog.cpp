#include "option_dialog.h"

#include "app/dialog_fields.h"
#include "ui/dialog_buttons.h"

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

TOptionDlg::TOptionDlg(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("OptionDlg"));
    setWindowTitle(QStringLiteral("Options"));

    edtServerIP = new QComboBox(this);
    edtServerIP->setObjectName(QStringLiteral("edtServerIP"));
    edtServerIP->setEditable(true);
    edtServerIP->addItems({ QStringLiteral("127.0.0.1"), QStringLiteral("192.168.0.100") });
    edtServerIP->setMinimumWidth(160);

    chkForwardStatus = new QCheckBox(QStringLiteral("Forward Status Report"), this);
    chkForwardStatus->setObjectName(QStringLiteral("chkForwardStatus"));

    edtLTCPPort = PortField("edtLTCPPort", this);
    edtLUDPPort = PortField("edtLUDPPort", this);
    edtRTCPPort = PortField("edtRTCPPort", this);
    edtRUDPPort = PortField("edtRUDPPort", this);

    auto* ports = new QGridLayout;
    ports->addWidget(NamedLabel("Label6", QStringLiteral("Local"), this), 0, 0, 1, 2);
    ports->addWidget(NamedLabel("Label2", QStringLiteral("TCP Port"), this), 1, 0);
    ports->addWidget(edtLTCPPort, 1, 1);
    ports->addWidget(NamedLabel("Label3", QStringLiteral("UDP Port"), this), 2, 0);
    ports->addWidget(edtLUDPPort, 2, 1);
    ports->addWidget(NamedLabel("Label7", QStringLiteral("Remote"), this), 0, 2, 1, 2);
    ports->addWidget(NamedLabel("Label4", QStringLiteral("TCP Port"), this), 1, 2);
    ports->addWidget(edtRTCPPort, 1, 3);
    ports->addWidget(NamedLabel("Label5", QStringLiteral("UDP Port"), this), 2, 2);
    ports->addWidget(edtRUDPPort, 2, 3);
    ports->setColumnMinimumWidth(1, 80);

    auto* buttons = AddOkCancelButtons(this);
    lblError = ErrorLine(this);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(NamedLabel("Label1", QStringLiteral("QVX System IP Address"), this));
    layout->addWidget(edtServerIP);
    layout->addWidget(chkForwardStatus);
    layout->addSpacing(6);
    layout->addLayout(ports);
    layout->addWidget(lblError);
    layout->addSpacing(6);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // An editable drop-down keeps Enter to itself; here it means OK as well.
    edtServerIP->setInsertPolicy(QComboBox::NoInsert);
    connect(edtServerIP->lineEdit(), &QLineEdit::returnPressed, this, &TOptionDlg::accept);
    // A field being corrected loses its mark.
    connect(edtServerIP, &QComboBox::editTextChanged, this, [this] { MarkField(edtServerIP, false); });
    for (QLineEdit* field : { edtLTCPPort, edtLUDPPort, edtRTCPPort, edtRUDPPort })
        connect(field, &QLineEdit::textEdited, this, [field] { MarkField(field, false); });
}

void TOptionDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    for (QWidget* field :
        { static_cast<QWidget*>(edtServerIP), static_cast<QWidget*>(edtLTCPPort), static_cast<QWidget*>(edtLUDPPort),
            static_cast<QWidget*>(edtRTCPPort), static_cast<QWidget*>(edtRUDPPort) })
        MarkField(field, false);
    ShowError(lblError, QString());
    FocusFirstField(this, edtServerIP);
}

bool TOptionDlg::validate()
{
    auto reject = [this](QWidget* field, const QString& why) {
        MarkField(field, true);
        ShowError(lblError, why);
        FocusFirstField(this, field);
        return false;
    };
    const QString address = edtServerIP->currentText();
    // Empty is allowed: the endpoints then have no remote host.
    if (!address.isEmpty() && !IsDottedIpv4(address))
        return reject(edtServerIP, QStringLiteral("'%1' is not an IPv4 address").arg(address));
    for (QLineEdit* field : { edtLTCPPort, edtLUDPPort, edtRTCPPort, edtRUDPPort }) {
        const std::optional<std::int32_t> port = ParseIntegerField(field->text());
        if (!port)
            return reject(field, NotAnIntegerMessage(field->text()));
        if (*port < 1 || *port > 65535)
            return reject(field, QStringLiteral("A port is a number from 1 to 65535, not %1").arg(*port));
    }
    ShowError(lblError, QString());
    return true;
}

void TOptionDlg::accept()
{
    if (isVisible() && validate())
        QDialog::accept();
}

} // namespace korvel
