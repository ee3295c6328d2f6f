#include "option_dialog.h"

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

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(NamedLabel("Label1", QStringLiteral("QVX System IP Address"), this));
    layout->addWidget(edtServerIP);
    layout->addWidget(chkForwardStatus);
    layout->addSpacing(6);
    layout->addLayout(ports);
    layout->addSpacing(6);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace korvel
