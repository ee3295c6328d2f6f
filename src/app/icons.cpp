#include "icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <array>

namespace korvel {

namespace {

QPixmap Blank(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// A desk telephone in the colour of its state, with a mark for the states
// that colour alone would not tell apart.
QPixmap PaintStation(int index, int size)
{
    struct Look {
        QColor colour;
        char mark;
    };
    static const std::array<Look, kStationImageCount> looks { {
        { QColor(0x2e, 0x9d, 0x3a), ' ' }, // idle
        { QColor(0xd0, 0x30, 0x30), ' ' }, // busy
        { QColor(0xe0, 0x8a, 0x00), '-' }, // do not disturb
        { QColor(0x2f, 0x6f, 0xd0), 'M' }, // message waiting
        { QColor(0x9a, 0x9a, 0x9a), '?' }, // unknown
        { QColor(0x4a, 0x4a, 0x4a), 'X' }, // out of service
    } };
    const Look& look = looks[static_cast<std::size_t>(index < 0 || index >= kStationImageCount ? 4 : index)];

    QPixmap pixmap = Blank(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    const QColor outline = look.colour.darker(160);
    painter.setPen(QPen(outline, s / 32.0 + 0.5));
    painter.setBrush(look.colour);

    // Handset across the top, body below it.
    painter.drawRoundedRect(QRectF(s * 0.06, s * 0.12, s * 0.88, s * 0.22), s * 0.1, s * 0.1);
    QPainterPath body;
    body.moveTo(s * 0.28, s * 0.36);
    body.lineTo(s * 0.72, s * 0.36);
    body.lineTo(s * 0.94, s * 0.90);
    body.lineTo(s * 0.06, s * 0.90);
    body.closeSubpath();
    painter.drawPath(body);

    const QRectF face(s * 0.22, s * 0.44, s * 0.56, s * 0.42);
    painter.setPen(QPen(Qt::white, qMax(1.5, s / 12.0), Qt::SolidLine, Qt::RoundCap));
    switch (look.mark) {
    case '-':
        painter.drawLine(
            QPointF(face.left() + s * 0.06, face.center().y()), QPointF(face.right() - s * 0.06, face.center().y()));
        break;
    case 'X':
        painter.drawLine(
            face.topLeft() + QPointF(s * 0.08, s * 0.04), face.bottomRight() - QPointF(s * 0.08, s * 0.04));
        painter.drawLine(
            face.bottomLeft() + QPointF(s * 0.08, -s * 0.04), face.topRight() + QPointF(-s * 0.08, s * 0.04));
        break;
    case 'M':
    case '?': {
        QFont font;
        font.setBold(true);
        font.setPixelSize(qMax(8, static_cast<int>(s * 0.42)));
        painter.setFont(font);
        painter.drawText(face, Qt::AlignCenter, QString(QChar::fromLatin1(look.mark)));
        break;
    }
    default: {
        // Keypad dots, so idle and busy still read as a telephone.
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 255, 255, 200));
        const qreal dot = qMax(1.5, s * 0.07);
        for (int row = 0; row < 2; ++row)
            for (int column = 0; column < 3; ++column)
                painter.drawEllipse(QPointF(face.left() + face.width() * (column + 1) / 4.0,
                                        face.top() + face.height() * (row + 1) / 3.0),
                    dot / 2, dot / 2);
        break;
    }
    }
    return pixmap;
}

// An exchange cabinet with a status lamp.
QPixmap PaintSystem(int index, int size)
{
    QPixmap pixmap = Blank(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    painter.setPen(QPen(QColor(0x30, 0x38, 0x48), s / 32.0 + 0.5));
    painter.setBrush(QColor(0x6f, 0x82, 0x9c));
    const QRectF cabinet(s * 0.16, s * 0.06, s * 0.68, s * 0.88);
    painter.drawRoundedRect(cabinet, s * 0.06, s * 0.06);
    painter.setPen(QPen(QColor(0x26, 0x2c, 0x38), qMax(1.0, s / 20.0)));
    for (int slot = 0; slot < 3; ++slot) {
        const qreal y = cabinet.top() + cabinet.height() * (0.22 + 0.17 * slot);
        painter.drawLine(QPointF(cabinet.left() + s * 0.1, y), QPointF(cabinet.right() - s * 0.1, y));
    }
    static const std::array<QColor, kSystemImageCount> lamps { QColor(0x3c, 0xe0, 0x4a), QColor(0xf0, 0x3c, 0x3c),
        QColor(0xc8, 0xc8, 0xc8) };
    painter.setPen(QPen(QColor(0x20, 0x20, 0x20), s / 32.0 + 0.3));
    painter.setBrush(lamps[static_cast<std::size_t>(index < 0 || index >= kSystemImageCount ? 0 : index)]);
    painter.drawEllipse(QPointF(cabinet.center().x(), cabinet.bottom() - s * 0.16), s * 0.09, s * 0.09);
    return pixmap;
}

// A small field of lamps, the picture of the feature the hub serves.
QPixmap PaintApplication(int size)
{
    QPixmap pixmap = Blank(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x22, 0x2a, 0x36));
    painter.drawRoundedRect(QRectF(0, 0, s, s), s * 0.18, s * 0.18);
    static const QColor lampColours[]
        = { QColor(0x3c, 0xe0, 0x4a), QColor(0xf0, 0x3c, 0x3c), QColor(0xf0, 0xb0, 0x20) };
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            painter.setBrush(lampColours[(row * 2 + column) % 3]);
            painter.drawEllipse(QPointF(s * (0.22 + 0.28 * column), s * (0.22 + 0.28 * row)), s * 0.1, s * 0.1);
        }
    }
    return pixmap;
}

} // namespace

QIcon StationImage(int index)
{
    const int slot = index < 0 || index >= kStationImageCount ? 4 : index;
    QIcon icon;
    icon.addPixmap(PaintStation(slot, 32));
    icon.addPixmap(PaintStation(slot, 16));
    return icon;
}

QIcon SystemImage(int index)
{
    const int slot = index < 0 || index >= kSystemImageCount ? 0 : index;
    QIcon icon;
    icon.addPixmap(PaintSystem(slot, 32));
    icon.addPixmap(PaintSystem(slot, 16));
    return icon;
}

QIcon ApplicationImage()
{
    QIcon icon;
    icon.addPixmap(PaintApplication(32));
    icon.addPixmap(PaintApplication(16));
    return icon;
}

} // namespace korvel
