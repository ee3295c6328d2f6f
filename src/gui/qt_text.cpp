#include "qt_text.h"

#include <QStringDecoder>

#include <algorithm>

namespace korvel {

QString DisplayText(std::string_view text)
{
    const auto size = static_cast<qsizetype>(text.size());
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return QString::fromLatin1(text.data(), size);
    // "windows-949" is the Windows code page (with the extended Hangul); ICU
    // knows "CP949" as IBM's variant, which maps some bytes differently.
    thread_local QStringDecoder decoder("windows-949");
    if (!decoder.isValid())
        return QString::fromLatin1(text.data(), size);
    QString decoded = decoder.decode(QByteArrayView(text.data(), size));
    decoder.resetState();
    return decoded;
}

} // namespace korvel
