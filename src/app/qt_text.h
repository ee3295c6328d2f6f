#pragma once

#include <QString>

#include <string>

namespace korvel {

// Texts in the table and on the wire are 8-bit; Latin-1 shows every byte as
// one character and maps back to the same byte.
inline QString ToQString(const std::string& text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQString(const QString& text)
{
    return text.toLatin1().toStdString();
}

} // namespace korvel
