#include "icon_svg.h"

#include <QString>

#include <array>
#include <utility>

namespace korvel {

namespace {

QByteArray Svg(const QString& body)
{
    return QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 32 32\" width=\"32\" "
                          "height=\"32\">%1</svg>")
        .arg(body)
        .toUtf8();
}

// White marks drawn on a coloured shape.
const QString kQuestionMark = QStringLiteral(
    "<path d=\"M12.6 14.2a3.4 3.4 0 1 1 4.9 3.1c-1.1.6-1.5 1.2-1.5 2.4\" fill=\"none\" stroke=\"#fff\" "
    "stroke-width=\"2.2\" stroke-linecap=\"round\"/><circle cx=\"16\" cy=\"23.6\" r=\"1.4\" fill=\"#fff\"/>");

QString StationBody(int index)
{
    struct Look {
        const char* fill;
        const char* outline;
    };
    static const std::array<Look, kStationImageCount> looks { {
        { "#2e9d3a", "#1b5e22" }, // idle
        { "#d03030", "#7c1c1c" }, // busy
        { "#e08a00", "#865200" }, // do not disturb
        { "#2f6fd0", "#1c427c" }, // message waiting
        { "#9a9a9a", "#5c5c5c" }, // unknown
        { "#4a4a4a", "#202020" }, // out of service
    } };
    const Look& look = looks[static_cast<std::size_t>(index)];
    // Busy: the handset is lifted off its cradle; every other state: it rests on it.
    const QString handset = index == 1
        ? QStringLiteral("<rect x=\"8\" y=\"11\" width=\"3.5\" height=\"4\"/><rect x=\"20.5\" y=\"11\" "
                         "width=\"3.5\" height=\"4\"/><rect x=\"3\" y=\"2.5\" width=\"25\" height=\"5.6\" "
                         "rx=\"2.8\" transform=\"rotate(-16 15.5 5.3)\"/>")
        : QStringLiteral("<rect x=\"2.5\" y=\"7.5\" width=\"27\" height=\"6\" rx=\"3\"/>");
    return QStringLiteral("<g fill=\"%1\" stroke=\"%2\" stroke-width=\"1.2\" stroke-linejoin=\"round\">%3"
                          "<path d=\"M10 14.5H22L29.5 29H2.5Z\"/></g>")
        .arg(QLatin1String(look.fill), QLatin1String(look.outline), handset);
}

QString StationMark(int index)
{
    const QString stroke
        = QStringLiteral("<g fill=\"none\" stroke=\"#fff\" stroke-width=\"2.2\" stroke-linecap=\"round\" "
                         "stroke-linejoin=\"round\">%1</g>");
    switch (index) {
    case 2: // a no-entry bar
        return stroke.arg(QStringLiteral("<path d=\"M10 22.5H22\"/>"));
    case 3: // an envelope
        return stroke.arg(QStringLiteral("<rect x=\"10\" y=\"18\" width=\"12\" height=\"8.5\" "
                                         "stroke-width=\"1.6\"/><path d=\"M10 18.4l6 4.6 6-4.6\" "
                                         "stroke-width=\"1.6\"/>"));
    case 4:
        return QStringLiteral("<g transform=\"translate(0 3.5) scale(1 0.85)\">%1</g>").arg(kQuestionMark);
    case 5: // a cross
        return stroke.arg(QStringLiteral("<path d=\"M11.5 18.5l9 8.5M20.5 18.5l-9 8.5\"/>"));
    default: { // keypad dots, so idle and busy still read as a telephone
        QString dots;
        for (const auto& [x, y] : { std::pair { 12.0, 19.5 }, { 16.0, 19.5 }, { 20.0, 19.5 }, { 11.0, 24.5 },
                 { 16.0, 24.5 }, { 21.0, 24.5 } })
            dots += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"1.4\"/>").arg(x).arg(y);
        return QStringLiteral("<g fill=\"#fff\" fill-opacity=\"0.85\">%1</g>").arg(dots);
    }
    }
}

