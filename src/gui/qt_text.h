#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace korvel {

// Texts in the table and on the wire are 8-bit; Latin-1 shows every byte as
// one character and maps back to the same byte. For texts the program must
// give back byte for byte (addresses, the test console's fields).
inline QString ToQString(const std::string& text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQString(const QString& text)
{
    return text.toLatin1().toStdString();
}

// A text from the wire or the files as its users wrote it: the exchanges use
// the Korean code page, so bytes above 0x7F are decoded as code page 949.
// Only for showing; the bytes themselves are never rewritten.
QString DisplayText(std::string_view text);

} // namespace korvel