QString SystemLamp(int index)
{
    switch (index) {
    case 1: // trouble: a red warning triangle
        return QStringLiteral("<path d=\"M16 19.5L21 28H11Z\" fill=\"#f03c3c\" stroke=\"#202020\" "
                              "stroke-width=\"0.8\" stroke-linejoin=\"round\"/>");
    case 2: // silent: a grey ring with a slash
        return QStringLiteral("<circle cx=\"16\" cy=\"24\" r=\"3.2\" fill=\"#c8c8c8\" stroke=\"#202020\" "
                              "stroke-width=\"0.8\"/><path d=\"M13.8 26.2l4.4-4.4\" stroke=\"#202020\" "
                              "stroke-width=\"1.2\"/>");
    default:
        return QStringLiteral("<circle cx=\"16\" cy=\"24\" r=\"3.2\" fill=\"#3ce04a\" stroke=\"#202020\" "
                              "stroke-width=\"0.8\"/>");
    }
}

} // namespace

QByteArray StationSvg(int index)
{
    const int slot = index < 0 || index >= kStationImageCount ? 4 : index;
    return Svg(StationBody(slot) + StationMark(slot));
}

QByteArray SystemSvg(int index)
{
    const int slot = index < 0 || index >= kSystemImageCount ? 0 : index;
    return Svg(QStringLiteral("<rect x=\"6\" y=\"2\" width=\"20\" height=\"28\" rx=\"2\" fill=\"#6f829c\" "
                              "stroke=\"#303848\" stroke-width=\"1.2\"/><path d=\"M9.5 8H22.5M9.5 12.5H22.5"
                              "M9.5 17H22.5\" stroke=\"#262c38\" stroke-width=\"1.6\"/>")
        + SystemLamp(slot));
}

QByteArray SystemStatusSvg(int status)
{
    switch (status) {
    case 0: // Working: a green disc with a tick
        return Svg(QStringLiteral("<circle cx=\"16\" cy=\"16\" r=\"13\" fill=\"#2e9d3a\"/><path "
                                  "d=\"M9.5 16.5l4.5 4.5 8.5-9.5\" fill=\"none\" stroke=\"#fff\" "
                                  "stroke-width=\"3\" stroke-linecap=\"round\" stroke-linejoin=\"round\"/>"));
    case 1: // Error: a red triangle with an exclamation mark
        return Svg(QStringLiteral("<path d=\"M16 2.5L30 28.5H2Z\" fill=\"#d03030\" "
                                  "stroke-linejoin=\"round\"/><path d=\"M16 11V19.5\" stroke=\"#fff\" "
                                  "stroke-width=\"3\" stroke-linecap=\"round\"/><circle cx=\"16\" "
                                  "cy=\"24\" r=\"1.8\" fill=\"#fff\"/>"));
    case 2: // No Data: an amber square with a clock's hands
        return Svg(QStringLiteral("<rect x=\"3.5\" y=\"3.5\" width=\"25\" height=\"25\" rx=\"4\" "
                                  "fill=\"#d08a00\"/><path d=\"M16 8.5V16.5H22\" fill=\"none\" "
                                  "stroke=\"#fff\" stroke-width=\"3\" stroke-linecap=\"round\" "
                                  "stroke-linejoin=\"round\"/>"));
    default: // Unknown: a grey diamond with a question mark
        return Svg(QStringLiteral("<path d=\"M16 1.5L30.5 16 16 30.5 1.5 16Z\" fill=\"#8a8a8a\"/>") + kQuestionMark);
    }
}

QByteArray ApplicationSvg()
{
    static const char* const lamps[] = { "#3ce04a", "#f03c3c", "#f0b020" };
    QString body = QStringLiteral("<rect width=\"32\" height=\"32\" rx=\"6\" fill=\"#222a36\"/>");
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            body += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"3.2\" fill=\"%3\"/>")
                        .arg(7.0 + 9.0 * column)
                        .arg(7.0 + 9.0 * row)
                        .arg(QLatin1String(lamps[(row * 2 + column) % 3]));
    return Svg(body);
}

} // namespace korvel
